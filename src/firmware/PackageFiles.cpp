#include "firmware/PackageFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "firmware/KRVDataUtils.h"
#include "util/FileReplace.h"

namespace vornik {

namespace {

constexpr std::string_view kStartAddrMarker = "StartAddr:";
constexpr std::string_view kFWInfoMarker = "FWInfo:";
constexpr std::size_t kStartAddrDigits = 10;
constexpr std::size_t kFWInfoLengthDigits = 5;
constexpr std::size_t kFWInfoHead = 13;  ///< "FWInfo:" + five digits + ":"
constexpr std::size_t kVectorTableSize = 32;  ///< bytes

constexpr const char* kMsgShortBuildStr = "Csonka QOB fájl: a build-szöveg a fájl végén megszakad.";
constexpr const char* kMsgShortStartAddr = "Csonka QOB fájl: a \"StartAddr:\" után nincs meg a 10 számjegy.";
constexpr const char* kMsgShortFWInfo =
    "Csonka QOB fájl: az \"FWInfo:\" rész hosszabb, mint ami a fájlból hátravan.";
constexpr const char* kMsgNoStartAddr = "Sérült QOB fájl: hiányzik belőle a \"StartAddr:\" rész.";
constexpr const char* kMsgBadStartAddr = "Sérült QOB fájl: a \"StartAddr:\" után nem 10 számjegyű cím áll.";
constexpr const char* kMsgBadFWInfoLength =
    "Sérült QOB fájl: az \"FWInfo:\" után nem 5 számjegy és kettőspont áll.";
constexpr const char* kMsgPiecesInsideImage =
    "Sérült QOB fájl: a csomag részei nem a firmware-kép után, a fájl végén állnak.";
constexpr const char* kMsgEmptyImage = "Sérült QOB fájl: nincs benne firmware-kép.";

// Signed 32-bit decimal with an optional sign; 0 for anything else.
int32_t StrToIntDef0(std::string_view S) {
  std::size_t i = 0;
  bool neg = false;
  if (i < S.size() && (S[i] == '-' || S[i] == '+')) neg = S[i++] == '-';
  if (i == S.size()) return 0;
  int64_t v = 0;
  for (; i < S.size(); ++i) {
    if (S[i] < '0' || S[i] > '9') return 0;
    v = v * 10 + (S[i] - '0');
    if (v > 2147483648LL) return 0;
  }
  if (neg) v = -v;
  if (v > 2147483647LL) return 0;
  return static_cast<int32_t>(v);
}

bool AllDigits(std::string_view S) {
  return std::all_of(S.begin(), S.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string HexDigits(std::string_view Bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(Bytes.size() * 2);
  for (char c : Bytes) {
    out += kDigits[static_cast<uint8_t>(c) >> 4];
    out += kDigits[static_cast<uint8_t>(c) & 15];
  }
  return out;
}

// printf-style "%.Nd": at least N digits, the sign in front.
std::string PaddedDecimal(int64_t V, std::size_t Digits) {
  std::string d = std::to_string(V < 0 ? -V : V);
  if (d.size() < Digits) d.insert(0, Digits - d.size(), '0');
  return V < 0 ? "-" + d : d;
}

std::string PlatformMessage(const char* What, const std::string& FileName, int Err) {
  return std::string(What) + " \"" + FileName + "\". " + std::strerror(Err);
}

}  // namespace

std::string FindBuildStr(std::string_view Image) {
  const std::size_t p = Image.find(kBuildMarker);
  if (p == std::string_view::npos) return {};
  return std::string(Image.substr(p, kBuildStrLength));
}

uint32_t VectorTableSum(std::string_view PlainImage) {
  uint32_t sum = 0;
  for (std::size_t k = 0; k < kVectorTableSize / 4; ++k) {
    const std::string_view slice = 4 * k < PlainImage.size() ? PlainImage.substr(4 * k, 4) : std::string_view();
    sum += static_cast<uint32_t>(ParamStrToInt(slice));
  }
  return sum;
}

bool IsBootloaderVectorTable(std::string_view PlainImage) {
  if (PlainImage.size() < kVectorTableSize - 3) return false;
  return VectorTableSum(PlainImage) == 0;
}

void LoadedFirmwareFromHex(THexReadResult&& Hex, TLoadedFirmware& FW) {
  FW.FWImage = std::move(Hex.Image);
  FW.FWStartAddr = Hex.StartAddr;
  FW.FWInfo = Hex.FWInfo;
  FW.FWInfoFound = Hex.InfoFound;
  FW.FWBuildStr = FindBuildStr(FW.FWImage);
  FW.IsBootloaderImage = FW.FWStartAddr == 0 && IsBootloaderVectorTable(FW.FWImage);
  ScrambleImage(FW.FWImage, FW.FWStartAddr);
}

bool ReadQOBBytes(std::string S, TLoadedFirmware& FW, std::string& ChecksumLine, std::string& ErrorText) {
  const std::string original = S;
  TLoadedFirmware r = FW;
  r.FWStartAddr = 0;
  r.FWBuildStr.clear();
  std::string checksum;

  std::size_t p = S.find(kBuildMarker);
  if (p != std::string::npos) {
    if (S.size() - p < kBuildStrLength) {
      ErrorText = kMsgShortBuildStr;
      return false;
    }
    r.FWBuildStr = S.substr(p, kBuildStrLength);
    S.erase(p, kBuildStrLength);
  }

  // Every writer appends the start address; a package without a readable one is cut or damaged,
  // and reading it as address 0 would put it over the bootloader.
  p = S.find(kStartAddrMarker);
  if (p == std::string::npos) {
    ErrorText = kMsgNoStartAddr;
    return false;
  }
  if (S.size() - p < kStartAddrMarker.size() + kStartAddrDigits) {
    ErrorText = kMsgShortStartAddr;
    return false;
  }
  const std::string_view digits = std::string_view(S).substr(p + kStartAddrMarker.size(), kStartAddrDigits);
  if (!AllDigits(digits) || digits > std::string_view("2147483647")) {
    ErrorText = kMsgBadStartAddr;
    return false;
  }
  r.FWStartAddr = StrToIntDef0(digits);
  S.erase(p, kStartAddrMarker.size() + kStartAddrDigits);

  p = S.find(kFWInfoMarker);
  if (p != std::string::npos) {
    const std::size_t rest = S.size() - p;
    if (rest < kFWInfoHead) {
      ErrorText = kMsgShortFWInfo;
      return false;
    }
    const std::string_view length = std::string_view(S).substr(p + kFWInfoMarker.size(), kFWInfoLengthDigits);
    if (!AllDigits(length) || S[p + kFWInfoHead - 1] != ':') {
      ErrorText = kMsgBadFWInfoLength;
      return false;
    }
    const int32_t n = StrToIntDef0(length);
    const std::size_t len = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (rest - kFWInfoHead < len) {
      ErrorText = kMsgShortFWInfo;
      return false;
    }
    r.FWInfoFound = TextToFWInfo(std::string_view(S).substr(p + kFWInfoHead, len), r.FWInfo);
    S.erase(p, kFWInfoHead + len);
  } else {
    r.FWInfoFound = false;
  }

  // A writer puts the image first and the pieces after it. A piece found inside the image means
  // a damaged marker left its own piece in the image, which would then reach the device.
  if (S.empty()) {
    ErrorText = kMsgEmptyImage;
    return false;
  }
  if (std::string_view(original).substr(0, S.size()) != S) {
    ErrorText = kMsgPiecesInsideImage;
    return false;
  }

  if (r.FWStartAddr == 0) {
    // The vector table sits at the front: unscrambling the first 32 bytes needs nothing after them.
    const std::string stored = S.substr(0, kVectorTableSize);
    std::string plain = stored;
    ScrambleImage(plain, 0);
    uint32_t sum = 0;
    try {
      sum = VectorTableSum(plain);
    } catch (const std::exception& e) {
      ErrorText = e.what();
      return false;
    }
    checksum = "Checksum: [$" + HexDigits(stored) + "] $" + HexDigits(plain) + " = " + std::to_string(sum);
    r.IsBootloaderImage = sum == 0;
  } else {
    r.IsBootloaderImage = false;
  }
  r.FWImage = std::move(S);
  FW = std::move(r);
  ChecksumLine = std::move(checksum);
  return true;
}

bool ReadQOBFile(const std::string& FileName, TLoadedFirmware& FW, std::string& ChecksumLine,
                 std::string& ErrorText) {
  std::string content;
  try {
    content = ReadWholeFile(FileName);
  } catch (const EFileError& e) {
    ErrorText = e.what();
    return false;
  }
  return ReadQOBBytes(std::move(content), FW, ChecksumLine, ErrorText);
}

std::string QOBWriteProblem(const TLoadedFirmware& FW) {
  if (FW.FWBuildStr.empty()) return kNoBuildStringForQOB;
  if (FW.FWBuildStr.size() < kBuildStrLength) return kShortBuildStringForQOB;
  if (FW.FWStartAddr == 0 && FW.FWImage.size() < kMinImageAtZero) return kShortImageForQOB;
  return "";
}

std::string MakeQOBContent(const TLoadedFirmware& FW) {
  std::string out;
  std::string info;
  if (FW.FWInfoFound) {
    const std::string text = FWInfoToText(FW.FWInfo);
    info = std::string(kFWInfoMarker) + PaddedDecimal(static_cast<int64_t>(text.size()), kFWInfoLengthDigits) +
           ":" + text;
  }
  out.reserve(FW.FWImage.size() + FW.FWBuildStr.size() + info.size() + 21);
  out += FW.FWImage;
  out += FW.FWBuildStr;
  out += info;
  out += kStartAddrMarker;
  out += PaddedDecimal(FW.FWStartAddr, kStartAddrDigits);
  return out;
}

std::string PlainImage(const TLoadedFirmware& FW) {
  std::string plain = FW.FWImage;
  ScrambleImage(plain, FW.FWStartAddr);
  return plain;
}

std::string ChangeFileExt(const std::string& FileName, std::string_view Ext) {
  const std::size_t slash = FileName.find_last_of('/');
  const std::size_t dot = FileName.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExt ? FileName.substr(0, dot) : FileName) + std::string(Ext);
}

bool RegularFileExists(const std::string& FileName) {
  struct stat st {};
  return ::stat(FileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadWholeFile(const std::string& FileName) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(FileName.c_str(), "rb"), &std::fclose);
  if (!f) throw EFileError(PlatformMessage("Cannot open file", FileName, errno));
  std::string out;
  char buf[64 * 1024];
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
    out.append(buf, n);
    if (n < sizeof buf) {
      if (std::ferror(f.get())) throw EFileError(PlatformMessage("Cannot read file", FileName, errno));
      break;
    }
  }
  return out;
}

void WriteWholeFile(const std::string& FileName, std::string_view Bytes) {
  const int err = ReplaceFileContent(FileName, Bytes);
  if (err != 0) throw EFileError(PlatformMessage("Cannot write file", FileName, err));
}

}  // namespace vornik
