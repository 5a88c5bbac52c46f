// The single-device operations of a headless run besides the update: read the identification,
// restart, read or write the external flash. Each opens the session's link, does its exchanges
// through the engine and the procedures, closes the link and ends with exactly one Done carrying
// a result name, a one-line text and the exit code (kExitOk ... kExitNoLink of DeviceSession.h).
// A failure before the device ever answered counts as a missing device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/DeviceSession.h"
#include "codec/KRVProtocol.h"
#include "firmware/KRVDataUtils.h"
#include "procedures/uDeviceCommands.h"
#include "procedures/uFlashReaderWriter.h"

namespace vornik {

struct TOperationOutcome {
  std::string Result;  ///< "ok", "no-link", "no-answer", "unexpected-answer", "freOk" ...
  std::string Text;    ///< one line
  int ExitCode = kExitOk;
};

struct TIdentifyOutcome : TOperationOutcome {
  std::string Answer;  ///< the ASYSI payload
  TDeviceInfo Info;
  TKRVMode Format = TKRVMode::PMKRVWOnly;  ///< the framing that answered
  std::optional<uint32_t> Sender;          ///< the answer's sender address
};

struct TFlashRequest {
  uint16_t StartPage = 0;
  int PageSize = 264;   ///< bytes
  int BlockSize = 255;  ///< bytes per read request
  bool Turbo = false;
  uint32_t Length = 0;  ///< bytes to read
  std::string Data;     ///< bytes to write
};

struct TFlashOutcome : TOperationOutcome {
  std::string Data;  ///< what was read
  uint64_t Bytes = 0;
};

/// The enumeration name of a flash result ("freOk").
const char* FlashResultName(TFlashRWResult Result);

class TDeviceOperation {
 public:
  explicit TDeviceOperation(TDeviceSession& Session);
  TDeviceOperation(const TDeviceOperation&) = delete;
  TDeviceOperation& operator=(const TDeviceOperation&) = delete;

  /// Bytes done so far of a flash transfer.
  std::function<void(uint64_t Bytes)> OnProgress;

  void Identify(std::function<void(const TIdentifyOutcome&)> Done);
  void Restart(std::function<void(const TOperationOutcome&)> Done);
  void ReadFlash(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done);
  void WriteFlash(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done);

 private:
  /// Opens the link; Then runs when it is up, otherwise Failed with the no-link outcome.
  void OpenThen(std::function<void()> Then, std::function<void(TOperationOutcome)> Failed);
  int FailureExit() const { return session_.DeviceAnswered() ? kExitFailed : kExitNoLink; }

  TDeviceSession& session_;
  TDeviceCommands commands_;
  uint64_t written_ = 0;
};

}  // namespace vornik
