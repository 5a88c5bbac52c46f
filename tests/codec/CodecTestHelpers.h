// Small helpers of the codec tests: hex text <-> bytes, and an independent KRVW packer used to
// build damaged frames that still carry a valid checksum.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vornik::test {

inline std::string Hex(std::string_view Text) {
  std::string out;
  unsigned v = 0;
  int digits = 0;
  for (const char c : Text) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (d < 0) continue;
    v = v * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out.push_back(static_cast<char>(v));
      v = 0;
      digits = 0;
    }
  }
  return out;
}

inline std::string ToHex(std::string_view Bytes) {
  std::string s;
  char buf[4];
  for (const char c : Bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", static_cast<uint8_t>(c));
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

/// A KRVW frame around Raw (header + extension + payload as the caller wrote it).
inline std::string WrapKRVW(std::string_view Raw) {
  std::string packed;
  for (std::size_t g = 0; g < Raw.size(); g += 7) {
    uint8_t flag = 0;
    for (std::size_t p = 0; p < 7 && g + p < Raw.size(); ++p) {
      const uint8_t b = static_cast<uint8_t>(Raw[g + p]);
      const bool escape = b < 0x20 || b >= 0xA0;
      packed.push_back(static_cast<char>(escape ? b ^ 0x80 : b));
      if (escape) flag = static_cast<uint8_t>(flag | (1u << p));
    }
    packed.push_back(static_cast<char>(flag < 0x20 ? flag | 0x80 : flag));
  }
  unsigned sum = 0;
  for (const char c : packed) sum += static_cast<uint8_t>(c);
  sum &= 0xFF;
  if (sum < 0x20) sum |= 0x80;
  else if (sum > 250) sum &= 0x7F;
  return "\xFB" + packed + static_cast<char>(sum) + "\xFC";
}

/// A 14-byte KRVW header.
inline std::string KRVWHeader(uint32_t To, uint32_t From, uint8_t Short, uint8_t Info, uint8_t Id,
                              uint8_t ExtLen, uint16_t PayloadLen) {
  std::string h;
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>(To >> (8 * i)));
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>(From >> (8 * i)));
  h.push_back(static_cast<char>(Short));
  h.push_back(static_cast<char>(Info));
  h.push_back(static_cast<char>(Id));
  h.push_back(static_cast<char>(ExtLen));
  h.push_back(static_cast<char>(PayloadLen & 0xFF));
  h.push_back(static_cast<char>(PayloadLen >> 8));
  return h;
}

/// A KRV frame built straight from the frame layout, without the codec.
inline std::string RefKRVFrame(uint8_t To, uint8_t From, uint8_t Info, uint8_t Id, std::string_view Payload) {
  std::string enc;
  for (std::size_t g = 0; g < Payload.size(); g += 7) {
    uint8_t flag = 0;
    for (std::size_t p = 0; p < 7 && g + p < Payload.size(); ++p) {
      const uint8_t b = static_cast<uint8_t>(Payload[g + p]);
      enc.push_back(static_cast<char>(b & 0x7F));
      if (b & 0x80) flag = static_cast<uint8_t>(flag | (0x40 >> p));
    }
    enc.push_back(static_cast<char>(flag));
  }
  const std::size_t n = enc.size();
  std::string body = {static_cast<char>(To), static_cast<char>(From), static_cast<char>(Info | 4),
                      static_cast<char>(Id), static_cast<char>(n >> 7), static_cast<char>(n & 0x7F), 1, 1};
  body += enc;
  unsigned sum = 0;
  for (char& c : body) {
    if (c == 0) c = static_cast<char>(0x80);
    sum += static_cast<uint8_t>(c);
  }
  sum &= 0xFF;
  if (sum > 250) sum -= 128;
  if (sum == 0) sum = 0x80;
  return "\xFD" + body + static_cast<char>(sum) + "\xFE";
}

/// Recomputes the checksum byte of a KRV frame after a test changed its body.
inline void FixKRVChecksum(std::string& Frame) {
  unsigned sum = 0;
  for (std::size_t i = 1; i + 2 < Frame.size(); ++i) sum += static_cast<uint8_t>(Frame[i]);
  sum &= 0xFF;
  if (sum > 250) sum -= 128;
  if (sum == 0) sum = 0x80;
  Frame[Frame.size() - 2] = static_cast<char>(sum);
}

}  // namespace vornik::test
