// A payload-level stand-in for a KRV device, scripted per test: it keeps what a device keeps
// (firmware or bootloader running, the uploaded blocks, the batch receipts, an external flash)
// and answers one request payload at a time. Tests use it where they need an exact answer at an
// exact moment (a given status for the third block, a receipt map with given holes, silence for
// one command). Frames, packet ids and timing stay with the link that carries the payloads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "codec/KRVCommands.h"
#include "util/MorvelUtils.h"

namespace vornik::testing {

class TScriptDevice {
 public:
  // Identity.
  bool BootloaderRunning = false;
  uint8_t CPUType = 30;      ///< above 22: ARM controller
  uint16_t RxBufLen = 1024;  ///< bytes
  uint8_t DeviceType = 7;
  bool FirmwareAcceptsBlocks = true;  ///< the running firmware answers the probe with AFLUL
  bool AnswerIdentify = true;         ///< false: CSYSI gets no answer
  bool AnswerOpener = true;           ///< false: the session opener is only acknowledged
  std::optional<std::string> IdentifyAnswerOverride;  ///< answered instead of the record
  std::optional<std::string> ProbeAnswerOverride;     ///< answered to the probe instead

  // Upload faults.
  std::map<int, std::vector<uint8_t>> BlockStatuses;  ///< block number (0-based) -> statuses to use in turn
  std::vector<uint8_t> InstallStatuses;               ///< AFLUD statuses to use in turn (then CRC check)
  bool RestartWorks = true;
  bool SkipNextInstall = false;  ///< takes the next CFLUD without installing or answering
  bool RejectInstall = false;    ///< refuses every CFLUD as a wrong checksum and runs the old firmware again
  std::set<int> DropBatchIndexes;  ///< batch packets lost once each
  int MapBytes = 32;               ///< bytes of the receipt map sent

  // External flash.
  uint32_t FlashPages = 64;
  uint32_t FlashPageSize = 264;
  std::vector<uint8_t> PageWriteStatuses;  ///< AFLPW statuses to use in turn (then 0)
  std::optional<std::string> ReadAnswerOverride;

  // What it saw and holds.
  std::vector<std::string> Commands;  ///< five-letter codes in arrival order ("x" for the opener)
  std::vector<uint16_t> PageIndexes;  ///< of every CFLUL block that arrived
  std::vector<std::size_t> BlockSizes;
  std::map<uint32_t, std::string> Written;  ///< page index -> block, as received
  std::optional<uint32_t> AnnouncedLength;
  std::optional<uint8_t> AnnouncedFlag;
  bool BootloaderAnnounced = false;
  std::string Installed;  ///< the image installed by the last successful CFLUD
  int Installs = 0;
  std::string Flash;

  TScriptDevice() : Flash(FlashPages * FlashPageSize, '\xFF') {}
  void ResetFlash() { Flash.assign(static_cast<std::size_t>(FlashPages) * FlashPageSize, '\xFF'); }

  /// Everything received so far, laid out from FirstPage on: 128-byte pages, or for indexes from
  /// 0x8000 on (blocks shorter than a page) one block per index.
  std::string Assembled(uint32_t FirstPage, std::size_t Length) const {
    std::string out(Length, '\0');
    const bool blockNumbers = !Written.empty() && Written.begin()->first >= 0x8000;
    const std::size_t unit = blockNumbers ? Written.begin()->second.size() : 128;
    if (blockNumbers) FirstPage += 0x8000;
    for (const auto& [page, block] : Written) {
      if (page < FirstPage) continue;
      const std::size_t off = static_cast<std::size_t>(page - FirstPage) * unit;
      for (std::size_t i = 0; i < block.size() && off + i < Length; ++i) out[off + i] = block[i];
    }
    return out;
  }

  /// The answer to Payload, or nothing. BatchIndex is the packet id of an unacknowledged batch packet.
  std::optional<std::string> Handle(const std::string& Payload, std::optional<uint8_t> BatchIndex = std::nullopt) {
    const std::string code(CodeOf(Payload));
    Commands.push_back(code);
    if (code == "x") return AnswerOpener ? std::optional<std::string>("a") : std::nullopt;
    if (code == kCSYSI) {
      if (!AnswerIdentify) return std::nullopt;
      if (IdentifyAnswerOverride) return IdentifyAnswerOverride;
      return BuildASYSI(Record());
    }
    if (code == kCSYRS) {
      // Comes back in the bootloader, unless it has just installed a firmware.
      if (RestartWorks) BootloaderRunning = !justInstalled_;
      justInstalled_ = false;
      return std::nullopt;
    }
    if (code == kCELFE) {
      ResetFlash();
      return BuildAELFE();
    }
    if (code == kCBLUD) {
      BootloaderAnnounced = true;
      return std::nullopt;
    }
    if (code == kCFLTS) {
      const auto s = ParseCFLTS(Payload);
      if (s) {
        AnnouncedLength = s->ImageLength;
        AnnouncedFlag = s->Flag;
      }
      return std::nullopt;
    }
    if (code == kCFLUL) return Block(Payload, BatchIndex);
    if (code == kCFLUD) return Install(Payload);
    if (code == kCSYCA) {
      receipts_.assign(32, '\0');
      return std::nullopt;
    }
    if (code == kCSYGA) return BuildASYGA(receipts_.substr(0, static_cast<std::size_t>(MapBytes)));
    if (code == kCFLRC) return FlashRead(Payload);
    if (code == kCFLPW) return FlashWrite(Payload);
    return std::nullopt;
  }

  std::string Record() const {
    std::string r(66, '\0');
    r.replace(6, 5, "BLD01");
    r.replace(11, 6, "SIMDEV");
    r[27] = static_cast<char>(DeviceType);
    r[28] = static_cast<char>(RxBufLen & 0xFF);
    r[29] = static_cast<char>(RxBufLen >> 8);
    r[62] = BootloaderRunning ? 1 : 0;
    r[63] = static_cast<char>(CPUType);
    return r;
  }

 private:
  std::optional<std::string> Block(const std::string& Payload, std::optional<uint8_t> BatchIndex) {
    if (IsCFLULProbe(Payload)) {
      if (ProbeAnswerOverride) return ProbeAnswerOverride;
      if (BootloaderRunning || FirmwareAcceptsBlocks) return BuildAFLUL(0);
      return std::string("ANONE");
    }
    const auto b = ParseCFLUL(Payload);
    if (!b) return std::nullopt;
    if (BatchIndex) {
      if (DropBatchIndexes.erase(*BatchIndex) > 0) {
        Commands.back() = "lost";
        return std::nullopt;
      }
      receipts_[*BatchIndex / 8] = static_cast<char>(receipts_[*BatchIndex / 8] | (1 << (*BatchIndex % 8)));
    }
    const int number = blockCount_++;
    uint8_t status = 0;
    auto it = BlockStatuses.find(number);
    if (it != BlockStatuses.end() && !it->second.empty()) {
      status = it->second.front();
      it->second.erase(it->second.begin());
      if (!it->second.empty()) BlockStatuses[number + 1] = it->second;  // the repeat is the next block seen
      BlockStatuses.erase(number);
    }
    PageIndexes.push_back(b->PageIndex);
    BlockSizes.push_back(b->Block.size());
    if (status == 0) Written[b->PageIndex] = std::string(b->Block);
    if (!b->AnswerFlag || BatchIndex) return std::nullopt;
    return BuildAFLUL(status);
  }

  std::optional<std::string> Install(const std::string& Payload) {
    const auto u = ParseCFLUD(Payload);
    if (!u) return std::nullopt;
    if (SkipNextInstall) {
      SkipNextInstall = false;
      return std::nullopt;
    }
    if (!BootloaderRunning) {
      // Only the bootloader installs; a firmware confirms the install it came from.
      if (lastInstall_ == std::make_tuple(u->ImageLength, u->Crc, u->StartAddrDiv128)) return BuildAFLUD(0);
      return std::string("ASYER") + std::string(kCFLUD);
    }
    if (RejectInstall) {
      BootloaderRunning = false;
      return BuildAFLUD(1);
    }
    if (!InstallStatuses.empty()) {
      const uint8_t s = InstallStatuses.front();
      InstallStatuses.erase(InstallStatuses.begin());
      if (s != 0) return BuildAFLUD(s);
    }
    std::string image = Assembled(u->StartAddrDiv128, u->ImageLength);
    if (Crc16(image) != u->Crc) return BuildAFLUD(1);
    Installed = image;
    lastInstall_ = std::make_tuple(u->ImageLength, u->Crc, u->StartAddrDiv128);
    ++Installs;
    BootloaderRunning = false;
    justInstalled_ = true;
    return BuildAFLUD(0);
  }

  std::optional<std::string> FlashRead(const std::string& Payload) {
    if (ReadAnswerOverride) return ReadAnswerOverride;
    const auto r = ParseCFLRC(Payload);
    if (!r) return std::nullopt;
    const std::size_t at = static_cast<std::size_t>(r->Page) * FlashPageSize + r->Offset;
    if (at >= Flash.size()) return BuildAFLRC("");
    return BuildAFLRC(Flash.substr(at, r->Count));
  }

  std::optional<std::string> FlashWrite(const std::string& Payload) {
    const auto w = ParseCFLPW(Payload);
    if (!w) return std::nullopt;
    uint8_t status = 0;
    if (!PageWriteStatuses.empty()) {
      status = PageWriteStatuses.front();
      PageWriteStatuses.erase(PageWriteStatuses.begin());
    }
    if (status == 0 && w->Page >= FlashPages) status = kAFLPWPageIndexOutOfRange;
    if (status == 0) Flash.replace(static_cast<std::size_t>(w->Page) * FlashPageSize, w->Data.size(), w->Data);
    if (!w->AnswerFlag) return std::nullopt;
    return BuildAFLPW(status);
  }

  std::string receipts_ = std::string(32, '\0');
  int blockCount_ = 0;
  bool justInstalled_ = false;
  std::optional<std::tuple<uint32_t, uint16_t, uint16_t>> lastInstall_;  ///< length, CRC, start page
};

}  // namespace vornik::testing
