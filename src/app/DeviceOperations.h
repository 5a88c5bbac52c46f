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
#include <string_view>

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
  bool Verify = false;  ///< read the written range back and compare it
};

struct TFlashOutcome : TOperationOutcome {
  std::string Data;  ///< what was read
  uint64_t Bytes = 0;
  std::string Sha256;  ///< of what was read or written, once the whole transfer succeeded
  std::optional<uint64_t> FirstDifference;  ///< verify-failed: the first differing byte offset
};

/// The offset of the first byte where Read differs from Written (a shorter Read differs where
/// it ends), or nullopt when they are equal.
std::optional<uint64_t> FirstDifference(std::string_view Written, std::string_view Read);

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
  /// With Request.Verify the written range is read back over the same link and compared: a
  /// difference ends as "verify-failed" (kExitFailed), naming the first differing offset; a
  /// read-back that fails ends with the read's result.
  void WriteFlash(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done);

 private:
  void VerifyWritten(const TFlashRequest& Request, std::function<void(const TFlashOutcome&)> Done);
  /// Opens the link; Then runs when it is up, otherwise Failed with the no-link outcome.
  void OpenThen(std::function<void()> Then, std::function<void(TOperationOutcome)> Failed);
  int FailureExit() const { return session_.DeviceAnswered() ? kExitFailed : kExitNoLink; }

  TDeviceSession& session_;
  TDeviceCommands commands_;
  uint64_t written_ = 0;
};

}  // namespace vornik
