#include "firmware/KRVDataUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vornik {

namespace {

constexpr std::string_view kASYSI = "ASYSI";

// Hungarian texts of the identification line.
constexpr std::string_view kBadInfo = "Hibás infó: ";
constexpr std::string_view kBadDate = "[hibás dátum: ";
constexpr std::string_view kProject = " Projekt: ";
constexpr std::string_view kDevice = " Készülék: ";
constexpr std::string_view kRxTx = " Rx/Tx buflen: ";
constexpr std::string_view kName = " Név: ";
constexpr std::string_view kBLRev = " BL rev: ";
constexpr std::string_view kUptime = " Uptime: ";
constexpr std::string_view kBLRuns = " [a BL fut]";
constexpr std::string_view kFWRuns = " [a FW fut]";
constexpr const char* kCPUFormat = " A CPU típusa: %.3d";
constexpr const char* kVoltageFormat = " Feszültség: %.3d";
constexpr std::string_view kExtraData = " További adatok: ";
constexpr std::string_view kDeviceCode = " (készülékkód)";

// Unicode code points of Windows-1250 bytes 0x80..0xFF.
constexpr uint16_t kWin1250High[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// Days between 1899-12-30 (day 0 of a build date) and 0001-01-01, and up to 10000-01-01.
constexpr double kFirstDay = -693593.0;
constexpr double kDayAfterLast = 2958466.0;
constexpr int64_t kMsPerDay = 86400000;

uint16_t LE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t LE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

template <std::size_t N>
std::string_view Chars(const std::array<char, N>& a) {
  return std::string_view(a.data(), N);
}

// Proleptic Gregorian date of a day count relative to 1970-01-01.
void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}


std::string Formatted(const char* Format, int Value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, Format, Value);
  return buf;
}

}  // namespace

const std::array<std::string_view, 13> DeviceTypeNames = {
    "Telvaro-készülék",
    "hőmérséklet-szenzorcsoport (I2C)",
    "hőmérséklet-szenzor",
    "vízálló hőmérséklet-szenzor",
    "hőmérséklet- és páratartalom-szenzor",
    "hőmérséklet-, páratartalom- és légnyomás-szenzor",
    "szünetmentes tápegység",
    "légsebesség-szenzor",
    "relés kimeneti panel",
    "bemeneti panel",
    "nedvességérzékelő",
    "feszültségmérő szenzor",
    "időjárásállomás-illesztő modul",
};

std::string DeviceTypeText(uint8_t Code) {
  if (Code < DeviceTypeNames.size()) return std::string(DeviceTypeNames[Code]);
  if (Code == 50) return "NodeCtrl";
  if (Code == 51) return "Node";
  return std::to_string(Code) + std::string(kDeviceCode);
}

TDeviceInfo TDeviceInfo::FromBytes(std::string_view Bytes) {
  uint8_t r[kDeviceInfoSize] = {};
  std::memcpy(r, Bytes.data(), std::min(Bytes.size(), kDeviceInfoSize));
  TDeviceInfo i;
  std::memcpy(i.Reserved.data(), r, 6);
  std::memcpy(i.BuildID.data(), r + 6, 5);
  std::memcpy(i.BuildName.data(), r + 11, 6);
  std::memcpy(&i.BuildDate, r + 17, 8);  // the host is little-endian like the device
  i.ProjectNumber = LE16(r + 25);
  i.DeviceType = r[27];
  i.RxBufLen = LE16(r + 28);
  i.TxBufLen = LE16(r + 30);
  std::memcpy(i.DeviceName.data(), r + 32, 24);
  i.BLRev = LE16(r + 56);
  i.Uptime = LE32(r + 58);
  i.BootloaderRunning = r[62];
  i.CPUType = r[63];
  i.Voltage = LE16(r + 64);
  if (Bytes.size() > kDeviceInfoSize) i.ExtraData.assign(Bytes.substr(kDeviceInfoSize));
  return i;
}

int DeviceInfoLevel(std::size_t Length) {
  // A level is shown once every field it adds has arrived complete.
  if (Length > 66) return 7;
  if (Length >= 66) return 6;
  if (Length >= 64) return 5;
  if (Length >= 63) return 4;
  if (Length >= 28) return 3;
  if (Length >= 27) return 2;
  if (Length >= 25) return 1;
  return 0;
}

std::string ByteListText(std::string_view Bytes) {
  std::string s;
  s.reserve(Bytes.size() * 4);
  for (const char c : Bytes) {
    const unsigned b = static_cast<uint8_t>(c);
    s.push_back(static_cast<char>('0' + b / 100));
    s.push_back(static_cast<char>('0' + b / 10 % 10));
    s.push_back(static_cast<char>('0' + b % 10));
    s.push_back(' ');
  }
  return s;
}

bool FormatBuildDate(double Value, std::string& Text) {
  if (!std::isfinite(Value)) return false;
  // The integer part counts days, the fraction (also of a negative value) is the time of day.
  const double days = std::trunc(Value);
  if (days < kFirstDay || days >= kDayAfterLast) return false;
  int64_t ms = std::llround(std::fabs(Value - days) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) ms = kMsPerDay - 1;
  int y = 0, m = 0, d = 0;
  CivilFromDays(static_cast<int64_t>(days) - 25569, y, m, d);
  const int hour = static_cast<int>(ms / 3600000);
  const int minute = static_cast<int>(ms / 60000 % 60);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", y, m, d, hour, minute);
  Text = buf;
  return true;
}

namespace {

/// Length of the well-formed UTF-8 sequence of two to four bytes that starts at Text[At]; 0 when
/// none does (overlong forms, surrogates and code points beyond U+10FFFF are not well-formed).
std::size_t Utf8SequenceLength(std::string_view Text, std::size_t At) {
  const uint8_t b = static_cast<uint8_t>(Text[At]);
  std::size_t n = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (At + n > Text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const uint8_t c = static_cast<uint8_t>(Text[At + k]);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
  }
  return n;
}

}  // namespace

std::string LogTextToUtf8(std::string_view Text) {
  std::string s;
  s.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size();) {
    if (static_cast<uint8_t>(Text[i]) < 0x80) {
      s.push_back(Text[i++]);
    } else if (const std::size_t n = Utf8SequenceLength(Text, i); n != 0) {
      s.append(Text.substr(i, n));
      i += n;
    } else {
      s += Win1250ToUtf8(Text.substr(i, 1));
      ++i;
    }
  }
  return s;
}

std::string Win1250ToUtf8(std::string_view Bytes) {
  std::string s;
  s.reserve(Bytes.size());
  for (const char c : Bytes) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (b < 0x80) {
      s.push_back(c);
      continue;
    }
    const uint16_t u = kWin1250High[b - 0x80];
    if (u < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (u >> 6)));
      s.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      s.push_back(static_cast<char>(0xE0 | (u >> 12)));
      s.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return s;
}

int DecodeDeviceInfo(std::string_view Payload, TDeviceInfo& Info, std::string& Text) {
  if (Payload.substr(0, kASYSI.size()) == kASYSI) Payload.remove_prefix(kASYSI.size());
  Payload = Payload.substr(0, kDeviceInfoMaxPayload);
  if (Payload.size() < kDeviceInfoMinSize) {
    Text = std::string(kBadInfo) + ByteListText(Payload);
    return 1;
  }
  const int level = DeviceInfoLevel(Payload.size());
  const TDeviceInfo i = TDeviceInfo::FromBytes(Payload);

  std::string detail;
  if (level >= 2) detail.append(kProject).append(std::to_string(i.ProjectNumber));
  if (level >= 3) detail.append(kDevice).append(DeviceTypeText(i.DeviceType));
  if (level >= 4) {
    detail.append(kRxTx).append(std::to_string(i.RxBufLen)).append("/").append(std::to_string(i.TxBufLen));
    detail.append(kName).append(DeviceNameText(i.DeviceName));
    detail.append(kBLRev).append(std::to_string(i.BLRev));
    detail.append(kUptime).append(std::to_string(i.Uptime));
    detail.append(i.BootloaderRunning != 0 ? kBLRuns : kFWRuns);
  }
  if (level >= 5) detail.append(Formatted(kCPUFormat, i.CPUType));
  if (level >= 6) detail.append(Formatted(kVoltageFormat, i.Voltage));
  if (level >= 7) detail.append(kExtraData).append(ByteListText(i.ExtraData));

  std::string date;
  if (!FormatBuildDate(i.BuildDate, date)) {
    date = std::string(kBadDate) + ByteListText(Payload.substr(17, 8)) + "]";
  }

  Text.clear();
  Text.append(Win1250ToUtf8(Chars(i.BuildID))).append(" ");
  Text.append(Win1250ToUtf8(Chars(i.BuildName))).append(" ");
  Text.append(date).append(detail);
  Info = i;
  return 0;
}

std::string DeviceInfoToStr(std::string_view Payload) {
  TDeviceInfo info;
  std::string text;
  DecodeDeviceInfo(Payload, info, text);
  return text;
}

int32_t ParamStrToInt(std::string_view Param, bool Reverse) {
  if (Param.empty()) throw EParamStr("Üres paraméterstring.");
  if (Param.size() > 4) {
    throw EParamStr("Parameter string longer than 4 bytes: " + std::to_string(Param.size()));
  }
  uint32_t v = 0;
  const std::size_t n = Param.size();
  for (std::size_t k = 0; k < n; ++k) {
    const uint8_t b = static_cast<uint8_t>(Reverse ? Param[n - 1 - k] : Param[k]);
    v |= static_cast<uint32_t>(b) << (8 * k);
  }
  return static_cast<int32_t>(v);
}

std::string DWordToParamStr(uint32_t Value, bool Reverse) {
  std::string s(4, '\0');
  for (std::size_t k = 0; k < 4; ++k) s[Reverse ? 3 - k : k] = static_cast<char>((Value >> (8 * k)) & 0xFF);
  return s;
}

std::string WordToParamStr(int16_t Value, bool Reverse) {
  const uint16_t v = static_cast<uint16_t>(Value);
  std::string s(2, '\0');
  s[Reverse ? 1 : 0] = static_cast<char>(v & 0xFF);
  s[Reverse ? 0 : 1] = static_cast<char>(v >> 8);
  return s;
}

std::string ByteToParamStr(uint8_t Value) { return std::string(1, static_cast<char>(Value)); }

std::string DeviceNameText(const std::array<char, 24>& Name) {
  std::string s(Chars(Name));
  for (char& c : s) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (b < 32 || b == 255) c = '-';
  }
  const auto keep = [](char c) { return static_cast<uint8_t>(c) > 32; };
  std::size_t first = 0;
  while (first < s.size() && !keep(s[first])) ++first;
  std::size_t last = s.size();
  while (last > first && !keep(s[last - 1])) --last;
  return Win1250ToUtf8(std::string_view(s).substr(first, last - first));
}

}  // namespace vornik
