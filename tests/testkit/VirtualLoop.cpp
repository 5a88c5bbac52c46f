#include "testkit/VirtualLoop.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace vornik::testkit {

class VirtualTimer final : public Timer {
 public:
  explicit VirtualTimer(VirtualLoop& Loop) : loop_(&Loop) { Loop.timers_.push_back(this); }
  ~VirtualTimer() override {
    if (loop_ == nullptr) return;
    auto& list = loop_->timers_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  void setInterval(int ms) override {
    interval_ = ms;
    if (active_) arm();  // a running timer restarts with its new interval
  }
  int interval() const override { return interval_; }
  void start() override {
    active_ = true;
    arm();
  }
  void stop() override { active_ = false; }
  bool isActive() const override { return active_; }

  /// Started (or given a new interval): a zero interval fires at this instant, after whatever is
  /// due now already, as Qt runs a zero timer on the loop's next turn.
  void arm() { armIn(std::max(interval_, 0)); }
  /// Re-armed after firing: a zero interval would fire forever at one instant, so a repeating
  /// one comes back after the virtual loop's resolution, 1 ms.
  void rearm() { armIn(std::max(interval_, 1)); }
  void armIn(int ms) {
    due_ = loop_->now_ + ms;
    seq_ = loop_->nextSeq();
  }
  void detach() { loop_ = nullptr; }

  VirtualLoop* loop_;
  int interval_ = 0;
  bool active_ = false;
  int64_t due_ = 0;
  uint64_t seq_ = 0;
};

VirtualLoop::VirtualLoop(double StartDateTime) : startDate_(StartDateTime) {}

VirtualLoop::~VirtualLoop() {
  for (auto* t : timers_) t->detach();
}

std::unique_ptr<Timer> VirtualLoop::createTimer() { return std::make_unique<VirtualTimer>(*this); }

void VirtualLoop::sleepMs(int ms) {
  if (ms > 0) now_ += ms;
}

void VirtualLoop::schedule(int64_t AtMs, std::function<void()> Fn) {
  events_.push_back(Event{std::max(AtMs, now_), nextSeq(), std::move(Fn)});
}

int VirtualLoop::activeTimers() const {
  return static_cast<int>(std::count_if(timers_.begin(), timers_.end(), [](const VirtualTimer* t) { return t->active_; }));
}

bool VirtualLoop::fireNext(int64_t limitAbs) {
  VirtualTimer* bestTimer = nullptr;
  std::size_t bestEvent = std::numeric_limits<std::size_t>::max();
  int64_t due = std::numeric_limits<int64_t>::max();
  uint64_t seq = std::numeric_limits<uint64_t>::max();
  for (auto* t : timers_) {
    if (t->active_ && (t->due_ < due || (t->due_ == due && t->seq_ < seq))) {
      bestTimer = t;
      due = t->due_;
      seq = t->seq_;
    }
  }
  for (std::size_t i = 0; i < events_.size(); ++i) {
    if (events_[i].due < due || (events_[i].due == due && events_[i].seq < seq)) {
      bestTimer = nullptr;
      bestEvent = i;
      due = events_[i].due;
      seq = events_[i].seq;
    }
  }
  if (due > limitAbs || (bestTimer == nullptr && bestEvent == std::numeric_limits<std::size_t>::max())) return false;
  now_ = std::max(now_, due);
  if (bestTimer != nullptr) {
    bestTimer->rearm();  // repeating: the next period counts from now
    ++fired_;
    if (bestTimer->onTimeout) {
      auto fn = bestTimer->onTimeout;  // the callback may destroy the timer
      fn();
    }
  } else {
    auto fn = std::move(events_[bestEvent].fn);
    events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(bestEvent));
    if (fn) fn();
  }
  return true;
}

void VirtualLoop::advance(int64_t ms) {
  const int64_t target = now_ + std::max<int64_t>(ms, 0);
  while (fireNext(target)) {
  }
  now_ = std::max(now_, target);
}

bool VirtualLoop::step(int64_t LimitMs) {
  const int64_t limit = now_ + LimitMs;
  if (!fireNext(limit)) return false;
  const int64_t at = now_;
  while (fireNext(at)) {
  }
  return true;
}

bool VirtualLoop::runUntil(const std::function<bool()>& Predicate, int64_t LimitMs) {
  const int64_t limit = now_ + std::max<int64_t>(LimitMs, 0);
  while (true) {
    if (Predicate()) return true;
    if (!fireNext(limit)) break;
  }
  now_ = std::max(now_, limit);
  return Predicate();
}

}  // namespace vornik::testkit
