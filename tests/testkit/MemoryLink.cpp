#include "testkit/MemoryLink.h"

#include <algorithm>
#include <utility>

namespace vornik::testkit {

MemoryLink::MemoryLink(VirtualLoop& Loop, MemoryPeer* Peer, MemoryLinkSettings Settings)
    : Settings(Settings), Peer(Peer), loop_(Loop), alive_(std::make_shared<bool>(true)) {}

MemoryLink::~MemoryLink() { *alive_ = false; }

void MemoryLink::openSerial(int comPort, int baud) {
  Opens.push_back({false, std::string(), comPort, baud, loop_.nowMs()});
  switch (Settings.OpenResult) {
    case MemoryLinkSettings::Open::Missing: throw EPortError(kPortMissingText);
    case MemoryLinkSettings::Open::InUse: throw EPortError(kPortInUseText);
    case MemoryLinkSettings::Open::OtherError: throw EPortError("ie_Other - open failed");
    default: break;
  }
  open_ = true;
  ++generation_;
  if (Peer != nullptr) Peer->OnOpened(*this);
}

void MemoryLink::openTcp(const std::string& host, int port) {
  Opens.push_back({true, host, port, 0, loop_.nowMs()});
  if (Settings.OpenResult == MemoryLinkSettings::Open::OtherError) throw EPortError("ie_Other - open failed");
  const uint64_t gen = ++generation_;
  std::weak_ptr<bool> alive = alive_;
  const bool refused = Settings.OpenResult != MemoryLinkSettings::Open::Ok;
  open_ = !refused;  // the socket exists while connecting
  loop_.schedule(loop_.nowMs() + Settings.ConnectDelayMs, [this, alive, gen, refused] {
    auto a = alive.lock();
    if (!a || !*a || gen != generation_) return;
    if (refused) {
      if (onError) onError(Settings.RefusedErrorCode);
      return;
    }
    if (Peer != nullptr) Peer->OnOpened(*this);
    if (onConnect) onConnect();
  });
}

void MemoryLink::close() {
  ++Closes;
  const bool was = open_;
  open_ = false;
  ++generation_;
  lineFreeIn_ = lineFreeOut_ = 0;
  if (was && Peer != nullptr) Peer->OnClosed(*this);
}

int64_t MemoryLink::LineTime(std::size_t Bytes) const {
  if (Settings.Baud <= 0) return 0;
  // 10 bits a byte; rounded up to whole milliseconds.
  const int64_t bits = static_cast<int64_t>(Bytes) * 10 * 1000;
  return (bits + Settings.Baud - 1) / Settings.Baud;
}

void MemoryLink::Deliver(std::string Bytes, bool ToPeer, int64_t AtMs) {
  std::weak_ptr<bool> alive = alive_;
  const uint64_t gen = generation_;
  loop_.schedule(AtMs, [this, alive, gen, ToPeer, bytes = std::move(Bytes)] {
    auto a = alive.lock();
    if (!a || !*a || gen != generation_ || !open_) return;
    if (ToPeer) {
      if (Peer != nullptr) Peer->OnBytes(*this, bytes);
    } else if (onData) {
      onData(bytes);
    }
  });
}

void MemoryLink::write(std::string_view bytes) {
  if (!open_) throw EPortError("port not open");
  if (Settings.FailWrites) throw EPortError("write failed");
  if (Settings.LimitOutput && outBufferSize_ > 0 && bytesToWrite() + bytes.size() > static_cast<std::size_t>(outBufferSize_))
    throw EPortError("output buffer full");
  const int64_t now = loop_.nowMs();
  Writes.push_back({std::string(bytes), now});
  const int64_t start = std::max(now, lineFreeOut_);
  lineFreeOut_ = start + LineTime(bytes.size());
  Deliver(std::string(bytes), true, lineFreeOut_ + Settings.LatencyMs);
}

std::size_t MemoryLink::bytesToWrite() const {
  if (Settings.Baud <= 0) return 0;
  const int64_t left = lineFreeOut_ - loop_.nowMs();
  return left <= 0 ? 0 : static_cast<std::size_t>(left * Settings.Baud / 10000);
}

void MemoryLink::PeerSend(std::string_view Bytes) {
  if (!open_) return;
  const int64_t start = std::max(loop_.nowMs(), lineFreeIn_);
  lineFreeIn_ = start + LineTime(Bytes.size());
  Deliver(std::string(Bytes), false, lineFreeIn_ + Settings.LatencyMs);
}

void MemoryLink::PeerSendNow(std::string_view Bytes) {
  if (open_ && onData) onData(Bytes);
}

void MemoryLink::Drop() {
  if (!open_) return;
  open_ = false;
  ++generation_;
  if (onDisconnect) onDisconnect();
}

void MemoryLink::RaiseError(int Code) {
  if (onError) onError(Code);
}

}  // namespace vornik::testkit
