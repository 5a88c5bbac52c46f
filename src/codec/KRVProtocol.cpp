#include "codec/KRVProtocol.h"

#include <algorithm>

namespace vornik {

namespace {

constexpr std::size_t kKRVHeaderLength = 9;   // start byte .. the two 0x01 bytes
constexpr std::size_t kKRVMinFrame = 11;      // header, checksum, stop byte
constexpr std::size_t kKRVWHeaderLength = 14;
constexpr std::size_t kKRVWMinFrame = 15;     // anything of 14 bytes or fewer is too short
constexpr uint8_t kInfoAcknowledgeBit = 0x04;
constexpr uint8_t kInfoAsyer = 0x40;
constexpr uint8_t kInfoNoBitmatrix = 0x10;
constexpr const char* kDoesNotFit = "Data do not fit in KRV packet";

inline uint8_t Byte(std::string_view s, std::size_t i) { return static_cast<uint8_t>(s[i]); }

// Bytes produced by 7-bit grouping: every group of up to seven data bytes is followed by a flag byte.
constexpr std::size_t GroupedLength(std::size_t Raw) { return Raw + (Raw + 6) / 7; }

uint8_t KRVChecksum(const uint8_t* Bytes, std::size_t Count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < Count; ++i) sum += Bytes[i];
  sum &= 0xFF;
  if (sum > 250) sum -= 128;
  if (sum == 0) sum = 0x80;
  return static_cast<uint8_t>(sum);
}

uint8_t KRVWChecksum(const uint8_t* Bytes, std::size_t Count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < Count; ++i) sum += Bytes[i];
  sum &= 0xFF;
  if (sum < 0x20) return static_cast<uint8_t>(sum | 0x80);
  if (sum > 250) return static_cast<uint8_t>(sum & 0x7F);
  return static_cast<uint8_t>(sum);
}

// KRVW packing: least significant flag bit first, every output byte in 0x20..0x9F.
class TKRVWPacker {
 public:
  explicit TKRVWPacker(uint8_t* Out) : out_(Out) {}
  void Put(uint8_t b) {
    if (b < 0x20 || b >= 0xA0) {
      out_[len_++] = static_cast<uint8_t>(b ^ 0x80);
      flag_ |= static_cast<uint8_t>(1u << pos_);
    } else {
      out_[len_++] = b;
    }
    if (++pos_ == 7) CloseGroup();
  }
  void Put(std::string_view s) {
    for (const char c : s) Put(static_cast<uint8_t>(c));
  }
  std::size_t Finish() {
    if (pos_ != 0) CloseGroup();
    return len_;
  }

 private:
  void CloseGroup() {
    out_[len_++] = flag_ < 0x20 ? static_cast<uint8_t>(flag_ | 0x80) : flag_;
    flag_ = 0;
    pos_ = 0;
  }
  uint8_t* out_;
  std::size_t len_ = 0;
  uint8_t flag_ = 0;
  unsigned pos_ = 0;
};

}  // namespace

std::string_view DecodeResultTag(unsigned Result) {
  switch (Result) {
    case drOK: return "OK";
    case drBadChecksum: return "ROSSZ CHSUM";
    case drTooLong: return "TUL NAGY";
    case drNoFrame: return "NINCS KERET";
    case drBadAddress: return "ROSSZ CIM";
    case drBadLength: return "ROSSZ MERET";
    case drTooShort: return "TUL ROVID";
    default: return "ISMRTLN HIB";
  }
}

TKRVProtocol::TKRVProtocol() {
  std::random_device rd;
  rng_.seed(rd());
}

std::string TKRVProtocol::Encode(std::string_view Data) {
  switch (KRVMode) {
    case TKRVMode::PMKRVOnly:
    case TKRVMode::PMDecodeBothEncodeKRV: return EncodeKRV(Data);
    case TKRVMode::PMKRVWOnly:
    case TKRVMode::PMDecodeBothEncodeKRVW: return EncodeKRVW(Data);
  }
  return EncodeKRV(Data);
}

std::string TKRVProtocol::EncodeKRV(std::string_view Data) {
  const std::size_t n = GroupedLength(Data.size());
  if (n > kMaxKRVEncodedPayload) throw EKRVProtocol(kDoesNotFit);
  // A destination or source byte of 0xFD/0xFE would be taken for a start or stop byte by every
  // receiver, so such a frame could never arrive whole.
  const uint8_t dest = static_cast<uint8_t>(Cimzett & 0xFF);
  const uint8_t src = static_cast<uint8_t>(Felado & 0xFF);
  if (dest == kKRVStart || dest == kKRVStop || src == kKRVStart || src == kKRVStop) {
    throw EKRVProtocol("Address cannot be sent in a KRV frame: destination " + std::to_string(dest) +
                       ", source " + std::to_string(src));
  }

  if (CsomagSorszam > 250) {
    CsomagSorszam = 1;
  } else if (CsomagSorszam == 0) {
    CsomagSorszam = static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 250)(rng_));
  }
  Felado_rovid_cim = src;

  uint8_t* b = work_.data();
  b[0] = kKRVStart;
  b[1] = dest;
  b[2] = src;
  b[3] = static_cast<uint8_t>(static_cast<uint8_t>(Info) | kInfoAcknowledgeBit);
  b[4] = CsomagSorszam;
  b[5] = static_cast<uint8_t>(n >> 7);
  b[6] = static_cast<uint8_t>(n & 0x7F);
  b[7] = 0x01;
  b[8] = 0x01;

  // 7-bit groups, most significant flag bit first. A zero byte is written as 0x80 straight away,
  // which is what the zero substitution below would do anyway.
  std::size_t o = kKRVHeaderLength;
  uint8_t flag = 0;
  unsigned pos = 0;
  for (const char c : Data) {
    const uint8_t v = static_cast<uint8_t>(c);
    if (v == 0) {
      b[o++] = 0x80;
    } else {
      b[o++] = static_cast<uint8_t>(v & 0x7F);
      if (v & 0x80) flag |= static_cast<uint8_t>(1u << (6 - pos));
    }
    if (++pos == 7) {
      b[o++] = flag ? flag : 0x80;
      flag = 0;
      pos = 0;
    }
  }
  if (pos != 0) b[o++] = flag ? flag : 0x80;

  for (std::size_t i = 1; i < o; ++i) {
    if (b[i] == 0) b[i] = 0x80;
  }
  b[o] = KRVChecksum(b + 1, o - 1);
  b[o + 1] = kKRVStop;
  lastWasKRVW_ = false;
  return std::string(reinterpret_cast<const char*>(b), o + 2);
}

std::string TKRVProtocol::EncodeKRVW(std::string_view Data) {
  if (Header_extension.size() > 255) {
    throw EKRVProtocol("Header extension longer than 255 bytes: " +
                       std::to_string(Header_extension.size()));
  }
  const std::size_t raw = kKRVWHeaderLength + Header_extension.size() + Data.size();
  const std::size_t m = GroupedLength(raw);
  if (m > kMaxKRVWPackedBlock) throw EKRVProtocol(kDoesNotFit);

  if (CsomagSorszam > 250) CsomagSorszam = 1;

  uint8_t info = static_cast<uint8_t>(static_cast<uint8_t>(Info) & 0x07);
  if (Enable_ASYER) info |= kInfoAsyer;
  if (Disable_bitmatrix) info |= kInfoNoBitmatrix;
  const uint8_t header[kKRVWHeaderLength] = {
      static_cast<uint8_t>(Cimzett), static_cast<uint8_t>(Cimzett >> 8),
      static_cast<uint8_t>(Cimzett >> 16), static_cast<uint8_t>(Cimzett >> 24),
      static_cast<uint8_t>(Felado), static_cast<uint8_t>(Felado >> 8),
      static_cast<uint8_t>(Felado >> 16), static_cast<uint8_t>(Felado >> 24),
      Felado_rovid_cim, info, CsomagSorszam,
      static_cast<uint8_t>(Header_extension.size()),
      static_cast<uint8_t>(Data.size()), static_cast<uint8_t>(Data.size() >> 8)};

  uint8_t* b = work_.data();
  b[0] = kKRVWStart;
  TKRVWPacker packer(b + 1);
  for (const uint8_t h : header) packer.Put(h);
  packer.Put(Header_extension);
  packer.Put(Data);
  const std::size_t packed = packer.Finish();
  b[1 + packed] = KRVWChecksum(b + 1, packed);
  b[2 + packed] = kKRVWStop;
  lastWasKRVW_ = true;
  return std::string(reinterpret_cast<const char*>(b), packed + 3);
}

std::string TKRVProtocol::Decode(std::string_view Frame) {
  switch (KRVMode) {
    case TKRVMode::PMKRVOnly: return DecodeKRV(Frame);
    case TKRVMode::PMKRVWOnly: return DecodeKRVW(Frame);
    case TKRVMode::PMDecodeBothEncodeKRV:
    case TKRVMode::PMDecodeBothEncodeKRVW: break;
  }
  std::string payload = DecodeKRV(Frame);
  if (decodeResult_ == drOK) return payload;
  return DecodeKRVW(Frame);
}

std::string TKRVProtocol::DecodeKRV(std::string_view Frame) {
  const std::size_t size = Frame.size();
  if (size < kKRVMinFrame) {
    decodeResult_ = drTooShort;
    return {};
  }
  if (size > kMaxFrameLength) {
    decodeResult_ = drTooLong;
    return {};
  }
  if (Byte(Frame, 0) != kKRVStart || Byte(Frame, size - 1) != kKRVStop) {
    decodeResult_ = drNoFrame;
    return {};
  }
  const uint8_t dest = Byte(Frame, 1);
  const uint8_t src = Byte(Frame, 2);
  if ((dest > 250 && dest != 255) || src == 0 || src > 250) {
    decodeResult_ = drBadAddress;
    return {};
  }
  const std::size_t n = (Byte(Frame, 5) & 0x7Fu) * 128u + (Byte(Frame, 6) & 0x7Fu);
  if (size != n + kKRVMinFrame) {
    decodeResult_ = drBadLength;
    return {};
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(Frame.data());
  if (KRVChecksum(bytes + 1, kKRVHeaderLength - 1 + n) != bytes[kKRVHeaderLength + n]) {
    decodeResult_ = drBadChecksum;
    return {};
  }

  decodeResult_ = drOK;
  Cimzett = dest;
  Felado = src;
  Felado_rovid_cim = src;
  Info = static_cast<TInfo>(Byte(Frame, 3) & 0x03);
  CsomagSorszam = Byte(Frame, 4);
  lastWasKRVW_ = false;

  // Encoded payload positions 1..n; each group is up to seven data bytes and then its flag byte,
  // and the last encoded byte always closes a group.
  const uint8_t* e = bytes + kKRVHeaderLength;
  std::string payload;
  payload.reserve(n);
  for (std::size_t groupStart = 0; groupStart < n; groupStart += 8) {
    const std::size_t flagAt = std::min(groupStart + 7, n - 1);  // 0-based
    const uint8_t flag = e[flagAt] == 0x80 ? 0 : e[flagAt];
    for (std::size_t i = groupStart; i < flagAt; ++i) {
      uint8_t v = e[i] == 0x80 ? 0 : e[i];
      if (flag & (1u << (6 - (i - groupStart)))) v |= 0x80;
      payload.push_back(static_cast<char>(v));
    }
  }
  return payload;
}

std::string TKRVProtocol::DecodeKRVW(std::string_view Frame) {
  const std::size_t size = Frame.size();
  if (size < kKRVWMinFrame) {
    decodeResult_ = drTooShort;
    return {};
  }
  if (size > kMaxFrameLength) {
    decodeResult_ = drTooLong;
    return {};
  }
  if (Byte(Frame, 0) != kKRVWStart || Byte(Frame, size - 1) != kKRVWStop) {
    decodeResult_ = drNoFrame;
    return {};
  }
  const auto* packed = reinterpret_cast<const uint8_t*>(Frame.data()) + 1;
  const std::size_t m = size - 3;
  if (KRVWChecksum(packed, m) != Byte(Frame, size - 2)) {
    decodeResult_ = drBadChecksum;
    return {};
  }
  // Every packed byte a sender writes lies in 0x20..0x9F. The checksum cannot see bit 7 of a
  // packed byte flipped when the sum is near its ends (0x00..0x1F and 0xFB..0xFF share their sent
  // values with sums 128 apart), but such a flip always leaves that range: the frame is damaged.
  for (std::size_t i = 0; i < m; ++i) {
    if (packed[i] < 0x20 || packed[i] > 0x9F) {
      decodeResult_ = drBadChecksum;
      return {};
    }
  }

  // Unpack into the work buffer: groups of up to seven bytes, each closed by its flag byte; the
  // last packed byte always closes a group.
  uint8_t* raw = work_.data();
  std::size_t rawLen = 0;
  for (std::size_t groupStart = 0; groupStart < m; groupStart += 8) {
    const std::size_t flagAt = std::min(groupStart + 7, m - 1);
    const uint8_t flag = packed[flagAt] & 0x7F;
    for (std::size_t i = groupStart; i < flagAt; ++i) {
      const unsigned p = static_cast<unsigned>(i - groupStart);
      raw[rawLen++] = (flag & (1u << p)) ? static_cast<uint8_t>(packed[i] ^ 0x80) : packed[i];
    }
  }
  if (rawLen < kKRVWHeaderLength) {
    decodeResult_ = drBadLength;
    return {};
  }

  Cimzett = raw[0] | (raw[1] << 8) | (raw[2] << 16) | (static_cast<uint32_t>(raw[3]) << 24);
  Felado = raw[4] | (raw[5] << 8) | (raw[6] << 16) | (static_cast<uint32_t>(raw[7]) << 24);
  Felado_rovid_cim = raw[8];
  const uint8_t info = raw[9];
  CsomagSorszam = raw[10];
  headerExtLength_ = raw[11];
  payloadLength_ = static_cast<uint16_t>(raw[12] | (raw[13] << 8));

  if (rawLen - kKRVWHeaderLength != static_cast<std::size_t>(headerExtLength_) + payloadLength_) {
    decodeResult_ = drBadLength;
    return {};
  }
  Info = static_cast<TInfo>(info & 0x07);
  Enable_ASYER = (info & kInfoAsyer) != 0;
  const char* body = reinterpret_cast<const char*>(raw) + kKRVWHeaderLength;
  Header_extension.assign(body, headerExtLength_);
  std::string payload(body + headerExtLength_, payloadLength_);

  // A KRVW sender has a long address, or is the PC itself.
  if (Felado > 255 || Felado == kPCAddress) {
    decodeResult_ = drOK;
    lastWasKRVW_ = true;
    return payload;
  }
  decodeResult_ = drBadAddress;
  return {};
}

std::string TKRVProtocol::ExtractFrame(std::string& Buffer) {
  switch (KRVMode) {
    case TKRVMode::PMKRVOnly: return Extract(Buffer, kKRVStart, kKRVStop, false);
    case TKRVMode::PMKRVWOnly: return Extract(Buffer, kKRVWStart, kKRVWStop, true);
    case TKRVMode::PMDecodeBothEncodeKRV:
    case TKRVMode::PMDecodeBothEncodeKRVW: break;
  }
  // Neither format can contain the other's stop byte, so the stop byte that comes first ends the
  // oldest complete frame in the buffer. Cutting at a later stop byte would discard that frame.
  const std::size_t krvStop = Buffer.find(static_cast<char>(kKRVStop));
  const std::size_t krvwStop = Buffer.find(static_cast<char>(kKRVWStop));
  if (krvStop == std::string::npos && krvwStop == std::string::npos) return {};
  if (krvStop <= krvwStop) return Extract(Buffer, kKRVStart, kKRVStop, false);
  return Extract(Buffer, kKRVWStart, kKRVWStop, true);
}

std::string TKRVProtocol::Extract(std::string& Buffer, uint8_t Start, uint8_t Stop, bool Krvw) {
  const std::size_t stop = Buffer.find(static_cast<char>(Stop));
  if (stop == std::string::npos) return {};
  const std::size_t start = Buffer.rfind(static_cast<char>(Start), stop);
  const std::size_t from = start == std::string::npos ? 0 : start;
  std::string piece = Buffer.substr(from, stop + 1 - from);
  Buffer.erase(0, stop + 1);
  lastWasKRVW_ = Krvw;
  return piece;
}

}  // namespace vornik
