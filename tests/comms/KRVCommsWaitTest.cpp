// Timing of tries, answer times and queue time-outs, all in exact virtual milliseconds.
#include "comms/CommsFixture.h"

namespace vornik::testing {
namespace {

class WaitTest : public CommsTest {};

std::vector<int64_t> RelativeTimes(const std::vector<PeerFrame>& Frames) {
  std::vector<int64_t> out;
  for (const auto& f : Frames) out.push_back(f.AtMs - Frames.front().AtMs);
  return out;
}

TEST_F(WaitTest, UnansweredItemIsTriedThreeTimesThenFailsWithCode5) {
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  const auto req = Requests();
  ASSERT_EQ(req.size(), 3u);
  EXPECT_EQ(RelativeTimes(req), (std::vector<int64_t>{0, 110, 270}));
  EXPECT_EQ(results[0].Code, 5);
  EXPECT_EQ(results[0].AtMs - req.front().AtMs, 500);
  EXPECT_TRUE(Logged("PAR. UJRA 2X"));
  EXPECT_TRUE(Logged("PAR. UJRA 3X"));
  EXPECT_TRUE(Logged("PAR. SIKERTELEN"));
  EXPECT_TRUE(Logged("T:00230"));  // the failure line shows the time since the last frame
  // Without psoNewIDOnRepeat every try carries the same id.
  EXPECT_EQ(req[0].Seq, req[2].Seq);
  EXPECT_EQ(ErrorCodeText(results[0].Code), "A készülék nem válaszol.");
}

struct AnswerTimeCase {
  const char* Name;
  TKRVSendOptions Options;
  int32_t Timeout;
  int MaxTries;
  std::vector<int64_t> Gaps;  ///< from each transmission to the next event (try or failure)
};

class AnswerTimeTest : public CommsTest, public ::testing::WithParamInterface<AnswerTimeCase> {};

TEST_P(AnswerTimeTest, WaitsOfEachTry) {
  const auto& c = GetParam();
  comms->Max_tries_cmd = c.MaxTries;
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI", c.Options, c.Timeout));
  ASSERT_TRUE(WaitResults(1));
  const auto req = Requests();
  std::vector<int64_t> gaps;
  for (std::size_t i = 1; i < req.size(); ++i) gaps.push_back(req[i].AtMs - req[i - 1].AtMs);
  gaps.push_back(results[0].AtMs - req.back().AtMs);
  EXPECT_EQ(gaps, c.Gaps);
  EXPECT_EQ(results[0].Code, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Tries, AnswerTimeTest,
    ::testing::Values(AnswerTimeCase{"SingleTry", {}, 0, 1, {110}},
                      AnswerTimeCase{"ExactTimeout", {psoExactTimeout}, 50, 3, {50, 100, 150}},
                      AnswerTimeCase{"ShortTimeoutNeverShortens", {}, 50, 3, {110, 160, 230}},
                      AnswerTimeCase{"LongTimeoutLengthens", {}, 160, 3, {160, 320, 480}},
                      AnswerTimeCase{"PollTimeout", {psoUsePollTimeout}, 0, 2, {100, 100}},
                      AnswerTimeCase{"FourTriesKeepThird", {}, 0, 4, {110, 160, 230, 230}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(WaitTest, LineTimeoutIsAddedUnlessSwitchedOff) {
  comms->LineTimeout = 40;
  comms->Max_tries_cmd = 1;
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI"));
  Send(Item("CSYSI", "ASYSI", {psoNoLineTimeout}));
  ASSERT_TRUE(WaitResults(2));
  const auto req = Requests();
  EXPECT_EQ(results[0].AtMs - req[0].AtMs, 150);
  EXPECT_EQ(results[1].AtMs - req[1].AtMs, 110);
}

TEST_F(WaitTest, AckWithWaitAfterAckRestartsTheAnswerTimeAndStopsRepeats) {
  peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
    if (f.Info == TInfo::kerek_nyugtat) loop.schedule(loop.nowMs() + 60, [&p, f] { p.Ack(f); });
  };
  comms->SetActive(true);
  Send(Item("CFLUD", "AFLUD", {psoForceAck, psoWaitAfterAck}));
  ASSERT_TRUE(WaitResults(1));
  const auto req = Requests();
  ASSERT_EQ(req.size(), 1u);  // acknowledged: never repeated
  EXPECT_EQ(results[0].Code, 5);
  // Acknowledged 60 ms after sending and handled as it arrives; the answer time (try 1: 110 ms)
  // starts again then.
  EXPECT_EQ(results[0].AtMs - req[0].AtMs, 170);
  EXPECT_TRUE(Logged("PNY - VAR INDUL"));
}

TEST_F(WaitTest, PlainTimedWaitEndsWithAcknowledgementText) {
  for (bool report : {true, false}) {
    results.clear();
    comms->Nyugtat_is_jelezze = report;
    comms->SetActive(true);
    Send(Item("CSYRS", "", {psoDontAck, psoForceWait}, 300));
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(results[0].Code, 0);
    EXPECT_EQ(results[0].S, report ? "CSYAC" : "");
    EXPECT_EQ(comms->State(), 0);
    comms->SetActive(false);
  }
  EXPECT_EQ(CountLogged("URES VAR. VEGE"), 2);
}

TEST_F(WaitTest, AnswerHeldUnderForceWaitIsDeliveredWhenTheTimeIsOver) {
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Reply(f, "AELFE"); };
  comms->SetActive(true);
  Send(Item("CELFE", "AELFE", {psoForceWait}, 500));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);
  EXPECT_EQ(results[0].S, "AELFE");
  EXPECT_EQ(results[0].AtMs - Requests()[0].AtMs, 500);
  EXPECT_TRUE(Logged("VALASZ,MEG VARUNK"));
  EXPECT_TRUE(Logged("VAR VEGE, VALASZ OK"));
}

class MissingPortTest : public CommsTest {
 protected:
  MissingPortTest() : CommsTest(MemoryLinkSettings{.OpenResult = MemoryLinkSettings::Open::Missing}) {}
};

TEST_F(MissingPortTest, QueuedItemFailsWithCode11AfterTheQueueTimeout) {
  comms->QuickReconnect = true;
  comms->Port = 3;
  comms->SetActive(true);
  const int64_t queuedAt = loop.nowMs();
  Send(Item("CSYSI", "ASYSI"));
  Send(Item("CSYSI", "ASYSI"));
  loop.advance(200);
  // The port was retried every millisecond but the failure was logged once.
  EXPECT_GT(link().Opens.size(), 100u);
  EXPECT_EQ(CountLogged("Opening port failed: ie_BadId - Specified comport doesn't exist (:3)"), 1);
  ASSERT_TRUE(WaitResults(2));
  EXPECT_EQ(results[0].Code, 11);
  EXPECT_EQ(results[1].Code, 11);
  // First queue tick at 5 ms finds the link down; the time-out is LineTimeout + Timeout_3.
  EXPECT_EQ(results[0].AtMs - queuedAt, 235);
  EXPECT_EQ(results[1].AtMs - results[0].AtMs, 230);
  EXPECT_EQ(CountLogged("NINCS KAPCSOLAT"), 2);
  // Each failure line of another kind lets the next open failure be logged once more.
  EXPECT_EQ(CountLogged("Opening port failed"), 2);
  EXPECT_EQ(ErrorCodeText(11), "A megnyitni kívánt soros port nem létezik.");
}

class BusyPortTest : public CommsTest {
 protected:
  BusyPortTest() : CommsTest(MemoryLinkSettings{.OpenResult = MemoryLinkSettings::Open::InUse}) {}
};

TEST_F(BusyPortTest, PortInUseGivesCode10AndSlowReconnects) {
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 10);
  EXPECT_EQ(comms->OpenFailure(), TOpenFailure::ofInUse);
  // Without QuickReconnect the second attempt follows 30..90 s after the first.
  loop.runUntil([&] { return link().Opens.size() >= 2; }, 100000);
  ASSERT_EQ(link().Opens.size(), 2u);
  const int64_t gap = link().Opens[1].AtMs - link().Opens[0].AtMs;
  EXPECT_GE(gap, 30000);
  EXPECT_LT(gap, 90000);
  // The "NINCS KAPCSOLAT" line in between lets the second failure be logged again.
  EXPECT_EQ(CountLogged("Opening port failed"), 2);
}

TEST_F(WaitTest, HalfDuplexHoldsTheNextSendAfterReceivedBytes) {
  comms->Half_Duplex_Mode = true;
  comms->Switch_Direction_Time = 20;
  comms->SetActive(true);
  loop.advance(10);
  link().PeerSendNow("\x01\x02");  // noise, no frame
  const int64_t rxAt = loop.nowMs();
  Send(Item("CSYSI", "ASYSI"));
  loop.advance(50);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_GE(Requests()[0].AtMs - rxAt, 20);
  EXPECT_LE(Requests()[0].AtMs - rxAt, 22);
}

}  // namespace
}  // namespace vornik::testing
