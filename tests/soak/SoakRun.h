// One soak run: the real engine and procedure against the simulated device over a MemoryLink on
// the virtual loop, with the run's fault plan applied, the checks made, and after a failure one
// more attempt on a clean line from the state the device was left in.
#pragma once

#include <cstdint>
#include <string>

#include "soak/SoakPlan.h"

namespace vornik::soak {

/// How an attempt ended.
enum class TEnd {
  Ok,            ///< success reported and verified
  Failed,        ///< a documented failure result
  Corrupt,       ///< success reported, but the device does not hold what was sent
  Hang,          ///< no end within the bound
  Undocumented,  ///< no documented result, more than one end, or an exception
};

struct TAttempt {
  TEnd End = TEnd::Hang;
  int Result = -1;       ///< the procedure's result value (-1: none)
  std::string ResultName;
  std::string Detail;    ///< why an attempt counts as corrupt, hung or undocumented
  int64_t VirtualMs = 0;
  int64_t BoundMs = 0;
};

struct TRunOutcome {
  TAttempt First;
  bool Reran = false;
  TAttempt Rerun;
};

struct TRunOptions {
  bool Trace = false;  ///< print the packet log and the device's request lines (--only)
};

TRunOutcome RunPlan(const TFaultPlan& Plan, const TRunOptions& Options);

}  // namespace vornik::soak
