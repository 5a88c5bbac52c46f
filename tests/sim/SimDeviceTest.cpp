// The simulated device driven with frames built by the frame codec: line behaviour (formats,
// addresses, acknowledgements, ids, chunking), every command, the upload and install course with
// its CRC check, the external flash, the batch receipts and the link being cut.
#include <gtest/gtest.h>

#include "firmware/KRVDataUtils.h"
#include "firmware/uHexfileToStr.h"
#include "sim/SimDevice.h"
#include "sim/SimRig.h"
#include "util/MorvelUtils.h"

namespace vornik::simtest {
namespace {

constexpr uint32_t kAddr = 178556;  // 0x2B97C: KRV address 0x7C

// ---------------------------------------------------------------- line behaviour

TEST(SimDeviceLine, AnswersInTheFormatOfTheRequestFromItsOwnAddress) {
  for (bool krvw : {false, true}) {
    SCOPED_TRACE(krvw ? "KRVW" : "KRV");
    TSimRig rig;
    rig.Send("CSYSI", krvw, 17);
    ASSERT_EQ(rig.Out.size(), 1u);
    const TOut& a = rig.Out[0];
    EXPECT_EQ(a.Result, drOK);
    EXPECT_EQ(a.Krvw, krvw);
    EXPECT_EQ(a.Src, krvw ? kAddr : (kAddr & 0xFF));
    EXPECT_EQ(a.Dst, 250u);
    EXPECT_EQ(a.Id, 17u);
    EXPECT_EQ(a.Info, TInfo::nem_kerek_nyugtat);
    EXPECT_EQ(a.AtMs, 1);  // the turnaround time
    ASSERT_EQ(a.Payload.size(), 5u + 66u);
    TDeviceInfo info;
    std::string text;
    ASSERT_EQ(DecodeDeviceInfo(a.Payload, info, text), 0);
    EXPECT_EQ(std::string(info.BuildID.data(), 5), "B0042");
    EXPECT_EQ(info.ProjectNumber, 42);
    EXPECT_EQ(info.RxBufLen, 1024);
    EXPECT_EQ(info.CPUType, 30);
    EXPECT_EQ(info.BootloaderRunning, 0);
    EXPECT_NE(text.find("2026-01-15 10:30"), std::string::npos) << text;
    EXPECT_NE(text.find(" Név: Vornik simulated device"), std::string::npos) << text;
    EXPECT_NE(text.find(" [a FW fut]"), std::string::npos) << text;
  }
}

TEST(SimDeviceLine, IdentityRecordFieldsAreConfigurable) {
  TSimDeviceConfig c;
  c.BuildID = "XY123";
  c.BuildName = "NAME01";
  c.ProjectNumber = 0x1234;
  c.DeviceType = 50;
  c.RxBufLen = 256;
  c.TxBufLen = 300;
  c.DeviceName = "Pump house";
  c.BLRev = 9;
  c.UptimeBase = 100;
  c.CPUType = 21;
  c.Voltage = 0x0102;
  c.StartInBootloader = true;
  TSimRig rig(c);
  rig.AdvanceTo(5000);
  TDeviceInfo info;
  std::string text;
  ASSERT_EQ(DecodeDeviceInfo(rig.Ask("CSYSI"), info, text), 0);
  EXPECT_EQ(std::string(info.BuildName.data(), 6), "NAME01");
  EXPECT_EQ(info.ProjectNumber, 0x1234);
  EXPECT_EQ(info.DeviceType, 50);
  EXPECT_EQ(info.RxBufLen, 256);
  EXPECT_EQ(info.TxBufLen, 300);
  EXPECT_EQ(info.BLRev, 9);
  EXPECT_EQ(info.Uptime, 105u);  // base + whole seconds since the start
  EXPECT_EQ(info.BootloaderRunning, 1);
  EXPECT_EQ(info.CPUType, 21);
  EXPECT_EQ(info.Voltage, 0x0102);
  EXPECT_NE(text.find("NodeCtrl"), std::string::npos) << text;
  EXPECT_NE(text.find(" [a BL fut]"), std::string::npos) << text;
}

TEST(SimDeviceLine, AcknowledgesBeforeTheAnswerWithTheSameId) {
  for (bool krvw : {false, true}) {
    TSimRig rig;
    rig.Send("CSYSI", krvw, 33, TInfo::kerek_nyugtat);
    ASSERT_EQ(rig.Out.size(), 2u);
    EXPECT_EQ(rig.Out[0].Info, TInfo::pozitiv_nyugta);
    EXPECT_EQ(rig.Out[0].Id, 33u);
    EXPECT_TRUE(rig.Out[0].Payload.empty());
    EXPECT_EQ(rig.Out[0].Krvw, krvw);
    EXPECT_EQ(rig.Out[1].Info, TInfo::nem_kerek_nyugtat);
    EXPECT_EQ(rig.Out[1].Id, 33u);
    EXPECT_EQ(rig.Out[1].Payload.substr(0, 5), "ASYSI");
    // A command without an answer gets just the acknowledgement.
    rig.Out.clear();
    rig.Send("CBLUD", krvw, 34, TInfo::kerek_nyugtat);
    ASSERT_EQ(rig.Out.size(), 1u);
    EXPECT_EQ(rig.Out[0].Info, TInfo::pozitiv_nyugta);
  }
}

TEST(SimDeviceLine, TakesOnlyFramesForItsAddressOrBroadcast) {
  struct {
    const char* what;
    bool krvw;
    uint32_t to;
    bool answered;
  } cases[] = {
      {"KRV own low byte", false, kAddr, true},
      {"KRV other device", false, 0x7D, false},
      {"KRV broadcast", false, 255, true},
      {"KRVW own address", true, kAddr, true},
      {"KRVW same low byte, other device", true, kAddr + 0x100, false},
      {"KRVW low byte only", true, kAddr & 0xFF, false},
      {"KRVW broadcast 255", true, 255, true},
      {"KRVW broadcast all ones", true, 0xFFFFFFFF, true},
  };
  for (const auto& c : cases) {
    TSimRig rig;
    rig.FeedRaw(TSimRig::Frame("CSYSI", c.krvw, 5, TInfo::kerek_nyugtat, c.to));
    rig.Advance(5);
    EXPECT_EQ(rig.Out.size(), c.answered ? 2u : 0u) << c.what;
    EXPECT_EQ(rig.Dev.Counters.ForOthers, c.answered ? 0 : 1) << c.what;
  }
}

TEST(SimDeviceLine, SameAnswerWholeByteByByteAndAmidJunk) {
  const std::string frame = TSimRig::Frame("CSYSI", true, 9);
  const std::string krv = TSimRig::Frame("CSYSI", false, 10);
  std::vector<std::vector<std::string>> feeds = {
      {frame},
      {},
      {std::string("\x01\x02\xFE", 3) + frame.substr(0, 4), frame.substr(4) + "\x33"},
      {frame + krv},
  };
  for (char c : frame) feeds[1].push_back(std::string(1, c));
  for (std::size_t i = 0; i < feeds.size(); ++i) {
    TSimRig rig;
    for (const auto& chunk : feeds[i]) rig.FeedRaw(chunk);
    rig.Advance(5);
    const std::size_t want = i == 3 ? 2u : 1u;
    ASSERT_EQ(rig.Out.size(), want) << "feed " << i;
    EXPECT_EQ(rig.Out[0].Id, 9u);
    EXPECT_TRUE(rig.Out[0].Krvw);
    if (i == 3) {
      EXPECT_FALSE(rig.Out[1].Krvw);
      EXPECT_EQ(rig.Out[1].Id, 10u);
    }
  }
}

TEST(SimDeviceLine, RefusesDamagedFramesAndLogsThem) {
  TSimRig rig;
  std::string frame = TSimRig::Frame("CSYSI", false, 9);
  frame[frame.size() - 2] = static_cast<char>(frame[frame.size() - 2] == 0x21 ? 0x22 : 0x21);
  rig.FeedRaw(frame);
  rig.Advance(5);
  EXPECT_TRUE(rig.Out.empty());
  EXPECT_EQ(rig.Dev.Counters.BadFrames, 1);
  ASSERT_EQ(rig.Dev.RequestLog.size(), 1u);
  EXPECT_NE(rig.Dev.RequestLog[0].find("ROSSZ CHSUM"), std::string::npos) << rig.Dev.RequestLog[0];
  // Endless garbage without a stop byte does not grow the buffer without bound, and the device
  // still answers the next good frame.
  rig.FeedRaw(std::string(100000, '\x41'));
  rig.FeedRaw(TSimRig::Frame("CSYSI", true, 11));
  rig.Advance(5);
  ASSERT_EQ(rig.Out.size(), 1u);
  EXPECT_EQ(rig.Out[0].Id, 11u);
}

TEST(SimDeviceLine, OneLogLinePerRequest) {
  TSimRig rig;
  rig.Send("CSYSI", true, 3);
  rig.Send(BuildCFLTS(1000, 1), true, 4, TInfo::kerek_nyugtat);
  rig.Send("CXXXX", false, 5);
  ASSERT_EQ(rig.Dev.RequestLog.size(), 3u);
  EXPECT_NE(rig.Dev.RequestLog[0].find("KRVW from 250 id   3 CSYSI -> ASYSI 66 bytes"), std::string::npos)
      << rig.Dev.RequestLog[0];
  EXPECT_NE(rig.Dev.RequestLog[1].find("CFLTS length 1000, flag 1 [ack] -> no answer"), std::string::npos)
      << rig.Dev.RequestLog[1];
  EXPECT_NE(rig.Dev.RequestLog[2].find("KRV  from 250 id   5 CXXXX -> ASYER CXXXX (unknown command)"),
            std::string::npos)
      << rig.Dev.RequestLog[2];
  // A long-running device keeps only the latest lines; the handler still sees every one.
  int seen = 0;
  rig.Dev.OnRequest = [&](const std::string&) { ++seen; };
  rig.Dev.RequestLogLimit = 2;
  rig.Send("CSYSI", true, 6);
  rig.Send("CSYSI", true, 7);
  EXPECT_EQ(seen, 2);
  ASSERT_EQ(rig.Dev.RequestLog.size(), 2u);
  EXPECT_NE(rig.Dev.RequestLog[1].find("id   7"), std::string::npos);
}

// ---------------------------------------------------------------- restart and erase

TEST(SimDeviceCommands, RestartIsSilentThenRunsBootloaderOnlyWhileAnUploadIsPending) {
  TSimDeviceConfig c;
  c.RestartMs = 500;
  TSimRig rig(c);
  rig.Send("CSYRS", true, 1);
  EXPECT_TRUE(rig.Out.empty());
  EXPECT_TRUE(rig.Dev.Restarting(rig.Now()));
  EXPECT_EQ(rig.Ask("CSYSI"), "");  // still restarting
  rig.AdvanceTo(510);
  TDeviceInfo info;
  std::string text;
  ASSERT_EQ(DecodeDeviceInfo(rig.Ask("CSYSI"), info, text), 0);
  EXPECT_EQ(info.BootloaderRunning, 0);
  EXPECT_EQ(info.Uptime, 0u);

  // An announced upload makes the next restart come back in the bootloader.
  rig.Send(BuildCFLTS(300, 1), true, 2);
  EXPECT_TRUE(rig.Dev.UploadPending());
  rig.Send("CSYRS", false, 3);
  rig.Advance(600);
  ASSERT_EQ(DecodeDeviceInfo(rig.Ask("CSYSI", false), info, text), 0);
  EXPECT_EQ(info.BootloaderRunning, 1);
  EXPECT_EQ(rig.Dev.Restarts(), 2);
}

TEST(SimDeviceCommands, EraseAnswersAfterTheEraseTime) {
  TSimDeviceConfig c;
  c.EraseMs = 2000;
  TSimRig rig(c);
  rig.Dev.Flash()[0] = 'A';
  rig.Send("CELFE", true, 8, TInfo::kerek_nyugtat);
  ASSERT_EQ(rig.Out.size(), 1u);  // the acknowledgement at once
  EXPECT_EQ(rig.Out[0].Info, TInfo::pozitiv_nyugta);
  EXPECT_EQ(rig.Dev.Flash()[0], 'A');
  rig.AdvanceTo(1999);
  EXPECT_EQ(rig.Out.size(), 1u);
  rig.AdvanceTo(2001);
  ASSERT_EQ(rig.Out.size(), 2u);
  EXPECT_EQ(rig.Out[1].Payload, "AELFE");
  EXPECT_EQ(rig.Out[1].Id, 8u);
  EXPECT_EQ(rig.Out[1].AtMs, 2001);
  EXPECT_EQ(rig.Dev.Flash()[0], '\xFF');
}

// ---------------------------------------------------------------- upload and install

struct TUpload {
  std::string Plain;      // the image as it runs
  std::string Scrambled;  // the image as it is sent
  int32_t Start = 0x4000;
};

TUpload MakeImage(std::size_t Length, int32_t Start = 0x4000, unsigned Salt = 0) {
  TUpload u;
  u.Start = Start;
  u.Plain = Pattern(Length, Salt);
  u.Scrambled = u.Plain;
  ScrambleImage(u.Scrambled, Start);
  return u;
}

/// Sends every block as the uploader does (page index rules included); returns the statuses.
std::vector<int> SendBlocks(TSimRig& Rig, const TUpload& U, std::size_t BlockLength, bool Krvw = true) {
  std::vector<int> statuses;
  uint16_t counter = BlockLength >= 128 ? 0 : 0x8000;
  unsigned id = 20;
  for (std::size_t pos = 0; pos < U.Scrambled.size(); pos += BlockLength) {
    const auto page = static_cast<uint16_t>(U.Start / 128 + counter);
    const std::string a =
        Rig.Ask(BuildCFLUL(page, true, std::string_view(U.Scrambled).substr(pos, BlockLength)), Krvw, id++);
    const auto s = AnswerStatus(a, kAFLUL);
    statuses.push_back(s ? *s : -1);
    counter = static_cast<uint16_t>(counter + (BlockLength >= 128 ? BlockLength / 128 : 1));
  }
  return statuses;
}

std::string Install(TSimRig& Rig, const TUpload& U, bool Krvw = true) {
  return Rig.Ask(BuildCFLUD(static_cast<uint32_t>(U.Scrambled.size()), Crc16(U.Scrambled),
                            static_cast<uint16_t>(U.Start / 128)),
                 Krvw, 99);
}

TEST(SimDeviceUpload, FullCourseInstallsTheUnscrambledImage) {
  for (std::size_t blockLength : {256u, 128u, 64u, 100u}) {
    SCOPED_TRACE(blockLength);
    TSimRig rig;
    const TUpload u = MakeImage(3000);
    EXPECT_EQ(rig.Ask(BuildCFLULProbe()), BuildAFLUL(0));
    rig.Send(BuildCFLTS(3000, 0), true, 2);
    for (int s : SendBlocks(rig, u, blockLength)) ASSERT_EQ(s, 0);
    // The firmware cannot install; the bootloader can.
    EXPECT_EQ(Install(rig, u).substr(0, 5), "ASYER");
    rig.Send("CSYRS", true, 3);
    rig.Advance(400);
    EXPECT_TRUE(rig.Dev.BootloaderRunning());
    EXPECT_EQ(Install(rig, u), BuildAFLUD(0));
    EXPECT_EQ(rig.Dev.InstalledImage(), u.Plain);
    ASSERT_TRUE(rig.Dev.LastInstall());
    EXPECT_EQ(rig.Dev.LastInstall()->Length, 3000u);
    EXPECT_EQ(rig.Dev.LastInstall()->Crc, Crc16(u.Scrambled));
    EXPECT_EQ(rig.Dev.LastInstall()->StartPage, 128);
    EXPECT_FALSE(rig.Dev.BootloaderRunning());
    EXPECT_FALSE(rig.Dev.UploadPending());
    // A repeat of the same install (its answer lost) is confirmed by the new firmware.
    EXPECT_EQ(Install(rig, u), BuildAFLUD(0));
    EXPECT_EQ(rig.Dev.Installs(), 1);
  }
}

TEST(SimDeviceUpload, RejectedInstallFallsBackToTheOldFirmware) {
  TSimDeviceConfig c;
  c.StartInBootloader = true;
  TSimFaults f;
  f.RejectInstall = true;
  TSimRig rig(c, f);
  int installed = 0;
  rig.Dev.OnInstalled = [&](const TSimInstall&) { ++installed; };
  const TUpload u = MakeImage(1000);
  rig.Send(BuildCFLTS(1000, 0), true, 2);
  for (int s : SendBlocks(rig, u, 256)) ASSERT_EQ(s, 0);
  EXPECT_EQ(Install(rig, u), BuildAFLUD(kAFLUDChecksumWrong));
  EXPECT_FALSE(rig.Dev.BootloaderRunning());  // the old firmware runs again
  EXPECT_FALSE(rig.Dev.UploadPending());
  EXPECT_TRUE(rig.Dev.InstalledImage().empty());
  EXPECT_FALSE(rig.Dev.LastInstall().has_value());
  EXPECT_EQ(installed, 0);
  // Asked again (its answer was lost), the old firmware does not confirm the image.
  EXPECT_EQ(Install(rig, u).substr(0, 5), "ASYER");
  // A restart now brings the firmware back, not the bootloader: the upload was given up.
  rig.Send("CSYRS", true, 3);
  rig.Advance(400);
  EXPECT_FALSE(rig.Dev.BootloaderRunning());
}

TEST(SimDeviceUpload, InstallSummaryAndCallback) {
  TSimDeviceConfig c;
  c.StartInBootloader = true;
  TSimRig rig(c);
  std::vector<TSimInstall> seen;
  rig.Dev.OnInstalled = [&](const TSimInstall& I) { seen.push_back(I); };
  const TUpload u = MakeImage(1000);
  rig.Send("CBLUD", true, 1, TInfo::kerek_nyugtat);
  rig.Send(BuildCFLTS(1000, 0), true, 2);
  SendBlocks(rig, u, 256);
  EXPECT_EQ(Install(rig, u), BuildAFLUD(0));
  ASSERT_EQ(seen.size(), 1u);
  char want[128];
  std::snprintf(want, sizeof want, "Installed bootloader: 1000 bytes, CRC 0x%04X, start page 128 (address 0x00004000)",
                Crc16(u.Scrambled));
  EXPECT_EQ(seen[0].Summary(), want);
}

TEST(SimDeviceUpload, CrcMismatchAndMissingBlocksGiveStatusOne) {
  TSimDeviceConfig c;
  c.StartInBootloader = true;
  TSimRig rig(c);
  const TUpload u = MakeImage(1000);
  rig.Send(BuildCFLTS(1000, 0), true, 2);
  SendBlocks(rig, u, 128);
  // A wrong CRC.
  EXPECT_EQ(rig.Ask(BuildCFLUD(1000, static_cast<uint16_t>(Crc16(u.Scrambled) ^ 1), 128)), BuildAFLUD(1));
  // A block that never came: a fresh upload without its third block.
  rig.Send(BuildCFLTS(1000, 0), true, 3);
  for (std::size_t pos = 0, page = 128; pos < 1000; pos += 128, ++page)
    if (pos != 256) rig.Ask(BuildCFLUL(static_cast<uint16_t>(page), true, u.Scrambled.substr(pos, 128)));
  EXPECT_EQ(Install(rig, u), BuildAFLUD(1));
  EXPECT_TRUE(rig.Dev.InstalledImage().empty());
  EXPECT_TRUE(rig.Dev.BootloaderRunning());
  // The missing block, then the install works.
  rig.Ask(BuildCFLUL(130, true, u.Scrambled.substr(256, 128)));
  EXPECT_EQ(Install(rig, u), BuildAFLUD(0));
  EXPECT_EQ(rig.Dev.InstalledImage(), u.Plain);
}

TEST(SimDeviceUpload, BlockStatusesAndRefusals) {
  {  // a page beyond the program flash
    TSimDeviceConfig c;
    c.ProgramFlashBytes = 0x4000 + 256;
    TSimRig rig(c);
    const TUpload u = MakeImage(600);
    EXPECT_EQ(SendBlocks(rig, u, 256), (std::vector<int>{0, 1, 1}));
  }
  {  // statuses in turn for one page, then normal
    TSimFaults f;
    f.BlockStatuses[129] = {2, 2};
    TSimRig rig({}, f);
    const std::string block(128, 'b');
    EXPECT_EQ(rig.Ask(BuildCFLUL(129, true, block)), BuildAFLUL(2));
    EXPECT_EQ(rig.Ask(BuildCFLUL(129, true, block)), BuildAFLUL(2));
    EXPECT_FALSE(rig.Dev.ReceivedBlocks().contains(129));
    EXPECT_EQ(rig.Ask(BuildCFLUL(129, true, block)), BuildAFLUL(0));
    EXPECT_TRUE(rig.Dev.ReceivedBlocks().contains(129));
  }
  {  // not compatible
    TSimFaults f;
    f.NotCompatible = true;
    TSimRig rig({}, f);
    EXPECT_EQ(rig.Ask(BuildCFLUL(128, true, std::string(128, 'b'))), BuildAFLUL(4));
  }
  {  // a firmware that takes no blocks refuses the probe and the blocks; its bootloader takes them
    TSimDeviceConfig c;
    c.FirmwareAcceptsBlocks = false;
    TSimRig rig(c);
    EXPECT_EQ(rig.Ask(BuildCFLULProbe()), "ASYERCFLUL");
    EXPECT_EQ(rig.Ask(BuildCFLUL(128, true, std::string(128, 'b'))), "ASYERCFLUL");
    EXPECT_TRUE(rig.Dev.ReceivedBlocks().empty());
    rig.Send(BuildCFLTS(128, 0), true, 1);
    rig.Send("CSYRS", true, 2);
    rig.Advance(400);
    EXPECT_EQ(rig.Ask(BuildCFLULProbe()), BuildAFLUL(0));
    EXPECT_EQ(rig.Ask(BuildCFLUL(128, true, std::string(128, 'b'))), BuildAFLUL(0));
  }
  {  // a block without the answer flag is stored silently; a malformed one is refused
    TSimRig rig;
    EXPECT_EQ(rig.Ask(BuildCFLUL(128, false, std::string(128, 'b'))), "");
    EXPECT_TRUE(rig.Dev.ReceivedBlocks().contains(128));
    EXPECT_EQ(rig.Ask("CFLUL\x01"), "ASYERCFLUL");
  }
}

TEST(SimDeviceUpload, InstallStatusesOnRequestThenTheRealCheck) {
  TSimDeviceConfig c;
  c.StartInBootloader = true;
  TSimFaults f;
  f.InstallStatuses = {2, 3};
  TSimRig rig(c, f);
  const TUpload u = MakeImage(500);
  rig.Send(BuildCFLTS(500, 0), true, 1);
  SendBlocks(rig, u, 128);
  EXPECT_EQ(Install(rig, u), BuildAFLUD(2));
  EXPECT_EQ(Install(rig, u), BuildAFLUD(3));
  EXPECT_TRUE(rig.Dev.InstalledImage().empty());
  EXPECT_EQ(Install(rig, u), BuildAFLUD(0));
  EXPECT_EQ(rig.Dev.InstalledImage(), u.Plain);
}

TEST(SimDeviceUpload, StateSurvivesTheLinkBeingCut) {
  TSimRig rig;
  const TUpload u = MakeImage(1024);
  rig.Send(BuildCFLTS(1024, 0), true, 1);
  TUpload firstHalf = u;
  firstHalf.Scrambled.resize(512);
  SendBlocks(rig, firstHalf, 256);
  // The answer to a request in flight is lost with the link; the blocks stay.
  rig.FeedRaw(TSimRig::Frame("CSYSI", true, 50));
  rig.Dev.LinkDown();
  rig.Advance(10);
  rig.Out.clear();
  EXPECT_EQ(rig.Dev.ReceivedBlocks().size(), 2u);
  rig.Dev.LinkUp();
  // The rest, then restart and install.
  std::string rest = u.Scrambled.substr(512);
  EXPECT_EQ(rig.Ask(BuildCFLUL(132, true, rest.substr(0, 256))), BuildAFLUL(0));
  EXPECT_EQ(rig.Ask(BuildCFLUL(134, true, rest.substr(256))), BuildAFLUL(0));
  rig.Send("CSYRS", true, 2);
  rig.Dev.LinkDown();  // the program closes the port after the restart
  rig.Advance(400);
  rig.Dev.LinkUp();
  EXPECT_TRUE(rig.Dev.BootloaderRunning());
  EXPECT_EQ(Install(rig, u), BuildAFLUD(0));
  EXPECT_EQ(rig.Dev.InstalledImage(), u.Plain);
  EXPECT_GE(rig.Dev.Counters.DroppedOut, 1);
}

// ---------------------------------------------------------------- external flash

TEST(SimDeviceFlash, WritesAndReadsPages) {
  for (uint32_t pageSize : {264u, 528u}) {
    SCOPED_TRACE(pageSize);
    TSimDeviceConfig c;
    c.FlashPages = 16;
    c.FlashPageSize = pageSize;
    TSimRig rig(c);
    const std::string data = Pattern(pageSize, 5);
    EXPECT_EQ(rig.Ask(BuildCFLPW(3, true, data)), BuildAFLPW(0));
    EXPECT_EQ(rig.Ask(BuildCFLPW(4, true, "short")), BuildAFLPW(0));
    EXPECT_EQ(rig.Dev.Flash().substr(3 * pageSize, pageSize), data);
    EXPECT_EQ(rig.Ask(BuildCFLRC(3, 0, 255)), BuildAFLRC(data.substr(0, 255)));
    EXPECT_EQ(rig.Ask(BuildCFLRC(3, 255, 9)), BuildAFLRC(data.substr(255, 9)));
    // The rest of a shortly written page keeps its old (erased) content.
    EXPECT_EQ(rig.Ask(BuildCFLRC(4, 0, 8)), BuildAFLRC("short\xFF\xFF\xFF"));
    // Beyond the flash: status 1 for a write, no data for a read, a clipped read at the end.
    EXPECT_EQ(rig.Ask(BuildCFLPW(16, true, data)), BuildAFLPW(1));
    EXPECT_EQ(rig.Ask(BuildCFLRC(16, 0, 10)), BuildAFLRC(""));
    EXPECT_EQ(rig.Ask(BuildCFLRC(15, static_cast<uint16_t>(pageSize - 4), 10)), BuildAFLRC("\xFF\xFF\xFF\xFF"));
    // More than a page at once is a write error; a page without the answer flag is written silently.
    EXPECT_EQ(rig.Ask(BuildCFLPW(5, true, std::string(pageSize + 1, 'x'))), BuildAFLPW(2));
    EXPECT_EQ(rig.Ask(BuildCFLPW(6, false, "quiet")), "");
    EXPECT_EQ(rig.Dev.Flash().substr(6 * pageSize, 5), "quiet");
  }
}

TEST(SimDeviceFlash, PageWriteStatusesInTurn) {
  TSimFaults f;
  f.PageWriteStatuses = {2, 3};
  TSimRig rig({}, f);
  EXPECT_EQ(rig.Ask(BuildCFLPW(0, true, "abc")), BuildAFLPW(2));
  EXPECT_EQ(rig.Ask(BuildCFLPW(0, true, "abc")), BuildAFLPW(3));
  EXPECT_EQ(rig.Dev.Flash().substr(0, 3), "\xFF\xFF\xFF");
  EXPECT_EQ(rig.Ask(BuildCFLPW(0, true, "abc")), BuildAFLPW(0));
  EXPECT_EQ(rig.Dev.Flash().substr(0, 3), "abc");
}

// ---------------------------------------------------------------- batch exchange

TEST(SimDeviceBatch, ReceiptMapMarksWhatArrived) {
  for (bool krvw : {true, false}) {
    SCOPED_TRACE(krvw ? "KRVW" : "KRV");
    TSimFaults f;
    f.BlockStatuses[133] = {2};  // the fifth block cannot be stored
    TSimRig rig({}, f);
    rig.Send("x", krvw, kBatchOpenerId, TInfo::kerek_nyugtat);
    ASSERT_EQ(rig.Out.size(), 1u);
    EXPECT_EQ(rig.Out[0].Info, TInfo::pozitiv_nyugta);
    EXPECT_EQ(rig.Out[0].Id, 249u);
    rig.Out.clear();
    rig.Send("CSYCA", krvw, kCSYCAId, TInfo::kerek_nyugtat);
    ASSERT_EQ(rig.Out.size(), 1u);
    EXPECT_EQ(rig.Out[0].Info, TInfo::pozitiv_nyugta);
    EXPECT_EQ(rig.Out[0].Id, 250u);
    EXPECT_TRUE(rig.Dev.CollectingBatch());
    rig.Out.clear();
    // Packets 1..8 with answer flag set, packet 3 lost on the way: no answers at all.
    for (unsigned id = 1; id <= 8; ++id)
      if (id != 3) rig.Send(BuildCFLUL(static_cast<uint16_t>(128 + id), true, std::string(128, 'a')), krvw, id);
    EXPECT_TRUE(rig.Out.empty());
    const std::string map = rig.Ask("CSYGA", krvw, 77);
    ASSERT_EQ(map.size(), 5u + 32u);
    EXPECT_EQ(map.substr(0, 5), "ASYGA");
    for (unsigned i = 0; i < 256; ++i) EXPECT_EQ(ReceiptBit(map, i), i >= 1 && i <= 8 && i != 3 && i != 5) << i;
    EXPECT_FALSE(rig.Dev.CollectingBatch());
    // A re-sent packet after the query is answered normally.
    EXPECT_EQ(rig.Ask(BuildCFLUL(131, true, std::string(128, 'a')), krvw, 3), BuildAFLUL(0));
    // The next batch starts from an empty map.
    rig.Send("CSYCA", krvw, kCSYCAId, TInfo::kerek_nyugtat);
    const std::string empty = rig.Ask("CSYGA", krvw, 78);
    for (unsigned i = 0; i < 256; ++i) EXPECT_FALSE(ReceiptBit(empty, i));
  }
}

TEST(SimDeviceBatch, IdentificationAndRestartAreNeverSwallowed) {
  TSimRig rig;
  rig.Send("CSYCA", true, kCSYCAId, TInfo::kerek_nyugtat);
  EXPECT_EQ(rig.Ask("CSYSI", true, 4).substr(0, 5), "ASYSI");
  rig.Send("CSYRS", true, 5);
  rig.Advance(400);
  // The restart ended the collecting: a block is answered again.
  EXPECT_FALSE(rig.Dev.CollectingBatch());
  EXPECT_EQ(rig.Ask(BuildCFLUL(128, true, std::string(128, 'a')), true, 6), BuildAFLUL(0));
  // An opener without an acknowledgement request still gets an answer.
  EXPECT_EQ(rig.Ask("x", true, kBatchOpenerId), "a");
}

}  // namespace
}  // namespace vornik::simtest
