// The procedures against the simulated device: the usual courses, lossy links in normal and
// batched mode, and the external flash. The device installs the image unscrambled, so every
// successful upload must leave exactly the original image in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "comms/KRVComms.h"
#include "firmware/uHexfileToStr.h"
#include "procedures/ProcRig.h"
#include "testkit/FlashRoundTrip.h"
#include "testkit/SimPeer.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"

namespace vornik::testing {
namespace {

using R = TFWUploadResult;

struct TSimRig {
  explicit TSimRig(TSimDeviceConfig Config = {}, TSimFaults Faults = {}, testkit::MemoryLinkSettings Line = {},
                   std::string Host = std::string(), bool QuickReconnect = false)
      : device(std::move(Config), std::move(Faults)), peer(loop, device), links(loop, &peer, Line), comms(loop, links) {
    comms.Host = std::move(Host);
    comms.QuickReconnect = QuickReconnect;
    comms.SeedRandom(3);
    comms.KRVAddress = device.Config.Address;
    comms.SetKRVMode(TKRVMode::PMKRVWOnly);
    comms.SetActive(true);
    loop.advance(5);
  }
  testkit::VirtualLoop loop;
  TSimDevice device;
  TSimPeer peer;
  testkit::MemoryLinkFactory links;
  TKRVComms comms;
};

struct TRun {
  std::vector<TFWUploadResult> results;
  int32_t repeated = 0;
};

TRun Upload(TSimRig& Rig, const std::string& Plain, int32_t FWAddress, bool Batched) {
  TFirmwareUploader up(Rig.loop);
  up.SetKRVPort(&Rig.comms);
  up.BlockLength = 128;
  up.FWAddress = FWAddress;
  up.BatchedMode = Batched;
  up.SetBatchSize(20);
  TRun run;
  up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { run.results.push_back(Result); };
  std::string image = Plain;
  ScrambleImage(image, FWAddress);
  up.UploadFromStr(image);
  Rig.loop.runUntil([&] { return !run.results.empty(); }, 3600000);
  Rig.loop.advance(2000);
  run.repeated = up.RepeatedPckCount();
  return run;
}

/// Runs one upload of Plain (scrambled for address 0) to its end; what the uploader reported.
std::vector<TFWUploadResult> UploadToEnd(TSimRig& Rig, TFirmwareUploader& Up, const std::string& Plain) {
  std::vector<TFWUploadResult> results;
  Up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { results.push_back(Result); };
  std::string image = Plain;
  ScrambleImage(image, 0);
  Up.UploadFromStr(image);
  Rig.loop.runUntil([&] { return !results.empty(); }, 3600000);
  Up.OnUploadDone = nullptr;
  return results;
}

TEST(SimDeviceUpload, SlowSerialLinesAreNotOverrunInBatchedOrSafeTurboMode) {
  // 256-byte blocks at 38400 baud take about 80 ms each on the line: longer than the safe turbo
  // pause, and far longer than the pause between batched packets. The port refuses what does not
  // fit into its 4096-byte output buffer.
  for (bool batched : {false, true}) {
    SCOPED_TRACE(batched ? "batched" : "safe turbo");
    testkit::MemoryLinkSettings line;
    line.Baud = 38400;
    line.LimitOutput = true;
    TSimDeviceConfig config;
    config.StartInBootloader = true;
    TSimRig rig(config, {}, line);
    rig.comms.Baud = 38400;
    TFirmwareUploader up(rig.loop);
    up.SetKRVPort(&rig.comms);
    up.BlockLength = 256;
    up.BatchedMode = batched;
    up.TurboMode = !batched;
    up.SafeTurbo = !batched;
    up.SetBatchSize(50);
    const std::string plain = TProcRig::Image(32 * 1024, 5);
    const auto results = UploadToEnd(rig, up, plain);
    ASSERT_EQ(results, std::vector<TFWUploadResult>{R::fwrOk}) << up.FWUploadResultToStr(results[0]);
    EXPECT_TRUE(rig.device.InstalledImage() == plain);
  }
}

/// Writes of at least MinBytes that found the serial line idle (nothing left of what was written
/// before), replaying the writes on a line of Baud as MemoryLink carries them.
int WritesOnAnIdleLine(const testkit::MemoryLink& Link, int Baud, std::size_t MinBytes) {
  int64_t freeAt = 0;
  int idle = 0;
  for (const auto& w : Link.Writes) {
    if (w.Bytes.size() >= MinBytes && w.AtMs >= freeAt) ++idle;
    freeAt = std::max(freeAt, w.AtMs) + (static_cast<int64_t>(w.Bytes.size()) * 10000 + Baud - 1) / Baud;
  }
  return idle;
}

struct TPacedCase {
  int Baud;
  int32_t ApdOutSize;
  bool Batched;  ///< else plain turbo (TurboMode without SafeTurbo)
};

class SimPacedUpload : public ::testing::TestWithParam<TPacedCase> {};

TEST_P(SimPacedUpload, KeepsTheLineBusyWithoutOverrunningThePort) {
  // Neither mode waits for answers to its blocks: the engine's line model lets each block go
  // while the port still holds the one before, and the port (which refuses what does not fit
  // into ApdOutSize) never overflows.
  const TPacedCase c = GetParam();
  testkit::MemoryLinkSettings line;
  line.Baud = c.Baud;
  line.LimitOutput = true;
  TSimDeviceConfig config;
  config.StartInBootloader = true;
  TSimRig rig(config, {}, line);
  rig.comms.Baud = c.Baud;
  rig.comms.ApdOutSize = c.ApdOutSize;
  rig.comms.Timeout_1 = 500;  // the receipt query waits behind the last packet
  rig.comms.SetActive(false);
  rig.comms.SetActive(true);  // the port takes ApdOutSize when it opens
  rig.loop.advance(5);
  TFirmwareUploader up(rig.loop);
  up.SetKRVPort(&rig.comms);
  up.BlockLength = 128;
  up.BatchedMode = c.Batched;
  up.TurboMode = !c.Batched;
  up.SetBatchSize(50);
  const std::string plain = TProcRig::Image(24 * 1024, 6);
  const auto results = UploadToEnd(rig, up, plain);
  ASSERT_EQ(results, std::vector<TFWUploadResult>{R::fwrOk}) << up.FWUploadResultToStr(results[0]);
  EXPECT_TRUE(rig.device.InstalledImage() == plain);
  EXPECT_EQ(up.RepeatedPckCount(), 0);
  // The first block of the run (and of each batch, behind the receipt clear) finds the line
  // idle; every other one is written before the line runs dry.
  const int blocks = 24 * 1024 / 128;
  EXPECT_LE(WritesOnAnIdleLine(*rig.links.Last, c.Baud, 128), c.Batched ? (blocks + 49) / 50 : 1);
}

INSTANTIATE_TEST_SUITE_P(Lines, SimPacedUpload,
                         ::testing::Values(TPacedCase{9600, 4096, false}, TPacedCase{115200, 4096, false},
                                           TPacedCase{921600, 4096, false}, TPacedCase{115200, 400, false},
                                           TPacedCase{9600, 4096, true}, TPacedCase{115200, 4096, true},
                                           TPacedCase{115200, 400, true}),
                         [](const auto& Info) {
                           return std::string(Info.param.Batched ? "Batched" : "Turbo") +
                                  std::to_string(Info.param.Baud) + "Buffer" + std::to_string(Info.param.ApdOutSize);
                         });

TEST(SimDeviceUpload, LostInstallAnswerOfADeviceThatFellBackIsNoSuccess) {
  // The device refuses the image and starts its old firmware again; the AFLUD that said so is lost
  // on the way. Asking who runs finds a firmware, which must not pass for the new one.
  TSimDeviceConfig config;
  config.StartInBootloader = true;
  TSimFaults faults;
  faults.RejectInstall = true;
  TSimRig rig(config, faults);
  bool lost = false;
  auto forward = rig.device.OnOutput;
  rig.device.OnOutput = [&](std::string_view Frame) {
    if (!lost && Frame.find("AFLUD") != std::string_view::npos) {
      lost = true;
      return;
    }
    forward(Frame);
  };
  const TRun run = Upload(rig, TProcRig::Image(3000, 5), 0x4000, false);
  ASSERT_TRUE(lost);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_NE(run.results[0], R::fwrOk);
  EXPECT_EQ(rig.device.Installs(), 0);
  EXPECT_FALSE(rig.device.BootloaderRunning());
}

// The device answers and hangs up at once, as one that restarts into another program right
// after its answer: the answer ends its exchange, the link comes back, the run goes on. The
// install above all must not wait for its time-out and the lost-answer check.
TEST(SimDeviceUpload, AnswerThenHangUpAtEveryStepStillInstalls) {
  struct {
    const char* name;
    const char* code;
    bool tcp;
  } cases[] = {
      {"install, serial", "CFLUD", false},  {"install, TCP", "CFLUD", true},
      {"identification, TCP", "CSYSI", true}, {"every block, TCP", "CFLUL", true},
      {"probe and blocks, serial", "CFLUL", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSimDeviceConfig config;
    config.StartInBootloader = true;
    TSimFaults faults;
    faults.HangUpAfter = {c.code};
    TSimRig rig(config, faults, {}, c.tcp ? "127.0.0.1" : "", true);
    rig.loop.runUntil([&] { return rig.comms.LinkUp(); }, 1000);
    const int64_t start = rig.loop.nowMs();
    const TRun run = Upload(rig, TProcRig::Image(3000, 5), 0x4000, false);
    ASSERT_EQ(run.results, std::vector<TFWUploadResult>{R::fwrOk});
    EXPECT_TRUE(rig.device.InstalledImage() == TProcRig::Image(3000, 5));
    EXPECT_GE(rig.device.Counters.HangUps, 1);
    // 2000 ms of settling follow the end; the install's 15 s time-out must not be in there.
    EXPECT_LT(rig.loop.nowMs() - start, 2000 + 5000);
    EXPECT_EQ(rig.device.Installs(), 1);
  }
}

// The same for the external flash: every page answer and every read answer is followed by a
// hang-up, and the data still goes there and back unchanged.
TEST(SimFlash, AnswerThenHangUpAfterEveryRequest) {
  for (bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP" : "serial");
    TSimFaults faults;
    faults.HangUpAfter = {"CFLPW", "CFLRC"};
    TSimRig rig({}, faults, {}, tcp ? "127.0.0.1" : "", true);
    rig.loop.runUntil([&] { return rig.comms.LinkUp(); }, 1000);
    const std::string data = TProcRig::Image(1000, 9);
    const testkit::TFlashRoundTrip r = testkit::FlashRoundTrip(rig.loop, rig.comms, 2, data);
    EXPECT_EQ(r.Results, (std::vector<TFlashRWResult>{TFlashRWResult::freOk, TFlashRWResult::freOk}));
    EXPECT_EQ(r.Read, data);
    EXPECT_GE(rig.device.Counters.HangUps, 8);
  }
}

struct SimCourse {
  const char* name;
  bool startInBootloader;
  bool acceptsBlocks;
  int restarts;
};

class SimUploadCourse : public ::testing::TestWithParam<SimCourse> {};

TEST_P(SimUploadCourse, InstallsTheOriginalImage) {
  const SimCourse c = GetParam();
  TSimDeviceConfig config;
  config.StartInBootloader = c.startInBootloader;
  config.FirmwareAcceptsBlocks = c.acceptsBlocks;
  TSimRig rig(config);
  const std::string plain = TProcRig::Image(3000, 5);
  const TRun run = Upload(rig, plain, 0x4000, false);
  ASSERT_EQ(run.results, (std::vector<TFWUploadResult>{R::fwrOk}));
  EXPECT_TRUE(rig.device.InstalledImage() == plain) << rig.device.InstalledImage().size();
  EXPECT_EQ(rig.device.Restarts(), c.restarts);
  ASSERT_TRUE(rig.device.LastInstall().has_value());
  EXPECT_EQ(rig.device.LastInstall()->StartPage, 0x4000 / 128);
  EXPECT_FALSE(rig.device.BootloaderRunning());
}

INSTANTIATE_TEST_SUITE_P(Courses, SimUploadCourse,
                         ::testing::Values(SimCourse{"FirmwareAccepts", false, true, 1},
                                           SimCourse{"BootloaderRuns", true, true, 0}),
                         [](const auto& Info) { return std::string(Info.param.name); });

TEST(SimDeviceUpload, LostRestartForUploadNoLongerCostsTheUpload) {
  // The firmware refuses blocks; the first CSYRS is lost on the way in, so the firmware still runs
  // when the size and the blocks would follow. The check after the restart restarts it again.
  TSimDeviceConfig config;
  config.FirmwareAcceptsBlocks = false;
  TSimFaults faults;
  faults.IgnoreCommands = {"CSYRS"};
  TSimRig rig(config, faults);
  rig.device.OnRequest = [&](const std::string& Line) {
    if (Line.find("CSYRS") != std::string::npos) rig.device.Faults.IgnoreCommands.clear();
  };
  const std::string plain = TProcRig::Image(3000, 9);
  const TRun run = Upload(rig, plain, 0x4000, false);
  ASSERT_EQ(run.results, (std::vector<TFWUploadResult>{R::fwrOk}));
  EXPECT_TRUE(rig.device.InstalledImage() == plain);
  EXPECT_EQ(rig.device.Restarts(), 1);  // the lost one never arrived
}

struct SimLoss {
  bool batched;
  uint32_t seed;
};

class SimLossyUpload : public ::testing::TestWithParam<SimLoss> {};

TEST_P(SimLossyUpload, SucceedsWithTenPercentLossEachWay) {
  const SimLoss c = GetParam();
  TSimDeviceConfig config;
  config.StartInBootloader = true;  // keeps the course short; lost restarts have their own test
  TSimFaults faults;
  faults.Seed = c.seed;
  faults.DropIn = 0.1;
  faults.DropOut = 0.1;
  TSimRig rig(config, faults);
  rig.comms.Max_tries_cmd = 8;
  const std::string plain = TProcRig::Image(128 * 50 + 77, c.seed);
  const TRun run = Upload(rig, plain, 0, c.batched);
  ASSERT_EQ(run.results.size(), 1u);
  EXPECT_EQ(run.results[0], R::fwrOk) << FWUploadResultToStr(run.results[0], 0) << " / " << (rig.device.RequestLog.empty() ? "" : rig.device.RequestLog.back());
  EXPECT_TRUE(rig.device.InstalledImage() == plain) << rig.device.InstalledImage().size();
  EXPECT_GT(rig.device.Counters.DroppedIn, 0);
  EXPECT_GT(rig.device.Counters.DroppedOut, 0);
  if (c.batched) {
    EXPECT_GT(run.repeated, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SimLossyUpload,
                         ::testing::Values(SimLoss{false, 11}, SimLoss{false, 12}, SimLoss{false, 13},
                                           SimLoss{true, 11}, SimLoss{true, 12}, SimLoss{true, 13}),
                         [](const auto& Info) {
                           return std::string(Info.param.batched ? "Batched" : "Normal") + "Seed" +
                                  std::to_string(Info.param.seed);
                         });

TEST(SimFlash, TurboWriteOnASerialLineKeepsToTheLinesPace) {
  // Twenty 528-byte pages take about 55 ms each at 115200 baud; written back to back they would
  // overrun the port's 4096-byte output buffer, which refuses what does not fit.
  for (bool serial : {true, false}) {
    SCOPED_TRACE(serial ? "serial" : "TCP");
    testkit::MemoryLinkSettings line;
    line.Baud = 115200;
    line.LimitOutput = serial;
    TSimDeviceConfig config;
    config.FlashPageSize = 528;
    config.FlashPages = 64;
    TSimRig rig(config, {}, line);
    if (!serial) rig.comms.Host = "127.0.0.1";
    TFlashReaderWriter frw;
    frw.SetKRVPort(&rig.comms);
    frw.FlashPageSize = 528;
    frw.TurboMode = true;
    std::vector<TFlashRWResult> done;
    frw.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult Result) { done.push_back(Result); };
    const std::string source = TProcRig::Image(528 * 20, 8);
    const int64_t start = rig.loop.nowMs();
    frw.WriteFlashFromStr(3, source);
    rig.loop.runUntil([&] { return !done.empty(); }, 60000);
    EXPECT_EQ(done, std::vector<TFlashRWResult>{TFlashRWResult::freOk});
    // Paced only where the line needs it.
    if (serial) {
      EXPECT_GE(rig.loop.nowMs() - start, 19 * 55);
    } else {
      EXPECT_LT(rig.loop.nowMs() - start, 200);
    }
    rig.loop.advance(2000);  // the last pages are still on their way
    EXPECT_TRUE(rig.device.Flash().substr(3 * 528, source.size()) == source);
  }
}

TEST(SimFlash, WrittenFilesReadBackUnchanged) {
  TSimRig rig;
  TFlashReaderWriter frw;
  frw.SetKRVPort(&rig.comms);
  frw.BlockSize = 255;
  std::vector<TFlashRWResult> done;
  std::string data;
  frw.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult Result) { done.push_back(Result); };
  frw.OnReadingDone = [&](TFlashReaderWriter*, TFlashRWResult Result, std::string& S) {
    done.push_back(Result);
    data = S;
  };
  const std::string source = TProcRig::Image(264 * 7 + 100, 21);
  frw.WriteFlashFromStr(30, source);
  rig.loop.runUntil([&] { return done.size() == 1; }, 60000);
  frw.ReadFlashToStr(30, static_cast<uint32_t>(source.size()));
  rig.loop.runUntil([&] { return done.size() == 2; }, 60000);
  EXPECT_EQ(done, (std::vector<TFlashRWResult>{TFlashRWResult::freOk, TFlashRWResult::freOk}));
  EXPECT_EQ(data, source);
  EXPECT_EQ(rig.device.Flash().substr(30 * 264, source.size()), source);
}

}  // namespace
}  // namespace vornik::testing
