// Time as the core sees it. Everything in the core (log time stamps, the engine's answer times,
// the procedures' waits) reads time through this interface, so that the product runs on the
// system clocks and the tests on a virtual clock that they advance themselves.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace vornik {

struct Clock {
  virtual ~Clock() = default;
  /// Monotonic millisecond tick (arbitrary origin).
  virtual int64_t nowMs() const = 0;
  /// Local wall-clock date and time as days since 1899-12-30; the fraction is the time of day.
  virtual double nowDateTime() const = 0;
};

/// The system clocks: steady_clock for the tick, the local time zone for the date.
class SystemClock final : public Clock {
 public:
  int64_t nowMs() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  double nowDateTime() const override {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    // Seconds since the Unix epoch in local time, then shifted to the 1899-12-30 origin.
    const int64_t localSeconds = static_cast<int64_t>(t) + local.tm_gmtoff;
    return 25569.0 + (static_cast<double>(localSeconds) + static_cast<double>(ms) / 1000.0) / 86400.0;
  }
  static SystemClock& instance() {
    static SystemClock clock;
    return clock;
  }
};

}  // namespace vornik
