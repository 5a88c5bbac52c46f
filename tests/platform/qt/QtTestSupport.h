// Shared pieces of the Qt adapter tests: one QCoreApplication for the test program, and a way to
// run the Qt loop until something happened (or a generous deadline passed) instead of sleeping.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

namespace vornik::testing {

inline void EnsureQtApp() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "test_platform_qt";
  static char* argv[] = {name, nullptr};
  new QCoreApplication(argc, argv);  // lives for the whole test program
}

/// Runs the Qt loop until done() holds or timeoutMs passed; returns done().
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer elapsed;
  elapsed.start();
  QTimer wake;  // makes the loop come back to check done() even when nothing else happens
  wake.start(2);
  while (!done()) {
    if (elapsed.elapsed() > timeoutMs) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

/// Runs the Qt loop for about ms milliseconds (to see that something does NOT happen).
inline void SpinFor(int ms) {
  SpinUntil([] { return false; }, ms);
}

}  // namespace vornik::testing
