#include "app/UpdateSession.h"

#include <algorithm>
#include <exception>

#include "app/UpdateSettings.h"
#include "firmware/KRVDataUtils.h"

namespace vornik {

namespace {
constexpr const char* kCurrentText = "The device already runs this build (%s); it was left alone.";
}

const char* UploadResultName(TFWUploadResult Result) {
  switch (Result) {
    case TFWUploadResult::fwrOk: return "fwrOk";
    case TFWUploadResult::fwrAborted: return "fwrAborted";
    case TFWUploadResult::fwrKRVError: return "fwrKRVError";
    case TFWUploadResult::fwrInvalidAnswerASYSI: return "fwrInvalidAnswerASYSI";
    case TFWUploadResult::fwrInvalidAnswerAFLUL: return "fwrInvalidAnswerAFLUL";
    case TFWUploadResult::fwrInvalidAnswerAFLUD: return "fwrInvalidAnswerAFLUD";
    case TFWUploadResult::fwrPageIndexOutOfRange: return "fwrPageIndexOutOfRange";
    case TFWUploadResult::fwrFlashWriteError: return "fwrFlashWriteError";
    case TFWUploadResult::fwrRestartFailed: return "fwrRestartFailed";
    case TFWUploadResult::fwrUpdateFailed: return "fwrUpdateFailed";
    case TFWUploadResult::fwrCRCError: return "fwrCRCError";
    case TFWUploadResult::fwrFirmwareNotCompatible: return "fwrFirmwareNotCompatible";
    case TFWUploadResult::fwrUnknownErrorCode: return "fwrUnknownErrorCode";
  }
  return "fwrUnknownErrorCode";
}

TUpdateOutcome NotStartedOutcome(const std::string& Text) {
  TUpdateOutcome o;
  o.Result = UploadResultName(TFWUploadResult::fwrAborted);
  o.Text = Text;
  o.UploadResult = static_cast<int>(TFWUploadResult::fwrAborted);
  o.ExitCode = kExitFailed;
  return o;
}

std::string BuildIdOf(const std::string& FWBuildStr) {
  constexpr std::string_view kPrefix = "Build:";
  if (FWBuildStr.size() < kPrefix.size() + 5 || FWBuildStr.compare(0, kPrefix.size(), kPrefix) != 0) return {};
  return FWBuildStr.substr(kPrefix.size(), 5);
}

TUpdateSession::TUpdateSession(TDeviceSession& Session, const TLoadedFirmware& Firmware, TUpdateOptions Options)
    : session_(Session), firmware_(Firmware), options_(Options) {}

TUpdateSession::~TUpdateSession() {
  session_.Uploader.OnUploadDone = nullptr;
  session_.Uploader.OnPercentDone = nullptr;
}

void TUpdateSession::Start(std::function<void(const TUpdateOutcome&)> Done) {
  done_ = std::move(Done);
  session_.Open([this](bool Up) {
    if (aborted_) return;
    if (!Up) {
      // What the unattended update ends with when its first packets find no link.
      TUpdateOutcome o;
      o.Result = "no-link";
      o.Text = session_.LinkFailureText();
      o.UploadResult = static_cast<int>(TFWUploadResult::fwrKRVError);
      o.ExitCode = kExitNoLink;
      Finish(std::move(o));
      return;
    }
    if (options_.SkipCurrent && !BuildIdOf(firmware_.FWBuildStr).empty()) {
      commands_ = std::make_unique<TDeviceCommands>(session_.Comms);
      commands_->Identify(
          [this](uint16_t ErrorCode, const std::string& Answer, TKRVMode) { Identified(ErrorCode, Answer); });
      return;
    }
    Upload();
  });
}

void TUpdateSession::Abort() {
  if (!done_ || aborted_) return;
  aborted_ = true;
  if (session_.Uploader.State() == TFirmwareUploader::TRunState::Running) {
    session_.Uploader.Abort();  // ends through OnUploadDone with fwrAborted
    return;
  }
  // Still opening the link or identifying the device.
  session_.Close();
  TUpdateOutcome o;
  o.Result = UploadResultName(TFWUploadResult::fwrAborted);
  o.Text = session_.Uploader.FWUploadResultToStr(TFWUploadResult::fwrAborted);
  o.UploadResult = static_cast<int>(TFWUploadResult::fwrAborted);
  o.ExitCode = kExitFailed;
  Finish(std::move(o));
}

void TUpdateSession::Identified(uint16_t ErrorCode, const std::string& Answer) {
  if (aborted_) return;
  if (ErrorCode == ecOk) {
    TDeviceInfo info;
    std::string text;
    const std::string id = BuildIdOf(firmware_.FWBuildStr);
    if (DecodeDeviceInfo(Answer, info, text) == 0 && info.BootloaderRunning == 0 &&
        std::string(info.BuildID.data(), info.BuildID.size()) == id) {
      session_.Close();
      TUpdateOutcome o;
      o.Result = "current";
      std::string t = kCurrentText;
      t.replace(t.find("%s"), 2, firmware_.FWBuildStr);
      o.Text = t;
      Finish(std::move(o));
      return;
    }
  }
  // Anything else, a device that did not answer included, is the uploader's to find out.
  Upload();
}

void TUpdateSession::Upload() {
  TFirmwareUploader& up = session_.Uploader;
  up.OnPercentDone = [this](TFirmwareUploader* Sender, int) {
    // One report per block the device took; the block length may have been lowered for the device.
    accepted_ = std::min<uint64_t>(accepted_ + static_cast<uint64_t>(std::max(Sender->BlockLength, 0)),
                                   firmware_.FWImage.size());
    if (OnProgress) OnProgress(accepted_);
  };
  up.OnUploadDone = [this](TFirmwareUploader* Sender, TFWUploadResult Result) {
    session_.Close();
    TUpdateOutcome o;
    o.Result = UploadResultName(Result);
    o.Text = Sender->FWUploadResultToStr(Result);
    o.UploadResult = static_cast<int>(Result);
    o.Bytes = Result == TFWUploadResult::fwrOk ? firmware_.FWImage.size() : accepted_;
    o.ExitCode = Result == TFWUploadResult::fwrOk ? kExitOk : session_.DeviceAnswered() || aborted_ ? kExitFailed : kExitNoLink;
    Finish(std::move(o));
  };
  try {
    TUploadOptions options;
    options.ClearFlash = options_.EraseFlash;
    options.Batched = options_.Batched;
    StartFirmwareUpload(up, firmware_, options);
  } catch (const std::exception& e) {
    // Only a block length of 0 or less from the settings file gets here.
    session_.Close();
    TUpdateOutcome o;
    o.Result = "usage";
    o.Text = e.what();
    o.UploadResult = 99;
    o.ExitCode = kExitUsage;
    Finish(std::move(o));
  }
}

void TUpdateSession::Finish(TUpdateOutcome Outcome) {
  if (!done_) return;
  auto done = std::move(done_);
  done_ = nullptr;
  done(Outcome);
}

}  // namespace vornik
