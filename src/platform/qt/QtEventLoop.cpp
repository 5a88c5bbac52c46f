#include "platform/qt/QtEventLoop.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

namespace vornik {

namespace {

/// Timer over a QTimer. The QTimer may be destroyed from inside its own onTimeout (an owner freed
/// in a callback): then it is only detached and deleted once control is back in the Qt loop.
class QtTimer final : public Timer {
 public:
  QtTimer() : timer_(new QTimer) {
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setSingleShot(false);
    QObject::connect(timer_, &QTimer::timeout, [this] { Fire(); });
  }
  ~QtTimer() override {
    timer_->stop();
    timer_->disconnect();
    if (firing_) {
      *destroyed_ = true;
      timer_->deleteLater();
    } else {
      delete timer_;
    }
  }
  void setInterval(int ms) override { timer_->setInterval(ms < 0 ? 0 : ms); }
  int interval() const override { return timer_->interval(); }
  void start() override { timer_->start(); }
  void stop() override { timer_->stop(); }
  bool isActive() const override { return timer_->isActive(); }

 private:
  void Fire() {
    if (!onTimeout) return;
    // The handler may destroy this timer (and with it onTimeout): run a copy and leave without
    // touching members once that happened.
    const auto handler = onTimeout;
    const auto destroyed = destroyed_;
    firing_ = true;
    handler();
    if (!*destroyed) firing_ = false;
  }

  QTimer* timer_;
  bool firing_ = false;
  std::shared_ptr<bool> destroyed_ = std::make_shared<bool>(false);
};

}  // namespace

int64_t QtEventLoop::nowMs() const {
  // QElapsedTimer's reference is the monotonic clock on every platform Qt supports.
  QElapsedTimer timer;
  timer.start();
  return timer.msecsSinceReference();
}

double QtEventLoop::nowDateTime() const {
  static const QDate kOrigin(1899, 12, 30);
  const QDateTime now = QDateTime::currentDateTime();
  const double days = static_cast<double>(kOrigin.daysTo(now.date()));
  return days + static_cast<double>(now.time().msecsSinceStartOfDay()) / 86400000.0;
}

std::unique_ptr<Timer> QtEventLoop::createTimer() { return std::make_unique<QtTimer>(); }

void QtEventLoop::sleepMs(int ms) {
  if (ms > 0) QThread::msleep(static_cast<unsigned long>(ms));
}

QtEventLoop& QtEventLoop::instance() {
  static QtEventLoop loop;
  return loop;
}

int QtEventLoop::run(std::function<void()> Start) {
  QObject context;
  QTimer::singleShot(0, &context, std::move(Start));
  return QCoreApplication::exec();
}

void QtEventLoop::quit(int Code) { QCoreApplication::exit(Code); }

}  // namespace vornik
