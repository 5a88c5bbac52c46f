#include "testkit/MemoryServerSocket.h"

#include <algorithm>

namespace vornik::testkit {

MemoryServerConnection::MemoryServerConnection(MemoryServerSocket& Owner, std::string Address, int Port)
    : owner_(Owner), address_(std::move(Address)), port_(Port), alive_(std::make_shared<bool>(true)) {}

MemoryServerConnection::~MemoryServerConnection() { *alive_ = false; }

void MemoryServerConnection::write(std::string_view bytes) {
  if (!open_) throw EPortError("Socket not connected");
  Written.emplace_back(bytes);
  std::weak_ptr<bool> alive = alive_;
  owner_.Loop.schedule(owner_.Loop.nowMs() + owner_.LatencyMs, [this, alive, b = std::string(bytes)] {
    auto a = alive.lock();
    if (a && *a && open_ && OnBytes) OnBytes(b);
  });
}

void MemoryServerConnection::close() {
  if (!open_) return;
  End();
  if (OnClosed) OnClosed();
}

void MemoryServerConnection::End() {
  open_ = false;
  ClosedAtMs = owner_.Loop.nowMs();
  owner_.Ended(*this);
}

void MemoryServerConnection::PeerSend(std::string_view Bytes) {
  std::weak_ptr<bool> alive = alive_;
  owner_.Loop.schedule(owner_.Loop.nowMs() + owner_.LatencyMs, [this, alive, b = std::string(Bytes)] {
    auto a = alive.lock();
    if (a && *a && open_ && owner_.onData) owner_.onData(*this, b);
  });
}

void MemoryServerConnection::PeerClose() {
  if (open_) End();
}

void MemoryServerConnection::PeerHangUp() {
  std::weak_ptr<bool> alive = alive_;
  owner_.Loop.schedule(owner_.Loop.nowMs() + owner_.LatencyMs, [this, alive] {
    auto a = alive.lock();
    if (a && *a) PeerClose();
  });
}

void MemoryServerConnection::RaiseError(int Code) {
  if (open_ && owner_.onError) owner_.onError(*this, Code);
}

MemoryServerSocket::~MemoryServerSocket() {
  onAccept = nullptr;
  onData = nullptr;
  onError = nullptr;
  onClose = nullptr;
  close();
}

void MemoryServerSocket::listen(int port, const std::string& address) {
  if (FailListen) throw EPortError("The bound address is already in use (port " + std::to_string(port) + ")");
  listening_ = true;
  port_ = port == 0 ? 40000 : port;
  BoundAddress = address;
}

void MemoryServerSocket::close() {
  listening_ = false;
  while (!open_.empty()) open_.front()->close();
}

std::vector<ServerConnection*> MemoryServerSocket::connections() const {
  return std::vector<ServerConnection*>(open_.begin(), open_.end());
}

MemoryServerConnection& MemoryServerSocket::Connect(const std::string& Address, int Port) {
  if (!listening_) throw EPortError("Connection refused");
  All.push_back(std::make_unique<MemoryServerConnection>(*this, Address, Port != 0 ? Port : nextPeerPort_++));
  MemoryServerConnection& c = *All.back();
  open_.push_back(&c);
  if (onAccept) onAccept(c);
  return c;
}

void MemoryServerSocket::Ended(MemoryServerConnection& C) {
  std::erase(open_, &C);
  if (onClose) onClose(C);
}

}  // namespace vornik::testkit
