// The virtual loop and the in-memory link that every engine test stands on.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "testkit/MemoryLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testing {
namespace {

using testkit::MemoryLink;
using testkit::MemoryLinkSettings;
using testkit::VirtualLoop;

TEST(VirtualLoopTest, TimersFireInTimeOrderAndRestartFromTheCurrentTime) {
  VirtualLoop loop;
  std::vector<std::pair<char, int64_t>> fired;
  auto a = loop.createTimer(), b = loop.createTimer(), c = loop.createTimer();
  a->setInterval(10);
  b->setInterval(10);
  c->setInterval(25);
  a->onTimeout = [&] { fired.push_back({'a', loop.nowMs()}); };
  b->onTimeout = [&] {
    fired.push_back({'b', loop.nowMs()});
    b->setInterval(7);  // a running timer restarts from now with its new interval
  };
  c->onTimeout = [&] {
    fired.push_back({'c', loop.nowMs()});
    c->stop();
  };
  a->start();
  b->start();  // same due time as a: fires after a, in arming order
  c->start();
  loop.advance(24);
  const std::vector<std::pair<char, int64_t>> expected{{'a', 10}, {'b', 10}, {'b', 17}, {'a', 20}, {'b', 24}};
  EXPECT_EQ(fired, expected);
  loop.advance(30);
  EXPECT_EQ(std::count(fired.begin(), fired.end(), std::pair<char, int64_t>{'c', 25}), 1);
  EXPECT_FALSE(c->isActive());
  EXPECT_EQ(loop.nowMs(), 54);
}

TEST(VirtualLoopTest, SleepMovesTimeWithoutFiringAndTimersMayDieInTheirCallback) {
  VirtualLoop loop;
  int count = 0;
  auto t = loop.createTimer();
  t->setInterval(5);
  t->onTimeout = [&] { ++count; };
  t->start();
  loop.sleepMs(100);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(loop.nowMs(), 100);
  loop.advance(0);  // the overdue timer fires once, at the current time
  EXPECT_EQ(count, 1);

  std::unique_ptr<Timer> dying = loop.createTimer();
  dying->setInterval(1);
  dying->onTimeout = [&] { dying.reset(); };
  dying->start();
  loop.advance(3);
  EXPECT_EQ(dying, nullptr);
  EXPECT_TRUE(loop.runUntil([&] { return count >= 5; }, 1000));
  EXPECT_EQ(loop.nowMs(), 120);
  EXPECT_FALSE(loop.runUntil([] { return false; }, 50));
  EXPECT_EQ(loop.nowMs(), 170);
}

struct Collect : testkit::MemoryPeer {
  void OnBytes(MemoryLink&, std::string_view Bytes) override { got.push_back({std::string(Bytes), loop->nowMs()}); }
  VirtualLoop* loop;
  std::vector<std::pair<std::string, int64_t>> got;
};

TEST(MemoryLinkTest, BaudRateSerialisesWritesAndLatencyDelaysThem) {
  VirtualLoop loop;
  Collect peer;
  peer.loop = &loop;
  MemoryLink link(loop, &peer, MemoryLinkSettings{.LatencyMs = 3, .Baud = 9600});
  link.openSerial(1, 9600);
  link.write(std::string(96, 'a'));  // 960 bits: 100 ms on the line
  link.write(std::string(48, 'b'));  // queues behind: 50 ms more
  EXPECT_GT(link.bytesToWrite(), 0u);
  loop.advance(200);
  ASSERT_EQ(peer.got.size(), 2u);
  EXPECT_EQ(peer.got[0].second, 103);
  EXPECT_EQ(peer.got[1].second, 153);
  EXPECT_EQ(link.bytesToWrite(), 0u);

  std::string back;
  link.onData = [&](std::string_view B) { back.append(B); };
  link.PeerSend("xyz");
  link.close();  // bytes still on the line are lost with the connection
  loop.advance(50);
  EXPECT_TRUE(back.empty());
}

TEST(MemoryLinkTest, LimitedOutputRefusesWritesThatDoNotFit) {
  VirtualLoop loop;
  Collect peer;
  peer.loop = &loop;
  MemoryLink link(loop, &peer, MemoryLinkSettings{.Baud = 9600, .LimitOutput = true});
  link.openSerial(1, 9600);
  link.setOutBufferSize(100);
  link.write(std::string(60, 'a'));  // 62.5 ms on the line
  EXPECT_THROW(link.write(std::string(60, 'b')), EPortError);
  EXPECT_EQ(link.Writes.size(), 1u);  // the refused bytes never reach the line
  loop.advance(30);                   // about half of them are out now
  link.write(std::string(60, 'c'));
  loop.advance(200);
  ASSERT_EQ(peer.got.size(), 2u);
  EXPECT_EQ(peer.got[1].first, std::string(60, 'c'));
  // Without the switch the queue grows as it likes.
  MemoryLink open(loop, &peer, MemoryLinkSettings{.Baud = 9600});
  open.openSerial(1, 9600);
  open.setOutBufferSize(100);
  for (int i = 0; i < 5; ++i) open.write(std::string(60, 'd'));
  EXPECT_GT(open.bytesToWrite(), 100u);
}

TEST(MemoryLinkTest, OpenFailuresUseThePortTexts) {
  VirtualLoop loop;
  for (auto [result, text] : {std::pair{MemoryLinkSettings::Open::Missing, kPortMissingText},
                              std::pair{MemoryLinkSettings::Open::InUse, kPortInUseText}}) {
    MemoryLink link(loop, nullptr, MemoryLinkSettings{.OpenResult = result});
    try {
      link.openSerial(3, 9600);
      ADD_FAILURE();
    } catch (const EPortError& e) {
      EXPECT_STREQ(e.what(), text);
    }
    EXPECT_FALSE(link.isOpen());
  }
  MemoryLink refused(loop, nullptr, MemoryLinkSettings{.ConnectDelayMs = 4, .OpenResult = MemoryLinkSettings::Open::Refused});
  int error = 0;
  refused.onError = [&](int Code) { error = Code; };
  refused.openTcp("h", 1);
  loop.advance(4);
  EXPECT_EQ(error, 10061);
}

}  // namespace
}  // namespace vornik::testing
