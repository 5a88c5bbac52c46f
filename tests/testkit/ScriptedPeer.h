// ScriptedPeer is a device stand-in for engine tests: it cuts and decodes every frame the engine
// writes (KRV and KRVW), records it with its virtual arrival time, and hands it to the test's
// OnFrame handler, which answers with Reply/Ack/Nack or stays silent. Frames it builds come from
// the device address given, to the PC (250), in the format asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/KRVProtocol.h"
#include "testkit/MemoryLink.h"

namespace vornik::testkit {

struct PeerFrame {
  std::string Raw;
  uint16_t Result = 0;  ///< decode result
  TInfo Info = TInfo::nem_kerek_nyugtat;
  uint32_t Dst = 0;
  uint32_t Src = 0;
  int Seq = 0;
  std::string Payload;
  bool Krvw = false;
  int64_t AtMs = 0;
};

class ScriptedPeer final : public MemoryPeer {
 public:
  explicit ScriptedPeer(VirtualLoop& Loop, uint32_t Address = 5) : Address(Address), loop_(Loop) {}

  void OnBytes(MemoryLink& Link, std::string_view Bytes) override;
  void OnOpened(MemoryLink& Link) override { link_ = &Link; ++Opened; }
  void OnClosed(MemoryLink&) override { ++Closed; }

  /// Builds a frame from this device (or From) to To.
  std::string Frame(std::string_view Payload, TInfo Info, int Seq, bool Krvw = false, uint32_t To = 250) const;
  std::string FrameFrom(uint32_t From, std::string_view Payload, TInfo Info, int Seq, bool Krvw = false,
                        uint32_t To = 250) const;
  /// Sends raw bytes to the engine over the link (latency applies).
  void Send(std::string_view Bytes);
  /// Answers the frame F with Payload (same id and format, no acknowledgement asked).
  void Reply(const PeerFrame& F, std::string_view Payload, TInfo Info = TInfo::nem_kerek_nyugtat);
  void Ack(const PeerFrame& F) { Reply(F, "", TInfo::pozitiv_nyugta); }
  void Nack(const PeerFrame& F) { Reply(F, "", TInfo::negativ_nyugta); }

  /// Frames that are not acknowledgements (the engine's requests), in arrival order.
  std::vector<PeerFrame> Requests() const;

  uint32_t Address;
  std::function<void(ScriptedPeer&, const PeerFrame&)> OnFrame;
  std::vector<PeerFrame> Received;
  std::string Raw;  ///< every byte received, in order
  int Opened = 0;
  int Closed = 0;

 private:
  VirtualLoop& loop_;
  MemoryLink* link_ = nullptr;
  std::string buffer_;
  TKRVProtocol decoder_;
};

}  // namespace vornik::testkit
