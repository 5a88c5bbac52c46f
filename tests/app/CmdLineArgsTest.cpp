#include "app/uCmdLineArgs.h"

#include <gtest/gtest.h>

#include "app/VornikTexts.h"

namespace vornik {
namespace {

using Args = std::vector<std::string>;

TEST(CmdLineArgs, ModeSwitches) {
  struct {
    Args args;
    bool mode;
  } cases[] = {
      {{"-start"}, true},   {{"/START"}, true},  {{"\\Start"}, true}, {{"--start"}, false},
      {{"start"}, false},   {{"-?"}, true},      {{"/?"}, true},      {{}, false},
      {{"-fw", "-start"}, true},  // a value that looks like a switch still selects the mode
      {{"-starts"}, false}, {{""}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsCommandLineMode(c.args), c.mode) << ::testing::PrintToString(c.args);
}

TEST(CmdLineArgs, HelpRequests) {
  struct {
    Args args;
    bool help;
  } cases[] = {
      {{"--help"}, true},       {{"-h"}, true},           {{"-start", "--help"}, true},
      {{"--help", "-?"}, false},  // "-?" keeps its own exit code
      {{"-H"}, false},          {{"--HELP"}, false},      {{"-help"}, false},
      {{"/h"}, false},          {{"x.hex"}, false},       {{}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsHelpRequest(c.args), c.help) << ::testing::PrintToString(c.args);
}

TEST(CmdLineArgs, Numbers) {
  struct {
    const char* text;
    std::optional<int32_t> value;
  } cases[] = {{"5", 5},           {"$1F", 31},          {"$1f", 31},          {"-5", std::nullopt},
               {"", std::nullopt}, {"abc", std::nullopt}, {"1.5", std::nullopt}, {"0", 0},
               {"2147483647", 2147483647}, {"2147483648", std::nullopt}, {"$FFFFFFFF", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(CmdLineNumber(c.text), c.value) << c.text;
}

TEST(CmdLineArgs, ValidationOrderAndMessages) {
  struct {
    Args args;
    const char* message;
  } cases[] = {
      {{"-start"}, texts::kMissingFirmware},
      {{"-start", "-?"}, texts::kUsageExample},
      {{"-start", "-fw", "x.qob", "-?"}, texts::kUsageExample},
      {{"-start", "-address", "5", "-fw"}, texts::kMissingFirmware},  // -fw last: no value
      {{"-start", "-fw", "x.qob", "-address", "-5", "-port", "2", "-baud", "9600"}, texts::kMissingAddress},
      {{"-start", "-fw", "x.qob", "-address", "abc", "-ip", "h"}, texts::kMissingAddress},
      {{"-start", "-fw", "x.qob", "-address", "5"}, texts::kMissingSerialPort},
      {{"-start", "-fw", "x.qob", "-address", "5", "-port", "2"}, texts::kMissingBaudrate},
      {{"-start", "-fw", "x.qob", "-address", "5", "-port", "2", "-baud", "-1"}, texts::kMissingBaudrate},
      {{"-start", "-fw", "x.qob", "-address", "5", "-ip", "h"}, texts::kMissingTcpPort},
      {{"-start", "-fw", "x.qob", "-address", "5", "-ip", "h", "-port", "x"}, texts::kMissingTcpPort},
      {{"-start", "-fw", "x.qob", "-address", "5", "-ip", "", "-port", "3"}, texts::kMissingBaudrate},
      {{"-start", "-fw", "x.qob", "-address", "5", "-ip", "h", "-port", "1001"}, ""},
      {{"-start", "-fw", "x.qob", "-address", "5", "-port", "3", "-baud", "12345"}, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseCmdLineRequest(c.args).UsageMessage, c.message) << ::testing::PrintToString(c.args);
}

TEST(CmdLineArgs, SerialRequestMatchesSwitchesWithoutCase) {
  const auto r = ParseCmdLineRequest({"/START", "-FW", "file.hex", "-ADDRESS", "5", "-PORT", "3", "-BAUD", "9600"});
  EXPECT_EQ(r.UsageMessage, "");
  EXPECT_EQ(r.FWFile, "file.hex");
  EXPECT_EQ(r.Address, 5);
  EXPECT_FALSE(r.TCPIP);
  EXPECT_EQ(r.Port, 3);
  EXPECT_EQ(r.Baud, 9600);
}

TEST(CmdLineArgs, TcpRequestWithHexAddressIgnoresBaud) {
  const auto r = ParseCmdLineRequest(
      {"-start", "-fw", "x.qob", "-address", "$1F", "-ip", "host", "-port", "1001", "-baud", "junk"});
  EXPECT_EQ(r.UsageMessage, "");
  EXPECT_EQ(r.Address, 31);
  EXPECT_TRUE(r.TCPIP);
  EXPECT_EQ(r.Host, "host");
  EXPECT_EQ(r.Port, 1001);
}

TEST(CmdLineArgs, FirstMatchingSwitchWinsAndValuesMayLookLikeSwitches) {
  const auto r = ParseCmdLineRequest(
      {"-start", "-fw", "-odd.hex", "/fw", "second.hex", "-address", "7", "-port", "2", "-baud", "300"});
  EXPECT_EQ(r.FWFile, "-odd.hex");
  EXPECT_EQ(r.Address, 7);
}

TEST(CmdLineArgs, UsageLines) {
  const auto lines = UsageLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "TCP/IP-s kapcsolat esetén:");
  EXPECT_EQ(lines[2].rfind("    vornik -start -ip ", 0), 0u);
  EXPECT_NE(lines[2].find(" -port 1001 -address 178556 -fw c:\\fws\\legujabb.qob"), std::string::npos);
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "Soros porti kapcsolat esetén:");
  EXPECT_EQ(lines[5], "    vornik -start -port 1 -baud 115200 -address 178556 -fw c:\\fws\\legujabb.qob");
}

}  // namespace
}  // namespace vornik
