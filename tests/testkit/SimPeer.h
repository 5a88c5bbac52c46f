// Puts the simulated device (TSimDevice) on a MemoryLink: bytes from the engine are fed to it at
// the virtual time they arrive, its frames go back over the link, and its own wake-ups (answers
// after the turnaround, the end of a restart) are scheduled on the virtual loop. A device that
// hangs up after an answer (a fault) ends the line right after that answer has arrived. The same
// peer serves a whole simulated bus (TSimBusPeer): every device hears the line, each answers
// its own frames.
#pragma once

#include <functional>
#include <set>
#include <string_view>

#include "sim/SimBus.h"
#include "sim/SimDevice.h"
#include "testkit/MemoryLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testing {

/// TDevice: TSimDevice or TSimBus (Feed, Tick, NextWakeMs, LinkUp/LinkDown, TakeHangUp, OnOutput).
template <typename TDevice>
class TSimLinePeer final : public testkit::MemoryPeer {
 public:
  TSimLinePeer(testkit::VirtualLoop& Loop, TDevice& Device) : loop_(Loop), device_(Device) {
    device_.OnOutput = [this](std::string_view Frame) {
      if (link_ != nullptr) link_->PeerSend(Frame);
    };
  }
  void OnBytes(testkit::MemoryLink& Link, std::string_view Bytes) override {
    link_ = &Link;
    device_.Feed(Bytes, loop_.nowMs());
    CheckHangUp();
    Arm();
    if (AfterBytes) AfterBytes(Link);
  }
  void OnOpened(testkit::MemoryLink& Link) override {
    link_ = &Link;
    device_.LinkUp();
  }
  void OnClosed(testkit::MemoryLink&) override {
    device_.LinkDown();
    link_ = nullptr;
  }

  /// Runs after the device has taken each chunk (fault campaigns watch the device's progress here).
  std::function<void(testkit::MemoryLink&)> AfterBytes;

  /// Schedules the device's next wake-up on the loop (after the host changed the device directly).
  void Arm() {
    const auto next = device_.NextWakeMs();
    if (!next || !armed_.insert(*next).second) return;
    loop_.schedule(*next, [this, at = *next] {
      armed_.erase(at);
      device_.Tick(loop_.nowMs());
      CheckHangUp();
      Arm();
    });
  }


 private:
  /// The device hung up after its answer: the line ends once that answer has arrived.
  void CheckHangUp() {
    if (!device_.TakeHangUp() || link_ == nullptr) return;
    link_->HangUp();
    device_.LinkDown();
  }

  testkit::VirtualLoop& loop_;
  TDevice& device_;
  testkit::MemoryLink* link_ = nullptr;
  std::set<int64_t> armed_;
};

using TSimPeer = TSimLinePeer<TSimDevice>;
using TSimBusPeer = TSimLinePeer<TSimBus>;

}  // namespace vornik::testing
