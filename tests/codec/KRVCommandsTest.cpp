#include "codec/KRVCommands.h"

#include <gtest/gtest.h>

#include "codec/CodecTestHelpers.h"

using namespace vornik;
using vornik::test::Hex;
using vornik::test::ToHex;

TEST(KRVCommands, PayloadBytes) {
  struct {
    const char* name;
    std::string built;
    std::string expected;
  } cases[] = {
      {"CSYSI", BuildCSYSI(), "CSYSI"},
      {"CSYRS", BuildCSYRS(), "CSYRS"},
      {"CELFE", BuildCELFE(), "CELFE"},
      {"CBLUD", BuildCBLUD(), "CBLUD"},
      {"CSYCA", BuildCSYCA(), "CSYCA"},
      {"CSYGA", BuildCSYGA(), "CSYGA"},
      {"opener", BuildBatchOpener(), "x"},
      {"probe", BuildCFLULProbe(), "CFLUL" + Hex("FF FF 01 00")},
      {"block", BuildCFLUL(0x1234, true, "ab"), "CFLUL" + Hex("34 12 01") + "ab"},
      {"turbo block", BuildCFLUL(0x8001, false, ""), "CFLUL" + Hex("01 80 00")},
      {"size", BuildCFLTS(0x00012345, 1), "CFLTS" + Hex("45 23 01 00 01")},
      {"install", BuildCFLUD(70000, 0xBEEF, 0x0100), "CFLUD" + Hex("70 11 01 00 EF BE 00 01")},
      {"read", BuildCFLRC(10, 255, 9), "CFLRC" + Hex("0A 00 00 00 FF 00 09 00")},
      {"page write", BuildCFLPW(0xFFFF, true, std::string("\0z", 2)), "CFLPW" + Hex("FF FF 01 00") + "z"},
      {"turbo page write", BuildCFLPW(3, false, "q"), "CFLPW" + Hex("03 00 00") + "q"},
      {"AFLUL", BuildAFLUL(4), "AFLUL" + Hex("04")},
      {"AFLUD", BuildAFLUD(0), "AFLUD" + Hex("00")},
      {"AFLPW", BuildAFLPW(2), "AFLPW" + Hex("02")},
      {"AFLRC", BuildAFLRC("data"), "AFLRC" "data"},
      {"AELFE", BuildAELFE(), "AELFE"},
      {"ASYSI", BuildASYSI("rec"), "ASYSIrec"},
  };
  for (const auto& c : cases) EXPECT_EQ(ToHex(c.built), ToHex(c.expected)) << c.name;
  EXPECT_EQ(BuildCFLRC(10, 0, 255).size(), 13u);
  EXPECT_EQ(BuildCFLULProbe().size(), 9u);
}

TEST(KRVCommands, ParsersReadWhatBuildersWrite) {
  const std::string block(200, '\xA5');
  const std::string ulPayload = BuildCFLUL(0x8000, true, block);  // the parsed block points into it
  const auto ul = ParseCFLUL(ulPayload);
  ASSERT_TRUE(ul);
  EXPECT_EQ(ul->PageIndex, 0x8000);
  EXPECT_TRUE(ul->AnswerFlag);
  EXPECT_EQ(ul->Block, block);

  const auto ts = ParseCFLTS(BuildCFLTS(0xFFFFFFFFu, 0));
  ASSERT_TRUE(ts);
  EXPECT_EQ(ts->ImageLength, 0xFFFFFFFFu);
  EXPECT_EQ(ts->Flag, 0);

  const auto ud = ParseCFLUD(BuildCFLUD(123456, 0x4B37, 0x0200));
  ASSERT_TRUE(ud);
  EXPECT_EQ(ud->ImageLength, 123456u);
  EXPECT_EQ(ud->Crc, 0x4B37);
  EXPECT_EQ(ud->StartAddrDiv128, 0x0200);

  const auto rc = ParseCFLRC(BuildCFLRC(0x01020304, 528, 255));
  ASSERT_TRUE(rc);
  EXPECT_EQ(rc->Page, 0x01020304u);
  EXPECT_EQ(rc->Offset, 528);
  EXPECT_EQ(rc->Count, 255);

  const std::string pwPayload = BuildCFLPW(7, false, "page");
  const auto pw = ParseCFLPW(pwPayload);
  ASSERT_TRUE(pw);
  EXPECT_EQ(pw->Page, 7);
  EXPECT_FALSE(pw->AnswerFlag);
  EXPECT_EQ(pw->Data, "page");

  EXPECT_TRUE(IsCFLULProbe(BuildCFLULProbe()));
  EXPECT_FALSE(IsCFLULProbe(BuildCFLUL(0xFFFF, true, "\x01")));
}

TEST(KRVCommands, ParsersRefuseShortOrForeignPayloads) {
  // Every prefix of a well-formed command that lacks a fixed field is refused, never over-read.
  const std::string ul = BuildCFLUL(1, true, "");
  const std::string ts = BuildCFLTS(1, 1);
  const std::string ud = BuildCFLUD(1, 2, 3);
  const std::string rc = BuildCFLRC(1, 2, 3);
  const std::string pw = BuildCFLPW(1, true, "");
  for (std::size_t n = 0; n < 13; ++n) {
    if (n < ul.size()) {
      EXPECT_FALSE(ParseCFLUL(ul.substr(0, n))) << n;
    }
    if (n < ts.size()) {
      EXPECT_FALSE(ParseCFLTS(ts.substr(0, n))) << n;
    }
    if (n < ud.size()) {
      EXPECT_FALSE(ParseCFLUD(ud.substr(0, n))) << n;
    }
    if (n < rc.size()) {
      EXPECT_FALSE(ParseCFLRC(rc.substr(0, n))) << n;
    }
    if (n < pw.size()) {
      EXPECT_FALSE(ParseCFLPW(pw.substr(0, n))) << n;
    }
  }
  EXPECT_TRUE(ParseCFLUL(ul));
  EXPECT_TRUE(ParseCFLPW(pw));
  EXPECT_FALSE(ParseCFLUL(BuildCFLPW(1, true, "x")));
  EXPECT_FALSE(ParseCFLRC(BuildCFLUD(1, 2, 3)));
}

TEST(KRVCommands, AnswerStatus) {
  EXPECT_TRUE(StartsWithCode("AFLUL\x00", kAFLUL));
  EXPECT_FALSE(StartsWithCode("AFLU", kAFLUL));
  EXPECT_FALSE(StartsWithCode("", kAFLUL));
  EXPECT_EQ(CodeOf("ASY"), "ASY");
  EXPECT_EQ(CodeOf("ASYSIabc"), "ASYSI");
  EXPECT_EQ(AfterCode("AFLRCxyz"), "xyz");
  EXPECT_EQ(AfterCode("AFLRC"), "");
  EXPECT_EQ(AfterCode("A"), "");

  EXPECT_EQ(StatusByte(BuildAFLUL(2)), 2);
  EXPECT_EQ(StatusByte("AFLUL"), std::nullopt) << "no sixth byte, no status";
  EXPECT_EQ(AnswerStatus(BuildAFLUD(1), kAFLUD), 1);
  EXPECT_EQ(AnswerStatus(BuildAFLUD(1), kAFLUL), std::nullopt);
  EXPECT_EQ(AnswerStatus(std::string("AFLPW\0", 6), kAFLPW), 0);
}

TEST(KRVCommands, ReceiptMap) {
  std::string map(32, '\xFF');
  map[0] = static_cast<char>(0xF7);  // index 3 missing
  map[2] = static_cast<char>(0xFD);  // index 17 missing
  const std::string asyga = BuildASYGA(map);
  EXPECT_EQ(asyga.size(), 5u + 32u);
  for (unsigned i = 1; i <= 240; ++i) EXPECT_EQ(ReceiptBit(asyga, i), i != 3 && i != 17) << i;
  EXPECT_FALSE(ReceiptBit(asyga, 256));

  // A short map is padded with zeros by the builder; a short answer reads as missing.
  EXPECT_EQ(BuildASYGA("\x01").size(), 37u);
  const std::string shortAnswer = "ASYGA\xFF";
  EXPECT_TRUE(ReceiptBit(shortAnswer, 7));
  EXPECT_FALSE(ReceiptBit(shortAnswer, 8));
  EXPECT_FALSE(ReceiptBit("ASYGA", 0));
}
