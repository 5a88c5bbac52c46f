#include "platform/qt/SerialPortMap.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <string_view>

namespace vornik {

namespace {

constexpr int kMaxComNumber = 255;

std::string_view Trim(std::string_view s) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

/// "COM<n>" -> n, or 0 when the key is anything else.
int ComNumberFromKey(std::string_view key) {
  if (key.size() < 4 || !EqualsNoCase(key.substr(0, 3), "COM")) return 0;
  int n = 0;
  for (const char c : key.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
    if (n > kMaxComNumber) return 0;
  }
  return n;
}

}  // namespace

std::string SerialPortPath(int n, const TSerialPortMap& map) {
  if (n < 1) return std::string();
  if (const auto it = map.find(n); it != map.end()) return it->second;
#ifdef _WIN32
  return "COM" + std::to_string(n);
#else
  return "/dev/ttyS" + std::to_string(n - 1);
#endif
}

TSerialPortMap ParseSerialPortMap(const std::string& iniText) {
  TSerialPortMap map;
  std::string_view text(iniText);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
  bool inSection = false;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = Trim(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      inSection = close != std::string_view::npos && EqualsNoCase(Trim(line.substr(1, close - 1)), "SerialPorts");
      continue;
    }
    if (!inSection) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const int n = ComNumberFromKey(Trim(line.substr(0, eq)));
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = Trim(value.substr(1, value.size() - 2));
    }
    if (n < 1 || value.empty()) continue;
    map.emplace(n, std::string(value));  // emplace keeps the first of two equal keys
  }
  return map;
}

TSerialPortMap ReadSerialPortMap(const std::string& iniPath) {
  std::ifstream in(iniPath, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return ParseSerialPortMap(text.str());
}

}  // namespace vornik
