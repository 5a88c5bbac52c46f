// Devices that connect in: the simulated device dials the TCP server on the virtual loop (the
// in-memory server socket), the server hands it to an engine in server mode, and a whole firmware
// upload and a flash write and read run over that socket. The device hangs up when it restarts and
// dials again with its announce frame; the server gives the new socket to the same engine.
#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>
#include <memory>
#include <set>

#include "comms/KRVComms.h"
#include "comms/KRVTCPServer.h"
#include "firmware/uHexfileToStr.h"
#include "logging/uNaploComponent.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"
#include "sim/SimDevice.h"
#include "sim/SimDialIn.h"
#include "sim/SimRig.h"
#include "testkit/FlashRoundTrip.h"
#include "testkit/MemoryLink.h"
#include "testkit/MemoryServerSocket.h"
#include "testkit/SimDialer.h"
#include "testkit/VirtualLoop.h"

namespace vornik::simtest {
namespace {

// One log file per test process: cases run side by side must not share it.
std::string LogPath() {
  return (std::filesystem::temp_directory_path() / ("vornik_sim_server_" + std::to_string(::getpid()) + ".log")).string();
}

struct TLines : TLogMemo {
  void AddLine(const std::string& Line) override { Lines.push_back(Line); }
  int Count(const std::string& Text) const {
    return static_cast<int>(std::count_if(Lines.begin(), Lines.end(),
                                          [&](const std::string& L) { return L.find(Text) != std::string::npos; }));
  }
  std::vector<std::string> Lines;
};

using testing::TDialingDevice;

struct TServerBench {
  explicit TServerBench(bool Announce, TSimDeviceConfig C = {}) : sockets(loop, 1), links(loop, nullptr), comms(loop, links) {
    naplo.SetLogging(true);
    naplo.SetLogTime(false);
    naplo.SetLogFile(LogPath());
    naplo.SetLogMemo(&lines);
    server.SetNaploKomponens(&naplo);
    server.SetActive(true);
    comms.SeedRandom(5);
    comms.KRVAddress = C.Address;
    comms.SetKRVMode(TKRVMode::PMDecodeBothEncodeKRVW);
    comms.Timeout_3 = 4500;  // the queue waits for a lost link as the update settings ship it
    comms.WsServerMode = true;
    comms.KRVTCPServer = &server;
    comms.SetActive(true);
    device = std::make_unique<TDialingDevice>(loop, *sockets.Last, C, Announce);
    device->Dial();
  }
  ~TServerBench() {
    comms.SetActive(false);  // connections end while the device is still there
    server.SetActive(false);
    device.reset();
    std::filesystem::remove(LogPath());
  }
  testkit::VirtualLoop loop;
  testkit::MemoryServerSocketFactory sockets;
  testkit::MemoryLinkFactory links;
  TNaploComponent naplo{loop};
  TLines lines;
  TKRVTCPServer server{loop, sockets};
  TKRVComms comms;
  std::unique_ptr<TDialingDevice> device;
};

TEST(SimServer, UploadOverADialledInConnectionSurvivesTheRestarts) {
  struct {
    const char* name;
    bool announce;
    bool batched;
  } cases[] = {{"asked at 6 s", false, false}, {"announced, batched", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TServerBench b(c.announce);
    b.comms.SetNaploKomponens(&b.naplo);
    ASSERT_TRUE(b.loop.runUntil([&] { return b.comms.IsConnected(); }, 7000));
    EXPECT_EQ(b.loop.nowMs() >= 6000, !c.announce);
    TFirmwareUploader up(b.loop);
    up.SetKRVPort(&b.comms);
    up.BlockLength = 256;
    up.BatchedMode = c.batched;
    const std::string plain = Pattern(20000, 3);
    std::string image = plain;
    ScrambleImage(image, 0x4000);
    up.FWAddress = 0x4000;
    std::vector<TFWUploadResult> results;
    up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult R) { results.push_back(R); };
    up.UploadFromStr(image);
    b.loop.runUntil([&] { return !results.empty(); }, 10 * 60 * 1000);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], TFWUploadResult::fwrOk) << up.FWUploadResultToStr(results[0]);
    EXPECT_TRUE(b.device->dev.InstalledImage() == plain);
    EXPECT_EQ(b.device->dev.Restarts(), 1);
    EXPECT_EQ(b.lines.Count("Vornik: BeforeInstallChecked"), 0);
    // Dialled in three times: at the start, after the restart, after the install.
    b.loop.advance(2000);
    EXPECT_EQ(b.device->dial.Dials(), 3);
    EXPECT_EQ(b.lines.Count("magától küldött"), c.announce ? 3 : 2);
    EXPECT_EQ(b.lines.Count("CSYSI elküldve"), c.announce ? 0 : 1);
    EXPECT_TRUE(b.comms.IsConnected());
    EXPECT_EQ(b.server.Clients().size(), 1u);
  }
}

// A dialled-in device that answers and hangs up at once (it calls back RestartMs later, with its
// announce frame): the answer that came just before the hang-up ends its exchange, so the
// install ends without its time-out and without the lost-answer check.
TEST(SimServer, AnswerThenHangUpOverADialledInConnection) {
  for (const char* code : {"CFLUD", "CSYSI", "CFLUL"}) {
    SCOPED_TRACE(code);
    TServerBench b(true);
    b.comms.SetNaploKomponens(&b.naplo);
    b.device->dev.Faults.HangUpAfter = {code};
    ASSERT_TRUE(b.loop.runUntil([&] { return b.comms.IsConnected(); }, 1000));
    TFirmwareUploader up(b.loop);
    up.SetKRVPort(&b.comms);
    up.BlockLength = 256;
    const std::string plain = Pattern(6000, 4);
    std::string image = plain;
    ScrambleImage(image, 0x4000);
    up.FWAddress = 0x4000;
    std::vector<TFWUploadResult> results;
    up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult R) { results.push_back(R); };
    up.UploadFromStr(image);
    b.loop.runUntil([&] { return !results.empty(); }, 10 * 60 * 1000);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], TFWUploadResult::fwrOk) << up.FWUploadResultToStr(results[0]);
    if (results[0] != TFWUploadResult::fwrOk && std::getenv("VORNIK_TRACE") != nullptr)
      for (const auto& l : b.lines.Lines) std::printf("%s\n", l.c_str());
    EXPECT_TRUE(b.device->dev.InstalledImage() == plain);
    EXPECT_GE(b.device->dev.Counters.HangUps, 1);
    EXPECT_EQ(b.lines.Count("Vornik: BeforeInstallChecked"), 0);
    EXPECT_EQ(b.lines.Count("PAR. SIKERTELEN"), 0);
    b.comms.SetNaploKomponens(nullptr);
  }
}

TEST(SimServer, FlashWriteAndReadOverADialledInConnection) {
  TSimDeviceConfig cfg;
  cfg.FlashPages = 64;
  TServerBench b(true, cfg);
  ASSERT_TRUE(b.loop.runUntil([&] { return b.comms.IsConnected(); }, 1000));
  const std::string data = Pattern(3000, 8);
  const testkit::TFlashRoundTrip r = testkit::FlashRoundTrip(b.loop, b.comms, 3, data);
  EXPECT_EQ(r.Results, (std::vector<TFlashRWResult>{TFlashRWResult::freOk, TFlashRWResult::freOk}));
  EXPECT_EQ(r.Read, data);
  // Deactivating the engine closes its socket and unregisters it; the device dials again.
  b.comms.SetActive(false);
  EXPECT_TRUE(b.server.Comms().empty());
  b.loop.advance(1500);
  EXPECT_EQ(b.device->dial.Dials(), 2);
  EXPECT_EQ(b.lines.Count("Ismeretlen című készülék."), 1);
}

}  // namespace
}  // namespace vornik::simtest
