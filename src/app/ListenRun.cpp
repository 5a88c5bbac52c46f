#include "app/ListenRun.h"

#include <filesystem>

#include "comms/KRVTCPServer.h"

namespace vornik {

namespace {
constexpr const char* kHungUpText = "The device hung up before its update began.";
}

struct TListenRun::TState {
  std::unique_ptr<TDeviceSession> Session;
  std::unique_ptr<TUpdateSession> Update;
  TClientData* Waiting = nullptr;  ///< the connection it waits on for a free slot
  bool Started = false;
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
    for (auto& s : states_)
      if (s->Waiting == &C) s->Waiting = nullptr;
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
  for (std::size_t i = 0; i < states_.size(); ++i) {
    TState& s = *states_[i];
    if (s.Started || s.Ended) continue;
    s.Ended = true;
    s.Waiting = nullptr;
    devices_[i].Outcome = NotStartedOutcome(kNotStartedText);
  }
  for (auto& s : states_)
    if (s->Update && !s->Ended) s->Update->Abort();
  CheckEnd();
}

void TListenRun::Identified(uint32_t A, TClientData& C) {
  const std::string device = HostPortText(C.Socket->remoteAddress(), C.Socket->remotePort());
  if (!options_.Listed.empty() && options_.Listed.count(A) == 0) {
    if (ignoredSet_.insert(A).second) {
      ignored_.emplace_back(device, A);
      if (Progress.Ended) Progress.Ended(-1, device + ": address " + std::to_string(A) + " is not listed, left alone");
    }
    return;
  }
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].Connection.Address != A) continue;
    TState& s = *states_[i];
    if (!s.Started && !s.Ended) {
      s.Waiting = &C;  // still waiting: the newest connection counts
      Fill();
    }
    return;  // updated (or being updated) in this run: left alone
  }
  if (closing_) return;
  TRunDevice d;
  d.Label = device;
  d.Connection.Address = A;
  d.LogFile = (std::filesystem::path(options_.LogDir) / LogName(A)).string();
  devices_.push_back(std::move(d));
  auto s = std::make_unique<TState>();
  s->Waiting = &C;
  states_.push_back(std::move(s));
  if (options_.Count > 0 && static_cast<int>(devices_.size()) >= options_.Count) closing_ = true;
  if (closing_) {
    idle_->stop();
  } else if (options_.IdleSeconds > 0) {
    idle_->start();
  }
  Fill();
}

std::string TListenRun::LogName(uint32_t A) {
  return UniqueLogName(std::to_string(A), usedLogs_);
}

void TListenRun::Fill() {
  for (std::size_t i = 0; i < states_.size() && running_ < options_.Parallel; ++i) {
    TState& s = *states_[i];
    if (s.Started || s.Ended) continue;
    if (s.Waiting == nullptr) continue;  // its connection went; it is taken when it calls again
    StartDevice(i);
  }
  CheckEnd();
}

void TListenRun::StartDevice(std::size_t Index) {
  TRunDevice& d = devices_[Index];
  TState& s = *states_[Index];
  TClientData* client = s.Waiting;
  s.Waiting = nullptr;
  s.Started = true;
  ++running_;
  s.StartedAtMs = platform_.Loop->nowMs();
  d.Connection.Host = client->Socket->remoteAddress();
  d.Connection.Port = client->Socket->remotePort();
  s.Session = std::make_unique<TDeviceSession>(platform_, d.Connection, settings_, d.LogFile);
  s.Session->UseServer(server_);
  s.Update = std::make_unique<TUpdateSession>(*s.Session, fw_, options_.Update);
  const int row = static_cast<int>(Index);
  if (Progress.Started)
    Progress.Started(row, d.Label + " (" + std::to_string(d.Connection.Address) + ")", s.Update->TotalBytes());
  s.Update->OnProgress = [this, row](uint64_t Bytes) {
    if (Progress.Progress) Progress.Progress(row, Bytes);
  };
  s.Update->Start([this, Index](const TUpdateOutcome& O) { Ended(Index, O); });
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
  for (const auto& s : states_)
    if (!s->Ended && s->Waiting != nullptr) return;  // identified, a slot will come
  // Devices whose connection went while they waited: they end as no link.
  for (std::size_t i = 0; i < states_.size(); ++i) {
    TState& s = *states_[i];
    if (s.Ended) continue;
    s.Ended = true;
    TUpdateOutcome& o = devices_[i].Outcome;
    o.Result = "no-link";
    o.Text = kHungUpText;
    o.UploadResult = static_cast<int>(TFWUploadResult::fwrKRVError);
    o.ExitCode = kExitNoLink;
  }
  auto done = std::move(done_);
  done_ = nullptr;
  done();
}

}  // namespace vornik
