// The port object of one device link: a serial port or a TCP client connection. Adapters only
// translate between the platform and these calls; every decision stays in the engine.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vornik {

/// The two open failures the engine tells apart by their exact texts.
inline constexpr const char* kPortInUseText = "ie_Open - device already open";
inline constexpr const char* kPortMissingText = "ie_BadId - Specified comport doesn't exist";

/// Raised by open and write; what() is the text the engine logs.
class EPortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PortLink {
 public:
  virtual ~PortLink() = default;

  /// Opens COM port number comPort (8N1, RTS/DTR off, no flow control). Completes at once:
  /// returns normally when open, throws EPortError otherwise (onConnect is not raised).
  virtual void openSerial(int comPort, int baud) = 0;
  /// Starts a TCP client connection; onConnect or onError follows later. May throw EPortError.
  virtual void openTcp(const std::string& host, int port) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  /// Queues bytes for sending; throws EPortError when the port cannot take them.
  virtual void write(std::string_view bytes) = 0;
  /// Output buffer size of the port, in bytes (serial: the driver's buffer where supported).
  virtual int outBufferSize() const = 0;
  virtual void setOutBufferSize(int bytes) = 0;
  /// Bytes written but not yet handed to the wire.
  virtual std::size_t bytesToWrite() const = 0;

  std::function<void()> onConnect;
  std::function<void()> onDisconnect;
  std::function<void(int code)> onError;
  std::function<void(std::string_view bytes)> onData;
};

/// A serial device present on the machine, as the platform lists it for the technician to pick.
struct SerialDeviceInfo {
  std::string path;         ///< the device file to open, a stable name where the system has one
  std::string description;  ///< what the adapter says it is; may be empty
  bool operator==(const SerialDeviceInfo&) const = default;
};

/// Creates the port object an engine keeps for its whole life.
struct PortLinkFactory {
  virtual ~PortLinkFactory() = default;
  virtual std::unique_ptr<PortLink> createPortLink() = 0;
};

}  // namespace vornik
