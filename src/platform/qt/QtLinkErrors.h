// Where platform errors become this system's terms, in one place: a failed serial open becomes
// one of the two texts the engine tells apart (port in use / port missing), the in-use text with
// the reason for a device this user may not open, or a plain message,
// and a socket error becomes the numeric code the engine logs ("Comm. error: %d"). Socket codes
// keep the classic Winsock numbers (10061 refused, 10060 timed out, ...) that technicians know
// from the field logs, whatever the platform.
#pragma once

#include <QAbstractSocket>
#include <QSerialPort>
#include <QString>
#include <cstddef>
#include <string>

namespace vornik {

/// Said after kPortInUseText when the port could not be opened for want of permission.
inline constexpr const char* kNoPermissionReason = " (no permission to open the device)";

/// The exception text for a serial port that could not be opened. Qt reports a port locked or
/// held by someone else and a device this user may not open alike, as PermissionError; AccessError
/// (errno of an access(R_OK | W_OK) check of the path made after the failure, 0 when it passed)
/// tells them apart. A port held by someone else gives exactly kPortInUseText, one without
/// permission kPortInUseText followed by kNoPermissionReason, DeviceNotFoundError
/// kPortMissingText; anything else the platform's description followed by the path.
std::string SerialOpenFailureText(QSerialPort::SerialPortError error, const QString& description,
                                  const std::string& path, int AccessError = 0);

/// The exception text for a write refused because Queued bytes are waiting and Adding more would
/// pass the Limit of the output buffer (the engine logs it after "KHIBA:").
std::string OutputFullText(std::size_t Queued, std::size_t Adding, int Limit);

/// The code reported through onError for a socket error.
int SocketErrorCode(QAbstractSocket::SocketError error);

}  // namespace vornik
