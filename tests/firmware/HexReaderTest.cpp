#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/FirmwareTestHelpers.h"
#include "firmware/uHexfileToStr.h"

using namespace vornik;
using namespace vornik::test;

namespace {

bool HaveTool(const char* Name) { return Shell(std::string("command -v ") + Name + " >/dev/null 2>&1") == 0; }

struct TPiece {
  uint32_t Offset;
  std::size_t Size;
};

// HEX files made by objcopy and srec_cat from binaries placed at offsets; the image must equal the
// same tools' binary output of that HEX file (gaps filled with 0xFF).
TEST(HexReader, MatchesExternalToolsOnTheirOwnFiles) {
  if (!HaveTool("objcopy") || !HaveTool("srec_cat")) GTEST_SKIP() << "objcopy or srec_cat missing";
  struct TCase {
    const char* Name;
    std::vector<TPiece> Pieces;
    const char* SrecOptions;  // nullptr: one piece through objcopy
  };
  const std::vector<TCase> cases = {
      {"objcopy at 0", {{0, 1000}}, nullptr},
      {"objcopy segment records", {{0x12000, 5000}}, nullptr},
      {"objcopy linear records", {{0x1FF00, 70000}}, nullptr},
      {"srec gaps across 64K", {{0x1FF80, 300}, {0x30000, 4000}, {0x8000, 83}}, ""},
      {"srec segment addressing", {{0x1F000, 300}, {0x2F010, 17}}, "-address-length=3"},
      {"srec short records", {{0x40001, 1}, {0x4FFFF, 2}, {0x70000, 255}}, "-Output_Block_Size=7"},
  };
  FwTempDir dir;
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string hex = dir.Path("t" + std::to_string(n) + ".hex");
    const std::string ref = dir.Path("t" + std::to_string(n) + ".ref");
    std::string cmd;
    uint32_t lowest = 0xFFFFFFFF;
    for (std::size_t i = 0; i < c.Pieces.size(); ++i) {
      const std::string bin = dir.Path("p" + std::to_string(n) + "_" + std::to_string(i) + ".bin");
      WriteFileBytes(bin, TestBytes(c.Pieces[i].Size, static_cast<uint32_t>(n * 10 + i)));
      lowest = std::min(lowest, c.Pieces[i].Offset);
      if (c.SrecOptions) cmd += " " + bin + " -binary -offset " + std::to_string(c.Pieces[i].Offset);
      else
        cmd = "objcopy -I binary -O ihex --change-addresses " + std::to_string(c.Pieces[i].Offset) + " " + bin + " " + hex;
    }
    if (c.SrecOptions) cmd = "srec_cat" + cmd + " -o " + hex + " -intel " + c.SrecOptions;
    ASSERT_EQ(Shell(cmd), 0) << cmd;
    ASSERT_EQ(Shell("objcopy -I ihex -O binary --gap-fill 0xFF " + hex + " " + ref), 0);
    const THexReadResult r = ReadHexFile(hex);
    ASSERT_TRUE(r.Ok) << r.ErrorText;
    EXPECT_EQ(r.StartAddr, static_cast<int32_t>(lowest));
    EXPECT_TRUE(r.Image == ReadFileBytes(ref)) << "image differs, size " << r.Image.size();
    ++n;
  }
}

struct TBadLine {
  const char* Text;
  const char* Message;
};

TEST(HexReader, EveryBadLineGivesItsMessage) {
  const std::vector<TBadLine> cases = {
      {"abc", "Hiányzó kettőspont a(z) 1. sorban."},
      {" :00000001FF", "Hiányzó kettőspont a(z) 1. sorban."},
      {":", "Hibás rekordhossz: $ Sor: 1"},
      {":1", "Hibás rekordhossz: $1 Sor: 1"},
      {":G0000000", "Hibás rekordhossz: $G0 Sor: 1"},
      {":0100Z0", "Hibás címmező: $00Z0 Sor: 1"},
      {":01000", "Hibás címmező: $000 Sor: 1"},
      {":010000", "Hibás rekordtípus: $ Sor: 1"},
      {":010000-1", "Hibás rekordtípus: $-1 Sor: 1"},
      {":01000000AB", "Hibás sorellenőrző-összeg: $ Sor: 1"},
      {":01000000ABX1", "Hibás sorellenőrző-összeg: $X1 Sor: 1"},
      {":01000000AB5", "Hibás sorellenőrző-összeg: $5 Sor: 1"},
      // The checksum field is read before the data bytes.
      {":02000000ZZ00", "Hibás sorellenőrző-összeg: $ Sor: 1"},
      {":02000000ZZ0000", "Hibás adat: $ZZ Sor: 1"},
      {":0200000012 400", "Hibás adat: $ 4 Sor: 1"},
      {":02000004G000FA", "Hibás adat: $G000 Sor: 1"},
      {":00000004FC", "Hibás adat: $FC Sor: 1"},  // base field cut short by the line end
      {":0100000041BF", "Nem egyezik az ellenőrzőösszeg a(z) 1. sorban! (számított 66 <> 191)"},
      {":0100000041", "Hibás sorellenőrző-összeg: $ Sor: 1"},
  };
  for (const TBadLine& c : cases) {
    SCOPED_TRACE(c.Text);
    const THexReadResult r = ReadHexText(std::string(c.Text) + "\n");
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.ErrorText, c.Message);
    EXPECT_TRUE(r.Image.empty());
  }
}

TEST(HexReader, LinesAreCappedAtTheLongestRecord) {
  // The longest valid record, and blanks after a record, still read.
  std::string longest = ":FF000000";
  unsigned sum = 0xFF;
  for (int i = 0; i < 255; ++i) longest += "00";
  char check[3];
  std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  longest += check;
  ASSERT_EQ(longest.size(), 521u);
  EXPECT_TRUE(ReadHexText(longest + "\n:00000001FF\n").Ok);
  EXPECT_TRUE(ReadHexText(longest + std::string(5000, ' ') + "\n:00000001FF\n").Ok);
  // A line that goes on past a record fails at once, also when it never ends (a file without line
  // breaks is not held whole), whole or in pieces.
  const std::string endless = ":0100000041BE" + std::string(3'000'000, 'A');
  for (const std::string& text : {endless, endless + "\n", longest + "X\n"}) {
    const THexReadResult r = ReadHexText(text);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.ErrorText, "Túl hosszú a(z) 1. sor: nem Intel HEX rekord.");
  }
  const std::string file = ::testing::TempDir() + "endless_" + std::to_string(::getpid()) + ".hex";
  {
    std::ofstream out(file, std::ios::binary);
    out << endless;
  }
  const THexReadResult r = ReadHexFile(file);
  EXPECT_EQ(r.ErrorText, "Túl hosszú a(z) 1. sor: nem Intel HEX rekord.");
  std::remove(file.c_str());
}

TEST(HexReader, LineNumbersCountBlankLinesAndEveryLineEnding) {
  const std::string good = DataRec(0, "AB");
  EXPECT_EQ(ReadHexText(good + "   \n" + "x\n").ErrorText, "Hiányzó kettőspont a(z) 3. sorban.");
  EXPECT_EQ(ReadHexText(good.substr(0, good.size() - 1) + "\r\r\nx").ErrorText, "Hiányzó kettőspont a(z) 3. sorban.");
  EXPECT_EQ(ReadHexText(good.substr(0, good.size() - 1) + "\r\n\rx\r\n").ErrorText,
            "Hiányzó kettőspont a(z) 3. sorban.");
  const THexReadResult r = ReadHexText(good + "\n" + kEofRec + DataRec(2, "CD"));
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Image, "ABCD");  // lines after the end-of-file record still count
}

TEST(HexReader, AddressSpaceLimits) {
  const std::string top = LinearRec(0x08FF);
  EXPECT_TRUE(ReadHexText(top + DataRec(0xFFFE, "x") + kEofRec).Ok);
  EXPECT_TRUE(ReadHexText(top + DataRec(0xFFFE, "xy") + kEofRec).Ok);  // ends on the last byte of the space
  const std::string overflow1 =
      "Túlcímzés a(z) 2. sorban: az 512 kbyte-nál nagyobb firmware-eket a szoftver jelenleg nem támogatja.";
  EXPECT_EQ(ReadHexText(top + DataRec(0xFFFF, "x")).ErrorText, overflow1);
  EXPECT_EQ(ReadHexText(top + DataRec(0xFFFD, "xyz!")).ErrorText, overflow1);  // runs past the end
  EXPECT_EQ(ReadHexText(LinearRec(0x9000) + DataRec(0, "x")).ErrorText, overflow1);
  EXPECT_EQ(ReadHexText(LinearRec(0xFFFF) + DataRec(0xFFFF, "x")).ErrorText, overflow1);
  // The overflow is found before a wrong checksum on the same line.
  EXPECT_EQ(ReadHexText(top + ":01FFFF0078FF\n").ErrorText, overflow1);
  const THexReadResult r = ReadHexText(top + DataRec(0xFFFE, "x") + kEofRec);
  EXPECT_EQ(r.StartAddr, 0x8FFFFFE);
  EXPECT_EQ(r.Image, "x");
}

TEST(HexReader, ImageStartsAtTheFirstRecordAndFillsGaps) {
  // Descending order: the lower record is not part of the image.
  THexReadResult r = ReadHexText(DataRec(0x200, "HI") + DataRec(0x100, "LO") + kEofRec);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.StartAddr, 0x200);
  EXPECT_EQ(r.Image, "HI");
  // Gaps are 0xFF; a later record overwrites an earlier one; a record below the start only
  // lands where it overlaps the image.
  r = ReadHexText(DataRec(0x100, "ABCD") + DataRec(0x108, "EF") + DataRec(0x101, "x") + DataRec(0xFE, "123") + kEofRec);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Image, std::string("3xCD\xFF\xFF\xFF\xFF" "EF"));
  // Extended linear, then extended segment replaces the base.
  r = ReadHexText(LinearRec(1) + DataRec(0, "A") + SegmentRec(0x1000) + DataRec(0x10, "B") + SegmentRec(0) +
                  DataRec(0xFFFF, "Z") + kEofRec);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.StartAddr, 0x10000);
  ASSERT_EQ(r.Image.size(), 0x11u);
  EXPECT_EQ(r.Image[0x10], 'B');
}

TEST(HexReader, FileWithoutDataIsRefused) {
  const THexReadResult r = ReadHexText(kEofRec + "\n");
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.ErrorText, "A hexfájl nem tartalmaz adatrekordot.");
  EXPECT_FALSE(ReadHexText("").Ok);
}

TEST(HexReader, InformationBlockIsFoundBelowTheStartAddress) {
  const std::string info = SampleInfoBytes();
  THexReadResult r = ReadHexText(DataRec(0x9000, "code") + DataRec(0x8000, info.substr(0, 40)) +
                                 DataRec(0x8028, info.substr(40)) + kEofRec);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.StartAddr, 0x9000);
  EXPECT_EQ(r.Image, "code");
  EXPECT_TRUE(r.InfoFound);
  EXPECT_EQ(r.FWInfo.ToBytes(), info);

  std::string bad = info;
  bad[5] = ';';
  r = ReadHexText(DataRec(0x8000, bad) + kEofRec);
  ASSERT_TRUE(r.Ok);
  EXPECT_FALSE(r.InfoFound);
  EXPECT_EQ(r.FWInfo, TFWInfo{});
  // A block cut short by the end of the data: the missing bytes are 0xFF.
  r = ReadHexText(DataRec(0x8000, info.substr(0, 20)) + kEofRec);
  ASSERT_TRUE(r.InfoFound);
  EXPECT_EQ(r.FWInfo.ToBytes().substr(20), std::string(63, '\xFF'));
}

TEST(HexReader, FileReadInPiecesEqualsTextReadWhole) {
  // Line ends that straddle the reader's 64 KiB pieces: CR LF split, and a lone CR at the edge.
  std::string text;
  uint32_t addr = 0;
  while (text.size() < 65000) {
    text += HexRecord(0, addr, TestBytes(16, addr)) + "\r\n";
    addr += 16;
  }
  text += std::string(65535 - text.size(), ' ') + "\r\n";  // '\r' at 65535, '\n' at 65536
  while (text.size() < 131000) {
    text += HexRecord(0, addr, TestBytes(16, addr)) + "\r\n";
    addr += 16;
  }
  text += std::string(131071 - text.size(), ' ') + "\r";  // lone CR ends a piece
  text += HexRecord(0, addr, "tail") + "\r\n" + kEofRec + "bad";
  FwTempDir dir;
  WriteFileBytes(dir.Path("big.hex"), text);
  const THexReadResult whole = ReadHexText(text);
  const THexReadResult pieces = ReadHexFile(dir.Path("big.hex"));
  EXPECT_FALSE(whole.Ok);
  EXPECT_EQ(whole.ErrorText, pieces.ErrorText);
  // Every LF ends a line, so does the lone CR; "bad" is the line after them.
  const std::size_t badLine = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 2;
  EXPECT_EQ(pieces.ErrorText, "Hiányzó kettőspont a(z) " + std::to_string(badLine) + ". sorban.");

  text.resize(text.size() - 3);
  WriteFileBytes(dir.Path("big.hex"), text);
  const THexReadResult ok = ReadHexFile(dir.Path("big.hex"));
  ASSERT_TRUE(ok.Ok) << ok.ErrorText;
  EXPECT_EQ(ok.Image, ReadHexText(text).Image);
  EXPECT_EQ(ok.Image.substr(ok.Image.size() - 4), "tail");
}

TEST(HexReader, HexfileToStrKeepsTheCallersBlockOnFailureAndRaisesForMissingFiles) {
  FwTempDir dir;
  WriteFileBytes(dir.Path("bad.hex"), DataRec(0, "A") + "junk\n");
  std::string image = "old";
  int32_t start = 7;
  TFWInfo info = TFWInfo::FromBytes(SampleInfoBytes());
  bool found = true;
  std::string error;
  EXPECT_FALSE(HexfileToStr(dir.Path("bad.hex"), image, start, info, found, error));
  EXPECT_EQ(error, "Hiányzó kettőspont a(z) 2. sorban.");
  EXPECT_TRUE(image.empty());
  EXPECT_TRUE(found);
  EXPECT_EQ(info.ToBytes(), SampleInfoBytes());
  EXPECT_THROW(HexfileToStr(dir.Path("none.hex"), image, start, info, found, error), EFileError);

  WriteFileBytes(dir.Path("good.hex"), DataRec(0x10, "A") + kEofRec);
  error = "untouched";
  EXPECT_TRUE(HexfileToStr(dir.Path("good.hex"), image, start, info, found, error));
  EXPECT_EQ(image, "A");
  EXPECT_EQ(start, 0x10);
  EXPECT_FALSE(found);
  EXPECT_EQ(error, "untouched");
}

}  // namespace
