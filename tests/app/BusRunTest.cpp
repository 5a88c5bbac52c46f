// Runs against several simulated devices on one serial line, on the virtual clock: a scan with
// gaps, a silent address and long addresses, a verified flash write (also over a lossy line and
// against a flash that does not keep what it was given), and the address lists and answer-time
// overrides these runs are given.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/BusScan.h"
#include "app/CreateMissingValuesIni.h"
#include "app/DeviceOperations.h"
#include "app/FirmwareLoader.h"
#include "app/FleetRun.h"
#include "app/HexText.h"
#include "app/TestFirmware.h"
#include "app/UpdateSettings.h"
#include "codec/KRVProtocol.h"
#include "sim/SimBus.h"
#include "testkit/MemoryLink.h"
#include "testkit/SimPeer.h"
#include "testkit/TempDir.h"
#include "testkit/VirtualLoop.h"
#include "util/Sha256.h"

namespace vornik {
namespace {

using testkit::MemoryLinkFactory;
using testkit::VirtualLoop;

constexpr int64_t kLimitMs = 600 * 1000;

class BusRun : public ::testing::Test {
 protected:
  BusRun() : File(Dir.Path("none.ini")), Peer(Loop, Bus) {
    test::WriteAll(Port, "");
    std::filesystem::create_symlink(Port, OtherName);
  }

  /// The bus on Port (any name that leads to it) at the connection's baud rate; nobody answers
  /// anywhere else.
  TSessionPlatform Platform() {
    TSessionPlatform p;
    p.Loop = &Loop;
    p.MakeLinks = [this](const TConnection& C, int, TNaploComponent&) -> std::unique_ptr<PortLinkFactory> {
      testkit::MemoryLinkSettings s;
      s.LatencyMs = 1;
      s.Baud = C.Baud;
      std::error_code ec;
      const bool bus = C.Serial && std::filesystem::equivalent(C.Path, Port, ec);
      if (!bus) s.OpenResult = testkit::MemoryLinkSettings::Open::Missing;
      auto f = std::make_unique<MemoryLinkFactory>(Loop, &Peer, s);
      f->Faults = LineFaults;
      Links = f.get();
      return f;
    };
    return p;
  }

  TConnection Serial(uint32_t Address = 255, std::string Path = {}) const {
    TConnection c;
    c.Serial = true;
    c.Path = Path.empty() ? Port : Path;
    c.Address = Address;
    return c;
  }

  TScanOutcome Scan(const std::string& List, std::optional<TConnection> Given = std::nullopt) {
    const TConnection C = Given.value_or(Serial());
    std::string error;
    const auto addresses = ParseAddressList(List, error);
    EXPECT_TRUE(addresses) << error;
    TAnswerTimeSettings settings(File, TAnswerTimes{{50}, 1});
    TDeviceSession session(Platform(), C, settings, "");
    TBusScan scan(session);
    std::optional<TScanOutcome> out;
    scan.Start(addresses.value_or(std::vector<uint32_t>{}), [&](const TScanOutcome& O) { out = O; });
    EXPECT_TRUE(Loop.runUntil([&] { return out.has_value(); }, kLimitMs));
    if (Links != nullptr && Links->Last != nullptr) Written = Links->Last->Writes;
    return out.value_or(TScanOutcome{});
  }

  static std::vector<uint32_t> Senders(const TScanOutcome& O) {
    std::vector<uint32_t> v;
    for (const auto& d : O.Devices) v.push_back(*d.Sender);
    return v;
  }

  TFlashOutcome Write(uint32_t Address, const std::string& Data, uint16_t StartPage) {
    TDeviceSession session(Platform(), Serial(Address), File, "");
    TDeviceOperation op(session);
    TFlashRequest r;
    r.StartPage = StartPage;
    r.Data = Data;
    r.Verify = true;
    std::optional<TFlashOutcome> out;
    op.WriteFlash(r, [&](const TFlashOutcome& O) { out = O; });
    EXPECT_TRUE(Loop.runUntil([&] { return out.has_value(); }, kLimitMs));
    return out.value_or(TFlashOutcome{});
  }

  static std::string Pattern(std::size_t N) {
    std::string s(N, '\0');
    for (std::size_t i = 0; i < N; ++i) s[i] = static_cast<char>((i * 7 + i / 253) & 0xFF);
    return s;
  }

  TSimDevice& Add(uint32_t Address) {
    TSimDeviceConfig c;
    c.Address = Address;
    c.FlashPages = 64;
    return Bus.Add(c);
  }

  test::TempDir Dir;
  const std::string Port = Dir.Path("ttyBUS0");
  const std::string OtherName = Dir.Path("usb-Bus_Adapter-if00");
  VirtualLoop Loop;
  TIniFile File;
  TSimBus Bus;
  testing::TSimBusPeer Peer;
  testkit::MemoryLinkFaults LineFaults;
  MemoryLinkFactory* Links = nullptr;
  std::vector<testkit::MemoryLink::Write> Written;  ///< what the last scan wrote
};

TEST_F(BusRun, ScanListsEveryDeviceThatAnswersInAddressOrder) {
  for (uint32_t a : {7u, 5u, 6u, 20u, 9u}) Add(a);
  Bus.Find(9)->Faults.Silent = true;
  const TScanOutcome o = Scan("1-30,$40");
  EXPECT_EQ(o.Result, "ok") << o.Text;
  EXPECT_EQ(o.ExitCode, kExitOk);
  EXPECT_EQ(o.Asked, 31u);
  EXPECT_EQ(Senders(o), (std::vector<uint32_t>{5, 6, 7, 20}));
  // The PC takes no KRVW answer from a short address: those devices are found in KRV, and each
  // answered only the two requests for its own address.
  for (const auto& d : o.Devices) EXPECT_EQ(d.Format, TKRVMode::PMKRVOnly);
  for (uint32_t a : {5u, 6u, 7u, 20u}) EXPECT_EQ(Bus.Find(a)->Counters.Requests, 2) << a;
  EXPECT_EQ(Bus.Find(9)->Counters.Requests, 0);
  // 27 silent addresses, KRVW and KRV each for 50 ms: the short answer times were kept.
  EXPECT_LT(Loop.nowMs(), 31 * 2 * (50 + 20));
}

TEST_F(BusRun, ScanAsksLongAddressesInKRVWOnlyAndNeverTheBroadcast) {
  for (uint32_t a = 178550; a < 178553; ++a) Add(a);
  Add(250 - 1);  // 249 answers KRV frames from its own low byte
  const TScanOutcome o = Scan("178548-178554,248-256");
  EXPECT_EQ(Senders(o), (std::vector<uint32_t>{249, 178550, 178551, 178552}));
  EXPECT_EQ(o.Asked, 7u + 8u);  // 255 left out
  ASSERT_FALSE(Written.empty());
  int requests = 0;
  for (const auto& w : Written) {
    std::string buf = w.Bytes;
    TKRVProtocol cut;
    cut.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
    for (std::string f = cut.ExtractFrame(buf); !f.empty(); f = cut.ExtractFrame(buf)) {
      TKRVProtocol dec;
      dec.KRVMode = static_cast<uint8_t>(f[0]) == kKRVWStart ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly;
      if (dec.Decode(f).substr(0, 5) != "CSYSI" || dec.DecodeResult() != drOK) continue;
      ++requests;
      EXPECT_NE(dec.Cimzett, kBroadcastAddress);
      EXPECT_NE(dec.Cimzett, 0xFFFFFFFFu);
      if (!dec.LastWasKRVW()) {
        EXPECT_LE(dec.Cimzett, 250u) << "a KRV frame for a long address";
      }
    }
  }
  // Every long address once in KRVW; 248..250 in both framings; 251..254 and 256 in KRVW only.
  EXPECT_EQ(requests, 7 + 3 * 2 + 5);
}

TEST_F(BusRun, ScanOverAPortThatCannotBeOpenedIsNoLink) {
  Add(5);
  const TScanOutcome o = Scan("1-10", Serial(255, "/dev/ttyUSB9"));
  EXPECT_EQ(o.Result, "no-link");
  EXPECT_EQ(o.ExitCode, kExitNoLink);
  EXPECT_NE(o.Text.find("/dev/ttyUSB9"), std::string::npos) << o.Text;
}

TEST_F(BusRun, ScanWhosePortVanishesEndsAsNoLinkWithWhatItFound) {
  Add(3);
  Add(40);
  // The adapter is pulled soon after the device at 3 has answered.
  Peer.AfterBytes = [&, armed = false](testkit::MemoryLink& Link) mutable {
    if (armed || Bus.Find(3)->Counters.FramesOut == 0) return;
    armed = true;
    Loop.schedule(Loop.nowMs() + 30, [&Link] {
      Link.Settings.OpenResult = testkit::MemoryLinkSettings::Open::Missing;
      Link.Drop();
    });
  };
  const TScanOutcome o = Scan("1-100");
  EXPECT_EQ(o.Result, "no-link") << o.Text;
  EXPECT_EQ(o.ExitCode, kExitNoLink);
  EXPECT_LT(o.Asked, 100u);
  EXPECT_EQ(Senders(o), (std::vector<uint32_t>{3}));
}

TEST_F(BusRun, VerifiedWriteGoesToTheAddressedDeviceOnly) {
  TSimDevice& a = Add(178556);
  TSimDevice& b = Add(178557);
  const std::string data = Pattern(1000);
  const TFlashOutcome o = Write(178557, data, 3);
  EXPECT_EQ(o.Result, "freOk") << o.Text;
  EXPECT_EQ(o.ExitCode, kExitOk);
  EXPECT_EQ(o.Sha256, Sha256Hex(data));
  EXPECT_FALSE(o.FirstDifference);
  EXPECT_EQ(b.Flash().substr(3 * 264, data.size()), data);
  EXPECT_EQ(a.Flash(), std::string(a.Flash().size(), '\xFF'));
}

TEST_F(BusRun, VerifyOverALossyLineIsNoMismatch) {
  Add(178556);
  LineFaults.Seed = 3;
  LineFaults.ToEngine.Duplicate = 0.3;
  LineFaults.ToEngine.Drop = 0.05;
  LineFaults.ToPeer.Drop = 0.05;
  const std::string data = Pattern(2000);
  const TFlashOutcome o = Write(178556, data, 0);
  EXPECT_EQ(o.Result, "freOk") << o.Text;
  EXPECT_FALSE(o.FirstDifference);
  EXPECT_EQ(Bus.Device(0).Flash().substr(0, data.size()), data);
}

TEST_F(BusRun, VerifyNamesTheFirstByteTheFlashDidNotKeep) {
  TSimDevice& d = Add(178556);
  const std::string data = Pattern(1000);
  // The flash loses a byte of page 2 once the read-back has begun.
  Peer.AfterBytes = [&, armed = false](testkit::MemoryLink&) mutable {
    if (armed || d.RequestLog.empty() || d.RequestLog.back().find("CFLRC") == std::string::npos) return;
    armed = true;
    d.Flash()[2 * 264 + 17] ^= 0x01;
  };
  const TFlashOutcome o = Write(178556, data, 0);
  EXPECT_EQ(o.Result, "verify-failed") << o.Text;
  EXPECT_EQ(o.ExitCode, kExitFailed);
  ASSERT_TRUE(o.FirstDifference);
  EXPECT_EQ(*o.FirstDifference, 2u * 264 + 17);
  EXPECT_TRUE(o.Sha256.empty());
  EXPECT_NE(o.Text.find(std::to_string(2 * 264 + 17)), std::string::npos) << o.Text;
}

TEST_F(BusRun, FleetUpdatesTheDevicesOfABusOneAfterAnotherOnOneOpenPort) {
  TLoadedFirmware fw;
  const std::string plain = test::ImageWithInfo(0x4000, 0x5000, "Build:77777");
  test::WriteAll(Dir.Path("fw.hex"), test::HexText(0x4000, plain));
  std::string refusal;
  ASSERT_TRUE(LoadFirmwareFile(Dir.Path("fw.hex"), fw, {}, &refusal)) << refusal;
  for (uint32_t a = 178556; a < 178560; ++a) Add(a);
  std::vector<TRunDevice> devices(4);
  const std::string names[] = {Port, OtherName, Port, Port};
  for (std::size_t i = 0; i < devices.size(); ++i) {
    devices[i].Connection = Serial(178556 + static_cast<uint32_t>(i), names[i]);
    devices[i].Label = devices[i].Connection.Target();
  }
  devices[3].Connection.Baud = 57600;  // another rate: the port is opened again
  TFleetRun run(Platform(), devices, fw, File, TUpdateOptions{}, 8);
  std::vector<std::string> events;
  run.Progress.Started = [&](int Row, const std::string&, uint64_t) { events.push_back("start " + std::to_string(Row)); };
  std::vector<testkit::MemoryLink::OpenCall> opens;  // the link goes with the run's session
  run.Progress.Ended = [&](int Row, const std::string&) {
    events.push_back("end " + std::to_string(Row));
    if (Links != nullptr && Links->Last != nullptr) opens = Links->Last->Opens;
  };
  bool done = false;
  run.Start([&] { done = true; });
  ASSERT_TRUE(Loop.runUntil([&] { return done; }, kLimitMs));
  EXPECT_EQ(events, (std::vector<std::string>{"start 0", "end 0", "start 1", "end 1", "start 2", "end 2", "start 3",
                                              "end 3"}));
  for (std::size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(devices[i].Outcome.Result, "fwrOk") << i << ": " << devices[i].Outcome.Text;
    EXPECT_EQ(Bus.Device(i).InstalledImage(), plain) << i;
  }
  // One link for the whole bus; it was opened once, and once more for the other baud rate.
  ASSERT_FALSE(opens.empty());
  EXPECT_EQ(opens.front().Baud, 115200);
  EXPECT_EQ(opens.back().Baud, 57600);
  int reopenedForBaud = 0;
  for (std::size_t k = 1; k < opens.size(); ++k) reopenedForBaud += opens[k].Baud != opens[k - 1].Baud;
  EXPECT_EQ(reopenedForBaud, 1);
  EXPECT_EQ(opens.size(), 2u);  // these devices take their blocks without a restart that reopens the port
}

TEST_F(BusRun, FleetWhoseBusPortVanishesEndsEveryDeviceOfIt) {
  TLoadedFirmware fw;
  test::WriteAll(Dir.Path("fw.hex"), test::HexText(0x4000, test::ImageWithInfo(0x4000, 0x5000, "Build:77777")));
  std::string refusal;
  ASSERT_TRUE(LoadFirmwareFile(Dir.Path("fw.hex"), fw, {}, &refusal)) << refusal;
  for (uint32_t a = 178556; a < 178559; ++a) Add(a);
  std::vector<TRunDevice> devices(3);
  for (std::size_t i = 0; i < devices.size(); ++i) {
    devices[i].Connection = Serial(178556 + static_cast<uint32_t>(i));
    devices[i].Label = devices[i].Connection.Target();
  }
  // The adapter is pulled in the middle of the first device's upload.
  Peer.AfterBytes = [&](testkit::MemoryLink& Link) {
    if (Bus.Device(0).Counters.Blocks < 20 || !Link.isOpen()) return;
    Link.Settings.OpenResult = testkit::MemoryLinkSettings::Open::Missing;
    Link.Drop();
  };
  TFleetRun run(Platform(), devices, fw, File, TUpdateOptions{}, 8);
  bool done = false;
  run.Start([&] { done = true; });
  ASSERT_TRUE(Loop.runUntil([&] { return done; }, kLimitMs));
  EXPECT_EQ(devices[0].Outcome.Result, "fwrKRVError") << devices[0].Outcome.Text;
  EXPECT_EQ(devices[0].Outcome.ExitCode, kExitFailed);
  for (std::size_t i = 1; i < devices.size(); ++i) {
    EXPECT_EQ(devices[i].Outcome.Result, "no-link") << i << ": " << devices[i].Outcome.Text;
    EXPECT_EQ(devices[i].Outcome.ExitCode, kExitNoLink) << i;
  }
  for (std::size_t i = 0; i < devices.size(); ++i) EXPECT_EQ(Bus.Device(i).Installs(), 0) << i;
}

TEST(AddressList, ParsesAddressesRangesAndHexadecimal) {
  struct TCase {
    const char* Text;
    std::size_t Count;
    uint32_t First, Last;
  };
  for (const TCase& c : std::vector<TCase>{{"1-30,$40", 31, 1, 64},
                                           {"178550-178609", 60, 178550, 178609},
                                           {"0x10, 3 ,3,1-2", 4, 1, 16},
                                           {"4294967294-$FFFFFFFF", 2, 4294967294u, 4294967295u},
                                           {"7", 1, 7, 7}}) {
    std::string error;
    const auto v = ParseAddressList(c.Text, error);
    ASSERT_TRUE(v) << c.Text << ": " << error;
    EXPECT_EQ(v->size(), c.Count) << c.Text;
    EXPECT_EQ(v->front(), c.First) << c.Text;
    EXPECT_EQ(v->back(), c.Last) << c.Text;
  }
  for (const char* bad : {"", "1,,2", "5-3", "abc", "1-", "-5", "4294967296", "1-2-3", "0x", "$", "1;2", "0-4294967295"}) {
    std::string error;
    EXPECT_FALSE(ParseAddressList(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(AnswerTimeSettings, OverrideTheDebugTimesAndTriesOnly) {
  test::TempDir dir;
  TIniFile base(dir.Path("none.ini"));
  struct TCase {
    TAnswerTimes Times;
    int T1, T2, T3, Tries;
  };
  for (const TCase& c : std::vector<TCase>{{{{50}, 1}, 50, 50, 50, 1},
                                           {{{50, 120}, std::nullopt}, 50, 120, 120, -1},
                                           {{{10, 20, 30}, 7}, 10, 20, 30, 7},
                                           {{{}, 2}, -1, -1, -1, 2}}) {
    TAnswerTimeSettings s(base, c.Times);
    EXPECT_EQ(s.ReadInteger("DEBUG", "Timeout1", -1), c.T1);
    EXPECT_EQ(s.ReadInteger("DEBUG", "Timeout2", -1), c.T2);
    EXPECT_EQ(s.ReadInteger("DEBUG", "Timeout3", -1), c.T3);
    EXPECT_EQ(s.ReadInteger("DEBUG", "TriesMax", -1), c.Tries);
    EXPECT_EQ(s.ReadInteger("DEBUG", "BlockLength", -1), -1);
    EXPECT_EQ(s.ReadInteger("BATCH", "Timeout1", -1), -1);
  }
}

}  // namespace
}  // namespace vornik
