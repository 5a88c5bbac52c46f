// TSimDevice is a KRV device without hardware: it is fed the bytes that arrive on its line and the
// current time, and produces the bytes it sends back, so the same device serves the unit tests
// (virtual time, in memory), the vornik-sim program (real TCP or a pseudo-terminal) and the
// benchmarks. It does no I/O and reads no clock: the host calls Feed(bytes, now) for every chunk
// received, Tick(now) when NextWakeMs() comes due, and takes the frames through OnOutput.
//
// Line protocol. Frames of both formats are cut from one receive buffer. A request is answered in
// the format it came in (KRV -> KRV, KRVW -> KRVW), from the device's own address (32-bit in
// KRVW, the low byte in KRV), to the PC (250), with the request's packet id. A request that asks
// for an acknowledgement gets a positive acknowledgement with the same id before its answer.
// Frames for other addresses are ignored; 255 (and 0xFFFFFFFF in KRVW) reaches every device.
//
// What the device keeps. Which program runs (firmware or bootloader), the blocks of an upload it
// has received, the image it installed, its external data flash and the batch receipts. All of it
// survives LinkDown()/LinkUp(), as a real device's memory survives a cable being pulled, so an
// interrupted update can simply be run again. Only the half-received frame and the answers not yet
// sent are lost with the link.
//
// Firmware upload as the device sees it: the CFLUL probe and CFLTS tell it that an upload is
// coming (CFLTS also forgets the blocks received before); CFLUL blocks are stored by page index (128-byte pages; from index 0x8000 on,
// one block per index for blocks shorter than a page); CSYRS restarts the device, which stays
// silent for RestartMs and then runs the bootloader while an upload is pending, the firmware
// otherwise; CFLUD, handled by the bootloader, lays the blocks out from the start page, checks the
// CRC-16 of the announced length and installs the image (kept unscrambled, as it would run).
// A repeated CFLUD for the image just installed is answered as installed again, so an install
// whose answer was lost can be confirmed. With the RejectInstall fault every CFLUD is answered
// "checksum wrong" and the old firmware starts again: after a lost answer the device then runs a
// firmware, but not the new one, and a repeated CFLUD is refused.
//
// A command the running program does not carry out (an unknown code, blocks for a firmware that
// takes none, CFLUD for the firmware, a malformed payload) is answered with "ASYER" and the code,
// so the PC sees a wrong answer at once instead of waiting for one that never comes.
//
// Batch exchange: "x" (id 249) opens a session, CSYCA (id 250) clears the receipts and starts
// collecting; while collecting, an unacknowledged data packet with id 1..240 is taken silently
// and its id marked in the receipt map; CSYGA ends collecting and is answered with ASYGA and the
// 32-byte map. A block the device could not store is not marked, so the PC sends it again.
//
// Faults for tests and training come from one seeded generator, so a run is repeatable: lost
// frames in either direction, damaged checksums, negative acknowledgements, late answers, silence,
// KRVW answers from the short address, refused blocks, flash and install errors, refused installs,
// and a hang-up right after an answer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codec/KRVCommands.h"
#include "codec/KRVProtocol.h"

namespace vornik {

/// Identity and behaviour of a simulated device (what its ASYSI record says and how it works).
struct TSimDeviceConfig {
  uint32_t Address = 178556;  ///< KRVW address; its low byte is the KRV address
  // The identification record.
  std::string Reserved = std::string(6, '\0');  ///< 6 bytes at the record's start
  std::string BuildID = "B0042";                 ///< 5 characters; an install sets the image's build
  std::string BuildName = "VSIM01";              ///< 6 characters
  double BuildDate = 46037.4375;                 ///< days since 1899-12-30 (2026-01-15 10:30)
  uint16_t ProjectNumber = 42;
  uint8_t DeviceType = 7;
  uint16_t RxBufLen = 1024;  ///< bytes
  uint16_t TxBufLen = 1024;  ///< bytes
  std::string DeviceName = "Vornik simulated device";  ///< up to 24 characters
  uint16_t BLRev = 3;
  uint32_t UptimeBase = 0;  ///< s, added to the seconds since the last start
  uint8_t CPUType = 30;     ///< above 22: ARM controller
  uint16_t Voltage = 240;
  bool StartInBootloader = false;  ///< the bootloader runs from the start (no firmware installed)

  // Timing.
  int64_t TurnaroundMs = 1;  ///< from a request to its acknowledgement and answer
  int64_t RestartMs = 300;   ///< silent time after CSYRS
  int64_t EraseMs = 1500;    ///< CELFE: erase time before AELFE
  int64_t InstallMs = 0;     ///< CFLUD: time before AFLUD

  // Memories.
  uint32_t ProgramFlashBytes = 1024 * 1024;  ///< blocks beyond this get status 1
  uint32_t FlashPages = 4096;                ///< external data flash
  uint32_t FlashPageSize = 264;              ///< 264 or 528
  bool FirmwareAcceptsBlocks = true;  ///< false: the firmware refuses CFLUL, the bootloader must take them
};

/// Faults, drawn from a generator seeded with Seed. Rates are fractions 0..1.
struct TSimFaults {
  uint32_t Seed = 1;
  double DropIn = 0;        ///< incoming frames lost before the device sees them
  double DropOut = 0;       ///< outgoing frames lost on the way
  double CorruptOut = 0;    ///< outgoing frames sent with a wrong checksum
  double Nack = 0;          ///< requests refused with a negative acknowledgement (not carried out)
  double BlockWriteErrors = 0;  ///< CFLUL blocks refused with status 2
  double PageWriteErrors = 0;   ///< CFLPW pages refused with status 2
  int64_t DelayMs = 0;      ///< added to every answer
  int64_t DelayJitterMs = 0;  ///< up to this much more, drawn per answer
  bool Silent = false;      ///< takes nothing, answers nothing
  std::set<std::string> IgnoreCommands;  ///< five-letter codes that get neither ack nor answer
  bool ShortKRVWAddress = false;  ///< KRVW answers carry the low byte as sender (the PC refuses them)
  bool NotCompatible = false;     ///< every block is answered with status 4
  std::map<uint16_t, std::vector<uint8_t>> BlockStatuses;  ///< page index -> statuses used in turn
  std::vector<uint8_t> InstallStatuses;  ///< AFLUD statuses used in turn before the real check
  /// Every install is refused as a wrong checksum and the device falls back to the firmware it
  /// ran before, as a real one does when the new image does not check out.
  bool RejectInstall = false;
  std::vector<uint8_t> PageWriteStatuses;  ///< AFLPW statuses used in turn before the real write
  /// The power fails while the next install runs: nothing is answered, the device stays dark for
  /// PowerOffMs and then starts again. With InstallCommitted the new image was already in place
  /// (the firmware starts), otherwise the install never happened (the bootloader starts, the
  /// received blocks kept). Used once.
  bool PowerCutOnInstall = false;
  bool InstallCommitted = false;
  int64_t PowerOffMs = 2000;
  /// The device hangs up the line right after answering one of these commands (five-letter
  /// codes), as a device does that restarts into another program the moment its answer is out.
  std::set<std::string> HangUpAfter;
  double HangUp = 0;  ///< fraction of answered requests after which it hangs up
};

/// What the last successful CFLUD installed.
struct TSimInstall {
  uint32_t Length = 0;     ///< bytes
  uint16_t Crc = 0;        ///< CRC-16 of the image as received (scrambled)
  uint16_t StartPage = 0;  ///< start address div 128
  bool Bootloader = false;  ///< announced with CBLUD
  int64_t AtMs = 0;
  /// "Installed firmware: 8192 bytes, CRC 0x1A2B, start page 128 (address 0x00004000)".
  std::string Summary() const;
};

class TSimDevice {
 public:
  explicit TSimDevice(TSimDeviceConfig Config = {}, TSimFaults Faults = {});

  // ---- Host side ----
  /// Bytes received from the line at time NowMs (runs whatever is due first).
  void Feed(std::string_view Bytes, int64_t NowMs);
  /// Runs everything due at NowMs: answers, the end of a restart, erase or install.
  void Tick(int64_t NowMs);
  /// When Tick must be called next; nullopt when nothing is pending.
  std::optional<int64_t> NextWakeMs() const;
  /// The line is lost: the half-received frame and the unsent answers go, the device state stays.
  void LinkDown();
  /// The line is back (a new TCP connection, a re-opened port).
  void LinkUp();
  /// The device starts again by itself (watchdog, brown-out, power cut): the answers not yet sent
  /// are lost, it hears nothing for OffMs plus its RestartMs, then runs the bootloader while an
  /// upload is pending, the firmware otherwise. Received blocks and the installed image stay.
  void PowerCycle(int64_t NowMs, int64_t OffMs = 0);
  bool IsLinkUp() const { return linkUp_; }
  /// True once after the device hung up (the HangUpAfter and HangUp faults): its answer is out,
  /// and the host now closes the line and calls LinkDown(). Asked after every Feed and Tick.
  bool TakeHangUp() {
    const bool due = hangUpDue_;
    hangUpDue_ = false;
    return due;
  }

  /// Every frame the device sends, at the time it is sent.
  std::function<void(std::string_view Frame)> OnOutput;
  /// One line per request handled (also kept in RequestLog).
  std::function<void(const std::string& Line)> OnRequest;
  /// After every successful install.
  std::function<void(const TSimInstall&)> OnInstalled;

  // ---- State, readable by tests and the program ----
  TSimDeviceConfig Config;
  TSimFaults Faults;
  bool BootloaderRunning() const { return bootloader_; }
  bool Restarting(int64_t NowMs) const { return NowMs < silentUntil_; }
  bool UploadPending() const { return uploadPending_; }
  /// The installed image, unscrambled; empty before the first install.
  const std::string& InstalledImage() const { return installedImage_; }
  const std::optional<TSimInstall>& LastInstall() const { return lastInstall_; }
  /// Blocks of the current upload as received, by page index.
  const std::map<uint16_t, std::string>& ReceivedBlocks() const { return blocks_; }
  std::optional<uint32_t> AnnouncedLength() const { return announcedLength_; }
  std::optional<uint8_t> AnnouncedFlag() const { return announcedFlag_; }
  bool BootloaderAnnounced() const { return bootloaderAnnounced_; }
  /// The external data flash, FlashPages * FlashPageSize bytes.
  std::string& Flash() { return flash_; }
  const std::string& ReceiptMap() const { return receipts_; }
  bool CollectingBatch() const { return collecting_; }
  int Restarts() const { return restarts_; }
  int Installs() const { return installs_; }

  /// The latest request lines, at most RequestLogLimit of them (older ones are dropped).
  std::deque<std::string> RequestLog;
  std::size_t RequestLogLimit = 10000;
  /// Counters of what happened on the line.
  struct TCounters {
    int FramesIn = 0;     ///< complete frames cut from the input
    int BadFrames = 0;    ///< frames that failed decoding
    int ForOthers = 0;    ///< frames for other addresses
    int Requests = 0;     ///< requests handled (acknowledgements from the PC not counted)
    int DroppedIn = 0;    ///< lost by the DropIn fault or during a restart
    int FramesOut = 0;    ///< frames handed to OnOutput
    int DroppedOut = 0;   ///< lost by the DropOut fault or with the link
    int Corrupted = 0;
    int Nacks = 0;
    int BatchPackets = 0;  ///< taken silently while collecting
    int Blocks = 0;        ///< CFLUL blocks stored (repeats included)
    int PowerCuts = 0;     ///< PowerCycle calls and power cuts during installs
    int HangUps = 0;       ///< hang-ups right after an answer (faults)
    std::size_t BytesIn = 0;
    std::size_t BytesOut = 0;
  } Counters;

  /// The 66-byte identification record as it would be sent now.
  std::string IdentityRecord(int64_t NowMs) const;

 private:
  struct TRequest {
    bool Krvw = false;
    uint32_t Src = 0;
    uint8_t Id = 0;
    TInfo Info = TInfo::nem_kerek_nyugtat;
    std::string Payload;
  };
  struct TEvent {
    int64_t AtMs = 0;
    uint64_t Order = 0;
    bool Output = false;  ///< a frame to send (lost with the link)
    std::string Frame;
    std::function<void(int64_t)> Action;
  };

  void RunDue(int64_t NowMs);
  void Receive(int64_t NowMs);
  void HandleFrame(const std::string& Frame, int64_t NowMs);
  /// Carries out one request; returns the answer payload (nullopt: no answer) and the log text.
  std::optional<std::string> Execute(const TRequest& R, int64_t NowMs, std::string& Note, int64_t& ExtraMs);
  std::optional<std::string> Block(const TRequest& R, bool Batched, std::string& Note);
  std::optional<std::string> Install(std::string_view Payload, std::string& Note, int64_t NowMs);
  /// Puts a checked image in place (Image as received, scrambled).
  void Commit(const TCFLUD& U, std::string Image, int64_t NowMs);
  std::optional<std::string> FlashRead(std::string_view Payload, std::string& Note);
  std::optional<std::string> FlashWrite(std::string_view Payload, std::string& Note);
  /// The received blocks laid out from StartPage for Length bytes; false when one is missing.
  bool Assemble(uint16_t StartPage, uint32_t Length, std::string& Image) const;

  void Schedule(int64_t AtMs, std::function<void(int64_t)> Action);
  void SendFrame(const TRequest& To, std::string_view Payload, TInfo Info, int64_t AtMs);
  void Emit(std::string Frame);
  void Restart(int64_t NowMs, int64_t SilentMs);
  void Log(int64_t NowMs, const TRequest& R, const std::string& Text);
  void AddLogLine(std::string Line);
  bool Chance(double Rate);
  bool ForMe(uint32_t Dst, bool Krvw) const;
  static std::string Describe(std::string_view Payload);

  TKRVProtocol decoder_;
  TKRVProtocol encoder_;
  std::mt19937 rng_;
  std::string rx_;
  std::deque<TEvent> events_;  ///< kept in (AtMs, Order) order
  uint64_t order_ = 0;
  int64_t now_ = 0;
  bool linkUp_ = true;
  bool running_ = false;  ///< RunDue is on the stack
  bool hangUpDue_ = false;

  bool bootloader_ = false;
  int64_t silentUntil_ = 0;
  int64_t startedAt_ = 0;
  bool uploadPending_ = false;
  bool bootloaderAnnounced_ = false;
  std::optional<uint32_t> announcedLength_;
  std::optional<uint8_t> announcedFlag_;
  std::map<uint16_t, std::string> blocks_;
  std::string installedImage_;
  std::optional<TSimInstall> lastInstall_;
  std::string flash_;
  std::string receipts_ = std::string(32, '\0');
  bool collecting_ = false;
  int restarts_ = 0;
  int installs_ = 0;
};

}  // namespace vornik
