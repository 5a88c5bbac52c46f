#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/FirmwareTestHelpers.h"
#include "firmware/uHexfileToStr.h"
#include "util/MorvelUtils.h"

using namespace vornik;
using namespace vornik::test;

namespace {

const std::string kSampleText =
    "BuildStr=Build:00042,CompName=KRV01,ProjName=Meroallomas,BuildNum=42,\"BuildTime=2012-03-15 10:20:30\","
    "FoscFreqHZ=12000000,CclkFreqHz=72000000,SPI_freqHz=3000000000,I2C_freqHz=400000,InfoHwId=7,"
    "Uart0TxBuff=256,Uart0RxBuff=512,Uart1TxBuff=128,Uart1RxBuff=64,Uart2TxBuff=32,Uart2RxBuff=16,"
    "Uart3TxBuff=8,Uart3RxBuff=4,EthTxBuff=1500,EthRxBuff=1600,Port0_485=2,Pin0_485=19,Port1_485=0,Pin1_485=255";

std::string Packed(int Y, int Mo, int D, int H, int Mi, int S, int Ms) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDateTime(Y, Mo, D, H, Mi, S, Ms, t));
  return DateTimeToPacked(t);
}

std::string PackedBits(uint64_t Y, uint64_t Mo, uint64_t D, uint64_t H, uint64_t Mi, uint64_t S, uint64_t Hs) {
  const uint64_t v = (Y << 33) | (Mo << 29) | (D << 24) | (H << 19) | (Mi << 13) | (S << 7) | Hs;
  std::string out;
  for (int i = 5; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

TEST(FWInfo, RecordLayoutAndTextForm) {
  const std::string bytes = SampleInfoBytes();
  const TFWInfo info = TFWInfo::FromBytes(bytes);
  EXPECT_EQ(info.ToBytes(), bytes);
  EXPECT_EQ(info.BuildNum, 42);
  EXPECT_EQ(info.EthRxBuff, 1600);
  EXPECT_EQ(info.Pin1_485, 255);
  EXPECT_EQ(FWInfoToText(info), kSampleText);
}

TEST(FWInfo, TextLeavesOutBlankFieldsAndQuotesSeparators) {
  TFWInfo info = TFWInfo::FromBytes(SampleInfoBytes());
  info.CompName.fill('\0');
  info.ProjName = {' ', '\0', 'a', ',', 'b', '"', 'c', '\0', 'd', ' ', '\0'};
  info.BuildTime = {};
  const std::string text = FWInfoToText(info);
  EXPECT_EQ(text.find("CompName"), std::string::npos);
  EXPECT_NE(text.find(",\"ProjName=a,b\"\"c"), std::string::npos) << text;
  EXPECT_NE(text.find("\"BuildTime=1899-12-30 00:00:00\""), std::string::npos) << text;

  TFWInfo back;
  EXPECT_TRUE(TextToFWInfo(text, back));
  EXPECT_EQ(std::string(back.ProjName.data(), 9), std::string("a,b\"c\0d\0\0", 9));
  EXPECT_EQ(back.CompName, info.CompName);
}

TEST(FWInfo, TextRoundTripLosesOnlyWhatTheTextCannotHold) {
  const TFWInfo info = TFWInfo::FromBytes(SampleInfoBytes());
  TFWInfo back;
  EXPECT_TRUE(TextToFWInfo(FWInfoToText(info), back));
  TFWInfo expected = info;
  expected.SPI_freqHz = 0;  // above 2147483647: not a signed 32-bit number
  const std::string t = Packed(2012, 3, 15, 10, 20, 30, 0);  // the text has whole seconds only
  std::copy(t.begin(), t.end(), expected.BuildTime.begin());
  EXPECT_EQ(back, expected);
}

TEST(FWInfo, TextReadingRules) {
  TFWInfo info;
  EXPECT_TRUE(TextToFWInfo(
      "buildstr=Build:123456789,BUILDNUM=70000,buildnum=5 InfoHwId=-1\tPort0_485=300,Uart0TxBuff=x12,"
      "FoscFreqHZ=2147483648,CclkFreqHz=-2147483648,compname=\"ab\"",
      info));
  EXPECT_EQ(std::string(info.BuildStr.data(), 11), "Build:12345");
  EXPECT_EQ(info.BuildNum, 70000 & 0xFFFF);  // first entry wins, stored truncated
  EXPECT_EQ(info.InfoHwId, 0xFFFF);
  EXPECT_EQ(info.Port0_485, 300 & 0xFF);
  EXPECT_EQ(info.Uart0TxBuff, 0);
  EXPECT_EQ(info.FoscFreqHZ, 0u);
  EXPECT_EQ(info.CclkFreqHz, 0x80000000u);
  EXPECT_EQ(std::string(info.CompName.data(), 6), std::string("\"ab\"\0\0", 6));  // quotes only count at the start

  // One entry is not enough; a missing build time reads as the zero date, a bad one as -1.0.
  EXPECT_FALSE(TextToFWInfo("BuildNum=3", info));
  EXPECT_EQ(info.BuildNum, 3);
  EXPECT_EQ(std::string(info.BuildTime.begin(), info.BuildTime.end()), PackedBits(1899, 12, 30, 0, 0, 0, 0));
  EXPECT_TRUE(TextToFWInfo("a,\"BuildTime=2013-02-30 00:00:00\"", info));
  EXPECT_EQ(std::string(info.BuildTime.begin(), info.BuildTime.end()), PackedBits(1899, 12, 29, 0, 0, 0, 0));
  EXPECT_TRUE(TextToFWInfo(",", info));  // two empty entries
  EXPECT_FALSE(TextToFWInfo("", info));
}

TEST(FWInfo, CommaTextSplitting) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommaText("a,,b"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitCommaText("  a b,"), (V{"a", "b", ""}));
  EXPECT_EQ(SplitCommaText("\"x \"\"y\"\"\",z"), (V{"x \"y\"", "z"}));
  EXPECT_EQ(SplitCommaText("\"open"), (V{"open"}));
  EXPECT_EQ(SplitCommaText("\"a\"b"), (V{"a", "b"}));
  EXPECT_EQ(SplitCommaText(std::string("a\0b", 3)), (V{"a", "b"}));
}

TEST(FWInfo, PackedTime) {
  // The sample block's bytes 35..40 hold 2012-03-15 10:20:30.45.
  const std::string sample = SampleInfoBytes().substr(35, 6);
  EXPECT_EQ(Packed(2012, 3, 15, 10, 20, 30, 459), sample);
  TDateTime expected = 0;
  ASSERT_TRUE(TryEncodeDateTime(2012, 3, 15, 10, 20, 30, 450, expected));
  EXPECT_DOUBLE_EQ(PackedToDateTime("xx" + sample, 3), expected);

  EXPECT_EQ(PackedToDateTime(sample.substr(0, 5), 1), 0.0);
  EXPECT_EQ(PackedToDateTime("x" + sample, 2), expected);
  EXPECT_EQ(PackedToDateTime("x" + sample, 3), 0.0);  // only 5 bytes from there
  EXPECT_EQ(PackedToDateTime(sample, 0), 0.0);
  EXPECT_EQ(PackedToDateTime(PackedBits(2012, 13, 1, 0, 0, 0, 0), 1), 0.0);
  EXPECT_EQ(PackedToDateTime(PackedBits(2012, 0, 1, 0, 0, 0, 0), 1), 0.0);
  EXPECT_EQ(PackedToDateTime(PackedBits(2012, 4, 31, 0, 0, 0, 0), 1), 0.0);
  EXPECT_EQ(PackedToDateTime(PackedBits(2012, 4, 30, 24, 0, 0, 0), 1), 0.0);
  EXPECT_EQ(PackedToDateTime(PackedBits(2012, 4, 30, 0, 0, 0, 100), 1), 0.0);
  // A second of 60 or more reads as 0.
  TDateTime noon = 0;
  ASSERT_TRUE(TryEncodeDateTime(2012, 4, 30, 12, 0, 0, 0, noon));
  EXPECT_EQ(PackedToDateTime(PackedBits(2012, 4, 30, 12, 0, 63, 0), 1), noon);
}

TEST(Scramble, KeyStreamRestartsAtEvery128thAddress) {
  std::string z(8, '\0');
  ScrambleImage(z, 0);
  EXPECT_EQ(z, "\xC2\x2D\x79\xB4\x85\x5B\xF2\x68");
  z.assign(4, '\0');
  ScrambleImage(z, 2);  // before the first multiple of 128 the stream runs from the constant
  EXPECT_EQ(z, "\x3C\x5A\xC2\x2D");
  z.assign(8, '\0');
  ScrambleImage(z, 124);
  EXPECT_EQ(z, "\xC2\x2D\x79\xB4\xC2\x2C\x79\xB4");

  const std::string plain = TestBytes(1000, 3);
  std::string a = plain, b = plain;
  ScrambleImage(a, 0x8000);
  ScrambleImage(b, 0);
  EXPECT_NE(a, b);
  EXPECT_NE(a, plain);
  ScrambleImage(a, 0x8000);
  EXPECT_EQ(a, plain);
  std::string empty;
  ScrambleImage(empty, 5);
  EXPECT_TRUE(empty.empty());
}

}  // namespace
