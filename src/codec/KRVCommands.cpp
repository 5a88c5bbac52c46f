#include "codec/KRVCommands.h"

namespace vornik {

namespace {

void PutLE16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}

void PutLE32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint16_t GetLE16(std::string_view s, std::size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

uint32_t GetLE32(std::string_view s, std::size_t at) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

std::string WithStatus(std::string_view Code, uint8_t Status) {
  std::string s(Code);
  s.push_back(static_cast<char>(Status));
  return s;
}

}  // namespace

std::string BuildCSYSI() { return std::string(kCSYSI); }
std::string BuildCSYRS() { return std::string(kCSYRS); }
std::string BuildCELFE() { return std::string(kCELFE); }
std::string BuildCBLUD() { return std::string(kCBLUD); }
std::string BuildCSYCA() { return std::string(kCSYCA); }
std::string BuildCSYGA() { return std::string(kCSYGA); }
std::string BuildBatchOpener() { return std::string(kBatchOpener); }

std::string BuildCFLULProbe() { return BuildCFLUL(kProbePageIndex, true, std::string_view("\0", 1)); }

std::string BuildCFLUL(uint16_t PageIndex, bool AnswerFlag, std::string_view Block) {
  std::string s;
  s.reserve(kCodeLength + 3 + Block.size());
  s.append(kCFLUL);
  PutLE16(s, PageIndex);
  s.push_back(AnswerFlag ? 1 : 0);
  s.append(Block);
  return s;
}

std::string BuildCFLTS(uint32_t ImageLength, uint8_t Flag) {
  std::string s(kCFLTS);
  PutLE32(s, ImageLength);
  s.push_back(static_cast<char>(Flag));
  return s;
}

std::string BuildCFLUD(uint32_t ImageLength, uint16_t Crc, uint16_t StartAddrDiv128) {
  std::string s(kCFLUD);
  PutLE32(s, ImageLength);
  PutLE16(s, Crc);
  PutLE16(s, StartAddrDiv128);
  return s;
}

std::string BuildCFLRC(uint32_t Page, uint16_t Offset, uint16_t Count) {
  std::string s(kCFLRC);
  PutLE32(s, Page);
  PutLE16(s, Offset);
  PutLE16(s, Count);
  return s;
}

std::string BuildCFLPW(uint16_t Page, bool AnswerFlag, std::string_view Data) {
  std::string s;
  s.reserve(kCodeLength + 3 + Data.size());
  s.append(kCFLPW);
  PutLE16(s, Page);
  s.push_back(AnswerFlag ? 1 : 0);
  s.append(Data);
  return s;
}

std::string BuildASYSI(std::string_view Record) {
  std::string s(kASYSI);
  s.append(Record);
  return s;
}

std::string BuildAELFE() { return std::string(kAELFE); }
std::string BuildAFLUL(uint8_t Status) { return WithStatus(kAFLUL, Status); }
std::string BuildAFLUD(uint8_t Status) { return WithStatus(kAFLUD, Status); }
std::string BuildAFLPW(uint8_t Status) { return WithStatus(kAFLPW, Status); }

std::string BuildAFLRC(std::string_view Data) {
  std::string s(kAFLRC);
  s.append(Data);
  return s;
}

std::string BuildASYGA(std::string_view Map) {
  std::string s(kASYGA);
  s.append(Map.substr(0, kReceiptMapLength));
  s.resize(kCodeLength + kReceiptMapLength, '\0');
  return s;
}

bool StartsWithCode(std::string_view Payload, std::string_view Code) {
  return Payload.substr(0, Code.size()) == Code;
}

std::string_view CodeOf(std::string_view Payload) { return Payload.substr(0, kCodeLength); }

std::string_view AfterCode(std::string_view Payload) {
  return Payload.size() > kCodeLength ? Payload.substr(kCodeLength) : std::string_view();
}

std::optional<uint8_t> StatusByte(std::string_view Payload) {
  if (Payload.size() <= kCodeLength) return std::nullopt;
  return static_cast<uint8_t>(Payload[kCodeLength]);
}

std::optional<uint8_t> AnswerStatus(std::string_view Payload, std::string_view Code) {
  if (!StartsWithCode(Payload, Code)) return std::nullopt;
  return StatusByte(Payload);
}

bool IsCFLULProbe(std::string_view Payload) { return Payload == BuildCFLULProbe(); }

std::optional<TCFLUL> ParseCFLUL(std::string_view Payload) {
  if (!StartsWithCode(Payload, kCFLUL) || Payload.size() < kCodeLength + 3) return std::nullopt;
  TCFLUL r;
  r.PageIndex = GetLE16(Payload, kCodeLength);
  r.AnswerFlag = Payload[kCodeLength + 2] != 0;
  r.Block = Payload.substr(kCodeLength + 3);
  return r;
}

std::optional<TCFLTS> ParseCFLTS(std::string_view Payload) {
  if (!StartsWithCode(Payload, kCFLTS) || Payload.size() < kCodeLength + 5) return std::nullopt;
  return TCFLTS{GetLE32(Payload, kCodeLength), static_cast<uint8_t>(Payload[kCodeLength + 4])};
}

std::optional<TCFLUD> ParseCFLUD(std::string_view Payload) {
  if (!StartsWithCode(Payload, kCFLUD) || Payload.size() < kCodeLength + 8) return std::nullopt;
  return TCFLUD{GetLE32(Payload, kCodeLength), GetLE16(Payload, kCodeLength + 4),
                GetLE16(Payload, kCodeLength + 6)};
}

std::optional<TCFLRC> ParseCFLRC(std::string_view Payload) {
  if (!StartsWithCode(Payload, kCFLRC) || Payload.size() < kCodeLength + 8) return std::nullopt;
  return TCFLRC{GetLE32(Payload, kCodeLength), GetLE16(Payload, kCodeLength + 4),
                GetLE16(Payload, kCodeLength + 6)};
}

std::optional<TCFLPW> ParseCFLPW(std::string_view Payload) {
  if (!StartsWithCode(Payload, kCFLPW) || Payload.size() < kCodeLength + 3) return std::nullopt;
  TCFLPW r;
  r.Page = GetLE16(Payload, kCodeLength);
  r.AnswerFlag = Payload[kCodeLength + 2] != 0;
  r.Data = Payload.substr(kCodeLength + 3);
  return r;
}

bool ReceiptBit(std::string_view ASYGAPayload, unsigned Index) {
  if (Index > 255) return false;
  const std::size_t at = kCodeLength + Index / 8;
  if (at >= ASYGAPayload.size()) return false;
  return (static_cast<uint8_t>(ASYGAPayload[at]) >> (Index % 8)) & 1u;
}

}  // namespace vornik
