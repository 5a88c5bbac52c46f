#include "app/FleetRun.h"

#include <algorithm>

namespace vornik {

const char* const kNotStartedText = "Stopped before its update began.";

struct TFleetRun::TRunning {
  std::unique_ptr<TDeviceSession> Session;
  std::unique_ptr<TUpdateSession> Update;
};

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
      running_(Devices.size()),
      startedAt_(Devices.size(), 0),
      posted_(*Platform.Loop) {}

TFleetRun::~TFleetRun() = default;

void TFleetRun::Start(std::function<void()> Done) {
  done_ = std::move(Done);
  Fill();
}

void TFleetRun::Stop() {
  for (std::size_t i = next_; i < devices_.size(); ++i) devices_[i].Outcome = NotStartedOutcome(kNotStartedText);
  next_ = devices_.size();
  for (auto& r : running_)
    if (r && r->Update) r->Update->Abort();
  Fill();
}

void TFleetRun::Fill() {
  while (runningCount_ < parallel_ && next_ < devices_.size()) StartDevice(next_++);
  if (runningCount_ == 0 && next_ >= devices_.size() && done_) {
    auto done = std::move(done_);
    done_ = nullptr;
    done();
  }
}

void TFleetRun::StartDevice(std::size_t Index) {
  TRunDevice& d = devices_[Index];
  ++runningCount_;
  startedAt_[Index] = platform_.Loop->nowMs();
  auto r = std::make_unique<TRunning>();
  // Serial devices of one run are told apart by the COM number they are opened under.
  r->Session = std::make_unique<TDeviceSession>(platform_, d.Connection, settings_, d.LogFile, static_cast<int>(Index) + 1);
  r->Update = std::make_unique<TUpdateSession>(*r->Session, fw_, options_);
  const int row = static_cast<int>(Index);
  if (Progress.Started) Progress.Started(row, d.Label, r->Update->TotalBytes());
  r->Update->OnProgress = [this, row](uint64_t Bytes) {
    if (Progress.Progress) Progress.Progress(row, Bytes);
  };
  TUpdateSession& update = *r->Update;
  running_[Index] = std::move(r);
  update.Start([this, Index](const TUpdateOutcome& O) { Ended(Index, O); });
}

void TFleetRun::Ended(std::size_t Index, const TUpdateOutcome& O) {
  TRunDevice& d = devices_[Index];
  d.Outcome = O;
  d.Seconds = static_cast<double>(platform_.Loop->nowMs() - startedAt_[Index]) / 1000.0;
  if (Progress.Ended) Progress.Ended(static_cast<int>(Index), d.Label + ": " + O.Result);
  // The session is inside its own callback here; free it once control is back in the loop.
  posted_.Post([this, Index] {
    running_[Index].reset();
    --runningCount_;
    Fill();
  });
}

}  // namespace vornik
