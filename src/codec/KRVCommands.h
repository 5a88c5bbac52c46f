// The device command set as the PC sees it: the five-letter codes, the fixed packet ids of the
// batch session, and one builder per command (and per answer, for simulated devices) so that no
// other code spells payload bytes by hand.
//
// Every payload begins with its five-letter code: a command with "C", its answer with "A" and the
// same four letters. Where an answer reports a status, it is the byte right after the code and 0
// means success. Numbers inside payloads are raw little-endian bytes. The parsers return nothing
// (std::nullopt) for a payload that is too short or carries another code; they never read past the
// end of the payload.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornik {

// Command and answer codes.
inline constexpr std::string_view kCSYSI = "CSYSI";  ///< identify
inline constexpr std::string_view kASYSI = "ASYSI";  ///< identification record follows
inline constexpr std::string_view kCSYRS = "CSYRS";  ///< restart, no answer
inline constexpr std::string_view kCELFE = "CELFE";  ///< erase the data flash
inline constexpr std::string_view kAELFE = "AELFE";
inline constexpr std::string_view kCFLUL = "CFLUL";  ///< firmware block (or the probe)
inline constexpr std::string_view kAFLUL = "AFLUL";
inline constexpr std::string_view kCBLUD = "CBLUD";  ///< announces a bootloader image
inline constexpr std::string_view kCFLTS = "CFLTS";  ///< announces the image size, no answer
inline constexpr std::string_view kCFLUD = "CFLUD";  ///< install the uploaded image
inline constexpr std::string_view kAFLUD = "AFLUD";
inline constexpr std::string_view kCFLRC = "CFLRC";  ///< read from the external flash
inline constexpr std::string_view kAFLRC = "AFLRC";
inline constexpr std::string_view kCFLPW = "CFLPW";  ///< write one external flash page
inline constexpr std::string_view kAFLPW = "AFLPW";
inline constexpr std::string_view kCSYCA = "CSYCA";  ///< clear the batch receipts
inline constexpr std::string_view kCSYGA = "CSYGA";  ///< ask for the batch receipt map
inline constexpr std::string_view kASYGA = "ASYGA";
inline constexpr std::string_view kBatchOpener = "x";  ///< opens a batch session
/// What callers are given for a bare positive acknowledgement.
inline constexpr std::string_view kCSYAC = "CSYAC";
/// Expected-answer text that accepts any answer.
inline constexpr std::string_view kAnyAnswer = "*";

inline constexpr std::size_t kCodeLength = 5;
inline constexpr uint8_t kBatchOpenerId = 249;  ///< packet id of the session opener
inline constexpr uint8_t kCSYCAId = 250;        ///< packet id of the receipt clear
inline constexpr uint8_t kFirstBatchIndex = 1;
inline constexpr uint8_t kLastBatchIndex = 240;
inline constexpr std::size_t kReceiptMapLength = 32;  ///< bytes after "ASYGA"
inline constexpr uint16_t kProbePageIndex = 0xFFFF;

// Status bytes of the answers.
inline constexpr uint8_t kAFLULAccepted = 0;
inline constexpr uint8_t kAFLULPageIndexOutOfRange = 1;
inline constexpr uint8_t kAFLULFlashWriteError = 2;
inline constexpr uint8_t kAFLULNotCompatible = 4;
inline constexpr uint8_t kAFLUDInstalled = 0;
inline constexpr uint8_t kAFLUDChecksumWrong = 1;
inline constexpr uint8_t kAFLUDInstallFailed = 2;
inline constexpr uint8_t kAFLUDNotCompatible = 3;
inline constexpr uint8_t kAFLPWWritten = 0;
inline constexpr uint8_t kAFLPWPageIndexOutOfRange = 1;
inline constexpr uint8_t kAFLPWWriteError = 2;
inline constexpr uint8_t kAFLPWReadError = 3;

// Commands.
std::string BuildCSYSI();
std::string BuildCSYRS();
std::string BuildCELFE();
std::string BuildCBLUD();
std::string BuildCSYCA();
std::string BuildCSYGA();
std::string BuildBatchOpener();
/// "CFLUL" FF FF 01 00: asks whether the running program accepts blocks.
std::string BuildCFLULProbe();
/// One firmware block; AnswerFlag false is turbo mode (the device does not answer).
std::string BuildCFLUL(uint16_t PageIndex, bool AnswerFlag, std::string_view Block);
std::string BuildCFLTS(uint32_t ImageLength, uint8_t Flag);
std::string BuildCFLUD(uint32_t ImageLength, uint16_t Crc, uint16_t StartAddrDiv128);
std::string BuildCFLRC(uint32_t Page, uint16_t Offset, uint16_t Count);
std::string BuildCFLPW(uint16_t Page, bool AnswerFlag, std::string_view Data);

// Answers (what a device sends back).
std::string BuildASYSI(std::string_view Record);
std::string BuildAELFE();
std::string BuildAFLUL(uint8_t Status);
std::string BuildAFLUD(uint8_t Status);
std::string BuildAFLRC(std::string_view Data);
std::string BuildAFLPW(uint8_t Status);
/// "ASYGA" and the 32-byte receipt map; a shorter map is padded with zero bytes, a longer one cut.
std::string BuildASYGA(std::string_view Map);

// Reading payloads.
/// True when Payload begins with Code (the whole code must be present).
bool StartsWithCode(std::string_view Payload, std::string_view Code);
/// The five-letter code of Payload, or what there is of it when shorter.
std::string_view CodeOf(std::string_view Payload);
/// Everything after the five-letter code (empty when the payload is shorter).
std::string_view AfterCode(std::string_view Payload);
/// The status byte right after the code; nullopt when the payload has no sixth byte.
std::optional<uint8_t> StatusByte(std::string_view Payload);
/// Status byte of an answer that must begin with Code; nullopt for another code or no status byte.
std::optional<uint8_t> AnswerStatus(std::string_view Payload, std::string_view Code);

struct TCFLUL {
  uint16_t PageIndex = 0;
  bool AnswerFlag = false;
  std::string_view Block;  ///< points into the parsed payload
};
struct TCFLTS {
  uint32_t ImageLength = 0;
  uint8_t Flag = 0;
};
struct TCFLUD {
  uint32_t ImageLength = 0;
  uint16_t Crc = 0;
  uint16_t StartAddrDiv128 = 0;
};
struct TCFLRC {
  uint32_t Page = 0;
  uint16_t Offset = 0;
  uint16_t Count = 0;
};
struct TCFLPW {
  uint16_t Page = 0;
  bool AnswerFlag = false;
  std::string_view Data;  ///< points into the parsed payload
};

/// True for exactly the probe payload.
bool IsCFLULProbe(std::string_view Payload);
std::optional<TCFLUL> ParseCFLUL(std::string_view Payload);
std::optional<TCFLTS> ParseCFLTS(std::string_view Payload);
std::optional<TCFLUD> ParseCFLUD(std::string_view Payload);
std::optional<TCFLRC> ParseCFLRC(std::string_view Payload);
std::optional<TCFLPW> ParseCFLPW(std::string_view Payload);

/// Whether the receipt map after "ASYGA" marks batch index Index (0..255) as received: bit
/// Index % 8 of map byte Index / 8. Map bytes missing from a short answer count as zero (missing).
bool ReceiptBit(std::string_view ASYGAPayload, unsigned Index);

}  // namespace vornik
