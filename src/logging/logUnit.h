// The communication log writer.
//
// TNaplo turns one message into one line of the log file: an optional millisecond time stamp
// ("yy.mm.dd hh:nn:ss.zzz" and two spaces), the message with its control characters made
// visible, and CR LF. The file is opened lazily by the first WriteLog and stays open at its end.
// When a write takes the file above LogLimit bytes, the file is cut back to its newest
// LogLimit div 2 bytes (byte-exact, possibly inside a line): that tail is written to a temporary
// file beside the log, which then replaces the log in one rename (ReplaceFileContent), so a
// failed trim leaves the whole log in place.
//
// Time stamps: the writer keeps a base pair (tick, wall time). Within two seconds of the base
// a line is stamped base time + elapsed ticks, so lines a few milliseconds apart carry stamps
// that far apart even when the wall clock is coarse; after two seconds, or when the estimate
// drifts more than 120 ms from the wall clock, the base is taken again. Both clocks are read
// through vornik::Clock so that tests can drive them.
//
// A trim that fails keeps the whole file. The file then stays at its size: lines are no longer
// appended to it (the memo and the dataset still get them), one note line says so, and the trim
// is tried again at the first line at least kTrimRetryMs after the last try, so a log that cannot
// be trimmed neither grows without bound nor costs a copy of the file per line. A trim that
// succeeds resumes appending.
//
// Logging never throws and never interrupts work: every failure (file, handler, memo, trim,
// dataset) is swallowed. A file that cannot be opened is retried at the next call.
//
// TDBNaplo mirrors lines as records into a table (TLogDataSet) when asked to; none is attached
// in the program itself.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "loop/Clock.h"
#include "util/MorvelUtils.h"

namespace vornik {

/// Each character below code 32 becomes "#" and its decimal code (Codes true; CR -> "#13")
/// or "." (Codes false); every other byte stays as it is.
std::string MakePrintable(std::string_view Text, bool Codes);

/// Each byte as three zero-padded decimal digits and a space: "AB" -> "065 066 ".
std::string DecimalDump(std::string_view Text);

class TNaplo;

/// Raised once per message before it is stamped and converted; the handler may replace AMsg.
using TOnWriteLogEvent = std::function<void(TNaplo& Sender, std::string& AMsg)>;

/// A multi-line text view that receives a copy of each log line (without CR LF).
class TLogMemo {
 public:
  virtual ~TLogMemo() = default;
  virtual void AddLine(const std::string& Line) = 0;
};

/// What the dataset mirror needs of a table. Implementations may throw; TDBNaplo swallows it.
class TLogDataSet {
 public:
  virtual ~TLogDataSet() = default;
  virtual bool Active() const = 0;
  virtual void First() = 0;
  virtual void Last() = 0;
  /// Starts a new record after the current one; the field setters fill it, Post stores it.
  virtual void Append() = 0;
  virtual void SetDateTimeField(const std::string& Name, TDateTime Value) = 0;
  virtual void SetStringField(const std::string& Name, const std::string& Value) = 0;
  virtual void SetIntegerField(const std::string& Name, int32_t Value) = 0;
  virtual void Post() = 0;
  virtual int32_t RecordCount() const = 0;
  /// Deletes the current record.
  virtual void Delete() = 0;
};

/// Dataset mirror of the log: one record (Datum, Ido, Tul, Szint, Szoveg) per mirrored line,
/// the oldest record dropped once the table holds more than MaxRecords.
class TDBNaplo {
 public:
  explicit TDBNaplo(const Clock& Clk = SystemClock::instance());

  TLogDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TLogDataSet* Value) { dataSet_ = Value; }
  bool Enabled() const { return enabled_; }
  int32_t MaxRecords() const { return maxRecords_; }
  int32_t DefaultLevel() const { return defaultLevel_; }
  int32_t MaxLevel() const { return maxLevel_; }
  const std::string& DefaultOwner() const { return defaultOwner_; }

  void SetClock(const Clock& Clk) { clock_ = &Clk; }

  /// True when a dataset is attached, open, and the mirror is enabled.
  bool CanWrite() const;
  /// Adds one record; an empty Owner and a Level of -1 take the defaults. Never throws.
  void AddEntry(const std::string& Text, const std::string& Owner, int32_t Level) noexcept;

 private:
  const Clock* clock_;
  TLogDataSet* dataSet_ = nullptr;
  bool enabled_ = true;
  int32_t maxRecords_ = 10000;
  int32_t defaultLevel_ = 1;
  int32_t maxLevel_ = 20;
  std::string defaultOwner_ = "Default";
};

class TNaplo {
 public:
  static constexpr int32_t kDefaultLogLimit = 10000000;  ///< bytes
  static constexpr uint32_t kResyncAfterMs = 2000;       ///< ms since the base before the wall clock is read again
  static constexpr int kMaxDriftMs = 120;                ///< ms the tick estimate may differ from the wall clock
  static constexpr int64_t kTrimRetryMs = 60000;         ///< ms between tries of a trim that failed

  explicit TNaplo(const Clock& Clk = SystemClock::instance());
  ~TNaplo();
  TNaplo(const TNaplo&) = delete;
  TNaplo& operator=(const TNaplo&) = delete;

  /// Writes one message as one line (see the header comment). ToDB also mirrors it into the
  /// dataset. Never throws.
  void WriteLog(std::string_view Msg, bool ToDB) noexcept;

  bool Logging() const { return logging_; }
  void SetLogging(bool Value) { logging_ = Value; }
  bool LogTime() const { return logTime_; }
  void SetLogTime(bool Value) { logTime_ = Value; }
  bool ConvertToPrintable() const { return convertToPrintable_; }
  void SetConvertToPrintable(bool Value) { convertToPrintable_ = Value; }
  bool LogEvertythingToDB() const { return logEvertythingToDB_; }
  void SetLogEvertythingToDB(bool Value) { logEvertythingToDB_ = Value; }
  /// Used the next time the file is opened by name; an open file is kept.
  const std::string& LogFile() const { return logFile_; }
  void SetLogFile(std::string Value) { logFile_ = std::move(Value); }
  int32_t LogLimit() const { return logLimit_; }
  /// Zero and negative values are ignored.
  void SetLogLimit(int32_t Value);
  int32_t LogLevelValue() const { return logLevelValue_; }
  void SetLogLevelValue(int32_t Value) { logLevelValue_ = Value; }
  TLogMemo* LogMemo() const { return logMemo_; }
  void SetLogMemo(TLogMemo* Value) { logMemo_ = Value; }
  const TOnWriteLogEvent& OnWriteLog() const { return onWriteLog_; }
  void SetOnWriteLog(TOnWriteLogEvent Value) { onWriteLog_ = std::move(Value); }

  TDBNaplo& DBNaplo() { return *dbNaplo_; }
  const TDBNaplo& DBNaplo() const { return *dbNaplo_; }

  /// The base pair of the time stamps (tick in ms, wall time in days).
  uint32_t BaseTick() const { return baseTick_; }
  TDateTime BaseTime() const { return baseTime_; }
  /// True while the log file is open.
  bool IsFileOpen() const;
  /// True while a failed trim keeps new lines out of the file.
  bool TrimFailing() const { return trimFailing_; }

  void SetClock(const Clock& Clk);

  /// How a trim replaces the file's content (ReplaceFileContent: 0 or an errno); tests make it fail.
  using TReplaceFile = std::function<int(const std::string& FileName, std::string_view Bytes)>;
  void SetReplaceFile(TReplaceFile Value) { replaceFile_ = std::move(Value); }

 private:
  TDateTime TimeStamp();
  bool OpenLogFile();
  /// Cuts the open file back to its newest LogLimit div 2 bytes and reopens it; false on failure.
  bool TrimFile();
  /// After a line took the file past LogLimit: trims, or starts the back-off and says so once.
  void PassedLimit();
  /// True while a failed trim keeps lines out of the file; retries the trim when it is due.
  bool AppendingPaused();
  /// Appends one stamped line without the event, the conversion or the limit check.
  void AppendLine(std::string_view Text);
  void MirrorToDB(const std::string& Text) noexcept;

  const Clock* clock_;
  std::unique_ptr<std::fstream> file_;
  std::string openPath_;  // path of the open file (LogFile may have changed since)
  uint32_t baseTick_ = 0;
  TDateTime baseTime_ = 0;
  bool synced_ = false;
  bool inDBError_ = false;
  TOnWriteLogEvent onWriteLog_;
  int32_t logLimit_ = kDefaultLogLimit;
  bool convertToPrintable_ = true;
  std::string logFile_;
  bool logging_ = false;
  int32_t logLevelValue_ = 100;
  TLogMemo* logMemo_ = nullptr;
  bool logTime_ = true;
  std::unique_ptr<TDBNaplo> dbNaplo_;
  bool logEvertythingToDB_ = false;
  TReplaceFile replaceFile_;
  bool trimFailing_ = false;       ///< the last trim failed; lines stay out of the file
  int64_t nextTrimMs_ = 0;         ///< clock ms from which the trim is tried again
  bool trimFailureNoted_ = false;  ///< the note about the failing trim is in the file
};

/// Formats a stamp as "yy.mm.dd hh:nn:ss.zzz" (no trailing space).
std::string FormatLogStamp(TDateTime Stamp);

/// A log path as this platform reads it: backslashes become path separators.
std::string LogPathToNative(std::string_view Path);

}  // namespace vornik
