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
// (SIGINT / SIGTERM), which aborts the running updates. A listed device that never identified
// itself ends the run as not seen.
//
// Anyone who reaches the port can make up sender addresses, so what the run keeps of callers is
// bounded: at most kMaxIgnored unlisted devices are listed one by one (the others only counted),
// and at most kMaxWaiting devices (or as many as are listed) wait for a slot; a device that hung
// up while waiting makes room for a newer one, and one that finds no room is left alone until it
// calls again (both counted as Dropped).
#pragma once

#include <cstddef>
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
  static constexpr std::size_t kMaxIgnored = 1000;
  static constexpr std::size_t kMaxWaiting = 1024;
  static constexpr const char* kNotSeenResult = "not-seen";

  TListenRun(const TSessionPlatform& Platform, TKRVTCPServer& Server, const TLoadedFirmware& FW, TIniFile& Settings,
             TListenOptions Options);
  ~TListenRun();
  TListenRun(const TListenRun&) = delete;
  TListenRun& operator=(const TListenRun&) = delete;

  TRunProgress Progress;

  void Start(std::function<void()> Done);
  /// No more devices, running updates aborted, waiting ones reported as stopped.
  void Stop();

  /// The devices taken, in the order their updates began (Connection.Address is theirs); once the
  /// run is done also those that hung up while waiting or were stopped, and the listed devices
  /// that never called (result kNotSeenResult, Seen false).
  const std::vector<TRunDevice>& Devices() const { return devices_; }
  /// Unlisted devices that called: host:port and address (the first kMaxIgnored of them).
  const std::vector<std::pair<std::string, uint32_t>>& Ignored() const { return ignored_; }
  /// Calls of unlisted devices beyond those listed in Ignored.
  uint64_t IgnoredMore() const { return ignoredMore_; }
  /// Devices the waiting list had no room for (see above).
  uint64_t Dropped() const { return dropped_; }
  /// Devices identified and waiting for a slot now.
  std::size_t WaitingCount() const { return waiting_.size(); }

 private:
  struct TState;
  struct TWaiting {
    uint32_t Address = 0;
    std::string Label;
    TClientData* Client = nullptr;  ///< the connection it called on; null once that went
  };
  void Identified(uint32_t Address, TClientData& Client);
  void Ignore(uint32_t Address, const std::string& Device);
  bool MakeRoom();
  void Fill();
  void StartDevice(TWaiting W);
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
  std::vector<TWaiting> waiting_;  ///< oldest first
  std::vector<std::pair<std::string, uint32_t>> ignored_;
  std::set<uint32_t> ignoredSet_;
  uint64_t ignoredMore_ = 0;
  uint64_t dropped_ = 0;
  std::vector<std::string> usedLogs_;
  int running_ = 0;
  bool closing_ = false;  ///< no more devices are taken
  TPosted posted_;
};

}  // namespace vornik
