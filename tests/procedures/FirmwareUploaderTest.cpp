#include "procedures/uFirmwareUploader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "procedures/ProcRig.h"

namespace vornik::testing {
namespace {

using R = TFWUploadResult;

class Upload : public ::testing::Test {
 protected:
  Upload() {
    up.SetKRVPort(&rig.comms);
    up.BlockLength = 128;
    up.OnUploadDone = [this](TFirmwareUploader*, TFWUploadResult Result) {
      results.push_back(Result);
    };
    up.OnPercentDone = [this](TFirmwareUploader*, int P) { percents.push_back(P); };
  }

  std::optional<TFWUploadResult> Run(const std::string& Image, int64_t LimitMs = 600000) {
    up.UploadFromStr(Image);
    rig.RunUntil([this] { return !results.empty(); }, LimitMs);
    if (results.empty()) return std::nullopt;
    return results.front();
  }

  /// The device's commands in arrival order, with the blocks folded into one "CFLUL*n" entry.
  std::string Trail() const {
    std::string out;
    std::string last;
    int run = 0;
    auto flush = [&] {
      if (run > 1) out += "*" + std::to_string(run);
      run = 0;
    };
    for (const auto& c : rig.device.Commands) {
      if (c == last && c == "CFLUL") {
        ++run;
        continue;
      }
      flush();
      if (!out.empty()) out += ' ';
      out += c;
      last = c;
      run = 1;
    }
    flush();
    return out;
  }

  TProcRig rig;
  TFirmwareUploader up{rig.loop};
  std::vector<TFWUploadResult> results;
  std::vector<int> percents;
};

// The three usual courses, with the options that add or remove steps.
struct CourseCase {
  const char* name;
  bool bootloader;
  bool acceptsBlocks;
  bool clearFlash;
  bool useCBLUD;
  bool dontSendSize;
  const char* trail;
};

class UploadCourse : public Upload, public ::testing::WithParamInterface<CourseCase> {};

TEST_P(UploadCourse, FollowsItsStepsAndInstallsTheImage) {
  const CourseCase& c = GetParam();
  rig.device.BootloaderRunning = c.bootloader;
  rig.device.FirmwareAcceptsBlocks = c.acceptsBlocks;
  up.ClearFlash = c.clearFlash;
  up.UseCBLUD = c.useCBLUD;
  up.DontSendSize = c.dontSendSize;
  const std::string image = TProcRig::Image(300);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(Trail(), c.trail);
  EXPECT_EQ(rig.device.Installed, image);
  EXPECT_EQ(results.size(), 1u);
  EXPECT_EQ(percents, (std::vector<int>{0, 43, 86}));
  EXPECT_TRUE(up.Idle());
  if (!c.dontSendSize || !c.acceptsBlocks) {
    ASSERT_TRUE(rig.device.AnnouncedLength.has_value());
    EXPECT_EQ(*rig.device.AnnouncedLength, 300u);
    EXPECT_EQ(*rig.device.AnnouncedFlag, c.useCBLUD ? 0 : 1);
  }
  EXPECT_EQ(rig.device.BootloaderAnnounced, c.useCBLUD);
}

INSTANTIATE_TEST_SUITE_P(
    Courses, UploadCourse,
    ::testing::Values(
        CourseCase{"FirmwareAccepts", false, true, false, false, false,
                   "CSYSI CFLUL CFLTS CFLUL*3 CSYRS CSYSI CFLUD"},
        CourseCase{"FirmwareRefuses", false, false, false, false, false,
                   "CSYSI CFLUL CSYRS CSYSI CFLTS CFLUL*3 CSYSI CFLUD"},
        CourseCase{"BootloaderRuns", true, true, false, false, false, "CSYSI CFLUL CFLTS CFLUL*3 CSYSI CFLUD"},
        CourseCase{"EraseFirst", true, true, true, false, false, "CSYSI CELFE CFLUL CFLTS CFLUL*3 CSYSI CFLUD"},
        CourseCase{"BootloaderImage", false, true, false, true, false,
                   "CSYSI CFLUL CBLUD CFLTS CFLUL*3 CSYRS CSYSI CFLUD"},
        CourseCase{"BootloaderImageAfterRestart", false, false, false, true, false,
                   "CSYSI CFLUL CSYRS CSYSI CBLUD CFLTS CFLUL*3 CSYSI CFLUD"},
        CourseCase{"NoSize", false, true, false, false, true, "CSYSI CFLUL*4 CSYRS CSYSI CFLUD"},
        // The size is skipped only when the running program took the probe.
        CourseCase{"NoSizeButRestarted", false, false, false, false, true,
                   "CSYSI CFLUL CSYRS CSYSI CFLTS CFLUL*3 CSYSI CFLUD"}),
    [](const auto& Info) { return std::string(Info.param.name); });

TEST_F(Upload, ReconnectsTheLinkAroundTheRestart) {
  rig.device.FirmwareAcceptsBlocks = false;
  up.ReconnectSerialPort = true;
  const int opened = rig.peer.Opened;
  const std::string image = TProcRig::Image(300);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CSYRS CSYSI CFLTS CFLUL*3 CSYSI CFLUD");
  EXPECT_EQ(rig.peer.Closed, 1);
  EXPECT_EQ(rig.peer.Opened, opened + 1);
  EXPECT_TRUE(rig.comms.Active());
  EXPECT_EQ(rig.device.Installed, image);
}

TEST_F(Upload, EngineActivatedWithoutAddressIsNotReconnected) {
  rig.comms.SetActive(false);
  rig.comms.KRVAddress = 0;
  rig.comms.SetActive(true);
  rig.loop.advance(5);
  rig.comms.KRVAddress = kDeviceAddress;  // the destination, without single-device mode
  rig.device.FirmwareAcceptsBlocks = false;
  up.ReconnectSerialPort = true;
  const int closed = rig.peer.Closed;
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrOk);
  EXPECT_EQ(rig.peer.Closed, closed);
}

TEST_F(Upload, CommandsCarryTheirFormatAndFields) {
  up.FWAddress = 0x4000;
  const std::string image = TProcRig::Image(300);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.PageIndexes, (std::vector<uint16_t>{0x80, 0x81, 0x82}));
  EXPECT_EQ(rig.device.BlockSizes, (std::vector<std::size_t>{128, 128, 44}));
  EXPECT_EQ(*rig.device.AnnouncedFlag, 0);  // the image does not start at 0
  for (const auto& r : rig.peer.Requests) EXPECT_TRUE(r.Krvw) << r.Code;
  EXPECT_EQ(rig.device.Installed, image);
}

TEST_F(Upload, WritesItsNotesInStepOrder) {
  rig.CaptureLog("Vornik: ");
  rig.device.FirmwareAcceptsBlocks = false;
  rig.device.CPUType = 20;
  rig.device.DeviceType = 9;
  up.BlockLength = 256;
  up.FWAddress = 0x1A80;
  up.WaitForFwToStart = 10;
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrOk);
  const std::vector<std::string> expected = {
      "Vornik: BeforeASYSI",           "Vornik: ARMController = 0",
      "Vornik: BootLoaderRunning = 0", "Vornik: CPUTpye = 20",
      "Vornik: BlockLength = 128",     "Vornik: HwType = 9",
      "Vornik: BatchedMode = 0",       "Vornik: BatchSize = 50",
      "Vornik: FWAddress = $00001A80", "Vornik: BeforeCFLULChecked",
      "Vornik: BeforeRestartForCFLUL", "Vornik: BeforeBootloaderCheckedForCFLUL",
      "Vornik: BeforeSendSize",
      "Vornik: BeforeBootloaderChecked", "Vornik: BeforeCFLUD",
      "Vornik: BeforeWaitForFWToStart", "Vornik: ProcessStoppedOrFinished"};
  EXPECT_EQ(rig.logged, expected);
}

TEST_F(Upload, LostRestartForUploadIsNoticedAndRepeated) {
  // The running firmware refuses blocks; the first CSYRS never reaches the device, which goes on
  // running the firmware. The check after the restart finds it and restarts once more.
  rig.device.FirmwareAcceptsBlocks = false;
  int restarts = 0;
  rig.peer.BeforeAnswer = [&](const std::string& Code) {
    if (Code == "CSYRS") rig.device.RestartWorks = ++restarts > 1;
  };
  rig.CaptureLog("Vornik: ");
  const std::string image = TProcRig::Image(300);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CSYRS CSYSI CSYRS CSYSI CFLTS CFLUL*3 CSYSI CFLUD");
  EXPECT_EQ(rig.device.Installed, image);
  const std::vector<std::string> notes(rig.logged.begin() + 10, rig.logged.begin() + 16);
  EXPECT_EQ(notes, (std::vector<std::string>{"Vornik: BeforeRestartForCFLUL", "Vornik: BeforeBootloaderCheckedForCFLUL",
                                             "Vornik: FirmwareStillRunningAfterRestart",
                                             "Vornik: BeforeRestartForCFLUL", "Vornik: BeforeBootloaderCheckedForCFLUL",
                                             "Vornik: BeforeSendSize"}));
}

TEST_F(Upload, RestartForUploadThatNeverWorksEndsAfterTwoTries) {
  rig.device.FirmwareAcceptsBlocks = false;
  rig.device.RestartWorks = false;
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrRestartFailed);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CSYRS CSYSI CSYRS CSYSI");
  EXPECT_EQ(rig.device.Installs, 0);
}

TEST_F(Upload, LostRestartWithReconnectIsRepeatedWithReconnect) {
  rig.device.FirmwareAcceptsBlocks = false;
  up.ReconnectSerialPort = true;
  int restarts = 0;
  rig.peer.BeforeAnswer = [&](const std::string& Code) {
    if (Code == "CSYRS") rig.device.RestartWorks = ++restarts > 1;
  };
  const int opened = rig.peer.Opened;
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrOk);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CSYRS CSYSI CSYRS CSYSI CFLTS CFLUL*3 CSYSI CFLUD");
  EXPECT_EQ(rig.peer.Closed, 2);
  EXPECT_EQ(rig.peer.Opened, opened + 2);
}

TEST_F(Upload, UnansweredIdentificationRestartsOnceInKRVThenGivesUp) {
  rig.device.AnswerIdentify = false;
  EXPECT_EQ(Run(TProcRig::Image(100)), R::fwrInvalidAnswerASYSI);
  EXPECT_EQ(Trail(), "CSYSI CSYSI CSYSI CSYRS CSYSI CSYSI CSYSI");
  for (const auto& r : rig.peer.Requests) EXPECT_EQ(r.Krvw, r.Code != "CSYRS") << r.Code;
}

TEST_F(Upload, IdentificationAnsweredAfterTheRestartGoesOn) {
  rig.device.IdentifyAnswerOverride = std::string("ANOTX");
  up.OnUploadDone = [this](TFirmwareUploader*, TFWUploadResult Result) { results.push_back(Result); };
  // The first identification gets a wrong answer; after the restart the record comes.
  rig.peer.BeforeAnswer = [this](const std::string& Code) {
    if (Code == "CSYRS") rig.device.IdentifyAnswerOverride.reset();
  };
  const std::string image = TProcRig::Image(200);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.Installed, image);
  const auto& cmds = rig.device.Commands;
  const auto restart = std::find(cmds.begin(), cmds.end(), "CSYRS");
  ASSERT_NE(restart, cmds.end());
  EXPECT_TRUE(std::all_of(cmds.begin(), restart, [](const std::string& C) { return C == "CSYSI"; }));
}

TEST_F(Upload, FlashWriteErrorRepeatsTheSameBlockOnce) {
  rig.device.BootloaderRunning = true;
  rig.device.BlockStatuses[1] = {2};
  const std::string image = TProcRig::Image(300);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.PageIndexes, (std::vector<uint16_t>{0, 1, 1, 2}));
  EXPECT_EQ(up.RepeatedPckCount(), 1);
  EXPECT_EQ(rig.device.Installed, image);
}

TEST_F(Upload, BlockStatusesEndTheRun) {
  struct Case {
    std::vector<uint8_t> statuses;
    TFWUploadResult result;
  };
  for (const Case& c : {Case{{2, 2}, R::fwrFlashWriteError}, Case{{1}, R::fwrPageIndexOutOfRange},
                        Case{{3}, R::fwrUnknownErrorCode}, Case{{4}, R::fwrFirmwareNotCompatible},
                        Case{{9}, R::fwrUnknownErrorCode}}) {
    TProcRig r;
    TFirmwareUploader u(r.loop);
    u.SetKRVPort(&r.comms);
    u.BlockLength = 128;
    std::vector<TFWUploadResult> got;
    u.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { got.push_back(Result); };
    r.device.BootloaderRunning = true;
    r.device.BlockStatuses[0] = c.statuses;
    u.UploadFromStr(TProcRig::Image(300));
    r.RunUntil([&] { return !got.empty(); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], c.result) << int(c.statuses[0]);
    EXPECT_EQ(r.device.Installs, 0);
    EXPECT_EQ(r.device.Commands.back(), "CFLUL");
  }
}

TEST_F(Upload, InstallStatuses) {
  struct Case {
    std::vector<uint8_t> statuses;
    TFWUploadResult result;
    int cfluds;
  };
  for (const Case& c : {Case{{1}, R::fwrCRCError, 1}, Case{{2}, R::fwrOk, 2}, Case{{2, 2}, R::fwrUpdateFailed, 2},
                        Case{{3}, R::fwrFirmwareNotCompatible, 1}, Case{{7}, R::fwrUnknownErrorCode, 1}}) {
    TProcRig r;
    TFirmwareUploader u(r.loop);
    u.SetKRVPort(&r.comms);
    std::vector<TFWUploadResult> got;
    u.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { got.push_back(Result); };
    r.device.BootloaderRunning = true;
    r.device.InstallStatuses = c.statuses;
    const std::string image = TProcRig::Image(256);
    u.UploadFromStr(image);
    r.RunUntil([&] { return !got.empty(); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], c.result);
    EXPECT_EQ(std::count(r.device.Commands.begin(), r.device.Commands.end(), "CFLUD"), c.cfluds);
    if (c.result == R::fwrOk) {
      EXPECT_EQ(r.device.Installed, image);
    }
  }
}

// A done or progress handler may end the run and start another, or destroy the uploader: nothing
// of the old run may touch the new one (or the freed uploader).
TEST(UploadReentry, AProgressHandlerMayAbortAndStartAnotherRun) {
  TProcRig r;
  TFirmwareUploader u(r.loop);
  u.SetKRVPort(&r.comms);
  u.BlockLength = 128;
  r.device.BootloaderRunning = true;
  std::vector<TFWUploadResult> results;
  u.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { results.push_back(Result); };
  const std::string first = TProcRig::Image(1000, 2), second = TProcRig::Image(500, 3);
  bool restarted = false;
  u.OnPercentDone = [&](TFirmwareUploader* U, int) {
    if (restarted) return;
    restarted = true;
    U->Abort();
    U->UploadFromStr(second);
  };
  u.UploadFromStr(first);
  r.RunUntil([&] { return results.size() == 2; }, 600000);
  r.loop.advance(5000);
  ASSERT_EQ(results, (std::vector<TFWUploadResult>{R::fwrAborted, R::fwrOk}));
  EXPECT_EQ(r.device.Installed, second);
}

TEST(UploadReentry, TheUploaderMayBeDestroyedFromItsDoneEventInTurboMode) {
  // The engine goes inactive after the first block: the next block is refused at once, inside
  // the hand-over, and the done event frees the uploader before the hand-over returns.
  TProcRig r;
  auto* u = new TFirmwareUploader(r.loop);
  u->SetKRVPort(&r.comms);
  u->BlockLength = 128;
  u->TurboMode = true;
  u->SafeTurbo = true;
  r.device.BootloaderRunning = true;
  std::vector<TFWUploadResult> results;
  u->OnPercentDone = [&](TFirmwareUploader*, int) { r.comms.SetActive(false); };
  u->OnUploadDone = [&](TFirmwareUploader* U, TFWUploadResult Result) {
    results.push_back(Result);
    delete U;
  };
  u->UploadFromStr(TProcRig::Image(1000, 2));
  r.RunUntil([&] { return !results.empty(); }, 600000);
  ASSERT_EQ(results, std::vector<TFWUploadResult>{R::fwrKRVError});
}

TEST(UploadInstallCheck, LostInstallAnswerIsSettledByTheRunningBuild) {
  // The install answer is lost; the device is asked what runs. Only the image's own build
  // identifier counts as installed: a device that refused the image (checksum) runs its old
  // firmware, and an image without a build string cannot be told apart from it.
  // A device that ran the image's build already proves nothing by running it now, and a record
  // too short to carry the bootloader flag does not say that a firmware runs.
  struct Case {
    const char* name;
    bool reject;
    bool buildString;
    const char* buildBefore;
    bool shortRecordAtCheck;
    R result;
    const char* note;
  };
  const Case cases[] = {
      {"installed", false, true, "BLD01", false, R::fwrOk, "Vornik: InstalledFirmwareRuns"},
      {"fell back to the old firmware", true, true, "BLD01", false, R::fwrKRVError, "Vornik: InstallNotConfirmed"},
      {"no build string in the image", false, false, "BLD01", false, R::fwrKRVError, "Vornik: InstallNotConfirmed"},
      {"same build before the upload", false, true, "00001", false, R::fwrKRVError, "Vornik: InstallNotConfirmed"},
      {"same build, fell back", true, true, "00001", false, R::fwrKRVError, "Vornik: InstallNotConfirmed"},
      {"record too short at the check", false, true, "BLD01", true, R::fwrKRVError, "Vornik: InstallNotConfirmed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TProcRig r;
    TFirmwareUploader u(r.loop);
    u.SetKRVPort(&r.comms);
    u.BlockLength = 128;
    std::vector<TFWUploadResult> results;
    u.OnUploadDone = [&results](TFirmwareUploader*, TFWUploadResult Result) { results.push_back(Result); };
    r.device.BootloaderRunning = true;
    r.device.RejectInstall = c.reject;
    r.device.BuildID = c.buildBefore;
    r.peer.LoseAnswerOnce = {"CFLUD"};
    if (c.shortRecordAtCheck)
      r.peer.BeforeAnswer = [&r](const std::string& Code) {
        // 40 bytes: the build identifier is there, the bootloader flag (offset 62) is not.
        if (Code == "CFLUD") r.device.IdentifyAnswerOverride = "ASYSI" + std::string(6, '\0') + "00001" + std::string(29, '\0');
      };
    r.CaptureLog("Vornik: ");
    const std::string image = c.buildString ? TProcRig::Image(300) : std::string(300, '\x5A');
    u.UploadFromStr(image);
    r.RunUntil([&results] { return !results.empty(); }, 600000);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], c.result);
    EXPECT_EQ(r.device.Installs, c.reject ? 0 : 1);
    EXPECT_FALSE(r.device.BootloaderRunning);
    EXPECT_NE(std::find(r.logged.begin(), r.logged.end(), c.note), r.logged.end());
    if (c.result != R::fwrOk) {
      EXPECT_EQ(u.FWUploadResultToStr(results[0]), "Hiba történt: A készülék nem válaszol.");
    }
  }
}

TEST_F(Upload, InstallThatDidNotHappenIsSentOnceMore) {
  rig.device.BootloaderRunning = true;
  rig.device.SkipNextInstall = true;  // acknowledged, then nothing
  const std::string image = TProcRig::Image(300);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CFLTS CFLUL*3 CSYSI CFLUD CSYSI CFLUD");
  EXPECT_EQ(rig.device.Installed, image);
}

TEST_F(Upload, InstallThatNeverHappensEndsWithTheEngineError) {
  rig.device.BootloaderRunning = true;
  rig.peer.BeforeAnswer = [this](const std::string& Code) {
    if (Code == "CFLUD") rig.device.SkipNextInstall = true;
  };
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrKRVError);
  EXPECT_EQ(up.LastErrorCode(), 5);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CFLTS CFLUL*3 CSYSI CFLUD CSYSI CFLUD CSYSI");
  EXPECT_EQ(rig.device.Installs, 0);
}

TEST_F(Upload, CorruptedImageOnTheDeviceIsReportedAsChecksumError) {
  rig.device.BootloaderRunning = true;
  // The device keeps a block it reports as accepted in a damaged form.
  rig.peer.BeforeAnswer = [this](const std::string& Code) {
    if (Code == "CFLUD" && !rig.device.Written.empty()) rig.device.Written.begin()->second[0] ^= 1;
  };
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrCRCError);
  EXPECT_EQ(rig.device.Installs, 0);
}

TEST_F(Upload, BootloaderThatDoesNotComeUpFailsAfterTwoRestarts) {
  rig.device.RestartWorks = false;
  EXPECT_EQ(Run(TProcRig::Image(200)), R::fwrRestartFailed);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CFLTS CFLUL*2 CSYRS CSYSI CSYRS CSYSI");
}

TEST_F(Upload, ProbeRefusedByTheBootloaderEndsTheRun) {
  rig.device.BootloaderRunning = true;
  rig.device.ProbeAnswerOverride = std::string("ANOPE");
  EXPECT_EQ(Run(TProcRig::Image(200)), R::fwrInvalidAnswerAFLUL);
  EXPECT_EQ(Trail(), "CSYSI CFLUL");
}

TEST_F(Upload, ForceResetOnStartRestartsARunningFirmwareOnly) {
  up.ForceResetOnStart = true;
  const std::string image = TProcRig::Image(200);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(Trail(), "CSYSI CFLUL CSYRS CSYSI CFLTS CFLUL*2 CSYSI CFLUD");

  TProcRig r;
  TFirmwareUploader u(r.loop);
  u.SetKRVPort(&r.comms);
  u.ForceResetOnStart = true;
  std::vector<TFWUploadResult> got;
  u.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { got.push_back(Result); };
  r.device.BootloaderRunning = true;
  u.UploadFromStr(image);
  r.RunUntil([&] { return !got.empty(); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], R::fwrOk);
  EXPECT_EQ(std::count(r.device.Commands.begin(), r.device.Commands.end(), "CSYRS"), 0);
  EXPECT_EQ(r.device.Installed, image);
}

TEST_F(Upload, BlockLengthFollowsTheController) {
  struct Case {
    uint8_t cpu;
    uint16_t rx;
    int32_t length;
    std::vector<uint16_t> pages;
  };
  for (const Case& c : {Case{22, 1024, 128, {0, 1, 2, 3}}, Case{23, 256, 128, {0, 1, 2, 3}},
                        Case{23, 257, 256, {0, 2}}}) {
    TProcRig r;
    TFirmwareUploader u(r.loop);
    u.SetKRVPort(&r.comms);
    u.BlockLength = 256;
    std::vector<TFWUploadResult> got;
    u.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) { got.push_back(Result); };
    r.device.BootloaderRunning = true;
    r.device.CPUType = c.cpu;
    r.device.RxBufLen = c.rx;
    const std::string image = TProcRig::Image(512);
    u.UploadFromStr(image);
    r.RunUntil([&] { return !got.empty(); });
    EXPECT_EQ(got.at(0), R::fwrOk);
    EXPECT_EQ(u.BlockLength, c.length);
    EXPECT_EQ(r.device.PageIndexes, c.pages);
    EXPECT_EQ(r.device.Installed, image);
  }
}

TEST_F(Upload, ShortBlocksAreNumberedFromTheBlockNumberBase) {
  rig.device.BootloaderRunning = true;
  up.BlockLength = 64;
  up.FWAddress = 0x4000;
  const std::string image = TProcRig::Image(150);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.PageIndexes, (std::vector<uint16_t>{0x8080, 0x8081, 0x8082}));
  EXPECT_EQ(rig.device.BlockSizes, (std::vector<std::size_t>{64, 64, 22}));
  EXPECT_EQ(rig.device.Installed, image);
}

TEST_F(Upload, IgnoreAFLUDEndsRightAfterTheInstallCommand) {
  rig.device.BootloaderRunning = true;
  up.IgnoreAFLUD = true;
  up.CFLUDTimeout = 1000;
  const std::string image = TProcRig::Image(128);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.Commands.back(), "CFLUD");
  EXPECT_EQ(rig.device.Installed, image);
}

TEST_F(Upload, WaitForFirmwareDelaysTheEnd) {
  rig.device.BootloaderRunning = true;
  up.WaitForFwToStart = 3000;
  int64_t installAt = -1;
  rig.peer.BeforeAnswer = [&](const std::string& Code) {
    if (Code == "CFLUD") installAt = rig.loop.nowMs();
  };
  int64_t doneAt = -1;
  up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult Result) {
    results.push_back(Result);
    doneAt = rig.loop.nowMs();
  };
  EXPECT_EQ(Run(TProcRig::Image(128)), R::fwrOk);
  EXPECT_GE(doneAt - installAt, 3000);
  EXPECT_LT(doneAt - installAt, 3100);
}

TEST_F(Upload, SimulationModeSendsIdentificationsInsteadOfBlocks) {
  up.SimulationMode = true;
  EXPECT_EQ(Run(TProcRig::Image(300)), R::fwrOk);
  EXPECT_EQ(Trail(), "CSYSI CSYSI CSYSI CSYSI");
  EXPECT_EQ(percents, (std::vector<int>{0, 43, 86}));
}

TEST_F(Upload, TurboModeSendsBlocksWithoutAnswers) {
  rig.device.BootloaderRunning = true;
  up.TurboMode = true;
  const std::string image = TProcRig::Image(1000);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.Installed, image);
  EXPECT_EQ(percents.size(), 8u);
}

TEST_F(Upload, SafeTurboPausesAfterEachBlock) {
  rig.device.BootloaderRunning = true;
  up.TurboMode = true;
  up.SafeTurbo = true;
  const std::string image = TProcRig::Image(512);
  EXPECT_EQ(Run(image), R::fwrOk);
  EXPECT_EQ(rig.device.Installed, image);
  // The engine writes of the four blocks lie at least the pause apart.
  TKRVProtocol decoder;
  decoder.KRVMode = TKRVMode::PMDecodeBothEncodeKRVW;
  std::vector<int64_t> at;
  for (const auto& w : rig.links.Last->Writes) {
    const std::string payload = decoder.Decode(w.Bytes);
    if (auto b = ParseCFLUL(payload); b && !IsCFLULProbe(payload)) at.push_back(w.AtMs);
  }
  ASSERT_EQ(at.size(), 4u);
  for (std::size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 60) << ::testing::PrintToString(at);
}

TEST_F(Upload, PauseRateLengthensEveryNthBlock) {
  rig.device.BootloaderRunning = true;
  up.PauseRate = 2;
  up.PauseLength = 500;
  std::vector<int64_t> at;
  rig.peer.BeforeAnswer = [&](const std::string& Code) {
    if (Code == "CFLUL") at.push_back(rig.loop.nowMs());
  };
  EXPECT_EQ(Run(TProcRig::Image(512)), R::fwrOk);
  ASSERT_EQ(at.size(), 5u);
  // Block 2 waits the whole forced time (Timeout_1 + 500) before block 3 goes out.
  EXPECT_GE(at[3] - at[2], 110 + 500);
  EXPECT_LT(at[2] - at[1], 100);
}

TEST_F(Upload, AbortDuringTheBlocksEndsOnceAndLeavesNothingQueued) {
  rig.device.BootloaderRunning = true;
  up.UploadFromStr(TProcRig::Image(5000));
  rig.RunUntil([this] { return percents.size() >= 3; });
  up.Abort();
  EXPECT_EQ(results, (std::vector<TFWUploadResult>{R::fwrAborted}));
  EXPECT_EQ(rig.comms.QueueCount(), 0u);
  rig.loop.advance(5000);
  EXPECT_EQ(results.size(), 1u);
  EXPECT_TRUE(up.Idle());
  up.Abort();  // idle: nothing
  EXPECT_EQ(results.size(), 1u);
}

TEST_F(Upload, LinkFailureEndsWithTheEngineText) {
  rig.device.BootloaderRunning = true;
  up.UploadFromStr(TProcRig::Image(2000));
  rig.RunUntil([this] { return percents.size() >= 2; });
  rig.peer.Silent = true;
  rig.RunUntil([this] { return !results.empty(); });
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0], R::fwrKRVError);
  EXPECT_EQ(up.LastErrorCode(), 5);
  EXPECT_EQ(up.FWUploadResultToStr(results[0]), "Hiba történt: A készülék nem válaszol.");
}

TEST_F(Upload, MisuseRaisesAndChangesNothing) {
  TFirmwareUploader idle(rig.loop);
  EXPECT_THROW(
      {
        try {
          idle.UploadFromStr("abc");
        } catch (const EFirmwareUploader& e) {
          EXPECT_STREQ(e.what(), "KRVPort not assigned");
          throw;
        }
      },
      EFirmwareUploader);
  for (int32_t bad : {0, -1, 200}) {
    up.BlockLength = bad;
    try {
      up.UploadFromStr("abc");
      ADD_FAILURE() << bad;
    } catch (const EFirmwareUploader& e) {
      EXPECT_STREQ(e.what(), "Invalid block length");
    }
  }
  up.BlockLength = 128;
  try {
    up.UploadFromStr("");
    ADD_FAILURE();
  } catch (const EFirmwareUploader& e) {
    EXPECT_STREQ(e.what(), "Empty firmware");
  }
  up.UploadFromStr(TProcRig::Image(300));
  try {
    up.UploadFromStr(TProcRig::Image(300));
    ADD_FAILURE();
  } catch (const EFirmwareUploader& e) {
    EXPECT_STREQ(e.what(), "Firmware update in progress");
  }
  try {
    up.SetKRVPort(nullptr);
    ADD_FAILURE();
  } catch (const EFirmwareUploader& e) {
    EXPECT_STREQ(e.what(), "Cannot change KRVPort while update in progress");
  }
  rig.RunUntil([this] { return !results.empty(); });
  EXPECT_EQ(results, (std::vector<TFWUploadResult>{R::fwrOk}));
}

TEST(UploadTexts, EveryResultHasItsText) {
  EXPECT_EQ(FWUploadResultToStr(R::fwrOk), "A firmware telepítése sikeresen befejeződött.");
  EXPECT_EQ(FWUploadResultToStr(R::fwrKRVError, 5), "Hiba történt: A készülék nem válaszol.");
  EXPECT_EQ(FWUploadResultToStr(R::fwrUnknownErrorCode),
            "A készülék által küldött válaszban ismeretlen hibakód szerepel.");
  EXPECT_EQ(static_cast<int>(R::fwrUnknownErrorCode), 12);
}

}  // namespace
}  // namespace vornik::testing
