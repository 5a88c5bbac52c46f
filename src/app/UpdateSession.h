// One firmware update of one device, headless, as `vornik-tool update` and every device of a
// fleet or a listen run do it: open the link, optionally identify the device and leave it alone
// when it already runs the image's build, otherwise start the uploader as the unattended update
// configures it (bootloader image announced, start address, no safe turbo), optionally batched
// and with the data flash erased. Ends with exactly one Done, the link closed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/DeviceSession.h"
#include "firmware/PackageFiles.h"
#include "procedures/uDeviceCommands.h"
#include "procedures/uFirmwareUploader.h"

namespace vornik {

struct TUpdateOptions {
  bool Batched = false;
  bool EraseFlash = false;
  bool SkipCurrent = false;
};

/// How an update ended, in the terms of the tool's output.
struct TUpdateOutcome {
  std::string Result;    ///< "fwrOk" ... "fwrUnknownErrorCode", "current", "no-link" or "usage"
  std::string Text;      ///< one line
  int UploadResult = 0;  ///< what `vornik -start` would exit with
  uint64_t Bytes = 0;    ///< image bytes the device took
  int ExitCode = kExitOk;
};

/// The enumeration name of an upload result ("fwrOk").
const char* UploadResultName(TFWUploadResult Result);

/// The five characters after "Build:" of a build string, empty when there are none.
std::string BuildIdOf(const std::string& FWBuildStr);

/// The outcome of a run stopped before its update began.
TUpdateOutcome NotStartedOutcome(const std::string& Text);

class TUpdateSession {
 public:
  TUpdateSession(TDeviceSession& Session, const TLoadedFirmware& Firmware, TUpdateOptions Options);
  ~TUpdateSession();
  TUpdateSession(const TUpdateSession&) = delete;
  TUpdateSession& operator=(const TUpdateSession&) = delete;

  /// Image bytes taken by the device so far.
  std::function<void(uint64_t Bytes)> OnProgress;

  void Start(std::function<void(const TUpdateOutcome&)> Done);
  /// Stops the update where it is: Done follows with "fwrAborted" (nothing if it has already
  /// ended).
  void Abort();
  uint64_t TotalBytes() const { return firmware_.FWImage.size(); }
  TDeviceSession& Device() { return session_; }

 private:
  void Identified(uint16_t ErrorCode, const std::string& Answer);
  void Upload();
  void Finish(TUpdateOutcome Outcome);

  TDeviceSession& session_;
  const TLoadedFirmware& firmware_;
  TUpdateOptions options_;
  std::unique_ptr<TDeviceCommands> commands_;
  std::function<void(const TUpdateOutcome&)> done_;
  uint64_t accepted_ = 0;
  bool aborted_ = false;
};

}  // namespace vornik
