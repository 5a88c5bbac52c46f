// Shared routines used by several subsystems: a pattern-driven date parser, a bit test, the
// CRC-16 of the firmware install command, the process's memory use, console text folding and
// the lookup of named command-line values. None of them keeps state apart from the process's
// argument list that GetCmdLineParam reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornik {

/// Date-time as days since 1899-12-30 (the fraction is the time of day), -1.0 when invalid.
using TDateTime = double;

/// Parses Value with a pattern such as "YYYY-MM-DD HH:NN:SS"; -1.0 when it forms no valid date or time.
TDateTime StrToDateTimeByFormat(std::string_view Format, std::string_view Value);
/// As above, with the current year (for two-digit years: below 50 in this century, else the last) given.
TDateTime StrToDateTimeByFormat(std::string_view Format, std::string_view Value, int CurrentYear);

/// True when bit number Bit (0 = least significant) of Value is 1; bits 16 and above give false.
bool IsBitSet(uint16_t Value, unsigned Bit);

/// CRC-16/MODBUS: start 0xFFFF, reflected polynomial 0xA001, no final XOR.
uint16_t Crc16(std::string_view Data);

/// The process's working-set size in KiB (resident pages); 0 when it cannot be read.
int32_t GetUsedMemoryKB();

/// Console form of a UTF-8 text: CR LF -> space, other control characters -> "_",
/// accented Hungarian letters folded to plain ones.
std::string ToConsoleText(std::string_view Text);

/// Records the program's arguments (argv[0] is the program and is not a parameter).
void SetCmdLineArgs(int argc, const char* const* argv);
void SetCmdLineArgs(std::vector<std::string> Params);
const std::vector<std::string>& CmdLineParams();

/// The parameter that follows the switch named Name (first character from SwitchChars,
/// case-insensitive), or "" when absent. Searches Params, or the recorded arguments.
std::string GetCmdLineParam(const std::vector<std::string>& Params, std::string_view Name,
                            std::string_view SwitchChars);
std::string GetCmdLineParam(std::string_view Name, std::string_view SwitchChars);

/// The switch characters of the command-line mode: "-", "/" and backslash.
inline constexpr std::string_view kSwitchChars = "-/\\";

bool IsWinXPOrLater();
/// Console output goes to standard output here; true when it is available.
bool AttachParentConsole();

/// Conversions between TDateTime and calendar fields (local time has no meaning here: the
/// value is what the caller put in). Encoding accepts years 1 to 9999; decoding rounds to the
/// nearest millisecond and reads values outside those years as 0 (1899-12-30).
bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec, TDateTime& Out);
void DecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Min, int& Sec, int& MSec);

}  // namespace vornik
