#include "platform/qt/QtLinkErrors.h"

#include <gtest/gtest.h>

#include "loop/PortLink.h"

namespace vornik {
namespace {

TEST(QtLinkErrorsTest, SerialOpenFailuresBecomeTheEngineTexts) {
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::PermissionError, "Permission error while locking the device", "/dev/x"),
            kPortInUseText);
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::DeviceNotFoundError, "No such file or directory", "/dev/x"),
            kPortMissingText);
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::UnsupportedOperationError, "Inappropriate ioctl", "/tmp/file"),
            "Inappropriate ioctl (/tmp/file)");
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::OpenError, "", ""), "Cannot open serial port");
}

TEST(QtLinkErrorsTest, SocketErrorsKeepTheirClassicNumbers) {
  EXPECT_EQ(SocketErrorCode(QAbstractSocket::ConnectionRefusedError), 10061);
  EXPECT_EQ(SocketErrorCode(QAbstractSocket::SocketTimeoutError), 10060);
  EXPECT_EQ(SocketErrorCode(QAbstractSocket::HostNotFoundError), 11001);
  EXPECT_EQ(SocketErrorCode(QAbstractSocket::RemoteHostClosedError), 10054);
  // Errors without such a number stay apart from them, and distinct from each other.
  const int unknown = SocketErrorCode(QAbstractSocket::UnknownSocketError);
  const int proxy = SocketErrorCode(QAbstractSocket::ProxyConnectionRefusedError);
  EXPECT_GE(unknown, 20000);
  EXPECT_GE(proxy, 20000);
  EXPECT_NE(unknown, proxy);
}

}  // namespace
}  // namespace vornik
