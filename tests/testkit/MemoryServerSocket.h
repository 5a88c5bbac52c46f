// MemoryServerSocket is a ServerSocket on a VirtualLoop whose connections are opened by the test
// (or a simulated device) in the same process. Connect() plays a device dialling in: the server
// side sees onAccept at once; bytes sent by the device arrive as one onData chunk after the
// latency; what the server writes reaches the device's OnBytes after the latency. Ended
// connections stay readable (address, what was written) until the socket is destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loop/ServerSocket.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testkit {

class MemoryServerSocket;

class MemoryServerConnection final : public ServerConnection {
 public:
  MemoryServerConnection(MemoryServerSocket& Owner, std::string Address, int Port);
  ~MemoryServerConnection() override;

  std::string remoteAddress() const override { return address_; }
  int remotePort() const override { return port_; }
  bool isConnected() const override { return open_; }
  void write(std::string_view bytes) override;
  std::size_t bytesToWrite() const override { return 0; }
  void close() override;

  // ---- The device's side ----
  /// Bytes from the device; they reach the server after the socket's latency.
  void PeerSend(std::string_view Bytes);
  /// The device hangs up.
  void PeerClose();
  /// The device hangs up right after the bytes it sent have arrived.
  void PeerHangUp();
  /// A socket error on the connection (it stays open).
  void RaiseError(int Code);
  /// What the server writes, as it arrives at the device; and the end of the connection.
  std::function<void(std::string_view Bytes)> OnBytes;
  std::function<void()> OnClosed;

  std::vector<std::string> Written;  ///< every write by the server
  int64_t ClosedAtMs = -1;

 private:
  void End();
  MemoryServerSocket& owner_;
  std::string address_;
  int port_;
  bool open_ = true;
  std::shared_ptr<bool> alive_;
};

class MemoryServerSocket final : public ServerSocket {
 public:
  explicit MemoryServerSocket(VirtualLoop& Loop, int64_t LatencyMs = 0) : Loop(Loop), LatencyMs(LatencyMs) {}
  ~MemoryServerSocket() override;

  void listen(int port, const std::string& address = std::string()) override;
  void close() override;
  bool isListening() const override { return listening_; }
  int port() const override { return listening_ ? port_ : 0; }
  std::vector<ServerConnection*> connections() const override;

  /// A device connects from Address:Port (Port 0: the next free one from 50000 on). Throws when
  /// the socket is not listening, as a refused connection.
  MemoryServerConnection& Connect(const std::string& Address = "127.0.0.1", int Port = 0);

  VirtualLoop& Loop;
  int64_t LatencyMs;
  bool FailListen = false;   ///< listen throws EPortError, as for a port in use
  std::string BoundAddress;  ///< the address listened on
  /// Every connection ever made, oldest first (ended ones included).
  std::vector<std::unique_ptr<MemoryServerConnection>> All;

 private:
  friend class MemoryServerConnection;
  void Ended(MemoryServerConnection& C);
  bool listening_ = false;
  int port_ = 0;
  int nextPeerPort_ = 50000;
  std::vector<MemoryServerConnection*> open_;
};

class MemoryServerSocketFactory final : public ServerSocketFactory {
 public:
  MemoryServerSocketFactory(VirtualLoop& Loop, int64_t LatencyMs = 0) : loop_(Loop), latency_(LatencyMs) {}
  std::unique_ptr<ServerSocket> createServerSocket() override {
    auto s = std::make_unique<MemoryServerSocket>(loop_, latency_);
    Last = s.get();
    return s;
  }
  MemoryServerSocket* Last = nullptr;

 private:
  VirtualLoop& loop_;
  int64_t latency_;
};

}  // namespace vornik::testkit
