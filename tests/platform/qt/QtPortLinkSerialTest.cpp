// Serial links over pseudo-terminal pairs, opened through the COM mapping.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QProcess>
#include <cstdio>
#include <string>

#include "PseudoTerminal.h"
#include "QtTestSupport.h"
#include "platform/qt/QtPortLink.h"
#include "platform/qt/SerialPortHints.h"

namespace vornik {
namespace {

using testing::EnsureQtApp;
using testing::PseudoTerminal;
using testing::SpinUntil;

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

std::string OpenFailure(QtPortLink& link, int comPort) {
  try {
    link.openSerial(comPort, 115200);
  } catch (const EPortError& e) {
    return e.what();
  }
  return "opened";
}

class QtPortLinkSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    ASSERT_TRUE(pty.ok());
    map = {{5, pty.slavePath()}};
  }
  PseudoTerminal pty;
  TSerialPortMap map;
};

TEST_F(QtPortLinkSerialTest, ExchangesBytesBothWaysWithRawSettings) {
  QtPortLink link(map);
  int connects = 0, errors = 0;
  std::string received;
  link.onConnect = [&] { ++connects; };
  link.onError = [&](int) { ++errors; };
  link.onData = [&](std::string_view bytes) { received.append(bytes); };

  link.openSerial(5, 57600);
  ASSERT_TRUE(link.isOpen());
  EXPECT_EQ(link.serialPath(), pty.slavePath());

  termios tio{};
  ASSERT_EQ(tcgetattr(pty.slaveFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B57600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

  // Every byte value, XON/XOFF, CR/LF and NUL included, passes unchanged in both directions.
  const std::string out = AllByteValues() + "\x02KRV\x03";
  link.write(out);
  ASSERT_TRUE(SpinUntil([&] { return pty.Drain().size() >= out.size(); }));
  EXPECT_EQ(pty.Drain(), out);

  const std::string in = "\x11\x13\r\n" + AllByteValues();
  ASSERT_TRUE(pty.Send(in));
  ASSERT_TRUE(SpinUntil([&] { return received.size() >= in.size(); }));
  EXPECT_EQ(received, in);
  EXPECT_EQ(link.bytesToWrite(), 0u);
  EXPECT_EQ(connects, 0);  // a serial open completes inside openSerial
  EXPECT_EQ(errors, 0);

  link.close();
  EXPECT_FALSE(link.isOpen());
  EXPECT_THROW(link.write("x"), EPortError);
}

TEST_F(QtPortLinkSerialTest, MissingPortsGiveTheMissingText) {
  QtPortLink link({{7, "/dev/vornik-no-such-port"}});
  EXPECT_EQ(OpenFailure(link, 7), kPortMissingText);
  EXPECT_EQ(OpenFailure(link, 0), kPortMissingText);
  EXPECT_EQ(OpenFailure(link, 200), kPortMissingText);  // /dev/ttyS199
  EXPECT_FALSE(link.isOpen());
}

TEST_F(QtPortLinkSerialTest, SecondOpenOfTheSamePortGivesTheInUseText) {
  const std::string alias = "/tmp/vornik-pty-alias-" + std::to_string(getpid());
  ASSERT_EQ(symlink(pty.slavePath().c_str(), alias.c_str()), 0);
  map[6] = alias;  // the same device under another name
  QtPortLink first(map), second(map);
  first.openSerial(5, 115200);
  EXPECT_EQ(OpenFailure(second, 5), kPortInUseText);
  EXPECT_EQ(OpenFailure(second, 6), kPortInUseText);
  EXPECT_FALSE(second.isOpen());

  // The holder keeps working, and the port is free again once it closes.
  first.write("abc");
  ASSERT_TRUE(SpinUntil([&] { return pty.Drain() == "abc"; }));
  first.close();
  EXPECT_EQ(OpenFailure(second, 6), "opened");
  EXPECT_EQ(OpenFailure(first, 5), kPortInUseText);
  unlink(alias.c_str());
}

TEST_F(QtPortLinkSerialTest, PortWithoutPermissionGivesTheInUseTextAndTheReason) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens a device whatever its mode; the mapping has its own test";
  ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0), 0);
  QtPortLink link(map);
  // Then the device file's group, which the user must join.
  EXPECT_EQ(OpenFailure(link, 5), std::string(kPortInUseText) + " (no permission to open the device) - " +
                                      SerialGroupHint(pty.slavePath(), FileGroupName(pty.slavePath()),
                                                      ::getpwuid(::geteuid())->pw_name));
  EXPECT_FALSE(link.isOpen());
  ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0620), 0);
  EXPECT_EQ(OpenFailure(link, 5), "opened");
}

TEST_F(QtPortLinkSerialTest, PortHeldByAnotherProcessGivesTheInUseText) {
  QProcess holder;
  holder.start(VORNIK_SERIAL_PORT_HOLDER, {QString::fromStdString(pty.slavePath())});
  ASSERT_TRUE(holder.waitForStarted(10000));
  std::string said;
  ASSERT_TRUE(SpinUntil([&] {
    said += holder.readAllStandardOutput().toStdString();
    return said.find('\n') != std::string::npos;
  }, 10000));
  ASSERT_EQ(said, "open\n");

  QtPortLink link(map);
  EXPECT_EQ(OpenFailure(link, 5), kPortInUseText);

  holder.closeWriteChannel();  // the holder lets go and ends
  ASSERT_TRUE(holder.waitForFinished(10000));
  EXPECT_EQ(OpenFailure(link, 5), "opened");
}

TEST_F(QtPortLinkSerialTest, ReopeningTheSameLinkReleasesThePreviousPort) {
  PseudoTerminal other;
  ASSERT_TRUE(other.ok());
  map[9] = other.slavePath();
  QtPortLink link(map), probe(map);
  link.openSerial(5, 9600);
  link.openSerial(9, 9600);  // the engine re-opens its one port object
  EXPECT_EQ(link.serialPath(), other.slavePath());
  EXPECT_EQ(OpenFailure(probe, 5), "opened");
  EXPECT_EQ(OpenFailure(link, 5), kPortInUseText);
  EXPECT_FALSE(link.isOpen());  // a failed open leaves the link closed
}

TEST_F(QtPortLinkSerialTest, VanishingDeviceIsReportedAndReleased) {
  QtPortLink link(map);
  std::vector<int> errors;
  link.onError = [&](int code) { errors.push_back(code); };
  link.openSerial(5, 115200);
  pty.CloseMaster();
  ASSERT_TRUE(SpinUntil([&] { return !errors.empty(); }));
  testing::SpinFor(50);
  // Reported once, not once per failing read of the dead device.
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0] == static_cast<int>(QSerialPort::ReadError) ||
              errors[0] == static_cast<int>(QSerialPort::ResourceError))
      << errors[0];
  EXPECT_FALSE(link.isOpen());
  EXPECT_EQ(link.serialPath(), "");
}

TEST_F(QtPortLinkSerialTest, WriteThatWouldOverfillTheOutputBufferIsRefused) {
  QtPortLink link(map);
  link.openSerial(5, 115200);
  link.setOutBufferSize(4096);
  // Nobody reads the device side, so the output backs up until the limit refuses a write.
  const std::string chunk(1000, 'x');
  std::size_t accepted = 0;
  std::string refusal;
  while (refusal.empty() && accepted < (64u << 20)) {
    try {
      link.write(chunk);
      accepted += chunk.size();
    } catch (const EPortError& e) {
      refusal = e.what();
    }
  }
  ASSERT_FALSE(refusal.empty()) << accepted;
  EXPECT_GT(link.bytesToWrite() + chunk.size(), 4096u);
  EXPECT_NE(refusal.find("Output buffer full"), std::string::npos) << refusal;
  EXPECT_TRUE(link.isOpen());  // a refused write leaves the link as it was
  // Once the device side reads, the queue drains and writes are taken again; every byte that was
  // accepted arrives, none of the refused write.
  std::string got;
  ASSERT_TRUE(SpinUntil([&] {
    got += pty.ReadNew();
    return link.bytesToWrite() == 0 && got.size() >= accepted;
  }));
  EXPECT_EQ(got.size(), accepted);
  link.write("end");
  ASSERT_TRUE(SpinUntil([&] {
    got += pty.ReadNew();
    return got.size() == accepted + 3;
  }));
}

TEST_F(QtPortLinkSerialTest, OutputBufferSizeZeroSetsNoLimit) {
  QtPortLink link(map);
  link.openSerial(5, 115200);
  link.setOutBufferSize(0);
  const std::string chunk(1000, 'x');
  // The system buffer fills on the way; a flush that finds it full does not close the port.
  for (int i = 0; i < 200; ++i) ASSERT_NO_THROW(link.write(chunk)) << i;
  EXPECT_GT(link.bytesToWrite(), 4096u);
  testing::SpinFor(20);
  EXPECT_TRUE(link.isOpen());
}

TEST_F(QtPortLinkSerialTest, HandlerMayDestroyTheLink) {
  auto link = std::make_unique<QtPortLink>(map);
  link->onData = [&](std::string_view) { link.reset(); };
  link->openSerial(5, 115200);
  ASSERT_TRUE(pty.Send("bye"));
  ASSERT_TRUE(SpinUntil([&] { return link == nullptr; }));
  testing::SpinFor(20);
  QtPortLink again(map);
  EXPECT_EQ(OpenFailure(again, 5), "opened");  // the destroyed link let go of the device
}

}  // namespace
}  // namespace vornik
