#include "procedures/uFirmwareUploader.h"

#include <cmath>
#include <cstdio>

#include "codec/KRVCommands.h"
#include "firmware/KRVDataUtils.h"
#include "firmware/PackageFiles.h"
#include "firmware/uHexfileToStr.h"
#include "util/MorvelUtils.h"

namespace vornik {

namespace {

constexpr int kSafeTurboPauseMs = 60;
constexpr int kReconnectWaitMs = 2000;
constexpr int32_t kFirstBlockExtraMs = 1500;   ///< added to LineTimeout for the first block
constexpr int32_t kRestartWaitArmMs = 4500;
constexpr int32_t kRestartWaitMs = 700;
constexpr int32_t kIdentifyTimeoutMs = 250;
constexpr int32_t kSizeTimeoutMs = 250;
constexpr int32_t kFirstRestartMs = 2500;
constexpr int32_t kEraseTimeoutMs = 40000;
constexpr uint8_t kLastSmallCpuType = 22;    ///< CPU types above this are ARM controllers
constexpr uint16_t kSmallRxBuffer = 256;     ///< bytes; such a device takes 128-byte blocks
constexpr int32_t kPageBytes = 128;
constexpr uint16_t kBlockNumberBase = 0x8000;  ///< page counter start for blocks under 128 bytes

const char* BoolText(bool Value) { return Value ? "-1" : "0"; }

/// Bytes of an identification record up to and with the bootloader flag.
constexpr std::size_t kRecordWithRunFlag = 63;

/// Who runs, as an ASYSI answer tells it. A record too short to carry the bootloader flag tells
/// nothing: its zero padding must not read as "the firmware runs".
enum class TRunning { Unknown, Firmware, Bootloader };

TRunning WhoRuns(const std::string& S, TDeviceInfo& Info) {
  std::string text;
  if (DecodeDeviceInfo(S, Info, text) != 0) return TRunning::Unknown;
  const std::size_t record = S.size() - (StartsWithCode(S, kASYSI) ? kASYSI.size() : 0);
  if (record < kRecordWithRunFlag) return TRunning::Unknown;
  return Info.BootloaderRunning != 0 ? TRunning::Bootloader : TRunning::Firmware;
}

/// Percent with halves rounded to even, as the progress bar expects.
int Percent(double Part, double Whole) { return static_cast<int>(std::nearbyint(Part / Whole * 100.0)); }

TFWUploadResult AFLULStatusResult(std::optional<uint8_t> Status) {
  if (!Status) return TFWUploadResult::fwrUnknownErrorCode;
  switch (*Status) {
    case kAFLULAccepted: return TFWUploadResult::fwrOk;
    case kAFLULPageIndexOutOfRange: return TFWUploadResult::fwrPageIndexOutOfRange;
    case kAFLULFlashWriteError: return TFWUploadResult::fwrFlashWriteError;
    case kAFLULNotCompatible: return TFWUploadResult::fwrFirmwareNotCompatible;
    default: return TFWUploadResult::fwrUnknownErrorCode;
  }
}

TFWUploadResult AFLUDStatusResult(std::optional<uint8_t> Status) {
  if (!Status) return TFWUploadResult::fwrUnknownErrorCode;
  switch (*Status) {
    case kAFLUDInstalled: return TFWUploadResult::fwrOk;
    case kAFLUDChecksumWrong: return TFWUploadResult::fwrCRCError;
    case kAFLUDInstallFailed: return TFWUploadResult::fwrUpdateFailed;
    case kAFLUDNotCompatible: return TFWUploadResult::fwrFirmwareNotCompatible;
    default: return TFWUploadResult::fwrUnknownErrorCode;
  }
}

}  // namespace

std::string FWUploadResultToStr(TFWUploadResult Result, uint16_t LastErrorCode) {
  switch (Result) {
    case TFWUploadResult::fwrOk: return "A firmware telepítése sikeresen befejeződött.";
    case TFWUploadResult::fwrAborted: return "Megszakította a firmware feltöltését.";
    case TFWUploadResult::fwrKRVError: return "Hiba történt: " + ErrorCodeText(LastErrorCode);
    case TFWUploadResult::fwrInvalidAnswerASYSI:
      return "A készülék nem az elvárt választ adja vagy nem ismeri a KRVW protokollt.";
    case TFWUploadResult::fwrInvalidAnswerAFLUL:
      return "A készülék bootloadere nem támogatja a frissítést (nincs AFLUL válasz).";
    case TFWUploadResult::fwrInvalidAnswerAFLUD: return "A készülék nem az elvárt választ adja (nincs AFLUD válasz).";
    case TFWUploadResult::fwrPageIndexOutOfRange:
      return "A firmware feltöltése közben túlcímzés történt: nincs elég hely a kontrollerben.";
    case TFWUploadResult::fwrFlashWriteError:
      return "A firmware egyik szeletének feltöltése többszöri próbálkozásra sem sikerült.";
    case TFWUploadResult::fwrRestartFailed: return "A készülék újraindítása többszöri próbálkozásra sem sikerült.";
    case TFWUploadResult::fwrUpdateFailed:
      return "A feltöltött firmware telepítése többszöri próbálkozásra sem sikerült.";
    case TFWUploadResult::fwrCRCError:
      return "A feltöltött firmware ellenőrzőösszege hibás, meg kell ismételni a feltöltést.";
    case TFWUploadResult::fwrFirmwareNotCompatible: return "A firmware nem kompatibilis a készülékkel.";
    case TFWUploadResult::fwrUnknownErrorCode:
      return "A készülék által küldött válaszban ismeretlen hibakód szerepel.";
  }
  return "";
}

TFirmwareUploader::TFirmwareUploader(EventLoop& Loop) : loop_(Loop), batch_(std::make_unique<TKRVCommsBatch>()) {
  batch_->TimeBetweenPcks = 1;
}

TFirmwareUploader::~TFirmwareUploader() {
  *alive_ = false;
  state_ = TRunState::Destroying;
  Abort();
  timer_.reset();
  batch_.reset();
}

void TFirmwareUploader::SetKRVPort(TKRVComms* Port) {
  if (state_ != TRunState::Idle && Port != krvPort_)
    throw EFirmwareUploader("Cannot change KRVPort while update in progress");
  krvPort_ = Port;
  batch_->KRVPort = Port;
}

void TFirmwareUploader::SetKRVAddress(int32_t Address) {
  krvAddress_ = Address;
  batch_->KRVAddress = Address;
}

void TFirmwareUploader::UploadFromStr(std::string_view Image) {
  if (krvPort_ == nullptr) throw EFirmwareUploader("KRVPort not assigned");
  // Blocks of 128 bytes or more are addressed in 128-byte pages, so such a length must be a whole
  // number of pages or the device would place the data at the wrong addresses.
  if (BlockLength <= 0 || (BlockLength >= kPageBytes && BlockLength % kPageBytes != 0))
    throw EFirmwareUploader("Invalid block length");
  if (Image.empty()) throw EFirmwareUploader("Empty firmware");
  if (state_ != TRunState::Idle) throw EFirmwareUploader("Firmware update in progress");

  image_.assign(Image);
  {
    // The build identifier: the five characters after "Build:" in the plain image.
    std::string plain(Image);
    ScrambleImage(plain, FWAddress);
    const std::string build = FindBuildStr(plain);
    expectedBuildId_ = build.size() == kBuildStrLength ? build.substr(6) : std::string();
  }
  position_ = 1;
  pageCounter_ = BlockLength >= kPageBytes ? 0 : kBlockNumberBase;
  retryCounter_ = 0;
  repeatedPckCount_ = 0;
  lastErrorCode_ = 0;
  result_ = TFWUploadResult::fwrOk;
  bootloaderRunning_ = false;
  armController_ = false;
  hwType_ = 0;
  restartNeededBeforeCFLUD_ = true;
  restartDone_ = false;
  identified_ = false;
  firstBuildId_.clear();
  ++run_;
  state_ = TRunState::Running;
  step_ = TUploadStep::Identify;
  ExecuteStep();
}

void TFirmwareUploader::Abort() {
  const TRunState was = state_;
  if (state_ != TRunState::Destroying) state_ = TRunState::Aborting;
  if (timer_) timer_->stop();
  if (batch_) batch_->Abort();
  if (krvPort_ != nullptr) krvPort_->CancelOnResult(TOnResult(this, &TFirmwareUploader::OnPacketResult));
  if (state_ != TRunState::Destroying) state_ = TRunState::Idle;
  if (was == TRunState::Running && state_ != TRunState::Destroying) {
    result_ = TFWUploadResult::fwrAborted;
    if (OnUploadDone) OnUploadDone(this, TFWUploadResult::fwrAborted);
  }
}

void TFirmwareUploader::LogNote(const std::string& Note) {
  if (krvPort_ != nullptr) krvPort_->LogMsg(Note, 0);
}

bool TFirmwareUploader::LinkWasAddressed() const {
  return krvPort_ != nullptr && krvPort_->KRVAddressAtActivation() != 0;
}

int32_t TFirmwareUploader::RestartTimeout() const { return armController_ ? kRestartWaitArmMs : kRestartWaitMs; }

void TFirmwareUploader::SendItem(std::string Pck, std::string Ans, int32_t Timeout, TKRVSendOptions Options) {
  auto* item = new TKuldendo(std::move(Pck), static_cast<uint32_t>(krvAddress_));
  item->Ans = std::move(Ans);
  item->Timeout = Timeout;
  item->Options = Options;
  item->OnResult = TOnResult(this, &TFirmwareUploader::OnPacketResult);
  item->SendWith(krvPort_);
}

void TFirmwareUploader::StartTimer(int Ms) {
  if (!timer_) {
    timer_ = loop_.createTimer();
    timer_->onTimeout = [this] { OnTimer(); };
  }
  timer_->stop();
  timer_->setInterval(Ms);
  timer_->start();
}

void TFirmwareUploader::OnTimer() {
  if (timer_) timer_->stop();
  OnPacketResult(krvPort_, "", 0, 0, 0);
}

void TFirmwareUploader::ExecuteStep() {
  if (state_ != TRunState::Running) return;
  if (retryCounter_ >= 2) step_ = TUploadStep::Finish;
  SendStep();
}

void TFirmwareUploader::SendStep() {
  using enum TUploadStep;
  const TKRVSendOptions plainWait{psoDontAck, psoForceWait, psoAcked, psoEncodeKRVW};
  switch (step_) {
    case Restart:
      LogNote("Vornik: Before_KRV_Restart");
      step_ = RestartDone;
      SendItem(BuildCSYRS(), "", kFirstRestartMs, TKRVSendOptions{psoDontAck, psoForceWait, psoAcked, psoEncodeKRV});
      break;
    case Identify:
      LogNote("Vornik: BeforeASYSI");
      step_ = IdentifyDone;
      SendItem(BuildCSYSI(), std::string(kASYSI), kIdentifyTimeoutMs,
               TKRVSendOptions{psoDontAck, psoNewIDOnRepeat, psoEncodeKRVW});
      break;
    case Erase:
      LogNote("Vornik: BeforeCELFESent");
      step_ = EraseDone;
      SendItem(BuildCELFE(), std::string(kAELFE), kEraseTimeoutMs,
               TKRVSendOptions{psoForceAck, psoWaitAfterAck, psoEncodeKRVW});
      break;
    case Probe:
      LogNote("Vornik: BeforeCFLULChecked");
      step_ = ProbeDone;
      SendItem(BuildCFLULProbe(), std::string(kAnyAnswer), 0, TKRVSendOptions{psoEncodeKRVW});
      break;
    case RestartForUpload:
      LogNote("Vornik: BeforeRestartForCFLUL");
      step_ = RestartForUploadDone;
      SendItem(BuildCSYRS(), "", ReconnectSerialPort ? kRestartWaitMs : RestartTimeout(),
               TKRVSendOptions{psoDontAck, psoForceWait, psoAcked, psoExactTimeout, psoEncodeKRVW});
      break;
    case Reconnect:
      LogNote("Vornik: BeforeReconnectSerialPort");
      step_ = ReconnectDone;
      if (LinkWasAddressed()) krvPort_->SetActive(false);
      StartTimer(kReconnectWaitMs);
      break;
    case BootloaderUpdate:
      LogNote("Vornik: BeforeCBLUD");
      step_ = BootloaderUpdateDone;
      SendItem(BuildCBLUD(), "", 0, TKRVSendOptions{psoEncodeKRVW});
      break;
    case SendSize:
      LogNote("Vornik: BeforeSendSize");
      step_ = SendSizeDone;
      SendItem(BuildCFLTS(static_cast<uint32_t>(image_.size()), (FWAddress == 0 && !UseCBLUD) ? 1 : 0), "",
               kSizeTimeoutMs, plainWait);
      break;
    case Block:
      SendBlock();
      break;
    case RestartForInstall:
      LogNote("Vornik: BeforeRestartForCFLUD");
      step_ = RestartForInstallDone;
      SendItem(BuildCSYRS(), "", RestartTimeout(), plainWait);
      break;
    case UploadBootloaderCheck:
      LogNote("Vornik: BeforeBootloaderCheckedForCFLUL");
      step_ = UploadBootloaderCheckDone;
      SendItem(BuildCSYSI(), std::string(kASYSI), kIdentifyTimeoutMs,
               TKRVSendOptions{psoDontAck, psoNewIDOnRepeat, psoEncodeKRVW});
      break;
    case BootloaderCheck:
      LogNote("Vornik: BeforeBootloaderChecked");
      step_ = BootloaderCheckDone;
      SendItem(BuildCSYSI(), std::string(kASYSI), kIdentifyTimeoutMs,
               TKRVSendOptions{psoDontAck, psoNewIDOnRepeat, psoEncodeKRVW});
      break;
    case Install:
      LogNote("Vornik: BeforeCFLUD");
      step_ = InstallDone;
      if (IgnoreAFLUD)
        SendItem(InstallPacket(), "", CFLUDTimeout, plainWait);
      else
        SendItem(InstallPacket(), std::string(kAFLUD), CFLUDTimeout,
                 TKRVSendOptions{psoForceAck, psoWaitAfterAck, psoNewIDOnRepeat, psoEncodeKRVW});
      break;
    case WaitForFirmware:
      LogNote("Vornik: BeforeWaitForFWToStart");
      step_ = WaitForFirmwareDone;
      StartTimer(WaitForFwToStart);
      break;
    case InstallCheck:
      LogNote("Vornik: BeforeInstallChecked");
      step_ = InstallCheckDone;
      SendItem(BuildCSYSI(), std::string(kASYSI), kIdentifyTimeoutMs,
               TKRVSendOptions{psoDontAck, psoNewIDOnRepeat, psoEncodeKRVW});
      break;
    case Finish:
      FinishRun();
      break;
    default:  // a waiting step: its result moves the machine on
      break;
  }
}

std::string TFirmwareUploader::InstallPacket() const {
  return BuildCFLUD(static_cast<uint32_t>(image_.size()), Crc16(image_), static_cast<uint16_t>(FWAddress / kPageBytes));
}

void TFirmwareUploader::SendBlock() {
  const std::string block = image_.substr(position_ - 1, static_cast<std::size_t>(BlockLength));
  const auto pageIndex = static_cast<uint16_t>(FWAddress / kPageBytes + pageCounter_);
  if (TurboMode) {
    auto* item = new TKuldendo(SimulationMode ? BuildCSYSI() : BuildCFLUL(pageIndex, false, block),
                               static_cast<uint32_t>(krvAddress_));
    item->Options = TKRVSendOptions{psoDontAck, psoDontWait, psoEncodeKRVW};
    if (!SafeTurbo && krvPort_->IsSerialLine()) {
      // Blocks written back to back would overrun a serial port's output buffer: the block waits
      // (a timed wait without an answer) while the port holds more than one block, and the next
      // one follows before the line runs dry.
      item->Options = TKRVSendOptions{psoDontAck, psoForceWait, psoAcked, psoExactTimeout, psoNoLineTimeout,
                                      psoEncodeKRVW};
      item->Timeout = krvPort_->LinePaceMs(item->Pck.size());
    }
    item->OnResult = TOnResult(this, &TFirmwareUploader::OnPacketResult);
    // Everything the pause needs is read before the hand-over: a refusal reports at once, and
    // its handler may end this run, start another or destroy the uploader.
    const bool safeTurbo = SafeTurbo;
    const int32_t pauseMs = std::max<int32_t>(kSafeTurboPauseMs, SerialLineMs(*krvPort_, item->Pck.size()));
    EventLoop& loop = loop_;
    const std::weak_ptr<bool> alive = alive_;
    const uint64_t run = run_;
    item->SendWith(krvPort_);  // the engine owns the item from here on
    if (alive.expired() || run != run_ || state_ != TRunState::Running) return;
    // A slow serial line needs longer than the pause for a long block: wait for the line then,
    // or the port's output buffer fills up and refuses the blocks.
    if (safeTurbo) loop.sleepMs(pauseMs);
    return;
  }
  auto* item = new TKuldendo(SimulationMode ? BuildCSYSI() : BuildCFLUL(pageIndex, true, block),
                             static_cast<uint32_t>(krvAddress_));
  item->Ans = std::string(SimulationMode ? kASYSI : kAFLUL);
  ++blocksSent_;
  if (PauseRate != 0 && blocksSent_ % static_cast<uint32_t>(PauseRate) == 0) {
    item->Timeout = krvPort_->Timeout_1 + PauseLength;
    item->Options.Include({psoForceWait});
  }
  if (position_ == 1) item->Timeout = std::max<int32_t>(krvPort_->LineTimeout + kFirstBlockExtraMs, item->Timeout);
  item->Options.Include({psoDontAck, psoNewIDOnRepeat, psoEncodeKRVW});
  item->OnResult = TOnResult(this, &TFirmwareUploader::OnPacketResult);
  if (BatchedMode) {
    if (position_ == 1) item->Options.Include({psoBatchStart});
    if (image_.size() < position_ + static_cast<std::size_t>(BlockLength)) item->Options.Include({psoBatchEnd});
    item->BatchAnswer = std::string(kAFLUL) + std::string(1, '\0');
    try {
      item->SendWith(batch_.get());
    } catch (const std::exception& e) {
      // The batch refused the packet (it still belongs to us): end the run instead of raising
      // out of a result handler.
      delete item;
      LogNote(std::string("Vornik: ") + e.what());
      lastErrorCode_ = ecInternal;
      result_ = TFWUploadResult::fwrKRVError;
      step_ = TUploadStep::Finish;
      ExecuteStep();
    }
    return;
  }
  item->SendWith(krvPort_);
}

void TFirmwareUploader::AdvancePage() {
  if (BlockLength >= kPageBytes)
    pageCounter_ = static_cast<uint16_t>(pageCounter_ + BlockLength / kPageBytes);
  else
    pageCounter_ = static_cast<uint16_t>(pageCounter_ + 1);
}

void TFirmwareUploader::OnPacketResult(TKRVComms*, const std::string& S, uint16_t ErrorCode, int32_t, int32_t) {
  using enum TUploadStep;
  if (state_ != TRunState::Running) return;
  const std::weak_ptr<bool> alive = alive_;
  const uint64_t run = run_;
  lastErrorCode_ = ErrorCode;
  if (step_ == InstallDone && ErrorCode == ecNoAnswer && !IgnoreAFLUD) {
    result_ = TFWUploadResult::fwrKRVError;
    step_ = InstallCheck;
    ExecuteStep();
    return;
  }
  if ((step_ != IdentifyDone && ErrorCode != ecOk) || (step_ == IdentifyDone && ErrorCode == ecFrameBadAddress)) {
    result_ = TFWUploadResult::fwrKRVError;
    step_ = Finish;
    ExecuteStep();
    return;
  }
  switch (step_) {
    case RestartDone:
      restartDone_ = true;
      step_ = Identify;
      break;
    case IdentifyDone:
      HandleIdentification(S, ErrorCode);
      break;
    case EraseDone:
      step_ = Probe;
      break;
    case ProbeDone:
      HandleProbe(S);
      break;
    case RestartForUploadDone:
      step_ = ReconnectSerialPort ? Reconnect : UploadBootloaderCheck;
      break;
    case ReconnectDone:
      if (LinkWasAddressed()) krvPort_->SetActive(true);
      step_ = UploadBootloaderCheck;
      break;
    case UploadBootloaderCheckDone:
      HandleUploadBootloaderCheck(S);
      break;
    case BootloaderUpdateDone:
      step_ = SendSize;
      break;
    case SendSizeDone:
      step_ = Block;
      break;
    case Block:
      HandleBlock(S);
      break;
    case RestartForInstallDone:
      step_ = BootloaderCheck;
      break;
    case BootloaderCheckDone:
      HandleBootloaderCheck(S);
      break;
    case InstallDone:
      HandleInstall(S);
      break;
    case WaitForFirmwareDone:
      step_ = Finish;
      break;
    case InstallCheckDone:
      HandleInstallCheck(S);
      break;
    default:
      return;  // no packet of this step is out: a stale result
  }
  if (alive.expired() || run != run_) return;  // a handler ended this run (see HandleBlock)
  ExecuteStep();
}

void TFirmwareUploader::HandleIdentification(const std::string& S, uint16_t ErrorCode) {
  using enum TUploadStep;
  if (SimulationMode) {
    step_ = Block;
    return;
  }
  if (ErrorCode != ecOk || !StartsWithCode(S, kASYSI)) {
    if (restartDone_) {
      result_ = TFWUploadResult::fwrInvalidAnswerASYSI;
      step_ = Finish;
    } else {
      step_ = Restart;
    }
    return;
  }
  TDeviceInfo info{};
  std::string text;
  DecodeDeviceInfo(S, info, text);
  if (!identified_) {
    identified_ = true;
    firstBuildId_.assign(info.BuildID.data(), info.BuildID.size());
  }
  bootloaderRunning_ = info.BootloaderRunning != 0;
  restartNeededBeforeCFLUD_ = !bootloaderRunning_;
  armController_ = info.CPUType > kLastSmallCpuType;
  hwType_ = info.DeviceType;
  if ((!armController_ || info.RxBufLen <= kSmallRxBuffer) && BlockLength >= 256) BlockLength = kPageBytes;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<uint32_t>(FWAddress));
  LogNote(std::string("Vornik: ARMController = ") + BoolText(armController_));
  LogNote(std::string("Vornik: BootLoaderRunning = ") + BoolText(bootloaderRunning_));
  LogNote("Vornik: CPUTpye = " + std::to_string(info.CPUType));
  LogNote("Vornik: BlockLength = " + std::to_string(BlockLength));
  LogNote("Vornik: HwType = " + std::to_string(hwType_));
  LogNote(std::string("Vornik: BatchedMode = ") + BoolText(BatchedMode));
  LogNote("Vornik: BatchSize = " + std::to_string(BatchSize()));
  LogNote(std::string("Vornik: FWAddress = $") + hex);
  step_ = ClearFlash ? Erase : Probe;
}

void TFirmwareUploader::HandleProbe(const std::string& S) {
  using enum TUploadStep;
  if (!StartsWithCode(S, kAFLUL)) {
    if (bootloaderRunning_) {
      result_ = TFWUploadResult::fwrInvalidAnswerAFLUL;
      step_ = Finish;
    } else {
      step_ = RestartForUpload;
    }
    return;
  }
  // With the bootloader already running a forced restart would only bring the bootloader back,
  // so ForceResetOnStart applies to a running firmware only.
  if (ForceResetOnStart && !bootloaderRunning_) {
    step_ = RestartForUpload;
    return;
  }
  step_ = UseCBLUD ? BootloaderUpdate : (DontSendSize ? Block : SendSize);
}

void TFirmwareUploader::HandleBlock(const std::string& S) {
  using enum TUploadStep;
  const TFWUploadResult status =
      (TurboMode || SimulationMode) ? TFWUploadResult::fwrOk : AFLULStatusResult(AnswerStatus(S, kAFLUL));
  if (status == TFWUploadResult::fwrOk) {
    if (OnPercentDone) {
      const std::weak_ptr<bool> alive = alive_;
      const uint64_t run = run_;
      OnPercentDone(this, Percent(static_cast<double>(position_), static_cast<double>(image_.size())));
      // The handler may have aborted (and started another run) or destroyed the uploader.
      if (alive.expired() || run != run_ || state_ != TRunState::Running) return;
    }
    retryCounter_ = 0;
    position_ += static_cast<std::size_t>(BlockLength);
    AdvancePage();
    if (position_ > image_.size()) {
      if (SimulationMode) {
        result_ = TFWUploadResult::fwrOk;
        step_ = Finish;
      } else {
        step_ = restartNeededBeforeCFLUD_ ? RestartForInstall : BootloaderCheck;
      }
    }
    return;
  }
  result_ = status;
  if (status == TFWUploadResult::fwrFlashWriteError) {
    ++repeatedPckCount_;
    ++retryCounter_;
    return;  // the same block again
  }
  step_ = Finish;
}

void TFirmwareUploader::HandleBootloaderCheck(const std::string& S) {
  TDeviceInfo info{};
  if (WhoRuns(S, info) != TRunning::Bootloader) {
    result_ = TFWUploadResult::fwrRestartFailed;
    ++retryCounter_;
    step_ = TUploadStep::RestartForInstall;
    return;
  }
  retryCounter_ = 0;
  step_ = TUploadStep::Install;
}

void TFirmwareUploader::HandleUploadBootloaderCheck(const std::string& S) {
  TDeviceInfo info{};
  const TRunning running = WhoRuns(S, info);
  if (running != TRunning::Bootloader) {
    // The restart did not happen (its CSYRS may have been lost): once more, as for the install.
    if (running == TRunning::Firmware) LogNote("Vornik: FirmwareStillRunningAfterRestart");
    result_ = TFWUploadResult::fwrRestartFailed;
    ++retryCounter_;
    step_ = TUploadStep::RestartForUpload;
    return;
  }
  restartNeededBeforeCFLUD_ = false;
  retryCounter_ = 0;
  result_ = TFWUploadResult::fwrOk;
  step_ = UseCBLUD ? TUploadStep::BootloaderUpdate : TUploadStep::SendSize;
}

void TFirmwareUploader::HandleInstall(const std::string& S) {
  using enum TUploadStep;
  if (IgnoreAFLUD) {
    result_ = TFWUploadResult::fwrOk;
  } else if (!StartsWithCode(S, kAFLUD)) {
    result_ = TFWUploadResult::fwrInvalidAnswerAFLUD;
    step_ = Finish;
    return;
  } else {
    result_ = AFLUDStatusResult(StatusByte(S));
    if (result_ == TFWUploadResult::fwrUpdateFailed) {
      ++retryCounter_;
      step_ = Install;
      return;
    }
  }
  step_ = WaitForFwToStart > 0 ? WaitForFirmware : Finish;
}

void TFirmwareUploader::HandleInstallCheck(const std::string& S) {
  TDeviceInfo info{};
  std::string text;
  if (DecodeDeviceInfo(S, info, text) != 0) {
    result_ = TFWUploadResult::fwrInvalidAnswerAFLUD;
    step_ = TUploadStep::Finish;
    return;
  }
  const TRunning who = WhoRuns(S, info);
  if (who == TRunning::Bootloader) {
    // Not installed: the same install once more, and the lost answer stands if that fails too.
    lastErrorCode_ = ecNoAnswer;
    ++retryCounter_;
    step_ = TUploadStep::Install;
    return;
  }
  // A firmware runs, but a device that refused the image (checksum) falls back to its old one:
  // only a firmware whose build identifier is the image's, where another build ran before the
  // upload, counts as installed. A device that ran the image's build already proves nothing by
  // running it now, nor does a record too short to tell who runs. Otherwise the result is the
  // failure the lost install answer stands for.
  const std::string running(info.BuildID.data(), info.BuildID.size());
  if (who != TRunning::Firmware || expectedBuildId_.empty() || running != expectedBuildId_ ||
      firstBuildId_ == expectedBuildId_) {
    LogNote("Vornik: InstallNotConfirmed");
    lastErrorCode_ = ecNoAnswer;  // the install answer that did not come, not the check's 0
    result_ = TFWUploadResult::fwrKRVError;
    step_ = TUploadStep::Finish;
    return;
  }
  LogNote("Vornik: InstalledFirmwareRuns");
  result_ = TFWUploadResult::fwrOk;
  step_ = WaitForFwToStart > 0 ? TUploadStep::WaitForFirmware : TUploadStep::Finish;
}

void TFirmwareUploader::FinishRun() {
  LogNote("Vornik: ProcessStoppedOrFinished");
  // Stopped rather than freed: the run may end inside the timer's own event.
  if (timer_) timer_->stop();
  state_ = TRunState::Idle;
  step_ = TUploadStep::Finish;
  if (BatchedMode) {
    // A run that ended inside a batch leaves packets in it; drop them so that the next upload
    // can open a new session.
    batch_->Abort();
    repeatedPckCount_ = batch_->ResendCount();
  }
  // A copy: the handler may start another run, or destroy the uploader and this member with it.
  if (TOnFWUploadDone done = OnUploadDone) done(this, result_);
}

}  // namespace vornik
