#include "firmware/KRVDataUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

using namespace vornik;

namespace {

// A full 66-byte record with every field set to a recognisable value.
std::string Record() {
  std::string r(66, '\0');
  std::memcpy(&r[0], "\x01\x02\x03\x04\x05\x06", 6);
  std::memcpy(&r[6], "B0123", 5);
  std::memcpy(&r[11], "KRV-X1", 6);
  const double date = 45000.75;  // 2023-03-15 18:00
  std::memcpy(&r[17], &date, 8);
  r[25] = 0x39;  // project 12345
  r[26] = 0x30;
  r[27] = 4;     // temperature and humidity sensor
  r[28] = 0x00;  // rx 512
  r[29] = 0x02;
  r[30] = static_cast<char>(0x80);  // tx 128
  r[31] = 0x00;
  std::memcpy(&r[32], "Pince szenzor", 13);  // the rest of the name stays zero
  r[56] = 0x07;  // bootloader revision 7
  r[58] = 0x40;  // uptime 0x00010040 = 65600
  r[60] = 0x01;
  r[62] = 0;     // the firmware runs
  r[63] = 23;    // CPU type
  r[64] = 0x2C;  // voltage 300
  r[65] = 0x01;
  return r;
}

const std::string kHeader = "B0123 KRV-X1 2023-03-15 18:00";
const std::string kLevel4 =
    " Projekt: 12345 Készülék: hőmérséklet- és páratartalom-szenzor Rx/Tx buflen: 512/128"
    " Név: Pince szenzor----------- BL rev: 7 Uptime: 65600 [a FW fut]";

}  // namespace

TEST(KRVDataUtils, FullRecordText) {
  TDeviceInfo info;
  std::string text;
  ASSERT_EQ(DecodeDeviceInfo("ASYSI" + Record(), info, text), 0);
  EXPECT_EQ(text, kHeader + kLevel4 + " A CPU típusa: 023 Feszültség: 300");
  EXPECT_EQ(info.ProjectNumber, 12345);
  EXPECT_EQ(info.DeviceType, 4);
  EXPECT_EQ(info.RxBufLen, 512);
  EXPECT_EQ(info.TxBufLen, 128);
  EXPECT_EQ(info.BLRev, 7);
  EXPECT_EQ(info.Uptime, 65600u);
  EXPECT_EQ(info.BootloaderRunning, 0);
  EXPECT_EQ(info.CPUType, 23);
  EXPECT_EQ(info.Voltage, 300);
  EXPECT_DOUBLE_EQ(info.BuildDate, 45000.75);
  EXPECT_EQ(std::string(info.BuildID.data(), 5), "B0123");
  EXPECT_TRUE(info.ExtraData.empty());
  // Without the leading code the same record gives the same text.
  EXPECT_EQ(DeviceInfoToStr(Record()), text);
}

TEST(KRVDataUtils, LevelFollowsTheLength) {
  const std::string r = Record() + "\x01\xFF";
  struct {
    std::size_t length;
    std::string tail;
  } cases[] = {
      {25, ""},
      {26, ""},
      {27, " Projekt: 12345"},
      {28, " Projekt: 12345 Készülék: hőmérséklet- és páratartalom-szenzor"},
      {40, " Projekt: 12345 Készülék: hőmérséklet- és páratartalom-szenzor"},
      {62, " Projekt: 12345 Készülék: hőmérséklet- és páratartalom-szenzor"},
      {63, kLevel4},
      {64, kLevel4 + " A CPU típusa: 023"},
      {65, kLevel4 + " A CPU típusa: 023"},
      {66, kLevel4 + " A CPU típusa: 023 Feszültség: 300"},
      {68, kLevel4 + " A CPU típusa: 023 Feszültség: 300 További adatok: 001 255 "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeviceInfoToStr("ASYSI" + r.substr(0, c.length)), kHeader + c.tail) << c.length;
  }
  EXPECT_EQ(DeviceInfoLevel(24), 0);
  EXPECT_EQ(DeviceInfoLevel(25), 1);
  EXPECT_EQ(DeviceInfoLevel(67), 7);
}

TEST(KRVDataUtils, ShortAnswerFailsAndLeavesTheRecordAlone) {
  TDeviceInfo info;
  info.ProjectNumber = 77;
  std::string text = "before";
  EXPECT_EQ(DecodeDeviceInfo("ASYSI" + Record().substr(0, 24), info, text), 1);
  EXPECT_EQ(info.ProjectNumber, 77);
  EXPECT_EQ(text.substr(0, 14), "Hibás infó: ");
  EXPECT_EQ(text, "Hibás infó: 001 002 003 004 005 006 066 048 049 050 051 075 082 086 045 088 049 000 000 "
                  "000 000 024 249 229 ");
  EXPECT_EQ(DeviceInfoToStr("ASYSI"), "Hibás infó: ");
  EXPECT_EQ(DeviceInfoToStr(""), "Hibás infó: ");
  EXPECT_EQ(DeviceInfoToStr("AB"), "Hibás infó: 065 066 ");
}

TEST(KRVDataUtils, DeviceTypeNames) {
  EXPECT_EQ(DeviceTypeText(0), "Telvaro-készülék");
  EXPECT_EQ(DeviceTypeText(5), "hőmérséklet-, páratartalom- és légnyomás-szenzor");
  EXPECT_EQ(DeviceTypeText(12), "időjárásállomás-illesztő modul");
  EXPECT_EQ(DeviceTypeText(13), "13 (készülékkód)");
  EXPECT_EQ(DeviceTypeText(49), "49 (készülékkód)");
  EXPECT_EQ(DeviceTypeText(50), "NodeCtrl");
  EXPECT_EQ(DeviceTypeText(51), "Node");
  EXPECT_EQ(DeviceTypeText(255), "255 (készülékkód)");

  std::string r = Record();
  r[27] = 50;
  EXPECT_NE(DeviceInfoToStr(r.substr(0, 28)).find(" Készülék: NodeCtrl"), std::string::npos);
  r[27] = 13;
  EXPECT_NE(DeviceInfoToStr(r.substr(0, 28)).find(" Készülék: 13 (készülékkód)"), std::string::npos);
}

TEST(KRVDataUtils, BuildDates) {
  struct {
    double value;
    const char* text;
  } good[] = {
      {0.0, "1899-12-30 00:00"},
      {1.5, "1899-12-31 12:00"},
      {-1.25, "1899-12-29 06:00"},  // the fraction of a negative date is still the time of day
      {36526.0 + 1.0 / 24 / 60 * 59, "2000-01-01 00:59"},
      {2958465.9999, "9999-12-31 23:59"},
      {-693593.0, "0001-01-01 00:00"},
  };
  for (const auto& g : good) {
    std::string s;
    ASSERT_TRUE(FormatBuildDate(g.value, s)) << g.value;
    EXPECT_EQ(s, g.text) << g.value;
  }
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(), 2958466.0, -693594.0, 1e300}) {
    std::string s = "unchanged";
    EXPECT_FALSE(FormatBuildDate(bad, s)) << bad;
  }

  std::string r = Record();
  std::memset(&r[17], 0xFF, 8);
  EXPECT_EQ(DeviceInfoToStr(r.substr(0, 25)),
            "B0123 KRV-X1 [hibás dátum: 255 255 255 255 255 255 255 255 ]");
  const double far = 1e12;
  std::memcpy(&r[17], &far, 8);
  EXPECT_TRUE(DeviceInfoToStr(r.substr(0, 27)).starts_with("B0123 KRV-X1 [hibás dátum: "));
}

TEST(KRVDataUtils, DeviceNameAndRawCharacters) {
  std::string r = Record();
  std::memcpy(&r[32], "  \x01Kaz\xE1n\xFF h\xE1z   \x1F       ", 24);
  EXPECT_NE(DeviceInfoToStr(r).find(" Név: -Kaz\xC3\xA1n- h\xC3\xA1z   - BL rev:"), std::string::npos);
  std::memset(&r[32], ' ', 24);
  EXPECT_NE(DeviceInfoToStr(r).find(" Név:  BL rev:"), std::string::npos);
  r[62] = 5;
  EXPECT_NE(DeviceInfoToStr(r).find(" [a BL fut]"), std::string::npos);

  // Raw header characters are read as Windows-1250.
  r[6] = static_cast<char>(0x8A);  // Š
  EXPECT_EQ(DeviceInfoToStr(r).substr(0, 7), "\xC5\xA0" "0123 ");
  EXPECT_EQ(Win1250ToUtf8("\x80\xF5\xFB\x81"), "\xE2\x82\xAC\xC5\x91\xC5\xB1\xEF\xBF\xBD");
}

TEST(KRVDataUtils, LogTextKeepsOwnTextsAndReadsOtherBytesAsWindows1250) {
  struct {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"payload bytes", "AFLRC\xE9\xF5\x8A", "AFLRC\xC3\xA9\xC5\x91\xC5\xA0"},
      {"own UTF-8 text", "K\xC3\xA9sz\xC3\xBCl\xC3\xA9k \xE2\x82\xAC", "K\xC3\xA9sz\xC3\xBCl\xC3\xA9k \xE2\x82\xAC"},
      {"both in one line", "\xC5\x91 \xF5", "\xC5\x91 \xC5\x91"},
      {"sequence cut at the end", "a\xC3", "a\xC4\x82"},
      {"lead without continuation", "\xE9x", "\xC3\xA9x"},
      {"overlong form", "\xC0\xAF", "\xC5\x94\xC5\xBB"},
      {"surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
      {"undefined code", "\x81", "\xEF\xBF\xBD"},
      {"ascii and empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(LogTextToUtf8(c.in), c.out) << c.name;
}

TEST(KRVDataUtils, ExtraDataIsCappedAt999Bytes) {
  const std::string payload = Record() + std::string(2000, '\x07');
  TDeviceInfo info;
  std::string text;
  ASSERT_EQ(DecodeDeviceInfo("ASYSI" + payload, info, text), 0);
  EXPECT_EQ(info.ExtraData.size(), 999u - 66u);
  EXPECT_EQ(text.size(), DeviceInfoToStr(payload.substr(0, 999)).size());
}

TEST(KRVDataUtils, ParameterStrings) {
  EXPECT_EQ(WordToParamStr(0x1234), "\x34\x12");
  EXPECT_EQ(WordToParamStr(0x1234, true), "\x12\x34");
  EXPECT_EQ(WordToParamStr(-2), "\xFE\xFF");
  EXPECT_EQ(DWordToParamStr(0x01020304), "\x04\x03\x02\x01");
  EXPECT_EQ(DWordToParamStr(0x01020304, true), "\x01\x02\x03\x04");
  EXPECT_EQ(ByteToParamStr(0x80), "\x80");

  EXPECT_EQ(ParamStrToInt("\x34\x12"), 0x1234);
  EXPECT_EQ(ParamStrToInt("\x34\x12", true), 0x3412);
  EXPECT_EQ(ParamStrToInt("\xFF"), 255);
  EXPECT_EQ(ParamStrToInt("\xFF\xFF"), 65535);
  EXPECT_EQ(ParamStrToInt("\x01\x02\x03"), 0x030201);
  EXPECT_EQ(ParamStrToInt("\xFF\xFF\xFF\xFF"), -1);
  EXPECT_EQ(ParamStrToInt(std::string("\x00\x00\x00\x80", 4)), std::numeric_limits<int32_t>::min());
  for (const uint32_t v : {0u, 1u, 0x7FFFFFFFu, 0xDEADBEEFu}) {
    EXPECT_EQ(static_cast<uint32_t>(ParamStrToInt(DWordToParamStr(v))), v);
    EXPECT_EQ(static_cast<uint32_t>(ParamStrToInt(DWordToParamStr(v, true), true)), v);
  }

  try {
    ParamStrToInt("");
    FAIL() << "no exception";
  } catch (const EParamStr& e) {
    EXPECT_STREQ(e.what(), "Üres paraméterstring.");
  }
  EXPECT_THROW(ParamStrToInt("12345"), EParamStr);
}
