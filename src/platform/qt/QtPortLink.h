// The port object of one device link over Qt: a serial port (QSerialPort) or a TCP client
// connection (QTcpSocket), chosen at each open, as the engine keeps one port object for its whole
// life and opens it either way.
//
// Serial: COM n is opened at the path the path resolver gives for n (if it gives one), otherwise
// at SerialPortPath(n, map), with 8N1, no flow control, the given
// baud rate, then RTS and DTR dropped. The open is synchronous; a port held by someone else
// (this process included) throws kPortInUseText, one this user may not open kPortInUseText
// followed by " (no permission to open the device)" and " - " with the device file's group to
// join (SerialPortHints.h), a path that does not exist kPortMissingText.
// Within the process every open path is remembered, so a second open of the same device is
// refused even where the platform would allow it (root ignores TIOCEXCL); between processes
// QSerialPort's lock files do the same. A port whose reads fail (the device is gone) is closed
// before onError reports it, once.
//
// TCP: openTcp starts the connection and returns; onConnect (with TCP_NODELAY set, as every
// exchange is a small request waiting for a small answer) or onError follows. A hang-up by the
// peer is reported by onDisconnect alone; close() of a connected socket reports onDisconnect too,
// from inside close(). Error codes are those of SocketErrorCode().
//
// After a serial open, onNotice (optional) gets a line for the log when a USB adapter's latency
// timer makes every answer wait.
//
// Writes go to the platform at once (flush after each write) to keep request/answer latency low.
// The output buffer holds outBufferSize() bytes (the engine's ApdOutSize): the queued output is
// what Qt still holds, for a serial port plus the driver's output queue (the socket's own send
// buffer is not counted), and a write that would take it above the limit is refused whole with
// EPortError, which the engine reports as ecOverflow (sent too fast). A size of 0 or less sets no
// limit. Handlers may close or destroy the link from inside a
// notification.
#pragma once

#include <QAbstractSocket>
#include <QSerialPort>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <string>

#include "loop/PortLink.h"
#include "platform/qt/SerialPortMap.h"

namespace vornik {

class QtPortLink final : public PortLink {
 public:
  static constexpr int kDefaultOutBufferSize = 4096;  ///< bytes

  explicit QtPortLink(TSerialPortMap serialPorts = {});
  ~QtPortLink() override;
  QtPortLink(const QtPortLink&) = delete;
  QtPortLink& operator=(const QtPortLink&) = delete;

  void openSerial(int comPort, int baud) override;
  void openTcp(const std::string& host, int port) override;
  void close() override;
  /// Serial: the port is open. TCP: the connection is being set up or is up.
  bool isOpen() const override;
  void write(std::string_view bytes) override;
  int outBufferSize() const override { return outBufferSize_; }
  void setOutBufferSize(int bytes) override { outBufferSize_ = bytes; }
  /// Bytes Qt holds; for a serial port also the driver's output queue.
  std::size_t bytesToWrite() const override;

  void setSerialPortMap(TSerialPortMap serialPorts) { serialPorts_ = std::move(serialPorts); }
  /// Asked at every serial open before the map: a non-empty path is opened instead (a device the
  /// technician picked by name).
  std::function<std::string(int comPort)> pathResolver;
  /// A line worth writing to the log (not an error), e.g. the latency timer hint.
  std::function<void(const std::string& Text)> onNotice;
  const TSerialPortMap& serialPortMap() const { return serialPorts_; }
  /// The device path of the open serial port, empty otherwise.
  const std::string& serialPath() const { return serialPath_; }
  /// The platform objects while open (diagnostics and tests); null otherwise.
  QSerialPort* serialPort() const { return serial_; }
  QTcpSocket* tcpSocket() const { return tcp_; }

 private:
  void CloseSerial();
  void CloseTcp(bool notify);

  TSerialPortMap serialPorts_;
  std::unique_ptr<QObject> context_;  ///< receiver of every signal connection, cut at close
  QSerialPort* serial_ = nullptr;
  QTcpSocket* tcp_ = nullptr;
  std::string serialPath_;
  std::string serialKey_;  ///< canonical path in the process-wide set of open serial devices
  int outBufferSize_ = kDefaultOutBufferSize;
  bool flushing_ = false;  ///< a write is flushing the serial port (its EAGAIN is not a lost device)
};

/// Creates QtPortLinks that all use one COM-number mapping.
class QtPortLinkFactory final : public PortLinkFactory {
 public:
  explicit QtPortLinkFactory(TSerialPortMap serialPorts = {}) : serialPorts_(std::move(serialPorts)) {}
  std::unique_ptr<PortLink> createPortLink() override {
    auto link = std::make_unique<QtPortLink>(serialPorts_);
    link->onNotice = onNotice_;
    link->pathResolver = pathResolver_;
    return link;
  }
  void setSerialPortMap(TSerialPortMap serialPorts) { serialPorts_ = std::move(serialPorts); }
  /// The pathResolver of every link created from now on.
  void setPathResolver(std::function<std::string(int comPort)> resolver) { pathResolver_ = std::move(resolver); }
  /// The onNotice of every link created from now on.
  void setNoticeHandler(std::function<void(const std::string& Text)> handler) { onNotice_ = std::move(handler); }

 private:
  TSerialPortMap serialPorts_;
  std::function<void(const std::string& Text)> onNotice_;
  std::function<std::string(int comPort)> pathResolver_;
};

}  // namespace vornik
