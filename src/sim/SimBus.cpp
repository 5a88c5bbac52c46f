#include "sim/SimBus.h"

#include <algorithm>

namespace vornik {

TSimBus::TSimBus(int Count, const TSimDeviceConfig& Config, const TSimFaults& Faults) {
  for (int i = 0; i < Count; ++i) {
    TSimDeviceConfig c = Config;
    c.Address = Config.Address + static_cast<uint32_t>(i);
    TSimFaults f = Faults;
    f.Seed = Faults.Seed + static_cast<uint32_t>(i);
    Add(std::move(c), std::move(f));
  }
}

TSimDevice& TSimBus::Add(TSimDeviceConfig Config, TSimFaults Faults) {
  devices_.push_back(std::make_unique<TSimDevice>(std::move(Config), std::move(Faults)));
  TSimDevice& d = *devices_.back();
  d.OnOutput = [this](std::string_view Frame) {
    if (OnOutput) OnOutput(Frame);
  };
  return d;
}

void TSimBus::Feed(std::string_view Bytes, int64_t NowMs) {
  for (auto& d : devices_) d->Feed(Bytes, NowMs);
}

void TSimBus::Tick(int64_t NowMs) {
  for (auto& d : devices_) d->Tick(NowMs);
}

std::optional<int64_t> TSimBus::NextWakeMs() const {
  std::optional<int64_t> next;
  for (const auto& d : devices_) {
    const auto at = d->NextWakeMs();
    if (at && (!next || *at < *next)) next = at;
  }
  return next;
}

void TSimBus::LinkDown() {
  for (auto& d : devices_) d->LinkDown();
}

void TSimBus::LinkUp() {
  for (auto& d : devices_) d->LinkUp();
}

bool TSimBus::TakeHangUp() {
  bool any = false;
  for (auto& d : devices_) any = d->TakeHangUp() || any;
  return any;
}

TSimDevice* TSimBus::Find(uint32_t Address) {
  const auto it = std::find_if(devices_.begin(), devices_.end(),
                               [Address](const auto& D) { return D->Config.Address == Address; });
  return it == devices_.end() ? nullptr : it->get();
}

}  // namespace vornik
