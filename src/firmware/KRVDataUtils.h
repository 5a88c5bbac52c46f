// Device data routines: the identification record that a device sends in its ASYSI answer, the
// one-line Hungarian text the program shows for it, and the conversions between integers and the
// raw little-endian byte strings ("parameter strings") that go into command payloads.
//
// The record is 66 bytes, little-endian, without padding. A shorter answer is padded with zero
// bytes, a longer one is cut (the bytes beyond are the extra data). How many fields the text shows
// (the field level) follows from how much of the record the device actually sent, so a field that
// the device did not send is never shown. Decoding never throws: an answer too short to hold a
// build date is reported through the failure flag and a "Hibás infó: " text.
//
// Texts are UTF-8 like every text of the program; the raw characters of the record (build
// identifier, build name, device name) are read as Windows-1250, the code page of the devices, so
// that the text stays valid UTF-8. The record itself keeps the raw bytes.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vornik {

/// Raised by ParamStrToInt for a parameter string it cannot read.
class EParamStr : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kDeviceInfoSize = 66;       ///< bytes of the record
inline constexpr std::size_t kDeviceInfoMinSize = 25;    ///< the build date must be complete
inline constexpr std::size_t kDeviceInfoMaxPayload = 999;  ///< bytes after "ASYSI" that are used

/// The ASYSI identification record, field by field (raw character fields keep their bytes).
struct TDeviceInfo {
  std::array<uint8_t, 6> Reserved{};  ///< offset 0, not decoded
  std::array<char, 5> BuildID{};      ///< offset 6
  std::array<char, 6> BuildName{};    ///< offset 11
  double BuildDate = 0.0;             ///< offset 17, days since 1899-12-30
  uint16_t ProjectNumber = 0;         ///< offset 25
  uint8_t DeviceType = 0;             ///< offset 27
  uint16_t RxBufLen = 0;              ///< offset 28, bytes
  uint16_t TxBufLen = 0;              ///< offset 30, bytes
  std::array<char, 24> DeviceName{};  ///< offset 32
  uint16_t BLRev = 0;                 ///< offset 56, bootloader revision
  uint32_t Uptime = 0;                ///< offset 58
  uint8_t BootloaderRunning = 0;      ///< offset 62: 0 firmware runs, else the bootloader
  uint8_t CPUType = 0;                ///< offset 63
  uint16_t Voltage = 0;               ///< offset 64, supply voltage
  std::string ExtraData;              ///< payload bytes from offset 66 on

  /// Fills the record from the bytes after "ASYSI" (padded with zeros or cut to 66 bytes).
  static TDeviceInfo FromBytes(std::string_view Bytes);
};

/// The 13 names of device-type codes 0..12.
extern const std::array<std::string_view, 13> DeviceTypeNames;
/// Name of a device-type code: the table above, "NodeCtrl" (50), "Node" (51), otherwise the
/// code followed by " (készülékkód)".
std::string DeviceTypeText(uint8_t Code);

/// How many fields the text shows for a record of Length bytes (after "ASYSI"): 0 below 25 bytes,
/// otherwise 1..7, the highest level whose fields are all present.
int DeviceInfoLevel(std::size_t Length);

/// Decodes an ASYSI answer payload (with or without the leading "ASYSI"). Returns 0 on success and
/// fills Info and Text; returns 1 for an answer of fewer than 25 bytes, leaves Info unchanged and
/// sets Text to "Hibás infó: " and the bytes as a decimal list.
int DecodeDeviceInfo(std::string_view Payload, TDeviceInfo& Info, std::string& Text);
/// The device name as the information text shows it: every byte 0..31 and 255 becomes '-',
/// then characters of code 32 or less are trimmed at both ends; Windows-1250 read as UTF-8.
std::string DeviceNameText(const std::array<char, 24>& Name);
/// The text of DecodeDeviceInfo alone.
std::string DeviceInfoToStr(std::string_view Payload);

/// Each byte as a three-digit decimal number followed by a blank ("065 066 " for "AB").
std::string ByteListText(std::string_view Bytes);
/// Build date text "yyyy-mm-dd hh:nn"; false when Value is not finite or outside the years 1..9999.
bool FormatBuildDate(double Value, std::string& Text);
/// Windows-1250 bytes as UTF-8 (ASCII stays as it is; undefined codes become U+FFFD).
std::string Win1250ToUtf8(std::string_view Bytes);
/// A log line as UTF-8 for the screen. The program's own texts are UTF-8 already and pass as they
/// are; every other byte above 127 (a device's payload, logged byte for byte) is read as
/// Windows-1250, the devices' code page, instead of becoming a replacement character.
std::string LogTextToUtf8(std::string_view Text);

/// Reads a 1-, 2-, 3- or 4-byte parameter string, little-endian (big-endian with Reverse). One byte
/// gives 0..255, two 0..65535, three 0..16777215, four a signed 32-bit value. Raises EParamStr with
/// "Üres paraméterstring." for an empty string and with an English text for more than 4 bytes.
int32_t ParamStrToInt(std::string_view Param, bool Reverse = false);
/// 4 bytes, little-endian (big-endian with Reverse).
std::string DWordToParamStr(uint32_t Value, bool Reverse = false);
/// 2 bytes, little-endian (big-endian with Reverse).
std::string WordToParamStr(int16_t Value, bool Reverse = false);
/// 1 byte.
std::string ByteToParamStr(uint8_t Value);

}  // namespace vornik
