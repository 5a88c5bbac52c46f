// The two small device commands a technician runs by hand, shared by the window and vornik-tool:
//
// - Identify: asks CSYSI and waits for ASYSI. A device may speak either framing, so the request
//   goes out in KRVW first and, when that exchange fails, once more in KRV. Done gets the last
//   exchange's ErrorCode, the answer payload and the framing that answered.
// - Restart: CSYRS is sent without waiting for an answer (the device restarts instead of
//   answering), first in KRVW, then in KRV. Done runs when the engine is through with both.
//
// The engine is left in KRVW framing when Done runs. Opening and closing the link is the caller's
// business. A command object destroyed while an exchange is in flight never calls back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "codec/KRVProtocol.h"

namespace vornik {

class TKRVComms;

class TDeviceCommands {
 public:
  /// The first try's answer time of the identification; the engine scales it per try.
  static constexpr int32_t kIdentifyTimeout = 160;

  using TIdentifyDone = std::function<void(uint16_t ErrorCode, const std::string& Answer, TKRVMode Format)>;

  explicit TDeviceCommands(TKRVComms& Comms) : FComms(Comms) {}
  TDeviceCommands(const TDeviceCommands&) = delete;
  TDeviceCommands& operator=(const TDeviceCommands&) = delete;

  /// The identification's first answer time (at least the engine's answer time of each try).
  int32_t IdentifyTimeout = kIdentifyTimeout;
  /// false: the identification is asked in KRVW only (a KRV frame carries just the low byte of a
  /// longer address).
  bool IdentifyInKRV = true;
  /// Destination of both commands; 0 means the engine's KRVAddress at the time of sending.
  uint32_t Address = 0;

  void Identify(TIdentifyDone Done);
  void Restart(std::function<void()> Done);

 private:
  void SendIdentify(TKRVMode Mode, TIdentifyDone Done, bool Last);
  uint32_t Destination() const;

  TKRVComms& FComms;
  // Callbacks hold a weak reference, so a destroyed command object is simply not called.
  std::shared_ptr<TDeviceCommands*> FSelf = std::make_shared<TDeviceCommands*>(this);
};

}  // namespace vornik
