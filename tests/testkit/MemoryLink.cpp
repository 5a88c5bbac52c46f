#include "testkit/MemoryLink.h"

#include <algorithm>
#include <utility>

namespace vornik::testkit {

MemoryLink::MemoryLink(VirtualLoop& Loop, MemoryPeer* Peer, MemoryLinkSettings Settings)
    : Settings(Settings), Peer(Peer), loop_(Loop), alive_(std::make_shared<bool>(true)) {}

void MemoryLink::SetFaults(const MemoryLinkFaults& NewFaults) {
  Faults = NewFaults;
  rng_.seed(NewFaults.Seed);
}

bool MemoryLink::Chance(double Rate) {
  if (Rate <= 0) return false;
  if (Rate >= 1) return true;
  return static_cast<double>(rng_()) / 4294967296.0 < Rate;
}

int64_t MemoryLink::Below(int64_t Limit) {
  if (Limit <= 1) return 0;
  return static_cast<int64_t>(rng_() % static_cast<uint64_t>(Limit));
}

void MemoryLink::Stall(int64_t Ms) {
  stalledUntil_ = std::max(stalledUntil_, loop_.nowMs() + std::max<int64_t>(Ms, 0));
}

void MemoryLink::Heal() {
  stalledUntil_ = 0;
  cutUntil_ = 0;
}

void MemoryLink::Cut(int64_t Ms) { cutUntil_ = std::max(cutUntil_, loop_.nowMs() + std::max<int64_t>(Ms, 0)); }

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
  heldToPeer_.Bytes.clear();
  heldToEngine_.Bytes.clear();
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

void MemoryLink::Carry(std::string Bytes, bool ToPeer, int64_t AtMs) {
  const MemoryLineFaults& f = ToPeer ? Faults.ToPeer : Faults.ToEngine;
  Held& held = ToPeer ? heldToPeer_ : heldToEngine_;
  if (!f.Any() && held.Bytes.empty()) {
    Deliver(std::move(Bytes), ToPeer, AtMs);
    return;
  }
  if (Chance(f.Drop)) {
    ++FaultsDone.Dropped;
    return;
  }
  if (!Bytes.empty() && Chance(f.BitError)) {
    const auto at = static_cast<std::size_t>(Below(static_cast<int64_t>(Bytes.size())));
    Bytes[at] = static_cast<char>(Bytes[at] ^ (1 << Below(8)));
    ++FaultsDone.BitErrors;
  }
  if (Bytes.size() > 1 && Chance(f.Truncate)) {
    Bytes.resize(static_cast<std::size_t>(1 + Below(static_cast<int64_t>(Bytes.size()) - 1)));
    ++FaultsDone.Truncated;
  }
  if (!held.Bytes.empty()) {
    Bytes.insert(0, held.Bytes);
    held.Bytes.clear();
  } else if (Chance(f.Glue)) {
    ++FaultsDone.Glued;
    held.Bytes = std::move(Bytes);
    held.Serial = ++heldSerial_;
    std::weak_ptr<bool> alive = alive_;
    loop_.schedule(AtMs + f.GlueHoldMs, [this, alive, ToPeer, serial = held.Serial, at = AtMs + f.GlueHoldMs] {
      auto a = alive.lock();
      if (!a || !*a) return;
      Held& h = ToPeer ? heldToPeer_ : heldToEngine_;
      if (h.Serial != serial || h.Bytes.empty()) return;
      Deliver(std::move(h.Bytes), ToPeer, at);
      h.Bytes.clear();
    });
    return;
  }
  const bool duplicate = Chance(f.Duplicate);
  std::string copy = duplicate ? Bytes : std::string();
  if (Bytes.size() > 1 && Chance(f.Split)) {
    ++FaultsDone.Split;
    const auto cut = static_cast<std::size_t>(1 + Below(static_cast<int64_t>(Bytes.size()) - 1));
    const int64_t later = AtMs + 1 + Below(f.SplitGapMs);
    Deliver(Bytes.substr(0, cut), ToPeer, AtMs);
    Deliver(Bytes.substr(cut), ToPeer, later);
    // The line keeps its order: nothing written after this chunk overtakes its second piece.
    int64_t& free = ToPeer ? lineFreeOut_ : lineFreeIn_;
    free = std::max(free, later - Settings.LatencyMs);
  } else {
    Deliver(std::move(Bytes), ToPeer, AtMs);
  }
  if (duplicate) {
    ++FaultsDone.Duplicated;
    Deliver(std::move(copy), ToPeer, AtMs + 1 + Below(f.DuplicateGapMs));
  }
}

void MemoryLink::write(std::string_view bytes) {
  if (!open_) throw EPortError("port not open");
  if (Settings.FailWrites) throw EPortError("write failed");
  if (Settings.LimitOutput && outBufferSize_ > 0 && bytesToWrite() + bytes.size() > static_cast<std::size_t>(outBufferSize_))
    throw EPortError("output buffer full");
  const int64_t now = loop_.nowMs();
  if (KeepWrites) Writes.push_back({std::string(bytes), now});
  const int64_t start = std::max({now, lineFreeOut_, stalledUntil_});
  lineFreeOut_ = start + LineTime(bytes.size());
  if (now < cutUntil_) {
    ++FaultsDone.CutOff;
    return;
  }
  Carry(std::string(bytes), true, lineFreeOut_ + Settings.LatencyMs);
}

std::size_t MemoryLink::bytesToWrite() const {
  if (Settings.Baud <= 0) return 0;
  const int64_t left = lineFreeOut_ - loop_.nowMs();
  return left <= 0 ? 0 : static_cast<std::size_t>(left * Settings.Baud / 10000);
}

void MemoryLink::PeerSend(std::string_view Bytes) {
  if (!open_) return;
  const int64_t now = loop_.nowMs();
  const int64_t start = std::max({now, lineFreeIn_, stalledUntil_});
  lineFreeIn_ = start + LineTime(Bytes.size());
  if (now < cutUntil_) {
    ++FaultsDone.CutOff;
    return;
  }
  Carry(std::string(Bytes), false, lineFreeIn_ + Settings.LatencyMs);
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

void MemoryLink::HangUp() {
  if (!open_) return;
  std::weak_ptr<bool> alive = alive_;
  const uint64_t gen = generation_;
  const int64_t at = std::max(loop_.nowMs(), lineFreeIn_ + Settings.LatencyMs);
  loop_.schedule(at, [this, alive, gen] {
    auto a = alive.lock();
    if (!a || !*a || gen != generation_) return;
    Drop();
  });
}

void MemoryLink::RaiseError(int Code) {
  if (onError) onError(Code);
}

}  // namespace vornik::testkit
