// Firmware images for tests: an 83-byte information block, plain images that carry it at
// 0x8000, and an image at address 0 whose vector table marks it as a bootloader.
#pragma once

#include <cstdint>
#include <string>

namespace vornik::test {

// 83-byte information block: build string, names, the rest zero.
inline std::string InfoBlock(const std::string& build = "Build:12345") {
  std::string b = build;
  b.resize(11, '\0');
  b += std::string("KRVDEM", 6);
  std::string proj = "Test project";
  proj.resize(16, '\0');
  b += proj;
  b.resize(83, '\0');
  return b;
}

// Plain image at Start covering 0x8000 with an information block there.
inline std::string ImageWithInfo(uint32_t Start, std::size_t Size, const std::string& build = "Build:12345") {
  std::string img(Size, '\x11');
  for (std::size_t i = 0; i < Size; ++i) img[i] = static_cast<char>(i * 7 + 3);
  const std::string info = InfoBlock(build);
  img.replace(0x8000 - Start, info.size(), info);
  return img;
}

// A bootloader image: at address 0, its first eight little-endian words add up to 0.
inline std::string BootloaderImage(std::size_t Size = 0x9000) {
  std::string boot(Size, '\x33');
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) {
    const uint32_t w = i < 7 ? 0x10000000u * static_cast<uint32_t>(i + 1) : 0u - sum;
    sum += w;
    for (int b = 0; b < 4; ++b) boot[static_cast<std::size_t>(i * 4 + b)] = static_cast<char>(w >> (8 * b));
  }
  boot.replace(0x8000, 83, InfoBlock());
  return boot;
}

}  // namespace vornik::test
