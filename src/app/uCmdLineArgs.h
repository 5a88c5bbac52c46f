// The unattended update's arguments. A switch is an argument whose first character is "-", "/"
// or "\" and whose rest names the switch without regard to case; its value is the argument
// after it, whatever that looks like. The first matching switch wins; a switch that is the last
// argument has no value. Numbers are decimal or "$" hexadecimal; a number that is not an
// integer, or is negative, counts as missing.
//
// ParseCmdLineRequest checks the arguments in the order the run reports them (usage request,
// firmware file, device address, then port and baud rate for serial or port for TCP/IP) and
// gives either the complete request or the first problem's message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornik {

/// True when one of the arguments is the switch Name (e.g. -start, /START, \Start).
bool HasCmdLineSwitch(const std::vector<std::string>& Params, std::string_view Name);

/// Command-line mode: the switch "start" or "?" is present.
bool IsCommandLineMode(const std::vector<std::string>& Params);

/// The usual ways of asking a program for its usage, "--help" and "-h" (exactly so): the usage
/// of "?" is printed and the program ends successfully. Not when "?" itself is given, which keeps
/// its own ending.
bool IsHelpRequest(const std::vector<std::string>& Params);

/// A non-negative integer (decimal or "$" hexadecimal); nullopt otherwise.
std::optional<int32_t> CmdLineNumber(std::string_view Text);

struct TCmdLineRequest {
  /// Non-empty: the run stops with this message followed by the usage.
  std::string UsageMessage;
  std::string FWFile;
  int32_t Address = 0;
  bool TCPIP = false;
  std::string Host;  ///< TCP/IP only
  int32_t Port = 0;  ///< TCP port, or the serial port number
  int32_t Baud = 0;  ///< serial only
};

TCmdLineRequest ParseCmdLineRequest(const std::vector<std::string>& Params);

/// The six usage lines (the first and fourth are empty).
std::vector<std::string> UsageLines();

}  // namespace vornik
