// VirtualLoop runs timers on virtual milliseconds. Nothing happens until the test advances time:
// advance(ms) fires every due timer and scheduled event in time order (ties in the order they were
// armed), so a test can say "the third try goes out at 270 ms" and check it exactly and at once.
// A repeating timer is re-armed from the moment it fires, before its callback runs; a timer
// (re)started or given a new interval inside a callback is armed from the current virtual time,
// as Qt does. A timer started with a zero interval fires at the same instant, after everything
// already due then (Qt's next turn of the loop); kept running, it fires again each 1 ms. sleepMs
// moves time on without firing anything (the loop's thread is blocked).
// Timers and events may be created, stopped and destroyed from inside callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "loop/EventLoop.h"

namespace vornik::testkit {

class VirtualLoop final : public EventLoop {
 public:
  /// StartDateTime: the wall-clock date of virtual time 0 (days since 1899-12-30).
  explicit VirtualLoop(double StartDateTime = 46000.5);
  ~VirtualLoop() override;

  int64_t nowMs() const override { return now_; }
  double nowDateTime() const override { return startDate_ + static_cast<double>(now_) / 86400000.0; }
  std::unique_ptr<Timer> createTimer() override;
  void sleepMs(int ms) override;

  /// Fires everything due up to now + ms, in time order; afterwards now() is now + ms.
  void advance(int64_t ms);
  /// Advances to the next due timer or event (if any is due within LimitMs) and fires it and
  /// everything else due at that moment. Returns false when nothing was due within the limit.
  bool step(int64_t LimitMs);
  /// Advances until Predicate holds (checked before each step) or LimitMs have passed.
  /// Returns whether the predicate held.
  bool runUntil(const std::function<bool()>& Predicate, int64_t LimitMs);
  /// Runs Fn at virtual time AtMs (not before now); ordered with the timers.
  void schedule(int64_t AtMs, std::function<void()> Fn);
  /// Number of timers currently running (for idle checks).
  int activeTimers() const;
  /// How many timer callbacks have run so far.
  uint64_t firedCount() const { return fired_; }

 private:
  friend class VirtualTimer;
  struct Entry;
  struct Event {
    int64_t due;
    uint64_t seq;
    std::function<void()> fn;
  };
  bool fireNext(int64_t limitAbs);
  uint64_t nextSeq() { return ++seq_; }

  int64_t now_ = 0;
  double startDate_;
  uint64_t seq_ = 0;
  uint64_t fired_ = 0;
  std::vector<class VirtualTimer*> timers_;
  std::vector<Event> events_;
};

}  // namespace vornik::testkit
