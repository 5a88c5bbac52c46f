#include "util/MorvelUtils.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>

#include "loop/Clock.h"

namespace vornik {

namespace {

constexpr int64_t kMSecsPerDay = 86400000;

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

/// Integer value of Text, or Default when it is not one: optional leading blanks, an optional
/// sign and decimal digits; with Trim, trailing blanks are allowed too.
int ParseIntDef(std::string_view Text, bool Trim, int Default) {
  size_t i = 0;
  size_t end = Text.size();
  while (i < end && IsSpace(Text[i])) ++i;
  if (Trim)
    while (end > i && IsSpace(Text[end - 1])) --end;
  bool negative = false;
  if (i < end && (Text[i] == '+' || Text[i] == '-')) {
    negative = Text[i] == '-';
    ++i;
  }
  if (i == end) return Default;
  int value = 0;
  for (; i < end; ++i) {
    if (Text[i] < '0' || Text[i] > '9') return Default;
    value = value * 10 + (Text[i] - '0');  // at most 4 digits reach here
  }
  return negative ? -value : value;
}

// Day and month names of this program's locale (English).
constexpr std::array<std::string_view, 7> kLongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                           "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kLongMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

/// Index of the first name whose upper-cased first three letters equal the first three
/// characters of V, or -1.
template <size_t N>
int MatchName(const std::array<std::string_view, N>& Names, std::string_view V) {
  if (V.size() < 3) return -1;
  for (size_t k = 0; k < N; ++k)
    if (UpperAscii(Names[k].substr(0, 3)) == V.substr(0, 3)) return static_cast<int>(k);
  return -1;
}

bool IsFormatToken(std::string_view T) {
  static constexpr std::array<std::string_view, 18> kTokens = {"DD", "DDD", "DDDD", "MM",  "MMM", "MMMM",
                                                               "YY", "YYY", "YYYY", "HH",  "NN",  "SS",
                                                               "ZZ", "ZZZ", "AP",   "AM",  "AMP", "AMPM"};
  for (std::string_view t : kTokens)
    if (t == T) return true;
  return false;
}

bool IsFormatLetter(char c) {
  return c == 'A' || c == 'D' || c == 'H' || c == 'M' || c == 'N' || c == 'P' || c == 'S' || c == 'Y' || c == 'Z';
}

int CurrentYear() {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(SystemClock::instance().nowDateTime(), y, mo, d, h, mi, s, ms);
  return y;
}

}  // namespace

bool TryEncodeDateTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec, TDateTime& Out) {
  using namespace std::chrono;
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > 31) return false;
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999) return false;
  const year_month_day ymd{year{Year}, month{static_cast<unsigned>(Month)}, day{static_cast<unsigned>(Day)}};
  if (!ymd.ok()) return false;
  const int64_t days = (sys_days{ymd} - sys_days{year{1899} / December / 30}).count();
  const double time =
      static_cast<double>(((Hour * 60 + Min) * 60 + Sec) * 1000 + MSec) / static_cast<double>(kMSecsPerDay);
  // Before the origin the date part counts down and the time still runs forward from it.
  Out = days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
  return true;
}

void DecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Min, int& Sec, int& MSec) {
  using namespace std::chrono;
  int64_t days = 0;
  int64_t ms = 0;
  if (!std::isfinite(Value) || std::fabs(Value) > 3e6) Value = 0;  // far outside years 1..9999
  if (Value >= 0) {
    const int64_t total = std::llround(Value * static_cast<double>(kMSecsPerDay));
    days = total / kMSecsPerDay;
    ms = total % kMSecsPerDay;
  } else {
    days = static_cast<int64_t>(std::trunc(Value));
    ms = std::llround((static_cast<double>(days) - Value) * static_cast<double>(kMSecsPerDay));
    if (ms >= kMSecsPerDay) {
      --days;
      ms -= kMSecsPerDay;
    }
  }
  const year_month_day ymd{sys_days{year{1899} / December / 30} + std::chrono::days{days}};
  Year = static_cast<int>(ymd.year());
  Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  Hour = static_cast<int>(ms / 3600000);
  Min = static_cast<int>(ms / 60000 % 60);
  Sec = static_cast<int>(ms / 1000 % 60);
  MSec = static_cast<int>(ms % 1000);
}

TDateTime StrToDateTimeByFormat(std::string_view Format, std::string_view Value) {
  return StrToDateTimeByFormat(Format, Value, CurrentYear());
}

TDateTime StrToDateTimeByFormat(std::string_view Format, std::string_view Value, int CurrentYear) {
  const std::string f = UpperAscii(Format);
  const std::string vs = UpperAscii(Value);
  std::string_view v = vs;
  int yy = 0, mm = 0, dd = 0, hh = 0, nn = 0, ss = 0, zz = 0;
  enum class Marker { None, AM, PM } marker = Marker::None;

  auto remove = [&v](size_t n) { v.remove_prefix(std::min(n, v.size())); };

  size_t i = 0;
  while (i + 1 < f.size() && !v.empty()) {
    if (!IsFormatLetter(f[i])) {
      if (v.size() > 1) remove(1);
      ++i;
      continue;
    }
    size_t len = 1;
    while (i + len < f.size() && IsFormatToken(std::string_view(f).substr(i, len + 1))) ++len;
    const std::string_view token = std::string_view(f).substr(i, len);
    i += len;

    if (token == "DD") {
      dd = ParseIntDef(v.substr(0, 2), true, 0);
      remove(2);
    } else if (token == "DDD") {
      remove(3);
    } else if (token == "DDDD") {
      const int k = MatchName(kLongDayNames, v);
      if (k >= 0) remove(kLongDayNames[static_cast<size_t>(k)].size());
    } else if (token == "MM") {
      mm = ParseIntDef(v.substr(0, 2), true, 0);
      remove(2);
    } else if (token == "MMM" || token == "MMMM") {
      const int k = MatchName(kLongMonthNames, v);
      if (k >= 0) {
        mm = k + 1;
        remove(token == "MMM" ? 3 : kLongMonthNames[static_cast<size_t>(k)].size());
      }
    } else if (token == "YY") {
      yy = ParseIntDef(v.substr(0, 2), false, 0);
      remove(2);
      const int century = CurrentYear / 100 * 100;
      yy += yy < 50 ? century : century - 100;
    } else if (token == "YYYY") {
      yy = ParseIntDef(v.substr(0, 4), false, 0);
      remove(4);
    } else if (token == "HH") {
      hh = ParseIntDef(v.substr(0, 2), true, 0);
      remove(2);
    } else if (token == "NN") {
      nn = ParseIntDef(v.substr(0, 2), true, 0);
      remove(2);
    } else if (token == "SS") {
      ss = ParseIntDef(v.substr(0, 2), true, 0);
      remove(2);
    } else if (token == "ZZ" || token == "ZZZ") {
      zz = ParseIntDef(v.substr(0, 3), true, 0);
      remove(3);
    } else if (token == "AP") {
      marker = v.front() == 'A' ? Marker::AM : Marker::PM;
      remove(1);
    } else if (token == "AM" || token == "AMP" || token == "AMPM") {
      marker = v.substr(0, 2) == "AM" ? Marker::AM : Marker::PM;
      remove(2);
    }
    // YYY and single letters consume nothing.
  }

  // 12-hour clock: 12 AM is midnight, 12 PM is noon.
  if (marker == Marker::PM && hh < 12) hh += 12;
  if (marker == Marker::AM && hh == 12) hh = 0;

  TDateTime result = 0;
  if (yy != 0 || mm != 0 || dd != 0) {
    if (!TryEncodeDateTime(yy, mm, dd, hh, nn, ss, zz, result)) return -1.0;
    return result;
  }
  if (hh < 0 || hh > 23 || nn < 0 || nn > 59 || ss < 0 || ss > 59 || zz < 0 || zz > 999) return -1.0;
  return static_cast<double>(((hh * 60 + nn) * 60 + ss) * 1000 + zz) / static_cast<double>(kMSecsPerDay);
}

int32_t GetUsedMemoryKB() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long long size = 0;
  long long resident = 0;
  const int n = std::fscanf(f, "%lld %lld", &size, &resident);
  std::fclose(f);
  const long page = sysconf(_SC_PAGESIZE);
  if (n != 2 || resident < 0 || page <= 0) return 0;
  return static_cast<int32_t>(resident * page / 1024);
}

std::string ToConsoleText(std::string_view Text) {
  // The accented Hungarian letters (UTF-8) and their plain forms.
  static constexpr std::array<std::pair<std::string_view, char>, 18> kFold = {{
      {"\xC3\xB6", 'o'}, {"\xC3\xBC", 'u'}, {"\xC3\xB3", 'o'}, {"\xC5\xB1", 'u'}, {"\xC5\x91", 'o'},
      {"\xC3\xBA", 'u'}, {"\xC3\xA9", 'e'}, {"\xC3\xA1", 'a'}, {"\xC3\xAD", 'i'}, {"\xC3\x96", 'O'},
      {"\xC3\x9C", 'U'}, {"\xC3\x93", 'O'}, {"\xC5\xB0", 'U'}, {"\xC5\x90", 'O'}, {"\xC3\x9A", 'U'},
      {"\xC3\x89", 'E'}, {"\xC3\x81", 'A'}, {"\xC3\x8D", 'I'},
  }};
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size();) {
    const unsigned char c = static_cast<unsigned char>(Text[i]);
    if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') {
      out += ' ';
      i += 2;
      continue;
    }
    if (c < 32) {
      out += '_';
      ++i;
      continue;
    }
    if (c == 0xC3 || c == 0xC5) {
      bool folded = false;
      for (const auto& [seq, plain] : kFold) {
        if (Text.substr(i, 2) == seq) {
          out += plain;
          i += 2;
          folded = true;
          break;
        }
      }
      if (folded) continue;
    }
    out += static_cast<char>(c);
    ++i;
  }
  return out;
}

namespace {
std::vector<std::string>& StoredParams() {
  static std::vector<std::string> params;
  return params;
}
}  // namespace

void SetCmdLineArgs(int argc, const char* const* argv) {
  std::vector<std::string> params;
  for (int k = 1; k < argc; ++k) params.emplace_back(argv[k] != nullptr ? argv[k] : "");
  StoredParams() = std::move(params);
}

void SetCmdLineArgs(std::vector<std::string> Params) { StoredParams() = std::move(Params); }

const std::vector<std::string>& CmdLineParams() { return StoredParams(); }

std::string GetCmdLineParam(const std::vector<std::string>& Params, std::string_view Name,
                            std::string_view SwitchChars) {
  const std::string name = UpperAscii(Name);
  // The last parameter has nothing after it, so it cannot name a value.
  for (size_t k = 0; k + 1 < Params.size(); ++k) {
    const std::string& p = Params[k];
    if (p.empty()) continue;
    if (!SwitchChars.empty() && SwitchChars.find(p.front()) == std::string_view::npos) continue;
    if (UpperAscii(std::string_view(p).substr(1)) == name) return Params[k + 1];
  }
  return {};
}

std::string GetCmdLineParam(std::string_view Name, std::string_view SwitchChars) {
  return GetCmdLineParam(CmdLineParams(), Name, SwitchChars);
}

bool IsWinXPOrLater() { return true; }

bool AttachParentConsole() {
  if (!IsWinXPOrLater()) return false;
  // The console is the process's standard output; it is usable when the descriptor is open.
  return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

}  // namespace vornik
