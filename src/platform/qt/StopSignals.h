// SIGINT and SIGTERM for the verbs that run until they are stopped: the signal only writes a byte
// into a socket pair, and the Qt loop calls OnStop on its own thread, where the running updates
// can be aborted and reported. A second signal while stopping ends the process at once. The
// previous handlers come back when the object goes.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vornik {

class TStopSignals {
 public:
  explicit TStopSignals(std::function<void()> OnStop);
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

 private:
  std::function<void()> onStop_;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool stopping_ = false;
};

}  // namespace vornik
