// TKRVProtocol turns a payload (a byte string that starts with its five-letter command code) and
// the header fields into a KRV or KRVW frame, decodes frames back, and cuts the next candidate
// frame off the front of a receive buffer.
//
// KRV: 8-bit addresses, 9-byte header, payload packed into 7-bit groups, 0xFD ... 0xFE.
// KRVW: 32-bit addresses, 14-byte header + optional extension, everything packed into
// 0x20..0x9F, 0xFB ... 0xFC. Neither format can contain the other's start or stop bytes, so
// both can share one receive buffer.
//
// The header fields are the inputs of Encode and the outputs of Decode, so an instance is used
// either for encoding or for decoding (the engine keeps one of each). Decoding never throws:
// every defect is reported through DecodeResult. Encoding throws EKRVProtocol with
// "Data do not fit in KRV packet" rather than truncate; it also refuses a header extension that its
// one-byte length field cannot describe and KRV address bytes that would read as start/stop bytes.
//
// ExtractFrame in the decode-both modes cuts at whichever stop byte (0xFE or 0xFC) comes first, so a
// complete frame of one format is never thrown away because a frame of the other format follows it.
//
// Both formats are assembled in a fixed 1024-byte work buffer; the result string is the only
// allocation of Encode.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vornik {

/// Packet kind carried in every frame header.
enum class TInfo : uint8_t {
  nem_kerek_nyugtat = 0,  ///< no acknowledgement requested
  kerek_nyugtat = 1,      ///< acknowledgement requested
  pozitiv_nyugta = 2,     ///< positive acknowledgement
  negativ_nyugta = 3,     ///< negative acknowledgement
  ismetelt_csomag = 4,    ///< repeated packet (KRVW only)
};

/// Which format is encoded and which are decoded.
enum class TKRVMode : uint8_t {
  PMKRVOnly = 0,
  PMKRVWOnly = 1,
  PMDecodeBothEncodeKRV = 2,
  PMDecodeBothEncodeKRVW = 3,
};

/// Decode results; a failed frame maps to engine ErrorCode result + 51.
enum TDecodeResult : uint16_t {
  drOK = 0,
  drBadChecksum = 1,  ///< "ROSSZ CHSUM"
  drTooLong = 2,      ///< "TUL NAGY"
  drNoFrame = 3,      ///< "NINCS KERET"
  drBadAddress = 4,   ///< "ROSSZ CIM"
  drBadLength = 5,    ///< "ROSSZ MERET"
  drTooShort = 6,     ///< "TUL ROVID"
};

class EKRVProtocol : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint8_t kKRVStart = 0xFD;
inline constexpr uint8_t kKRVStop = 0xFE;
inline constexpr uint8_t kKRVWStart = 0xFB;
inline constexpr uint8_t kKRVWStop = 0xFC;
inline constexpr std::size_t kMaxFrameLength = 1024;       ///< bytes
inline constexpr std::size_t kMaxKRVEncodedPayload = 1013;  ///< bytes after 7-bit grouping
inline constexpr std::size_t kMaxKRVWPackedBlock = 1021;    ///< bytes after packing
inline constexpr uint32_t kPCAddress = 250;
inline constexpr uint32_t kBroadcastAddress = 255;

/// The packet log's short tag of a decode result ("OK", "ROSSZ CHSUM", ... "ISMRTLN HIB").
std::string_view DecodeResultTag(unsigned Result);

class TKRVProtocol {
 public:
  TKRVProtocol();  // seeds the packet-id generator from the system

  // Header fields: inputs of Encode, outputs of Decode.
  uint32_t Cimzett = 1;            ///< destination address
  uint32_t Felado = kPCAddress;    ///< source address
  uint8_t Felado_rovid_cim = 250;  ///< short source address (KRVW header byte 8)
  uint8_t CsomagSorszam = 0;       ///< packet id
  TInfo Info = TInfo::nem_kerek_nyugtat;
  bool Enable_ASYER = false;       ///< KRVW info bit 0x40
  bool Disable_bitmatrix = false;  ///< KRVW info bit 0x10
  std::string Header_extension;    ///< KRVW header extension (at most 255 bytes)
  TKRVMode KRVMode = TKRVMode::PMKRVOnly;

  /// Builds a frame from Data and the header fields in the format KRVMode selects.
  /// Adjusts CsomagSorszam (and Felado_rovid_cim for KRV). Throws EKRVProtocol.
  std::string Encode(std::string_view Data);
  /// Returns the payload; sets DecodeResult and, on success, the header fields.
  std::string Decode(std::string_view Frame);
  /// Cuts the next candidate frame off the front of Buffer; "" when no stop byte is there yet.
  std::string ExtractFrame(std::string& Buffer);

  uint16_t DecodeResult() const { return decodeResult_; }
  bool LastWasKRVW() const { return lastWasKRVW_; }
  uint8_t HeaderExtensionLength() const { return headerExtLength_; }  ///< from the last KRVW decode
  uint16_t PayloadLength() const { return payloadLength_; }          ///< from the last KRVW decode

  /// Makes the random KRV packet ids repeatable (tests, simulations).
  void SeedRandom(uint32_t Seed) { rng_.seed(Seed); }

 private:
  std::string EncodeKRV(std::string_view Data);
  std::string EncodeKRVW(std::string_view Data);
  std::string DecodeKRV(std::string_view Frame);
  std::string DecodeKRVW(std::string_view Frame);
  std::string Extract(std::string& Buffer, uint8_t Start, uint8_t Stop, bool Krvw);

  uint16_t decodeResult_ = drOK;
  bool lastWasKRVW_ = false;
  uint8_t headerExtLength_ = 0;
  uint16_t payloadLength_ = 0;
  std::mt19937 rng_;
  std::array<uint8_t, kMaxFrameLength> work_{};  ///< frames are assembled here
};

}  // namespace vornik
