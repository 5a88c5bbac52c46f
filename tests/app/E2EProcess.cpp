#include "app/E2EProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vornik::test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> CArgs(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for pid for at most ms; true with *status when it ended.
bool WaitPid(pid_t pid, int ms, int* status) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    const pid_t r = ::waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

TProcessResult RunProcess(const std::vector<std::string>& Argv, int TimeoutMs, const std::string& WorkDir) {
  TProcessResult result;
  int out[2], err[2];
  if (::pipe(out) != 0) return result;
  if (::pipe(err) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(out[1]);
    ::close(err[0]);
    ::close(err[1]);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (!WorkDir.empty() && ::chdir(WorkDir.c_str()) != 0) ::_exit(127);
    auto args = CArgs(Argv);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return result;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    const int left = RemainingMs(deadline);
    if (left == 0) {
      result.TimedOut = true;
      break;
    }
    const int n = ::poll(fds, 2, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = ::read(fds[k].fd, buf, sizeof buf);
      if (got > 0) {
        (k == 0 ? result.Stdout : result.Stderr).append(buf, static_cast<std::size_t>(got));
      } else {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  if (result.TimedOut || !WaitPid(pid, RemainingMs(deadline) + 1000, &status)) {
    result.TimedOut = true;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
  }
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  return result;
}

TBackgroundProcess::TBackgroundProcess(const std::vector<std::string>& Argv, const std::string& OutFile)
    : FOutFile(OutFile) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    auto args = CArgs(Argv);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  FPid = pid;
}

TBackgroundProcess::~TBackgroundProcess() { Stop(); }

bool TBackgroundProcess::Running() {
  if (FPid <= 0) return false;
  int status = 0;
  if (::waitpid(FPid, &status, WNOHANG) == FPid) {
    FPid = -1;
    return false;
  }
  return true;
}

int TBackgroundProcess::Stop() {
  if (FPid <= 0) return -1;
  int status = 0;
  ::kill(FPid, SIGTERM);
  if (!WaitPid(FPid, 3000, &status)) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, &status, 0);
  }
  FPid = -1;
  return status;
}

std::string TBackgroundProcess::Output() const {
  std::ifstream in(FOutFile, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TBackgroundProcess::WaitForOutput(const std::string& Text, int TimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (Clock::now() < deadline) {
    if (Output().find(Text) != std::string::npos) return true;
    if (!Running()) return Output().find(Text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int FreeTcpPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) port = ntohs(a.sin_port);
  }
  ::close(s);
  return port;
}

bool WaitForTcpListener(int Port, int TimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (Clock::now() < deadline) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(Port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string BinDir() {
  const char* d = std::getenv("VORNIK_BIN_DIR");
#ifdef VORNIK_DEFAULT_BIN_DIR
  return d ? d : VORNIK_DEFAULT_BIN_DIR;
#else
  return d ? d : "build/bin";
#endif
}

std::string SourceDir() {
  const char* d = std::getenv("VORNIK_SOURCE_DIR");
#ifdef VORNIK_DEFAULT_SOURCE_DIR
  return d ? d : VORNIK_DEFAULT_SOURCE_DIR;
#else
  return d ? d : ".";
#endif
}

}  // namespace vornik::test
