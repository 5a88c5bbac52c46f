#include "platform/qt/SerialPortHints.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vornik {
namespace {

namespace fs = std::filesystem;

class HintsDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "vornik-hints-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  fs::path root_;
};

TEST_F(HintsDir, LatencyTimerOfUsbAdapters) {
  const std::string sys = (root_ / "sys").string();
  Write(root_ / "sys/class/tty/ttyUSB0/device/latency_timer", "16\n");
  Write(root_ / "sys/class/tty/ttyUSB1/device/latency_timer", "1\n");
  Write(root_ / "sys/class/tty/ttyUSB2/device/latency_timer", "garbage\n");
  // A stable name under /dev/serial/by-id is a link to the real node.
  Write(root_ / "dev/ttyUSB0", "");
  fs::create_directories(root_ / "dev/serial/by-id");
  fs::create_symlink(root_ / "dev/ttyUSB0", root_ / "dev/serial/by-id/usb-adapter");
  struct {
    std::string device;
    std::optional<int> ms;
  } cases[] = {
      {"/dev/ttyUSB0", 16},
      {(root_ / "dev/serial/by-id/usb-adapter").string(), 16},
      {"/dev/ttyUSB1", 1},
      {"/dev/ttyUSB2", std::nullopt},
      {"/dev/ttyS0", std::nullopt},  // not a USB adapter: no such attribute
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UsbSerialLatencyTimerMs(c.device, sys), c.ms) << c.device;
    const std::string hint = LatencyTimerHint(c.device, sys);
    if (c.ms && *c.ms > 1) {
      EXPECT_NE(hint.find("latency timer is 16 ms"), std::string::npos) << hint;
      EXPECT_NE(hint.find("echo 1 | sudo tee " + sys + "/class/tty/ttyUSB0/device/latency_timer"), std::string::npos)
          << hint;
    } else {
      EXPECT_EQ(hint, "") << c.device;
    }
  }
}

TEST_F(HintsDir, PermissionHintNamesTheGroupOfTheDeviceFile) {
  const std::string node = (root_ / "ttyUSB0").string();
  Write(node, "");
  const group* g = ::getgrgid(::getegid());
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(FileGroupName(node), g->gr_name);
  EXPECT_EQ(FileGroupName((root_ / "missing").string()), "");
  // A file this process may open, and one that is not there, need no hint.
  EXPECT_EQ(SerialPermissionHint(node), "");
  EXPECT_EQ(SerialPermissionHint((root_ / "missing").string()), "");
  EXPECT_EQ(SerialGroupHint("/dev/ttyUSB0", "dialout", "tech"),
            "/dev/ttyUSB0 belongs to group dialout; add the user to that group (sudo adduser tech dialout) and log in "
            "again");
  if (::geteuid() == 0) GTEST_SKIP() << "root may open any file; the install check covers it as another user";
  fs::permissions(node, fs::perms::none);
  EXPECT_NE(SerialPermissionHint(node).find(std::string("belongs to group ") + g->gr_name), std::string::npos);
}

}  // namespace
}  // namespace vornik
