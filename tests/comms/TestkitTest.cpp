// The virtual loop and the in-memory link that every engine test stands on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

/// 200 chunks of 10 distinct bytes through a link with the given faults toward the peer.
struct FaultRun {
  std::string sent, got;
  std::vector<std::pair<std::string, int64_t>> chunks;
  MemoryLink::FaultCounters done;
};

FaultRun RunFaults(const testkit::MemoryLinkFaults& F) {
  VirtualLoop loop;
  Collect peer;
  peer.loop = &loop;
  MemoryLink link(loop, &peer, MemoryLinkSettings{.LatencyMs = 2});
  link.SetFaults(F);
  link.openSerial(1, 115200);
  FaultRun r;
  for (int i = 0; i < 200; ++i) {
    std::string chunk;
    for (int j = 0; j < 10; ++j) chunk.push_back(static_cast<char>('A' + (i * 10 + j) % 50));
    r.sent += chunk;
    link.write(chunk);
    loop.advance(5);
  }
  loop.advance(2000);
  for (const auto& [bytes, at] : peer.got) r.got += bytes;
  r.chunks = peer.got;
  r.done = link.FaultsDone;
  return r;
}

TEST(MemoryLinkTest, LineFaultsDamageChunksAsToldAndRepeatBySeed) {
  using F = testkit::MemoryLineFaults;
  struct {
    const char* name;
    F faults;
    std::function<void(const FaultRun&)> check;
  } cases[] = {
      {"none", F{}, [](const FaultRun& r) { EXPECT_EQ(r.got, r.sent); }},
      {"lost", F{.Drop = 0.2},
       [](const FaultRun& r) {
         EXPECT_EQ(r.got.size(), r.sent.size() - 10 * static_cast<std::size_t>(r.done.Dropped));
         EXPECT_GT(r.done.Dropped, 20);
       }},
      {"bit errors", F{.BitError = 0.2},
       [](const FaultRun& r) {
         ASSERT_EQ(r.got.size(), r.sent.size());
         int bits = 0;
         for (std::size_t i = 0; i < r.got.size(); ++i) bits += __builtin_popcount(static_cast<uint8_t>(r.got[i] ^ r.sent[i]));
         EXPECT_EQ(bits, r.done.BitErrors);  // one bit per damaged chunk
         EXPECT_GT(bits, 20);
       }},
      {"truncated", F{.Truncate = 0.2},
       [](const FaultRun& r) {
         EXPECT_LT(r.got.size(), r.sent.size());
         EXPECT_EQ(r.chunks.size(), 200u);
         EXPECT_GT(r.done.Truncated, 20);
       }},
      {"split", F{.Split = 0.3},
       [](const FaultRun& r) {
         EXPECT_EQ(r.got, r.sent);  // nothing lost, nothing out of order
         EXPECT_EQ(r.chunks.size(), 200u + static_cast<std::size_t>(r.done.Split));
       }},
      {"glued", F{.Glue = 0.3},
       [](const FaultRun& r) {
         EXPECT_EQ(r.got, r.sent);
         // Each held chunk rides with the next one; the last one may arrive alone after the hold.
         EXPECT_GE(r.chunks.size(), 200u - static_cast<std::size_t>(r.done.Glued));
         EXPECT_LE(r.chunks.size(), 201u - static_cast<std::size_t>(r.done.Glued));
         EXPECT_GT(r.done.Glued, 20);
       }},
      {"duplicated", F{.Duplicate = 0.2},
       [](const FaultRun& r) {
         EXPECT_EQ(r.chunks.size(), 200u + static_cast<std::size_t>(r.done.Duplicated));
         EXPECT_GT(r.done.Duplicated, 20);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testkit::MemoryLinkFaults f;
    f.Seed = 11;
    f.ToPeer = c.faults;
    const FaultRun a = RunFaults(f);
    c.check(a);
    EXPECT_EQ(RunFaults(f).chunks, a.chunks);  // the same seed, the same damage
  }
}

TEST(MemoryLinkTest, StallDelaysBothWaysAndCutLosesBothWays) {
  VirtualLoop loop;
  Collect peer;
  peer.loop = &loop;
  MemoryLink link(loop, &peer, MemoryLinkSettings{.LatencyMs = 1});
  link.openSerial(1, 115200);
  std::vector<int64_t> back;
  link.onData = [&](std::string_view) { back.push_back(loop.nowMs()); };
  link.Stall(500);
  link.write("a");
  link.PeerSend("b");
  loop.advance(1000);
  ASSERT_EQ(peer.got.size(), 1u);
  EXPECT_EQ(peer.got[0].second, 501);  // held, not lost
  EXPECT_EQ(back, std::vector<int64_t>{501});

  link.Cut(300);
  link.write("c");
  link.PeerSend("d");
  loop.advance(400);
  link.write("e");  // the line is back
  loop.advance(10);
  ASSERT_EQ(peer.got.size(), 2u);
  EXPECT_EQ(peer.got[1].first, "e");
  EXPECT_EQ(back.size(), 1u);
  EXPECT_EQ(link.FaultsDone.CutOff, 2);

  link.Cut(int64_t{1} << 40);
  link.Heal();
  link.write("f");
  loop.advance(10);
  EXPECT_EQ(peer.got.back().first, "f");
}

}  // namespace
}  // namespace vornik::testing
