// The logging component through which the whole program logs.
//
// TNaploComponent owns exactly one TNaplo and publishes the writer's settings as its own
// properties; every property is stored in the writer. The engine and the TCP server take the
// writer (Naplo()) and call WriteLog on it directly; the main window writes through the
// component and watches the log through OnWriteLog (raised with the writer as Sender).
//
// The level is kept as a number in the writer (1, 4, 8, 99 for the four levels, 100 initially)
// and mapped back in ranges; nothing filters messages by it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "logging/logUnit.h"

namespace vornik {

enum class TLogLevel { LogErrorsOnly, LogFromWarningsUp, LogFromNotesUp, LogEverything };

class TNaploComponent {
 public:
  static constexpr const char* kDefaultLogFile = ".\\Morvel.log";

  explicit TNaploComponent(const Clock& Clk = SystemClock::instance());
  TNaploComponent(const TNaploComponent&) = delete;
  TNaploComponent& operator=(const TNaploComponent&) = delete;

  /// Forwards to the writer. Never throws.
  void WriteLog(std::string_view Msg, bool ToDB) noexcept { naplo_.WriteLog(Msg, ToDB); }

  TNaplo& Naplo() { return naplo_; }
  const TNaplo& Naplo() const { return naplo_; }

  bool ConvertToPrintable() const { return naplo_.ConvertToPrintable(); }
  void SetConvertToPrintable(bool Value) { naplo_.SetConvertToPrintable(Value); }
  bool Logging() const { return naplo_.Logging(); }
  void SetLogging(bool Value) { naplo_.SetLogging(Value); }
  bool LogTime() const { return naplo_.LogTime(); }
  void SetLogTime(bool Value) { naplo_.SetLogTime(Value); }
  bool LogEvertythingToDB() const { return naplo_.LogEvertythingToDB(); }
  void SetLogEvertythingToDB(bool Value) { naplo_.SetLogEvertythingToDB(Value); }
  const std::string& LogFile() const { return naplo_.LogFile(); }
  void SetLogFile(std::string Value) { naplo_.SetLogFile(std::move(Value)); }
  int32_t LogLimit() const { return naplo_.LogLimit(); }
  /// Zero and negative values keep the previous limit.
  void SetLogLimit(int32_t Value) { naplo_.SetLogLimit(Value); }
  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel Value);
  TLogMemo* LogMemo() const { return naplo_.LogMemo(); }
  void SetLogMemo(TLogMemo* Value) { naplo_.SetLogMemo(Value); }
  TLogDataSet* DataSet() const { return naplo_.DBNaplo().DataSet(); }
  void SetDataSet(TLogDataSet* Value) { naplo_.DBNaplo().SetDataSet(Value); }
  const TOnWriteLogEvent& OnWriteLog() const { return naplo_.OnWriteLog(); }
  void SetOnWriteLog(TOnWriteLogEvent Value) { naplo_.SetOnWriteLog(std::move(Value)); }

  /// The level number stored for Level, and the level a stored number reads as.
  static int32_t LogLevelToValue(TLogLevel Level);
  static TLogLevel ValueToLogLevel(int32_t Value);

 private:
  TNaplo naplo_;
};

}  // namespace vornik
