// A simulated device that opens the connection to the PC itself (TSimDialIn) over the in-memory
// server socket, with its wake-ups on the virtual loop: it dials, sends its announce frame first
// when it has one, hangs up when it restarts (after the install's answer is out) and dials again
// once it has started.
#pragma once

#include <set>
#include <string_view>

#include "sim/SimDevice.h"
#include "sim/SimDialIn.h"
#include "testkit/MemoryServerSocket.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testing {

/// A simulated device that dials the in-memory server socket, with its wake-ups on the loop.
class TDialingDevice {
 public:
  TDialingDevice(testkit::VirtualLoop& Loop, testkit::MemoryServerSocket& Socket, TSimDeviceConfig C, bool Announce)
      : dev(std::move(C)), dial(dev, Announce), loop_(Loop), socket_(Socket) {
    dev.OnOutput = [this](std::string_view Frame) {
      if (conn_ != nullptr) conn_->PeerSend(Frame);
    };
  }
  void Dial() {
    conn_ = &socket_.Connect();
    conn_->OnBytes = [this](std::string_view B) {
      dev.Feed(B, loop_.nowMs());
      After();
    };
    conn_->OnClosed = [this] {  // the PC ended it
      conn_ = nullptr;
      dev.LinkDown();
      dial.Lost(loop_.nowMs());
      ArmRedial();
    };
    const std::string first = dial.Connected(loop_.nowMs());
    if (!first.empty()) conn_->PeerSend(first);
  }

  TSimDevice dev;
  TSimDialIn dial;

 private:
  void After() {
    if (conn_ != nullptr && dial.HangUpDue(loop_.nowMs())) {
      // The hang-up follows what was sent before it.
      testkit::MemoryServerConnection* c = conn_;
      conn_ = nullptr;
      c->OnClosed = nullptr;
      loop_.schedule(loop_.nowMs() + socket_.LatencyMs, [c] { c->PeerClose(); });
      dev.LinkDown();
      ArmRedial();
    }
    const auto next = dev.NextWakeMs();
    if (next && !armed_.contains(*next)) {
      armed_.insert(*next);
      loop_.schedule(*next, [this, at = *next] {
        armed_.erase(at);
        dev.Tick(loop_.nowMs());
        After();
      });
    }
  }
  void ArmRedial() {
    if (const auto at = dial.RedialAtMs()) loop_.schedule(*at, [this] {
        if (conn_ == nullptr) Dial();
      });
  }
  testkit::VirtualLoop& loop_;
  testkit::MemoryServerSocket& socket_;
  testkit::MemoryServerConnection* conn_ = nullptr;
  std::set<int64_t> armed_;
};

}  // namespace vornik::testing
