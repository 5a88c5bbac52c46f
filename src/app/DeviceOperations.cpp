#include "app/DeviceOperations.h"

#include <algorithm>

#include "app/VornikTexts.h"
#include "util/Sha256.h"

namespace vornik {

const char* FlashResultName(TFlashRWResult R) {
  switch (R) {
    case TFlashRWResult::freOk: return "freOk";
    case TFlashRWResult::freAborted: return "freAborted";
    case TFlashRWResult::freKRVError: return "freKRVError";
    case TFlashRWResult::frePageIndexOutOfRange: return "frePageIndexOutOfRange";
    case TFlashRWResult::freFlashWriteError: return "freFlashWriteError";
    case TFlashRWResult::freFlashReadError: return "freFlashReadError";
    case TFlashRWResult::freInvalidAnswer: return "freInvalidAnswer";
  }
  return "freInvalidAnswer";
}

std::optional<uint64_t> FirstDifference(std::string_view Written, std::string_view Read) {
  const std::size_t n = std::min(Written.size(), Read.size());
  for (std::size_t i = 0; i < n; ++i)
    if (Written[i] != Read[i]) return i;
  if (Written.size() != Read.size()) return n;
  return std::nullopt;
}

namespace {

// The no-link outcome as the outcome type of an operation.
template <typename T>
std::function<void(TOperationOutcome)> Failing(std::function<void(const T&)> Done) {
  return [Done = std::move(Done)](TOperationOutcome Failed) {
    T o;
    static_cast<TOperationOutcome&>(o) = std::move(Failed);
    Done(o);
  };
}

}  // namespace

TDeviceOperation::TDeviceOperation(TDeviceSession& Session) : session_(Session), commands_(Session.Comms) {}

void TDeviceOperation::OpenThen(std::function<void()> Then, std::function<void(TOperationOutcome)> Failed) {
  session_.Open([this, Then = std::move(Then), Failed = std::move(Failed)](bool Up) {
    if (Up) {
      Then();
      return;
    }
    TOperationOutcome o;
    o.Result = "no-link";
    o.Text = session_.LinkFailureText();
    o.ExitCode = kExitNoLink;
    Failed(std::move(o));
  });
}

void TDeviceOperation::Identify(std::function<void(const TIdentifyOutcome&)> Done) {
  session_.TrackAnswers("ASYSI");
  // Shorter answer times in the settings (a script that gives up on a silent device quickly)
  // hold for the identification too.
  commands_.IdentifyTimeout =
      std::clamp(session_.Comms.Timeout_1, int32_t{1}, TDeviceCommands::kIdentifyTimeout);
  OpenThen(
      [this, Done] {
        commands_.Identify([this, Done](uint16_t ErrorCode, const std::string& Answer, TKRVMode Format) {
          session_.Close();
          TIdentifyOutcome o;
          if (ErrorCode != ecOk) {
            const bool answered = session_.DeviceAnswered();
            o.Result = answered ? "unexpected-answer" : "no-answer";
            o.Text = texts::kErrorOccurred + ErrorCodeText(ErrorCode);
            o.ExitCode = answered ? kExitFailed : kExitNoLink;
            Done(o);
            return;
          }
          std::string text;
          if (DecodeDeviceInfo(Answer, o.Info, text) != 0) {
            o.Result = "unexpected-answer";
            o.Text = text;
            o.ExitCode = kExitFailed;
            Done(o);
            return;
          }
          o.Result = "ok";
          o.Text = texts::kDeviceInfo + text;
          o.Answer = Answer;
          o.Format = Format;
          o.Sender = session_.AnswerSender();
          Done(o);
        });
      },
      Failing<TIdentifyOutcome>(Done));
}

void TDeviceOperation::Restart(std::function<void(const TOperationOutcome&)> Done) {
  OpenThen(
      [this, Done] {
        // The device restarts instead of answering: both framings are sent and nothing is awaited.
        commands_.Restart([this, Done] {
          session_.Close();
          TOperationOutcome o;
          o.Result = "ok";
          o.Text = texts::kRestarted;
          Done(o);
        });
      },
      [Done](TOperationOutcome Failed) { Done(Failed); });
}

void TDeviceOperation::ReadFlash(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done) {
  TFlashReaderWriter& flash = session_.Flash;
  const uint64_t total = Request.Length;
  flash.OnPercentDone = [this, total](TFlashReaderWriter*, int Percent) {
    if (OnProgress) OnProgress(static_cast<uint64_t>(std::max(Percent, 0)) * total / 100);
  };
  OpenThen(
      [this, Request, Done] {
        TFlashReaderWriter& f = session_.Flash;
        f.OnReadingDone = [this, Done](TFlashReaderWriter*, TFlashRWResult R, std::string& Data) {
          session_.Close();
          TFlashOutcome o;
          o.Result = FlashResultName(R);
          o.Text = FlashRWResultToStr(R);
          o.ExitCode = R == TFlashRWResult::freOk ? kExitOk : FailureExit();
          if (R == TFlashRWResult::freOk) {
            o.Data = std::move(Data);
            o.Bytes = o.Data.size();
            o.Sha256 = Sha256Hex(o.Data);
          }
          Done(o);
        };
        f.FlashPageSize = Request.PageSize;
        f.BlockSize = static_cast<uint8_t>(Request.BlockSize);
        f.TurboMode = Request.Turbo;
        f.ReadFlashToStr(Request.StartPage, Request.Length);
      },
      Failing<TFlashOutcome>(Done));
}

void TDeviceOperation::WriteFlash(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done) {
  TFlashReaderWriter& flash = session_.Flash;
  const uint64_t total = Request.Data.size();
  const uint64_t page = static_cast<uint64_t>(std::max(Request.PageSize, 1));
  written_ = 0;
  // One report per page the device took.
  flash.OnPercentDone = [this, total, page](TFlashReaderWriter*, int) {
    written_ = std::min<uint64_t>(written_ + page, total);
    if (OnProgress) OnProgress(written_);
  };
  OpenThen(
      [this, Request, Done, total] {
        TFlashReaderWriter& f = session_.Flash;
        f.OnWritingDone = [this, Request, Done, total](TFlashReaderWriter*, TFlashRWResult R) {
          if (R == TFlashRWResult::freOk && Request.Verify) {
            written_ = total;
            // Out of the writer's callback before the read-back starts on the same link.
            session_.Post([this, Request, Done] { VerifyWritten(Request, Done); });
            return;
          }
          session_.Close();
          if (R == TFlashRWResult::freOk) written_ = total;
          TFlashOutcome o;
          o.Result = FlashResultName(R);
          o.Text = FlashRWResultToStr(R);
          o.ExitCode = R == TFlashRWResult::freOk ? kExitOk : FailureExit();
          o.Bytes = written_;
          if (R == TFlashRWResult::freOk) o.Sha256 = Sha256Hex(Request.Data);
          Done(o);
        };
        f.FlashPageSize = Request.PageSize;
        f.TurboMode = Request.Turbo;
        f.WriteFlashFromStr(Request.StartPage, Request.Data);
      },
      Failing<TFlashOutcome>(Done));
}

void TDeviceOperation::VerifyWritten(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done) {
  TFlashReaderWriter& f = session_.Flash;
  f.OnPercentDone = nullptr;
  f.OnReadingDone = [this, Request, Done](TFlashReaderWriter*, TFlashRWResult R, std::string& Data) {
    session_.Close();
    TFlashOutcome o;
    o.Bytes = written_;
    if (R != TFlashRWResult::freOk) {
      o.Result = FlashResultName(R);
      o.Text = texts::kVerifyReadFailed + FlashRWResultToStr(R);
      o.ExitCode = kExitFailed;
      Done(o);
      return;
    }
    o.FirstDifference = FirstDifference(Request.Data, Data);
    if (o.FirstDifference) {
      const uint64_t page = static_cast<uint64_t>(std::max(Request.PageSize, 1));
      o.Result = "verify-failed";
      o.Text = texts::kVerifyFailed + std::to_string(*o.FirstDifference) + ". bájt (" +
               std::to_string(Request.StartPage + *o.FirstDifference / page) + ". lap, " +
               std::to_string(*o.FirstDifference % page) + ". bájt)";
      o.ExitCode = kExitFailed;
      Done(o);
      return;
    }
    o.Result = FlashResultName(R);
    o.Text = FlashRWResultToStr(R) + texts::kVerified;
    o.Sha256 = Sha256Hex(Request.Data);
    Done(o);
  };
  f.FlashPageSize = Request.PageSize;
  f.BlockSize = static_cast<uint8_t>(Request.BlockSize);
  f.TurboMode = false;
  f.ReadFlashToStr(Request.StartPage, static_cast<uint32_t>(Request.Data.size()));
}

}  // namespace vornik
