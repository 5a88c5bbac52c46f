#include "app/ListenRun.h"

#include <algorithm>
#include <filesystem>

#include "comms/KRVTCPServer.h"

namespace vornik {

namespace {
constexpr const char* kHungUpText = "The device hung up before its update began.";
constexpr const char* kNotSeenText = "The device never identified itself.";
}

struct TListenRun::TState {
  std::unique_ptr<TDeviceSession> Session;
  std::unique_ptr<TUpdateSession> Update;
  bool Ended = false;
  int64_t StartedAtMs = 0;
};

TListenRun::TListenRun(const TSessionPlatform& Platform, TKRVTCPServer& Server, const TLoadedFirmware& FW,
                       TIniFile& Settings, TListenOptions Options)
    : platform_(Platform),
      server_(Server),
      fw_(FW),
      settings_(Settings),
      options_(std::move(Options)),
      idle_(Platform.Loop->createTimer()),
      posted_(*Platform.Loop) {
  server_.OnUnregdConnect = [this](TKRVTCPServer*, int32_t A, TClientData& C) {
    Identified(static_cast<uint32_t>(A), C);
  };
  server_.OnClientClosed = [this](TKRVTCPServer*, TClientData& C) {
    for (TWaiting& w : waiting_)
      if (w.Client == &C) w.Client = nullptr;
  };
  idle_->onTimeout = [this] {
    idle_->stop();
    closing_ = true;
    CheckEnd();
  };
}

TListenRun::~TListenRun() {
  server_.OnUnregdConnect = nullptr;
  server_.OnClientClosed = nullptr;
}

void TListenRun::Start(std::function<void()> Done) {
  done_ = std::move(Done);
  if (options_.IdleSeconds > 0) {
    idle_->setInterval(options_.IdleSeconds * 1000);
    idle_->start();
  }
}

void TListenRun::Stop() {
  closing_ = true;
  idle_->stop();
  TRunDevice d;
  for (TWaiting& w : waiting_) {
    d.Label = w.Label;
    d.Connection.Address = w.Address;
    d.Outcome = NotStartedOutcome(kNotStartedText);
    devices_.push_back(d);
    states_.push_back(std::make_unique<TState>());
    states_.back()->Ended = true;
  }
  waiting_.clear();
  for (auto& s : states_)
    if (s->Update && !s->Ended) s->Update->Abort();
  CheckEnd();
}

void TListenRun::Ignore(uint32_t A, const std::string& Device) {
  if (ignoredSet_.count(A) != 0) return;
  if (ignored_.size() >= kMaxIgnored) {
    if (ignoredMore_++ == 0 && Progress.Ended)
      Progress.Ended(-1, "More unlisted devices call; from now on they are only counted.");
    return;
  }
  ignoredSet_.insert(A);
  ignored_.emplace_back(Device, A);
  if (Progress.Ended) Progress.Ended(-1, Device + ": address " + std::to_string(A) + " is not listed, left alone");
}

void TListenRun::Identified(uint32_t A, TClientData& C) {
  const std::string device = HostPortText(C.Socket->remoteAddress(), C.Socket->remotePort());
  if (!options_.Listed.empty() && options_.Listed.count(A) == 0) {
    Ignore(A, device);
    return;
  }
  for (const TRunDevice& d : devices_)
    if (d.Connection.Address == A) return;  // updated (or being updated) in this run: left alone
  for (TWaiting& w : waiting_) {
    if (w.Address != A) continue;
    w.Client = &C;  // still waiting: the newest connection counts
    w.Label = device;
    Fill();
    return;
  }
  if (closing_) return;
  if (waiting_.size() >= std::max(kMaxWaiting, options_.Listed.size()) && !MakeRoom()) {
    ++dropped_;  // left alone; it is taken when it calls again and there is room
    return;
  }
  waiting_.push_back({A, device, &C});
  if (options_.Count > 0 && static_cast<int>(devices_.size() + waiting_.size()) >= options_.Count) closing_ = true;
  if (closing_) {
    idle_->stop();
  } else if (options_.IdleSeconds > 0) {
    idle_->start();
  }
  Fill();
}

bool TListenRun::MakeRoom() {
  const auto gone = std::find_if(waiting_.begin(), waiting_.end(), [](const TWaiting& w) { return w.Client == nullptr; });
  if (gone == waiting_.end()) return false;
  waiting_.erase(gone);
  ++dropped_;
  return true;
}

std::string TListenRun::LogName(uint32_t A) {
  return UniqueLogName(std::to_string(A), usedLogs_);
}

void TListenRun::Fill() {
  while (running_ < options_.Parallel) {
    // A device whose connection went is taken when it calls again.
    const auto next = std::find_if(waiting_.begin(), waiting_.end(), [](const TWaiting& w) { return w.Client != nullptr; });
    if (next == waiting_.end()) break;
    TWaiting w = *next;
    waiting_.erase(next);
    StartDevice(std::move(w));
  }
  CheckEnd();
}

void TListenRun::StartDevice(TWaiting W) {
  const std::size_t index = devices_.size();
  TRunDevice& d = devices_.emplace_back();
  d.Label = W.Label;
  d.Connection.Address = W.Address;
  d.LogFile = (std::filesystem::path(options_.LogDir) / LogName(W.Address)).string();
  TState& s = *states_.emplace_back(std::make_unique<TState>());
  TClientData* client = W.Client;
  ++running_;
  s.StartedAtMs = platform_.Loop->nowMs();
  d.Connection.Host = client->Socket->remoteAddress();
  d.Connection.Port = client->Socket->remotePort();
  s.Session = std::make_unique<TDeviceSession>(platform_, d.Connection, settings_, d.LogFile);
  s.Session->UseServer(server_);
  s.Update = std::make_unique<TUpdateSession>(*s.Session, fw_, options_.Update);
  const int row = static_cast<int>(index);
  if (Progress.Started)
    Progress.Started(row, d.Label + " (" + std::to_string(d.Connection.Address) + ")", s.Update->TotalBytes());
  s.Update->OnProgress = [this, row](uint64_t Bytes) {
    if (Progress.Progress) Progress.Progress(row, Bytes);
  };
  s.Update->Start([this, index](const TUpdateOutcome& O) { Ended(index, O); });
  // The engine is registered now; it takes the connection the device called on.
  server_.HandOver(*client, s.Session->Comms);
}

void TListenRun::Ended(std::size_t Index, const TUpdateOutcome& O) {
  TRunDevice& d = devices_[Index];
  TState& s = *states_[Index];
  d.Outcome = O;
  s.Ended = true;
  d.Seconds = static_cast<double>(platform_.Loop->nowMs() - s.StartedAtMs) / 1000.0;
  if (Progress.Ended)
    Progress.Ended(static_cast<int>(Index),
                   d.Label + " (" + std::to_string(d.Connection.Address) + "): " + O.Result);
  // The session is inside its own callback here; free it once control is back in the loop.
  posted_.Post([this, Index] {
    states_[Index]->Update.reset();
    states_[Index]->Session.reset();
    --running_;
    Fill();
  });
}

void TListenRun::CheckEnd() {
  if (!closing_ || running_ > 0 || !done_) return;
  for (const TWaiting& w : waiting_)
    if (w.Client != nullptr) return;  // identified, a slot will come
  // Devices whose connection went while they waited end as no link.
  for (const TWaiting& w : waiting_) {
    TRunDevice& d = devices_.emplace_back();
    d.Label = w.Label;
    d.Connection.Address = w.Address;
    d.Outcome.Result = "no-link";
    d.Outcome.Text = kHungUpText;
    d.Outcome.UploadResult = static_cast<int>(TFWUploadResult::fwrKRVError);
    d.Outcome.ExitCode = kExitNoLink;
    states_.push_back(std::make_unique<TState>());
    states_.back()->Ended = true;
  }
  waiting_.clear();
  // Listed devices that never identified themselves.
  std::set<uint32_t> seen;
  for (const TRunDevice& d : devices_) seen.insert(d.Connection.Address);
  for (const uint32_t a : options_.Listed) {
    if (seen.count(a) != 0) continue;
    TRunDevice& d = devices_.emplace_back();
    d.Seen = false;
    d.Connection.Address = a;
    d.Outcome.Result = kNotSeenResult;
    d.Outcome.Text = kNotSeenText;
    d.Outcome.ExitCode = kExitFailed;
    states_.push_back(std::make_unique<TState>());
    states_.back()->Ended = true;
  }
  auto done = std::move(done_);
  done_ = nullptr;
  done();
}

}  // namespace vornik
