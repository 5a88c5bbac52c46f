// Helpers for the firmware and tool tests: a scratch folder, whole-file I/O, running external
// tools (objcopy, srec_cat, vornik-tool) through the shell, and HEX lines built by hand with
// correct or deliberately wrong checksums.
#pragma once

#include "testkit/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace vornik::test {

using FwTempDir = TempDir;

inline std::string ReadFileBytes(const std::string& File) { return ReadAll(File); }

inline void WriteFileBytes(const std::string& File, const std::string& Bytes) { WriteAll(File, Bytes); }

/// Runs a shell command; returns its exit code (-1 when it did not exit normally).
inline int Shell(const std::string& Cmd) {
  const int rc = std::system(Cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

/// Deterministic pseudo-random bytes.
inline std::string TestBytes(std::size_t N, uint32_t Seed) {
  std::string s(N, '\0');
  uint32_t x = Seed * 2654435761u + 12345;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

inline std::string Hex2(unsigned V) {
  static const char d[] = "0123456789ABCDEF";
  return {d[(V >> 4) & 15], d[V & 15]};
}

/// One HEX record with its correct checksum, no line end.
inline std::string HexRecord(unsigned Type, unsigned Addr, const std::string& Data) {
  unsigned sum = static_cast<unsigned>(Data.size()) + (Addr & 0xFF) + ((Addr >> 8) & 0xFF) + Type;
  std::string line = ":" + Hex2(static_cast<unsigned>(Data.size())) + Hex2(Addr >> 8) + Hex2(Addr) + Hex2(Type);
  for (char c : Data) {
    line += Hex2(static_cast<uint8_t>(c));
    sum += static_cast<uint8_t>(c);
  }
  return line + Hex2((0x100 - (sum & 0xFF)) & 0xFF);
}
inline std::string DataRec(unsigned Addr, const std::string& Data) { return HexRecord(0, Addr, Data) + "\n"; }
inline std::string LinearRec(unsigned Upper) {
  return HexRecord(4, 0, std::string{static_cast<char>(Upper >> 8), static_cast<char>(Upper & 0xFF)}) + "\n";
}
inline std::string SegmentRec(unsigned Segment) {
  return HexRecord(2, 0, std::string{static_cast<char>(Segment >> 8), static_cast<char>(Segment & 0xFF)}) + "\n";
}
inline const std::string kEofRec = ":00000001FF\n";

/// The 83-byte information block of a test firmware, beginning with "Build:".
inline std::string SampleInfoBytes() {
  std::string b = "Build:00042";              // BuildStr
  b += std::string("KRV01\0", 6);             // CompName
  b += std::string("Meroallomas\0\0\0\0\0", 16);  // ProjName
  b += std::string("\x2A\x00", 2);            // BuildNum 42
  // 2012-03-15 10:20:30.45: year 2012, month 3, day 15, hour 10, minute 20, second 30, 45.
  const uint64_t t = (uint64_t{2012} << 33) | (uint64_t{3} << 29) | (uint64_t{15} << 24) | (uint64_t{10} << 19) |
                     (uint64_t{20} << 13) | (uint64_t{30} << 7) | 45;
  for (int i = 5; i >= 0; --i) b += static_cast<char>((t >> (8 * i)) & 0xFF);
  auto le = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  le(12000000, 4);
  le(72000000, 4);
  le(3000000000u, 4);  // above 2^31: the text form reads it back as 0
  le(400000, 4);
  for (uint32_t v : {7u, 256u, 512u, 128u, 64u, 32u, 16u, 8u, 4u, 1500u, 1600u}) le(v, 2);
  for (uint32_t v : {2u, 19u, 0u, 255u}) le(v, 1);
  return b;
}

}  // namespace vornik::test
