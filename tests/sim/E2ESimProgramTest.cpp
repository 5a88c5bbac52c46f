// vornik-sim as a process: identification over TCP 127.0.0.1 and over its pseudo-terminal, a
// reconnect that keeps the device's state, a clean stop on SIGTERM, and the option list. Every
// process started here is stopped by its pid; every wait is bounded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "codec/KRVCommands.h"
#include "codec/KRVProtocol.h"
#include "firmware/KRVDataUtils.h"
#include "firmware/uHexfileToStr.h"
#include "util/MorvelUtils.h"
#include "sim/SimRig.h"

namespace vornik::simtest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string SimPath() {
  const char* dir = std::getenv("VORNIK_BIN_DIR");
  return (fs::path(dir != nullptr ? dir : "bin") / "vornik-sim").string();
}

/// vornik-sim running as a child process with its output in a file.
class TSimProcess {
 public:
  explicit TSimProcess(std::vector<std::string> Args) {
    out_ = (fs::temp_directory_path() / ("vornik-sim-test-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(counter_++) + ".out"))
               .string();
    Args.insert(Args.begin(), SimPath());
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      std::vector<char*> argv;
      for (auto& a : Args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~TSimProcess() {
    if (pid_ > 0) Stop();
    std::error_code ec;
    fs::remove(out_, ec);
  }
  /// SIGTERM, then the exit status (-1 when it had to be killed).
  int Stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    const auto until = Clock::now() + std::chrono::seconds(10);
    int st = 0;
    while (Clock::now() < until) {
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = 0;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
      }
      ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &st, 0);
    pid_ = 0;
    return status_ = -1;
  }
  std::string Output() const {
    std::ifstream f(out_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  /// Waits (bounded) until the output matches Pattern; returns the first match.
  std::string WaitFor(const std::string& Pattern, int Ms = 10000) const {
    const std::regex re(Pattern);
    const auto until = Clock::now() + std::chrono::milliseconds(Ms);
    while (Clock::now() < until) {
      std::smatch m;
      const std::string out = Output();
      if (std::regex_search(out, m, re)) return m.str(1 <= m.size() - 1 ? 1 : 0);
      ::usleep(10000);
    }
    return {};
  }

 private:
  static inline int counter_ = 0;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_;
};

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

int Connect(int Port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

/// Writes Request and reads until a frame (one stop byte of either format) is complete.
std::string Exchange(int Fd, const std::string& Request, int Ms = 5000) {
  if (::write(Fd, Request.data(), Request.size()) != static_cast<ssize_t>(Request.size())) return {};
  std::string got;
  const auto until = Clock::now() + std::chrono::milliseconds(Ms);
  while (Clock::now() < until) {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(Fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
    if (got.find('\xFE') != std::string::npos || got.find('\xFC') != std::string::npos) break;
  }
  return got;
}

std::string Payload(const std::string& Frame, bool& Krvw) {
  TKRVProtocol dec;
  dec.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  std::string buf = Frame;
  const std::string f = dec.ExtractFrame(buf);
  std::string p = dec.Decode(f);
  Krvw = dec.LastWasKRVW();
  return dec.DecodeResult() == drOK ? p : std::string();
}

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(SimPath())) GTEST_SKIP() << "vornik-sim not built";
  }
};

TEST_F(SimProgram, IdentifiesOverTcpAndKeepsStateAcrossConnections) {
  const int port = FreePort();
  TSimProcess sim({"--port", std::to_string(port), "--address", "178556"});
  ASSERT_FALSE(sim.WaitFor("(listening on 127\\.0\\.0\\.1:[0-9]+)").empty()) << sim.Output();
  int fd = Connect(port);
  ASSERT_GE(fd, 0);
  bool krvw = false;
  std::string p = Payload(Exchange(fd, TSimRig::Frame("CSYSI", true, 21)), krvw);
  ASSERT_EQ(p.substr(0, 5), "ASYSI") << sim.Output();
  EXPECT_TRUE(krvw);
  // An upload announced, the connection dropped, a new one: the restart comes back in the bootloader.
  Exchange(fd, TSimRig::Frame(BuildCFLTS(1000, 0), true, 22, TInfo::kerek_nyugtat));
  ::close(fd);
  fd = Connect(port);
  ASSERT_GE(fd, 0);
  Exchange(fd, TSimRig::Frame("CSYRS", true, 23), 400);  // no answer: waits out the restart
  p = Payload(Exchange(fd, TSimRig::Frame("CSYSI", false, 24)), krvw);
  ::close(fd);
  TDeviceInfo info;
  std::string text;
  ASSERT_EQ(DecodeDeviceInfo(p, info, text), 0) << sim.Output();
  EXPECT_FALSE(krvw);
  EXPECT_EQ(info.BootloaderRunning, 1);
  EXPECT_EQ(sim.Stop(), 0);
  const std::string out = sim.Output();
  EXPECT_NE(out.find("CSYSI -> ASYSI 66 bytes (firmware runs)"), std::string::npos) << out;
  EXPECT_NE(out.find("CSYSI -> ASYSI 66 bytes (bootloader runs)"), std::string::npos) << out;
  EXPECT_NE(out.find("vornik-sim: stopped after"), std::string::npos) << out;
}

TEST_F(SimProgram, InstallPrintsItsSummaryAndSavesTheUnscrambledImage) {
  const int port = FreePort();
  const std::string saved = (fs::temp_directory_path() / ("vornik-sim-image-" + std::to_string(::getpid()))).string();
  TSimProcess sim({"--port", std::to_string(port), "--bootloader", "--quiet", "--save-image", saved});
  ASSERT_FALSE(sim.WaitFor("(listening on)").empty()) << sim.Output();
  const int fd = Connect(port);
  ASSERT_GE(fd, 0);
  const std::string plain = Pattern(300, 2);
  std::string image = plain;
  ScrambleImage(image, 0x8000);
  bool krvw = false;
  Exchange(fd, TSimRig::Frame(BuildCFLTS(300, 0), true, 1, TInfo::kerek_nyugtat));
  for (unsigned i = 0; i < 3; ++i)
    EXPECT_EQ(Payload(Exchange(fd, TSimRig::Frame(BuildCFLUL(static_cast<uint16_t>(256 + i), true,
                                                             image.substr(i * 128, 128)),
                                                  true, 2 + i)),
                      krvw),
              BuildAFLUL(0));
  EXPECT_EQ(Payload(Exchange(fd, TSimRig::Frame(BuildCFLUD(300, Crc16(image), 256), true, 9)), krvw), BuildAFLUD(0));
  ::close(fd);
  ASSERT_FALSE(sim.WaitFor("(Installed image saved)").empty()) << sim.Output();
  EXPECT_EQ(sim.Stop(), 0);
  const std::string out = sim.Output();
  char summary[128];
  std::snprintf(summary, sizeof summary, "Installed firmware: 300 bytes, CRC 0x%04X, start page 256 (address 0x00008000)",
                Crc16(image));
  EXPECT_NE(out.find(summary), std::string::npos) << out;
  EXPECT_EQ(out.find(" id "), std::string::npos) << "--quiet prints no request lines\n" << out;
  std::ifstream f(saved, std::ios::binary);
  std::stringstream got;
  got << f.rdbuf();
  EXPECT_TRUE(got.str() == plain);
  std::error_code ec;
  fs::remove(saved, ec);
}

TEST_F(SimProgram, IdentifiesOverItsPseudoTerminal) {
  TSimProcess sim({"--no-tcp", "--pty", "--baud", "9600", "--address", "5"});
  const std::string path = sim.WaitFor("(/dev/pts/[0-9]+)");
  ASSERT_FALSE(path.empty()) << sim.Output();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << path;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  bool krvw = true;
  const auto start = Clock::now();
  const std::string p = Payload(Exchange(fd, TSimRig::Frame("CSYSI", false, 30, TInfo::nem_kerek_nyugtat, 5)), krvw);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  ::close(fd);
  ASSERT_EQ(p.substr(0, 5), "ASYSI") << sim.Output();
  EXPECT_FALSE(krvw);
  // 92 answer bytes at 9600 baud take about 96 ms on the line.
  EXPECT_GE(ms, 80);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST_F(SimProgram, HelpListsEveryOptionAndBadOptionsAreRefused) {
  TSimProcess help({"--help"});
  ASSERT_FALSE(help.WaitFor("(--help)").empty());
  const std::string text = help.Output();
  for (const char* o : {"--port", "--address", "--pty", "--baud", "--no-tcp", "--save-image", "--drop-in", "--drop-out",
                        "--seed", "--corrupt", "--nack", "--delay-ms", "--silent", "--short-krvw-address",
                        "--refuse-blocks", "--quiet", "--bootloader", "--page-size", "--flash-pages",
                        "--reject-install"})
    EXPECT_NE(text.find(o), std::string::npos) << o;
  TSimProcess bad({"--drop-in", "1.5"});
  EXPECT_FALSE(bad.WaitFor("(bad value for --drop-in)").empty()) << bad.Output();
}

}  // namespace
}  // namespace vornik::simtest
