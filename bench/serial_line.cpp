// Line speed on the real clock: the real programs over a paced serial line made of two
// pseudo-terminals joined by a relay (tests/testkit/PacedPtyLine.h) that carries each direction no
// faster than the baud rate (10 bits a byte), optionally with a fixed delivery latency each way,
// to `vornik-sim --pty --baud 0 --bootloader` (a fresh device for every row).
//
// Rows: a bare client (sends each 128-byte block the moment the answer to the previous one is in,
// nothing else), `vornik -start` (normal mode), `vornik-tool update --batched`, the same with
// 16 ms latency each way, `vornik-tool flash-write`, `flash-read` and `flash-write --turbo`, and at
// 115200 baud the bare client and the normal mode on a 64 KiB image with 16 ms latency.
//
// For every row: seconds from the first byte on the line to the last, the seconds the line needs
// for every byte of both directions (wire), their ratio (share), the share against the bare
// client's at the same baud rate, the program's turns (from the last byte handed to it to its next
// byte on the line: its reaction, and with Half_Duplex_Mode the gap it keeps; the row
// half-duplex-5ms runs vornik -start with Switch_Direction_Time=5), and the CPU time of the
// program (user + system; for the bare client its own thread). All rows of one invocation are
// the same run.
//
//   build/bin/bench_serial_line [--baud B]... [--size BYTES] [--only ROW]... [--quick]
// (VORNIK_BENCH_WRAP, if set, is put before each program's command line, e.g. a profiler;
// VORNIK_BENCH_TRACE=DIR writes every row's chunks on the line into DIR.)
//
// Default: 115200 (every row), 38400 and 921600 (bare, normal, batched), 256 KiB. --quick: 115200
// only. Exit code 1 when a run failed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/KRVCommands.h"
#include "codec/KRVProtocol.h"
#include "testkit/PacedPtyLine.h"

namespace {

namespace fs = std::filesystem;
using vornik::testkit::TPacedLineCounters;
using vornik::testkit::TPacedLineSettings;
using vornik::testkit::TPacedPtyLine;

constexpr uint32_t kAddress = 178556;
constexpr std::size_t kBlockBytes = 128;  ///< the programs' default block length
constexpr uint16_t kFirstBlockNumber = 0x8000;

enum class TKind { Bare, Normal, HalfDuplex, Batched, FlashWrite, FlashWriteTurbo, FlashRead };

struct TRow {
  std::string Name;
  TKind Kind;
  int Baud;
  int LatencyMs;
  std::size_t Bytes;
};

struct TResult {
  bool Ok = false;
  std::string Note;
  TPacedLineCounters Line;
  bool RealTime = false;  ///< the relay ran with real-time scheduling
  double CpuS = 0;
};

std::string ReadFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

double TimevalS(const timeval& T) { return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) / 1e6; }

/// A child process with stdout and stderr in OutFile, stopped by its pid.
class TChild {
 public:
  TChild(const std::vector<std::string>& Argv, const std::string& OutFile, const std::string& WorkDir) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      if (!WorkDir.empty() && ::chdir(WorkDir.c_str()) != 0) ::_exit(127);
      std::vector<char*> args;
      for (const auto& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~TChild() { Stop(); }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  /// Waits at most TimeoutS; kills the child when it runs over. The exit code, or -1.
  int Wait(double TimeoutS, double& CpuS) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(TimeoutS);
    while (pid_ > 0) {
      int status = 0;
      rusage usage{};
      const pid_t r = ::wait4(pid_, &status, WNOHANG, &usage);
      if (r == pid_) {
        pid_ = -1;
        CpuS = TimevalS(usage.ru_utime) + TimevalS(usage.ru_stime);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        Stop();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 150; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

/// The bare client: each block goes the moment the previous answer is in. True when every block
/// was answered.
bool BareUpload(const std::string& Path, std::size_t Bytes, std::string& Note) {
  const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    Note = Path + ": " + std::strerror(errno);
    return false;
  }
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  vornik::TKRVProtocol encoder, decoder;
  encoder.KRVMode = vornik::TKRVMode::PMKRVWOnly;
  decoder.KRVMode = vornik::TKRVMode::PMKRVWOnly;
  encoder.Cimzett = kAddress;
  std::string rx;
  const std::string block(kBlockBytes, '\x5A');
  const std::size_t blocks = (Bytes + kBlockBytes - 1) / kBlockBytes;
  bool ok = true;
  for (std::size_t i = 0; i < blocks && ok; ++i) {
    encoder.CsomagSorszam = static_cast<uint8_t>(1 + i % 240);
    const std::string frame =
        encoder.Encode(vornik::BuildCFLUL(static_cast<uint16_t>(kFirstBlockNumber + i), true, block));
    bool answered = false;
    for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
      if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
        Note = "write failed";
        ok = false;
        break;
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
      while (!answered && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        rx.append(buf, static_cast<std::size_t>(n));
        for (std::string f = decoder.ExtractFrame(rx); !f.empty(); f = decoder.ExtractFrame(rx)) {
          const std::string payload = decoder.Decode(f);
          if (decoder.DecodeResult() == 0 && payload.rfind("AFLUL", 0) == 0) answered = true;
        }
      }
    }
    if (!answered && ok) {
      Note = "block " + std::to_string(i) + " unanswered";
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

struct TBench {
  std::string BinDir;
  std::string SourceDir;
  std::string Work;
  std::string Firmware;     ///< HEX image per size
  std::size_t FirmwareBytes = 0;

  bool MakeFirmware(std::size_t Bytes) {
    if (FirmwareBytes == Bytes) return true;
    Firmware = Work + "/fw" + std::to_string(Bytes) + ".hex";
    double cpu = 0;
    TChild make({"/usr/bin/python3", SourceDir + "/scripts/make-demo-firmware.py", Firmware, "--start", "0x4000",
                 "--size", std::to_string(Bytes)},
                Work + "/make.out", "");
    if (make.Wait(60, cpu) != 0) return false;
    FirmwareBytes = Bytes;
    return true;
  }

  TResult Run(const TRow& Row) {
    TResult r;
    if ((Row.Kind == TKind::Normal || Row.Kind == TKind::HalfDuplex || Row.Kind == TKind::Batched) &&
        !MakeFirmware(Row.Bytes)) {
      r.Note = "no firmware image";
      return r;
    }
    const std::string simOut = Work + "/sim.out";
    fs::remove(simOut);  // the last row's device named its own terminal there
    TChild sim({BinDir + "/vornik-sim", "--no-tcp", "--pty", "--baud", "0", "--bootloader", "--quiet", "--address",
                std::to_string(kAddress)},
               simOut, "");
    std::string devicePath;
    for (int i = 0; i < 500 && devicePath.empty(); ++i) {
      std::smatch m;
      const std::string out = ReadFile(simOut);
      if (std::regex_search(out, m, std::regex("/dev/pts/[0-9]+"))) devicePath = m.str();
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (devicePath.empty()) {
      r.Note = "the simulator printed no terminal";
      return r;
    }
    TPacedLineSettings settings;
    settings.Baud = Row.Baud;
    settings.LatencyMs = Row.LatencyMs;
    // VORNIK_BENCH_TRACE=DIR keeps every row's chunks on the line in DIR/<row>-<baud>.trace.
    if (const char* dir = std::getenv("VORNIK_BENCH_TRACE"); dir != nullptr && *dir != '\0')
      settings.TracePath = std::string(dir) + "/" + Row.Name + "-" + std::to_string(Row.Baud) + ".trace";
    TPacedPtyLine line(devicePath, settings);
    std::string error;
    if (!line.Start(error)) {
      r.Note = error;
      return r;
    }
    const std::string path = line.ProgramPath();
    const std::string baud = std::to_string(Row.Baud);
    const std::string address = std::to_string(kAddress);
    const double timeoutS = 120.0 + static_cast<double>(Row.Bytes) * 40.0 / Row.Baud * (1 + Row.LatencyMs);
    std::vector<std::string> argv;
    std::string workDir;
    switch (Row.Kind) {
      case TKind::Bare: {
        timespec a{}, b{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
        r.Ok = BareUpload(path, Row.Bytes, r.Note);
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
        r.CpuS = static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
        break;
      }
      case TKind::Normal:
      case TKind::HalfDuplex: {
        std::ofstream(Work + "/vornik.ini")
            << "[SerialPorts]\nCOM7=" << path << "\n"
            << (Row.Kind == TKind::HalfDuplex ? "[DEBUG]\nHalf_Duplex_Mode=1\nSwitch_Direction_Time=5\n" : "");
        argv = {Work + "/vornik", "-start", "-port", "7", "-baud", baud, "-address", address, "-fw", Firmware};
        workDir = Work;
        break;
      }
      case TKind::Batched:
        argv = {BinDir + "/vornik-tool", "update", "--serial", path, "--baud", baud, "--address", address, "--fw",
                Firmware, "--batched"};
        break;
      case TKind::FlashWrite:
      case TKind::FlashWriteTurbo: {
        std::string data(Row.Bytes, '\0');
        std::mt19937 rng(7);
        for (auto& c : data) c = static_cast<char>(rng());
        std::ofstream(Work + "/flash.bin", std::ios::binary) << data;
        argv = {BinDir + "/vornik-tool", "flash-write", "--serial", path, "--baud", baud, "--address", address,
                "--start-page", "0", Work + "/flash.bin"};
        if (Row.Kind == TKind::FlashWriteTurbo) argv.push_back("--turbo");
        break;
      }
      case TKind::FlashRead:
        argv = {BinDir + "/vornik-tool", "flash-read", "--serial", path, "--baud", baud, "--address", address,
                "--start-page", "0", "--length", std::to_string(Row.Bytes), "--out", Work + "/flash-read.bin"};
        break;
    }
    if (!argv.empty()) {
      // VORNIK_BENCH_WRAP="perf record -g -o /tmp/p.data" runs each program under a profiler.
      if (const char* wrap = std::getenv("VORNIK_BENCH_WRAP"); wrap != nullptr && *wrap != '\0') {
        std::istringstream words(wrap);
        std::vector<std::string> prefix;
        for (std::string w; words >> w;) prefix.push_back(w);
        argv.insert(argv.begin(), prefix.begin(), prefix.end());
      }
      TChild program(argv, Work + "/program.out", workDir);
      const int code = program.Wait(timeoutS, r.CpuS);
      r.Ok = code == 0;
      if (!r.Ok) {
        std::string out = ReadFile(Work + "/program.out");
        if (out.size() > 300) out = out.substr(out.size() - 300);
        for (auto& c : out)
          if (c == '\n' || c == '\r') c = ' ';
        r.Note = "exit " + std::to_string(code) + ": " + out;
      }
      if (r.Ok && Row.Kind == TKind::FlashRead && fs::file_size(Work + "/flash-read.bin") != Row.Bytes) {
        r.Ok = false;
        r.Note = "short read";
      }
    }
    // Let the last bytes (and a late answer) reach the far end before the figures are taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + 2 * Row.LatencyMs));
    r.Line = line.Counters();
    r.RealTime = line.RealTime();
    return r;
  }
};

std::string Kib(std::size_t Bytes) { return std::to_string(Bytes / 1024) + " KiB"; }

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> bauds;
  std::size_t size = 256 * 1024;
  std::set<std::string> only;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--baud" && i + 1 < argc) bauds.push_back(std::atoi(argv[++i]));
    else if (a == "--size" && i + 1 < argc) size = static_cast<std::size_t>(std::atoll(argv[++i]));
    else if (a == "--only" && i + 1 < argc) only.insert(argv[++i]);
    else if (a == "--quick") quick = true;
    else if (a.rfind("--benchmark", 0) == 0) continue;  // bench/run.sh passes Google Benchmark flags
    else {
      std::fprintf(stderr, "usage: %s [--baud B]... [--size BYTES] [--only ROW]... [--quick]\n", argv[0]);
      return 2;
    }
  }
  if (bauds.empty()) bauds = quick ? std::vector<int>{115200} : std::vector<int>{115200, 38400, 921600};

  TBench bench;
  const fs::path self = fs::canonical("/proc/self/exe");
  bench.BinDir = self.parent_path().string();
  bench.SourceDir = VORNIK_SOURCE_DIR;
  char tmpl[] = "/tmp/vornik-serial-line-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  bench.Work = tmpl;
  for (const char* prog : {"vornik", "vornik-sim", "vornik-tool"}) {
    if (!fs::exists(bench.BinDir + "/" + prog)) {
      std::fprintf(stderr, "missing %s/%s (build first)\n", bench.BinDir.c_str(), prog);
      return 1;
    }
  }
  fs::copy_file(bench.BinDir + "/vornik", bench.Work + "/vornik");

  std::vector<TRow> rows;
  for (int b : bauds) {
    const bool full = b == 115200;
    rows.push_back({"bare", TKind::Bare, b, 0, size});
    rows.push_back({"normal", TKind::Normal, b, 0, size});
    rows.push_back({"batched", TKind::Batched, b, 0, size});
    if (full) {
      rows.push_back({"batched+16ms", TKind::Batched, b, 16, size});
      rows.push_back({"flash-write", TKind::FlashWrite, b, 0, size});
      rows.push_back({"flash-read", TKind::FlashRead, b, 0, size});
      rows.push_back({"flash-write-turbo", TKind::FlashWriteTurbo, b, 0, size});
      rows.push_back({"bare+16ms", TKind::Bare, b, 16, 64 * 1024});
      rows.push_back({"normal+16ms", TKind::Normal, b, 16, 64 * 1024});
      rows.push_back({"half-duplex-5ms", TKind::HalfDuplex, b, 0, 64 * 1024});
    }
  }

  std::printf("| row | baud | latency | size | time s | wire s | share | of bare | turn ms min/avg | CPU s | result |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::fflush(stdout);
  bool failed = false;
  bool realTime = true;
  std::vector<std::pair<std::pair<int, int>, double>> bareShares;  // (baud, latency) -> share
  for (const TRow& row : rows) {
    if (!only.empty() && only.count(row.Name) == 0) continue;
    const TResult r = bench.Run(row);
    const double seconds = r.Line.Seconds();
    const double wire = r.Line.WireSeconds(row.Baud);
    const double share = seconds > 0 ? wire / seconds : 0;
    if (row.Kind == TKind::Bare && r.Ok) bareShares.push_back({{row.Baud, row.LatencyMs}, share});
    std::string ofBare = "";
    for (const auto& [key, s] : bareShares)
      if (row.Kind != TKind::Bare && key.first == row.Baud && key.second == row.LatencyMs && s > 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f%%", share / s * 100);
        ofBare = buf;
      }
    char turn[48] = "";
    if (r.Line.Turns > 0)
      std::snprintf(turn, sizeof turn, "%.2f / %.2f", static_cast<double>(r.Line.MinTurnUs) / 1000,
                    static_cast<double>(r.Line.SumTurnUs) / 1000 / static_cast<double>(r.Line.Turns));
    std::printf("| %s | %d | %d ms | %s | %.2f | %.2f | %.1f%% | %s | %s | %.2f | %s |\n", row.Name.c_str(), row.Baud,
                row.LatencyMs, Kib(row.Bytes).c_str(), seconds, wire, share * 100, ofBare.c_str(), turn, r.CpuS,
                r.Ok ? "ok" : ("FAILED " + r.Note).c_str());
    std::fflush(stdout);
    failed = failed || !r.Ok;
    realTime = realTime && r.RealTime;
  }
  std::printf("\nrelay with real-time scheduling: %s\n", realTime ? "yes" : "no (a busy machine slows the wire too)");
  std::error_code ec;
  fs::remove_all(bench.Work, ec);
  return failed ? 1 : 0;
}
