// The frame side of TScriptDevice: cuts the PC's frames out of the bytes it receives, drops
// frames for other addresses, acknowledges requests that ask for it, and answers each request in
// the format it came in, from the device's address to 250 with the request's packet id. Between
// "CSYCA" and "CSYGA" the device is collecting a batch: block packets are recorded by their packet
// id and not answered. Frames can be lost in either direction with a seeded probability.
#pragma once

#include <cstdint>
#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codec/KRVCommands.h"
#include "codec/KRVProtocol.h"
#include "procedures/ScriptDevice.h"
#include "testkit/MemoryLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testing {

class TScriptPeer final : public testkit::MemoryPeer {
 public:
  TScriptPeer(testkit::VirtualLoop& Loop, TScriptDevice& Device, uint32_t Address)
      : loop_(Loop), device_(Device), address_(Address) {
    decoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRVW;
  }

  void OnBytes(testkit::MemoryLink& Link, std::string_view Bytes) override {
    link_ = &Link;
    Receive(Bytes);
  }
  void OnOpened(testkit::MemoryLink& Link) override {
    link_ = &Link;
    ++Opened;
  }
  void OnClosed(testkit::MemoryLink&) override {
    ++Closed;
    buffer_.clear();
  }

  /// Called with each request's code before the device handles it.
  std::function<void(const std::string& Code)> BeforeAnswer;
  /// Called with each request's whole payload before the device handles it.
  std::function<void(const std::string& Payload)> BeforeFrame;
  /// May change an answer before it is sent.
  std::function<void(std::string& Answer)> AnswerFilter;
  std::set<std::string> LoseAnswerOnce;  ///< the next answer to these codes is lost
  int64_t TurnaroundMs = 0;  ///< the device's processing time before it answers
  int Opened = 0;
  int Closed = 0;
  struct TRequest {
    std::string Code;
    bool Krvw;
    uint8_t Id;
    TInfo Info;
    int64_t AtMs;
  };
  std::vector<TRequest> Requests;  ///< every request the device took in (lost ones not)

  double DropIn = 0.0;   ///< share of frames from the PC that are lost
  double DropOut = 0.0;  ///< share of frames to the PC that are lost
  void Seed(uint32_t Seed) {
    std::seed_seq seq{Seed, 0x5EEDu};  // spreads small seeds over the generator's state
    rng_.seed(seq);
  }
  int LostIn = 0;
  int LostOut = 0;
  int FramesIn = 0;
  std::size_t BytesIn = 0;   ///< every byte received from the PC
  std::size_t BytesOut = 0;  ///< every byte sent to the PC
  bool Silent = false;  ///< hears nothing (a device that is off)

  void Receive(std::string_view Bytes) {
    BytesIn += Bytes.size();
    buffer_.append(Bytes);
    for (;;) {
      std::string frame = decoder_.ExtractFrame(buffer_);
      if (frame.empty()) break;
      std::string payload = decoder_.Decode(frame);
      if (decoder_.DecodeResult() != drOK) continue;
      HandleFrame(payload);
    }
  }

 private:
  bool Lost(double Share) { return Share > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < Share; }

  void HandleFrame(const std::string& Payload) {
    const bool krvw = decoder_.LastWasKRVW();
    const uint32_t dest = decoder_.Cimzett;
    const uint32_t own = krvw ? address_ : (address_ & 0xFF);
    if (dest != own && dest != kBroadcastAddress) return;
    if (decoder_.Info == TInfo::pozitiv_nyugta || decoder_.Info == TInfo::negativ_nyugta) return;
    ++FramesIn;
    if (Silent) return;
    if (Lost(DropIn)) {
      ++LostIn;
      return;
    }
    const uint8_t id = decoder_.CsomagSorszam;
    const TInfo info = decoder_.Info;
    const std::string code(CodeOf(Payload));
    Requests.push_back({code, krvw, id, info, loop_.nowMs()});
    if (info == TInfo::kerek_nyugtat) Answer("", TInfo::pozitiv_nyugta, id, krvw);
    std::optional<uint8_t> batchIndex;
    if (collecting_ && code == kCFLUL) batchIndex = id;
    if (code == kCSYCA) collecting_ = true;
    if (code == kCSYGA) collecting_ = false;
    if (BeforeFrame) BeforeFrame(Payload);
    if (BeforeAnswer) BeforeAnswer(code);
    auto answer = device_.Handle(Payload, batchIndex);
    if (!answer) return;
    if (AnswerFilter) AnswerFilter(*answer);
    if (LoseAnswerOnce.erase(code) > 0) return;
    Answer(*answer, TInfo::nem_kerek_nyugtat, id, krvw);
  }

  void Answer(const std::string& Payload, TInfo Info, uint8_t Id, bool Krvw) {
    if (Silent) return;
    if (Lost(DropOut)) {
      ++LostOut;
      return;
    }
    encoder_.KRVMode = Krvw ? TKRVMode::PMDecodeBothEncodeKRVW : TKRVMode::PMDecodeBothEncodeKRV;
    encoder_.Cimzett = kPCAddress;
    encoder_.Felado = Krvw ? address_ : (address_ & 0xFF);
    encoder_.Felado_rovid_cim = static_cast<uint8_t>(address_ & 0xFF);
    encoder_.CsomagSorszam = Id;
    encoder_.Info = Info;
    std::string frame = encoder_.Encode(Payload);
    BytesOut += frame.size();
    testkit::MemoryLink* link = link_;
    if (link == nullptr) return;
    if (TurnaroundMs <= 0) {
      link->PeerSend(frame);
      return;
    }
    // The answer leaves after the turnaround, in order behind earlier ones.
    const int64_t at = std::max(loop_.nowMs() + TurnaroundMs, nextFree_);
    nextFree_ = at;
    loop_.schedule(at, [link, frame = std::move(frame)] { link->PeerSend(frame); });
  }

  testkit::VirtualLoop& loop_;
  TScriptDevice& device_;
  uint32_t address_;
  testkit::MemoryLink* link_ = nullptr;
  int64_t nextFree_ = 0;
  TKRVProtocol decoder_;
  TKRVProtocol encoder_;
  std::string buffer_;
  bool collecting_ = false;
  std::mt19937 rng_{1};
};

}  // namespace vornik::testing
