// The devices file of `vornik-tool fleet`: one device a line, `HOST:PORT:ADDRESS` (an IPv6 host in
// brackets) or `serial:PATH:BAUD:ADDRESS`, the address decimal or "$" hexadecimal. Blank lines are
// ignored and "#" starts a comment anywhere on a line. The first malformed line makes the whole
// file unusable, named by its line number; so does a device named twice (the same TCP host and
// port, or the same serial device file under any name, and the same address), naming both lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/DeviceSession.h"

namespace vornik {

struct TFleetEntry {
  std::string Text;  ///< the line without its comment and surrounding blanks
  TConnection Connection;
  int Line = 0;  ///< 1-based
};

/// Parses Content; on failure Error is "line N: what is wrong" and Entries is incomplete.
bool ParseFleetFile(std::string_view Content, std::vector<TFleetEntry>& Entries, std::string& Error);

}  // namespace vornik
