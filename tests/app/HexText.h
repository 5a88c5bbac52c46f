// Intel HEX text for tests: data records of up to 16 bytes with extended linear address records
// where the upper 16 address bits change, and an end-of-file record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vornik::test {

inline std::string HexRecord(int Type, uint16_t Address, const std::string& Data) {
  unsigned sum = static_cast<unsigned>(Data.size()) + (Address >> 8) + (Address & 0xFF) + static_cast<unsigned>(Type);
  char buf[16];
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(Data.size()), Address, Type);
  std::string line = buf;
  for (unsigned char c : Data) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    line += buf;
    sum += c;
  }
  std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + buf + "\n";
}

/// Data placed at absolute address Start.
inline std::string HexText(uint32_t Start, const std::string& Data) {
  std::string out;
  uint32_t upper = 0xFFFFFFFF;
  for (std::size_t pos = 0; pos < Data.size(); pos += 16) {
    const uint32_t addr = Start + static_cast<uint32_t>(pos);
    if ((addr >> 16) != upper) {
      upper = addr >> 16;
      out += HexRecord(4, 0, std::string{static_cast<char>(upper >> 8), static_cast<char>(upper & 0xFF)});
    }
    out += HexRecord(0, static_cast<uint16_t>(addr & 0xFFFF), Data.substr(pos, 16));
  }
  return out + ":00000001FF\n";
}

}  // namespace vornik::test
