// A listen run: the PC waits for devices that open the connection themselves (devices behind
// carrier NAT) and updates each one that identifies itself, with exactly the update of a single
// device (TUpdateSession), up to Parallel at a time, all on one event loop.
//
// The TCP server identifies every connection; a device nobody serves yet reaches the run through
// the server's unregistered-device event. A listed device (any device without a list) gets its
// own session with an engine in server mode, which the server hands the connection to; when no
// slot is free it waits, with the connection it called on, until one is. A device is updated once
// a run: when it calls back after its update it is left alone, and so is every unlisted device
// (reported once under Ignored). The run ends when Count devices were taken, after IdleSeconds
// without a newly identified listed device (updates still running are finished), or on Stop()
// (SIGINT / SIGTERM), which aborts the running updates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/FleetRun.h"

namespace vornik {

class TIniFile;
class TKRVTCPServer;
struct TClientData;

struct TListenOptions {
  std::set<uint32_t> Listed;  ///< empty: every device
  int Count = 0;              ///< 0: no limit
  int IdleSeconds = 0;        ///< 0: no limit
  int Parallel = 16;
  TUpdateOptions Update;
  std::string LogDir;
};

class TListenRun {
 public:
  TListenRun(const TSessionPlatform& Platform, TKRVTCPServer& Server, const TLoadedFirmware& FW, TIniFile& Settings,
             TListenOptions Options);
  ~TListenRun();
  TListenRun(const TListenRun&) = delete;
  TListenRun& operator=(const TListenRun&) = delete;

  TRunProgress Progress;

  void Start(std::function<void()> Done);
  /// No more devices, running updates aborted, waiting ones reported as stopped.
  void Stop();

  /// The identified listed devices, in order of identification (Connection.Address is theirs).
  const std::vector<TRunDevice>& Devices() const { return devices_; }
  /// Unlisted devices that called: host:port and address.
  const std::vector<std::pair<std::string, uint32_t>>& Ignored() const { return ignored_; }

 private:
  struct TState;
  void Identified(uint32_t Address, TClientData& Client);
  void Fill();
  void StartDevice(std::size_t Index);
  void Ended(std::size_t Index, const TUpdateOutcome& O);
  void CheckEnd();
  std::string LogName(uint32_t Address);

  TSessionPlatform platform_;
  TKRVTCPServer& server_;
  const TLoadedFirmware& fw_;
  TIniFile& settings_;
  TListenOptions options_;
  std::unique_ptr<Timer> idle_;
  std::function<void()> done_;
  std::vector<TRunDevice> devices_;
  std::vector<std::unique_ptr<TState>> states_;  ///< per device
  std::vector<std::pair<std::string, uint32_t>> ignored_;
  std::set<uint32_t> ignoredSet_;
  std::vector<std::string> usedLogs_;
  int running_ = 0;
  bool closing_ = false;  ///< no more devices are taken
  TPosted posted_;
};

}  // namespace vornik
