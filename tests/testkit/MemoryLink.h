// MemoryLink is a PortLink that joins the engine to a peer living in the same process (a scripted
// test peer or a simulated device) on a VirtualLoop. Bytes written by either side arrive at the
// other side as one chunk after the configured latency; with a baud rate set, each direction is a
// line that carries 10 bits per byte, so a chunk arrives only when its last byte has been clocked
// out (plus the latency) and writes queue behind each other. Open failures (missing or busy port,
// refused TCP connection), write failures, a full output buffer and link drops are switched on per
// test.
//
// Line faults. Every write of the engine and every PeerSend of the peer is one chunk (one frame, as
// both sides write whole frames), and MemoryLinkFaults damages chunks the way a bad line does:
// lost, bits flipped, the tail lost, split in two, held back and glued to the next chunk, or
// delivered twice. All choices come from one generator seeded with the faults' Seed, so a run is
// repeatable. Stall(ms) holds both directions for a while (nothing is lost, everything arrives
// late, in order); Cut(ms) kills the line for a while (everything written meanwhile is lost),
// as a pulled cable does to a serial line whose port stays open.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
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

/// Damage to the chunks of one direction; rates are chances per chunk, 0..1.
struct MemoryLineFaults {
  double Drop = 0;       ///< the chunk is lost
  double BitError = 0;   ///< one bit of one byte is flipped
  double Truncate = 0;   ///< a random tail of the chunk is lost
  double Split = 0;      ///< the chunk arrives in two pieces, the second up to SplitGapMs later
  double Glue = 0;       ///< the chunk is held back and arrives together with the next one
  double Duplicate = 0;  ///< the chunk arrives twice, the copy up to DuplicateGapMs later
  int64_t SplitGapMs = 50;
  int64_t DuplicateGapMs = 300;
  int64_t GlueHoldMs = 200;  ///< a held chunk with no follower arrives alone after this time
  bool Any() const { return Drop > 0 || BitError > 0 || Truncate > 0 || Split > 0 || Glue > 0 || Duplicate > 0; }
};

struct MemoryLinkFaults {
  uint32_t Seed = 1;
  MemoryLineFaults ToPeer;    ///< engine -> peer
  MemoryLineFaults ToEngine;  ///< peer -> engine
  bool Any() const { return ToPeer.Any() || ToEngine.Any(); }
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
  /// The peer hangs up right after what it has sent: the engine gets the last chunk and then
  /// onDisconnect in the same millisecond, as a socket that reads its last bytes and the close
  /// in one go reports them.
  void HangUp();
  /// A link error: the engine gets onError(Code); the link stays as it is.
  void RaiseError(int Code);
  /// Both directions carry nothing for Ms; what is written meanwhile arrives afterwards.
  void Stall(int64_t Ms);
  /// Both directions lose everything written during the next Ms (the port stays open).
  void Cut(int64_t Ms);
  /// Ends a stall and a cut at once.
  void Heal();
  /// Replaces the line faults and restarts their generator from Faults.Seed.
  void SetFaults(const MemoryLinkFaults& Faults);

  MemoryLinkSettings Settings;
  MemoryLinkFaults Faults;  ///< line faults (none by default; SetFaults re-seeds them)
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
  bool KeepWrites = true;     ///< false: Writes stays empty (long runs)
  int Closes = 0;
  /// What the line faults did.
  struct FaultCounters {
    int Dropped = 0, BitErrors = 0, Truncated = 0, Split = 0, Glued = 0, Duplicated = 0, CutOff = 0;
  } FaultsDone;

 private:
  int64_t LineTime(std::size_t Bytes) const;
  void Deliver(std::string Bytes, bool ToPeer, int64_t AtMs);
  /// Applies the line faults to one chunk that would arrive at AtMs, then delivers what is left.
  void Carry(std::string Bytes, bool ToPeer, int64_t AtMs);
  bool Chance(double Rate);
  int64_t Below(int64_t Limit);  ///< 0 .. Limit-1

  VirtualLoop& loop_;
  bool open_ = false;
  uint64_t generation_ = 0;  ///< bumps on close: chunks in flight of an old connection are lost
  int outBufferSize_ = 4096;
  int64_t lineFreeOut_ = 0;  ///< engine -> peer line busy until
  int64_t lineFreeIn_ = 0;   ///< peer -> engine line busy until
  int64_t stalledUntil_ = 0;
  int64_t cutUntil_ = 0;
  std::mt19937 rng_;
  struct Held {
    std::string Bytes;
    uint64_t Serial = 0;  ///< tells a held chunk from a later one when its flush comes due
  } heldToPeer_, heldToEngine_;
  uint64_t heldSerial_ = 0;
  std::shared_ptr<bool> alive_;
};

/// Creates MemoryLinks to one peer; remembers the last link for the test.
class MemoryLinkFactory final : public PortLinkFactory {
 public:
  MemoryLinkFactory(VirtualLoop& Loop, MemoryPeer* Peer, MemoryLinkSettings Settings = {})
      : loop_(Loop), peer_(Peer), settings_(Settings) {}
  std::unique_ptr<PortLink> createPortLink() override {
    auto link = std::make_unique<MemoryLink>(loop_, peer_, settings_);
    link->SetFaults(Faults);
    Last = link.get();
    return link;
  }
  MemoryLink* Last = nullptr;
  MemoryLinkFaults Faults;  ///< given to every link created

 private:
  VirtualLoop& loop_;
  MemoryPeer* peer_;
  MemoryLinkSettings settings_;
};

}  // namespace vornik::testkit
