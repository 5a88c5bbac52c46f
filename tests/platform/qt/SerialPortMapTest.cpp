#include "platform/qt/SerialPortMap.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vornik {
namespace {

TEST(SerialPortMapTest, PathOfComPort) {
  const TSerialPortMap map{{5, "/dev/pts/7"}, {12, "/dev/ttyUSB0"}};
  EXPECT_EQ(SerialPortPath(5, map), "/dev/pts/7");
  EXPECT_EQ(SerialPortPath(12, map), "/dev/ttyUSB0");
  EXPECT_EQ(SerialPortPath(1, map), "/dev/ttyS0");
  EXPECT_EQ(SerialPortPath(50, {}), "/dev/ttyS49");
  EXPECT_EQ(SerialPortPath(0, map), "");
  EXPECT_EQ(SerialPortPath(-3, map), "");
}

TEST(SerialPortMapTest, ParsesSectionKeysAndValues) {
  struct Case {
    const char* name;
    std::string ini;
    TSerialPortMap expected;
  };
  const Case cases[] = {
      {"plain", "[SerialPorts]\nCOM5=/dev/pts/3\n", {{5, "/dev/pts/3"}}},
      {"case of section and key", "[serialports]\ncom5=/dev/a\nCoM6=/dev/b\n", {{5, "/dev/a"}, {6, "/dev/b"}}},
      {"trimmed, CRLF, tabs", " [ SerialPorts ] \r\n\tCOM7 =  /dev/ttyUSB0 \t\r\n", {{7, "/dev/ttyUSB0"}}},
      {"quoted value", "[SerialPorts]\nCOM2=\"/dev/x y\"\n", {{2, "/dev/x y"}}},
      {"other sections ignored",
       "[OPERATION]\nCOM1=/dev/no\n[SerialPorts]\nCOM2=/dev/yes\n[DEBUG]\nCOM3=/dev/no\n",
       {{2, "/dev/yes"}}},
      {"comments and junk lines", "[SerialPorts]\n;COM1=/dev/c\n#COM2=/dev/d\nnot a key\nCOM3=/dev/e\n",
       {{3, "/dev/e"}}},
      {"bad keys and empty values",
       "[SerialPorts]\nCOM=/dev/a\nCOMx=/dev/b\nCOM0=/dev/c\nCOM256=/dev/d\nCOM5a=/dev/e\nCOM 8=/dev/f\nCOM9=\nCOM10=  \n"
       "COM255=/dev/g\n",
       {{255, "/dev/g"}}},
      {"first of equal keys wins", "[SerialPorts]\nCOM4=/dev/first\ncom4=/dev/second\n", {{4, "/dev/first"}}},
      {"section given twice", "[SerialPorts]\nCOM1=/dev/a\n[x]\n[SERIALPORTS]\nCOM2=/dev/b\n", {{1, "/dev/a"}, {2, "/dev/b"}}},
      {"byte order mark, no final newline", "\xEF\xBB\xBF[SerialPorts]\nCOM3=/dev/z", {{3, "/dev/z"}}},
      {"unterminated section header", "[SerialPorts\nCOM3=/dev/z\n", {}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseSerialPortMap(c.ini), c.expected) << c.name;
  }
}

TEST(SerialPortMapTest, ReadsTheIniFileWithoutChangingIt) {
  char path[] = "/tmp/vornik-serialmap-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string text = "[MainForm]\nTop=10\n\n[SerialPorts]\nCOM5=/dev/pts/9\n";
  { std::ofstream(path, std::ios::binary) << text; }
  struct stat before {};
  ASSERT_EQ(stat(path, &before), 0);

  EXPECT_EQ(ReadSerialPortMap(path), (TSerialPortMap{{5, "/dev/pts/9"}}));

  struct stat after {};
  ASSERT_EQ(stat(path, &after), 0);
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  EXPECT_EQ(content.str(), text);  // no missing keys written back
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  std::remove(path);

  EXPECT_TRUE(ReadSerialPortMap("/tmp/vornik-no-such-dir/none.ini").empty());
}

}  // namespace
}  // namespace vornik
