// TFirmwareUploader installs a firmware image into one KRV device through the communication
// engine. It drives the device through a fixed command sequence: identify (CSYSI), restart where
// needed (CSYRS), optionally erase the data flash (CELFE), probe whether the running program takes
// upload blocks (CFLUL probe), restart into the bootloader and check it runs where the running
// program refused the probe, announce a bootloader image (CBLUD), announce the size (CFLTS), send
// the image in CFLUL blocks, restart into the bootloader and check it runs, and install (CFLUD).
//
// A restart has no answer, so a lost CSYRS looks like one that worked. After each restart the
// device is asked who runs (CSYSI); while the firmware still runs it is restarted once more, and
// a second failure ends the run with fwrRestartFailed.
//
// Theory of operation. The procedure is a machine over TUploadStep. A sending step hands exactly
// one packet to the engine (or to the own batch sender, or starts the own timer) and moves to the
// step that waits for its result; every result arrives in OnPacketResult, whose one switch picks
// the next step; then the step executor runs again. Nothing loops and nothing blocks, except the
// fixed pause after each block in safe turbo mode (plain turbo blocks on a serial line wait, without
// blocking, while the port holds more than one block). The retry counter (flash write errors of one
// block, failed restarts for installation, failed installs) is checked before each send: at 2 the
// run finishes with the result it has. Every started run ends with exactly one OnUploadDone, also
// after Abort; results that arrive while aborting are ignored.
//
// The install answer is the one answer whose loss the engine cannot repair: once the device has
// acknowledged CFLUD it is not sent again. When that answer does not come, the uploader asks the
// device who runs. The bootloader means the image was not installed (CFLUD is sent once more). A
// firmware is not proof enough: a device that refused the image (a wrong checksum) falls back to
// the firmware it had. Only a firmware whose build identifier is the image's, on a device that ran
// another build at the first identification, counts as installed; when the builds were equal
// already, or the record is too short to say who runs, nothing is proven and the run ends with
// the lost answer's error (ecNoAnswer). A device that does not answer ends the run with the
// engine's error.
//
// Misuse (no engine, bad block length, empty image, a start while busy, a port change while busy)
// raises EFirmwareUploader; everything the device or the link does ends in a TFWUploadResult.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "comms/KRVComms.h"
#include "comms/KRVCommsBatch.h"
#include "loop/EventLoop.h"

namespace vornik {

/// End of an upload; the ordinal is the command-line mode's exit code, so the order is fixed.
enum class TFWUploadResult : int {
  fwrOk = 0,
  fwrAborted,
  fwrKRVError,
  fwrInvalidAnswerASYSI,
  fwrInvalidAnswerAFLUL,
  fwrInvalidAnswerAFLUD,
  fwrPageIndexOutOfRange,
  fwrFlashWriteError,
  fwrRestartFailed,
  fwrUpdateFailed,
  fwrCRCError,
  fwrFirmwareNotCompatible,
  fwrUnknownErrorCode,
};

/// The text shown for a result; fwrKRVError carries ErrorCodeText(LastErrorCode).
std::string FWUploadResultToStr(TFWUploadResult Result, uint16_t LastErrorCode = 0);

class EFirmwareUploader : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Steps of one upload. A sending step is followed by the step that waits for what it sent;
/// the block step both sends and receives.
enum class TUploadStep : int {
  Restart = 0,                 ///< CSYRS (KRV-encoded) when the identification failed
  RestartDone = 1,
  Identify = 2,                ///< CSYSI
  IdentifyDone = 3,
  Erase = 4,                   ///< CELFE
  EraseDone = 5,
  Probe = 6,                   ///< CFLUL probe
  ProbeDone = 7,
  RestartForUpload = 8,        ///< CSYRS: the running program refused the probe
  RestartForUploadDone = 9,
  Reconnect = 10,              ///< close the link, wait 2 s
  ReconnectDone = 11,
  BootloaderUpdate = 12,       ///< CBLUD
  BootloaderUpdateDone = 13,
  SendSize = 14,               ///< CFLTS
  SendSizeDone = 15,
  Block = 16,                  ///< one CFLUL block per pass
  RestartForInstall = 17,      ///< CSYRS into the bootloader
  RestartForInstallDone = 18,
  BootloaderCheck = 19,        ///< CSYSI: the bootloader must run
  BootloaderCheckDone = 20,
  Install = 21,                ///< CFLUD
  InstallDone = 22,
  WaitForFirmware = 23,        ///< timer: WaitForFwToStart ms
  WaitForFirmwareDone = 24,
  Finish = 25,
  InstallCheck = 26,           ///< CSYSI: the install answer was lost; did the firmware start?
  InstallCheckDone = 27,
  UploadBootloaderCheck = 30,  ///< CSYSI after the restart for upload: the bootloader must run
  UploadBootloaderCheckDone = 31,
};

class TFirmwareUploader {
 public:
  enum class TRunState { Idle, Running, Aborting, Destroying };

  using TOnFWUploadDone = std::function<void(TFirmwareUploader* Sender, TFWUploadResult Result)>;
  using TOnPercentdone = std::function<void(TFirmwareUploader* Sender, int PercentDone)>;

  explicit TFirmwareUploader(EventLoop& Loop);
  ~TFirmwareUploader();
  TFirmwareUploader(const TFirmwareUploader&) = delete;
  TFirmwareUploader& operator=(const TFirmwareUploader&) = delete;

  /// Starts an upload of Image (held scrambled, sent as it is). Raises EFirmwareUploader.
  void UploadFromStr(std::string_view Image);
  /// Stops a running upload (OnUploadDone(fwrAborted)); nothing happens when idle.
  void Abort();
  /// The text of Result; fwrKRVError names the last ErrorCode of this uploader's run.
  std::string FWUploadResultToStr(TFWUploadResult Result) const {
    return vornik::FWUploadResultToStr(Result, lastErrorCode_);
  }

  // Engine and destination; both are passed on to the own batch sender.
  TKRVComms* KRVPort() const { return krvPort_; }
  void SetKRVPort(TKRVComms* Port);
  int32_t KRVAddress() const { return krvAddress_; }
  void SetKRVAddress(int32_t Address);

  // Forwarded to the batch sender (no storage of their own).
  int32_t BatchSize() const { return batch_->BatchSize(); }
  void SetBatchSize(int32_t Value) { batch_->SetBatchSize(Value); }
  int32_t TimeBetweenPcks() const { return batch_->TimeBetweenPcks; }
  void SetTimeBetweenPcks(int32_t Value) { batch_->TimeBetweenPcks = Value; }
  int32_t CSYGATimeout() const { return batch_->CSYGATimeout; }
  void SetCSYGATimeout(int32_t Value) { batch_->CSYGATimeout = Value; }

  bool TurboMode = false;
  bool BatchedMode = false;
  int32_t BlockLength = 256;     ///< data bytes per block; lowered to 128 for small controllers
  bool SafeTurbo = false;        ///< 60 ms pause after each turbo block
  int32_t WaitForFwToStart = 0;  ///< ms after the install before the end is reported
  int32_t CFLUDTimeout = 15000;  ///< ms
  bool ForceResetOnStart = false;
  int32_t FWAddress = 0;  ///< absolute address of the image's first byte
  bool UseCBLUD = false;
  bool IgnoreAFLUD = false;
  int32_t PauseRate = 0;    ///< every PauseRate-th block waits Timeout_1 + PauseLength; 0 never
  int32_t PauseLength = 0;  ///< ms
  bool ClearFlash = false;
  bool SimulationMode = false;
  bool DontSendSize = false;
  bool ReconnectSerialPort = false;

  TOnFWUploadDone OnUploadDone;
  TOnPercentdone OnPercentDone;

  // Run-time state for the application and the tests.
  bool Idle() const { return state_ == TRunState::Idle; }
  TRunState State() const { return state_; }
  TUploadStep Step() const { return step_; }
  TFWUploadResult Result() const { return result_; }
  uint16_t LastErrorCode() const { return lastErrorCode_; }
  /// Blocks repeated after a flash write error; after a batched upload, the batch's re-sends.
  int32_t RepeatedPckCount() const { return repeatedPckCount_; }
  TKRVCommsBatch& Batch() { return *batch_; }

 private:
  void ExecuteStep();
  void SendStep();
  void SendBlock();
  void SendItem(std::string Pck, std::string Ans, int32_t Timeout, TKRVSendOptions Options);
  void OnPacketResult(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag,
                      int32_t ObjTag);
  void HandleIdentification(const std::string& S, uint16_t ErrorCode);
  void HandleProbe(const std::string& S);
  void HandleBlock(const std::string& S);
  void HandleBootloaderCheck(const std::string& S);
  void HandleUploadBootloaderCheck(const std::string& S);
  void HandleInstall(const std::string& S);
  void HandleInstallCheck(const std::string& S);
  std::string InstallPacket() const;
  void StartTimer(int Ms);
  void OnTimer();
  void FinishRun();
  void LogNote(const std::string& Note);
  bool LinkWasAddressed() const;
  int32_t RestartTimeout() const;  ///< ms of the restart-for-install wait
  void AdvancePage();

  EventLoop& loop_;
  TKRVComms* krvPort_ = nullptr;
  int32_t krvAddress_ = 0;
  std::unique_ptr<TKRVCommsBatch> batch_;
  std::unique_ptr<Timer> timer_;

  TRunState state_ = TRunState::Idle;
  /// Counts started runs: a handler that ends this run and starts another (or destroys the
  /// uploader) leaves nothing of the old run to go on. Alive turns false on destruction.
  uint64_t run_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  TUploadStep step_ = TUploadStep::Finish;
  TFWUploadResult result_ = TFWUploadResult::fwrOk;
  std::string image_;
  std::string expectedBuildId_;  ///< of the image being sent; empty when it has no build string
  std::string firstBuildId_;     ///< what the device ran at the run's first identification
  bool identified_ = false;      ///< the run's first identification is done
  std::size_t position_ = 1;  ///< 1-based index of the next block's first byte
  uint16_t pageCounter_ = 0;
  int retryCounter_ = 0;
  uint16_t lastErrorCode_ = 0;
  bool bootloaderRunning_ = false;
  bool armController_ = false;
  uint8_t hwType_ = 0;
  bool restartNeededBeforeCFLUD_ = true;
  bool restartDone_ = false;
  uint32_t blocksSent_ = 0;  ///< non-turbo blocks handed over since construction (PauseRate)
  int32_t repeatedPckCount_ = 0;
};

}  // namespace vornik
