// Updates on the real clock over a paced serial line: vornik-sim's pseudo-terminal joined by a
// relay that carries 115200 baud each way (testkit/PacedPtyLine.h) to the pseudo-terminal the
// program opens, in normal mode (vornik -start) and batched mode (vornik-tool update --batched).
// The engine reacts within the loop's next turn and paces batched packets by its line model;
// here only the outcome counts (the figures are the benchmark's).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "app/E2EProcess.h"
#include "testkit/PacedPtyLine.h"
#include "testkit/TempDir.h"

namespace vornik {
namespace {

namespace fs = std::filesystem;
using test::BinDir;
using test::ReadAll;
using test::RunProcess;
using test::SourceDir;
using test::TBackgroundProcess;
using test::TempDir;
using test::WriteAll;

constexpr int kAddress = 178556;
constexpr int kRunTimeoutMs = 120000;

struct TPacedRun {
  const char* Name;
  bool Batched;
  int LatencyMs;
};

class PacedLineUpdate : public ::testing::TestWithParam<TPacedRun> {};

TEST_P(PacedLineUpdate, InstallsTheImage) {
  const TPacedRun& c = GetParam();
  for (const char* prog : {"vornik", "vornik-sim", "vornik-tool"})
    if (!fs::exists(fs::path(BinDir()) / prog)) GTEST_SKIP() << prog << " not built";
  TempDir dir;
  const std::string hex = dir.Path("fw.hex");
  ASSERT_EQ(RunProcess({"/usr/bin/env", "python3", SourceDir() + "/scripts/make-demo-firmware.py", hex, "--start",
                        "0x4000", "--size", "24576"},
                       30000)
                .ExitCode,
            0);
  ASSERT_EQ(RunProcess({"/usr/bin/env", "objcopy", "-I", "ihex", "-O", "binary", hex, hex + ".bin"}, 30000).ExitCode, 0);

  TBackgroundProcess sim({(fs::path(BinDir()) / "vornik-sim").string(), "--no-tcp", "--pty", "--baud", "0",
                          "--bootloader", "--quiet", "--address", std::to_string(kAddress), "--save-image",
                          dir.Path("installed.bin")},
                         dir.Path("sim.out"));
  ASSERT_TRUE(sim.WaitForOutput("/dev/pts/", 10000)) << sim.Output();
  std::smatch m;
  const std::string simOut = sim.Output();
  ASSERT_TRUE(std::regex_search(simOut, m, std::regex("/dev/pts/[0-9]+")));
  testkit::TPacedLineSettings settings;
  settings.Baud = 115200;
  settings.LatencyMs = c.LatencyMs;
  testkit::TPacedPtyLine line(m.str(), settings);
  std::string error;
  ASSERT_TRUE(line.Start(error)) << error;

  test::TProcessResult r;
  if (c.Batched) {
    r = RunProcess({(fs::path(BinDir()) / "vornik-tool").string(), "update", "--serial", line.ProgramPath(), "--baud",
                    "115200", "--address", std::to_string(kAddress), "--fw", hex, "--batched"},
                   kRunTimeoutMs);
  } else {
    fs::copy_file(fs::path(BinDir()) / "vornik", dir.Path("vornik"));
    WriteAll(dir.Path("vornik.ini"), "[SerialPorts]\nCOM7=" + line.ProgramPath() + "\n");
    r = RunProcess({dir.Path("vornik"), "-start", "-port", "7", "-baud", "115200", "-address", std::to_string(kAddress),
                    "-fw", hex},
                   kRunTimeoutMs, dir.Path(""));
  }
  EXPECT_EQ(r.ExitCode, 0) << r.Stdout << r.Stderr << sim.Output();
  EXPECT_FALSE(r.TimedOut);
  sim.Stop();
  EXPECT_EQ(ReadAll(dir.Path("installed.bin")), ReadAll(hex + ".bin"));
  const auto counters = line.Counters();
  EXPECT_GT(counters.ToDevice, 24576u);
  EXPECT_GT(counters.ToProgram, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, PacedLineUpdate,
                         ::testing::Values(TPacedRun{"Normal", false, 0}, TPacedRun{"Batched", true, 0},
                                           TPacedRun{"BatchedWithLatency", true, 16}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace vornik
