// A fleet run: one firmware image into every device of a list, up to Parallel updates at a time,
// all on one event loop. Every device gets its own session (log file, engine, uploader) and runs
// exactly the update of a single device (TUpdateSession); a device that fails only ends its own
// row. Stop() (SIGINT/SIGTERM) aborts the running updates; devices not started yet end as
// stopped.
//
// Devices on one bus: the devices of a list that share a serial device (the same path, or paths
// that lead to the same device file) form one lane, updated one after another in list order on
// one open port, which counts as one of the Parallel updates; every other device is a lane of its
// own. The port stays open from one device to the next (only a restart that needs it reopens
// it, inside the update); a device with another baud rate reopens it at that rate.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceSession.h"
#include "app/UpdateSession.h"

namespace vornik {

class TIniFile;

/// "Stopped before its update began."
extern const char* const kNotStartedText;

/// One device of a fleet or listen run and how it ended.
struct TRunDevice {
  std::string Label;  ///< the devices file's line, or host:port of a device that called
  TConnection Connection;
  std::string LogFile;
  TUpdateOutcome Outcome;
  double Seconds = 0;
  bool Seen = true;  ///< false: a listed device of a listen run that never called (no update outcome)
};

/// What a run reports while it goes (rows are device indexes; all optional).
struct TRunProgress {
  std::function<void(int Row, const std::string& Label, uint64_t TotalBytes)> Started;
  std::function<void(int Row, uint64_t Bytes)> Progress;
  /// The device ended (Row), or a note about the run (Row -1).
  std::function<void(int Row, const std::string& Line)> Ended;
};

/// The devices' lanes: indexes into Devices in list order, one lane per serial device file (see
/// above) and one per other device, ordered by their first device.
std::vector<std::vector<std::size_t>> DeviceLanes(const std::vector<TRunDevice>& Devices);

/// Log file names after the device, unique within a run.
std::string UniqueLogName(const std::string& Device, std::vector<std::string>& Used);

class TFleetRun {
 public:
  TFleetRun(const TSessionPlatform& Platform, std::vector<TRunDevice>& Devices, const TLoadedFirmware& FW,
            TIniFile& Settings, TUpdateOptions Options, int Parallel);
  ~TFleetRun();

  TRunProgress Progress;

  /// Starts the first devices; Done runs when the last one has ended.
  void Start(std::function<void()> Done);
  /// Running updates are aborted, devices not started yet end as stopped.
  void Stop();

 private:
  struct TRunning;
  void Fill();
  void StartLane(std::size_t Lane);
  void StartDevice(std::size_t Lane);
  void Ended(std::size_t Lane, std::size_t Index, const TUpdateOutcome& O);

  TSessionPlatform platform_;
  std::vector<TRunDevice>& devices_;
  const TLoadedFirmware& fw_;
  TIniFile& settings_;
  TUpdateOptions options_;
  int parallel_;
  std::vector<std::vector<std::size_t>> lanes_;
  std::vector<std::size_t> lanePos_;                ///< per lane: its next device
  std::vector<std::unique_ptr<TRunning>> running_;  ///< per lane, while it runs
  std::vector<int64_t> startedAt_;
  std::function<void()> done_;
  std::size_t next_ = 0;  ///< the next lane to start
  bool stopping_ = false;
  int runningCount_ = 0;
  TPosted posted_;
};

}  // namespace vornik
