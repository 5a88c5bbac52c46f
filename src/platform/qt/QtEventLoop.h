// The product's event loop: timers, clock and sleep over Qt's event loop on the calling thread.
// Timers are QTimers with Qt::PreciseTimer so that the engine's 1 and 2 ms ticks keep their
// period; every onTimeout runs on the thread that created the timer. The tick counter is the
// monotonic clock; the date and time are local time as days since 1899-12-30.
#pragma once

#include <functional>
#include <memory>

#include "loop/EventLoop.h"

namespace vornik {

class QtEventLoop final : public EventLoop {
 public:
  int64_t nowMs() const override;
  double nowDateTime() const override;
  std::unique_ptr<Timer> createTimer() override;
  /// Blocks the thread: no timer or socket notification runs meanwhile.
  void sleepMs(int ms) override;

  /// One instance for the whole program (stateless; any number may exist).
  static QtEventLoop& instance();

  /// Runs the application's Qt loop (a QCoreApplication must exist) with Start posted as its
  /// first event, until quit(); returns the code given to quit.
  static int run(std::function<void()> Start);
  static void quit(int Code);
};

}  // namespace vornik
