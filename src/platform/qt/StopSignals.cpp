#include "platform/qt/StopSignals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdlib>

namespace vornik {

namespace {

int pipeFds[2] = {-1, -1};
struct sigaction oldInt {}, oldTerm {};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const auto n = ::write(pipeFds[1], &c, 1);
}

}  // namespace

TStopSignals::TStopSignals(std::function<void()> OnStop) : onStop_(std::move(OnStop)) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeFds) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    char c;
    [[maybe_unused]] const auto n = ::read(pipeFds[0], &c, 1);
    if (stopping_) std::_Exit(130);  // asked twice: no more waiting
    stopping_ = true;
    if (onStop_) onStop_();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, &oldInt);
  ::sigaction(SIGTERM, &sa, &oldTerm);
}

TStopSignals::~TStopSignals() {
  if (!notifier_) return;
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  notifier_.reset();
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  pipeFds[0] = pipeFds[1] = -1;
}

}  // namespace vornik
