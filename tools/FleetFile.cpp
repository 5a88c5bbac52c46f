#include "FleetFile.h"

#include <cctype>
#include <filesystem>
#include <map>
#include <system_error>

#include "VerbCommon.h"

namespace vornik {

namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n\v\f";
  const auto a = s.find_first_not_of(blanks);
  if (a == std::string_view::npos) return {};
  const auto b = s.find_last_not_of(blanks);
  return s.substr(a, b - a + 1);
}

// Reads ":PORT:ADDRESS" (TCP) or "BAUD:ADDRESS" (serial) tails; Error names the bad part.
bool ReadAddress(std::string_view Text, TConnection& C, std::string& Error) {
  const auto a = ParseAddress(Text);
  if (!a) {
    Error = "bad address (0..4294967295 or $0..$FFFFFFFF): " + std::string(Text);
    return false;
  }
  C.Address = *a;
  return true;
}

bool ParseLine(std::string_view Line, TConnection& C, std::string& Error) {
  constexpr std::string_view kSerial = "serial:";
  if (Line.substr(0, kSerial.size()) == kSerial) {
    // The path may hold colons itself: baud and address are the last two fields.
    std::string_view rest = Line.substr(kSerial.size());
    const auto lastColon = rest.rfind(':');
    if (lastColon == std::string_view::npos || lastColon == 0) {
      Error = "expected serial:PATH:BAUD:ADDRESS";
      return false;
    }
    const auto baudColon = rest.rfind(':', lastColon - 1);
    if (baudColon == std::string_view::npos) {
      Error = "expected serial:PATH:BAUD:ADDRESS";
      return false;
    }
    C.Serial = true;
    C.Path = std::string(rest.substr(0, baudColon));
    if (C.Path.empty()) {
      Error = "empty serial device path";
      return false;
    }
    const std::string_view baud = rest.substr(baudColon + 1, lastColon - baudColon - 1);
    const auto b = ParseRange(baud, 1, 4000000);
    if (!b) {
      Error = "bad baud rate: " + std::string(baud);
      return false;
    }
    C.Baud = static_cast<int>(*b);
    return ReadAddress(rest.substr(lastColon + 1), C, Error);
  }

  std::string_view rest;
  if (!Line.empty() && Line.front() == '[') {
    const auto close = Line.find(']');
    if (close == std::string_view::npos || close == 1) {
      Error = "expected [IPV6-HOST]:PORT:ADDRESS";
      return false;
    }
    C.Host = std::string(Line.substr(1, close - 1));
    rest = Line.substr(close + 1);
    if (rest.empty() || rest.front() != ':') {
      Error = "expected [IPV6-HOST]:PORT:ADDRESS";
      return false;
    }
    rest.remove_prefix(1);
  } else {
    const auto colon = Line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      Error = "expected HOST:PORT:ADDRESS or serial:PATH:BAUD:ADDRESS";
      return false;
    }
    C.Host = std::string(Line.substr(0, colon));
    rest = Line.substr(colon + 1);
  }
  const auto colon = rest.find(':');
  if (colon == std::string_view::npos || rest.find(':', colon + 1) != std::string_view::npos) {
    Error = "expected HOST:PORT:ADDRESS (an IPv6 host in brackets)";
    return false;
  }
  const std::string_view port = rest.substr(0, colon);
  const auto p = ParseRange(port, 1, 65535);
  if (!p) {
    Error = "bad TCP port (1..65535): " + std::string(port);
    return false;
  }
  C.Port = static_cast<int>(*p);
  return ReadAddress(rest.substr(colon + 1), C, Error);
}

}  // namespace

/// The same device twice (the same TCP host and port, or the same serial device file, and the
/// same address) would be updated twice, the second time while the first runs or right after.
static bool NoDeviceTwice(const std::vector<TFleetEntry>& Entries, std::string& Error) {
  std::map<std::string, int> first;  // device -> line
  for (const TFleetEntry& e : Entries) {
    const TConnection& c = e.Connection;
    std::string key;
    if (c.Serial) {
      std::error_code ec;
      const std::filesystem::path file = std::filesystem::canonical(c.Path, ec);
      key = "serial " + (ec ? c.Path : file.string());
    } else {
      std::string host = c.Host;
      for (char& ch : host) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      key = "tcp " + host + " " + std::to_string(c.Port);
    }
    key += " " + std::to_string(c.Address);
    const auto [it, added] = first.emplace(key, e.Line);
    if (!added) {
      Error = "line " + std::to_string(e.Line) + " names the device of line " + std::to_string(it->second) +
              " again (the same connection and address)";
      return false;
    }
  }
  return true;
}

bool ParseFleetFile(std::string_view Content, std::vector<TFleetEntry>& Entries, std::string& Error) {
  int lineNo = 0;
  std::size_t pos = 0;
  while (pos <= Content.size()) {
    auto end = Content.find('\n', pos);
    if (end == std::string_view::npos) end = Content.size();
    std::string_view line = Content.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    const auto hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    line = Trim(line);
    if (line.empty()) continue;
    TFleetEntry e;
    e.Text = std::string(line);
    e.Line = lineNo;
    std::string why;
    if (!ParseLine(line, e.Connection, why)) {
      Error = "line " + std::to_string(lineNo) + ": " + why;
      return false;
    }
    Entries.push_back(std::move(e));
  }
  return NoDeviceTwice(Entries, Error);
}

}  // namespace vornik
