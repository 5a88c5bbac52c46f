#include "util/NumberText.h"

#include <charconv>
#include <cmath>
#include <string>

namespace vornik {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimBlanks(std::string_view t) {
  while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view Text) {
  std::string_view t = TrimBlanks(Text);
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return std::nullopt;
  if (t.front() == '$') {
    t.remove_prefix(1);
    if (t.empty() || t.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : t) {
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return std::nullopt;
      v = (v << 4) | static_cast<uint32_t>(d);
    }
    if (negative) v = 0u - v;
    return static_cast<int32_t>(v);
  }
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<uint32_t> ParseUnsigned(std::string_view Text) {
  const std::string_view t = TrimBlanks(Text);
  if (t.empty() || t.front() == '-' || t.front() == '+') return std::nullopt;
  if (t.front() == '$') {
    const auto v = ParseInteger(t);
    if (!v) return std::nullopt;
    return static_cast<uint32_t>(*v);
  }
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

std::optional<double> ParseDecimal(std::string_view Text) {
  const std::string_view t = TrimBlanks(Text);
  std::string s;
  s.reserve(t.size());
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) {
    if (t[i] == '-') s += '-';
    ++i;
  }
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  int digits = 0;
  bool separator = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (isDigit(c)) {
      ++digits;
      s += c;
    } else if ((c == '.' || c == ',') && !separator) {
      separator = true;
      s += '.';
    } else {
      break;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    s += 'e';
    ++i;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) s += t[i++];
    int expDigits = 0;
    for (; i < t.size() && isDigit(t[i]); ++i, ++expDigits) s += t[i];
    if (expDigits == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace vornik
