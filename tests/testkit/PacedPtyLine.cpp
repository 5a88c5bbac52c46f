#include "testkit/PacedPtyLine.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

namespace vornik::testkit {

namespace {

constexpr int64_t kChunkNs = 500000;  ///< longest a completed byte waits for the rest of its chunk

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void MakeRaw(int Fd) {
  termios t{};
  if (::tcgetattr(Fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(Fd, TCSANOW, &t);
  }
}

void SetNonBlocking(int Fd) { ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK); }

/// One direction of the line: bytes taken from In, each with the time it reaches Out.
struct TDirection {
  int In = -1;
  int Out = -1;
  std::deque<std::pair<int64_t, char>> Queue;  ///< (ns it is handed over, byte), in order
  int64_t WireFreeNs = 0;                      ///< when the last byte taken has left the wire
  uint64_t Bytes = 0;
};

}  // namespace

int64_t TPacedPtyLine::NowUs() { return NowNs() / 1000; }

TPacedPtyLine::TPacedPtyLine(std::string DevicePath, TPacedLineSettings Settings)
    : devicePath_(std::move(DevicePath)), settings_(Settings) {}

TPacedPtyLine::~TPacedPtyLine() {
  if (relay_.joinable()) {
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(stopPipe_[1], &c, 1);
    relay_.join();
  }
  if (!settings_.TracePath.empty()) {
    if (FILE* f = std::fopen(settings_.TracePath.c_str(), "w")) {
      std::fwrite(trace_.data(), 1, trace_.size(), f);
      std::fclose(f);
    }
  }
  for (int fd : {deviceFd_, programMaster_, programSlave_, stopPipe_[0], stopPipe_[1]})
    if (fd >= 0) ::close(fd);
}

bool TPacedPtyLine::Start(std::string& Error) {
  if (settings_.Baud <= 0 || settings_.FifoBytes == 0) {
    Error = "the line needs a baud rate and a FIFO";
    return false;
  }
  deviceFd_ = ::open(devicePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (deviceFd_ < 0) {
    Error = devicePath_ + ": " + std::strerror(errno);
    return false;
  }
  MakeRaw(deviceFd_);
  char name[256] = {};
  if (::openpty(&programMaster_, &programSlave_, name, nullptr, nullptr) != 0) {
    Error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  MakeRaw(programSlave_);
  SetNonBlocking(programMaster_);
  programPath_ = name;
  if (::pipe(stopPipe_) != 0) {
    Error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  relay_ = std::thread([this] { Run(); });
  return true;
}

TPacedLineCounters TPacedPtyLine::Counters() const {
  std::lock_guard<std::mutex> lock(countersMutex_);
  return counters_;
}

void TPacedPtyLine::ResetCounters() {
  std::lock_guard<std::mutex> lock(countersMutex_);
  counters_ = TPacedLineCounters{};
}

void TPacedPtyLine::Run() {
  // The relay stands for hardware: where allowed, it runs ahead of the programs it carries, so a
  // busy machine delays them, not the wire.
  sched_param param{};
  param.sched_priority = 10;
  realTime_ = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
  const int64_t byteNs = 10LL * 1000000000LL / settings_.Baud;
  const int64_t latencyNs = static_cast<int64_t>(settings_.LatencyMs) * 1000000;
  const auto fifo = static_cast<int64_t>(settings_.FifoBytes);
  TDirection dirs[2];
  dirs[0].In = programMaster_;  // program -> device
  dirs[0].Out = deviceFd_;
  dirs[1].In = deviceFd_;       // device -> program
  dirs[1].Out = programMaster_;
  std::string out;
  char buf[4096];
  bool toProgramSinceRead = false;  ///< bytes went to the program since it last sent any
  int64_t lastToProgramUs = 0;

  while (true) {
    int64_t now = NowNs();
    int64_t wake = now + 100000000;  // look again at least every 100 ms
    pollfd fds[3] = {{stopPipe_[0], POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};

    for (int d = 0; d < 2; ++d) {
      TDirection& dir = dirs[d];
      // Hand over what has arrived.
      out.clear();
      while (!dir.Queue.empty() && dir.Queue.front().first <= now) {
        out.push_back(dir.Queue.front().second);
        dir.Queue.pop_front();
      }
      if (!out.empty()) {
        const ssize_t w = ::write(dir.Out, out.data(), out.size());
        const std::size_t written = w > 0 ? static_cast<std::size_t>(w) : 0;
        // What the receiver cannot take yet goes back to the front and is tried again soon.
        for (std::size_t i = out.size(); i > written; --i) dir.Queue.emplace_front(now, out[i - 1]);
        if (written > 0 && d == 1) {
          toProgramSinceRead = true;
          lastToProgramUs = now / 1000;
        }
        if (written > 0) {
          std::lock_guard<std::mutex> lock(countersMutex_);
          counters_.LastUs = now / 1000;
          (d == 0 ? counters_.ToDevice : counters_.ToProgram) += written;
        }
        if (written > 0 && !settings_.TracePath.empty())
          trace_ += std::to_string(now / 1000) + (d == 0 ? " > " : " < ") + std::to_string(written) + "\n";
        if (written < out.size()) wake = std::min(wake, now + 1000000);
      }
      if (!dir.Queue.empty()) wake = std::min({wake, dir.Queue.back().first, dir.Queue.front().first + kChunkNs});
      // Take more while the FIFO has room.
      const int64_t inFifo = dir.WireFreeNs > now ? (dir.WireFreeNs - now + byteNs - 1) / byteNs : 0;
      if (inFifo < fifo)
        fds[1 + d].fd = dir.In;
      else
        wake = std::min(wake, dir.WireFreeNs - (fifo - 1) * byteNs);
    }

    const int64_t waitNs = std::max<int64_t>(wake - now, 0);
    const timespec timeout{static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
    if (::ppoll(fds, 3, &timeout, nullptr) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) return;
    now = NowNs();
    for (int d = 0; d < 2; ++d) {
      if (fds[1 + d].fd < 0 || (fds[1 + d].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      TDirection& dir = dirs[d];
      const int64_t inFifo = dir.WireFreeNs > now ? (dir.WireFreeNs - now + byteNs - 1) / byteNs : 0;
      const auto room = static_cast<std::size_t>(std::max<int64_t>(fifo - inFifo, 0));
      const ssize_t n = ::read(dir.In, buf, std::min(room, sizeof buf));
      if (n <= 0) {
        // No program has the port open (EIO on a master), or nothing after all: look again later.
        if (n < 0 && errno != EAGAIN && errno != EINTR) ::usleep(1000);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(countersMutex_);
        if (counters_.FirstUs < 0) counters_.FirstUs = now / 1000;
        if (d == 0 && toProgramSinceRead) {
          const int64_t turn = now / 1000 - lastToProgramUs;
          ++counters_.Turns;
          counters_.SumTurnUs += turn;
          if (counters_.MinTurnUs < 0 || turn < counters_.MinTurnUs) counters_.MinTurnUs = turn;
        }
      }
      if (d == 0) toProgramSinceRead = false;
      for (ssize_t i = 0; i < n; ++i) {
        dir.WireFreeNs = std::max(dir.WireFreeNs, now) + byteNs;
        dir.Queue.emplace_back(dir.WireFreeNs + latencyNs, buf[i]);
      }
    }
  }
}

}  // namespace vornik::testkit
