// Firmware upload timing on the virtual clock: a 256 KiB image over a 115200-baud serial line
// and over a GPRS-like link (300 ms each way, 5 KB/s each way), carried by MemoryLink to the
// simulated device. The figures are simulated seconds, so they are exact and repeatable; the
// benchmark's own time is the CPU cost of simulating the run.
//
// Counters: sim_s (simulated upload time), wire_s (time the line needs for every byte of
// requests and answers), wire_share (wire_s / sim_s), result (the upload result's ordinal, 0 for
// success) and error (the engine's ErrorCode behind result 2), and for the GPRS link limit_s (the
// busier direction's bytes at 5 KB/s) and limit_share (limit_s / sim_s). The serial line keeps the
// port's 4096-byte output buffer: what does not fit is refused, as on a real port.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "comms/KRVComms.h"
#include "procedures/ProcRig.h"
#include "testkit/SimPeer.h"
#include "procedures/uFirmwareUploader.h"
#include "firmware/uHexfileToStr.h"
#include "sim/SimDevice.h"

namespace {

using namespace vornik;
using namespace vornik::testing;

constexpr std::size_t kImageBytes = 256 * 1024;

enum class Mode { Normal, Batched, BatchedNoSize, Turbo, SafeTurbo };

struct Figures {
  bool ok = false;
  double simS = 0;
  std::size_t toDevice = 0;
  std::size_t toPc = 0;
  int32_t repeated = 0;
  int result = -1;          ///< TFWUploadResult ordinal (the command line's exit code)
  uint16_t lastError = 0;   ///< the engine's ErrorCode behind fwrKRVError
};

Figures Upload(testkit::MemoryLinkSettings Link, Mode M, bool Gprs) {
  testkit::VirtualLoop loop;
  TSimDeviceConfig config;
  config.StartInBootloader = true;
  config.TurnaroundMs = 1;
  TSimDevice device(config);
  TSimPeer peer(loop, device);
  testkit::MemoryLinkFactory links(loop, &peer, Link);
  TKRVComms comms(loop, links);
  comms.KRVAddress = config.Address;
  comms.SetKRVMode(TKRVMode::PMKRVWOnly);
  comms.SetActive(true);
  loop.advance(5);
  TFirmwareUploader up(loop);
  up.SetKRVPort(&comms);
  up.BlockLength = 256;  // the device (ARM, 1 KiB receive buffer) takes whole 256-byte blocks
  if (!Gprs && M == Mode::Batched) {
    // The answer times the main window sets for an update; the receipt query of each batch of 50
    // waits behind the whole batch in the port's output buffer (about 1.4 s at 115200 baud).
    comms.Timeout_1 = 300;
    comms.Timeout_2 = 2000;
    comms.Timeout_3 = 4500;
    comms.Max_tries_cmd = 4;
  }
  if (Gprs) {
    // What a technician sets for this line: a block's round trip is 600 ms plus about 60 ms on
    // the line, so every answer time gets 700 ms more.
    comms.LineTimeout = 700;
    up.SetCSYGATimeout(30000);  // the receipt query waits behind a full batch on the line
    up.SetBatchSize(240);
  }
  up.BatchedMode = M == Mode::Batched || M == Mode::BatchedNoSize;
  up.DontSendSize = M == Mode::BatchedNoSize;
  up.TurboMode = M == Mode::Turbo || M == Mode::SafeTurbo;
  up.SafeTurbo = M == Mode::SafeTurbo;
  const std::string plain = TProcRig::Image(kImageBytes);
  std::string image = plain;
  ScrambleImage(image, 0);
  bool done = false;
  TFWUploadResult result = TFWUploadResult::fwrAborted;
  up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult R) {
    done = true;
    result = R;
  };
  const int64_t start = loop.nowMs();
  up.UploadFromStr(image);
  loop.runUntil([&] { return done; }, 24 * 3600 * 1000LL);
  Figures f;
  f.ok = done && result == TFWUploadResult::fwrOk && device.InstalledImage() == plain;
  f.simS = static_cast<double>(loop.nowMs() - start) / 1000.0;
  f.toDevice = device.Counters.BytesIn;
  f.toPc = device.Counters.BytesOut;
  f.repeated = up.RepeatedPckCount();
  f.result = static_cast<int>(result);
  f.lastError = up.LastErrorCode();
  return f;
}

void Report(benchmark::State& State, const Figures& F, double WireS) {
  State.counters["ok"] = F.ok ? 1 : 0;
  State.counters["sim_s"] = F.simS;
  State.counters["wire_s"] = WireS;
  State.counters["wire_share"] = WireS / F.simS;
  State.counters["bytes_to_device"] = static_cast<double>(F.toDevice);
  State.counters["bytes_to_pc"] = static_cast<double>(F.toPc);
  State.counters["result"] = F.result;
  State.counters["error"] = F.lastError;
  // A failed run is reported, not hidden: turbo mode on a slow line is expected to fail.
}

void SerialUpload(benchmark::State& State, Mode M) {
  testkit::MemoryLinkSettings link;
  link.Baud = 115200;
  // The port's output buffer holds ApdOutSize bytes (4096); a write that does not fit is refused
  // and the engine reports it as sent too fast (ErrorCode 4), as the Qt serial port does.
  link.LimitOutput = true;
  Figures f;
  for (auto _ : State) f = Upload(link, M, false);
  const double wire = static_cast<double>(f.toDevice + f.toPc) * 10.0 / 115200.0;
  Report(State, f, wire);
}

void GprsUpload(benchmark::State& State, Mode M) {
  testkit::MemoryLinkSettings link;
  link.Baud = 50000;  // 5000 bytes a second at 10 bits a byte
  link.LatencyMs = 300;
  Figures f;
  for (auto _ : State) f = Upload(link, M, true);
  const double wire = static_cast<double>(f.toDevice + f.toPc) / 5000.0;
  Report(State, f, wire);
  const double limit = static_cast<double>(std::max(f.toDevice, f.toPc)) / 5000.0;
  State.counters["limit_s"] = limit;
  State.counters["limit_share"] = limit / f.simS;
  State.counters["resent"] = f.repeated;
}

BENCHMARK_CAPTURE(SerialUpload, normal, Mode::Normal)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SerialUpload, batched, Mode::Batched)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SerialUpload, turbo, Mode::Turbo)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SerialUpload, safe_turbo, Mode::SafeTurbo)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GprsUpload, normal, Mode::Normal)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GprsUpload, batched, Mode::Batched)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GprsUpload, batched_no_size, Mode::BatchedNoSize)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
