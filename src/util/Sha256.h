// SHA-256 of a byte string, for checking a firmware file against the checksum file published
// beside it (the lines `sha256sum` writes) and for naming an image in reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vornik {

class TSha256 {
 public:
  TSha256();
  void Add(std::string_view Bytes);
  /// The digest; the object is spent afterwards.
  std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* P);

  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buf_{};
  std::size_t used_ = 0;
  uint64_t total_ = 0;
};

/// The digest of Bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view Bytes);

}  // namespace vornik
