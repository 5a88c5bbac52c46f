// A pseudo-terminal pair for serial tests: the test holds the master side and plays the device;
// the code under test opens the slave path like a serial port.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <string>

namespace vornik::testing {

class PseudoTerminal {
 public:
  PseudoTerminal() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
      slavePath_ = name;
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }
  ~PseudoTerminal() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  int slaveFd() const { return slave_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  /// The device side: write bytes to the link.
  bool Send(const std::string& bytes) {
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  /// The device side: bytes the link sent since the last call.
  std::string ReadNew() {
    std::string got;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  /// The device side: everything the link sent so far.
  std::string Drain() {
    received_ += ReadNew();
    return received_;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string received_;
};

}  // namespace vornik::testing
