// Intel HEX reading in memory: a file of 16-byte records (as linkers write them) with four
// segments and gaps, about 1.5 MiB of data in 4 MB of text. Reports text MB/s; the end-to-end
// comparison with objcopy, with peak memory, is bench/hex_vs_objcopy.sh.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "firmware/uHexfileToStr.h"

namespace {

std::string Hex2(unsigned V) {
  static const char d[] = "0123456789ABCDEF";
  return {d[(V >> 4) & 15], d[V & 15]};
}

std::string Record(unsigned Type, unsigned Addr, const uint8_t* Data, unsigned Len) {
  unsigned sum = Len + (Addr & 0xFF) + ((Addr >> 8) & 0xFF) + Type;
  std::string line = ":" + Hex2(Len) + Hex2(Addr >> 8) + Hex2(Addr) + Hex2(Type);
  for (unsigned i = 0; i < Len; ++i) {
    line += Hex2(Data[i]);
    sum += Data[i];
  }
  return line + Hex2((0x100 - (sum & 0xFF)) & 0xFF) + "\r\n";
}

std::string MakeHex() {
  std::string text;
  uint32_t x = 7;
  const struct { uint32_t Start, Size; } segments[] = {
      {0x010000, 400 * 1024}, {0x090000, 300 * 1024}, {0x120000, 500 * 1024}, {0x1C0000, 336 * 1024}};
  unsigned upper = 0xFFFFFFFF;
  for (const auto& s : segments) {
    for (uint32_t a = s.Start; a < s.Start + s.Size; a += 16) {
      if ((a >> 16) != upper) {
        upper = a >> 16;
        const uint8_t u[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
        text += Record(4, 0, u, 2);
      }
      uint8_t data[16];
      for (uint8_t& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
      }
      text += Record(0, a & 0xFFFF, data, 16);
    }
  }
  return text + ":00000001FF\r\n";
}

void BM_ReadHexText(benchmark::State& State) {
  const std::string text = MakeHex();
  for (auto _ : State) {
    vornik::THexReadResult r = vornik::ReadHexText(text);
    if (!r.Ok) State.SkipWithError(r.ErrorText.c_str());
    benchmark::DoNotOptimize(r.Image.data());
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadHexText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
