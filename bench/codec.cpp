// Frame codec throughput: encode and decode of 128- and 256-byte payloads and of the largest
// payload a frame holds (886 bytes in KRV, 879 in KRVW: a 1024-byte frame, since a 1000-byte
// payload fits neither format), and the number of heap allocations of one encode, which must be
// exactly one: the result string.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>

#include "codec/KRVProtocol.h"

namespace {
std::atomic<long> gAllocations{0};
bool gAllocationCheckFailed = false;
}

// Every allocation of the process is counted; the encode benchmark reads the count around Encode.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t Size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(Size ? Size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }

using namespace vornik;

namespace {

std::string Payload(std::size_t Length) {
  std::mt19937 rng(42);
  std::string s(Length, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

constexpr int64_t kLargestKRV = 886;   // 1013 bytes after 7-bit grouping
constexpr int64_t kLargestKRVW = 879;  // 14-byte header + 879 bytes pack into 1021

TKRVMode ModeOf(int64_t Arg) { return Arg ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly; }

void SetLabel(benchmark::State& State) { State.SetLabel(State.range(0) ? "KRVW" : "KRV"); }

void BM_Encode(benchmark::State& State) {
  TKRVProtocol e;
  e.KRVMode = ModeOf(State.range(0));
  e.Felado = State.range(0) ? 70000 : 250;
  const std::string payload = Payload(static_cast<std::size_t>(State.range(1)));
  long allocations = 0;
  for (auto _ : State) {
    e.CsomagSorszam = 7;
    const long before = gAllocations.load(std::memory_order_relaxed);
    std::string frame = e.Encode(payload);
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(frame.data());
  }
  State.SetBytesProcessed(State.iterations() * State.range(1));
  State.counters["allocs/encode"] =
      benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(State.iterations()));
  if (allocations != static_cast<long>(State.iterations())) {
    gAllocationCheckFailed = true;
    State.SkipWithError("Encode allocated more than its result string");
  }
  SetLabel(State);
}

void BM_Decode(benchmark::State& State) {
  TKRVProtocol e;
  e.KRVMode = ModeOf(State.range(0));
  e.Felado = State.range(0) ? 70000 : 250;
  e.CsomagSorszam = 7;
  const std::string frame = e.Encode(Payload(static_cast<std::size_t>(State.range(1))));
  TKRVProtocol d;
  d.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  for (auto _ : State) {
    std::string payload = d.Decode(frame);
    benchmark::DoNotOptimize(payload.data());
  }
  if (d.DecodeResult() != drOK) State.SkipWithError("frame refused");
  State.SetBytesProcessed(State.iterations() * State.range(1));
  SetLabel(State);
}

void BM_ExtractAndDecode(benchmark::State& State) {
  // A receive buffer of 16 frames, cut and decoded one by one.
  TKRVProtocol e;
  e.KRVMode = ModeOf(State.range(0));
  e.Felado = State.range(0) ? 70000 : 250;
  const std::string payload = Payload(static_cast<std::size_t>(State.range(1)));
  std::string stream;
  for (int i = 0; i < 16; ++i) stream += e.Encode(payload);
  TKRVProtocol d;
  d.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  for (auto _ : State) {
    std::string buffer = stream;
    for (std::string f = d.ExtractFrame(buffer); !f.empty(); f = d.ExtractFrame(buffer)) {
      benchmark::DoNotOptimize(d.Decode(f).data());
    }
  }
  State.SetBytesProcessed(State.iterations() * 16 * State.range(1));
  SetLabel(State);
}

void Sizes(benchmark::internal::Benchmark* B) {
  for (const int64_t mode : {0, 1}) {
    for (const int64_t size : {int64_t{128}, int64_t{256}, mode ? kLargestKRVW : kLargestKRV}) {
      B->Args({mode, size});
    }
  }
  B->ArgNames({"krvw", "bytes"});
}

}  // namespace

BENCHMARK(BM_Encode)->Apply(Sizes);
BENCHMARK(BM_Decode)->Apply(Sizes);
BENCHMARK(BM_ExtractAndDecode)->Apply(Sizes);

// Like BENCHMARK_MAIN, but the program fails when the allocation check failed.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return gAllocationCheckFailed ? 1 : 0;
}
