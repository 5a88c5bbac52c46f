// A listening TCP socket for devices that open the connection themselves. The server socket
// accepts connections and reports, per connection, the bytes read, an error and the close; what
// the bytes mean (which device is on the line, which engine gets them) is decided by its user.
//
// Lifetime of a connection: onAccept announces it; onData and onError may follow; it ends in
// exactly one onClose, whether the peer hung up, an error ended it, or close() was called on it
// (or on the whole server). The ServerConnection reference stays valid until onClose returns and
// must not be used afterwards. Notifications arrive on the loop's thread; a handler may close the
// connection or write to it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loop/PortLink.h"

namespace vornik {

/// One accepted connection.
class ServerConnection {
 public:
  virtual ~ServerConnection() = default;
  /// The peer's address as text (e.g. "127.0.0.1") and its port.
  virtual std::string remoteAddress() const = 0;
  virtual int remotePort() const = 0;
  virtual bool isConnected() const = 0;
  /// Queues bytes for sending; throws EPortError when the connection cannot take them.
  virtual void write(std::string_view bytes) = 0;
  /// Bytes written but not yet handed to the network.
  virtual std::size_t bytesToWrite() const = 0;
  /// Ends the connection; onClose follows at once (inside this call) if it had not ended yet.
  virtual void close() = 0;

  /// Free slot for the server's user (its per-connection record). Never owned or touched here.
  void* userData = nullptr;
};

class ServerSocket {
 public:
  virtual ~ServerSocket() = default;
  /// Starts listening on port (0 = any free port; see port()) at address (empty = every local
  /// address). Throws EPortError when the port cannot be bound.
  virtual void listen(int port, const std::string& address = std::string()) = 0;
  /// Stops listening and closes every open connection (each gets its onClose).
  virtual void close() = 0;
  virtual bool isListening() const = 0;
  /// The port actually listened on, or 0 when not listening.
  virtual int port() const = 0;
  /// The open connections, oldest first.
  virtual std::vector<ServerConnection*> connections() const = 0;

  std::function<void(ServerConnection& connection)> onAccept;
  std::function<void(ServerConnection& connection, std::string_view bytes)> onData;
  /// A socket error on the connection; the connection stays open until someone closes it or
  /// the peer hangs up. A plain hang-up by the peer is reported by onClose alone.
  std::function<void(ServerConnection& connection, int code)> onError;
  std::function<void(ServerConnection& connection)> onClose;
};

struct ServerSocketFactory {
  virtual ~ServerSocketFactory() = default;
  virtual std::unique_ptr<ServerSocket> createServerSocket() = 0;
};

}  // namespace vornik
