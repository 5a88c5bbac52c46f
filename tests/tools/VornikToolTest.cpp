// vornik-tool as a user runs it: the built program from VORNIK_BIN_DIR on files made by objcopy
// and srec_cat, with its output files, its standard output and error, and its exit codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "firmware/FirmwareTestHelpers.h"

using namespace vornik::test;

namespace {

struct TRun {
  int Code;
  std::string Out;
  std::string Err;
};

class VornikTool : public ::testing::Test {
 protected:
  TRun Run(const std::string& Args) {
    const char* bin = std::getenv("VORNIK_BIN_DIR");
    const std::string tool = std::string(bin ? bin : "bin") + "/vornik-tool";
    TRun r;
    r.Code = Shell(tool + " " + Args + " >" + Dir.Path("out.txt") + " 2>" + Dir.Path("err.txt"));
    r.Out = ReadFileBytes(Dir.Path("out.txt"));
    r.Err = ReadFileBytes(Dir.Path("err.txt"));
    return r;
  }
  // A firmware HEX made by srec_cat: code at 0x2000, the information block at 0x8000, more code
  // after a gap in the next 64 KiB segment.
  std::string MakeFirmwareHex(const std::string& Name) {
    WriteFileBytes(Dir.Path("code.bin"), TestBytes(3000, 1));
    WriteFileBytes(Dir.Path("info.bin"), SampleInfoBytes());
    WriteFileBytes(Dir.Path("more.bin"), TestBytes(500, 2));
    const std::string hex = Dir.Path(Name);
    EXPECT_EQ(Shell("srec_cat " + Dir.Path("code.bin") + " -binary -offset 0x2000 " + Dir.Path("info.bin") +
                    " -binary -offset 0x8000 " + Dir.Path("more.bin") + " -binary -offset 0x1FFF0 -o " + hex +
                    " -intel"),
              0);
    return hex;
  }
  void SetUp() override {
    if (Shell("command -v srec_cat >/dev/null && command -v objcopy >/dev/null") != 0)
      GTEST_SKIP() << "srec_cat or objcopy missing";
  }
  FwTempDir Dir;
};

const char* const kInfoRows =
    "BuildStr=Build:00042\nCompName=KRV01\nProjName=Meroallomas\nBuildNum=42\nBuildTime=2012-03-15 10:20:30\n"
    "FoscFreqHZ=12000000\nCclkFreqHz=72000000\nSPI_freqHz=3000000000\nI2C_freqHz=400000\nInfoHwId=7\n"
    "Uart0TxBuff=256\nUart0RxBuff=512\nUart1TxBuff=128\nUart1RxBuff=64\nUart2TxBuff=32\nUart2RxBuff=16\n"
    "Uart3TxBuff=8\nUart3RxBuff=4\nEthTxBuff=1500\nEthRxBuff=1600\nPort0_485=2\nPin0_485=19\nPort1_485=0\n"
    "Pin1_485=255\n";

TEST_F(VornikTool, Hex2BinEqualsObjcopyAndTheBinFromThePackage) {
  const std::string hex = MakeFirmwareHex("fw.hex");
  ASSERT_EQ(Shell("objcopy -I ihex -O binary --gap-fill 0xFF " + hex + " " + Dir.Path("ref.bin")), 0);
  TRun r = Run("hex2bin " + hex);
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "OK, az új fájl neve: " + Dir.Path("fw.bin") + "\n");
  const std::string bin = ReadFileBytes(Dir.Path("fw.bin"));
  EXPECT_EQ(bin.size(), 0x1FFF0u + 500 - 0x2000);
  EXPECT_TRUE(bin == ReadFileBytes(Dir.Path("ref.bin")));

  r = Run("hex2qob " + hex + " " + Dir.Path("pkg.qob"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::string qob = ReadFileBytes(Dir.Path("pkg.qob"));
  EXPECT_EQ(qob.substr(qob.size() - 20), "StartAddr:0000008192");
  r = Run("hex2bin " + Dir.Path("pkg.qob") + " " + Dir.Path("from-qob.bin"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_TRUE(ReadFileBytes(Dir.Path("from-qob.bin")) == bin);
  // Rewriting a package in place keeps image and start address; the record passes through its
  // text form once (SPI_freqHz above 2^31 becomes 0), after that the bytes stay the same.
  ASSERT_EQ(Run("hex2qob " + Dir.Path("pkg.qob")).Code, 0);
  const std::string rewritten = ReadFileBytes(Dir.Path("pkg.qob"));
  EXPECT_TRUE(rewritten.substr(0, bin.size()) == qob.substr(0, bin.size()));
  ASSERT_EQ(Run("hex2qob " + Dir.Path("pkg.qob")).Code, 0);
  EXPECT_TRUE(ReadFileBytes(Dir.Path("pkg.qob")) == rewritten);
}

TEST_F(VornikTool, InfoRowsOfHexAndPackage) {
  const std::string hex = MakeFirmwareHex("fw.hex");
  // What the device gets, worked out without the tool: the plain image as objcopy makes it, its
  // SHA-256 by sha256sum, its size.
  ASSERT_EQ(Shell("objcopy -I ihex -O binary --gap-fill 0xFF " + hex + " " + Dir.Path("ref.bin")), 0);
  ASSERT_EQ(Shell("sha256sum " + Dir.Path("ref.bin") + " | cut -c1-64 >" + Dir.Path("ref.sha")), 0);
  const std::string sha = ReadFileBytes(Dir.Path("ref.sha")).substr(0, 64);
  const std::string size = std::to_string(ReadFileBytes(Dir.Path("ref.bin")).size());
  TRun r = Run("info " + hex);
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::string head = "File path=" + hex + "\nMemory address=8192\n" + kInfoRows;
  ASSERT_EQ(r.Out.substr(0, head.size()), head);
  const std::string tail = r.Out.substr(head.size());
  EXPECT_EQ(tail.substr(0, 41), "Memory address (hex)=0x00002000\nSize=" + size.substr(0, 4)) << tail;
  EXPECT_NE(tail.find("Size=" + size + "\nCRC16=0x"), std::string::npos) << tail;
  EXPECT_NE(tail.find("\nSHA256=" + sha + "\nBootloader=no\n"), std::string::npos) << tail;

  ASSERT_EQ(Run("hex2qob " + hex).Code, 0);
  // The package's checksum file is the one sha256sum checks.
  EXPECT_EQ(Shell("cd " + Dir.Path("") + " && sha256sum -c --status fw.qob.sha256"), 0);
  r = Run("info " + Dir.Path("fw.qob"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  std::string rows = kInfoRows;
  rows.replace(rows.find("SPI_freqHz=3000000000"), 21, "SPI_freqHz=0");  // read back as a signed number
  EXPECT_EQ(r.Out, "File path=" + Dir.Path("fw.qob") + "\nMemory address=8192\n" + rows + tail);
  EXPECT_EQ(r.Err, "");
  // The same as one JSON object; the CRC is the one the install command carries.
  r = Run("info --json " + Dir.Path("fw.qob"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::size_t crcAt = tail.find("CRC16=0x") + 8;
  const unsigned crc = static_cast<unsigned>(std::stoul(tail.substr(crcAt, 4), nullptr, 16));
  for (const std::string& part : std::vector<std::string>{"\"start_address\":8192", "\"start_address_hex\":\"0x00002000\"", "\"size\":" + size,
        "\"crc16\":" + std::to_string(crc), "\"sha256\":\"" + sha + "\"", "\"bootloader\":false",
        "\"build\":\"Build:00042\"", "\"BuildNum\":42", "\"ProjName\":\"Meroallomas\"", "\"result\":\"ok\""})
    EXPECT_NE(r.Out.find(part), std::string::npos) << part << " in " << r.Out;
  // A damaged package is refused by info as by every other face.
  std::string qob = ReadFileBytes(Dir.Path("fw.qob"));
  qob[qob.size() - 3] ^= 1;
  WriteFileBytes(Dir.Path("fw.qob"), qob);
  r = Run("info " + Dir.Path("fw.qob"));
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err.rfind("A kiválasztott állomány sérült: SHA-256", 0), 0u) << r.Err;
  EXPECT_EQ(r.Out, "");

  // A package at address 0 reports its vector-table line on standard error.
  WriteFileBytes(Dir.Path("zero.hex"), DataRec(0, TestBytes(64, 5)) + DataRec(0x8000, SampleInfoBytes()) + kEofRec);
  ASSERT_EQ(Run("hex2qob " + Dir.Path("zero.hex")).Code, 0);
  r = Run("info " + Dir.Path("zero.qob"));
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Err.substr(0, 12), "Checksum: [$");
  EXPECT_NE(r.Out.find("Memory address=0\n"), std::string::npos);
}

TEST_F(VornikTool, FailuresPrintTheProgramsMessages) {
  struct TCase {
    std::string Args;
    int Code;
    std::string Err;  // expected start of standard error
  };
  WriteFileBytes(Dir.Path("bad.hex"), DataRec(0, "AB") + "00000001FF\n");
  WriteFileBytes(Dir.Path("short.qob"), "imageStartAddr:00001");
  WriteFileBytes(Dir.Path("noinfo.hex"), DataRec(0x100, "plain code") + kEofRec);
  // "Build:" in the image's last bytes, and an image at 0 too short for its vector table.
  WriteFileBytes(Dir.Path("cutbuild.hex"), DataRec(0x100, "code Build:12") + kEofRec);
  WriteFileBytes(Dir.Path("tiny.hex"), DataRec(0, "Build:12345 tiny") + kEofRec);
  WriteFileBytes(Dir.Path("cut.hex"), DataRec(0x100, "Build:12345 code"));
  const std::vector<TCase> cases = {
      {"hex2bin " + Dir.Path("none.hex"), 1, "A kiválasztott állomány nem található: " + Dir.Path("none.hex")},
      {"hex2bin " + Dir.Path("bad.hex"), 1, "Hibás hexfájl: Hiányzó kettőspont a(z) 2. sorban."},
      {"info " + Dir.Path("short.qob"), 1,
       "Hiba történt a fájl megnyitásakor: Csonka QOB fájl: a \"StartAddr:\" után nincs meg a 10 számjegy."},
      {"hex2qob " + Dir.Path("noinfo.hex"), 1,
       "A kiválasztott firmware elavult, hibás vagy sérült: nem találtam benne információs blokkot!"},
      {"hex2bin " + Dir.Path("noinfo.hex") + " " + Dir.Path("no/dir/x.bin"), 1, "Hiba történt kiíráskor: "},
      {"hex2qob " + Dir.Path("cutbuild.hex"), 1, "Hiba történt kiíráskor: a firmware build-azonosítóját levágja"},
      // Refused when read, as a package of it would be.
      {"hex2qob " + Dir.Path("tiny.hex"), 1, "Hiba történt a fájl megnyitásakor: Üres paraméterstring."},
      {"hex2bin " + Dir.Path("cut.hex"), 1, "Hibás hexfájl: A hexfájl csonka: hiányzik a fájl végét jelző rekord"},
      {"hex2bin " + Dir.Path("noinfo.hex") + " " + Dir.Path("noinfo.hex"), 2, "vornik-tool: the output file"},
      {"", 2, "Usage: vornik-tool"},
      {"convert x", 2, "vornik-tool: unknown command: convert"},
      {"hex2bin", 2, "vornik-tool: missing input file"},
      {"hex2bin --fast x.hex", 2, "vornik-tool: unknown option: --fast"},
      {"hex2bin a b c", 2, "vornik-tool: too many arguments"},
      {"frame-encode --to", 2, "vornik-tool: option --to needs a value"},
      {"frame-encode --id 300 --text x", 2, "vornik-tool: bad value for --id"},
      {"frame-encode --info maybe --text x", 2, "vornik-tool: bad packet kind"},
      {"frame-encode --hex 0G", 2, "vornik-tool: payload is not hexadecimal"},
      {"frame-encode --text a --hex 00", 2, "vornik-tool: give the payload once"},
      {"frame-encode --to 1", 2, "vornik-tool: missing payload"},
      {"frame-decode ABC", 2, "vornik-tool: frame bytes are not hexadecimal"},
      {"frame-decode --mode x FD", 2, "vornik-tool: unknown mode: x"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args);
    const TRun r = Run(c.Args);
    EXPECT_EQ(r.Code, c.Code);
    EXPECT_EQ(r.Err.substr(0, c.Err.size()), c.Err);
    if (c.Code != 0) {
      EXPECT_EQ(r.Out, "");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("bad.bin")));
  const TRun help = Run("hex2bin --help");
  EXPECT_EQ(help.Code, 0);
  EXPECT_NE(help.Out.find("hex2qob IN [OUT]"), std::string::npos);
}

TEST_F(VornikTool, FrameEncodeAndDecode) {
  TRun r = Run("frame-encode --to 1 --from 250 --id 5 --info kerek_nyugtat --text CSYSI");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "FD 01 FA 05 05 80 06 01 01 43 53 59 53 49 80 98 FE\n");
  r = Run("frame-encode --krvw --to 1 --id 5 --info 1 --asyer --text CSYSI");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "FB 81 80 80 80 7A 80 80 7F 80 7A 41 85 80 85 80 7B 43 53 59 53 49 80 C5 FC\n");
  r = Run("frame-encode --to 0 --id 7 --hex '00 80 ff 41'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out, "FD 80 FA 04 07 80 05 01 01 80 80 7F 41 30 7C FE\n");

  r = Run("frame-decode FD 80 FA 04 07 80 05 01 01 80 80 7F 41 30 7C FE");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_EQ(r.Out,
            "DecodeResult=0 OK\nFormat=KRV\nCimzett=128\nFelado=250\nFelado_rovid_cim=250\nCsomagSorszam=7\n"
            "Info=0 nem_kerek_nyugtat\nPayloadLength=4\nPayload=00 80 FF 41\nPayloadText=\\x00\\x80\\xFFA\n");
  r = Run("frame-decode FB:81:80:80:80:7A:80:80:7F:80:7A:41:85:80:85:80:7B:43:53:59:53:49:80:C5:FC");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("Format=KRVW\nCimzett=1\nFelado=250\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Enable_ASYER=1\nHeader_extension=\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("PayloadText=CSYSI\n"), std::string::npos) << r.Out;

  // A wrong checksum: KRV alone says so; decoding both formats reports the KRVW attempt.
  r = Run("frame-decode --mode krv FD01FA0505800601014353595349809AFE");
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Out, "DecodeResult=1 ROSSZ CHSUM\n");
  r = Run("frame-decode FD01FA0505800601014353595349809AFE");
  EXPECT_EQ(r.Out, "DecodeResult=3 NINCS KERET\n");

  r = Run("frame-encode --text " + std::string(900, 'x'));
  EXPECT_EQ(r.Code, 1);
  EXPECT_EQ(r.Err, "Data do not fit in KRV packet\n");
}

}  // namespace
