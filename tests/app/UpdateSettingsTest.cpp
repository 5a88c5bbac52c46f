// The settings an update runs with: the same DEBUG/BATCH mapping through the window's reader (which
// completes the file) and through a plain reader (which leaves it as it is), over the shipped values.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/CreateMissingValuesIni.h"
#include "testkit/TempDir.h"
#include "app/UpdateSettings.h"
#include "comms/KRVComms.h"
#include "procedures/uFirmwareUploader.h"
#include "testkit/MemoryLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik {
namespace {

using test::ReadAll;
using test::TempDir;
using test::WriteAll;

struct Rig {
  testkit::VirtualLoop Loop;
  testkit::MemoryLinkFactory Links{Loop, nullptr};
  TKRVComms Comms{Loop, Links};
  TFirmwareUploader Uploader{Loop};
  Rig() {
    ApplyShippedEngineSettings(Comms);
    ApplyShippedUploaderSettings(Uploader);
    Uploader.SetKRVPort(&Comms);
  }
};

const char* const kPartial = "; hand-made\n[DEBUG]\nTimeout1=$64\nTriesMax=2\nBlockLength=256\n[BATCH]\nBatchSize=20\n";

TEST(UpdateSettings, PlainReaderReadsOnlyAndBothReadersMapTheSame) {
  TempDir dir;
  WriteAll(dir.Path("a.ini"), kPartial);
  WriteAll(dir.Path("b.ini"), kPartial);
  Rig plain, window;
  TIniFile reader(dir.Path("a.ini"));
  TCreateMissingValuesIni completing(dir.Path("b.ini"));
  ApplyUpdateSettings(reader, plain.Comms, plain.Uploader);
  ApplyUpdateSettings(completing, window.Comms, window.Uploader);
  EXPECT_EQ(ReadAll(dir.Path("a.ini")), kPartial);
  EXPECT_NE(ReadAll(dir.Path("b.ini")).find("Timeout3=4500"), std::string::npos);
  for (Rig* r : {&plain, &window}) {
    EXPECT_EQ(r->Comms.Timeout_1, 100);
    EXPECT_EQ(r->Comms.Timeout_2, 2000);
    EXPECT_EQ(r->Comms.Timeout_3, 4500);
    EXPECT_EQ(r->Comms.Max_tries_cmd, 2);
    EXPECT_TRUE(r->Comms.Nyugtazas);
    EXPECT_FALSE(r->Comms.BroadcastVetele);
    EXPECT_EQ(r->Uploader.BlockLength, 256);
    EXPECT_EQ(r->Uploader.BatchSize(), 20);
    EXPECT_EQ(r->Uploader.TimeBetweenPcks(), 1);
  }
}

TEST(UpdateSettings, MissingFileGivesWhatAFreshSettingsFileGets) {
  TempDir dir;
  Rig r;
  TIniFile none(dir.Path("none.ini"));
  ApplyUpdateSettings(none, r.Comms, r.Uploader);
  EXPECT_EQ(r.Comms.Timeout_1, 300);
  EXPECT_EQ(r.Comms.Max_tries_cmd, 4);
  EXPECT_EQ(r.Comms.Switch_Direction_Time, 5);
  EXPECT_EQ(r.Uploader.BlockLength, 128);
  EXPECT_EQ(r.Uploader.CFLUDTimeout, 10000);
  EXPECT_EQ(r.Uploader.BatchSize(), 50);
  EXPECT_EQ(r.Comms.KRVMode(), TKRVMode::PMKRVWOnly);
  EXPECT_EQ(r.Comms.KRVAddress, 255u);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("none.ini")));
}

}  // namespace
}  // namespace vornik
