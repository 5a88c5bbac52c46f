// A minimal device for real-I/O tests and benchmarks: it cuts frames out of the bytes it is fed
// and answers every request addressed to it with "A" + the command's other letters and data, in
// the request's own format and with its packet id, from its address to the sender. Frames that
// are acknowledgements, foreign or broken get no answer. I/O-free: callers move the bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/KRVProtocol.h"

namespace vornik::testing {

class EchoDevice {
 public:
  explicit EchoDevice(uint32_t address) : address_(address) {
    decoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  }

  /// Feeds received bytes; returns the bytes to send back (possibly several answers, or none).
  std::string Feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::string out;
    for (;;) {
      const std::string frame = decoder_.ExtractFrame(buffer_);
      if (frame.empty()) break;
      std::string payload = decoder_.Decode(frame);
      if (decoder_.DecodeResult() != drOK || payload.empty()) continue;
      if (decoder_.Cimzett != address_ && decoder_.Cimzett != kBroadcastAddress) continue;
      if (decoder_.Info == TInfo::pozitiv_nyugta || decoder_.Info == TInfo::negativ_nyugta) continue;
      ++requests_;
      encoder_.KRVMode = decoder_.LastWasKRVW() ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly;
      encoder_.Cimzett = decoder_.Felado;
      encoder_.Felado = address_;
      encoder_.CsomagSorszam = decoder_.CsomagSorszam;
      encoder_.Info = TInfo::nem_kerek_nyugtat;
      payload[0] = 'A';
      out += encoder_.Encode(payload);
    }
    return out;
  }

  int requests() const { return requests_; }

 private:
  uint32_t address_;
  TKRVProtocol decoder_;
  TKRVProtocol encoder_;
  std::string buffer_;
  int requests_ = 0;
};

}  // namespace vornik::testing
