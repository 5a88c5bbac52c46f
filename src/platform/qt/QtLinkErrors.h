// Where platform errors become this system's terms, in one place: a failed serial open becomes
// one of the two texts the engine tells apart (port in use / port missing) or a plain message,
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

/// The exception text for a serial port that could not be opened. PermissionError (the port is
/// locked or exclusively held by someone else) gives kPortInUseText, DeviceNotFoundError
/// kPortMissingText; anything else the platform's description followed by the path.
std::string SerialOpenFailureText(QSerialPort::SerialPortError error, const QString& description,
                                  const std::string& path);

/// The exception text for a write refused because Queued bytes are waiting and Adding more would
/// pass the Limit of the output buffer (the engine logs it after "KHIBA:").
std::string OutputFullText(std::size_t Queued, std::size_t Adding, int Limit);

/// The code reported through onError for a socket error.
int SocketErrorCode(QAbstractSocket::SocketError error);

}  // namespace vornik
