#include "sim/SimDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/KRVCommands.h"
#include "firmware/uHexfileToStr.h"
#include "util/MorvelUtils.h"

namespace vornik {

namespace {

constexpr std::string_view kASYER = "ASYER";  ///< answer to a command the device does not carry out
constexpr uint32_t kKRVWBroadcast = 0xFFFFFFFFu;
constexpr uint16_t kBlockNumberBase = 0x8000;  ///< page indexes of blocks shorter than a page
constexpr uint32_t kPageBytes = 128;
constexpr std::size_t kMaxReadBytes = 512;  ///< bytes one AFLRC answer carries at most
constexpr std::size_t kRecordSize = 66;
constexpr std::size_t kMaxRxBuffer = 4 * kMaxFrameLength;  ///< bytes kept while no stop byte comes

std::string Printf(const char* Format, auto... Args) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, Format, Args...);
  return std::string(buf, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

void PutLE(std::string& Record, std::size_t At, uint64_t Value, std::size_t Bytes) {
  for (std::size_t i = 0; i < Bytes; ++i) Record[At + i] = static_cast<char>((Value >> (8 * i)) & 0xFF);
}

void PutText(std::string& Record, std::size_t At, std::string_view Text, std::size_t Width) {
  for (std::size_t i = 0; i < Width; ++i) Record[At + i] = i < Text.size() ? Text[i] : '\0';
}

std::string Printable(std::string_view Bytes) {
  std::string out;
  for (unsigned char c : Bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += Printf("\\x%02X", c);
    }
  }
  return out;
}

/// The command a batch may carry: everything except the session's own packets and the
/// identification and restart commands, which always get their normal treatment.
bool Batchable(std::string_view Code) {
  return Code != kCSYSI && Code != kCSYRS && Code != kCSYCA && Code != kCSYGA && Code != kBatchOpener;
}

}  // namespace

std::string TSimInstall::Summary() const {
  return Printf("Installed %s: %u bytes, CRC 0x%04X, start page %u (address 0x%08X)",
                Bootloader ? "bootloader" : "firmware", Length, Crc, StartPage,
                static_cast<uint32_t>(StartPage) * kPageBytes);
}

TSimDevice::TSimDevice(TSimDeviceConfig C, TSimFaults F)
    : Config(std::move(C)), Faults(std::move(F)), rng_(Faults.Seed) {
  decoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  bootloader_ = Config.StartInBootloader;
  flash_.assign(static_cast<std::size_t>(Config.FlashPages) * Config.FlashPageSize, '\xFF');
}

// ---------------------------------------------------------------- host side

void TSimDevice::Feed(std::string_view Bytes, int64_t NowMs) {
  RunDue(NowMs);
  Counters.BytesIn += Bytes.size();
  if (Faults.Silent || Restarting(NowMs)) {
    // A restarting device hears nothing; what arrives now is gone, also a frame begun before.
    rx_.clear();
    if (!Bytes.empty()) ++Counters.DroppedIn;
    return;
  }
  rx_.append(Bytes);
  Receive(NowMs);
  if (rx_.size() > kMaxRxBuffer) rx_.erase(0, rx_.size() - kMaxFrameLength);
}

void TSimDevice::Tick(int64_t NowMs) { RunDue(NowMs); }

std::optional<int64_t> TSimDevice::NextWakeMs() const {
  if (events_.empty()) return std::nullopt;
  return events_.front().AtMs;
}

void TSimDevice::LinkDown() {
  linkUp_ = false;
  hangUpDue_ = false;
  rx_.clear();
  std::erase_if(events_, [this](const TEvent& E) {
    if (E.Output) ++Counters.DroppedOut;
    return E.Output;
  });
}

void TSimDevice::LinkUp() {
  linkUp_ = true;
  rx_.clear();
  // A batch that was being collected cannot go on over a new connection.
  collecting_ = false;
}

void TSimDevice::RunDue(int64_t NowMs) {
  now_ = std::max(now_, NowMs);
  while (!events_.empty() && events_.front().AtMs <= now_) {
    TEvent e = std::move(events_.front());
    events_.pop_front();
    if (e.Output) {
      Emit(std::move(e.Frame));
    } else if (e.Action) {
      e.Action(e.AtMs);
    }
  }
}

void TSimDevice::Schedule(int64_t AtMs, std::function<void(int64_t)> Action) {
  TEvent e;
  e.AtMs = AtMs;
  e.Order = order_++;
  e.Action = std::move(Action);
  auto it = std::upper_bound(events_.begin(), events_.end(), AtMs,
                             [](int64_t At, const TEvent& E) { return At < E.AtMs; });
  events_.insert(it, std::move(e));
}

void TSimDevice::SendFrame(const TRequest& To, std::string_view Payload, TInfo Info, int64_t AtMs) {
  encoder_.KRVMode = To.Krvw ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly;
  encoder_.Cimzett = kPCAddress;
  encoder_.Felado = To.Krvw && Faults.ShortKRVWAddress ? (Config.Address & 0xFF) : Config.Address;
  encoder_.Felado_rovid_cim = static_cast<uint8_t>(Config.Address & 0xFF);
  encoder_.CsomagSorszam = To.Id;
  encoder_.Info = Info;
  TEvent e;
  try {
    e.Frame = encoder_.Encode(Payload);
  } catch (const std::exception& Ex) {
    AddLogLine(Printf("%10.3f cannot send: %s", static_cast<double>(AtMs) / 1000.0, Ex.what()));
    return;
  }
  e.AtMs = AtMs;
  e.Order = order_++;
  e.Output = true;
  auto it = std::upper_bound(events_.begin(), events_.end(), AtMs,
                             [](int64_t At, const TEvent& E) { return At < E.AtMs; });
  events_.insert(it, std::move(e));
}

void TSimDevice::Emit(std::string Frame) {
  if (!linkUp_ || Chance(Faults.DropOut)) {
    ++Counters.DroppedOut;
    return;
  }
  if (Frame.size() >= 2 && Chance(Faults.CorruptOut)) {
    // Another checksum that is still a legal byte in both formats, so the frame is cut as usual
    // and refused by its checksum.
    char& sum = Frame[Frame.size() - 2];
    sum = sum == '\x21' ? '\x22' : '\x21';
    ++Counters.Corrupted;
  }
  ++Counters.FramesOut;
  Counters.BytesOut += Frame.size();
  if (OnOutput) OnOutput(Frame);
}

bool TSimDevice::Chance(double Rate) {
  if (Rate <= 0) return false;
  if (Rate >= 1) return true;
  return static_cast<double>(rng_()) / 4294967296.0 < Rate;
}

bool TSimDevice::ForMe(uint32_t Dst, bool Krvw) const {
  if (Krvw) return Dst == Config.Address || Dst == kBroadcastAddress || Dst == kKRVWBroadcast;
  const uint32_t low = Config.Address & 0xFF;
  // A destination byte 0 travels as 0x80 and reads back as 128.
  return Dst == low || Dst == kBroadcastAddress || (low == 0 && Dst == 0x80);
}

// ---------------------------------------------------------------- receiving

void TSimDevice::Receive(int64_t NowMs) {
  for (;;) {
    std::string frame = decoder_.ExtractFrame(rx_);
    if (frame.empty()) return;
    HandleFrame(frame, NowMs);
    // A request may have restarted the device: the rest of the input is not heard.
    if (Restarting(NowMs)) {
      rx_.clear();
      return;
    }
  }
}

void TSimDevice::Log(int64_t NowMs, const TRequest& R, const std::string& Text) {
  AddLogLine(Printf("%10.3f %-4s from %u id %3u ", static_cast<double>(NowMs) / 1000.0, R.Krvw ? "KRVW" : "KRV",
                    R.Src, static_cast<unsigned>(R.Id)) +
             Text);
}

void TSimDevice::AddLogLine(std::string Line) {
  if (OnRequest) OnRequest(Line);
  RequestLog.push_back(std::move(Line));
  while (RequestLog.size() > RequestLogLimit) RequestLog.pop_front();
}

void TSimDevice::HandleFrame(const std::string& Frame, int64_t NowMs) {
  ++Counters.FramesIn;
  TRequest r;
  // Each frame is decoded in the format its start byte names, so a refusal gives its own reason.
  decoder_.KRVMode = !Frame.empty() && static_cast<uint8_t>(Frame[0]) == kKRVWStart ? TKRVMode::PMKRVWOnly
                                                                                   : TKRVMode::PMKRVOnly;
  r.Payload = decoder_.Decode(Frame);
  decoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  if (decoder_.DecodeResult() != drOK) {
    ++Counters.BadFrames;
    AddLogLine(Printf("%10.3f refused frame of %zu bytes: ", static_cast<double>(NowMs) / 1000.0, Frame.size()) +
               std::string(DecodeResultTag(decoder_.DecodeResult())));
    return;
  }
  r.Krvw = decoder_.LastWasKRVW();
  r.Src = decoder_.Felado;
  r.Id = decoder_.CsomagSorszam;
  r.Info = decoder_.Info;
  if (!ForMe(decoder_.Cimzett, r.Krvw)) {
    ++Counters.ForOthers;
    return;
  }
  // The PC's own acknowledgements need nothing; this device never asks for them.
  if (r.Info == TInfo::pozitiv_nyugta || r.Info == TInfo::negativ_nyugta) return;

  const std::string desc = Describe(r.Payload);
  if (Chance(Faults.DropIn)) {
    ++Counters.DroppedIn;
    Log(NowMs, r, desc + " -> lost on the way in (fault)");
    return;
  }
  const std::string code(CodeOf(r.Payload));
  if (Faults.IgnoreCommands.contains(code)) {
    Log(NowMs, r, desc + " -> ignored (fault)");
    return;
  }
  ++Counters.Requests;
  const int64_t reply = NowMs + Config.TurnaroundMs;
  if (Chance(Faults.Nack)) {
    ++Counters.Nacks;
    SendFrame(r, "", TInfo::negativ_nyugta, reply);
    Log(NowMs, r, desc + " -> negative acknowledgement (fault)");
    return;
  }
  const bool batched = collecting_ && r.Info == TInfo::nem_kerek_nyugtat && r.Id >= kFirstBatchIndex &&
                       r.Id <= kLastBatchIndex && Batchable(code);
  const bool acked = r.Info == TInfo::kerek_nyugtat;
  if (acked) SendFrame(r, "", TInfo::pozitiv_nyugta, reply);

  std::string note;
  int64_t extra = 0;
  std::optional<std::string> answer = Execute(r, NowMs, note, extra);
  std::string text = desc + (acked ? " [ack]" : "");
  if (batched) {
    ++Counters.BatchPackets;
    const auto status = answer ? StatusByte(*answer) : std::nullopt;
    const bool stored = !answer || !status || *status == 0;
    if (stored) receipts_[r.Id / 8] = static_cast<char>(receipts_[r.Id / 8] | (1 << (r.Id % 8)));
    Log(NowMs, r, text + Printf(" -> batch packet %u %s", static_cast<unsigned>(r.Id), stored ? "received" : "refused") +
                      (note.empty() ? "" : " (" + note + ")"));
    return;
  }
  if (answer) {
    int64_t delay = Faults.DelayMs;
    if (Faults.DelayJitterMs > 0) delay += static_cast<int64_t>(rng_() % static_cast<uint32_t>(Faults.DelayJitterMs + 1));
    const int64_t at = reply + extra + delay;
    SendFrame(r, *answer, TInfo::nem_kerek_nyugtat, at);
    text += " -> " + Describe(*answer);
    if (extra + delay > 0) text += Printf(" after %lld ms", static_cast<long long>(Config.TurnaroundMs + extra + delay));
    if (Faults.HangUpAfter.contains(code) || Chance(Faults.HangUp)) {
      // Right after the answer has gone out (same time, later in order).
      text += ", then hangs up (fault)";
      Schedule(at, [this](int64_t) {
        if (!linkUp_) return;
        hangUpDue_ = true;
        ++Counters.HangUps;
      });
    }
  } else {
    text += " -> no answer";
  }
  if (!note.empty()) text += " (" + note + ")";
  Log(NowMs, r, text);
}

// ---------------------------------------------------------------- commands

std::optional<std::string> TSimDevice::Execute(const TRequest& R, int64_t NowMs, std::string& Note, int64_t& ExtraMs) {
  const std::string_view p = R.Payload;
  const std::string_view code = CodeOf(p);
  const bool batched = collecting_ && R.Info == TInfo::nem_kerek_nyugtat && R.Id >= kFirstBatchIndex &&
                       R.Id <= kLastBatchIndex && Batchable(code);
  if (p == kBatchOpener) {
    collecting_ = false;
    Note = "batch session opened";
    // The acknowledgement answers the opener; without one the device says something.
    if (R.Info == TInfo::kerek_nyugtat) return std::nullopt;
    return std::string("a");
  }
  if (code == kCSYSI) {
    Note = bootloader_ ? "bootloader runs" : "firmware runs";
    return BuildASYSI(IdentityRecord(NowMs));
  }
  if (code == kCSYRS) {
    Restart(NowMs, Config.RestartMs);
    Note = Printf("restarting, silent for %lld ms", static_cast<long long>(Config.RestartMs));
    return std::nullopt;
  }
  if (code == kCELFE) {
    Schedule(NowMs + Config.EraseMs, [this](int64_t) { std::fill(flash_.begin(), flash_.end(), '\xFF'); });
    ExtraMs = Config.EraseMs;
    Note = "data flash erased";
    return BuildAELFE();
  }
  if (code == kCFLUL) {
    if (IsCFLULProbe(p)) {
      // The PC is about to upload: even a firmware that refuses blocks now restarts into the
      // bootloader, which takes them.
      uploadPending_ = true;
      if (bootloader_ || Config.FirmwareAcceptsBlocks) return BuildAFLUL(kAFLULAccepted);
      Note = "the firmware takes no blocks";
      return std::string(kASYER) + std::string(code);
    }
    return Block(R, batched, Note);
  }
  if (code == kCBLUD) {
    bootloaderAnnounced_ = true;
    Note = "bootloader image announced";
    return std::nullopt;
  }
  if (code == kCFLTS) {
    const auto s = ParseCFLTS(p);
    if (!s) {
      Note = "malformed, ignored";
      return std::nullopt;
    }
    announcedLength_ = s->ImageLength;
    announcedFlag_ = s->Flag;
    blocks_.clear();
    uploadPending_ = true;
    Note = "new upload";
    return std::nullopt;
  }
  if (code == kCFLUD) {
    ExtraMs = Config.InstallMs;
    return Install(p, Note, NowMs);
  }
  if (code == kCFLRC) return FlashRead(p, Note);
  if (code == kCFLPW) return FlashWrite(p, Note);
  if (code == kCSYCA) {
    receipts_.assign(kReceiptMapLength, '\0');
    collecting_ = true;
    Note = "receipts cleared";
    return std::nullopt;
  }
  if (code == kCSYGA) {
    collecting_ = false;
    int received = 0;
    for (unsigned i = kFirstBatchIndex; i <= kLastBatchIndex; ++i) received += ReceiptBit(BuildASYGA(receipts_), i);
    Note = Printf("%d batch packets received", received);
    return BuildASYGA(receipts_);
  }
  Note = "unknown command";
  return std::string(kASYER) + std::string(code);
}

std::optional<std::string> TSimDevice::Block(const TRequest& R, bool Batched, std::string& Note) {
  const auto b = ParseCFLUL(R.Payload);
  if (!b) {
    Note = "malformed block";
    return std::string(kASYER) + std::string(kCFLUL);
  }
  if (!bootloader_ && !Config.FirmwareAcceptsBlocks) {
    Note = "the firmware takes no blocks";
    return std::string(kASYER) + std::string(kCFLUL);
  }
  uint8_t status = kAFLULAccepted;
  const std::size_t size = b->Block.size();
  auto it = Faults.BlockStatuses.find(b->PageIndex);
  if (Faults.NotCompatible) {
    status = kAFLULNotCompatible;
  } else if (it != Faults.BlockStatuses.end() && !it->second.empty()) {
    status = it->second.front();
    it->second.erase(it->second.begin());
  } else {
    const bool blockNumbers = b->PageIndex >= kBlockNumberBase && size < kPageBytes;
    const uint64_t end = blockNumbers ? (uint64_t{b->PageIndex} - kBlockNumberBase + 1) * size
                                      : uint64_t{b->PageIndex} * kPageBytes + size;
    if (size == 0 || end > Config.ProgramFlashBytes) {
      status = kAFLULPageIndexOutOfRange;
    } else if (Chance(Faults.BlockWriteErrors)) {
      status = kAFLULFlashWriteError;
    }
  }
  if (status == kAFLULAccepted) {
    blocks_[b->PageIndex] = std::string(b->Block);
    uploadPending_ = true;
    ++Counters.Blocks;
  } else {
    Note = Printf("status %u", static_cast<unsigned>(status));
  }
  if (!b->AnswerFlag && !Batched) return std::nullopt;
  return BuildAFLUL(status);
}

bool TSimDevice::Assemble(uint16_t StartPage, uint32_t Length, std::string& Image) const {
  Image.assign(Length, '\xFF');
  if (Length == 0) return true;
  // Blocks shorter than a page are numbered from 0x8000 on, one per index.
  std::size_t unit = kPageBytes;
  uint16_t first = StartPage;
  std::size_t shortUnit = 0;
  for (auto it = blocks_.lower_bound(kBlockNumberBase); it != blocks_.end(); ++it)
    shortUnit = std::max(shortUnit, it->second.size());
  if (shortUnit > 0 && shortUnit < kPageBytes) {
    unit = shortUnit;
    first = static_cast<uint16_t>(StartPage + kBlockNumberBase);
  }
  std::size_t covered = 0;
  const std::size_t units = (Length + unit - 1) / unit;
  for (std::size_t n = 0; n < units;) {
    const auto idx = static_cast<uint16_t>(first + n);
    auto it = blocks_.find(idx);
    const std::size_t off = n * unit;
    if (it == blocks_.end()) {
      ++n;
      continue;
    }
    const std::size_t len = std::min(it->second.size(), static_cast<std::size_t>(Length) - off);
    std::memcpy(Image.data() + off, it->second.data(), len);
    covered = std::max(covered, off + len);
    // A block longer than one unit (256-byte blocks on 128-byte pages) covers the next indexes.
    n += std::max<std::size_t>(1, (it->second.size() + unit - 1) / unit);
  }
  return covered >= Length;
}

std::optional<std::string> TSimDevice::Install(std::string_view Payload, std::string& Note, int64_t NowMs) {
  const auto u = ParseCFLUD(Payload);
  if (!u) {
    Note = "malformed";
    return std::string(kASYER) + std::string(kCFLUD);
  }
  if (!bootloader_) {
    // The answer of an install may be lost; the new firmware confirms the same image again.
    if (lastInstall_ && lastInstall_->Length == u->ImageLength && lastInstall_->Crc == u->Crc &&
        lastInstall_->StartPage == u->StartAddrDiv128) {
      Note = "already installed";
      return BuildAFLUD(kAFLUDInstalled);
    }
    Note = "only the bootloader installs";
    return std::string(kASYER) + std::string(kCFLUD);
  }
  if (!Faults.InstallStatuses.empty()) {
    const uint8_t s = Faults.InstallStatuses.front();
    Faults.InstallStatuses.erase(Faults.InstallStatuses.begin());
    if (s != kAFLUDInstalled) {
      Note = Printf("status %u (fault)", static_cast<unsigned>(s));
      return BuildAFLUD(s);
    }
  }
  if (Faults.RejectInstall) {
    // The bootloader gives the upload up and starts the firmware it had, once the answer is out.
    uploadPending_ = false;
    bootloaderAnnounced_ = false;
    announcedLength_.reset();
    announcedFlag_.reset();
    blocks_.clear();
    bootloader_ = false;
    startedAt_ = NowMs + Config.InstallMs;
    Note = "checksum refused (fault), the old firmware starts again";
    return BuildAFLUD(kAFLUDChecksumWrong);
  }
  if (u->ImageLength > Config.ProgramFlashBytes) {
    Note = "longer than the program flash";
    return BuildAFLUD(kAFLUDInstallFailed);
  }
  std::string image;
  const bool complete = Assemble(u->StartAddrDiv128, u->ImageLength, image);
  const uint16_t crc = Crc16(image);
  if (crc != u->Crc) {
    Note = Printf("CRC 0x%04X of the received image, 0x%04X asked%s", crc, u->Crc, complete ? "" : ", blocks missing");
    return BuildAFLUD(kAFLUDChecksumWrong);
  }
  if (Faults.PowerCutOnInstall) {
    Faults.PowerCutOnInstall = false;
    const int64_t cutAt = NowMs + Config.InstallMs / 2;
    const bool committed = Faults.InstallCommitted;
    if (committed) Commit(*u, std::move(image), NowMs);
    Note = committed ? "power cut after the image was written" : "power cut before the image was written";
    // The cut comes half-way through the install time; the answer never leaves.
    Schedule(cutAt, [this](int64_t At) { PowerCycle(At, Faults.PowerOffMs); });
    silentUntil_ = std::max(silentUntil_, cutAt);
    return std::nullopt;
  }
  Commit(*u, std::move(image), NowMs);
  Note = lastInstall_->Summary();
  return BuildAFLUD(kAFLUDInstalled);
}

void TSimDevice::Commit(const TCFLUD& U, std::string Image, int64_t NowMs) {
  ScrambleImage(Image, static_cast<int32_t>(uint32_t{U.StartAddrDiv128} * kPageBytes));
  // A new firmware identifies itself with the build of its information block.
  if (const auto at = Image.find("Build:"); !bootloaderAnnounced_ && at != std::string::npos && at + 11 <= Image.size())
    Config.BuildID = Image.substr(at + 6, 5);
  installedImage_ = std::move(Image);
  TSimInstall inst;
  inst.Length = U.ImageLength;
  inst.Crc = U.Crc;
  inst.StartPage = U.StartAddrDiv128;
  inst.Bootloader = bootloaderAnnounced_;
  inst.AtMs = NowMs;
  lastInstall_ = inst;
  ++installs_;
  uploadPending_ = false;
  bootloaderAnnounced_ = false;
  announcedLength_.reset();
  announcedFlag_.reset();
  blocks_.clear();
  // The new program starts once the answer is out.
  bootloader_ = false;
  startedAt_ = NowMs + Config.InstallMs;
  if (OnInstalled) OnInstalled(inst);
}

std::optional<std::string> TSimDevice::FlashRead(std::string_view Payload, std::string& Note) {
  const auto r = ParseCFLRC(Payload);
  if (!r) {
    Note = "malformed";
    return std::string(kASYER) + std::string(kCFLRC);
  }
  if (r->Page >= Config.FlashPages) {
    Note = "beyond the flash";
    return BuildAFLRC("");
  }
  const std::size_t at = static_cast<std::size_t>(r->Page) * Config.FlashPageSize + r->Offset;
  if (at >= flash_.size()) {
    Note = "beyond the flash";
    return BuildAFLRC("");
  }
  std::size_t count = std::min<std::size_t>(r->Count, kMaxReadBytes);
  count = std::min(count, flash_.size() - at);
  if (count < r->Count) Note = Printf("%zu bytes sent", count);
  return BuildAFLRC(std::string_view(flash_).substr(at, count));
}

std::optional<std::string> TSimDevice::FlashWrite(std::string_view Payload, std::string& Note) {
  const auto w = ParseCFLPW(Payload);
  if (!w) {
    Note = "malformed";
    return std::string(kASYER) + std::string(kCFLPW);
  }
  uint8_t status = kAFLPWWritten;
  if (!Faults.PageWriteStatuses.empty()) {
    status = Faults.PageWriteStatuses.front();
    Faults.PageWriteStatuses.erase(Faults.PageWriteStatuses.begin());
  } else if (w->Page >= Config.FlashPages) {
    status = kAFLPWPageIndexOutOfRange;
  } else if (w->Data.size() > Config.FlashPageSize) {
    status = kAFLPWWriteError;  // more than one page cannot be written at once
  } else if (Chance(Faults.PageWriteErrors)) {
    status = kAFLPWWriteError;
  }
  if (status == kAFLPWWritten) {
    std::memcpy(flash_.data() + static_cast<std::size_t>(w->Page) * Config.FlashPageSize, w->Data.data(),
                w->Data.size());
  } else {
    Note = Printf("status %u", static_cast<unsigned>(status));
  }
  if (!w->AnswerFlag) return std::nullopt;
  return BuildAFLPW(status);
}

void TSimDevice::PowerCycle(int64_t NowMs, int64_t OffMs) {
  RunDue(NowMs);
  ++Counters.PowerCuts;
  std::erase_if(events_, [this](const TEvent& E) {
    if (E.Output) ++Counters.DroppedOut;
    return E.Output;
  });
  AddLogLine(Printf("%10.3f power cycle, dark for %lld ms", static_cast<double>(NowMs) / 1000.0,
                    static_cast<long long>(OffMs + Config.RestartMs)));
  Restart(NowMs, std::max<int64_t>(OffMs, 0) + Config.RestartMs);
}

void TSimDevice::Restart(int64_t NowMs, int64_t SilentMs) {
  silentUntil_ = NowMs + SilentMs;
  collecting_ = false;
  rx_.clear();
  ++restarts_;
  Schedule(silentUntil_, [this](int64_t At) {
    bootloader_ = uploadPending_;
    startedAt_ = At;
  });
}

// ---------------------------------------------------------------- texts and records

std::string TSimDevice::IdentityRecord(int64_t NowMs) const {
  std::string r(kRecordSize, '\0');
  PutText(r, 0, Config.Reserved, 6);
  PutText(r, 6, Config.BuildID, 5);
  PutText(r, 11, Config.BuildName, 6);
  uint64_t date = 0;
  static_assert(sizeof(double) == sizeof(uint64_t));
  std::memcpy(&date, &Config.BuildDate, sizeof date);
  PutLE(r, 17, date, 8);
  PutLE(r, 25, Config.ProjectNumber, 2);
  r[27] = static_cast<char>(Config.DeviceType);
  PutLE(r, 28, Config.RxBufLen, 2);
  PutLE(r, 30, Config.TxBufLen, 2);
  PutText(r, 32, Config.DeviceName, 24);
  PutLE(r, 56, Config.BLRev, 2);
  const int64_t up = std::max<int64_t>(0, NowMs - startedAt_) / 1000;
  PutLE(r, 58, static_cast<uint32_t>(Config.UptimeBase + static_cast<uint64_t>(up)), 4);
  r[62] = bootloader_ ? 1 : 0;
  r[63] = static_cast<char>(Config.CPUType);
  PutLE(r, 64, Config.Voltage, 2);
  return r;
}

std::string TSimDevice::Describe(std::string_view Payload) {
  const std::string_view code = CodeOf(Payload);
  if (code == kCFLUL) {
    if (IsCFLULProbe(Payload)) return "CFLUL probe";
    if (auto b = ParseCFLUL(Payload))
      return Printf("CFLUL page %u, %zu bytes%s", static_cast<unsigned>(b->PageIndex), b->Block.size(),
                    b->AnswerFlag ? "" : ", no answer asked");
  } else if (code == kCFLTS) {
    if (auto s = ParseCFLTS(Payload)) return Printf("CFLTS length %u, flag %u", s->ImageLength, unsigned{s->Flag});
  } else if (code == kCFLUD) {
    if (auto u = ParseCFLUD(Payload))
      return Printf("CFLUD length %u, CRC 0x%04X, start page %u", u->ImageLength, unsigned{u->Crc},
                    unsigned{u->StartAddrDiv128});
  } else if (code == kCFLRC) {
    if (auto r = ParseCFLRC(Payload))
      return Printf("CFLRC page %u, offset %u, %u bytes", r->Page, unsigned{r->Offset}, unsigned{r->Count});
  } else if (code == kAFLRC) {
    return Printf("AFLRC %zu bytes", AfterCode(Payload).size());
  } else if (code == kCFLPW) {
    if (auto w = ParseCFLPW(Payload))
      return Printf("CFLPW page %u, %zu bytes%s", unsigned{w->Page}, w->Data.size(),
                    w->AnswerFlag ? "" : ", no answer asked");
  } else if (code == kAFLUL || code == kAFLUD || code == kAFLPW) {
    if (auto s = StatusByte(Payload)) return Printable(code) + Printf(" %u", unsigned{*s});
  } else if (code == kASYSI) {
    return Printf("ASYSI %zu bytes", AfterCode(Payload).size());
  } else if (code == kASYGA) {
    return "ASYGA";
  } else if (code == kASYER) {
    return "ASYER " + Printable(AfterCode(Payload));
  }
  if (Payload.size() <= kCodeLength) return Printable(Payload);
  return Printable(code) + Printf(" +%zu bytes", Payload.size() - kCodeLength);
}

}  // namespace vornik
