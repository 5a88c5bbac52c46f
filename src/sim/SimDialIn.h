// TSimDialIn is the part of a simulated device that opens the connection to the PC itself, as a
// device behind carrier NAT does. It does no I/O either: the host asks it, after every Feed and
// Tick of the device, whether to hang up now and when to dial again, and sends its announce frame
// first on a new connection.
//
// A device hangs up when it restarts: at once on the restart command (it goes silent anyway), and
// after an install once the install's answer is out (the new program starts then). It dials again
// when it has started (RestartMs later). A hang-up right after an answer (a fault of the device)
// is handled the same way. A connection the PC ends, or a dial that fails, is tried
// again RetryMs later. After a restart the device always sends the announce frame first: the PC's
// identification request would come only 6 s after connecting, later than a PC waits for a lost
// link. The announce is the event "ESYSI" with the identification record, from the device's own
// (32-bit) address to the PC, in a KRVW frame.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/SimDevice.h"

namespace vornik {

class TSimDialIn {
 public:
  static constexpr int64_t kDefaultRetryMs = 1000;

  TSimDialIn(TSimDevice& Device, bool AnnounceFirst) : dev_(Device), announceFirst_(AnnounceFirst) {
    restarts_ = Device.Restarts();
    installs_ = Device.Installs();
  }

  int64_t RetryMs = kDefaultRetryMs;

  /// After every Feed/Tick while connected: true when the device hangs up now. The host closes
  /// the connection and calls Device.LinkDown(); RedialAtMs() says when to dial again.
  bool HangUpDue(int64_t NowMs);
  /// The PC ended the connection, or a dial failed.
  void Lost(int64_t NowMs) { redialAt_ = NowMs + RetryMs; }
  /// When to dial next (nullopt: connected, nothing due).
  std::optional<int64_t> RedialAtMs() const { return redialAt_; }
  /// A connection is up: the bytes to send first on it (empty: nothing). Calls Device.LinkUp().
  std::string Connected(int64_t NowMs);

  /// The announce frame as it would be sent now.
  std::string AnnounceFrame(int64_t NowMs);
  int Dials() const { return dials_; }

 private:
  TSimDevice& dev_;
  bool announceFirst_;
  bool restarted_ = false;  ///< the next connection follows a restart
  int restarts_ = 0;
  int installs_ = 0;
  int dials_ = 0;
  uint8_t nextId_ = 1;
  std::optional<int64_t> redialAt_;
};

}  // namespace vornik
