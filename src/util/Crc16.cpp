#include "util/MorvelUtils.h"

namespace vornik {

uint16_t Crc16(std::string_view Data) {
  uint16_t crc = 0xFFFF;
  for (const char c : Data) {
    crc ^= static_cast<uint8_t>(c);
    for (int i = 0; i < 8; ++i) {
      const bool carry = crc & 1u;
      crc >>= 1;
      if (carry) crc ^= 0xA001;
    }
  }
  return crc;
}

bool IsBitSet(uint16_t Value, unsigned Bit) { return Bit < 16 && ((Value >> Bit) & 1u) != 0; }

}  // namespace vornik
