// The one firmware loader: damaged files of every kind are refused with the face's message before
// anything else happens, good files load as they always did, and a checksum file beside the
// firmware is honoured.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/FirmwareLoader.h"
#include "app/HexText.h"
#include "testkit/TempDir.h"
#include "app/TestFirmware.h"
#include "util/Sha256.h"

namespace vornik {
namespace {

using test::HexText;
using test::ImageWithInfo;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

struct TLoad {
  bool Ok = false;
  std::string Refusal;
  std::vector<std::string> Logged, Reported, Missing;
  TLoadedFirmware FW;
};

TLoad Load(const std::string& File) {
  TLoad r;
  TFirmwareLoadOutput out;
  out.Log = [&](std::string_view s) { r.Logged.emplace_back(s); };
  out.Report = [&](std::string_view s) { r.Reported.emplace_back(s); };
  out.Missing = [&](std::string_view s) { r.Missing.emplace_back(s); };
  r.Ok = LoadFirmwareFile(File, r.FW, out, &r.Refusal);
  return r;
}

class FirmwareLoader : public ::testing::Test {
 protected:
  std::string File(const std::string& Name, const std::string& Content) {
    WriteAll(Dir.Path(Name), Content);
    return Dir.Path(Name);
  }
  // A package as the converter writes it, from an image at 0x2000 with an information block.
  std::string GoodPackage() {
    TLoadedFirmware fw;
    std::string refusal;
    EXPECT_TRUE(LoadFirmwareFile(File("src.hex", HexText(0x2000, ImageWithInfo(0x2000, 0x7000))), fw, {}, &refusal))
        << refusal;
    return MakeQOBContent(fw);
  }
  TempDir Dir;
};

TEST_F(FirmwareLoader, GoodFilesLoadAsBefore) {
  const std::string plain = ImageWithInfo(0x2000, 0x7000);
  TLoad hex = Load(File("fw.HEX", HexText(0x2000, plain)));
  ASSERT_TRUE(hex.Ok) << hex.Refusal;
  EXPECT_EQ(hex.FW.FWStartAddr, 0x2000);
  EXPECT_EQ(PlainImage(hex.FW), plain);
  EXPECT_TRUE(hex.FW.FWInfoFound);
  EXPECT_TRUE(hex.Reported.empty());

  TLoad qob = Load(File("fw.Qob", GoodPackage()));
  ASSERT_TRUE(qob.Ok) << qob.Refusal;
  EXPECT_EQ(qob.FW.FWImage, hex.FW.FWImage);
  EXPECT_EQ(qob.FW.FWBuildStr, "Build:12345");
  EXPECT_EQ(FirmwareInfoRows("x", qob.FW)[1], (TFWInfoRow{"Memory address", "8192"}));

  // Not bootloaders at 0 are ordinary firmware; a bootloader is recognised; both load.
  TLoad boot = Load(File("boot.hex", HexText(0, test::BootloaderImage())));
  ASSERT_TRUE(boot.Ok) << boot.Refusal;
  EXPECT_TRUE(boot.FW.IsBootloaderImage);
  std::string app = test::BootloaderImage();
  app[0] ^= 1;
  TLoad notBoot = Load(File("app.hex", HexText(0, app)));
  ASSERT_TRUE(notBoot.Ok);
  EXPECT_FALSE(notBoot.FW.IsBootloaderImage);
  // Its package logs the vector-table line.
  TLoad bootQob = Load(File("boot.qob", MakeQOBContent(boot.FW)));
  ASSERT_TRUE(bootQob.Ok) << bootQob.Refusal;
  ASSERT_EQ(bootQob.Logged.size(), 1u);
  EXPECT_EQ(bootQob.Logged[0].rfind("Checksum: [$", 0), 0u);
}

TEST_F(FirmwareLoader, DamagedPackagesAreRefused) {
  const std::string good = GoodPackage();
  const std::size_t start = good.rfind("StartAddr:"), info = good.rfind("FWInfo:"), build = info - 11;
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(info, std::string::npos);
  ASSERT_EQ(good.substr(build, 6), "Build:");
  std::vector<std::pair<std::string, std::string>> damaged;
  // Cut anywhere: through the image, each piece, the last digit.
  for (std::size_t cut = 0; cut < good.size(); cut += cut < build - 10 ? 997 : 1)
    damaged.emplace_back("cut at " + std::to_string(cut), good.substr(0, cut));
  // Each byte of each marker, and each digit field made no number.
  const std::vector<std::pair<std::size_t, std::size_t>> fields = {
      {build, 6}, {info, 7}, {info + 7, 6}, {start, 10}, {start + 10, 10}};
  for (const auto& [at, len] : fields) {
    for (std::size_t i = at; i < at + len; ++i) {
      std::string d = good;
      d[i] = d[i] == 'x' ? 'y' : 'x';
      damaged.emplace_back("byte " + std::to_string(i), d);
    }
  }
  // The information length one more or one less than the text.
  for (int delta : {-1, 1}) {
    std::string d = good;
    const int n = std::stoi(d.substr(info + 7, 5)) + delta;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05d", n);
    d.replace(info + 7, 5, digits);
    damaged.emplace_back("length " + std::to_string(delta), d);
  }
  for (const auto& [what, content] : damaged) {
    SCOPED_TRACE(what);
    const TLoad r = Load(File("d.qob", content));
    EXPECT_FALSE(r.Ok);
    ASSERT_EQ(r.Reported.size(), 1u);
    EXPECT_EQ(r.Reported[0], r.Refusal);
    EXPECT_TRUE(r.FW.FWImage.empty());
  }
}

TEST_F(FirmwareLoader, DamagedHexFilesAndFilesWithoutBuildAreRefused) {
  const std::string text = HexText(0x4000, ImageWithInfo(0x4000, 0x4400));
  // Cut at every line boundary: each one reads as a shorter, valid image but for the missing end.
  int boundaries = 0;
  for (std::size_t p = text.find('\n'); p + 1 < text.size(); p = text.find('\n', p + 1)) {
    const TLoad r = Load(File("cut.hex", text.substr(0, p + 1)));
    ASSERT_FALSE(r.Ok) << p;
    // The first line alone holds no data record yet.
    ASSERT_EQ(r.Refusal, boundaries == 0 ? "Hibás hexfájl: A hexfájl nem tartalmaz adatrekordot."
                                         : "Hibás hexfájl: A hexfájl csonka: hiányzik a fájl végét jelző rekord (01-es típus).");
    ++boundaries;
  }
  EXPECT_GT(boundaries, 1000);
  // Records after the end-of-file record are still read.
  TLoad after = Load(File("after.hex", ":00000001FF\n" + text));
  ASSERT_TRUE(after.Ok) << after.Refusal;

  struct {
    std::string Name, Content, Message;
  } cases[] = {
      {"plain.hex", HexText(0x100, std::string(64, 'p')),
       "A kiválasztott firmware elavult, hibás vagy sérült: nem találtam benne információs blokkot!"},
      {"tiny.hex", HexText(0, "Build:12345 tiny"), "Hiba történt a fájl megnyitásakor: Üres paraméterstring."},
      {"notes.txt", "hello", "A kiválasztott fájl nem firmware. Csak HEX vagy QOB állományokat lehet telepíteni."},
      {"nobuild.qob", "imageStartAddr:0000000100",
       "A kiválasztott firmware elavult, hibás vagy sérült: nem találtam benne információs blokkot!"},
  };
  for (const auto& c : cases) {
    const TLoad r = Load(File(c.Name, c.Content));
    EXPECT_FALSE(r.Ok) << c.Name;
    EXPECT_EQ(r.Refusal, c.Message) << c.Name;
    EXPECT_EQ(r.Reported, std::vector<std::string>{c.Message}) << c.Name;
  }
  // A missing file goes to Missing only; an empty name says nothing at all.
  const TLoad missing = Load(Dir.Path("none.qob"));
  EXPECT_EQ(missing.Missing, std::vector<std::string>{"A kiválasztott állomány nem található: " + Dir.Path("none.qob")});
  EXPECT_TRUE(missing.Reported.empty());
  const TLoad empty = Load("");
  EXPECT_FALSE(empty.Ok);
  EXPECT_TRUE(empty.Missing.empty() && empty.Reported.empty());
}

TEST_F(FirmwareLoader, ChecksumFileBesideTheFirmware) {
  const std::string good = GoodPackage();
  const std::string name = File("fw.qob", good);
  const std::string digest = Sha256Hex(good);
  const std::string mismatch = "A kiválasztott állomány sérült: SHA-256 ellenőrzőösszege nem egyezik a(z) " +
                               name + ".sha256 fájlban megadottal.";
  struct {
    std::string Sums;
    std::string Refusal;  // empty: loads
  } cases[] = {
      {digest + "  fw.qob\n", ""},
      {digest + " *fw.qob\r\n", ""},
      {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef  other.qob\n" + digest + "  fw.qob\n", ""},
      {digest + "  renamed.qob\n", ""},  // the only line of the file named after it
      {std::string(64, '0') + "  fw.qob\n", mismatch},
      {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef  a.qob\n" + digest + "  b.qob\n",
       "Az ellenőrzőösszeg-fájlban (" + name + ".sha256) nincs a kiválasztott állományhoz tartozó SHA-256 sor."},
      {"garbage\n", "Az ellenőrzőösszeg-fájlban (" + name + ".sha256) nincs a kiválasztott állományhoz tartozó SHA-256 sor."},
  };
  for (const auto& c : cases) {
    WriteAll(name + ".sha256", c.Sums);
    const TLoad r = Load(name);
    EXPECT_EQ(r.Ok, c.Refusal.empty()) << c.Sums;
    EXPECT_EQ(r.Refusal, c.Refusal) << c.Sums;
  }
  // The digest in upper case is the same digest.
  std::string upper = digest;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  WriteAll(name + ".sha256", upper + "  fw.qob\n");
  EXPECT_TRUE(Load(name).Ok);

  // The converters' writer puts a matching checksum file beside what it writes.
  WriteFileWithChecksum(Dir.Path("out.bin"), "plain bytes");
  EXPECT_EQ(ReadAll(Dir.Path("out.bin.sha256")), Sha256Hex("plain bytes") + "  out.bin\n");
  EXPECT_EQ(ChecksumProblem(Dir.Path("out.bin")), "");
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Fed in pieces that straddle the 64-byte blocks.
  const std::string text(1000, 'q');
  TSha256 s;
  for (std::size_t i = 0; i < text.size(); i += 37) s.Add(std::string_view(text).substr(i, 37));
  const auto d = s.Finish();
  std::string hex;
  for (uint8_t b : d) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  EXPECT_EQ(hex, Sha256Hex(text));
}

}  // namespace
}  // namespace vornik
