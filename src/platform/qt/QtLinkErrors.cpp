#include "platform/qt/QtLinkErrors.h"

#include <cerrno>

#include "loop/PortLink.h"

namespace vornik {

std::string SerialOpenFailureText(QSerialPort::SerialPortError error, const QString& description,
                                  const std::string& path, int AccessError) {
  switch (error) {
    case QSerialPort::PermissionError:
      if (AccessError == EACCES || AccessError == EPERM) return std::string(kPortInUseText) + kNoPermissionReason;
      return kPortInUseText;
    case QSerialPort::DeviceNotFoundError:
      return kPortMissingText;
    default:
      break;
  }
  std::string text = description.isEmpty() ? std::string("Cannot open serial port") : description.toStdString();
  if (!path.empty()) text += " (" + path + ")";
  return text;
}

std::string OutputFullText(std::size_t Queued, std::size_t Adding, int Limit) {
  return "Output buffer full: " + std::to_string(Queued) + " bytes queued, " + std::to_string(Adding) +
         " more would pass the limit of " + std::to_string(Limit) + " bytes";
}

int SocketErrorCode(QAbstractSocket::SocketError error) {
  switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return 10061;         // WSAECONNREFUSED
    case QAbstractSocket::RemoteHostClosedError: return 10054;          // WSAECONNRESET
    case QAbstractSocket::HostNotFoundError: return 11001;              // WSAHOST_NOT_FOUND
    case QAbstractSocket::SocketAccessError: return 10013;              // WSAEACCES
    case QAbstractSocket::SocketResourceError: return 10055;            // WSAENOBUFS
    case QAbstractSocket::SocketTimeoutError: return 10060;             // WSAETIMEDOUT
    case QAbstractSocket::DatagramTooLargeError: return 10040;          // WSAEMSGSIZE
    case QAbstractSocket::NetworkError: return 10050;                   // WSAENETDOWN
    case QAbstractSocket::AddressInUseError: return 10048;              // WSAEADDRINUSE
    case QAbstractSocket::SocketAddressNotAvailableError: return 10049; // WSAEADDRNOTAVAIL
    case QAbstractSocket::UnsupportedSocketOperationError: return 10045;// WSAEOPNOTSUPP
    case QAbstractSocket::UnfinishedSocketOperationError: return 10036; // WSAEINPROGRESS
    case QAbstractSocket::OperationError: return 10022;                 // WSAEINVAL
    default:
      break;
  }
  // Proxy, TLS and unknown errors have no Winsock number: keep them apart from the real ones.
  return 20000 + (static_cast<int>(error) < 0 ? 99 : static_cast<int>(error));
}

}  // namespace vornik
