#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include "util/MorvelUtils.h"

using namespace vornik;

namespace {

TDateTime Encode(int Y, int Mo, int D, int H = 0, int Mi = 0, int S = 0, int Ms = 0) {
  TDateTime v = -99;
  EXPECT_TRUE(TryEncodeDateTime(Y, Mo, D, H, Mi, S, Ms, v)) << Y << "-" << Mo << "-" << D;
  return v;
}

TDateTime TimeOnly(int H, int Mi, int S = 0, int Ms = 0) {
  return (((H * 60 + Mi) * 60 + S) * 1000 + Ms) / 86400000.0;
}

}  // namespace

TEST(DateTime, KnownSerialNumbers) {
  EXPECT_DOUBLE_EQ(Encode(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(Encode(1900, 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(Encode(2000, 1, 1), 36526.0);
  EXPECT_DOUBLE_EQ(Encode(2000, 1, 1, 12), 36526.5);
  // Before the origin the time of day still counts forward from the date.
  EXPECT_DOUBLE_EQ(Encode(1899, 12, 29, 6), -1.25);
}

TEST(DateTime, EncodeRejectsImpossibleFields) {
  TDateTime v = 0;
  EXPECT_FALSE(TryEncodeDateTime(2013, 2, 29, 0, 0, 0, 0, v));
  EXPECT_TRUE(TryEncodeDateTime(2012, 2, 29, 0, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(1900, 2, 29, 0, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(0, 1, 1, 0, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(10000, 1, 1, 0, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 13, 1, 0, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 4, 31, 0, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 1, 1, 24, 0, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 1, 1, 0, 60, 0, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 1, 1, 0, 0, 60, 0, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 1, 1, 0, 0, 0, 1000, v));
  EXPECT_FALSE(TryEncodeDateTime(2012, 1, 1, -1, 0, 0, 0, v));
}

TEST(DateTime, DecodeRoundsToTheNearestMillisecond) {
  struct Case {
    TDateTime value;
    int y, mo, d, h, mi, s, ms;
  };
  const double ms = 1.0 / 86400000.0;
  const Case cases[] = {
      {Encode(2026, 12, 8, 10, 25, 48, 123), 2026, 12, 8, 10, 25, 48, 123},
      {Encode(2026, 12, 8, 10, 25, 48, 123) + 0.4 * ms, 2026, 12, 8, 10, 25, 48, 123},
      {Encode(2026, 12, 8, 10, 25, 48, 123) - 0.4 * ms, 2026, 12, 8, 10, 25, 48, 123},
      // Just below midnight rounds into the next day rather than to "24:00:00.000".
      {Encode(2026, 12, 31, 23, 59, 59, 999) + 0.6 * ms, 2027, 1, 1, 0, 0, 0, 0},
      {-1.25, 1899, 12, 29, 6, 0, 0, 0},
      {0.0, 1899, 12, 30, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    int y, mo, d, h, mi, s, msec;
    DecodeDateTime(c.value, y, mo, d, h, mi, s, msec);
    EXPECT_EQ((std::array<int, 7>{y, mo, d, h, mi, s, msec}),
              (std::array<int, 7>{c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms}))
        << c.value;
  }
}

TEST(StrToDateTimeByFormat, Table) {
  struct Case {
    const char* format;
    const char* value;
    TDateTime expected;
  };
  const char* kIso = "YYYY-MM-DD HH:NN:SS";
  const Case cases[] = {
      {kIso, "2012-03-15 10:20:30", Encode(2012, 3, 15, 10, 20, 30)},
      {"yyyy-mm-dd hh:nn:ss", "2012-03-15 10:20:30", Encode(2012, 3, 15, 10, 20, 30)},
      {kIso, "2012-3-15 10:20:30", -1.0},  // the month field reads "3-"
      {kIso, "2013-02-30 00:00:00", -1.0},
      {kIso, "2012-02-29 23:59:59", Encode(2012, 2, 29, 23, 59, 59)},
      {kIso, "", 0.0},                        // nothing read: midnight is a valid time
      {kIso, "2012-03-15", Encode(2012, 3, 15)},  // stops when the value runs out
      {kIso, "2012-03-15 24:00:00", -1.0},
      {kIso, "2012-03-15 10:60:00", -1.0},
      {kIso, "xxxx-03-15 10:20:30", -1.0},  // year 0 with month and day set
      {kIso, "0000-00-00 10:20:30", TimeOnly(10, 20, 30)},
      {kIso, "2012-03- 5 10:20:30", Encode(2012, 3, 5, 10, 20, 30)},  // two-digit fields are trimmed
      {"HH:NN:SS.ZZZ", "10:20:30.123", TimeOnly(10, 20, 30, 123)},
      {"HH:NN:SS.ZZ", "10:20:30. 45", TimeOnly(10, 20, 30, 45)},
      {"HH:NN", "25:00", -1.0},
      {"HH", "07", TimeOnly(7, 0)},
      // The last pattern character never starts a token.
      {"HH:N", "10:20", TimeOnly(10, 0)},
      {"DD MMM YYYY", "15 MAR 2012", Encode(2012, 3, 15)},
      {"DD MMM YYYY", "15 mar 2012", Encode(2012, 3, 15)},
      {"DD MMM YYYY", "15 XYZ 2012", -1.0},  // no month: the remaining fields shift
      {"DD MMMM YYYY", "15 September 2012", Encode(2012, 9, 15)},
      {"DDDD, DD MMMM YYYY", "Thursday, 15 March 2012", Encode(2012, 3, 15)},
      {"DDD DD.MM.YYYY", "THU 15.03.2012", Encode(2012, 3, 15)},
      {"YYYY-MM-DD HH:NN AMPM", "2012-03-15 01:15 PM", Encode(2012, 3, 15, 13, 15)},
      {"YYYY-MM-DD HH:NN AMPM", "2012-03-15 01:15 AM", Encode(2012, 3, 15, 1, 15)},
      {"HH:NN AP", "07:05 P", TimeOnly(19, 5)},
      {"HH:NN AP", "07:05 A", TimeOnly(7, 5)},
      // 12-hour clock: 12 PM is noon and 12 AM is midnight.
      {"HH:NN AMPM", "12:30 PM", TimeOnly(12, 30)},
      {"HH:NN AMPM", "12:30 AM", TimeOnly(0, 30)},
      // YYY is a token that reads nothing.
      {"YYY DD.MM", "15.03", -1.0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(StrToDateTimeByFormat(c.format, c.value, 2026), c.expected)
        << c.format << " / \"" << c.value << "\"";
}

TEST(StrToDateTimeByFormat, TwoDigitYearsPivotAtFifty) {
  EXPECT_DOUBLE_EQ(StrToDateTimeByFormat("YY-MM-DD", "12-03-15", 2026), Encode(2012, 3, 15));
  EXPECT_DOUBLE_EQ(StrToDateTimeByFormat("YY-MM-DD", "49-03-15", 2026), Encode(2049, 3, 15));
  EXPECT_DOUBLE_EQ(StrToDateTimeByFormat("YY-MM-DD", "50-03-15", 2026), Encode(1950, 3, 15));
  EXPECT_DOUBLE_EQ(StrToDateTimeByFormat("YY-MM-DD", "12-03-15", 2150), Encode(2112, 3, 15));
  // Without a current year given, the system's year is used: "12" is 2012 for any year 2000-2099.
  EXPECT_DOUBLE_EQ(StrToDateTimeByFormat("YY-MM-DD", "12-03-15"), Encode(2012, 3, 15));
}

TEST(StrToDateTimeByFormat, GarbageNeverReadsPastTheValue) {
  const char* formats[] = {"DDDD", "MMMM", "AMPM", "ZZZ", "YYYY", "DD.MM.YYYY", "AP", "XX"};
  const char* values[] = {"", "T", "TH", "MA", "A", "\xC3", "99999999", "-1-1-1"};
  for (const char* f : formats)
    for (const char* v : values) {
      const TDateTime r = StrToDateTimeByFormat(f, v, 2026);
      EXPECT_TRUE(r == -1.0 || r >= 0.0) << f << " / " << v;
    }
}

TEST(ToConsoleText, ControlCharactersAndAccents) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"a\r\nb", "a b"},
      {"a\nb", "a_b"},
      {"a\rb", "a_b"},
      {"\n\r", "__"},
      {"\r\r\n", "_ "},
      {"tab\there", "tab_here"},
      {std::string("nul\0!", 5), "nul_!"},
      {"\xC3\xB6\xC3\xBC\xC3\xB3\xC5\xB1\xC5\x91\xC3\xBA\xC3\xA9\xC3\xA1\xC3\xAD", "ouououeai"},
      {"\xC3\x96\xC3\x9C\xC3\x93\xC5\xB0\xC5\x90\xC3\x9A\xC3\x89\xC3\x81\xC3\x8D", "OUOUOUEAI"},
      {"Friss\xC3\xADt\xC3\xA9s ind\xC3\xADt\xC3\xA1sa", "Frissites inditasa"},
      // Other letters and broken sequences stay as they are.
      {"\xC3\x9F \xC3\xA4", "\xC3\x9F \xC3\xA4"},
      {"end\xC3", "end\xC3"},
      {"\xC5", "\xC5"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ToConsoleText(c.in), c.out) << c.in;
}

TEST(GetCmdLineParam, Table) {
  using P = std::vector<std::string>;
  struct Case {
    P params;
    const char* name;
    std::string_view switches;
    std::string expected;
  };
  const Case cases[] = {
      {{"-fw"}, "fw", kSwitchChars, ""},  // the last parameter has no value after it
      {{"-FW", "file.qob"}, "fw", kSwitchChars, "file.qob"},
      {{"/fw", "a.hex"}, "FW", kSwitchChars, "a.hex"},
      {{"\\fw", "a.hex"}, "fw", kSwitchChars, "a.hex"},
      {{"+fw", "a.hex"}, "fw", kSwitchChars, ""},
      {{"fw", "a.hex"}, "fw", kSwitchChars, ""},
      {{"xfw", "a.hex"}, "fw", "", "a.hex"},  // no switch set: the first character is dropped anyway
      {{"", "-fw", "a", "-fw", "b"}, "fw", kSwitchChars, "a"},
      {{"-fwx", "a"}, "fw", kSwitchChars, ""},
      {{"-ip", "-port", "5000"}, "ip", kSwitchChars, "-port"},
      {{"-ip", "-port", "5000"}, "port", kSwitchChars, "5000"},
      {{"-", "v"}, "", kSwitchChars, "v"},
      {{}, "fw", kSwitchChars, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GetCmdLineParam(c.params, c.name, c.switches), c.expected) << c.name;
}

TEST(GetCmdLineParam, RecordedArgumentsSkipTheProgramName) {
  const char* argv[] = {"-fw", "-address", "12", nullptr};
  SetCmdLineArgs(3, argv);
  ASSERT_EQ(CmdLineParams().size(), 2u);
  EXPECT_EQ(GetCmdLineParam("fw", kSwitchChars), "");
  EXPECT_EQ(GetCmdLineParam("address", kSwitchChars), "12");
  SetCmdLineArgs({"-fw", "x.qob"});
  EXPECT_EQ(GetCmdLineParam("fw", kSwitchChars), "x.qob");
  SetCmdLineArgs(std::vector<std::string>{});
}

TEST(System, MemoryUseFollowsTouchedPages) {
  const int32_t before = GetUsedMemoryKB();
  EXPECT_GT(before, 0);
  constexpr size_t kSize = 64u << 20;
  std::unique_ptr<char[]> block(new char[kSize]);
  std::memset(block.get(), 1, kSize);
  volatile char sink = block[kSize - 1];
  (void)sink;
  EXPECT_GE(GetUsedMemoryKB() - before, 32 * 1024);
}

TEST(System, ConsoleIsStandardOutput) {
  EXPECT_TRUE(IsWinXPOrLater());
  EXPECT_TRUE(AttachParentConsole());
}
