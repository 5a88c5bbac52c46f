// The simulated device's faults: lost frames both ways (repeatable by seed), damaged checksums,
// negative acknowledgements, late answers, silence, ignored commands and KRVW answers from the
// short address, each as the PC's frame codec sees them.
#include <gtest/gtest.h>

#include <random>

#include "codec/KRVCommands.h"
#include "sim/SimRig.h"

namespace vornik::simtest {
namespace {

/// Which of N identification requests got an answer.
std::vector<bool> Answered(TSimFaults F, int N) {
  TSimRig rig({}, F);
  std::vector<bool> got;
  for (int i = 0; i < N; ++i) got.push_back(!rig.Ask("CSYSI", true, static_cast<unsigned>(1 + i % 200)).empty());
  return got;
}

TEST(SimDeviceFaults, LostFramesFollowTheSeedAndTheRate) {
  for (bool in : {true, false}) {
    SCOPED_TRACE(in ? "incoming" : "outgoing");
    TSimFaults f;
    (in ? f.DropIn : f.DropOut) = 0.1;
    f.Seed = 7;
    const auto a = Answered(f, 1000);
    EXPECT_EQ(a, Answered(f, 1000));  // the same seed, the same losses
    f.Seed = 8;
    EXPECT_NE(a, Answered(f, 1000));
    const auto lost = std::count(a.begin(), a.end(), false);
    EXPECT_GT(lost, 60);
    EXPECT_LT(lost, 140);
  }
  TSimFaults all;
  all.DropOut = 1;
  TSimRig rig({}, all);
  rig.Send("CSYSI", true, 1, TInfo::kerek_nyugtat);
  EXPECT_TRUE(rig.Out.empty());
  EXPECT_EQ(rig.Dev.Counters.DroppedOut, 2);  // the acknowledgement and the answer
  // A request lost on the way in is not carried out.
  TSimFaults lostIn;
  lostIn.DropIn = 1;
  TSimRig rig2({}, lostIn);
  rig2.Send(BuildCFLTS(100, 1), true, 1, TInfo::kerek_nyugtat);
  EXPECT_TRUE(rig2.Out.empty());
  EXPECT_FALSE(rig2.Dev.UploadPending());
}

TEST(SimDeviceFaults, CorruptedChecksumsAreRefusedByThePc) {
  for (bool krvw : {false, true}) {
    TSimFaults f;
    f.CorruptOut = 1;
    TSimRig rig({}, f);
    rig.Send("CSYSI", krvw, 4, TInfo::kerek_nyugtat);
    ASSERT_EQ(rig.Out.size(), 2u);
    for (const auto& o : rig.Out) EXPECT_EQ(o.Result, drBadChecksum) << (krvw ? "KRVW" : "KRV");
    EXPECT_EQ(rig.Dev.Counters.Corrupted, 2);
  }
}

TEST(SimDeviceFaults, NegativeAcknowledgementInsteadOfTheCommand) {
  TSimFaults f;
  f.Nack = 1;
  TSimRig rig({}, f);
  rig.Send(BuildCFLTS(100, 1), false, 12, TInfo::kerek_nyugtat);
  ASSERT_EQ(rig.Out.size(), 1u);
  EXPECT_EQ(rig.Out[0].Info, TInfo::negativ_nyugta);
  EXPECT_EQ(rig.Out[0].Id, 12u);
  EXPECT_FALSE(rig.Dev.UploadPending());
  EXPECT_EQ(rig.Dev.Counters.Nacks, 1);
}

TEST(SimDeviceFaults, LateAnswersButTheAcknowledgementOnTime) {
  TSimFaults f;
  f.DelayMs = 300;
  f.DelayJitterMs = 50;
  TSimRig rig({}, f);
  rig.Send("CSYSI", true, 3, TInfo::kerek_nyugtat, 1000);
  ASSERT_EQ(rig.Out.size(), 2u);
  EXPECT_EQ(rig.Out[0].AtMs, 1);
  EXPECT_GE(rig.Out[1].AtMs, 301);
  EXPECT_LE(rig.Out[1].AtMs, 351);
}

TEST(SimDeviceFaults, SilenceAndIgnoredCommands) {
  TSimFaults silent;
  silent.Silent = true;
  TSimRig rig({}, silent);
  rig.Send("CSYSI", true, 3, TInfo::kerek_nyugtat);
  EXPECT_TRUE(rig.Out.empty());
  EXPECT_TRUE(rig.Dev.RequestLog.empty());

  TSimFaults ignore;
  ignore.IgnoreCommands = {"CSYSI"};
  TSimRig rig2({}, ignore);
  rig2.Send("CSYSI", true, 3, TInfo::kerek_nyugtat);
  EXPECT_TRUE(rig2.Out.empty());
  EXPECT_EQ(rig2.Ask(BuildCFLULProbe()), BuildAFLUL(0));
}

TEST(SimDeviceFaults, ShortSenderAddressMakesKRVWAnswersUnacceptable) {
  TSimFaults f;
  f.ShortKRVWAddress = true;
  TSimRig rig({}, f);
  rig.Send("CSYSI", true, 3);
  ASSERT_EQ(rig.Out.size(), 1u);
  EXPECT_EQ(rig.Out[0].Result, drBadAddress);
  // KRV answers carry the short address anyway and are fine.
  rig.Out.clear();
  rig.Send("CSYSI", false, 4);
  ASSERT_EQ(rig.Out.size(), 1u);
  EXPECT_EQ(rig.Out[0].Result, drOK);
}

TEST(SimDeviceFaults, RandomBlockWriteErrorsAreNotMarkedReceived) {
  TSimFaults f;
  f.BlockWriteErrors = 0.5;
  f.Seed = 3;
  TSimRig rig({}, f);
  rig.Send("CSYCA", true, kCSYCAId, TInfo::kerek_nyugtat);
  for (unsigned id = 1; id <= 40; ++id)
    rig.Send(BuildCFLUL(static_cast<uint16_t>(id), true, std::string(128, 'q')), true, id);
  const std::string map = rig.Ask("CSYGA", true, 99);
  int received = 0;
  for (unsigned id = 1; id <= 40; ++id) {
    received += ReceiptBit(map, id);
    EXPECT_EQ(ReceiptBit(map, id), rig.Dev.ReceivedBlocks().contains(static_cast<uint16_t>(id))) << id;
  }
  EXPECT_GT(received, 5);
  EXPECT_LT(received, 35);
}

}  // namespace
}  // namespace vornik::simtest

namespace vornik::simtest {
namespace {

// Hostile input: random bytes, and valid frames with random bytes changed, cut or glued together.
// The device must neither crash nor read outside its buffers (run under the sanitizers), and must
// still answer a good request afterwards.
TEST(SimDeviceInput, SurvivesRandomAndMangledFrames) {
  std::mt19937 rng(12345);
  const std::vector<std::string> seeds = {
      TSimRig::Frame("CSYSI", true, 5),
      TSimRig::Frame(BuildCFLUL(128, true, std::string(128, 'z')), false, 6),
      TSimRig::Frame(BuildCFLUD(300, 0x1234, 128), true, 7, TInfo::kerek_nyugtat),
      TSimRig::Frame(BuildCFLRC(3, 100, 255), true, 8),
      TSimRig::Frame(BuildCFLPW(2, true, std::string(264, 'p')), false, 9),
      TSimRig::Frame("CSYCA", true, 250, TInfo::kerek_nyugtat),
      TSimRig::Frame("CSYGA", false, 11),
      TSimRig::Frame("CFLTS\x01", true, 12),
      TSimRig::Frame("CFLUL", true, 13),
  };
  TSimDeviceConfig c;
  c.FlashPages = 8;
  TSimRig rig(c);
  for (int round = 0; round < 3000; ++round) {
    std::string chunk = seeds[rng() % seeds.size()];
    switch (rng() % 4) {
      case 0:  // a byte or a few changed
        for (int k = 0; k < 1 + static_cast<int>(rng() % 3); ++k) chunk[rng() % chunk.size()] = static_cast<char>(rng());
        break;
      case 1:  // cut short
        chunk.resize(rng() % chunk.size());
        break;
      case 2:  // random bytes
        chunk.assign(rng() % 64, '\0');
        for (auto& b : chunk) b = static_cast<char>(rng());
        break;
      default:  // glued to the next one
        chunk += seeds[rng() % seeds.size()];
    }
    rig.FeedRaw(chunk);
    rig.Advance(static_cast<int64_t>(rng() % 400));
  }
  rig.FeedRaw(std::string(1, static_cast<char>(kKRVStop)) + std::string(1, static_cast<char>(kKRVWStop)));
  rig.Advance(1000);
  rig.Out.clear();
  EXPECT_EQ(rig.Ask("CSYSI").substr(0, 5), "ASYSI");
  EXPECT_EQ(rig.Dev.Flash().size(), 8u * 264u);
}

}  // namespace
}  // namespace vornik::simtest
