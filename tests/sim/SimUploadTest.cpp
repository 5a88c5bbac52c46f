// The simulated device against the real engine and procedures on the virtual loop, joined by a
// MemoryLink: whole firmware uploads in the usual courses, batched and lossy uploads, and a flash
// write and read back. The installed image must equal the original byte for byte.
#include <gtest/gtest.h>

#include <set>

#include "comms/KRVComms.h"
#include "firmware/uHexfileToStr.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"
#include "sim/SimDevice.h"
#include "sim/SimRig.h"
#include "testkit/MemoryLink.h"
#include "testkit/SimPeer.h"
#include "testkit/VirtualLoop.h"

namespace vornik::simtest {
namespace {

using testing::TSimPeer;

struct TBench {
  explicit TBench(TSimDeviceConfig C = {}, TSimFaults F = {}, testkit::MemoryLinkSettings L = {})
      : dev(C, F), peer(loop, dev), links(loop, &peer, L), comms(loop, links) {
    comms.SeedRandom(3);
    comms.KRVAddress = C.Address;
    comms.SetKRVMode(TKRVMode::PMDecodeBothEncodeKRVW);
    comms.SetActive(true);
    loop.advance(5);
  }
  testkit::VirtualLoop loop;
  TSimDevice dev;
  TSimPeer peer;
  testkit::MemoryLinkFactory links;
  TKRVComms comms;
};

struct TUploadRun {
  std::vector<TFWUploadResult> results;
  std::string plain;
};

TUploadRun Upload(TBench& B, TFirmwareUploader& Up, std::size_t Length, int32_t Start = 0x4000) {
  TUploadRun run;
  run.plain = Pattern(Length, 9);
  std::string scrambled = run.plain;
  ScrambleImage(scrambled, Start);
  Up.SetKRVPort(&B.comms);
  Up.FWAddress = Start;
  Up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult R) { run.results.push_back(R); };
  Up.UploadFromStr(scrambled);
  B.loop.runUntil([&] { return !run.results.empty(); }, 30 * 60 * 1000);
  return run;
}

TEST(SimUpload, TheThreeUsualCourses) {
  struct {
    const char* name;
    bool bootloader;
    bool acceptsBlocks;
    int restarts;
  } cases[] = {
      {"firmware takes blocks", false, true, 1},
      {"firmware refuses blocks", false, false, 1},
      {"bootloader already runs", true, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSimDeviceConfig cfg;
    cfg.StartInBootloader = c.bootloader;
    cfg.FirmwareAcceptsBlocks = c.acceptsBlocks;
    TBench b(cfg);
    TFirmwareUploader up(b.loop);
    up.BlockLength = 256;
    const TUploadRun run = Upload(b, up, 5000);
    ASSERT_EQ(run.results.size(), 1u);
    std::string log;
    for (const auto& l : b.dev.RequestLog) log += l + "\n";
    EXPECT_EQ(run.results[0], TFWUploadResult::fwrOk) << up.FWUploadResultToStr(run.results[0]) << "\n" << log;
    EXPECT_TRUE(b.dev.InstalledImage() == run.plain);
    EXPECT_EQ(b.dev.Restarts(), c.restarts);
    EXPECT_FALSE(b.dev.BootloaderRunning());
  }
}

TEST(SimUpload, SmallBlocksAndAnotherStartAddress) {
  TBench b;
  TFirmwareUploader up(b.loop);
  up.BlockLength = 100;  // below a page: blocks are numbered from 0x8000 on
  const TUploadRun run = Upload(b, up, 2345, 0x10000);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0], TFWUploadResult::fwrOk);
  EXPECT_TRUE(b.dev.InstalledImage() == run.plain);
  EXPECT_EQ(b.dev.LastInstall()->StartPage, 0x10000 / 128);
}

TEST(SimUpload, DeviceFaultsEndWithTheirResults) {
  struct {
    const char* name;
    std::function<void(TSimDeviceConfig&, TSimFaults&)> set;
    TFWUploadResult want;
  } cases[] = {
      {"not compatible", [](auto&, TSimFaults& f) { f.NotCompatible = true; },
       TFWUploadResult::fwrFirmwareNotCompatible},
      {"program flash too small", [](TSimDeviceConfig& c, auto&) { c.ProgramFlashBytes = 0x4000 + 1024; },
       TFWUploadResult::fwrPageIndexOutOfRange},
      {"install fails twice", [](auto&, TSimFaults& f) { f.InstallStatuses = {2, 2}; },
       TFWUploadResult::fwrUpdateFailed},
      {"install not compatible", [](auto&, TSimFaults& f) { f.InstallStatuses = {3}; },
       TFWUploadResult::fwrFirmwareNotCompatible},
      {"install fails once", [](auto&, TSimFaults& f) { f.InstallStatuses = {2}; }, TFWUploadResult::fwrOk},
      {"a block fails once", [](auto&, TSimFaults& f) { f.BlockStatuses[130] = {2}; }, TFWUploadResult::fwrOk},
      {"a block fails twice", [](auto&, TSimFaults& f) { f.BlockStatuses[130] = {2, 2}; },
       TFWUploadResult::fwrFlashWriteError},
      {"short KRVW sender", [](auto&, TSimFaults& f) { f.ShortKRVWAddress = true; }, TFWUploadResult::fwrKRVError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSimDeviceConfig cfg;
    cfg.StartInBootloader = true;
    TSimFaults f;
    c.set(cfg, f);
    TBench b(cfg, f);
    TFirmwareUploader up(b.loop);
    up.BlockLength = 256;
    const TUploadRun run = Upload(b, up, 3000);
    ASSERT_EQ(run.results.size(), 1u);
    EXPECT_EQ(run.results[0], c.want) << up.FWUploadResultToStr(run.results[0]);
    EXPECT_EQ(b.dev.InstalledImage().empty(), c.want != TFWUploadResult::fwrOk);
  }
}

struct TLossCase {
  bool batched;
  uint32_t seed;
};

class SimLossyUpload : public ::testing::TestWithParam<TLossCase> {};

TEST_P(SimLossyUpload, InstallsWithTenPercentLostEachWay) {
  const TLossCase c = GetParam();
  TSimDeviceConfig cfg;
  cfg.StartInBootloader = true;  // a lost restart has no answer by which it could be noticed
  TSimFaults f;
  f.Seed = c.seed;
  f.DropIn = 0.1;
  f.DropOut = 0.1;
  TBench b(cfg, f);
  b.comms.Max_tries_cmd = 8;
  TFirmwareUploader up(b.loop);
  up.BlockLength = 128;
  up.BatchedMode = c.batched;
  up.SetBatchSize(16);
  const TUploadRun run = Upload(b, up, 128 * 100 + 77);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0], TFWUploadResult::fwrOk) << up.FWUploadResultToStr(run.results[0]);
  EXPECT_TRUE(b.dev.InstalledImage() == run.plain);
  EXPECT_GT(b.dev.Counters.DroppedIn, 0);
  if (c.batched) {
    EXPECT_GT(b.dev.Counters.BatchPackets, 0);  // few answers travel, so few can be lost
  } else {
    EXPECT_GT(b.dev.Counters.DroppedOut, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SimLossyUpload,
                         ::testing::Values(TLossCase{false, 1}, TLossCase{false, 2}, TLossCase{false, 3},
                                           TLossCase{true, 1}, TLossCase{true, 2}, TLossCase{true, 3}),
                         [](const auto& Info) {
                           return std::string(Info.param.batched ? "Batched" : "Normal") + "Seed" +
                                  std::to_string(Info.param.seed);
                         });

TEST(SimFlash, WriteThenReadBack) {
  for (int32_t pageSize : {264, 528}) {
    SCOPED_TRACE(pageSize);
    TSimDeviceConfig cfg;
    cfg.FlashPageSize = static_cast<uint32_t>(pageSize);
    cfg.FlashPages = 64;
    TBench b(cfg);
    TFlashReaderWriter rw;
    rw.SetKRVPort(&b.comms);
    rw.FlashPageSize = pageSize;
    rw.BlockSize = 255;
    const std::string data = Pattern(3000, 4);
    std::vector<TFlashRWResult> done;
    rw.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult R) { done.push_back(R); };
    rw.WriteFlashFromStr(10, data);
    b.loop.runUntil([&] { return !done.empty(); }, 600000);
    ASSERT_EQ(done, std::vector<TFlashRWResult>{TFlashRWResult::freOk});
    EXPECT_EQ(b.dev.Flash().substr(static_cast<std::size_t>(10 * pageSize), data.size()), data);
    std::string read;
    done.clear();
    rw.OnReadingDone = [&](TFlashReaderWriter*, TFlashRWResult R, std::string& S) {
      done.push_back(R);
      read = S;
    };
    rw.ReadFlashToStr(10, static_cast<uint32_t>(data.size()));
    b.loop.runUntil([&] { return !done.empty(); }, 600000);
    ASSERT_EQ(done, std::vector<TFlashRWResult>{TFlashRWResult::freOk});
    EXPECT_EQ(read, data);
    // Beyond the flash: the write ends with the page-index result.
    done.clear();
    rw.WriteFlashFromStr(64, "beyond");
    b.loop.runUntil([&] { return !done.empty(); }, 600000);
    EXPECT_EQ(done, std::vector<TFlashRWResult>{TFlashRWResult::frePageIndexOutOfRange});
  }
}

}  // namespace
}  // namespace vornik::simtest
