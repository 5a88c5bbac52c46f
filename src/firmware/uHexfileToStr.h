// Intel HEX reading, the firmware information block and image scrambling.
//
// A firmware arrives as Intel HEX text. Reading it yields a flat image: the bytes from the
// address of the first data record in file order (StartAddr) up to the highest address any data
// record wrote, every byte that no record wrote being 0xFF. Addresses live in a space of
// kHexAddressSpace bytes; the reader never allocates that space: it keeps the data records as
// they arrive (in blocks, merged where records follow one another) and assembles only the used
// range at the end, replaying the records in file order so a later record overwrites an earlier one.
//
// The information block (TFWInfo, 83 packed bytes) sits at absolute address 0x8000 of a firmware
// whose block begins with "Build:". It is looked up in the whole address space, also below
// StartAddr, before the image is cut.
//
// Errors: a bad line ends the reading with one Hungarian message naming the line (numbered from
// 1, blank lines counted); the reader never throws on bad data and never reads past the end of a
// line. A file without data records, or without an end-of-file record (type 01; a file cut at a
// line boundary would otherwise read as a valid, shorter image), is refused with its own message;
// records after the end-of-file record are still read. Only a file that cannot be opened or read
// raises EFileError.
//
// Scrambling XORs an address-keyed stream over an image; it is its own inverse.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/MorvelUtils.h"

namespace vornik {

/// A file that cannot be opened, read or written; the text is the platform's message.
class EFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t kHexAddressSpace = 0x9000000;  ///< bytes addressable by a HEX file
inline constexpr uint32_t kFWInfoAddress = 0x8000;       ///< absolute address of the information block
inline constexpr std::size_t kFWInfoSize = 83;           ///< bytes of the packed block
inline constexpr std::string_view kBuildMarker = "Build:";
inline constexpr std::string_view kBuildTimeFormat = "YYYY-MM-DD HH:NN:SS";

/// The firmware information block, field by field (offsets of the packed record in comments;
/// numbers little-endian, text fields raw bytes).
struct TFWInfo {
  std::array<char, 11> BuildStr{};  ///< 0
  std::array<char, 6> CompName{};   ///< 11
  std::array<char, 16> ProjName{};  ///< 17
  uint16_t BuildNum = 0;            ///< 33
  std::array<uint8_t, 6> BuildTime{};  ///< 35, packed time
  uint32_t FoscFreqHZ = 0;          ///< 41, Hz
  uint32_t CclkFreqHz = 0;          ///< 45, Hz
  uint32_t SPI_freqHz = 0;          ///< 49, Hz
  uint32_t I2C_freqHz = 0;          ///< 53, Hz
  uint16_t InfoHwId = 0;            ///< 57
  uint16_t Uart0TxBuff = 0;         ///< 59, bytes
  uint16_t Uart0RxBuff = 0;         ///< 61
  uint16_t Uart1TxBuff = 0;         ///< 63
  uint16_t Uart1RxBuff = 0;         ///< 65
  uint16_t Uart2TxBuff = 0;         ///< 67
  uint16_t Uart2RxBuff = 0;         ///< 69
  uint16_t Uart3TxBuff = 0;         ///< 71
  uint16_t Uart3RxBuff = 0;         ///< 73
  uint16_t EthTxBuff = 0;           ///< 75
  uint16_t EthRxBuff = 0;           ///< 77
  uint8_t Port0_485 = 0;            ///< 79
  uint8_t Pin0_485 = 0;             ///< 80
  uint8_t Port1_485 = 0;            ///< 81
  uint8_t Pin1_485 = 0;             ///< 82

  /// Reads the packed record; missing bytes (a shorter string) read as zero.
  static TFWInfo FromBytes(std::string_view Bytes);
  /// The 83-byte packed record.
  std::string ToBytes() const;
  bool operator==(const TFWInfo&) const = default;
};

/// What reading a HEX text produced. On failure Image is empty, ErrorText holds the message and
/// ErrorLine the line it names; FWInfo and InfoFound are then meaningless.
struct THexReadResult {
  bool Ok = false;
  std::string Image;       ///< plain image from StartAddr to the highest written address
  int32_t StartAddr = -1;  ///< address of the first data byte in file order
  TFWInfo FWInfo;
  bool InfoFound = false;
  std::string ErrorText;
  int ErrorLine = 0;
};

/// Reads HEX text held in memory.
THexReadResult ReadHexText(std::string_view Text);

/// Reads a HEX file in pieces (the file is never held whole). Throws EFileError when the file
/// cannot be opened or read.
THexReadResult ReadHexFile(const std::string& FileName);

/// The reader with the caller's variables: true with Image, StartAddr, Info and InfoFound set;
/// false with Image emptied and ErrorText set (Info and InfoFound untouched).
/// Throws EFileError when the file cannot be opened or read.
bool HexfileToStr(const std::string& FileName, std::string& Image, int32_t& StartAddr, TFWInfo& Info,
                  bool& InfoFound, std::string& ErrorText);

/// The one-line text form: key=value entries in record order, blank text fields left out,
/// entries holding a blank, control character, quote or comma quoted.
std::string FWInfoToText(const TFWInfo& Info);
/// Reads a text form (keys without regard to case, first entry of a key wins); missing or bad
/// values give zero or empty fields. True when the text held more than one entry.
bool TextToFWInfo(std::string_view Text, TFWInfo& Info);

/// Splits a comma text into its entries: commas and unquoted characters of code 32 or less
/// separate, "..." quotes with "" standing for one quote. Empty entries between two commas count.
std::vector<std::string> SplitCommaText(std::string_view Text);
/// The entries of a comma text as (name, value) pairs, split at the first "=".
std::vector<std::pair<std::string, std::string>> CommaTextPairs(std::string_view Text);

/// Packed time at 1-based position Pos of Bytes; 0 when fewer than 6 bytes are there or the
/// fields make no valid date and time.
TDateTime PackedToDateTime(std::string_view Bytes, int Pos);
/// The 6-byte packed form of Value (year kept to 15 bits, milliseconds to hundredths).
std::string DateTimeToPacked(TDateTime Value);

/// XORs the address-keyed stream over Image in place; applying it twice restores the image.
void ScrambleImage(std::string& Image, int32_t StartAddr);

}  // namespace vornik
