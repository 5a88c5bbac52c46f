// A PC stand-in for the simulated device's tests: builds request frames with the frame codec (as
// the engine would), feeds them to the device at a given time, advances time, and decodes every
// frame the device sends together with its send time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/KRVCommands.h"
#include "codec/KRVProtocol.h"
#include "sim/SimDevice.h"

namespace vornik::simtest {

struct TOut {
  int64_t AtMs = 0;
  std::string Raw;
  uint16_t Result = 0;  ///< decode result
  bool Krvw = false;
  TInfo Info = TInfo::nem_kerek_nyugtat;
  uint32_t Src = 0;
  uint32_t Dst = 0;
  unsigned Id = 0;
  std::string Payload;
};

class TSimRig {
 public:
  explicit TSimRig(TSimDeviceConfig Config = {}, TSimFaults Faults = {}) : Dev(std::move(Config), std::move(Faults)) {
    Dev.OnOutput = [this](std::string_view Frame) {
      TKRVProtocol dec;
      dec.KRVMode = !Frame.empty() && static_cast<uint8_t>(Frame[0]) == kKRVWStart ? TKRVMode::PMKRVWOnly
                                                                                   : TKRVMode::PMKRVOnly;
      TOut o;
      o.AtMs = now_;
      o.Raw = std::string(Frame);
      o.Payload = dec.Decode(Frame);
      o.Result = dec.DecodeResult();
      o.Krvw = dec.LastWasKRVW();
      o.Info = dec.Info;
      o.Src = dec.Felado;
      o.Dst = dec.Cimzett;
      o.Id = dec.CsomagSorszam;
      Out.push_back(o);
    };
  }

  /// A request frame from the PC (250).
  static std::string Frame(std::string_view Payload, bool Krvw, unsigned Id, TInfo Info = TInfo::nem_kerek_nyugtat,
                           uint32_t To = 178556) {
    TKRVProtocol enc;
    enc.KRVMode = Krvw ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly;
    enc.Cimzett = Krvw ? To : (To & 0xFF);
    enc.Felado = kPCAddress;
    enc.CsomagSorszam = static_cast<uint8_t>(Id);
    enc.Info = Info;
    return enc.Encode(Payload);
  }

  /// Advances to At (running what comes due on the way, in time order).
  void AdvanceTo(int64_t At) {
    while (auto next = Dev.NextWakeMs()) {
      if (*next > At) break;
      now_ = std::max(now_, *next);
      Dev.Tick(now_);
    }
    now_ = std::max(now_, At);
    Dev.Tick(now_);
  }
  void Advance(int64_t Ms) { AdvanceTo(now_ + Ms); }
  int64_t Now() const { return now_; }

  void FeedRaw(std::string_view Bytes) { Dev.Feed(Bytes, now_); }
  /// Sends one request and lets the device answer (Settle ms of time pass).
  void Send(std::string_view Payload, bool Krvw, unsigned Id, TInfo Info = TInfo::nem_kerek_nyugtat,
            int64_t Settle = 5) {
    Dev.Feed(Frame(Payload, Krvw, Id, Info), now_);
    Advance(Settle);
  }
  /// Sends a request and returns the payload of the one answer that is not an acknowledgement
  /// (empty when there is none); clears Out.
  std::string Ask(std::string_view Payload, bool Krvw = true, unsigned Id = 7, int64_t Settle = 5) {
    Out.clear();
    Send(Payload, Krvw, Id, TInfo::nem_kerek_nyugtat, Settle);
    std::string answer;
    for (const auto& o : Out)
      if (o.Info == TInfo::nem_kerek_nyugtat) answer = o.Payload;
    Out.clear();
    return answer;
  }

  TSimDevice Dev;
  std::vector<TOut> Out;

 private:
  int64_t now_ = 0;
};

/// An image of Length bytes with a recognisable pattern.
inline std::string Pattern(std::size_t Length, unsigned Salt = 0) {
  std::string s(Length, '\0');
  for (std::size_t i = 0; i < Length; ++i) s[i] = static_cast<char>((i * 31 + Salt + i / 251) & 0xFF);
  return s;
}

}  // namespace vornik::simtest
