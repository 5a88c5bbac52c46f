// What the device verbs print: the result on standard output (a line of text, or exactly one JSON
// object with "result", "text" and "seconds" and the verb's own keys) and progress on standard
// error. On a terminal progress is redrawn in place (a bar with percent, bytes, rate and time
// left; for a fleet a table with one row per running device); otherwise a line is written each
// time another 10% is done, so logs of scripted runs stay short.
#pragma once

#include <QJsonArray>
#include <QJsonObject>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/FleetRun.h"

namespace vornik {

/// Writes Obj as one compact JSON line to standard output.
void PrintJson(const QJsonObject& Obj);
/// Whether standard error is a terminal (live progress) or not (10% lines).
bool StderrIsTerminal();

/// Progress of one transfer of TotalBytes.
class TProgressLine {
 public:
  TProgressLine(std::string Label, uint64_t TotalBytes, bool Terminal);
  /// Bytes done so far (at most TotalBytes are shown).
  void Update(uint64_t DoneBytes);
  /// Ends the live line (terminal only).
  void Finish();

 private:
  std::string label_;
  uint64_t total_;
  bool terminal_;
  int lastDecile_ = 0;
  int64_t startMs_;
  int64_t lastDrawMs_ = -1;
  bool drawn_ = false;
};

/// Progress of the devices of a fleet that are running.
class TFleetProgress {
 public:
  TFleetProgress(bool Terminal) : terminal_(Terminal) {}
  void Start(int Row, const std::string& Device, uint64_t TotalBytes);
  void Update(int Row, uint64_t DoneBytes);
  /// The device ended; its row goes away, and Line (if any) is written above the table.
  void Finish(int Row, const std::string& Line);

 private:
  struct TRow {
    std::string Device;
    uint64_t Total = 0;
    uint64_t Done = 0;
    int LastDecile = 0;
    int64_t StartMs = 0;
  };
  void Redraw(bool Force);
  void Clear();

  bool terminal_;
  std::map<int, TRow> rows_;
  int drawnLines_ = 0;
  int64_t lastDrawMs_ = -1;
};

/// "12.3 KiB/s"-style rate and "1:05" durations used by both.
std::string RateText(double BytesPerSecond);
std::string DurationText(double Seconds);

/// The devices of a fleet or listen run as the result lists them: JSON objects, and one text
/// line each appended to Lines (with the address column for listen); counts the good and failed.
QJsonArray DevicesJson(const std::vector<TRunDevice>& Devices, std::string& Lines, int& Ok, int& Failed,
                       bool WithAddressColumn);
/// A run's progress drawn into Table.
TRunProgress RunProgressOn(TFleetProgress& Table);

}  // namespace vornik
