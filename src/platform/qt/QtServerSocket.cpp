#include "platform/qt/QtServerSocket.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>

#include "platform/qt/QtLinkErrors.h"

namespace vornik {

namespace {

constexpr int kListenBacklog = 1024;  ///< connections the kernel completes before we accept them

template <typename Handler, typename... Args>
void Notify(const Handler& handler, Args&&... args) {
  if (!handler) return;
  const Handler copy = handler;  // the handler may destroy the server that holds it
  copy(std::forward<Args>(args)...);
}

std::string PeerAddressText(const QHostAddress& address) {
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  return (isV4 ? QHostAddress(v4) : address).toString().toStdString();
}

}  // namespace

class QtServerSocket::TConnection final : public ServerConnection {
 public:
  TConnection(QtServerSocket& owner, QTcpSocket* socket)
      : owner_(owner),
        socket_(socket),
        address_(PeerAddressText(socket->peerAddress())),
        port_(socket->peerPort()) {}
  ~TConnection() override {
    socket_->disconnect();
    socket_->abort();
    socket_->deleteLater();
  }

  std::string remoteAddress() const override { return address_; }
  int remotePort() const override { return port_; }
  bool isConnected() const override { return !ended_ && socket_->state() == QAbstractSocket::ConnectedState; }
  void write(std::string_view bytes) override {
    if (!isConnected()) throw EPortError("Socket not connected");
    if (bytes.empty()) return;
    const auto size = static_cast<qint64>(bytes.size());
    QTcpSocket* const s = socket_;
    if (s->write(bytes.data(), size) != size) throw EPortError(s->errorString().toStdString());
    s->flush();
  }
  std::size_t bytesToWrite() const override { return ended_ ? 0 : static_cast<std::size_t>(socket_->bytesToWrite()); }
  void close() override {
    if (!ended_) owner_.Finish(*this);
  }

  QTcpSocket* socket() const { return socket_; }
  bool ended() const { return ended_; }
  void MarkEnded() { ended_ = true; }

 private:
  QtServerSocket& owner_;
  QTcpSocket* socket_;
  std::string address_;
  int port_;
  bool ended_ = false;
};

QtServerSocket::QtServerSocket() : server_(std::make_unique<QTcpServer>()) {
  QObject::connect(server_.get(), &QTcpServer::newConnection, server_.get(), [this] { Accept(); });
}

QtServerSocket::~QtServerSocket() {
  onAccept = nullptr;
  onData = nullptr;
  onError = nullptr;
  onClose = nullptr;
  close();
  // Connection records end before the QTcpServer whose children their sockets were.
  ended_.clear();
}

void QtServerSocket::listen(int port, const std::string& address) {
  if (server_->isListening()) server_->close();
  if (port < 0 || port > 65535) throw EPortError("Invalid TCP port: " + std::to_string(port));
  const QHostAddress host = address.empty() ? QHostAddress(QHostAddress::Any) : QHostAddress(QString::fromStdString(address));
  if (!address.empty() && host.isNull()) throw EPortError("Invalid listening address: " + address);
  // A burst of connections (many devices calling at once, or a flood) must not fill the kernel's
  // queue of connections not yet accepted: a device whose connect is dropped there waits seconds.
  server_->setListenBacklogSize(kListenBacklog);
  if (!server_->listen(host, static_cast<quint16>(port))) {
    throw EPortError(server_->errorString().toStdString() + " (port " + std::to_string(port) + ")");
  }
}

void QtServerSocket::close() {
  server_->close();
  while (!connections_.empty()) Finish(*connections_.front());
}

bool QtServerSocket::isListening() const { return server_->isListening(); }

int QtServerSocket::port() const { return server_->isListening() ? server_->serverPort() : 0; }

std::vector<ServerConnection*> QtServerSocket::connections() const {
  std::vector<ServerConnection*> list;
  list.reserve(connections_.size());
  for (const auto& c : connections_) list.push_back(c.get());
  return list;
}

void QtServerSocket::Accept() {
  while (server_->hasPendingConnections()) {
    QTcpSocket* const socket = server_->nextPendingConnection();
    if (socket == nullptr) break;
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connections_.push_back(std::make_unique<TConnection>(*this, socket));
    TConnection* const c = connections_.back().get();
    QObject::connect(socket, &QTcpSocket::readyRead, server_.get(), [this, c] {
      const QByteArray data = c->socket()->readAll();
      if (!data.isEmpty()) Notify(onData, *c, std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
    });
    QObject::connect(socket, &QTcpSocket::disconnected, server_.get(), [this, c] {
      const QByteArray data = c->socket()->readAll();
      if (!data.isEmpty()) {
        Notify(onData, *c, std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
      }
      c->close();
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, server_.get(), [this, c](QAbstractSocket::SocketError error) {
      // A hang-up by the peer is reported by onClose alone.
      if (error == QAbstractSocket::RemoteHostClosedError) return;
      Notify(onError, *c, SocketErrorCode(error));
    });
    Notify(onAccept, *c);
  }
}

void QtServerSocket::Finish(TConnection& connection) {
  const auto it = std::find_if(connections_.begin(), connections_.end(),
                               [&connection](const auto& c) { return c.get() == &connection; });
  if (it == connections_.end() || connection.ended()) return;
  connection.MarkEnded();
  connection.socket()->disconnect(server_.get());
  connection.socket()->flush();
  connection.socket()->abort();
  // Keep the record until control is back in the loop: the caller may be one of its handlers.
  ended_.push_back(std::move(*it));
  connections_.erase(it);
  QMetaObject::invokeMethod(server_.get(), [this] { ended_.clear(); }, Qt::QueuedConnection);
  Notify(onClose, connection);
}

}  // namespace vornik
