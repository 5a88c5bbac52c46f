// TSimBus is several simulated devices on one shared line, as KRV devices sit on one RS485 bus
// behind one adapter: every byte that arrives goes to every device, each device cuts its own frames
// and answers only those addressed to it (or to the broadcast address), and all of them send on
// the one line. Like TSimDevice it does no I/O and reads no clock; the host drives it exactly as it
// drives a single device (Feed, Tick at NextWakeMs, OnOutput), so a program or a test rig serves a
// bus where it served one device.
//
// Each device keeps its own state (program, upload, flash, faults). Devices are numbered in the
// order they were added; their addresses should differ, or two of them answer the same request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/SimDevice.h"

namespace vornik {

class TSimBus {
 public:
  TSimBus() = default;
  /// Count devices with addresses First, First+1, ... (Config's other fields for all of them;
  /// each device's fault generator is seeded with Faults.Seed plus its index).
  TSimBus(int Count, const TSimDeviceConfig& Config, const TSimFaults& Faults = {});
  TSimBus(const TSimBus&) = delete;
  TSimBus& operator=(const TSimBus&) = delete;

  /// Puts another device on the bus; the bus owns it.
  TSimDevice& Add(TSimDeviceConfig Config, TSimFaults Faults = {});

  // ---- Host side, as on TSimDevice ----
  void Feed(std::string_view Bytes, int64_t NowMs);
  void Tick(int64_t NowMs);
  std::optional<int64_t> NextWakeMs() const;
  void LinkDown();
  void LinkUp();
  /// True once after any device hung up the line (see TSimDevice::TakeHangUp).
  bool TakeHangUp();

  /// Every frame any device sends, at the time it is sent.
  std::function<void(std::string_view Frame)> OnOutput;

  std::size_t Size() const { return devices_.size(); }
  TSimDevice& Device(std::size_t Index) { return *devices_.at(Index); }
  /// The device with this address, or nullptr.
  TSimDevice* Find(uint32_t Address);

 private:
  std::vector<std::unique_ptr<TSimDevice>> devices_;
};

}  // namespace vornik
