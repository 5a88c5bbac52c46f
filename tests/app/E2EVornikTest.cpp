// The real vornik program, run as a process: argument handling and messages on the console,
// exit codes, the settings file it completes beside itself, and whole updates against the
// vornik-sim program over TCP loopback and over a pseudo-terminal, with the installed image
// compared against objcopy's reading of the same HEX file.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "app/E2EProcess.h"
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

const char* const kUsage =
    "\n"
    "TCP/IP-s kapcsolat eseten:\n"
    "    vornik -start -ip 192.168.1.120 -port 1001 -address 178556 -fw c:\\fws\\legujabb.qob\n"
    "\n"
    "Soros porti kapcsolat eseten:\n"
    "    vornik -start -port 1 -baud 115200 -address 178556 -fw c:\\fws\\legujabb.qob\n";

// A private copy of the program in its own folder, so its log and settings file land there.
class VornikRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path src = fs::path(BinDir()) / "vornik";
    if (!fs::exists(src)) GTEST_SKIP() << "vornik not built";
    fs::copy_file(src, Exe());
  }
  std::string Exe() const { return Dir.Path("vornik"); }
  test::TProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), Exe());
    return RunProcess(args, kRunTimeoutMs, Dir.Path(""));
  }
  std::string Caption(const std::string& out) {
    std::smatch m;
    std::regex_search(out, m, std::regex("^\nTelvaro Vornik v[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\n"));
    return m.str();
  }
  // A demo firmware of Size bytes at Start, and objcopy's flat image of it.
  std::string MakeFirmware(const std::string& name, int start, int size) {
    const std::string hex = Dir.Path(name);
    const auto r = RunProcess({"/usr/bin/env", "python3", SourceDir() + "/scripts/make-demo-firmware.py", hex,
                               "--start", std::to_string(start), "--size", std::to_string(size)},
                              30000);
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    const auto o = RunProcess({"/usr/bin/env", "objcopy", "-I", "ihex", "-O", "binary", hex, hex + ".bin"}, 30000);
    EXPECT_EQ(o.ExitCode, 0) << o.Stderr;
    return hex;
  }
  TempDir Dir;
};

TEST_F(VornikRun, WithoutModeSwitchTheWindowIsNotAvailable) {
  const auto r = Run({});
  EXPECT_EQ(r.ExitCode, 99);
  EXPECT_EQ(r.Stdout, "");
  EXPECT_NE(r.Stderr.find("window"), std::string::npos);
  EXPECT_EQ(Run({"--start"}).ExitCode, 99);
}

TEST_F(VornikRun, EveryProgramShowsTheCaptionsVersion) {
  const std::string caption = Caption(Run({"-?"}).Stdout);
  ASSERT_FALSE(caption.empty());
  const std::string version = caption.substr(caption.find(" v") + 2, caption.size() - caption.find(" v") - 3);
  EXPECT_EQ(Run({"--version"}).Stdout, "vornik " + version + "\n");
  for (const char* prog : {"vornik-tool", "vornik-sim"}) {
    const auto r = RunProcess({(fs::path(BinDir()) / prog).string(), "--version"}, kRunTimeoutMs);
    EXPECT_EQ(r.ExitCode, 0) << prog;
    EXPECT_EQ(r.Stdout, std::string(prog) + " " + version + "\n");
  }
}

TEST_F(VornikRun, HelpSwitchesPrintTheUsageAndSucceed) {
  const auto asked = Run({"-?"});
  EXPECT_EQ(asked.ExitCode, 99);
  ASSERT_NE(asked.Stdout.find("Pelda a program parancsori hasznalatara:"), std::string::npos);
  for (const char* arg : {"--help", "-h"}) {
    const auto r = Run({arg});
    EXPECT_EQ(r.ExitCode, 0) << arg;
    EXPECT_EQ(r.Stdout, asked.Stdout) << arg;
  }
}

TEST_F(VornikRun, UsageMessagesAndExitCode99) {
  struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-start"}, "Nem adta meg a firmware allomanyat. Pelda a helyes parameterezesre:"},
      {{"-start", "-?"}, "Pelda a program parancsori hasznalatara:"},
      {{"/?"}, "Pelda a program parancsori hasznalatara:"},
      {{"-start", "-address", "5", "-fw"}, "Nem adta meg a firmware allomanyat. Pelda a helyes parameterezesre:"},
      {{"-start", "-fw", "x.qob", "-address", "-5", "-port", "2", "-baud", "9600"},
       "Meg kell adnia a frissitendo keszulek KRV cimet. Pelda a helyes parameterezesre:"},
      {{"/START", "-FW", "x.hex", "-ADDRESS", "5", "-PORT", "3"},
       "Meg kell adnia a baudrate-et. Pelda a helyes parameterezesre:"},
      {{"-start", "-fw", "x.qob", "-address", "$1F", "-ip", "h"},
       "Meg kell adnia a TCP portot. Pelda a helyes parameterezesre:"},
      {{"\\start", "-fw", "x.qob", "-address", "1"}, "Meg kell adnia a soros portot. Pelda a helyes parameterezesre:"},
  };
  for (const auto& c : cases) {
    const auto r = Run(c.args);
    EXPECT_EQ(r.ExitCode, 99) << c.message;
    const std::string caption = Caption(r.Stdout);
    ASSERT_FALSE(caption.empty()) << r.Stdout;
    // The usage asked for names the settings file and the log in use: here beside the program.
    const std::string paths = std::string(c.message).starts_with("Pelda a program")
                                  ? "\nA beallitasok fajlja: " + Dir.Path("vornik.ini") +
                                        "\nA naplo fajlja: " + Dir.Path("vornik.log") + "\n"
                                  : "";
    EXPECT_EQ(r.Stdout, caption + c.message + "\n" + kUsage + paths);
  }
  // The log beside the program has the messages too.
  EXPECT_NE(ReadAll(Dir.Path("vornik.log")).find("Példa a program parancsori használatára:"), std::string::npos);
}

TEST_F(VornikRun, UnusableFirmwareFiles) {
  WriteAll(Dir.Path("notes.txt"), "hello");
  WriteAll(Dir.Path("bad.hex"), ":10000000ZZ\n");
  WriteAll(Dir.Path("noinfo.hex"), ":0401000001020304F1\n:00000001FF\n");
  fs::create_directory(Dir.Path("folder.hex"));
  struct {
    std::string file;
    std::string message;
  } cases[] = {
      {"missing.hex", "A kivalasztott allomany nem talalhato: missing.hex"},
      {"folder.hex", "A kivalasztott allomany nem talalhato: folder.hex"},
      {"notes.txt", "A kivalasztott fajl nem firmware. Csak HEX vagy QOB allomanyokat lehet telepiteni."},
      {"bad.hex", "Hibas hexfajl: "},
      {"noinfo.hex",
       "A kivalasztott firmware elavult, hibas vagy serult: nem talaltam benne informacios blokkot!"},
  };
  for (const auto& c : cases) {
    const auto r = Run({"-start", "-fw", c.file, "-address", "5", "-ip", "127.0.0.1", "-port", "1"});
    EXPECT_EQ(r.ExitCode, 99) << c.file;
    EXPECT_NE(r.Stdout.find(c.message), std::string::npos) << r.Stdout;
  }
  // The settings file was completed with the DEBUG and BATCH keys on the way.
  const std::string ini = ReadAll(Dir.Path("vornik.ini"));
  for (const char* key : {"[DEBUG]", "Timeout1=300", "TriesMax=4", "BlockLength=128", "[BATCH]", "BatchSize=50",
                          "TimeBetweenPcks=1", "CSYGATimeout=0"})
    EXPECT_NE(ini.find(key), std::string::npos) << key << "\n" << ini;
}

class VornikUpdate : public VornikRun {
 protected:
  void SetUp() override {
    VornikRun::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(fs::path(BinDir()) / "vornik-sim")) GTEST_SKIP() << "vornik-sim not built";
  }
  std::unique_ptr<TBackgroundProcess> StartSim(std::vector<std::string> extra) {
    std::vector<std::string> argv = {(fs::path(BinDir()) / "vornik-sim").string(), "--address",
                                     std::to_string(kAddress), "--save-image", Dir.Path("installed.bin")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<TBackgroundProcess>(argv, Dir.Path("sim.out"));
  }
};

TEST_F(VornikUpdate, TcpUpdateInstallsTheImage) {
  const std::string hex = MakeFirmware("fw.hex", 0x4000, 0x4000 + 8192);
  const int port = test::FreeTcpPort();
  auto sim = StartSim({"--port", std::to_string(port)});
  ASSERT_TRUE(test::WaitForTcpListener(port, 10000)) << sim->Output();

  const auto r = Run({"-start", "-ip", "127.0.0.1", "-port", std::to_string(port), "-address",
                      std::to_string(kAddress), "-fw", hex});
  EXPECT_EQ(r.ExitCode, 0) << r.Stdout << r.Stderr << sim->Output();
  const std::string& out = r.Stdout;
  EXPECT_NE(out.find("A betoltott firmware buildszama: Build:00042\n"), std::string::npos) << out;
  EXPECT_NE(out.find("A betoltott FW adatai:\nFile path=" + hex + "\nMemory address=16384\nBuildStr=Build:00042\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("ProjName=Vornik demo fw\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n\n.."), std::string::npos) << out;  // the empty line, then progress dots
  EXPECT_NE(out.find(".\nA firmware telepitese sikeresen befejezodott.\n"), std::string::npos) << out;
  sim->Stop();
  EXPECT_EQ(ReadAll(Dir.Path("installed.bin")), ReadAll(hex + ".bin"));
}

TEST_F(VornikUpdate, DeviceThatNeverAnswersEndsWithAnUploadResult) {
  const std::string hex = MakeFirmware("fw.hex", 0x4000, 0x4000 + 1024);
  const int port = test::FreeTcpPort();
  auto sim = StartSim({"--port", std::to_string(port)});
  ASSERT_TRUE(test::WaitForTcpListener(port, 10000)) << sim->Output();
  // Shorter answer times so the failing exchange ends quickly.
  WriteAll(Dir.Path("vornik.ini"), "[DEBUG]\nTimeout1=50\nTimeout2=60\nTimeout3=70\nTriesMax=2\n");
  const auto r = Run({"-start", "-ip", "127.0.0.1", "-port", std::to_string(port), "-address", "12345", "-fw", hex});
  EXPECT_EQ(r.ExitCode, 3) << r.Stdout;  // fwrInvalidAnswerASYSI
  EXPECT_NE(r.Stdout.find("\nA keszulek nem az elvart valaszt adja vagy nem ismeri a KRVW protokollt.\n"),
            std::string::npos)
      << r.Stdout;
  EXPECT_FALSE(r.TimedOut);
}

// Over a pseudo-terminal, with the firmware as a QOB package made by vornik-tool.
TEST_F(VornikUpdate, SerialUpdateOverPseudoTerminal) {
  const std::string hex = MakeFirmware("fw.hex", 0x4000, 0x4000 + 4096);
  const std::string tool = (fs::path(BinDir()) / "vornik-tool").string();
  std::string fw = hex;
  if (fs::exists(tool)) {
    const auto t = RunProcess({tool, "hex2qob", hex, Dir.Path("fw.qob")}, 30000);
    ASSERT_EQ(t.ExitCode, 0) << t.Stdout << t.Stderr;
    fw = Dir.Path("fw.qob");
  }
  auto sim = StartSim({"--no-tcp", "--pty", "--baud", "115200"});
  ASSERT_TRUE(sim->WaitForOutput("/dev/pts/", 10000)) << sim->Output();
  std::smatch m;
  const std::string simOut = sim->Output();
  ASSERT_TRUE(std::regex_search(simOut, m, std::regex("/dev/pts/[0-9]+")));
  WriteAll(Dir.Path("vornik.ini"), "[SerialPorts]\nCOM7=" + m.str() + "\n");
  const auto r = Run({"-start", "-port", "7", "-baud", "115200", "-address", std::to_string(kAddress), "-fw", fw});
  EXPECT_EQ(r.ExitCode, 0) << r.Stdout << sim->Output();
  EXPECT_NE(r.Stdout.find("A firmware telepitese sikeresen befejezodott."), std::string::npos) << r.Stdout;
  sim->Stop();
  EXPECT_EQ(ReadAll(Dir.Path("installed.bin")), ReadAll(hex + ".bin"));
}

TEST_F(VornikRun, SerialPortThatDoesNotExist) {
  const std::string hex = MakeFirmware("fw.hex", 0x4000, 0x4000 + 1024);
  WriteAll(Dir.Path("vornik.ini"), "[SerialPorts]\nCOM9=" + Dir.Path("no-such-tty") + "\n");
  const auto r = Run({"-start", "-port", "9", "-baud", "9600", "-address", "5", "-fw", hex});
  EXPECT_EQ(r.ExitCode, 2) << r.Stdout;  // fwrKRVError
  EXPECT_NE(r.Stdout.find("\n\nHiba tortent: "), std::string::npos) << r.Stdout;
  EXPECT_NE(r.ExitCode, 99) << r.Stdout;
  EXPECT_FALSE(r.TimedOut);
}

}  // namespace
}  // namespace vornik
