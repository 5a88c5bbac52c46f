#include "platform/qt/QtPortLink.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include <QFileInfo>
#include <set>

#include "platform/qt/QtLinkErrors.h"
#include "platform/qt/SerialPortHints.h"

namespace vornik {

namespace {

/// Canonical paths of the serial devices open in this process.
std::set<std::string>& OpenSerialDevices() {
  static std::set<std::string> devices;
  return devices;
}

/// Calls a handler through a copy: the handler may destroy the link that holds it.
template <typename Handler, typename... Args>
void Notify(const Handler& handler, Args&&... args) {
  if (!handler) return;
  const Handler copy = handler;
  copy(std::forward<Args>(args)...);
}

std::string ToBytes(const QByteArray& data) { return std::string(data.constData(), static_cast<std::size_t>(data.size())); }

}  // namespace

QtPortLink::QtPortLink(TSerialPortMap serialPorts)
    : serialPorts_(std::move(serialPorts)), context_(std::make_unique<QObject>()) {}

QtPortLink::~QtPortLink() {
  onConnect = nullptr;
  onDisconnect = nullptr;
  onError = nullptr;
  onData = nullptr;
  close();
}

void QtPortLink::openSerial(int comPort, int baud) {
  close();
  std::string path = pathResolver ? pathResolver(comPort) : std::string();
  if (path.empty()) path = SerialPortPath(comPort, serialPorts_);
  if (path.empty()) throw EPortError(kPortMissingText);
  const QFileInfo info(QString::fromStdString(path));
  if (!info.exists()) throw EPortError(kPortMissingText);
  const std::string key = info.canonicalFilePath().toStdString();
  if (OpenSerialDevices().count(key) != 0) throw EPortError(kPortInUseText);
  if (baud <= 0) throw EPortError("Invalid baud rate: " + std::to_string(baud));

  auto port = std::make_unique<QSerialPort>();
  port->setPortName(QString::fromStdString(path));
  port->setBaudRate(baud);
  port->setDataBits(QSerialPort::Data8);
  port->setParity(QSerialPort::NoParity);
  port->setStopBits(QSerialPort::OneStop);
  port->setFlowControl(QSerialPort::NoFlowControl);
  if (!port->open(QIODevice::ReadWrite)) {
    const int accessError = ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
    std::string text = SerialOpenFailureText(port->error(), port->errorString(), path, accessError);
    if (const std::string hint = SerialPermissionHint(path); !hint.empty()) text += " - " + hint;
    throw EPortError(text);
  }
  // Adapters and pseudo-terminals without modem lines refuse these; the port works regardless.
  port->setDataTerminalReady(false);
  port->setRequestToSend(false);
  port->clearError();

  serial_ = port.release();
  serialPath_ = path;
  serialKey_ = key;
  OpenSerialDevices().insert(key);

  QSerialPort* const p = serial_;
  QObject::connect(p, &QSerialPort::readyRead, context_.get(), [this, p] {
    const std::string bytes = ToBytes(p->readAll());
    if (!bytes.empty()) Notify(onData, std::string_view(bytes));
  });
  QObject::connect(p, &QSerialPort::errorOccurred, context_.get(), [this](QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError) return;
    // A full system buffer makes the flush after a write fail with EAGAIN, reported as a resource
    // error; the bytes stay in Qt's buffer and go out when the port can take them.
    if (flushing_ && error == QSerialPort::ResourceError) {
      if (serial_ != nullptr) serial_->clearError();
      return;
    }
    // A failing read means the device is gone (unplugged adapter, hung-up pseudo-terminal):
    // every further read would fail at once and flood the loop with the same error. Release the
    // device, report it once, and let the engine's next open start clean.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) CloseSerial();
    Notify(onError, static_cast<int>(error));
  });
  if (const std::string hint = LatencyTimerHint(path); !hint.empty()) Notify(onNotice, hint);
}

void QtPortLink::openTcp(const std::string& host, int port) {
  close();
  if (port < 1 || port > 65535) throw EPortError("Invalid TCP port: " + std::to_string(port));
  tcp_ = new QTcpSocket;
  QTcpSocket* const s = tcp_;
  QObject::connect(s, &QTcpSocket::connected, context_.get(), [this, s] {
    s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Notify(onConnect);
  });
  QObject::connect(s, &QTcpSocket::readyRead, context_.get(), [this, s] {
    const std::string bytes = ToBytes(s->readAll());
    if (!bytes.empty()) Notify(onData, std::string_view(bytes));
  });
  QObject::connect(s, &QTcpSocket::disconnected, context_.get(), [this, s] {
    // Bytes that arrived together with the hang-up still belong to the conversation.
    const std::string bytes = ToBytes(s->readAll());
    if (!bytes.empty()) Notify(onData, std::string_view(bytes));
    if (tcp_ == s) Notify(onDisconnect);
  });
  QObject::connect(s, &QTcpSocket::errorOccurred, context_.get(), [this](QAbstractSocket::SocketError error) {
    // A hang-up by the peer is not a fault: disconnected() reports it.
    if (error == QAbstractSocket::RemoteHostClosedError) return;
    Notify(onError, SocketErrorCode(error));
  });
  s->connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
}

void QtPortLink::close() {
  CloseSerial();
  CloseTcp(true);
}

void QtPortLink::CloseSerial() {
  if (serial_ == nullptr) return;
  QSerialPort* const p = serial_;
  serial_ = nullptr;
  QObject::disconnect(p, nullptr, context_.get(), nullptr);
  p->close();
  OpenSerialDevices().erase(serialKey_);
  serialKey_.clear();
  serialPath_.clear();
  p->deleteLater();  // may be inside one of its own signals
}

void QtPortLink::CloseTcp(bool notify) {
  if (tcp_ == nullptr) return;
  QTcpSocket* const s = tcp_;
  tcp_ = nullptr;
  const bool wasConnected = s->state() == QAbstractSocket::ConnectedState;
  QObject::disconnect(s, nullptr, context_.get(), nullptr);
  if (wasConnected) s->flush();
  s->abort();
  s->deleteLater();  // may be inside one of its own signals
  if (wasConnected && notify) Notify(onDisconnect);
}

bool QtPortLink::isOpen() const {
  if (serial_ != nullptr) return serial_->isOpen();
  if (tcp_ != nullptr) return tcp_->state() != QAbstractSocket::UnconnectedState;
  return false;
}

void QtPortLink::write(std::string_view bytes) {
  if (bytes.empty()) return;
  const auto size = static_cast<qint64>(bytes.size());
  // Local pointers: an error raised while flushing may close the link from a notification.
  QIODevice* device = serial_;
  if (device == nullptr && tcp_ != nullptr && tcp_->state() == QAbstractSocket::ConnectedState) device = tcp_;
  if (device == nullptr) throw EPortError("Port not open");
  // The output buffer has ApdOutSize bytes: a write that does not fit is refused whole, and the
  // engine reports it as sent too fast (ecOverflow) instead of letting the queue grow unseen.
  if (outBufferSize_ > 0) {
    const std::size_t queued = bytesToWrite();
    if (queued + bytes.size() > static_cast<std::size_t>(outBufferSize_))
      throw EPortError(OutputFullText(queued, bytes.size(), outBufferSize_));
  }
  if (device->write(bytes.data(), size) != size) throw EPortError(device->errorString().toStdString());
  if (auto* port = qobject_cast<QSerialPort*>(device)) {
    flushing_ = true;
    port->flush();
    flushing_ = false;
  } else if (auto* socket = qobject_cast<QTcpSocket*>(device)) {
    socket->flush();
  }
}

std::size_t QtPortLink::bytesToWrite() const {
  if (serial_ != nullptr) {
    // The driver's output queue is part of the port's output buffer: bytes Qt has handed over
    // that are not on the wire yet.
    auto queued = static_cast<std::size_t>(serial_->bytesToWrite());
    const auto fd = static_cast<int>(serial_->handle());
    int pending = 0;
    if (fd >= 0 && ::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0) queued += static_cast<std::size_t>(pending);
    return queued;
  }
  // A socket's own send buffer comes on top of the port's output buffer, as it always did.
  if (tcp_ != nullptr) return static_cast<std::size_t>(tcp_->bytesToWrite());
  return 0;
}

}  // namespace vornik
