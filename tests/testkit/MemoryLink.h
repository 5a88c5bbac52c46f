// MemoryLink is a PortLink that joins the engine to a peer living in the same process (a scripted
// test peer or a simulated device) on a VirtualLoop. Bytes written by either side arrive at the
// other side as one chunk after the configured latency; with a baud rate set, each direction is a
// line that carries 10 bits per byte, so a chunk arrives only when its last byte has been clocked
// out (plus the latency) and writes queue behind each other. Open failures (missing or busy port,
// refused TCP connection), write failures, a full output buffer and link drops are switched on per
// test.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loop/PortLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testkit {

class MemoryLink;

/// The device side of a MemoryLink.
class MemoryPeer {
 public:
  virtual ~MemoryPeer() = default;
  /// Bytes written by the engine, as they arrive at the peer.
  virtual void OnBytes(MemoryLink& Link, std::string_view Bytes) = 0;
  /// The engine opened (serial) or connected (TCP) the link.
  virtual void OnOpened(MemoryLink&) {}
  /// The engine closed the link or it was dropped.
  virtual void OnClosed(MemoryLink&) {}
};

struct MemoryLinkSettings {
  int64_t LatencyMs = 0;        ///< one-way delay of every chunk
  int Baud = 0;                 ///< 0 = no serialisation delay
  int64_t ConnectDelayMs = 1;   ///< TCP: time from openTcp to onConnect
  enum class Open { Ok, Missing, InUse, OtherError, Refused } OpenResult = Open::Ok;
  int RefusedErrorCode = 10061; ///< onError code of a refused TCP connection
  bool FailWrites = false;      ///< write throws EPortError("write failed")
  /// With a baud rate: write throws EPortError, as the Qt port does, when the bytes still on
  /// their way plus the new ones would pass outBufferSize().
  bool LimitOutput = false;
};

class MemoryLink final : public PortLink {
 public:
  MemoryLink(VirtualLoop& Loop, MemoryPeer* Peer, MemoryLinkSettings Settings = {});
  ~MemoryLink() override;

  void openSerial(int comPort, int baud) override;
  void openTcp(const std::string& host, int port) override;
  void close() override;
  bool isOpen() const override { return open_; }
  void write(std::string_view bytes) override;
  int outBufferSize() const override { return outBufferSize_; }
  void setOutBufferSize(int bytes) override { outBufferSize_ = bytes; }
  std::size_t bytesToWrite() const override;

  // ---- The peer's side ----
  /// Sends bytes from the peer to the engine (latency and baud rate apply).
  void PeerSend(std::string_view Bytes);
  /// Delivers bytes to the engine at once, bypassing latency (one chunk).
  void PeerSendNow(std::string_view Bytes);
  /// The peer hangs up: the engine gets onDisconnect.
  void Drop();
  /// A link error: the engine gets onError(Code); the link stays as it is.
  void RaiseError(int Code);

  MemoryLinkSettings Settings;
  MemoryPeer* Peer;

  // ---- What happened ----
  struct OpenCall {
    bool Tcp;
    std::string Host;
    int Port;
    int Baud;
    int64_t AtMs;
  };
  std::vector<OpenCall> Opens;
  struct Write {
    std::string Bytes;
    int64_t AtMs;
  };
  std::vector<Write> Writes;  ///< every write by the engine, with its virtual time
  int Closes = 0;

 private:
  int64_t LineTime(std::size_t Bytes) const;
  void Deliver(std::string Bytes, bool ToPeer, int64_t AtMs);

  VirtualLoop& loop_;
  bool open_ = false;
  uint64_t generation_ = 0;  ///< bumps on close: chunks in flight of an old connection are lost
  int outBufferSize_ = 4096;
  int64_t lineFreeOut_ = 0;  ///< engine -> peer line busy until
  int64_t lineFreeIn_ = 0;   ///< peer -> engine line busy until
  std::shared_ptr<bool> alive_;
};

/// Creates MemoryLinks to one peer; remembers the last link for the test.
class MemoryLinkFactory final : public PortLinkFactory {
 public:
  MemoryLinkFactory(VirtualLoop& Loop, MemoryPeer* Peer, MemoryLinkSettings Settings = {})
      : loop_(Loop), peer_(Peer), settings_(Settings) {}
  std::unique_ptr<PortLink> createPortLink() override {
    auto link = std::make_unique<MemoryLink>(loop_, peer_, settings_);
    Last = link.get();
    return link;
  }
  MemoryLink* Last = nullptr;

 private:
  VirtualLoop& loop_;
  MemoryPeer* peer_;
  MemoryLinkSettings settings_;
};

}  // namespace vornik::testkit
