// A serial line on the real clock for end-to-end tests and benchmarks: a pseudo-terminal whose
// slave a program opens as its serial port (ProgramPath), joined by a relay thread to the
// terminal of a device (another pseudo-terminal's slave, such as the one vornik-sim --pty prints).
//
// Each direction behaves like a UART on a wire: the relay takes bytes from the sender only while
// its transmit FIFO (FifoBytes) has room, so whatever the sender writes faster than the line
// carries stays queued on the sender's side; each byte then needs 10 bits' time at Baud, one
// after the other, and is handed to the receiver LatencyMs after its last bit (a USB adapter's
// latency timer, a radio link). Bytes are handed over as they complete, in chunks of at most
// about half a millisecond and always at the end of a burst.
//
// The counters say how many bytes went each way and when the first byte was taken and the last
// one handed over, so that the share of the wire a run used can be computed. The relay runs from
// Start until the object is destroyed, with real-time scheduling where the system allows it (a wire
// is not slowed down by a busy machine); it keeps its own slave open, so the program may close and
// re-open the port.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vornik::testkit {

struct TPacedLineSettings {
  int Baud = 115200;           ///< bits a second, 10 bits a byte, each direction
  int LatencyMs = 0;           ///< ms from a byte's last bit until the receiver gets it
  std::size_t FifoBytes = 32;  ///< bytes the relay takes from a sender ahead of the wire
  std::string TracePath;       ///< non-empty: every chunk handed over, one line each, written here at the end
};

struct TPacedLineCounters {
  uint64_t ToDevice = 0;  ///< bytes
  uint64_t ToProgram = 0;
  int64_t FirstUs = -1;   ///< µs (steady clock) the first byte was taken; -1 before any
  int64_t LastUs = -1;    ///< µs the last byte was handed over
  /// Turns: the program's first byte after bytes were handed to it, timed from the last of
  /// those (its reaction, and the gap a half-duplex transceiver needs).
  uint64_t Turns = 0;
  int64_t MinTurnUs = -1;
  int64_t SumTurnUs = 0;
  /// Seconds the line needs for every byte of both directions.
  double WireSeconds(int Baud) const { return static_cast<double>(ToDevice + ToProgram) * 10.0 / Baud; }
  /// Seconds from the first byte to the last.
  double Seconds() const { return FirstUs < 0 || LastUs < FirstUs ? 0.0 : static_cast<double>(LastUs - FirstUs) / 1e6; }
};

class TPacedPtyLine {
 public:
  TPacedPtyLine(std::string DevicePath, TPacedLineSettings Settings);
  ~TPacedPtyLine();
  TPacedPtyLine(const TPacedPtyLine&) = delete;
  TPacedPtyLine& operator=(const TPacedPtyLine&) = delete;

  /// Opens the device's terminal and the program's pseudo-terminal and starts the relay. False
  /// with Error set when either cannot be opened.
  bool Start(std::string& Error);
  /// The terminal the program opens (valid after Start).
  const std::string& ProgramPath() const { return programPath_; }
  TPacedLineCounters Counters() const;
  void ResetCounters();
  const TPacedLineSettings& Settings() const { return settings_; }
  /// The relay got real-time scheduling (it runs ahead of the programs on a busy machine).
  bool RealTime() const { return realTime_; }

  /// µs on the steady clock, the relay's time base.
  static int64_t NowUs();

 private:
  void Run();

  std::string devicePath_;
  TPacedLineSettings settings_;
  std::string programPath_;
  int deviceFd_ = -1;
  int programMaster_ = -1;
  int programSlave_ = -1;  ///< held open so the master never reads a hang-up
  int stopPipe_[2] = {-1, -1};
  std::thread relay_;
  std::atomic<bool> realTime_{false};
  mutable std::mutex countersMutex_;
  TPacedLineCounters counters_;
  std::string trace_;  ///< "µs direction bytes" lines (direction > to the device, < to the program)
};

}  // namespace vornik::testkit
