// The headless runs of the core on the virtual clock: a fleet of simulated devices over TCP and
// serial links (many at once, a dead one, a lossy line, a stop in the middle) and a listen run
// with devices that call in, identify themselves, are updated once and call back.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "app/CreateMissingValuesIni.h"
#include "app/FirmwareLoader.h"
#include "app/FleetRun.h"
#include "app/HexText.h"
#include "app/ListenRun.h"
#include "app/TestFirmware.h"
#include "codec/KRVProtocol.h"
#include "comms/KRVTCPServer.h"
#include "sim/SimDevice.h"
#include "testkit/MemoryLink.h"
#include "testkit/MemoryServerSocket.h"
#include "testkit/SimDialer.h"
#include "testkit/SimPeer.h"
#include "testkit/TempDir.h"
#include "testkit/VirtualLoop.h"

namespace vornik {
namespace {

using testkit::MemoryLinkFactory;
using testkit::VirtualLoop;

constexpr int64_t kLimitMs = 3600 * 1000;

class HeadlessRun : public ::testing::Test {
 protected:
  HeadlessRun() : Settings(Dir.Path("none.ini")) {
    std::string refusal;
    const std::string hex = Dir.Path("fw.hex");
    test::WriteAll(hex, test::HexText(0x4000, Plain));
    EXPECT_TRUE(LoadFirmwareFile(hex, Firmware, {}, &refusal)) << refusal;
  }

  /// A simulated device reachable at Target ("host:port" or "path@baud"); Faults damage its line.
  TSimDevice& AddDevice(const std::string& Target, uint32_t Address, testkit::MemoryLinkFaults Faults = {}) {
    auto& d = Devices[Target];
    TSimDeviceConfig c;
    c.Address = Address;
    d.Device = std::make_unique<TSimDevice>(c);
    d.Peer = std::make_unique<testing::TSimPeer>(Loop, *d.Device);
    d.Faults = Faults;
    return *d.Device;
  }

  /// Links to the device at the connection's target; nobody answers anywhere else.
  TSessionPlatform Platform() {
    TSessionPlatform p;
    p.Loop = &Loop;
    p.MakeLinks = [this](const TConnection& C, int, TNaploComponent&) -> std::unique_ptr<PortLinkFactory> {
      const auto it = Devices.find(C.Target());
      testkit::MemoryLinkSettings s;
      s.LatencyMs = 2;
      if (it == Devices.end()) {
        s.OpenResult = C.Serial ? testkit::MemoryLinkSettings::Open::Missing : testkit::MemoryLinkSettings::Open::Refused;
        return std::make_unique<MemoryLinkFactory>(Loop, nullptr, s);
      }
      auto f = std::make_unique<MemoryLinkFactory>(Loop, it->second.Peer.get(), s);
      f->Faults = it->second.Faults;
      return f;
    };
    return p;
  }

  static TConnection Tcp(int Port, uint32_t Address) {
    TConnection c;
    c.Host = "10.0.0.1";
    c.Port = Port;
    c.Address = Address;
    return c;
  }

  struct TEntry {
    std::unique_ptr<TSimDevice> Device;
    std::unique_ptr<testing::TSimPeer> Peer;
    testkit::MemoryLinkFaults Faults;
  };
  test::TempDir Dir;
  VirtualLoop Loop;
  TIniFile Settings;
  const std::string Plain = test::ImageWithInfo(0x4000, 0x5000, "Build:77777");
  TLoadedFirmware Firmware;
  std::map<std::string, TEntry> Devices;
};

TEST_F(HeadlessRun, FleetUpdatesEveryDeviceAndReportsTheDeadOne) {
  std::vector<TRunDevice> devices;
  for (int i = 0; i < 12; ++i) {
    TRunDevice d;
    d.Connection = Tcp(1000 + i, 178500 + static_cast<uint32_t>(i));
    d.Label = d.Connection.Target();
    if (i != 5) {
      testkit::MemoryLinkFaults lossy;
      if (i == 7) {
        lossy.Seed = 9;
        lossy.ToPeer.Drop = lossy.ToEngine.Drop = 0.02;
      }
      AddDevice(d.Label, d.Connection.Address, lossy);
    }
    devices.push_back(d);
  }
  // Two on serial lines.
  for (const char* path : {"/dev/ttyUSB0", "/dev/ttyUSB1"}) {
    TRunDevice d;
    d.Connection.Serial = true;
    d.Connection.Path = path;
    d.Connection.Address = 178600;
    d.Label = d.Connection.Target();
    AddDevice(d.Label, d.Connection.Address);
    devices.push_back(d);
  }

  TFleetRun run(Platform(), devices, Firmware, Settings, TUpdateOptions{}, 4);
  int running = 0, most = 0;
  std::vector<std::string> ended;
  run.Progress.Started = [&](int, const std::string&, uint64_t Total) {
    EXPECT_EQ(Total, Firmware.FWImage.size());
    most = std::max(most, ++running);
  };
  run.Progress.Ended = [&](int, const std::string& Line) {
    --running;
    ended.push_back(Line);
  };
  bool done = false;
  run.Start([&] { done = true; });
  ASSERT_TRUE(Loop.runUntil([&] { return done; }, kLimitMs));

  EXPECT_EQ(most, 4);
  EXPECT_EQ(ended.size(), devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const TRunDevice& d = devices[i];
    SCOPED_TRACE(d.Label);
    if (i == 5) {
      EXPECT_EQ(d.Outcome.Result, "no-link");
      EXPECT_EQ(d.Outcome.ExitCode, kExitNoLink);
      EXPECT_NE(d.Outcome.Text.find("10.0.0.1:1005"), std::string::npos) << d.Outcome.Text;
      continue;
    }
    EXPECT_EQ(d.Outcome.Result, "fwrOk") << d.Outcome.Text;
    EXPECT_EQ(d.Outcome.Bytes, Firmware.FWImage.size());
    EXPECT_EQ(Devices[d.Label].Device->InstalledImage(), Plain);
    EXPECT_GT(d.Seconds, 0);
  }
  EXPECT_GT(Loop.nowMs(), 0);
}

TEST_F(HeadlessRun, FleetStopAbortsTheRunningAndSkipsTheRest) {
  std::vector<TRunDevice> devices;
  for (int i = 0; i < 5; ++i) {
    TRunDevice d;
    d.Connection = Tcp(2000 + i, 178500);
    d.Label = d.Connection.Target();
    AddDevice(d.Label, 178500);
    devices.push_back(d);
  }
  TFleetRun run(Platform(), devices, Firmware, Settings, TUpdateOptions{}, 2);
  uint64_t progress = 0;
  run.Progress.Progress = [&](int, uint64_t Bytes) { progress = std::max(progress, Bytes); };
  bool done = false;
  run.Start([&] { done = true; });
  ASSERT_TRUE(Loop.runUntil([&] { return progress > 4096; }, kLimitMs));
  run.Stop();
  ASSERT_TRUE(Loop.runUntil([&] { return done; }, 60000));
  for (int i = 0; i < 5; ++i) {
    const TUpdateOutcome& o = devices[static_cast<std::size_t>(i)].Outcome;
    EXPECT_EQ(o.Result, "fwrAborted") << i;
    EXPECT_EQ(o.ExitCode, kExitFailed) << i;
    if (i >= 2) {
      EXPECT_EQ(o.Text, "Stopped before its update began.");
    }
    EXPECT_EQ(Devices[devices[static_cast<std::size_t>(i)].Label].Device->Installs(), 0);
  }
}

struct TListenBench {
  explicit TListenBench(VirtualLoop& Loop) : Sockets(Loop, 1), Server(Loop, Sockets) {
    Server.Port = 0;
    Server.SetActive(true);
  }
  testing::TDialingDevice& Dial(VirtualLoop& Loop, uint32_t Address) {
    TSimDeviceConfig c;
    c.Address = Address;
    Dialers.push_back(std::make_unique<testing::TDialingDevice>(Loop, *Sockets.Last, c, true));
    Dialers.back()->Dial();
    return *Dialers.back();
  }
  testkit::MemoryServerSocketFactory Sockets;
  std::vector<std::unique_ptr<testing::TDialingDevice>> Dialers;  ///< outlive the server's connections
  TKRVTCPServer Server;
};

TEST_F(HeadlessRun, ListenUpdatesListedDevicesOnceAndIgnoresTheOthers) {
  TListenBench bench(Loop);
  TListenOptions options;
  options.Listed = {178556, 178557};
  options.LogDir = Dir.Path("");
  TListenRun run(Platform(), bench.Server, Firmware, Settings, options);
  bool done = false;
  run.Start([&] { done = true; });
  testing::TDialingDevice& a = bench.Dial(Loop, 178556);
  testing::TDialingDevice& other = bench.Dial(Loop, 178999);
  testing::TDialingDevice& b = bench.Dial(Loop, 178557);
  // Both listed devices are updated; each restarts into its new firmware and calls back.
  ASSERT_TRUE(Loop.runUntil([&] { return run.Devices().size() == 2 && a.dev.Installs() == 1 && b.dev.Installs() == 1; },
                            kLimitMs));
  ASSERT_TRUE(Loop.runUntil([&] { return a.dial.Dials() >= 2 && b.dial.Dials() >= 2; }, 120000));
  Loop.advance(30000);
  run.Stop();
  ASSERT_TRUE(Loop.runUntil([&] { return done; }, 60000));
  ASSERT_EQ(run.Devices().size(), 2u);
  for (const TRunDevice& d : run.Devices()) {
    EXPECT_EQ(d.Outcome.Result, "fwrOk") << d.Connection.Address << ": " << d.Outcome.Text;
    EXPECT_EQ(d.LogFile, Dir.Path(std::to_string(d.Connection.Address) + ".log"));
  }
  EXPECT_EQ(a.dev.Installs(), 1);  // calling back after its update: left alone
  EXPECT_EQ(a.dev.InstalledImage(), Plain);
  EXPECT_EQ(other.dev.Installs(), 0);
  ASSERT_EQ(run.Ignored().size(), 1u);
  EXPECT_EQ(run.Ignored()[0].second, 178999u);
}

TEST_F(HeadlessRun, ListenEndsAfterCountAndStopAbortsARunningUpdate) {
  TListenBench bench(Loop);
  TListenOptions options;
  options.Count = 1;
  options.LogDir = Dir.Path("");
  TListenRun run(Platform(), bench.Server, Firmware, Settings, options);
  uint64_t progress = 0;
  run.Progress.Progress = [&](int, uint64_t Bytes) { progress = Bytes; };
  bool done = false;
  run.Start([&] { done = true; });
  testing::TDialingDevice& a = bench.Dial(Loop, 178556);
  ASSERT_TRUE(Loop.runUntil([&] { return progress > 2048; }, kLimitMs));
  bench.Dial(Loop, 178557);  // after the count: not taken
  Loop.advance(10);
  run.Stop();
  ASSERT_TRUE(Loop.runUntil([&] { return done; }, 60000));
  ASSERT_EQ(run.Devices().size(), 1u);
  EXPECT_EQ(run.Devices()[0].Outcome.Result, "fwrAborted");
  EXPECT_EQ(a.dev.Installs(), 0);
}

TEST_F(HeadlessRun, ListenReportsListedDevicesThatNeverCalled) {
  struct {
    std::set<uint32_t> listed;
    std::vector<uint32_t> dialling;
    std::map<uint32_t, std::string> results;  ///< address: result, in no particular order
  } cases[] = {
      {{178556, 178557}, {178556}, {{178556, "fwrOk"}, {178557, TListenRun::kNotSeenResult}}},
      {{178556}, {}, {{178556, TListenRun::kNotSeenResult}}},
      {{}, {}, {}},  // without a list nobody is missing
  };
  std::vector<std::unique_ptr<TListenBench>> benches;  // their devices keep dialling on the loop
  for (const auto& c : cases) {
    TListenBench& bench = *benches.emplace_back(std::make_unique<TListenBench>(Loop));
    TListenOptions options;
    options.Listed = c.listed;
    options.IdleSeconds = 30;
    options.LogDir = Dir.Path("");
    TListenRun run(Platform(), bench.Server, Firmware, Settings, options);
    bool done = false;
    run.Start([&] { done = true; });
    for (const uint32_t a : c.dialling) bench.Dial(Loop, a);
    ASSERT_TRUE(Loop.runUntil([&] { return done; }, kLimitMs));
    std::map<uint32_t, std::string> results;
    for (const TRunDevice& d : run.Devices()) {
      results[d.Connection.Address] = d.Outcome.Result;
      const bool missing = d.Outcome.Result == TListenRun::kNotSeenResult;
      EXPECT_EQ(d.Seen, !missing);
      EXPECT_EQ(d.Outcome.ExitCode, missing ? kExitFailed : kExitOk) << d.Outcome.Text;
    }
    EXPECT_EQ(results, c.results);
  }
}

// A connection from Host that sends one valid frame from Sender, then nothing.
void MadeUpCaller(testkit::MemoryServerSocket& Socket, const std::string& Host, uint32_t Sender) {
  TKRVProtocol codec;
  codec.KRVMode = TKRVMode::PMKRVWOnly;
  codec.Cimzett = 255;
  codec.Felado = Sender;
  codec.CsomagSorszam = 1;
  Socket.Connect(Host).PeerSend(codec.Encode("ESYSI"));
}

std::string FloodHost(int I) { return "10.9." + std::to_string(I / 250) + "." + std::to_string(I % 250 + 1); }

TEST_F(HeadlessRun, ListenKeepsWhatItHoldsBoundedUnderMadeUpSenders) {
  constexpr int kCallers = 3000;
  std::vector<std::unique_ptr<TListenBench>> benches;  // their devices keep dialling on the loop
  // Listed: the made-up senders are ignored, only the first of them one by one; the listed
  // device that calls in the middle of it is updated.
  {
    TListenBench& bench = *benches.emplace_back(std::make_unique<TListenBench>(Loop));
    TListenOptions options;
    options.Listed = {178556};
    options.Count = 1;
    options.LogDir = Dir.Path("");
    TListenRun run(Platform(), bench.Server, Firmware, Settings, options);
    bool done = false;
    run.Start([&] { done = true; });
    for (int i = 0; i < kCallers; ++i) {
      MadeUpCaller(*bench.Sockets.Last, FloodHost(i), 1000000u + static_cast<uint32_t>(i));
      if (i == kCallers / 2) bench.Dial(Loop, 178556);
      Loop.advance(2);
      ASSERT_LE(bench.Server.UnservedCount(), static_cast<std::size_t>(bench.Server.MaxUnidentified));
    }
    ASSERT_TRUE(Loop.runUntil([&] { return done; }, kLimitMs));
    EXPECT_EQ(run.Ignored().size(), TListenRun::kMaxIgnored);
    EXPECT_EQ(run.IgnoredMore(), kCallers - TListenRun::kMaxIgnored);
    ASSERT_EQ(run.Devices().size(), 1u);
    EXPECT_EQ(run.Devices()[0].Outcome.Result, "fwrOk") << run.Devices()[0].Outcome.Text;
  }
  // Without a list every caller is a device to update: one runs, the waiting list stays bounded
  // as the server closes the callers over its limit.
  {
    TListenBench& bench = *benches.emplace_back(std::make_unique<TListenBench>(Loop));
    TListenOptions options;
    options.Parallel = 1;
    options.LogDir = Dir.Path("");
    TListenRun run(Platform(), bench.Server, Firmware, Settings, options);
    bool done = false;
    run.Start([&] { done = true; });
    for (int i = 0; i < kCallers; ++i) {
      MadeUpCaller(*bench.Sockets.Last, FloodHost(i), 1000000u + static_cast<uint32_t>(i));
      Loop.advance(2);
      ASSERT_LE(run.WaitingCount(), TListenRun::kMaxWaiting);
    }
    EXPECT_EQ(run.Dropped(), kCallers - 1 - TListenRun::kMaxWaiting);
    run.Stop();
    ASSERT_TRUE(Loop.runUntil([&] { return done; }, kLimitMs));
    EXPECT_EQ(run.Devices().size(), 1 + TListenRun::kMaxWaiting);
  }
}

}  // namespace
}  // namespace vornik
