// vornik-tool's device verbs run as processes against vornik-sim over TCP 127.0.0.1 and a
// pseudo-terminal: each verb's success and its main failure, the exit codes, the JSON object parsed
// back, a fleet of five with a dead and a lossy device, and a malformed devices file. Every process
// is stopped by its pid; every wait is bounded.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

constexpr int kRunTimeoutMs = 120000;
constexpr int kSimAddress = 178556;

// Short answer times for the devices that never answer, so their cases stay quick.
const char* const kQuickSettings =
    "[DEBUG]\nTimeout1=60\nTimeout2=60\nTimeout3=60\nTriesMax=2\n[BATCH]\nBatchSize=50\n";

struct TToolRun {
  int Code = -1;
  std::string Out, Err;
  QJsonObject Json;  ///< standard output parsed, when it is one JSON object
};

class DeviceVerbs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(Tool()) || !fs::exists(BinDir() + "/vornik-sim")) GTEST_SKIP() << "programs not built";
  }
  static std::string Tool() { return BinDir() + "/vornik-tool"; }

  /// A vornik-sim on a free TCP port; returns the port.
  int StartSim(std::vector<std::string> Extra = {}) {
    const int port = test::FreeTcpPort();
    std::vector<std::string> argv{BinDir() + "/vornik-sim", "--port", std::to_string(port), "--cpu-type", "20"};
    argv.insert(argv.end(), Extra.begin(), Extra.end());
    Sims.push_back(std::make_unique<TBackgroundProcess>(argv, Dir.Path("sim" + std::to_string(port) + ".out")));
    EXPECT_TRUE(test::WaitForTcpListener(port, 10000)) << Sims.back()->Output();
    return port;
  }
  /// A vornik-sim on a pseudo-terminal; returns its path.
  std::string StartPtySim(std::vector<std::string> Extra = {}) {
    std::vector<std::string> argv{BinDir() + "/vornik-sim", "--no-tcp", "--pty", "--cpu-type", "20"};
    argv.insert(argv.end(), Extra.begin(), Extra.end());
    Sims.push_back(std::make_unique<TBackgroundProcess>(argv, Dir.Path("pty" + std::to_string(Sims.size()) + ".out")));
    EXPECT_TRUE(Sims.back()->WaitForOutput("/dev/pts/", 10000)) << Sims.back()->Output();
    std::smatch m;
    const std::string out = Sims.back()->Output();
    return std::regex_search(out, m, std::regex("/dev/pts/[0-9]+")) ? m.str() : std::string();
  }
  static std::vector<std::string> Tcp(int Port) { return {"--ip", "127.0.0.1", "--port", std::to_string(Port)}; }

  TToolRun Run(const std::string& Verb, std::vector<std::string> Args) {
    Args.insert(Args.begin(), {Tool(), Verb});
    const auto r = RunProcess(Args, kRunTimeoutMs, Dir.Path(""));
    TToolRun t{r.ExitCode, r.Stdout, r.Stderr, {}};
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.Stdout), &err);
    if (err.error == QJsonParseError::NoError && doc.isObject()) t.Json = doc.object();
    return t;
  }
  static std::string Str(const QJsonObject& O, const char* Key) { return O.value(Key).toString().toStdString(); }

  std::string Firmware(const std::string& Name, int Size, const std::string& Build = "00042", int Start = 0x4000) {
    const std::string hex = Dir.Path(Name);
    const auto r = RunProcess({"/usr/bin/env", "python3", SourceDir() + "/scripts/make-demo-firmware.py", hex,
                               "--start", std::to_string(Start), "--size", std::to_string(Size), "--build", Build},
                              30000);
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    return hex;
  }

  // Every JSON result has its three common keys.
  static void ExpectCommonKeys(const TToolRun& R) {
    EXPECT_TRUE(R.Json.value("result").isString()) << R.Out;
    EXPECT_TRUE(R.Json.value("text").isString()) << R.Out;
    EXPECT_TRUE(R.Json.value("seconds").isDouble()) << R.Out;
    EXPECT_EQ(R.Out.find('\n'), R.Out.size() - 1) << "exactly one line: " << R.Out;
  }

  TempDir Dir;
  std::vector<std::unique_ptr<TBackgroundProcess>> Sims;  // stopped by pid when the test ends
};

TEST_F(DeviceVerbs, IdentifyShowsTheRecordAndTellsMissingDevicesApart) {
  const int sim = StartSim({"--name", "Kazan\x01" "3"});
  TToolRun r = Run("identify", {"--ip", "127.0.0.1", "--port", std::to_string(sim), "--json"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "ok");
  EXPECT_EQ(Str(r.Json, "text").rfind("Készülékinformációk: B0042 VSIM01 2026-01-15 10:30 Projekt: 42", 0), 0u);
  const QJsonObject d = r.Json.value("device").toObject();
  EXPECT_EQ(d.value("address").toInteger(), kSimAddress);
  EXPECT_EQ(Str(d, "format"), "KRVW");
  EXPECT_EQ(Str(d, "build_id"), "B0042");
  EXPECT_EQ(Str(d, "build_name"), "VSIM01");
  EXPECT_EQ(Str(d, "build_date"), "2026-01-15T10:30:00");
  EXPECT_EQ(d.value("project").toInt(), 42);
  EXPECT_EQ(d.value("device_type").toInt(), 7);
  EXPECT_EQ(Str(d, "device_type_name"), "légsebesség-szenzor");
  // As the information text shows it: control bytes and the zeros after the name as dashes.
  EXPECT_EQ(Str(d, "name"), "Kazan-3" + std::string(17, '-'));
  EXPECT_EQ(d.value("rx_buffer").toInt(), 1024);
  EXPECT_FALSE(d.value("bootloader_running").toBool(true));
  EXPECT_EQ(d.value("cpu_type").toInt(), 20);
  EXPECT_EQ(d.value("supply_voltage").toInt(), 240);

  // Plain text: the line the window shows.
  r = Run("identify", {"--ip", "127.0.0.1", "--port", std::to_string(sim), "--address", "$2B97C"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("Készülékinformációk: B0042", 0), 0u) << r.Out;

  // KRVW answers from the short address are refused: the KRV request that follows is answered.
  const int shortAddr = StartSim({"--short-krvw-address"});
  r = Run("identify", {"--ip", "127.0.0.1", "--port", std::to_string(shortAddr), "--json"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Str(r.Json.value("device").toObject(), "format"), "KRV") << r.Out;

  // Nothing listening, a device that stays silent, one whose answers never decode: exit 3.
  WriteAll(Dir.Path("quick.ini"), kQuickSettings);
  const int silent = StartSim({"--silent"});
  const int garbage = StartSim({"--corrupt", "1"});
  struct {
    int port;
    const char* result;
  } missing[] = {{test::FreeTcpPort(), "no-link"}, {silent, "no-answer"}, {garbage, "no-answer"}};
  for (const auto& m : missing) {
    r = Run("identify", {"--ip", "127.0.0.1", "--port", std::to_string(m.port), "--settings", "quick.ini", "--json"});
    EXPECT_EQ(r.Code, 3) << m.result << r.Err;
    ExpectCommonKeys(r);
    EXPECT_EQ(Str(r.Json, "result"), m.result);
  }
  // The settings file is only read.
  EXPECT_EQ(ReadAll(Dir.Path("quick.ini")), kQuickSettings);
}

TEST_F(DeviceVerbs, IdentifyAndRestartOverAPseudoTerminal) {
  const std::string path = StartPtySim({"--address", "5"});
  ASSERT_FALSE(path.empty());
  TToolRun r = Run("identify", {"--serial", path, "--baud", "115200", "--address", "5", "--json"});
  EXPECT_EQ(r.Code, 0) << r.Err << r.Out;
  EXPECT_EQ(r.Json.value("device").toObject().value("address").toInteger(), 5);
  r = Run("restart", {"--serial", path, "--address", "5", "--json", "--log", "restart.log"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "ok");
  EXPECT_NE(ReadAll(Dir.Path("restart.log")).find("CSYRS"), std::string::npos);
  EXPECT_TRUE(Sims.back()->WaitForOutput("CSYRS", 5000)) << Sims.back()->Output();

  r = Run("restart", {"--serial", Dir.Path("no-such-tty"), "--json"});
  EXPECT_EQ(r.Code, 3);
  EXPECT_EQ(Str(r.Json, "result"), "no-link");
}

TEST_F(DeviceVerbs, UpdateInstallsThenLeavesTheCurrentBuildAlone) {
  const int sim = StartSim();
  const std::string fw = Firmware("fw.hex", 20000, "A0107");
  TToolRun r = Run("update", {"--ip", "127.0.0.1", "--port", std::to_string(sim), "--fw", fw, "--json",
                              "--skip-current", "--log", "update.log"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "fwrOk");
  EXPECT_EQ(r.Json.value("upload_result").toInt(-1), 0);
  EXPECT_EQ(r.Json.value("bytes").toInt(), 20000);
  EXPECT_NE(r.Err.find("update: 100%"), std::string::npos) << r.Err;  // not a terminal: 10% lines
  EXPECT_NE(ReadAll(Dir.Path("update.log")).find("Vornik: BeforeCFLUD"), std::string::npos);

  r = Run("update", {"--ip", "127.0.0.1", "--port", std::to_string(sim), "--fw", fw, "--json", "--skip-current"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "current");
  EXPECT_EQ(r.Json.value("bytes").toInt(-1), 0);
  EXPECT_EQ(r.Json.value("upload_result").toInt(-1), 0);

  // A device that takes no block of this image; no link at all.
  const int refusing = StartSim({"--not-compatible"});
  r = Run("update", {"--ip", "127.0.0.1", "--port", std::to_string(refusing), "--fw", fw, "--json"});
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "fwrFirmwareNotCompatible");
  EXPECT_EQ(r.Json.value("upload_result").toInt(), 11);
  r = Run("update", {"--ip", "127.0.0.1", "--port", std::to_string(test::FreeTcpPort()), "--fw", fw, "--json"});
  EXPECT_EQ(r.Code, 3);
  EXPECT_EQ(Str(r.Json, "result"), "no-link");
  EXPECT_EQ(r.Json.value("upload_result").toInt(), 2);
}

// A port that listens but never accepts: a connection attempt waits in its queue, so the test
// can tell whether anybody tried.
class TSilentListener {
 public:
  TSilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = ntohs(a.sin_port);
    ::fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~TSilentListener() { ::close(fd_); }
  int Port() const { return port_; }
  bool SomebodyCame() {
    const int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return false;
    ::close(c);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(DeviceVerbs, DamagedFirmwareNeverOpensTheLink) {
  const std::string good = Firmware("good.hex", 0x6000);
  ASSERT_EQ(Run("hex2qob", {good}).Code, 0);
  const std::string qob = ReadAll(Dir.Path("good.qob"));
  const std::string hex = ReadAll(good);
  std::vector<std::pair<std::string, std::string>> files = {
      {"cut.qob", qob.substr(0, 1000)},
      {"marker.qob", qob.substr(0, qob.size() - 15) + "x" + qob.substr(qob.size() - 14)},
      {"cut.hex", hex.substr(0, hex.rfind('\n', hex.size() - 2) + 1)},
      {"nobuild.hex", ":10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n"},
  };
  for (const auto& [name, content] : files) WriteAll(Dir.Path(name), content);
  // A package that does not match the checksum file beside it.
  std::string flipped = qob;
  flipped[100] ^= 1;
  WriteAll(Dir.Path("sum.qob"), flipped);
  WriteAll(Dir.Path("sum.qob.sha256"), ReadAll(Dir.Path("good.qob.sha256")));
  files.emplace_back("sum.qob", flipped);

  TSilentListener device;
  const std::string port = std::to_string(device.Port());
  WriteAll(Dir.Path("devices.txt"), "127.0.0.1:" + port + ":178556\n");
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    const std::string fw = Dir.Path(name);
    const TToolRun update = Run("update", {"--ip", "127.0.0.1", "--port", port, "--fw", fw, "--json"});
    EXPECT_EQ(update.Code, 2) << update.Err;
    EXPECT_EQ(Str(update.Json, "result"), "usage");
    const TToolRun fleet = Run("fleet", {"--fw", fw, "--log-dir", Dir.Path(""), "devices.txt"});
    EXPECT_EQ(fleet.Code, 2) << fleet.Err;
    const TToolRun listen = Run("listen", {"--listen-port", "0", "--fw", fw});
    EXPECT_EQ(listen.Code, 2) << listen.Err;
    EXPECT_EQ(listen.Err.find("listening on"), std::string::npos) << listen.Err;
    const auto start = RunProcess({BinDir() + "/vornik", "-start", "-fw", fw, "-address", "178556", "-ip", "127.0.0.1",
                                   "-port", port},
                                  kRunTimeoutMs, Dir.Path(""));
    EXPECT_EQ(start.ExitCode, 99) << start.Stdout;
    EXPECT_FALSE(device.SomebodyCame());
  }
  // The good files do reach the device.
  const auto start = RunProcess({BinDir() + "/vornik", "-start", "-fw", Dir.Path("good.qob"), "-address", "178556",
                                 "-ip", "127.0.0.1", "-port", port},
                                5000, Dir.Path(""));
  EXPECT_TRUE(device.SomebodyCame()) << start.Stdout;
}

TEST_F(DeviceVerbs, BadUsageIsRefusedBeforeTheLinkOpens) {
  // No simulator: every case must stop before a link is tried.
  const std::string fw = Firmware("fw.hex", 20000);
  WriteAll(Dir.Path("bad.hex"), ":10000000ZZ\n");
  // A bootloader image: at address 0, its first eight vector words sum to 0.
  const std::string zeros(32, '0');
  WriteAll(Dir.Path("boot.hex"), ":10000000" + zeros + "F0\n:10001000" + zeros + "E0\n:0B0020004275696C643A3030303031BA\n:00000001FF\n");
  struct {
    std::string verb;
    std::vector<std::string> args;
  } cases[] = {
      {"identify", {"--ip", "127.0.0.1", "--port", "1", "--bogus"}},
      {"identify", {"--ip", "127.0.0.1"}},
      {"identify", {"--ip", "127.0.0.1", "--port", "70000"}},
      {"identify", {"--ip", "127.0.0.1", "--port", "1", "--address", "4294967296"}},
      {"identify", {"--ip", "127.0.0.1", "--port", "1", "--address", "-1"}},
      {"identify", {"--ip", "127.0.0.1", "--port", "1", "--serial", "/dev/null"}},
      {"restart", {"--ip", "127.0.0.1", "--port", "1", "--settings", "missing.ini"}},
      {"update", {"--ip", "127.0.0.1", "--port", "1"}},
      {"update", {"--ip", "127.0.0.1", "--port", "1", "--fw", "missing.hex"}},
      {"update", {"--ip", "127.0.0.1", "--port", "1", "--fw", "bad.hex"}},
      {"update", {"--ip", "127.0.0.1", "--port", "1", "--fw", "boot.hex"}},
      {"update", {"--ip", "127.0.0.1", "--port", "1", "--fw"}},
      {"flash-read", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "0", "--length", "10", "--out", "no/x.bin"}},
      {"flash-read", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "65536", "--length", "10", "--out", "x"}},
      {"flash-read", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "0", "--length", "0", "--out", "x"}},
      {"flash-read", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "0", "--length", "9", "--block-size", "256",
                      "--out", "x"}},
      {"flash-write", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "0", "missing.bin"}},
      {"flash-write", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "x", fw}},
      {"fleet", {"--fw", fw}},
      {"flash-read", {"--ip", "127.0.0.1", "--port", "1", "--start-page", "0", "--length", "10", "--out", "/proc/x.bin"}},
      {"fleet", {"--fw", fw, "--log-dir", "devices.txt/logs", "devices.txt"}},
      {"fleet", {"--fw", fw, "--parallel", "0", "devices.txt"}},
      {"listen", {"--fw", fw}},
      {"listen", {"--listen-port", "70000", "--fw", fw}},
      {"listen", {"--listen-port", "0", "--fw", fw, "--count", "0"}},
      {"listen", {"--listen-port", "0", "--fw", fw, "--max-unidentified", "x"}},
      {"listen", {"--listen-port", "0", "--fw", fw, "--max-per-address", "-1"}},
      {"listen", {"--listen-port", "0", "--fw", fw, "--log-dir", "devices.txt/logs"}},
      {"listen", {"--listen-port", "0", "--fw", fw, "--address", "$1FFFFFFFF"}},
      {"listen", {"--listen-port", "0", "--fw", "boot.hex"}},
      {"listen", {"--listen-port", "0", "--fw", fw, "--bind", "not-an-address"}},
      {"listen", {"--listen-port", "0", "--fw", fw, "devices.txt"}},
  };
  WriteAll(Dir.Path("devices.txt"), "127.0.0.1:1:255\n");
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const TToolRun r = Run(c.verb, args);
    EXPECT_EQ(r.Code, 2) << c.verb << " " << c.args.back() << ": " << r.Err << r.Out;
    ExpectCommonKeys(r);
    EXPECT_EQ(Str(r.Json, "result"), "usage");
    // One line naming the problem on standard error.
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  }
  EXPECT_FALSE(fs::exists(Dir.Path("x")));
  // The bootloader image goes with --bootloader (and then finds no link).
  const TToolRun boot = Run("update", {"--ip", "127.0.0.1", "--port", std::to_string(test::FreeTcpPort()), "--fw",
                                       "boot.hex", "--bootloader"});
  EXPECT_EQ(boot.Code, 3) << boot.Err;
}

TEST_F(DeviceVerbs, FlashWriteConcatenatesFilesAndFlashReadGetsThemBack) {
  const int sim = StartSim({"--flash-pages", "64"});
  WriteAll(Dir.Path("a.bin"), std::string(1000, 'a') + "\x01\x02");
  WriteAll(Dir.Path("b.bin"), std::string(300, '\0') + "end");
  const std::string both = ReadAll(Dir.Path("a.bin")) + ReadAll(Dir.Path("b.bin"));
  std::vector<std::string> args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "$10", "a.bin", "b.bin", "--json"});
  TToolRun r = Run("flash-write", args);
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "freOk");
  EXPECT_EQ(r.Json.value("bytes").toInteger(), static_cast<qint64>(both.size()));

  args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "16", "--length", std::to_string(both.size()), "--block-size", "100",
                           "--out", "back.bin", "--json"});
  r = Run("flash-read", args);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Json.value("bytes").toInteger(), static_cast<qint64>(both.size()));
  EXPECT_TRUE(ReadAll(Dir.Path("back.bin")) == both);

  // Beyond the end of the flash: the device refuses; no output file is left behind.
  args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "63", "--length", "600", "--out", "beyond.bin", "--json"});
  r = Run("flash-read", args);
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(Str(r.Json, "result").rfind("fre", 0), 0u) << r.Out;
  EXPECT_NE(Str(r.Json, "result"), "freOk");
  EXPECT_FALSE(fs::exists(Dir.Path("beyond.bin")));
  args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "63", "--page-size", "264", "a.bin", "b.bin", "--json"});
  r = Run("flash-write", args);
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "frePageIndexOutOfRange");
  EXPECT_EQ(r.Json.value("bytes").toInt(), 264);  // the one page that fitted

  // The read went well but the file cannot take it: not freOk.
  args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "16", "--length", "100", "--out", "/dev/full", "--json"});
  r = Run("flash-read", args);
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "write-failed") << r.Out;
  EXPECT_EQ(r.Json.value("bytes").toInt(-1), 0);
}

TEST_F(DeviceVerbs, FleetOfFiveWithADeadAndALossyDevice) {
  const std::string fw = Firmware("fw.hex", 20000, "C0200");
  const int a = StartSim();
  const std::string b = StartPtySim({"--address", "4660"});
  const int lossy = StartSim({"--drop-in", "0.05", "--drop-out", "0.05", "--seed", "7"});
  const int current = StartSim({"--build-id", "C0200"});
  const int dead = test::FreeTcpPort();
  const std::string file = "# night run\n"
                           "127.0.0.1:" + std::to_string(a) + ":178556\n"
                           "\n"
                           "  serial:" + b + ":115200:$1234   # second site\n"
                           "127.0.0.1:" + std::to_string(dead) + ":255\n"
                           "127.0.0.1:" + std::to_string(lossy) + ":255\n"
                           "127.0.0.1:" + std::to_string(current) + ":255\n";
  WriteAll(Dir.Path("devices.txt"), file);
  fs::create_directory(Dir.Path("logs"));
  TToolRun r = Run("fleet", {"--fw", fw, "--parallel", "3", "--skip-current", "--log-dir", "logs", "--json",
                             "devices.txt"});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(r.Json.value("ok").toInt(), 4) << r.Out;
  EXPECT_EQ(r.Json.value("failed").toInt(), 1);
  const QJsonArray devices = r.Json.value("devices").toArray();
  ASSERT_EQ(devices.size(), 5);
  struct {
    std::string device;
    qint64 address;
    const char* result;
    int upload;
  } expected[] = {
      {"127.0.0.1:" + std::to_string(a) + ":178556", 178556, "fwrOk", 0},
      {"serial:" + b + ":115200:$1234", 0x1234, "fwrOk", 0},
      {"127.0.0.1:" + std::to_string(dead) + ":255", 255, "no-link", 2},
      {"127.0.0.1:" + std::to_string(lossy) + ":255", 255, "fwrOk", 0},
      {"127.0.0.1:" + std::to_string(current) + ":255", 255, "current", 0},
  };
  for (int i = 0; i < 5; ++i) {
    const QJsonObject d = devices[i].toObject();
    EXPECT_EQ(Str(d, "device"), expected[i].device);
    EXPECT_EQ(d.value("address").toInteger(), expected[i].address);
    EXPECT_EQ(Str(d, "result"), expected[i].result) << expected[i].device;
    EXPECT_EQ(d.value("upload_result").toInt(-1), expected[i].upload);
    EXPECT_TRUE(d.value("seconds").isDouble());
    EXPECT_TRUE(fs::exists(Dir.Path("") + "/" + Str(d, "log"))) << Str(d, "log");
  }

  // Run again: only the device that failed is tried again; the others now run C0200.
  r = Run("fleet", {"--fw", fw, "--skip-current", "--log-dir", "logs", "--json", "devices.txt"});
  EXPECT_EQ(r.Code, 1);
  int currentCount = 0;
  for (const auto& d : r.Json.value("devices").toArray()) currentCount += Str(d.toObject(), "result") == "current";
  EXPECT_EQ(currentCount, 4) << r.Out;
}

TEST_F(DeviceVerbs, MalformedDevicesFileStopsBeforeAnythingStarts) {
  const std::string fw = Firmware("fw.hex", 20000);
  struct {
    const char* content;
    const char* line;
  } cases[] = {
      {"127.0.0.1:1001:5\n127.0.0.1:1001\n", "line 2"},
      {"# c\n\n127.0.0.1:99999:5\n", "line 3"},
      {"::1:1001:5\n", "line 1"},
      {"[::1]:1001:5\n127.0.0.1:1001:x5\n", "line 2"},
      {"serial:/dev/ttyUSB0:fast:5\n", "line 1"},
      {"127.0.0.1:1001:-5\n", "line 1"},
      // The same device twice: both lines are named.
      {"127.0.0.1:1001:5\n127.0.0.1:1002:5\n# again\nLOCALHOST:1001:5\nlocalhost:1001:$5\n", "line 5 names the device of line 4"},
      {"serial:/dev/ttyUSB0:115200:7\nserial:/dev/ttyUSB0:9600:7\n", "line 2 names the device of line 1"},
  };
  for (const auto& c : cases) {
    WriteAll(Dir.Path("devices.txt"), c.content);
    const TToolRun r = Run("fleet", {"--fw", fw, "--json", "devices.txt"});
    EXPECT_EQ(r.Code, 2) << c.content;
    EXPECT_EQ(Str(r.Json, "result"), "usage");
    EXPECT_NE(r.Err.find(c.line), std::string::npos) << c.content << r.Err;
  }
  EXPECT_FALSE(fs::exists(Dir.Path("vornik-fleet-logs")));
}

TEST_F(DeviceVerbs, FleetLinesOfEveryFormWithoutDevicesBehindThem) {
  const std::string fw = Firmware("fw.hex", 20000);
  const std::string free = std::to_string(test::FreeTcpPort());
  WriteAll(Dir.Path("devices.txt"), "[::1]:" + free + ":5\n"
                                    "serial:" + Dir.Path("tty:A") + ":9600:$10 # a colon in the path\n"
                                    "localhost:" + free + ":4294967295\n");
  const TToolRun r = Run("fleet", {"--fw", fw, "--json", "devices.txt"});
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(r.Json.value("failed").toInt(), 3);
  const QJsonArray d = r.Json.value("devices").toArray();
  ASSERT_EQ(d.size(), 3);
  const qint64 addresses[] = {5, 16, 4294967295};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Str(d[i].toObject(), "result"), "no-link") << r.Out;
    EXPECT_EQ(d[i].toObject().value("upload_result").toInt(), 2);
    EXPECT_EQ(d[i].toObject().value("address").toInteger(), addresses[i]);
  }
  EXPECT_EQ(Str(d[1].toObject(), "device"), "serial:" + Dir.Path("tty:A") + ":9600:$10");
  // The default log folder is made beside the run.
  EXPECT_TRUE(fs::is_directory(Dir.Path("vornik-fleet-logs")));
}

TEST_F(DeviceVerbs, ListenUpdatesTheListedDevicesThatConnectIn) {
  const std::string fw = Firmware("fw.hex", 20000, "C0300");
  const int port = test::FreeTcpPort();
  const std::string target = "127.0.0.1:" + std::to_string(port);
  // The devices dial before the PC listens; they keep trying every second.
  auto sim = [&](uint32_t Address, std::vector<std::string> Extra) {
    std::vector<std::string> argv{BinDir() + "/vornik-sim", "--connect", target, "--address", std::to_string(Address),
                                  "--cpu-type", "20"};
    argv.insert(argv.end(), Extra.begin(), Extra.end());
    Sims.push_back(std::make_unique<TBackgroundProcess>(argv, Dir.Path("dial" + std::to_string(Address) + ".out")));
  };
  sim(178556, {"--announce"});  // identified by its first frame
  sim(178600, {});              // identified by its answer to the request at 6 s
  sim(178700, {"--announce"});  // not listed
  fs::create_directory(Dir.Path("logs"));
  TToolRun r = Run("listen", {"--listen-port", std::to_string(port), "--bind", "127.0.0.1", "--fw", fw, "--address",
                              "178556", "--address", "$2B9A8", "--count", "2", "--idle-timeout", "60", "--log-dir",
                              "logs", "--json"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "ok") << r.Out;
  EXPECT_EQ(r.Json.value("ok").toInt(), 2);
  EXPECT_EQ(r.Json.value("failed").toInt(), 0);
  const QJsonArray devices = r.Json.value("devices").toArray();
  ASSERT_EQ(devices.size(), 2) << r.Out;
  const qint64 order[] = {178556, 178600};
  for (int i = 0; i < 2; ++i) {
    const QJsonObject d = devices[i].toObject();
    EXPECT_EQ(d.value("address").toInteger(), order[i]);
    EXPECT_TRUE(std::regex_match(Str(d, "device"), std::regex("127\\.0\\.0\\.1:[0-9]+"))) << Str(d, "device");
    EXPECT_EQ(Str(d, "result"), "fwrOk");
    EXPECT_EQ(d.value("upload_result").toInt(-1), 0);
    EXPECT_TRUE(d.value("seconds").isDouble());
    EXPECT_TRUE(fs::exists(Dir.Path("") + "/" + Str(d, "log"))) << Str(d, "log");
  }
  const QJsonArray ignored = r.Json.value("ignored").toArray();
  ASSERT_EQ(ignored.size(), 1) << r.Out;  // once, however often it called
  EXPECT_EQ(ignored[0].toObject().value("address").toInteger(), 178700);
  EXPECT_TRUE(fs::exists(Dir.Path("logs/server.log")));
  for (int i = 0; i < 2; ++i) EXPECT_NE(Sims[i]->Output().find("Installed firmware"), std::string::npos);
  EXPECT_EQ(Sims[2]->Output().find("Installed firmware"), std::string::npos);
  EXPECT_NE(Sims[0]->Output().find("restarting: hung up"), std::string::npos) << Sims[0]->Output();

  // Stopped half way: the running update is aborted and reported; the unlisted device still is not.
  const std::string big = Firmware("big.hex", 400000, "C0400");
  const int port2 = test::FreeTcpPort();
  TBackgroundProcess listen({Tool(), "listen", "--listen-port", std::to_string(port2), "--bind", "127.0.0.1", "--fw",
                             big, "--log-dir", Dir.Path("logs"), "--json"},
                            Dir.Path("listen2.out"));
  ASSERT_TRUE(test::WaitForTcpListener(port2, 10000)) << listen.Output();
  Sims.push_back(std::make_unique<TBackgroundProcess>(
      std::vector<std::string>{BinDir() + "/vornik-sim", "--connect", "127.0.0.1:" + std::to_string(port2),
                               "--announce", "--cpu-type", "20", "--turnaround-ms", "5"},
      Dir.Path("dial-stop.out")));
  ASSERT_TRUE(listen.WaitForOutput("10%", 60000)) << listen.Output();
  const int status = listen.Stop();
  ASSERT_TRUE(WIFEXITED(status)) << listen.Output();
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::smatch m;
  const std::string out = listen.Output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("\\{\"devices\".*\\}"))) << out;
  const QJsonObject j = QJsonDocument::fromJson(QByteArray::fromStdString(m.str())).object();
  EXPECT_EQ(Str(j, "result"), "failed");
  ASSERT_EQ(j.value("devices").toArray().size(), 1) << out;
  EXPECT_EQ(Str(j.value("devices").toArray()[0].toObject(), "result"), "fwrAborted");
  EXPECT_EQ(j.value("devices").toArray()[0].toObject().value("upload_result").toInt(), 1);
}

TEST_F(DeviceVerbs, ListenFailsForAListedDeviceThatNeverCalled) {
  const std::string fw = Firmware("fw.hex", 20000);
  // The log folder is made with its parents.
  TToolRun r = Run("listen", {"--listen-port", "0", "--bind", "127.0.0.1", "--fw", fw, "--address", "178556",
                              "--idle-timeout", "1", "--log-dir", "new/logs", "--json"});
  EXPECT_EQ(r.Code, 1) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "failed");
  EXPECT_TRUE(fs::is_directory(Dir.Path("new/logs")));
  const QJsonArray devices = r.Json.value("devices").toArray();
  ASSERT_EQ(devices.size(), 1) << r.Out;
  const QJsonObject d = devices[0].toObject();
  EXPECT_EQ(d.value("address").toInteger(), 178556);
  EXPECT_EQ(Str(d, "result"), "not-seen");
  EXPECT_FALSE(d.contains("upload_result")) << r.Out;
  EXPECT_EQ(r.Json.value("failed").toInt(), 1);

  // Without a list nobody is missing.
  r = Run("listen", {"--listen-port", "0", "--bind", "127.0.0.1", "--fw", fw, "--idle-timeout", "1", "--log-dir",
                     "new/logs", "--json"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "ok");
  EXPECT_TRUE(r.Json.value("devices").toArray().isEmpty()) << r.Out;
}

TEST_F(DeviceVerbs, ScanListsTheDevicesOfABusLikeIdentify) {
  const std::string path = StartPtySim({"--bus", "3", "--address", "17", "--quiet"});
  ASSERT_FALSE(path.empty());
  TToolRun r = Run("scan", {"--serial", path, "--addresses", "10-20,$1E", "--json"});
  ASSERT_EQ(r.Code, 0) << r.Err << r.Out;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "ok");
  EXPECT_EQ(r.Json.value("asked").toInt(), 12);
  const QJsonArray devices = r.Json.value("devices").toArray();
  ASSERT_EQ(devices.size(), 3) << r.Out;
  TToolRun one = Run("identify", {"--serial", path, "--address", "18", "--json"});
  ASSERT_EQ(one.Code, 0) << one.Err;
  const QJsonObject expected = one.Json.value("device").toObject();
  for (qsizetype i = 0; i < devices.size(); ++i) {
    const QJsonObject d = devices[i].toObject();
    EXPECT_EQ(d.value("address").toInteger(), 17 + i);
    EXPECT_EQ(d.keys(), expected.keys());
    EXPECT_EQ(Str(d, "build_id"), "B0042");
  }
  // Plain text: a line per device, then the summary.
  r = Run("scan", {"--serial", path, "--addresses", "18"});
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out.rfind("18  KRV  B0042", 0), 0u) << r.Out;

  struct {
    std::vector<std::string> Args;
    int Code;
    const char* Result;
  } bad[] = {{{"--serial", path, "--addresses", "5-3"}, 2, "usage"},
             {{"--serial", path, "--addresses", "1,,2"}, 2, "usage"},
             {{"--serial", path, "--addresses", "255"}, 2, "usage"},
             {{"--serial", path, "--address", "5"}, 2, "usage"},
             {{"--serial", path, "--answer-ms", "0"}, 2, "usage"},
             {{"--serial", Dir.Path("no-such-tty"), "--addresses", "1-3"}, 3, "no-link"}};
  for (auto& b : bad) {
    b.Args.push_back("--json");
    r = Run("scan", b.Args);
    EXPECT_EQ(r.Code, b.Code) << b.Args[3] << r.Err;
    EXPECT_EQ(Str(r.Json, "result"), b.Result) << r.Out;
  }
}

TEST_F(DeviceVerbs, AnswerTimesFromTheCommandLineGiveUpOnASilentDeviceQuickly) {
  const int silent = StartSim({"--silent"});
  std::vector<std::string> args = Tcp(silent);
  args.insert(args.end(), {"--answer-ms", "100,150", "--tries", "1", "--json"});
  TToolRun r = Run("identify", args);
  EXPECT_EQ(r.Code, 3) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "no-answer");
  // The settings' own times (300, 2000, 4500 ms, four tries) would take well over ten seconds.
  EXPECT_LT(r.Json.value("seconds").toDouble(), 5.0);
  for (const char* bad : {"0", "1,2,3,4", "x", "100,", "600001"}) {
    args = Tcp(silent);
    args.insert(args.end(), {"--answer-ms", bad, "--json"});
    r = Run("identify", args);
    EXPECT_EQ(r.Code, 2) << bad;
    EXPECT_EQ(Str(r.Json, "result"), "usage") << bad;
  }
  args = Tcp(silent);
  args.insert(args.end(), {"--tries", "0", "--json"});
  EXPECT_EQ(Run("restart", args).Code, 2);
}

TEST_F(DeviceVerbs, VerifiedFlashWriteAndTheDigestsOfWhatWasWrittenAndRead) {
  const int sim = StartSim({"--flash-pages", "64", "--quiet"});
  std::string data;
  for (int i = 0; i < 1500; ++i) data += static_cast<char>(i * 13 + i / 7);
  WriteAll(Dir.Path("d.bin"), data);
  const auto sum = RunProcess({"/usr/bin/env", "sha256sum", Dir.Path("d.bin")}, 10000);
  const std::string digest = sum.Stdout.substr(0, 64);
  std::vector<std::string> args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "2", "--verify", "d.bin", "--json"});
  TToolRun r = Run("flash-write", args);
  ASSERT_EQ(r.Code, 0) << r.Err << r.Out;
  EXPECT_EQ(Str(r.Json, "result"), "freOk");
  EXPECT_TRUE(r.Json.value("verified").toBool());
  EXPECT_EQ(Str(r.Json, "sha256"), digest);
  args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "2", "--length", "1500", "--out", "back.bin"});
  r = Run("flash-read", args);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("sha256 " + digest), std::string::npos) << r.Out;
  // A write that fails half-way names no digest and is not verified.
  args = Tcp(sim);
  args.insert(args.end(), {"--start-page", "63", "--verify", "d.bin", "--json"});
  r = Run("flash-write", args);
  EXPECT_EQ(r.Code, 1) << r.Err;
  EXPECT_EQ(Str(r.Json, "result"), "frePageIndexOutOfRange");
  EXPECT_FALSE(r.Json.contains("sha256"));
  EXPECT_FALSE(r.Json.value("verified").toBool(true));
}

TEST_F(DeviceVerbs, PortsListsWhatIsPresentAlsoWhenThatIsNothing) {
  TToolRun r = Run("ports", {"--json"});
  ASSERT_EQ(r.Code, 0) << r.Err;
  ExpectCommonKeys(r);
  EXPECT_EQ(Str(r.Json, "result"), "ok");
  ASSERT_TRUE(r.Json.value("ports").isArray()) << r.Out;
  for (const QJsonValue& v : r.Json.value("ports").toArray()) {
    const QJsonObject p = v.toObject();
    for (const char* key : {"path", "by_id", "description", "manufacturer", "serial_number", "vendor_id", "product_id",
                            "may_open", "group", "permission_hint", "latency_timer_ms"})
      EXPECT_TRUE(p.contains(key)) << key << " in " << r.Out;
  }
  EXPECT_EQ(Run("ports", {}).Code, 0);
  r = Run("ports", {"--bogus", "--json"});
  EXPECT_EQ(r.Code, 2);
  EXPECT_EQ(Str(r.Json, "result"), "usage");
}

TEST_F(DeviceVerbs, FleetOnOneBusUpdatesEveryDeviceOfIt) {
  const std::string fw = Firmware("fw.hex", 20000, "C0300");
  const std::string bus = StartPtySim({"--bus", "3", "--address", "178556", "--quiet"});
  ASSERT_FALSE(bus.empty());
  const int tcp = StartSim();
  std::string file;
  for (int a = 178556; a < 178559; ++a) file += "serial:" + bus + ":115200:" + std::to_string(a) + "\n";
  file += "127.0.0.1:" + std::to_string(tcp) + ":178556\n";
  WriteAll(Dir.Path("devices.txt"), file);
  fs::create_directory(Dir.Path("logs"));
  TToolRun r = Run("fleet", {"--fw", fw, "--log-dir", "logs", "--json", "devices.txt"});
  EXPECT_EQ(r.Code, 0) << r.Err << r.Out;
  EXPECT_EQ(r.Json.value("ok").toInt(), 4) << r.Out;
  for (const auto& d : r.Json.value("devices").toArray()) EXPECT_EQ(Str(d.toObject(), "result"), "fwrOk") << r.Out;
}

TEST_F(DeviceVerbs, EveryCommandIsInTheHelpTheManualAndTheCompletion) {
  const std::string completion = ReadAll(SourceDir() + "/packaging/vornik-tool.bash-completion");
  const std::string manual = ReadAll(SourceDir() + "/docs/man/vornik-tool.1");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(completion, m, std::regex("commands=\"([^\"]+)\""))) << completion;
  std::istringstream names(m[1].str());
  const std::string help = Run("--help", {}).Out;
  int count = 0;
  for (std::string name; names >> name; ++count) {
    EXPECT_NE(help.find("  " + name + " "), std::string::npos) << name << " in --help";
    std::string roff;
    for (char c : name) roff += c == '-' ? std::string("\\\\-") : std::string(1, c);
    EXPECT_TRUE(std::regex_search(manual, std::regex("\\n\\.BI? " + roff + "[ \\n]"))) << name << " in vornik-tool(1)";
    const TToolRun r = Run(name, {"--no-such-option", "--json"});
    EXPECT_EQ(r.Code, 2) << name;
    EXPECT_EQ(r.Err.find("unknown command"), std::string::npos) << name << ": " << r.Err;
  }
  EXPECT_GE(count, 14);
}

}  // namespace
}  // namespace vornik
