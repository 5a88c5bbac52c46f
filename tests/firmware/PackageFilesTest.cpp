#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "firmware/FirmwareTestHelpers.h"
#include "firmware/PackageFiles.h"

using namespace vornik;
using namespace vornik::test;

namespace {

// A firmware as the HEX branch loads it: image at Start with the information block at 0x8000.
TLoadedFirmware HexFirmware(uint32_t Start, bool WithInfo) {
  std::string hex;
  const std::string code = TestBytes(300, Start);
  hex += LinearRec(Start >> 16);
  hex += DataRec(Start & 0xFFFF, code.substr(0, 200)) + DataRec((Start + 200) & 0xFFFF, code.substr(200));
  hex += LinearRec(0);
  if (WithInfo) hex += DataRec(0x8000, SampleInfoBytes());
  else hex += DataRec(0x8100, "Build:77777xyz");  // a build string, but no block at 0x8000
  THexReadResult r = ReadHexText(hex + kEofRec);
  EXPECT_TRUE(r.Ok) << r.ErrorText;
  TLoadedFirmware fw;
  LoadedFirmwareFromHex(std::move(r), fw);
  return fw;
}

TEST(PackageFiles, PackageLayout) {
  TLoadedFirmware fw = HexFirmware(0x2000, true);
  EXPECT_EQ(fw.FWBuildStr, "Build:00042");
  EXPECT_TRUE(fw.FWInfoFound);
  const std::string qob = MakeQOBContent(fw);
  const std::string text = FWInfoToText(fw.FWInfo);
  char head[16];
  std::snprintf(head, sizeof head, "FWInfo:%.5d:", static_cast<int>(text.size()));
  EXPECT_EQ(qob, fw.FWImage + "Build:00042" + head + text + "StartAddr:0000008192");

  fw = HexFirmware(0x2000, false);
  EXPECT_FALSE(fw.FWInfoFound);
  EXPECT_EQ(MakeQOBContent(fw), fw.FWImage + "Build:77777StartAddr:0000008192");
}

TEST(PackageFiles, PackageRoundTrip) {
  for (uint32_t start : {0x2000u, 0x10u, 0x123456u}) {
    for (bool info : {true, false}) {
      SCOPED_TRACE(start);
      if (start == 0x123456u && info) continue;  // block below the image: see the next test
      const TLoadedFirmware fw = HexFirmware(start, info);
      TLoadedFirmware back;
      back.FWInfoFound = true;  // a previous load's record must not survive a package without one
      std::string checksum = "old", error;
      ASSERT_TRUE(ReadQOBBytes(MakeQOBContent(fw), back, checksum, error)) << error;
      EXPECT_TRUE(back.FWImage == fw.FWImage);
      EXPECT_EQ(back.FWStartAddr, fw.FWStartAddr);
      EXPECT_EQ(back.FWBuildStr, fw.FWBuildStr);
      EXPECT_EQ(back.FWInfoFound, info);
      if (info) {
        TFWInfo viaText;  // the text form is what a package keeps of the record
        TextToFWInfo(FWInfoToText(fw.FWInfo), viaText);
        EXPECT_EQ(back.FWInfo, viaText);
      }
      EXPECT_TRUE(checksum.empty());
      EXPECT_TRUE(PlainImage(back) == PlainImage(fw));
      // A package written from a loaded package reads back to the same package.
      TLoadedFirmware again;
      ASSERT_TRUE(ReadQOBBytes(MakeQOBContent(back), again, checksum, error)) << error;
      EXPECT_TRUE(MakeQOBContent(again) == MakeQOBContent(back));
      if (!info) {
        EXPECT_TRUE(MakeQOBContent(back) == MakeQOBContent(fw));
      }
    }
  }
}

TEST(PackageFiles, PackageWithRecordButNoBuildStringCannotBeReadBack) {
  // The block lies below the image, so the image holds no "Build:": the reader then finds the
  // marker inside the information text and the piece no longer fits. It must say so, not misread.
  const TLoadedFirmware fw = HexFirmware(0x123456, true);
  EXPECT_TRUE(fw.FWInfoFound);
  EXPECT_TRUE(fw.FWBuildStr.empty());
  TLoadedFirmware back;
  std::string checksum, error;
  EXPECT_FALSE(ReadQOBBytes(MakeQOBContent(fw), back, checksum, error));
  EXPECT_EQ(error, "Csonka QOB fájl: az \"FWInfo:\" rész hosszabb, mint ami a fájlból hátravan.");
}

TEST(PackageFiles, VectorTableAndChecksumLine) {
  // Eight words adding up to 0 mod 2^32: a bootloader.
  std::string plain;
  for (uint32_t w : {0x10001000u, 0x00000101u, 0x11u, 0x22u, 0u, 0u, 0u, 0xEFFFEECCu})
    for (int i = 0; i < 4; ++i) plain += static_cast<char>((w >> (8 * i)) & 0xFF);
  plain += "Build:00001 rest of the loader";
  EXPECT_EQ(VectorTableSum(plain), 0u);
  EXPECT_TRUE(IsBootloaderVectorTable(plain));

  TLoadedFirmware fw;
  fw.FWImage = plain;
  ScrambleImage(fw.FWImage, 0);
  fw.FWBuildStr = "Build:00001";
  TLoadedFirmware back;
  std::string checksum, error;
  ASSERT_TRUE(ReadQOBBytes(MakeQOBContent(fw), back, checksum, error)) << error;
  EXPECT_TRUE(back.IsBootloaderImage);
  EXPECT_EQ(checksum,
            "Checksum: [$C23D79A4845AF2681BB7E4D1376EC9A32BDC924756B8258FAD704B1E960F69D3] "
            "$00100010010100001100000022000000000000000000000000000000CCEEFFEF = 0");

  plain[0] = 1;
  fw.FWImage = plain;
  ScrambleImage(fw.FWImage, 0);
  ASSERT_TRUE(ReadQOBBytes(MakeQOBContent(fw), back, checksum, error));
  EXPECT_FALSE(back.IsBootloaderImage);
  EXPECT_NE(checksum.find(" = 1"), std::string::npos) << checksum;
}

TEST(PackageFiles, ShortImagesAtAddressZero) {
  // 29..31 bytes: the last slice is shorter; fewer than 29: a slice is empty and the package is
  // refused with the parameter-string message.
  EXPECT_EQ(VectorTableSum(std::string(29, '\0') ), 0u);
  EXPECT_EQ(VectorTableSum(std::string(28, '\0') + "\x05"), 5u);
  EXPECT_FALSE(IsBootloaderVectorTable(std::string(28, '\0')));
  EXPECT_FALSE(IsBootloaderVectorTable(""));

  TLoadedFirmware fw;
  fw.FWImage = std::string(28, 'q');
  fw.FWBuildStr = "Build:12345";
  TLoadedFirmware back;
  back.FWImage = "keep";
  std::string checksum, error;
  EXPECT_FALSE(ReadQOBBytes(MakeQOBContent(fw), back, checksum, error));
  EXPECT_EQ(error, "Üres paraméterstring.");
  EXPECT_EQ(back.FWImage, "keep");
  fw.FWImage += "q";
  EXPECT_TRUE(ReadQOBBytes(MakeQOBContent(fw), back, checksum, error));
}

TEST(PackageFiles, HostilePackagesAreRefusedWithoutReadingPastTheEnd) {
  struct TCase {
    std::string Content;
    const char* Error;  // nullptr: loads
  };
  const std::vector<TCase> cases = {
      {"imageStartAddr:00000", "Csonka QOB fájl: a \"StartAddr:\" után nincs meg a 10 számjegy."},
      {"imageStartAddr:", "Csonka QOB fájl: a \"StartAddr:\" után nincs meg a 10 számjegy."},
      {"imageFWInfo:00050:BuildNum=1StartAddr:0000000100",
       "Csonka QOB fájl: az \"FWInfo:\" rész hosszabb, mint ami a fájlból hátravan."},
      {"imageStartAddr:0000000100FWInfo:000", "Csonka QOB fájl: az \"FWInfo:\" rész hosszabb, mint ami a fájlból hátravan."},
      {"imageStartAddr:0000000100Build:12", "Csonka QOB fájl: a build-szöveg a fájl végén megszakad."},
      // A cut or damaged package is refused rather than read with guessed numbers.
      {"imageFWInfo:xxxxx:StartAddr:0000000100", "Sérült QOB fájl: az \"FWInfo:\" után nem 5 számjegy és kettőspont áll."},
      {"imageFWInfo:00000-StartAddr:0000000100", "Sérült QOB fájl: az \"FWInfo:\" után nem 5 számjegy és kettőspont áll."},
      {"image", "Sérült QOB fájl: hiányzik belőle a \"StartAddr:\" rész."},
      {"", "Sérült QOB fájl: hiányzik belőle a \"StartAddr:\" rész."},
      {"imageStartAddr:00000001x0", "Sérült QOB fájl: a \"StartAddr:\" után nem 10 számjegyű cím áll."},
      {"imageStartAddr:-000000001", "Sérült QOB fájl: a \"StartAddr:\" után nem 10 számjegyű cím áll."},
      {"imageStartAddr:9999999999", "Sérült QOB fájl: a \"StartAddr:\" után nem 10 számjegyű cím áll."},
      {"StartAddr:0000000100", "Sérült QOB fájl: nincs benne firmware-kép."},
      // A damaged information marker leaves its piece in the image, behind the build string.
      {"imageBuild:12345FWxnfo:00003:a=1StartAddr:0000000100",
       "Sérült QOB fájl: a csomag részei nem a firmware-kép után, a fájl végén állnak."},
      {"imageFWInfo:00000:StartAddr:0000000100", nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Content);
    TLoadedFirmware fw;
    fw.FWImage = "previous";
    fw.FWStartAddr = 77;
    std::string checksum, error;
    const bool ok = ReadQOBBytes(c.Content, fw, checksum, error);
    if (c.Error) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error, c.Error);
      EXPECT_EQ(fw.FWImage, "previous");
      EXPECT_EQ(fw.FWStartAddr, 77);
    } else {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(fw.FWImage, "image");
      EXPECT_EQ(fw.FWStartAddr, 100);
      EXPECT_FALSE(fw.FWInfoFound);
    }
  }
}

TEST(PackageFiles, MarkersAreTakenInOrderButOnlyAfterTheImage) {
  // The build string is cut out first, so a start address split by it is found afterwards.
  TLoadedFirmware fw;
  std::string checksum, error;
  ASSERT_TRUE(ReadQOBBytes("abcxyzStartBuild:98765Addr:0000004096", fw, checksum, error)) << error;
  EXPECT_EQ(fw.FWBuildStr, "Build:98765");
  EXPECT_EQ(fw.FWStartAddr, 4096);
  EXPECT_EQ(fw.FWImage, "abcxyz");
  EXPECT_FALSE(fw.FWInfoFound);
  // Pieces with image bytes after them: what remained would not be the package's image.
  EXPECT_FALSE(ReadQOBBytes("abcStartBuild:98765Addr:0000004096xyz", fw, checksum, error));
  EXPECT_EQ(error, "Sérült QOB fájl: a csomag részei nem a firmware-kép után, a fájl végén állnak.");
}

TEST(PackageFiles, FilesAndNames) {
  EXPECT_EQ(ChangeFileExt("/a/fw.hex", ".qob"), "/a/fw.qob");
  EXPECT_EQ(ChangeFileExt("/a.b/fw", ".bin"), "/a.b/fw.bin");
  EXPECT_EQ(ChangeFileExt("fw.v2.HEX", ".bin"), "fw.v2.bin");
  EXPECT_EQ(ChangeFileExt("", ".qob"), ".qob");

  FwTempDir dir;
  const TLoadedFirmware fw = HexFirmware(0x2000, true);
  WriteWholeFile(dir.Path("fw.qob"), MakeQOBContent(fw));
  EXPECT_TRUE(RegularFileExists(dir.Path("fw.qob")));
  EXPECT_FALSE(RegularFileExists(dir.Path("")));  // the folder itself
  TLoadedFirmware back;
  std::string checksum, error;
  ASSERT_TRUE(ReadQOBFile(dir.Path("fw.qob"), back, checksum, error)) << error;
  EXPECT_EQ(back.FWImage, fw.FWImage);
  EXPECT_FALSE(ReadQOBFile(dir.Path("missing.qob"), back, checksum, error));
  EXPECT_NE(error.find("missing.qob"), std::string::npos);
  EXPECT_FALSE(ReadQOBFile(dir.Path(""), back, checksum, error));  // a folder cannot be read
  EXPECT_THROW(WriteWholeFile(dir.Path("no/such/dir.bin"), "x"), EFileError);
}

TEST(PackageFiles, WriteWholeFileReplacesThroughATemporaryFile) {
  FwTempDir dir;
  const std::string name = dir.Path("fw.bin");
  WriteWholeFile(name, "old image");
  struct stat before {};
  ASSERT_EQ(::stat(name.c_str(), &before), 0);
  WriteWholeFile(name, "new");
  struct stat after {};
  ASSERT_EQ(::stat(name.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // renamed over, not truncated and rewritten
  EXPECT_EQ(ReadFileBytes(name), "new");
  // A target that cannot be replaced stays as it is, and nothing is left beside it.
  std::filesystem::create_directories(dir.Path("taken/sub"));
  try {
    WriteWholeFile(dir.Path("taken"), "x");
    ADD_FAILURE() << "no error";
  } catch (const EFileError& e) {
    EXPECT_NE(std::string(e.what()).find("taken"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path("taken/sub")));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path(""))) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2);  // fw.bin and taken
}

}  // namespace
