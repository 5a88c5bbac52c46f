#include "platform/qt/QtEventLoop.h"

#include <gtest/gtest.h>

#include <vector>

#include "QtTestSupport.h"
#include "loop/Clock.h"

namespace vornik {
namespace {

using testing::EnsureQtApp;
using testing::SpinUntil;

class QtEventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureQtApp(); }
  QtEventLoop loop;
};

TEST_F(QtEventLoopTest, TimersFireInIntervalOrder) {
  std::vector<int> fired;
  std::vector<std::unique_ptr<Timer>> timers;
  for (const int ms : {90, 30, 60}) {
    auto t = loop.createTimer();
    Timer* raw = t.get();
    t->setInterval(ms);
    t->onTimeout = [&fired, raw, ms] {
      raw->stop();
      fired.push_back(ms);
    };
    timers.push_back(std::move(t));
  }
  for (auto& t : timers) t->start();
  ASSERT_TRUE(SpinUntil([&] { return fired.size() == 3; }));
  EXPECT_EQ(fired, (std::vector<int>{30, 60, 90}));
  for (auto& t : timers) EXPECT_FALSE(t->isActive());
}

TEST_F(QtEventLoopTest, TimerRepeatsUntilStoppedAndRestartsWithNewInterval) {
  auto t = loop.createTimer();
  int count = 0;
  t->setInterval(3);
  EXPECT_EQ(t->interval(), 3);
  t->onTimeout = [&] {
    if (++count == 3) {
      // Restarting inside the handler with a longer interval keeps the timer alive.
      t->setInterval(20);
      t->start();
    } else if (count == 5) {
      t->stop();
    }
  };
  t->start();
  EXPECT_TRUE(t->isActive());
  ASSERT_TRUE(SpinUntil([&] { return count >= 5; }));
  EXPECT_FALSE(t->isActive());
  EXPECT_EQ(t->interval(), 20);
  testing::SpinFor(60);
  EXPECT_EQ(count, 5);
}

TEST_F(QtEventLoopTest, TimerMayBeDestroyedInsideItsOwnHandler) {
  auto t = loop.createTimer();
  int count = 0;
  t->setInterval(1);
  t->onTimeout = [&] {
    ++count;
    t.reset();  // the owner frees the timer from its own callback
  };
  t->start();
  ASSERT_TRUE(SpinUntil([&] { return t == nullptr; }));
  testing::SpinFor(20);
  EXPECT_EQ(count, 1);
}

TEST_F(QtEventLoopTest, SleepBlocksTimersAndAdvancesTheClock) {
  auto t = loop.createTimer();
  int ticks = 0;
  t->setInterval(1);
  t->onTimeout = [&] { ++ticks; };
  t->start();
  ASSERT_TRUE(SpinUntil([&] { return ticks > 0; }));
  const int before = ticks;
  const int64_t start = loop.nowMs();
  loop.sleepMs(30);
  EXPECT_EQ(ticks, before);  // nothing ran while the thread slept
  EXPECT_GE(loop.nowMs() - start, 30);
  ASSERT_TRUE(SpinUntil([&] { return ticks > before; }));
}

TEST_F(QtEventLoopTest, ClockAgreesWithTheSystemClock) {
  const int64_t a = loop.nowMs();
  const int64_t b = loop.nowMs();
  EXPECT_LE(a, b);
  EXPECT_NEAR(static_cast<double>(loop.nowMs()), static_cast<double>(SystemClock::instance().nowMs()), 1000.0);
  // Local date and time in days since 1899-12-30; two seconds of slack.
  EXPECT_NEAR(loop.nowDateTime(), SystemClock::instance().nowDateTime(), 2.0 / 86400.0);
  EXPECT_GT(loop.nowDateTime(), 45000.0);  // after 2023
}

}  // namespace
}  // namespace vornik
