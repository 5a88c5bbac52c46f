#include "platform/qt/SerialDevices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "PseudoTerminal.h"
#include "testkit/TempDir.h"
#include "platform/qt/QtPortLink.h"
#include "QtTestSupport.h"

namespace vornik {
namespace {

namespace fs = std::filesystem;

class SerialDevicesDir : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = Dir.Path("");
    fs::create_directories(root_ / "dev/serial/by-id");
    for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0"}) std::ofstream(root_ / "dev" / node) << "";
  }
  std::string Dev(const char* Name) const { return (root_ / "dev" / Name).string(); }
  std::string ById(const char* Name) const { return (root_ / "dev/serial/by-id" / Name).string(); }
  test::TempDir Dir;
  fs::path root_;
};

TEST_F(SerialDevicesDir, StableNamesDescriptionsAndComEntriesLeftOut) {
  fs::create_symlink("../../ttyUSB0", ById("usb-FTDI_FT232R_USB_UART_A1B2-if00-port0"));
  fs::create_symlink("../../ttyACM0", ById("usb-Telvaro_RS485-if00"));
  fs::create_symlink("../../gone", ById("usb-unplugged-if00"));
  const std::vector<TFoundSerialPort> ports = {
      {Dev("ttyUSB1"), "", "Prolific"},          // no stable name, only a maker
      {Dev("ttyUSB0"), "FT232R USB UART", "FTDI"},
      {Dev("ttyACM0"), "RS485 adapter", ""},
      {Dev("ttyS0"), "", ""},                   // COM 3 of [SerialPorts] opens it
      {"/dev/ttyS1", "", ""},                   // COM 2 without a mapping
      {Dev("ttyUSB0"), "FT232R USB UART", ""},  // listed twice by the platform
  };
  const auto devices = SerialDevicesFrom(ports, {{3, Dev("ttyS0")}}, (root_ / "dev/serial/by-id").string());
  const std::vector<SerialDeviceInfo> want = {
      {Dev("ttyUSB1"), "Prolific"},
      {ById("usb-FTDI_FT232R_USB_UART_A1B2-if00-port0"), "FT232R USB UART"},
      {ById("usb-Telvaro_RS485-if00"), "RS485 adapter"},
  };
  std::vector<SerialDeviceInfo> sorted = want;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  EXPECT_EQ(devices, sorted);
  // Without the folder of stable names the plain paths are offered.
  EXPECT_EQ(SerialDevicesFrom({{Dev("ttyUSB0"), "x", ""}}, {}, (root_ / "none").string()),
            (std::vector<SerialDeviceInfo>{{Dev("ttyUSB0"), "x"}}));
}

TEST_F(SerialDevicesDir, ReportsNameEveryPortOnceWithItsStableNameAdapterAndAccess) {
  fs::create_symlink("../../ttyUSB0", ById("usb-FTDI_FT232R_USB_UART_A1B2-if00-port0"));
  fs::create_directories(root_ / "sys/class/tty/ttyUSB0/device");
  std::ofstream(root_ / "sys/class/tty/ttyUSB0/device/latency_timer") << "16\n";
  fs::permissions(Dev("ttyACM0"), fs::perms::none);
  std::vector<TSerialPortFacts> ports(4);
  ports[0].Port = {Dev("ttyUSB0"), "FT232R USB UART", "FTDI"};
  ports[0].SerialNumber = "A1B2";
  ports[0].VendorId = 0x0403;
  ports[0].ProductId = 0x6001;
  ports[1].Port = {Dev("ttyACM0"), "", "Telvaro"};
  ports[2].Port = {ById("usb-FTDI_FT232R_USB_UART_A1B2-if00-port0"), "", ""};  // the same device again
  ports[3].Port = {Dev("ttyS0"), "", ""};
  const auto r = SerialPortReports(ports, (root_ / "dev/serial/by-id").string(), (root_ / "sys").string());
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].Path, Dev("ttyACM0"));
  EXPECT_EQ(r[1].Path, Dev("ttyS0"));
  EXPECT_EQ(r[2].Path, Dev("ttyUSB0"));
  EXPECT_EQ(r[2].StableName, ById("usb-FTDI_FT232R_USB_UART_A1B2-if00-port0"));
  EXPECT_EQ(r[2].SerialNumber, "A1B2");
  EXPECT_EQ(r[2].VendorId, 0x0403);
  EXPECT_EQ(r[2].LatencyTimerMs, 16);
  EXPECT_TRUE(r[2].MayOpen);
  EXPECT_TRUE(r[1].StableName.empty());
  EXPECT_FALSE(r[1].LatencyTimerMs);
  EXPECT_FALSE(r[0].Group.empty());
  if (::geteuid() != 0) {  // root opens every file
    EXPECT_FALSE(r[0].MayOpen);
    EXPECT_NE(r[0].PermissionHint.find(r[0].Group), std::string::npos) << r[0].PermissionHint;
  }
  EXPECT_TRUE(SerialPortReports({}, (root_ / "none").string(), (root_ / "sys").string()).empty());
}

TEST(SerialDevicePath, ResolverOpensTheChosenDeviceAndMapStaysForTheRest) {
  testing::EnsureQtApp();
  testing::PseudoTerminal chosen, mapped;
  ASSERT_TRUE(chosen.ok() && mapped.ok());
  QtPortLinkFactory factory({{2, mapped.slavePath()}});
  factory.setPathResolver([&](int ComPort) { return ComPort == 0 ? chosen.slavePath() : std::string(); });
  auto link = factory.createPortLink();
  auto& qt = static_cast<QtPortLink&>(*link);
  qt.openSerial(0, 9600);
  EXPECT_EQ(qt.serialPath(), chosen.slavePath());
  qt.openSerial(2, 9600);
  EXPECT_EQ(qt.serialPath(), mapped.slavePath());
  qt.close();
  // Nothing chosen: port 0 is no port, as before.
  factory.setPathResolver([](int) { return std::string(); });
  auto plain = factory.createPortLink();
  EXPECT_THROW(plain->openSerial(0, 9600), EPortError);
}

}  // namespace
}  // namespace vornik
