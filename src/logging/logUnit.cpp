#include "logging/logUnit.h"

namespace vornik {

std::string MakePrintable(std::string_view Text, bool) { return std::string(Text); }
std::string DecimalDump(std::string_view) { return {}; }
std::string FormatLogStamp(TDateTime) { return {}; }
std::string LogPathToNative(std::string_view Path) { return std::string(Path); }

TDBNaplo::TDBNaplo(const Clock& Clk) : clock_(&Clk) {}
bool TDBNaplo::CanWrite() const { return false; }
void TDBNaplo::AddEntry(const std::string&, const std::string&, int32_t) noexcept {}

TNaplo::TNaplo(const Clock& Clk) : clock_(&Clk), dbNaplo_(std::make_unique<TDBNaplo>(Clk)) {}
TNaplo::~TNaplo() = default;
void TNaplo::WriteLog(std::string_view, bool) noexcept {}
void TNaplo::SetLogLimit(int32_t Value) {
  if (Value > 0) logLimit_ = Value;
}
bool TNaplo::IsFileOpen() const { return file_ != nullptr; }
void TNaplo::SetClock(const Clock& Clk) { clock_ = &Clk; }

}  // namespace vornik
