// External flash transfer timing on the virtual clock: 256 KiB written into and read back from
// the simulated device's flash over a 115200-baud serial line (MemoryLink), in normal and turbo
// mode, with the flash page's settings (264-byte pages, 255-byte read blocks). The figures are
// simulated seconds, exact and repeatable.
//
// Counters: sim_s (simulated transfer time), wire_s (time the line needs for every byte of
// requests and answers), wire_share (wire_s / sim_s: how close the transfer comes to the line's
// limit), ok (the data arrived exactly).
#include <benchmark/benchmark.h>

#include <string>

#include "comms/KRVComms.h"
#include "testkit/SimPeer.h"
#include "procedures/uFlashReaderWriter.h"
#include "sim/SimDevice.h"

namespace {

using namespace vornik;
using namespace vornik::testing;

constexpr std::size_t kBytes = 256 * 1024;

struct Figures {
  bool ok = false;
  double simS = 0;
  double wireS = 0;
};

Figures Transfer(bool Write, bool Turbo) {
  testkit::VirtualLoop loop;
  TSimDeviceConfig config;
  config.TurnaroundMs = 1;
  TSimDevice device(config);
  TSimPeer peer(loop, device);
  testkit::MemoryLinkSettings link;
  link.Baud = 115200;
  testkit::MemoryLinkFactory links(loop, &peer, link);
  TKRVComms comms(loop, links);
  comms.KRVAddress = config.Address;
  comms.SetKRVMode(TKRVMode::PMKRVWOnly);
  comms.SetActive(true);
  loop.advance(5);

  std::string data(kBytes, '\0');
  for (std::size_t i = 0; i < kBytes; ++i) data[i] = static_cast<char>(i * 31 + (i >> 9));
  if (!Write) device.Flash().replace(0, kBytes, data);

  TFlashReaderWriter frw;
  frw.SetKRVPort(&comms);
  frw.FlashPageSize = 264;
  frw.BlockSize = 255;
  frw.TurboMode = Turbo;
  bool done = false;
  bool ok = false;
  frw.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult r) {
    done = true;
    ok = r == TFlashRWResult::freOk && device.Flash().compare(0, kBytes, data) == 0;
  };
  frw.OnReadingDone = [&](TFlashReaderWriter*, TFlashRWResult r, std::string& s) {
    done = true;
    ok = r == TFlashRWResult::freOk && s == data;
  };
  const auto in0 = device.Counters.BytesIn, out0 = device.Counters.BytesOut;
  const int64_t start = loop.nowMs();
  if (Write)
    frw.WriteFlashFromStr(0, data);
  else
    frw.ReadFlashToStr(0, static_cast<uint32_t>(kBytes));
  loop.runUntil([&] { return done; }, 24 * 3600 * 1000LL);
  // A turbo write ends when the last page is handed to the line; it counts until the device
  // has every page.
  if (Write && done && !ok && Turbo)
    ok = loop.runUntil([&] { return device.Flash().compare(0, kBytes, data) == 0; }, 600 * 1000LL);
  Figures f;
  f.ok = done && ok;
  f.simS = static_cast<double>(loop.nowMs() - start) / 1000.0;
  f.wireS = static_cast<double>(device.Counters.BytesIn - in0 + device.Counters.BytesOut - out0) * 10.0 / 115200.0;
  return f;
}

void Flash(benchmark::State& State, bool Write, bool Turbo) {
  Figures f;
  for (auto _ : State) f = Transfer(Write, Turbo);
  State.counters["ok"] = f.ok ? 1 : 0;
  State.counters["sim_s"] = f.simS;
  State.counters["wire_s"] = f.wireS;
  State.counters["wire_share"] = f.wireS / f.simS;
}

}  // namespace

BENCHMARK_CAPTURE(Flash, upload_normal, true, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Flash, upload_turbo, true, true)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Flash, download_normal, false, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Flash, download_turbo, false, true)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
