#include "comms/KRVCommsBatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/KRVCommands.h"
#include "procedures/ProcRig.h"

namespace vornik::testing {
namespace {

// A caller that produces Count block packets, one from inside each result of the previous one,
// the way the firmware uploader does.
class Producer {
 public:
  Producer(TKRVCommsBatch& Batch, int Count) : batch_(Batch), count_(Count) {}

  void Start() { SendNext(); }

  void OnResult(TKRVComms*, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t) {
    results.push_back({Tag, ErrorCode, S});
    if (ErrorCode != 0 || !AutoNext) return;
    if (next_ < count_) SendNext();
  }

  struct Result {
    int32_t Tag;
    uint16_t Code;
    std::string S;
  };
  std::vector<Result> results;
  bool AutoNext = true;  ///< send the next packet from inside each result
  std::size_t BlockBytes = 16;
  bool Finished() const { return !results.empty() && results.back().Tag == count_ - 1; }

  TKuldendo* Make(int I) {
    auto* item = new TKuldendo(BuildCFLUL(static_cast<uint16_t>(I), true, std::string(BlockBytes, static_cast<char>('a' + I))));
    item->Ans = std::string(kAFLUL);
    item->Options = TKRVSendOptions{psoDontAck, psoNewIDOnRepeat, psoEncodeKRVW};
    if (I == 0) item->Options.Include(psoBatchStart);
    if (I == count_ - 1) item->Options.Include(psoBatchEnd);
    item->BatchAnswer = std::string(kAFLUL) + std::string(1, '\0');
    item->Tag = I;
    item->OnResult = TOnResult(this, &Producer::OnResult);
    return item;
  }

 private:
  void SendNext() { Make(next_++)->SendWith(&batch_); }

  TKRVCommsBatch& batch_;
  int count_;
  int next_ = 0;
};

class Batch : public ::testing::Test {
 protected:
  Batch() {
    batch.KRVPort = &rig.comms;
    batch.TimeBetweenPcks = 1;
  }
  std::string Codes() const {
    std::string out;
    for (const auto& r : rig.peer.Requests) {
      if (!out.empty()) out += ' ';
      out += r.Code;
      if (r.Code == "CFLUL") out += "#" + std::to_string(r.Id);
    }
    return out;
  }

  TProcRig rig;
  TKRVCommsBatch batch;
};

// The engine refuses a packet by raising after the batch put it into its slot (forbidden
// options): the packet is the caller's again, as it came, and the batch holds nothing of it.
TEST_F(Batch, ARefusalRaisedAfterThePacketTookItsSlotLeavesItWithTheCaller) {
  batch.SetBatchSize(10);
  Producer p(batch, 5);
  p.AutoNext = false;
  p.Start();
  rig.RunUntil([&] { return p.results.size() == 1; }, 10000);
  TKuldendo* bad = p.Make(1);
  bad->Options.Include({psoWaitAfterAck});  // with psoDontAck: refused by raising
  const TKRVSendOptions options = bad->Options;
  EXPECT_THROW(bad->SendWith(&batch), ECommsError);
  EXPECT_EQ(bad->Options, options);
  EXPECT_EQ(bad->Ans, std::string(kAFLUL));
  EXPECT_TRUE(bad->OnResult.SameMethod(TOnResult(&p, &Producer::OnResult)));
  EXPECT_EQ(batch.State(), TKRVCommsBatch::bsReady);
  delete bad;  // ours: the batch must not free it too
  batch.Abort();
  p.Make(1)->SendWith(&batch);  // and the batch goes on taking packets
  rig.RunUntil([&] { return p.results.size() == 2; }, 10000);
}

TEST_F(Batch, SizeIsClamped) {
  batch.SetBatchSize(0);
  EXPECT_EQ(batch.BatchSize(), 1);
  batch.SetBatchSize(500);
  EXPECT_EQ(batch.BatchSize(), 240);
  batch.SetBatchSize(17);
  EXPECT_EQ(batch.BatchSize(), 17);
}

TEST_F(Batch, SizeOnePassesPacketsStraightThrough) {
  batch.SetBatchSize(1);
  Producer p(batch, 3);
  p.Start();
  rig.RunUntil([&] { return p.Finished(); }, 10000);
  EXPECT_EQ(Codes(), "CFLUL#" + std::to_string(rig.peer.Requests[0].Id) + " CFLUL#" +
                         std::to_string(rig.peer.Requests[1].Id) + " CFLUL#" + std::to_string(rig.peer.Requests[2].Id));
  ASSERT_EQ(p.results.size(), 3u);
  for (const auto& r : p.results) {
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.S, std::string("AFLUL") + '\0');  // the device's real answers
  }
  EXPECT_EQ(batch.State(), TKRVCommsBatch::bsReady);
}

TEST_F(Batch, SessionOfFivePacketsInBatchesOfThree) {
  batch.SetBatchSize(3);
  Producer p(batch, 5);
  p.Start();
  rig.CaptureLog("Sikertelen");
  rig.RunUntil([&] { return p.Finished(); }, 10000);
  EXPECT_TRUE(rig.logged.empty());
  EXPECT_EQ(Codes(), "x CSYCA CFLUL#1 CFLUL#2 CFLUL#3 CSYGA CSYCA CFLUL#1 CFLUL#2 CSYGA");
  ASSERT_EQ(p.results.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(p.results[i].Tag, i);
    EXPECT_EQ(p.results[i].Code, 0);
    EXPECT_EQ(p.results[i].S, std::string("AFLUL") + '\0');
  }
  EXPECT_EQ(rig.device.Written.size(), 5u);
  EXPECT_EQ(batch.ResendCount(), 0);
  EXPECT_EQ(batch.FailedList(), "");
  EXPECT_EQ(batch.State(), TKRVCommsBatch::bsReady);
  EXPECT_EQ(batch.CurIndex(), 1);
  EXPECT_FALSE(rig.comms.BatchMode);
  // The opener and the receipt clear keep their fixed ids.
  EXPECT_EQ(rig.peer.Requests[0].Id, 249);
  EXPECT_EQ(rig.peer.Requests[1].Id, 250);
}

TEST(BatchPacing, ASerialLineGetsEachPacketsLineTimeAndThePortNeverOverflows) {
  for (bool serial : {true, false}) {
    SCOPED_TRACE(serial ? "serial" : "TCP");
    testkit::MemoryLinkSettings line;
    line.Baud = 115200;
    line.LimitOutput = true;  // the port refuses what does not fit into its 4096 bytes
    TProcRig rig(line);
    if (!serial) rig.comms.Host = "127.0.0.1";  // a TCP connection takes everything at once
    TKRVCommsBatch batch;
    batch.KRVPort = &rig.comms;
    batch.TimeBetweenPcks = 1;
    batch.SetBatchSize(40);
    Producer p(batch, 40);
    p.BlockBytes = 256;  // about 28 ms on the line each
    const int64_t start = rig.loop.nowMs();
    p.Start();
    rig.RunUntil([&] { return p.Finished() || (!p.results.empty() && p.results.back().Code != 0); }, 60000);
    if (serial) {
      ASSERT_EQ(p.results.size(), 40u);
      for (const auto& r : p.results) EXPECT_EQ(r.Code, 0);
      EXPECT_EQ(rig.device.Written.size(), 40u);
      EXPECT_GE(rig.loop.nowMs() - start, 40 * 28);
    } else {
      // Written at once on a TCP connection, so the same 4096-byte buffer overflows: no pacing
      // is added where the line does not need it.
      ASSERT_FALSE(p.results.empty());
      EXPECT_EQ(p.results.back().Code, 4);
    }
  }
}

TEST_F(Batch, AcknowledgedOpenerWithoutAnswerOpensTheSession) {
  batch.SetBatchSize(3);
  rig.device.AnswerOpener = false;
  Producer p(batch, 3);
  p.Start();
  rig.RunUntil([&] { return p.Finished(); }, 10000);
  EXPECT_EQ(Codes(), "x CSYCA CFLUL#1 CFLUL#2 CFLUL#3 CSYGA");
  ASSERT_EQ(p.results.size(), 3u);
  EXPECT_EQ(p.results.back().Code, 0);
}

TEST_F(Batch, MissingPacketsAreResentLowestFirst) {
  rig.CaptureLog("Sikertelen");
  batch.SetBatchSize(20);
  rig.device.DropBatchIndexes = {3, 17};
  Producer p(batch, 20);
  p.Start();
  rig.RunUntil([&] { return p.Finished(); }, 20000);
  EXPECT_EQ(batch.FailedList(), "003 017 ");
  EXPECT_EQ(rig.logged, (std::vector<std::string>{"Sikertelen csomagok: 003 017 "}));
  EXPECT_EQ(batch.ResendCount(), 2);
  const auto& req = rig.peer.Requests;
  ASSERT_GE(req.size(), 3u);
  // After the query: index 3's packet, then index 17's, each with its normal answer.
  const std::size_t q = req.size() - 3;
  EXPECT_EQ(req[q].Code, "CSYGA");
  EXPECT_EQ(req[q + 1].Code, "CFLUL");
  EXPECT_EQ(req[q + 2].Code, "CFLUL");
  EXPECT_EQ(rig.device.PageIndexes[rig.device.PageIndexes.size() - 2], 2);
  EXPECT_EQ(rig.device.PageIndexes.back(), 16);
  EXPECT_EQ(p.results.back().Code, 0);
  EXPECT_EQ(rig.device.Written.size(), 20u);
}

TEST_F(Batch, ShortReceiptMapCountsTheMissingBytesAsLost) {
  batch.SetBatchSize(12);
  rig.device.MapBytes = 1;  // only indexes 0..7 are reported
  Producer p(batch, 12);
  p.Start();
  rig.RunUntil([&] { return p.Finished(); }, 20000);
  EXPECT_EQ(batch.FailedList(), "008 009 010 011 012 ");
  EXPECT_EQ(p.results.back().Code, 0);
}

TEST_F(Batch, MisuseRaisesAndLeavesTheItemWithTheCaller) {
  batch.SetBatchSize(5);
  Producer p(batch, 5);
  TKuldendo* first = p.Make(0);
  first->SendWith(&batch);
  // The opener is out: not ready.
  TKuldendo* second = p.Make(1);
  try {
    batch.Send(second);
    ADD_FAILURE();
  } catch (const EKRVCommsBatch& e) {
    EXPECT_STREQ(e.what(), "TKRVCommsBatch: Not ready for sending.");
  }
  delete second;

  TKRVCommsBatch other;
  EXPECT_THROW(other.Send(nullptr), EKRVCommsBatch);
  auto* item = p.Make(2);
  try {
    other.Send(item);
    ADD_FAILURE();
  } catch (const EKRVCommsBatch& e) {
    EXPECT_STREQ(e.what(), "TKRVCommsBatch: Unassigned KRVPort.");
  }
  other.KRVPort = &rig.comms;
  item->OnResult = nullptr;
  try {
    other.Send(item);
    ADD_FAILURE();
  } catch (const EKRVCommsBatch& e) {
    EXPECT_EQ(std::string(e.what()).rfind("TKRVCommsBatch: Unassigned or unused OnResult field in packet: 067 070 ", 0),
              0u);
  }
  delete item;
}

TEST_F(Batch, BatchStartInsideABatchIsAnUnclosedSession) {
  batch.SetBatchSize(5);
  Producer p(batch, 5);
  p.AutoNext = false;
  p.Make(0)->SendWith(&batch);
  rig.RunUntil([&] { return !p.results.empty(); }, 5000);  // packet 1 written, batch ready again
  ASSERT_EQ(batch.State(), TKRVCommsBatch::bsReady);
  auto* again = new TKuldendo("CSYSI");
  again->Options = TKRVSendOptions{psoBatchStart};
  again->OnResult = TOnResult(&p, &Producer::OnResult);
  try {
    batch.Send(again);
    ADD_FAILURE();
  } catch (const EKRVCommsBatch& e) {
    EXPECT_STREQ(e.what(), "TKRVCommsBatch: Unclosed batch session. Packet: 067 083 089 083 073 ");
  }
  delete again;
  batch.Abort();
}

TEST_F(Batch, AbortWhileQueryingSendsOneMoreQueryAndReportsNothing) {
  batch.SetBatchSize(3);
  rig.peer.BeforeAnswer = [&](const std::string& Code) {
    if (Code == "CSYGA") rig.peer.Silent = true;  // the answer never comes
  };
  Producer p(batch, 3);
  p.Start();
  rig.RunUntil([&] { return batch.State() == TKRVCommsBatch::bsQuerying; }, 5000);
  rig.loop.advance(20);
  const std::size_t before = p.results.size();
  batch.Abort();
  EXPECT_EQ(batch.State(), TKRVCommsBatch::bsReady);
  EXPECT_EQ(batch.CurIndex(), 1);
  rig.peer.Silent = false;
  rig.peer.BeforeAnswer = nullptr;
  rig.loop.advance(3000);
  EXPECT_EQ(p.results.size(), before);
  const auto& req = rig.peer.Requests;
  EXPECT_EQ(req.back().Code, "CSYGA");
  EXPECT_EQ(rig.comms.QueueCount(), 0u);
}

TEST_F(Batch, FailedOpenerEndsTheBatchThroughTheLastPacket) {
  batch.SetBatchSize(3);
  rig.peer.Silent = true;
  Producer p(batch, 3);
  p.Start();
  rig.RunUntil([&] { return !p.results.empty(); }, 10000);
  ASSERT_EQ(p.results.size(), 1u);
  EXPECT_EQ(p.results[0].Code, 5);
  EXPECT_EQ(p.results[0].Tag, 0);
  EXPECT_EQ(batch.State(), TKRVCommsBatch::bsReady);
  EXPECT_EQ(batch.CurIndex(), 1);
  EXPECT_FALSE(rig.comms.BatchMode);  // not left in batch mode by a failed batch
}

}  // namespace
}  // namespace vornik::testing
