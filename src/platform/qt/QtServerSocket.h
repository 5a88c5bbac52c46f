// The listening TCP socket over QTcpServer. Every accepted connection gets TCP_NODELAY (devices
// exchange small requests and answers) and a ServerConnection that lives in the list of open
// connections until it ends; its end is reported by exactly one onClose, after any bytes that
// arrived with the hang-up. Ended connections are freed only once control is back in the Qt
// loop, so a handler that closes a connection may still read its address afterwards. Remote
// addresses are plain IPv4 text for IPv4 peers, also when listening on every address.
#pragma once

#include <QTcpServer>
#include <memory>
#include <vector>

#include "loop/ServerSocket.h"

namespace vornik {

class QtServerSocket final : public ServerSocket {
 public:
  QtServerSocket();
  ~QtServerSocket() override;
  QtServerSocket(const QtServerSocket&) = delete;
  QtServerSocket& operator=(const QtServerSocket&) = delete;

  void listen(int port, const std::string& address = std::string()) override;
  void close() override;
  bool isListening() const override;
  int port() const override;
  std::vector<ServerConnection*> connections() const override;

 private:
  class TConnection;
  void Accept();
  void Finish(TConnection& connection);

  std::unique_ptr<QTcpServer> server_;
  std::vector<std::unique_ptr<TConnection>> connections_;  ///< open, oldest first
  std::vector<std::unique_ptr<TConnection>> ended_;        ///< freed on the next loop turn
};

class QtServerSocketFactory final : public ServerSocketFactory {
 public:
  std::unique_ptr<ServerSocket> createServerSocket() override { return std::make_unique<QtServerSocket>(); }
};

}  // namespace vornik
