#include "app/CreateMissingValuesIni.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "testkit/TempDir.h"

namespace vornik {
namespace {

using test::TempDir;
using test::ReadAll;
using test::WriteAll;

TEST(CreateMissingValuesIni, MissingFileIsCreatedWithTheDefaults) {
  TempDir dir;
  const std::string file = dir.Path("Vornik.ini");
  TCreateMissingValuesIni ini(file);
  EXPECT_FALSE(ini.ReadBool("OPERATION", "CustomerMode", false));
  EXPECT_EQ(ini.ReadInteger("DEBUG", "Timeout1", 300), 300);
  EXPECT_EQ(ini.ReadString("DEBUG", "Name", "x y"), "x y");
  EXPECT_EQ(ReadAll(file), "[OPERATION]\nCustomerMode=0\n\n[DEBUG]\nTimeout1=300\nName=x y\n");
}

TEST(CreateMissingValuesIni, SectionsAndKeysIgnoreCaseAndValuesAreTrimmed) {
  TempDir dir;
  const std::string file = dir.Path("a.ini");
  WriteAll(file, "[debug]\n  timeout1 =  250  \nTRIESMAX=\t7\n");
  TCreateMissingValuesIni ini(file);
  EXPECT_EQ(ini.ReadInteger("DEBUG", "Timeout1", 300), 250);
  EXPECT_EQ(ini.ReadInteger("Debug", "TriesMax", 4), 7);
  EXPECT_EQ(ReadAll(file), "[debug]\n  timeout1 =  250  \nTRIESMAX=\t7\n");  // nothing written
}

TEST(CreateMissingValuesIni, IntegerForms) {
  struct Case {
    const char* stored;
    int32_t expected;
    const char* fileAfter;  // the value in the file afterwards
  };
  const Case cases[] = {
      {"$1F", 31, "$1F"},          {"$ff", 255, "$ff"},   {"-12", -12, "-12"},
      {"+7", 7, "+7"},             {"abc", 5, "5"},       {"", 5, "5"},
      {"1.5", 5, "5"},             {"12abc", 5, "5"},     {"$", 5, "5"},
      {"2147483647", 2147483647, "2147483647"},           {"2147483648", 5, "5"},
      {"-2147483648", INT32_MIN, "-2147483648"},          {"$FFFFFFFF", -1, "$FFFFFFFF"},
      {"$123456789", 5, "5"},      {"0x10", 5, "5"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string file = dir.Path("i.ini");
    WriteAll(file, std::string("; keep me\n[S]\nK=") + c.stored + "\nOther=1\n");
    TCreateMissingValuesIni ini(file);
    EXPECT_EQ(ini.ReadInteger("S", "K", 5), c.expected) << c.stored;
    EXPECT_EQ(ReadAll(file), std::string("; keep me\n[S]\nK=") + c.fileAfter + "\nOther=1\n") << c.stored;
  }
}

TEST(CreateMissingValuesIni, ReadBoolIsTrueOnlyForOne) {
  TempDir dir;
  const std::string file = dir.Path("b.ini");
  WriteAll(file, "[OPERATION]\nA=1\nB=2\nC=-1\nD=0\nE=TRUE\nF=$1\n");
  TCreateMissingValuesIni ini(file);
  EXPECT_TRUE(ini.ReadBool("OPERATION", "A", false));
  EXPECT_FALSE(ini.ReadBool("OPERATION", "B", true));
  EXPECT_FALSE(ini.ReadBool("OPERATION", "C", true));
  EXPECT_FALSE(ini.ReadBool("OPERATION", "D", true));
  EXPECT_TRUE(ini.ReadBool("OPERATION", "E", true));  // not an integer: default, rewritten as 1
  EXPECT_TRUE(ini.ReadBool("OPERATION", "F", false));
  EXPECT_EQ(ReadAll(file), "[OPERATION]\nA=1\nB=2\nC=-1\nD=0\nE=1\nF=$1\n");
}

TEST(CreateMissingValuesIni, LineBreakMarkersRoundTrip) {
  EXPECT_EQ(EncodeIniLineBreaks("a\r\nb\rc\nd\n\re"), "a_CRLF_b_CR_c_LF_d_LF__CR_e");
  EXPECT_EQ(DecodeIniLineBreaks("a_CRLF_b_CR_c_LF_d"), "a\r\nb\rc\nd");

  TempDir dir;
  const std::string file = dir.Path("m.ini");
  TIniFile ini(file);
  ini.WriteString("S", "Hint", "line one\r\nline two\nthree");
  EXPECT_EQ(ReadAll(file), "[S]\nHint=line one_CRLF_line two_LF_three\n");
  EXPECT_EQ(ini.ReadString("S", "Hint", ""), "line one\r\nline two\nthree");
}

TEST(CreateMissingValuesIni, WritesKeepCommentsOtherSectionsOrderAndLineEnds) {
  TempDir dir;
  const std::string file = dir.Path("k.ini");
  const std::string before =
      "; settings\r\n[SerialPorts]\r\nCOM3=/dev/ttyUSB0\r\n\r\n[DEBUG]\r\nTimeout1=300\r\n# note\r\n\r\n"
      "[BATCH]\r\nBatchSize=50";
  WriteAll(file, before);
  TCreateMissingValuesIni ini(file);
  EXPECT_EQ(ini.ReadInteger("DEBUG", "TriesMax", 4), 4);   // appended after the last key of DEBUG
  EXPECT_EQ(ini.ReadInteger("BATCH", "CSYGATimeout", 0), 0);  // after an unterminated last line
  ini.WriteString("DEBUG", "timeout1", "310");             // keeps the stored spelling
  EXPECT_EQ(ReadAll(file),
            "; settings\r\n[SerialPorts]\r\nCOM3=/dev/ttyUSB0\r\n\r\n[DEBUG]\r\nTimeout1=310\r\nTriesMax=4\r\n"
            "# note\r\n\r\n[BATCH]\r\nBatchSize=50\r\nCSYGATimeout=0\r\n");
}

TEST(CreateMissingValuesIni, FirstOfDuplicateSectionsAndKeysCounts) {
  TempDir dir;
  const std::string file = dir.Path("d.ini");
  WriteAll(file, "[S]\nK=1\nK=2\n[S]\nK=3\n");
  TIniFile ini(file);
  EXPECT_EQ(ini.ReadInteger("S", "K", 0), 1);
  ini.WriteInteger("S", "K", 9);
  EXPECT_EQ(ReadAll(file), "[S]\nK=9\nK=2\n[S]\nK=3\n");
}

TEST(CreateMissingValuesIni, CommentsAndKeysBeforeAnySectionAreNotKeys) {
  TempDir dir;
  const std::string file = dir.Path("c.ini");
  WriteAll(file, "K=7\n[S]\n;K=8\n#K=9\nnot a key line\n");
  TIniFile plain(file);
  EXPECT_FALSE(plain.ValueExists("S", "K"));
  EXPECT_TRUE(plain.SectionExists("s"));
  EXPECT_EQ(plain.ReadInteger("S", "K", 4), 4);
  EXPECT_EQ(ReadAll(file), "K=7\n[S]\n;K=8\n#K=9\nnot a key line\n");  // the plain reader never writes
}

TEST(CreateMissingValuesIni, UnwritableFolderStillGivesDefaultsAndKeepsTheFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
  TempDir dir;
  const std::string file = dir.Path("r.ini");
  WriteAll(file, "[DEBUG]\nTimeout1=abc\n");
  ASSERT_EQ(::chmod(dir.Path("").c_str(), 0555), 0);
  TCreateMissingValuesIni ini(file);
  EXPECT_EQ(ini.ReadInteger("DEBUG", "Timeout1", 300), 300);
  EXPECT_EQ(ini.ReadInteger("DEBUG", "Timeout2", 2000), 2000);
  EXPECT_THROW(ini.WriteString("DEBUG", "X", "1"), EIniFileError);
  EXPECT_EQ(ReadAll(file), "[DEBUG]\nTimeout1=abc\n");
  ::chmod(dir.Path("").c_str(), 0755);
  // No temporary file is left behind.
  int count = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path(""))) ++count;
  EXPECT_EQ(count, 1);
}

TEST(CreateMissingValuesIni, MissingFolderGivesDefaultsAndWriteRaises) {
  TempDir dir;
  const std::string file = dir.Path("no-such-folder/v.ini");
  TCreateMissingValuesIni ini(file);
  EXPECT_EQ(ini.ReadInteger("DEBUG", "Timeout1", 300), 300);
  EXPECT_TRUE(ini.ReadBool("DEBUG", "X", true));
  EXPECT_THROW(ini.WriteString("DEBUG", "X", "1"), EIniFileError);
}

TEST(CreateMissingValuesIni, BackslashSeparatesFolders) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path("sub"));
  WriteAll(dir.Path("sub/v.ini"), "[S]\nA=4\n");
  TIniFile ini(dir.Path("") + "\\sub\\v.ini");
  EXPECT_EQ(ini.ReadInteger("S", "A", 0), 4);
}

TEST(CreateMissingValuesIni, WriteThroughSymlinkKeepsTheLinkAndMode) {
  TempDir dir;
  const std::string real = dir.Path("real.ini");
  const std::string link = dir.Path("link.ini");
  WriteAll(real, "[S]\nA=1\n");
  ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
  std::filesystem::create_symlink(real, link);
  TIniFile ini(link);
  ini.WriteInteger("S", "A", 2);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadAll(real), "[S]\nA=2\n");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace vornik
