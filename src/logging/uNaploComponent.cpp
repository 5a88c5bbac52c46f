#include "logging/uNaploComponent.h"

namespace vornik {

TNaploComponent::TNaploComponent(const Clock& Clk) : naplo_(Clk) { naplo_.SetLogFile(kDefaultLogFile); }

int32_t TNaploComponent::LogLevelToValue(TLogLevel Level) {
  switch (Level) {
    case TLogLevel::LogErrorsOnly:
      return 1;
    case TLogLevel::LogFromWarningsUp:
      return 4;
    case TLogLevel::LogFromNotesUp:
      return 8;
    case TLogLevel::LogEverything:
      break;
  }
  return 99;
}

TLogLevel TNaploComponent::ValueToLogLevel(int32_t Value) {
  if (Value <= 1) return TLogLevel::LogErrorsOnly;
  if (Value <= 4) return TLogLevel::LogFromWarningsUp;
  if (Value <= 8) return TLogLevel::LogFromNotesUp;
  return TLogLevel::LogEverything;
}

TLogLevel TNaploComponent::LogLevel() const { return ValueToLogLevel(naplo_.LogLevelValue()); }

void TNaploComponent::SetLogLevel(TLogLevel Value) { naplo_.SetLogLevelValue(LogLevelToValue(Value)); }

}  // namespace vornik
