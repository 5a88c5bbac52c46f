#include "platform/qt/QtLinkErrors.h"

#include <gtest/gtest.h>

#include <cerrno>

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

TEST(QtLinkErrorsTest, PermissionFailureSaysWhyAfterTheInUseText) {
  // Qt reports a lock held by someone else and a device this user may not open alike; the access
  // check of the path tells them apart.
  const std::string noPermission = std::string(kPortInUseText) + " (no permission to open the device)";
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::PermissionError, "Permission denied", "/dev/ttyS0", EACCES),
            noPermission);
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::PermissionError, "Operation not permitted", "/dev/ttyS0", EPERM),
            noPermission);
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::PermissionError, "Permission error while locking the device",
                                  "/dev/ttyS0", 0),
            kPortInUseText);
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::PermissionError, "Device or resource busy", "/dev/ttyS0", 0),
            kPortInUseText);
  // The access check matters only for a permission failure.
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::DeviceNotFoundError, "No such file", "/dev/ttyS9", ENOENT),
            kPortMissingText);
  EXPECT_EQ(SerialOpenFailureText(QSerialPort::OpenError, "Input/output error", "/dev/ttyS0", EACCES),
            "Input/output error (/dev/ttyS0)");
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
