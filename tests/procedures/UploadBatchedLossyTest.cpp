// Batched uploads, and uploads over a link that loses frames in both directions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "procedures/ProcRig.h"
#include "procedures/uFirmwareUploader.h"

namespace vornik::testing {
namespace {

using R = TFWUploadResult;

struct Outcome {
  std::vector<TFWUploadResult> results;
  std::vector<int> percents;
};

Outcome RunUpload(TProcRig& Rig, TFirmwareUploader& Up, const std::string& Image, int64_t LimitMs = 3600000) {
  Outcome out;
  Up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { out.results.push_back(Result); };
  Up.OnPercentDone = [&](TFirmwareUploader*, int P) { out.percents.push_back(P); };
  Up.UploadFromStr(Image);
  Rig.RunUntil([&] { return !out.results.empty(); }, LimitMs);
  Rig.loop.advance(1000);  // nothing may follow the end
  return out;
}

TEST(BatchedUpload, SendsBlocksInBatchesAndInstallsTheImage) {
  TProcRig rig;
  TFirmwareUploader up(rig.loop);
  up.SetKRVPort(&rig.comms);
  up.BlockLength = 128;
  up.BatchedMode = true;
  up.SetBatchSize(10);
  const std::string image = TProcRig::Image(128 * 25 + 17);  // 26 blocks: 10 + 10 + 6
  const Outcome o = RunUpload(rig, up, image);
  ASSERT_EQ(o.results, (std::vector<TFWUploadResult>{R::fwrOk}));
  EXPECT_EQ(rig.device.Installed, image);
  EXPECT_EQ(o.percents.size(), 26u);
  EXPECT_EQ(up.RepeatedPckCount(), 0);
  int opens = 0, clears = 0, queries = 0;
  for (const auto& r : rig.peer.Requests) {
    opens += r.Code == "x";
    clears += r.Code == "CSYCA";
    queries += r.Code == "CSYGA";
  }
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(clears, 3);
  EXPECT_EQ(queries, 3);
  EXPECT_FALSE(rig.comms.BatchMode);
}

TEST(BatchedUpload, MissingBlocksAreRecoveredThroughTheReceiptMap) {
  TProcRig rig;
  TFirmwareUploader up(rig.loop);
  up.SetKRVPort(&rig.comms);
  up.BlockLength = 128;
  up.BatchedMode = true;
  up.SetBatchSize(8);
  rig.device.DropBatchIndexes = {1, 5, 8};
  const std::string image = TProcRig::Image(128 * 20);
  const Outcome o = RunUpload(rig, up, image);
  ASSERT_EQ(o.results, (std::vector<TFWUploadResult>{R::fwrOk}));
  EXPECT_EQ(rig.device.Installed, image);
  EXPECT_EQ(up.RepeatedPckCount(), 3);
  EXPECT_EQ(o.percents.size(), 20u);
}

TEST(BatchedUpload, FailedBatchLeavesTheSenderReadyForTheNextUpload) {
  TProcRig rig;
  TFirmwareUploader up(rig.loop);
  up.SetKRVPort(&rig.comms);
  up.BlockLength = 128;
  up.BatchedMode = true;
  up.SetBatchSize(8);
  // The device stops hearing in the middle of the first batch: the receipt query fails.
  int blocks = 0;
  rig.peer.BeforeAnswer = [&](const std::string& Code) {
    if (Code == "CFLUL" && ++blocks == 4) rig.peer.Silent = true;
  };
  const std::string image = TProcRig::Image(128 * 12);
  Outcome o = RunUpload(rig, up, image);
  ASSERT_EQ(o.results, (std::vector<TFWUploadResult>{R::fwrKRVError}));
  EXPECT_EQ(up.Batch().State(), TKRVCommsBatch::bsReady);
  EXPECT_EQ(up.Batch().CurIndex(), 1);
  EXPECT_FALSE(rig.comms.BatchMode);

  rig.peer.Silent = false;
  rig.peer.BeforeAnswer = nullptr;
  o = RunUpload(rig, up, image);
  ASSERT_EQ(o.results, (std::vector<TFWUploadResult>{R::fwrOk}));
  EXPECT_EQ(rig.device.Installed, image);
}

// 10% of the frames lost in each direction. The engine's tries are raised to what a technician
// sets for a bad line; every block, query and re-send must still get through.
struct LossCase {
  bool batched;
  uint32_t seed;
};

class LossyUpload : public ::testing::TestWithParam<LossCase> {};

TEST_P(LossyUpload, SucceedsWithTenPercentLossEachWay) {
  const LossCase c = GetParam();
  TProcRig rig;
  rig.comms.Max_tries_cmd = 8;
  rig.peer.Seed(c.seed);
  rig.peer.DropIn = 0.1;
  rig.peer.DropOut = 0.1;
  rig.device.BootloaderRunning = true;  // restarts carry no answer, so a lost one cannot be told
  TFirmwareUploader up(rig.loop);
  up.SetKRVPort(&rig.comms);
  up.BlockLength = 128;
  up.BatchedMode = c.batched;
  up.SetBatchSize(16);
  const std::string image = TProcRig::Image(128 * 40 + 50, c.seed);
  const Outcome o = RunUpload(rig, up, image);
  ASSERT_EQ(o.results.size(), 1u);
  EXPECT_EQ(o.results[0], R::fwrOk) << up.FWUploadResultToStr(o.results[0]) << " after " << rig.peer.Requests.back().Code;
  EXPECT_EQ(rig.device.Installed, image);
  EXPECT_GT(rig.peer.LostIn, 0) << rig.peer.FramesIn;
  EXPECT_GT(rig.peer.LostOut, 0);
  if (c.batched) {
    EXPECT_GT(up.RepeatedPckCount(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LossyUpload,
                         ::testing::Values(LossCase{false, 1}, LossCase{false, 2}, LossCase{false, 3},
                                           LossCase{false, 4}, LossCase{false, 5}, LossCase{false, 6},
                                           LossCase{true, 1}, LossCase{true, 2}, LossCase{true, 3},
                                           LossCase{true, 4}, LossCase{true, 5}, LossCase{true, 6}),
                         [](const auto& Info) {
                           return std::string(Info.param.batched ? "Batched" : "Normal") + "Seed" +
                                  std::to_string(Info.param.seed);
                         });

}  // namespace
}  // namespace vornik::testing
