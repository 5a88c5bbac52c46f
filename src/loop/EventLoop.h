// Timers and the loop they run on. The engine, the procedures and the log writer take time only
// from the Clock and wait only through sleepMs, so that under test a virtual loop drives them
// exactly (timers fire in time order, nothing blocks) and in the product Qt's event loop does.
#pragma once

#include <functional>
#include <memory>

#include "loop/Clock.h"

namespace vornik {

/// A repeating timer delivered on the loop's thread. start() (re)arms it from now with the
/// current interval; a timer restarted inside its own onTimeout is re-armed from that moment.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void setInterval(int ms) = 0;
  virtual int interval() const = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
  virtual bool isActive() const = 0;
  std::function<void()> onTimeout;
};

struct EventLoop : Clock {
  virtual std::unique_ptr<Timer> createTimer() = 0;
  /// Blocks the loop's thread for ms milliseconds: no timer or notification runs meanwhile.
  virtual void sleepMs(int ms) = 0;
};

}  // namespace vornik
