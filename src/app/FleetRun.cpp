#include "app/FleetRun.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

namespace vornik {

const char* const kNotStartedText = "Stopped before its update began.";

struct TFleetRun::TRunning {
  std::unique_ptr<TDeviceSession> Session;
  std::unique_ptr<TUpdateSession> Update;
};

std::vector<std::vector<std::size_t>> DeviceLanes(const std::vector<TRunDevice>& Devices) {
  std::vector<std::vector<std::size_t>> lanes;
  std::map<std::string, std::size_t> serialLane;  // device file -> lane
  for (std::size_t i = 0; i < Devices.size(); ++i) {
    const TConnection& c = Devices[i].Connection;
    if (!c.Serial) {
      lanes.push_back({i});
      continue;
    }
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::canonical(c.Path, ec);
    const std::string key = ec ? c.Path : file.string();
    const auto [it, added] = serialLane.emplace(key, lanes.size());
    if (added) lanes.emplace_back();
    lanes[it->second].push_back(i);
  }
  return lanes;
}

std::string UniqueLogName(const std::string& Device, std::vector<std::string>& Used) {
  std::string base;
  for (char c : Device) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-';
    base += plain ? c : '_';
  }
  while (!base.empty() && (base.front() == '_' || base.front() == '.')) base.erase(0, 1);
  if (base.empty()) base = "device";
  std::string name = base + ".log";
  for (int n = 2; std::find(Used.begin(), Used.end(), name) != Used.end(); ++n)
    name = base + "-" + std::to_string(n) + ".log";
  Used.push_back(name);
  return name;
}

TFleetRun::TFleetRun(const TSessionPlatform& Platform, std::vector<TRunDevice>& Devices, const TLoadedFirmware& FW,
                     TIniFile& Settings, TUpdateOptions Options, int Parallel)
    : platform_(Platform),
      devices_(Devices),
      fw_(FW),
      settings_(Settings),
      options_(Options),
      parallel_(Parallel),
      lanes_(DeviceLanes(Devices)),
      lanePos_(lanes_.size(), 0),
      running_(lanes_.size()),
      startedAt_(Devices.size(), 0),
      posted_(*Platform.Loop) {}

TFleetRun::~TFleetRun() = default;

void TFleetRun::Start(std::function<void()> Done) {
  done_ = std::move(Done);
  Fill();
}

void TFleetRun::Stop() {
  stopping_ = true;
  // Every device not begun yet: of the lanes not started, and behind the running one of a lane.
  for (std::size_t l = 0; l < lanes_.size(); ++l) {
    const std::size_t from = l < next_ ? lanePos_[l] : 0;
    for (std::size_t k = from; k < lanes_[l].size(); ++k) devices_[lanes_[l][k]].Outcome = NotStartedOutcome(kNotStartedText);
    lanePos_[l] = lanes_[l].size();
  }
  next_ = lanes_.size();
  for (auto& r : running_)
    if (r && r->Update) r->Update->Abort();
  Fill();
}

void TFleetRun::Fill() {
  while (runningCount_ < parallel_ && next_ < lanes_.size()) StartLane(next_++);
  if (runningCount_ == 0 && next_ >= lanes_.size() && done_) {
    auto done = std::move(done_);
    done_ = nullptr;
    done();
  }
}

void TFleetRun::StartLane(std::size_t Lane) {
  ++runningCount_;
  running_[Lane] = std::make_unique<TRunning>();
  StartDevice(Lane);
}

void TFleetRun::StartDevice(std::size_t Lane) {
  const std::size_t index = lanes_[Lane][lanePos_[Lane]++];
  TRunDevice& d = devices_[index];
  startedAt_[index] = platform_.Loop->nowMs();
  TRunning& r = *running_[Lane];
  if (!r.Session) {
    // Serial lines of one run are told apart by the COM number they are opened under.
    r.Session = std::make_unique<TDeviceSession>(platform_, d.Connection, settings_, d.LogFile, static_cast<int>(Lane) + 1);
  } else {
    r.Session->Retarget(d.Connection, d.LogFile);
  }
  // The port stays open for the next device of the lane.
  r.Session->KeepOpen = lanePos_[Lane] < lanes_[Lane].size();
  r.Update = std::make_unique<TUpdateSession>(*r.Session, fw_, options_);
  const int row = static_cast<int>(index);
  if (Progress.Started) Progress.Started(row, d.Label, r.Update->TotalBytes());
  r.Update->OnProgress = [this, row](uint64_t Bytes) {
    if (Progress.Progress) Progress.Progress(row, Bytes);
  };
  r.Update->Start([this, Lane, index](const TUpdateOutcome& O) { Ended(Lane, index, O); });
}

void TFleetRun::Ended(std::size_t Lane, std::size_t Index, const TUpdateOutcome& O) {
  TRunDevice& d = devices_[Index];
  d.Outcome = O;
  d.Seconds = static_cast<double>(platform_.Loop->nowMs() - startedAt_[Index]) / 1000.0;
  if (Progress.Ended) Progress.Ended(static_cast<int>(Index), d.Label + ": " + O.Result);
  // The session is inside its own callback here; go on once control is back in the loop.
  posted_.Post([this, Lane] {
    TRunning& r = *running_[Lane];
    r.Update.reset();
    if (!stopping_ && lanePos_[Lane] < lanes_[Lane].size()) {
      StartDevice(Lane);
      return;
    }
    running_[Lane].reset();
    --runningCount_;
    Fill();
  });
}

}  // namespace vornik
