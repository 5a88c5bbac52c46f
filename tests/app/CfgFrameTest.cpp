#include "app/uCfgFrame.h"

#include <gtest/gtest.h>

#include "app/CreateMissingValuesIni.h"
#include "testkit/TempDir.h"

namespace vornik {
namespace {

using test::ReadAll;
using test::TempDir;
using test::WriteAll;

TEST(CfgFrame, ComPortAndBaudrateSelectListEntries) {
  TCfgFrame f;
  EXPECT_EQ(f.ComPort(), 1);
  EXPECT_EQ(f.Baudrate(), 115200);
  struct {
    int set, read;
  } ports[] = {{3, 3}, {50, 50}, {51, 0}, {0, 0}, {-1, 0}, {1, 1}};
  for (auto c : ports) {
    f.SetComPort(c.set);
    EXPECT_EQ(f.ComPort(), c.read) << c.set;
  }
  struct {
    int set, read;
  } bauds[] = {{9600, 9600}, {14400, 150}, {12345, 150}, {115200, 115200}, {0, 150}, {57600, 57600}};
  for (auto c : bauds) {
    f.SetBaudrate(c.set);
    EXPECT_EQ(f.Baudrate(), c.read) << c.set;
  }
}

TEST(CfgFrame, SerialDevicesFollowTheComEntries) {
  TCfgFrame f;
  const SerialDeviceInfo usb{"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "FT232R USB UART"};
  const SerialDeviceInfo acm{"/dev/ttyACM0", ""};
  f.SetSerialDevices({usb, acm});
  EXPECT_EQ(f.SerialPortListIndex(), 0);  // COM 1 stays selected
  EXPECT_EQ(TCfgFrame::SerialDeviceCaption(usb), "FT232R USB UART (/dev/serial/by-id/usb-FTDI_FT232R-if00-port0)");
  EXPECT_EQ(TCfgFrame::SerialDeviceCaption(acm), "/dev/ttyACM0");

  // A device reads as port 0 (no COM entry), at its place after the 50 COM entries.
  f.SetSerialDevice(acm.path);
  EXPECT_EQ(f.ComPort(), TCfgFrame::kSerialDevicePort);
  EXPECT_EQ(f.ComPortIndex(), -1);
  EXPECT_EQ(f.SerialPortListIndex(), 51);

  // Unplugged, the chosen device stays listed; a device chosen before any list is listed.
  f.SetSerialDevices({usb});
  ASSERT_EQ(f.SerialDevices().size(), 2u);
  EXPECT_EQ(f.SerialDevices()[1].path, acm.path);
  EXPECT_EQ(f.SerialPortListIndex(), 51);
  TCfgFrame g;
  g.SetSerialDevice("/dev/ttyUSB3");
  EXPECT_EQ(g.SerialPortListIndex(), 50);

  // A COM entry forgets the device, also a number outside the list (selecting none, as before).
  f.SetComPort(7);
  EXPECT_EQ(f.SerialDevice(), "");
  EXPECT_EQ(f.SerialPortListIndex(), 6);
  f.SetSerialDevices({usb});
  EXPECT_EQ(f.SerialDevices().size(), 1u);
  f.SetSerialDevice(usb.path);
  f.SetComPort(51);
  EXPECT_EQ(f.SerialDevice(), "");
  EXPECT_EQ(f.ComPort(), 0);
  EXPECT_EQ(f.SerialPortListIndex(), -1);
}

TEST(CfgFrame, HostAndPortShareTheAddressText) {
  TCfgFrame f;
  f.SetAddressText("device.local:1001");
  f.SetTCPPort(1002);
  EXPECT_EQ(f.AddressText(), "device.local:1002");
  f.SetIP("10.0.0.7");
  EXPECT_EQ(f.AddressText(), "10.0.0.7:1002");
  EXPECT_EQ(f.TCPPort(), 1002);

  struct {
    const char* text;
    const char* ip;
    int port;
  } cases[] = {
      {"hostonly", "", 1001}, {"4321", "", 4321},       {"h:abc", "h", 1001}, {":77", "", 77},
      {"", "", 1001},         {"a:1:2", "a", 1001},     {"h:$10", "h", 16},   {"[::1]:5000", "::1", 5000},
      {"[fe80::2]", "fe80::2", 1001},
  };
  for (auto c : cases) {
    f.SetAddressText(c.text);
    EXPECT_EQ(f.IP(), c.ip) << c.text;
    EXPECT_EQ(f.TCPPort(), c.port) << c.text;
  }
}

TEST(CfgFrame, Ipv6HostKeepsItsColonsInBrackets) {
  TCfgFrame f;
  f.SetAddressText("");
  f.SetTCPPort(1001);
  f.SetIP("::1");
  EXPECT_EQ(f.AddressText(), "[::1]:1001");
  EXPECT_EQ(f.IP(), "::1");
  f.SetTCPPort(9);
  EXPECT_EQ(f.AddressText(), "[::1]:9");
}

TEST(CfgFrame, KRVAddrVisibleSetsTheAddress) {
  TCfgFrame f;
  f.SetKRVAddress(178556);
  f.SetKRVAddrVisible(false);
  EXPECT_EQ(f.KRVAddress(), 1);
  f.SetKRVAddrVisible(true);
  EXPECT_EQ(f.KRVAddress(), 0);
}

TEST(CfgFrame, ValidateIPList) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", "localhost:1001"},
      {" , ,, ", "localhost:1001"},
      {"b:1,A:2,a:2,B:1", "A:2,b:1"},  // first spelling kept, case-insensitive order
      {" c:3 , a:1", "a:1,c:3"},
      {"\"x y:1\",z:2", "\"x y:1\",z:2"},
      {"\"q\"\"t:1\"", "\"q\"\"t:1\""},
  };
  for (auto c : cases) EXPECT_EQ(TCfgFrame::ValidateIPList(c.in), c.out) << c.in;
}

TEST(CfgFrame, SwitchingToTcpLoadsTheRememberedList) {
  TempDir dir;
  const std::string ini = dir.Path("Vornik.ini");
  struct {
    const char* ips;
    const char* selected;
    int index;
    const char* text;
  } cases[] = {
      {"c:3,a:1,b:2", "1", 1, "b:2"},
      {"c:3,a:1,b:2", "-3", 0, "a:1"},
      {"c:3,a:1,b:2", "99", -1, "prior:5"},
      {"", "0", 0, "localhost:1001"},
      {"a:1", "junk", 0, "a:1"},
  };
  for (auto c : cases) {
    WriteAll(ini, std::string("[KRVCommsCfg_IPLIST]\nIPS=") + c.ips + "\nSELECTED=" + c.selected + "\n");
    const std::string before = ReadAll(ini);
    TCfgFrame f;
    f.SetIniFile(ini);
    f.SetAddressText("prior:5");
    f.SetConnType(TConnType::ConnTypeTCPIP);
    EXPECT_EQ(f.IPItemIndex(), c.index) << c.ips << " " << c.selected;
    EXPECT_EQ(f.AddressText(), c.text) << c.ips << " " << c.selected;
    EXPECT_EQ(ReadAll(ini), before);  // reading the list never writes
  }
}

TEST(CfgFrame, NoIniFileKeepsTheListAndMissingFileGivesDefault) {
  TCfgFrame f;
  f.SetIPList({"x:1"});
  f.SetConnType(TConnType::ConnTypeTCPIP);
  EXPECT_EQ(f.IPList(), std::vector<std::string>{"x:1"});

  TempDir dir;
  TCfgFrame g;
  g.SetIniFile(dir.Path("absent.ini"));
  g.SetConnType(TConnType::ConnTypeTCPIP);
  EXPECT_EQ(g.IPList(), std::vector<std::string>{"localhost:1001"});
  EXPECT_EQ(g.AddressText(), "localhost:1001");
}

TEST(CfgFrame, AddAndRemoveAddresses) {
  TempDir dir;
  const std::string ini = dir.Path("Vornik.ini");
  TCfgFrame f;
  f.SetIniFile(ini);
  f.SetAddressText("");
  f.buttAddIPClick();  // empty text: nothing
  EXPECT_FALSE(std::filesystem::exists(ini));
  f.SetAddressText("b:2");
  f.buttAddIPClick();
  EXPECT_EQ(f.IPList(), (std::vector<std::string>{"b:2", "localhost:1001"}));
  EXPECT_EQ(f.IPItemIndex(), 0);
  EXPECT_EQ(ReadAll(ini), "[KRVCommsCfg_IPLIST]\nIPS=b:2,localhost:1001\nSELECTED=0\n");
  f.SetAddressText(" a:1 ");
  f.buttAddIPClick();  // stored trimmed, nothing selected
  EXPECT_EQ(f.IPList(), (std::vector<std::string>{"a:1", "b:2", "localhost:1001"}));
  EXPECT_EQ(f.IPItemIndex(), -1);
  f.SetAddressText("b:2");
  f.buttRemoveIPClick();
  EXPECT_EQ(f.IPList(), (std::vector<std::string>{"a:1", "localhost:1001"}));
  EXPECT_EQ(ReadAll(ini), "[KRVCommsCfg_IPLIST]\nIPS=a:1,b:2,localhost:1001\nSELECTED=-1\n");
}

}  // namespace
}  // namespace vornik
