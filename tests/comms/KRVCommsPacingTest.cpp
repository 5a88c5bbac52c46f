// How fast the engine reacts on a paced serial line: the next request follows the end of an
// exchange in the same millisecond, the half-duplex gap is kept (and no longer than needed), and
// the line model tells the senders that do not wait for answers when to hand over the next packet.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "comms/CommsFixture.h"

namespace vornik::testing {
namespace {

MemoryLinkSettings SerialLine(int Baud) {
  MemoryLinkSettings s;
  s.Baud = Baud;
  s.LimitOutput = true;
  return s;
}

class Pacing : public CommsTest {
 protected:
  Pacing() : CommsTest(SerialLine(115200)) {}

  void SetUp() override {
    CommsTest::SetUp();
    comms->OnRawData = [this](TKRVComms*, const std::string&) { chunksAt.push_back(loop.nowMs()); };
  }

  /// The last time bytes arrived at the engine before AtMs (-1 if none).
  int64_t LastChunkBefore(int64_t AtMs) const {
    int64_t last = -1;
    for (int64_t t : chunksAt)
      if (t <= AtMs) last = t;
    return last;
  }

  std::vector<int64_t> chunksAt;
};

/// However the exchange ends, the item queued behind it is written in the same millisecond.
struct Ending {
  const char* Name;
  const char* Ans;
  TKRVSendOptions Options;
  int32_t Timeout;
  bool Answer;  ///< the device answers (with the payload, or with an acknowledgement)
  uint16_t Code;
};

class PacingEnding : public Pacing, public ::testing::WithParamInterface<Ending> {};

TEST_P(PacingEnding, TheNextRequestFollowsAtOnce) {
  const Ending& c = GetParam();
  comms->Max_tries_cmd = 1;
  peer.OnFrame = [&](ScriptedPeer& P, const PeerFrame& F) {
    if (F.Info == TInfo::kerek_nyugtat) return P.Ack(F);
    if (c.Answer && F.Payload.rfind("CFLUL", 0) == 0) P.Reply(F, std::string("AFLUL\0", 6));
    if (F.Payload == "CSYSI") P.Reply(F, "ASYSI");
  };
  comms->SetActive(true);
  loop.advance(10);
  Send(Item("CFLUL", c.Ans, c.Options, c.Timeout));
  Send(Item("CSYSI", "ASYSI", {psoDontAck}));
  ASSERT_TRUE(WaitResults(2));
  ASSERT_EQ(link().Writes.size(), 2u);
  EXPECT_EQ(results[0].Code, c.Code);
  EXPECT_EQ(link().Writes[1].AtMs, results[0].AtMs);
  EXPECT_EQ(results[1].Code, ecOk);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, PacingEnding,
    ::testing::Values(Ending{"Answer", "AFLUL", {psoDontAck}, 0, true, ecOk},
                      Ending{"Acknowledgement", "", {psoForceAck}, 0, true, ecOk},
                      Ending{"TimedWait", "", {psoDontAck, psoForceWait, psoExactTimeout, psoNoLineTimeout}, 7, false,
                             ecOk},
                      Ending{"NoAnswer", "AFLUL", {psoDontAck}, 0, false, ecNoAnswer}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(Pacing, AnAnswerIsHandledWhenItArrives) {
  peer.OnFrame = [](ScriptedPeer& P, const PeerFrame& F) { P.Reply(F, "ASYSI"); };
  comms->SetActive(true);
  loop.advance(10);
  for (int i = 0; i < 5; ++i) Send(Item("CSYSI", "ASYSI", {psoDontAck}));
  ASSERT_TRUE(WaitResults(5));
  ASSERT_EQ(chunksAt.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(results[i].AtMs, chunksAt[i]) << i;
}

class PacingHalfDuplex : public Pacing, public ::testing::WithParamInterface<int> {};

TEST_P(PacingHalfDuplex, KeepsTheGapAfterTheLastReceivedByte) {
  // The clock counts whole ms: a difference of Switch_Direction_Time + 1 is the least that is at
  // least Switch_Direction_Time ms on the wire, and the engine waits no longer than that.
  const int gap = GetParam();
  comms->Half_Duplex_Mode = true;
  comms->Switch_Direction_Time = gap;
  peer.OnFrame = [](ScriptedPeer& P, const PeerFrame& F) { P.Reply(F, "ASYSI"); };
  comms->SetActive(true);
  loop.advance(10);
  for (int i = 0; i < 4; ++i) Send(Item("CSYSI", "ASYSI", {psoDontAck}));
  ASSERT_TRUE(WaitResults(4));
  ASSERT_EQ(link().Writes.size(), 4u);
  for (std::size_t i = 1; i < link().Writes.size(); ++i) {
    const int64_t at = link().Writes[i].AtMs;
    EXPECT_EQ(at - LastChunkBefore(at), gap + 1) << "request " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Gaps, PacingHalfDuplex, ::testing::Values(0, 1, 5, 20));

TEST_F(Pacing, TheLineModelFollowsWhatWasWritten) {
  comms->SetKRVMode(TKRVMode::PMKRVWOnly);
  comms->SetActive(true);
  loop.advance(10);
  const std::string payload(150, 'x');
  const double frameMs = static_cast<double>(KRVWFrameBytes(payload.size())) * 10000.0 / 115200;
  EXPECT_EQ(comms->LineBacklogMs(), 0.0);
  EXPECT_EQ(comms->LinePaceMs(payload.size()), 1);  // an idle line: the next packet may follow at once
  comms->SendNoWait(payload, 5, 0, nullptr);
  loop.advance(2);  // the queue writes it
  ASSERT_EQ(link().Writes.size(), 1u);
  const double after = comms->LineBacklogMs();
  EXPECT_NEAR(after, frameMs - (loop.nowMs() - link().Writes[0].AtMs), 1.0);
  // The pause lasts until the port holds less than one more such frame.
  EXPECT_EQ(comms->LinePaceMs(payload.size()), static_cast<int32_t>(std::ceil(after)));
  loop.advance(static_cast<int64_t>(frameMs) + 2);
  EXPECT_EQ(comms->LineBacklogMs(), 0.0);

  // A small output buffer lengthens the pause so that the next frame still fits behind what
  // is left of this one.
  comms->ApdOutSize = 300;
  comms->SendNoWait(payload, 5, 0, nullptr);
  loop.advance(2);
  const double backlog = comms->LineBacklogMs();
  const int32_t pause = comms->LinePaceMs(payload.size());
  EXPECT_GT(pause, static_cast<int32_t>(std::ceil(backlog)));
  loop.advance(pause);
  const std::size_t frameBytes = KRVWFrameBytes(payload.size());
  EXPECT_LE(link().bytesToWrite() + frameBytes, 300u);

  // TCP carries what is written at once: no model.
  comms->SetActive(false);
  comms->Host = "127.0.0.1";
  EXPECT_EQ(comms->LineBacklogMs(), 0.0);
  EXPECT_EQ(comms->LinePaceMs(payload.size()), 0);
}

}  // namespace
}  // namespace vornik::testing
