// The offline verbs of vornik-tool: the firmware file conversions (hex2qob, hex2bin), what the
// loader finds in a firmware file (info), and the frame codec (frame-decode, frame-encode).
// Results go to standard output, the program's messages for failures to standard error; the exit
// code is 0 on success, 1 when the input or an output file fails, 2 for bad usage.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QJsonObject>
#include <QJsonValue>

#include "VerbCommon.h"
#include "VerbOutput.h"
#include "Verbs.h"
#include "app/FirmwareLoader.h"
#include "app/VornikTexts.h"
#include "codec/KRVProtocol.h"
#include "firmware/KRVDataUtils.h"
#include "firmware/PackageFiles.h"
#include "firmware/uHexfileToStr.h"
#include "util/MorvelUtils.h"
#include "util/Sha256.h"

namespace vornik {

namespace {

int UsageError(const std::string& Msg) {
  std::cerr << "vornik-tool: " << Msg << "\nTry 'vornik-tool --help'.\n";
  return kExitUsage;
}

int Failure(const std::string& Msg) {
  std::cerr << Msg << "\n";
  return kExitFailed;
}

// Reads a HEX or QOB file (a name ending in ".qob", any case, is a package) as the loader of
// every face does; on failure prints its message and returns false. Lines the window would log
// (the vector-table line of a package at address 0) go to standard error.
bool ReadInput(const std::string& Name, TLoadedFirmware& FW) {
  if (!RegularFileExists(Name)) {
    Failure(FileNotFoundText(Name));
    return false;
  }
  TFirmwareLoadOutput out;
  out.Log = [](std::string_view Line) { std::cerr << Line << "\n"; };
  std::string refusal;
  if (ReadFirmware(Name, IsQOBFileName(Name), FW, out, &refusal)) return true;
  Failure(refusal);
  return false;
}

bool WriteOutput(const std::string& Name, std::string_view Bytes) {
  try {
    WriteFileWithChecksum(Name, Bytes);
  } catch (const EFileError& e) {
    Failure(kWriteErrorPrefix + std::string(e.what()));
    return false;
  }
  std::cout << kNewFileMessage << Name << "\n";
  return true;
}

// File commands take no options: a leading "-" is a mistyped option, not a file name.
std::optional<int> RejectOptions(const std::vector<std::string>& Args) {
  for (const std::string& a : Args)
    if (a.size() > 1 && a[0] == '-') return UsageError("unknown option: " + a);
  return std::nullopt;
}

int Convert(const TVerbArgs& Args, bool ToQOB) {
  if (auto bad = RejectOptions(Args)) return *bad;
  if (Args.empty()) return UsageError("missing input file");
  if (Args.size() > 2) return UsageError("too many arguments");
  const std::string& in = Args[0];
  const std::string out = Args.size() == 2 ? Args[1] : ChangeFileExt(in, ToQOB ? ".qob" : ".bin");
  if (out.empty()) return UsageError("empty output file name");
  // Rewriting a package in place is allowed; any other same-name target would destroy the source.
  if (out == in && !(ToQOB && IsQOBFileName(in))) return UsageError("the output file would overwrite the input: " + in);
  TLoadedFirmware fw;
  if (!ReadInput(in, fw)) return kExitFailed;
  // A package needs its build string: without one a reader finds "Build:" inside the
  // information text instead, and the firmware page refuses such a package anyway.
  if (ToQOB) {
    const std::string problem = QOBWriteProblem(fw);
    if (!problem.empty()) return Failure(problem == kNoBuildStringForQOB ? problem : kWriteErrorPrefix + problem);
  }
  if (ToQOB) return WriteOutput(out, MakeQOBContent(fw)) ? kExitOk : kExitFailed;
  return WriteOutput(out, PlainImage(fw)) ? kExitOk : kExitFailed;
}

// A text value of the information block as JSON: a number where it is one.
QJsonValue InfoValue(const std::string& Value) {
  bool ok = false;
  const qlonglong n = QString::fromStdString(Value).toLongLong(&ok);
  if (ok && !Value.empty() && (Value[0] != '0' || Value.size() == 1)) return n;
  return QString::fromStdString(Win1250ToUtf8(Value));
}

std::string Hex(uint64_t Value, int Digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llX", Digits, static_cast<unsigned long long>(Value));
  return buf;
}

int Info(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  bool json = false;
  TVerbArgs files;
  for (const std::string& a : Args) {
    if (a == "--json") json = true;
    else files.push_back(a);
  }
  if (auto bad = RejectOptions(files)) return *bad;
  if (files.size() != 1) return UsageError(files.empty() ? "missing file" : "too many arguments");
  const std::string& name = files[0];
  TLoadedFirmware fw;
  if (!ReadInput(name, fw)) return kExitFailed;
  if (fw.FWBuildStr.empty()) return Failure(texts::kNoInfoBlock);

  // What the device would get: the install command carries the CRC-16 of the image as sent
  // (scrambled); the SHA-256 names the plain image, as a release list would.
  const std::string plain = PlainImage(fw);
  const uint16_t crc = Crc16(fw.FWImage);
  const std::string sha = Sha256Hex(plain);
  const std::vector<TFWInfoRow> rows = FirmwareInfoRows(name, fw);
  if (!json) {
    std::string out;
    for (const TFWInfoRow& r : rows) out += r.Name + "=" + r.Value + "\n";
    out += "Memory address (hex)=" + Hex(static_cast<uint32_t>(fw.FWStartAddr), 8) + "\n";
    out += "Size=" + std::to_string(fw.FWImage.size()) + "\n";
    out += "CRC16=" + Hex(crc, 4) + "\n";
    out += "SHA256=" + sha + "\n";
    out += std::string("Bootloader=") + (fw.IsBootloaderImage ? "yes" : "no") + "\n";
    std::cout << out;
    return kExitOk;
  }
  QJsonObject obj;
  obj["path"] = QString::fromStdString(name);
  obj["start_address"] = static_cast<qint64>(fw.FWStartAddr);
  obj["start_address_hex"] = QString::fromStdString(Hex(static_cast<uint32_t>(fw.FWStartAddr), 8));
  obj["size"] = static_cast<qint64>(fw.FWImage.size());
  obj["crc16"] = crc;
  obj["crc16_hex"] = QString::fromStdString(Hex(crc, 4));
  obj["sha256"] = QString::fromStdString(sha);
  obj["build"] = QString::fromStdString(Win1250ToUtf8(fw.FWBuildStr));
  obj["bootloader"] = fw.IsBootloaderImage;
  QJsonObject info;
  if (fw.FWInfoFound)
    for (const auto& [key, value] : CommaTextPairs(FWInfoToText(fw.FWInfo))) info[QString::fromStdString(key)] = InfoValue(value);
  obj["info"] = info;
  return Report(true, obj, "ok", texts::kLoadedBuild + fw.FWBuildStr, Clock, kExitOk);
}

// Hexadecimal bytes; blanks, colons and commas between bytes are allowed, and an optional "0x"
// in front of each group.
std::optional<std::string> ParseHexBytes(std::string_view Text) {
  std::string out;
  int high = -1;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c == ' ' || c == ':' || c == ',' || c == '\t' || c == '\n' || c == '\r' || c == '-') {
      if (high >= 0) return std::nullopt;
      continue;
    }
    if (high < 0 && c == '0' && i + 1 < Text.size() && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
      ++i;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>((high << 4) | v);
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

std::string HexText(std::string_view Bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : Bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[static_cast<uint8_t>(c) >> 4];
    out += kDigits[static_cast<uint8_t>(c) & 15];
  }
  return out;
}

// Printable ASCII as it is, everything else as \xNN.
std::string PrintableText(std::string_view Bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : Bytes) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (b >= 32 && b < 127 && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
  }
  return out;
}

constexpr const char* kInfoNames[] = {"nem_kerek_nyugtat", "kerek_nyugtat", "pozitiv_nyugta", "negativ_nyugta",
                                      "ismetelt_csomag"};

std::optional<TInfo> ParseInfo(std::string_view S) {
  for (int i = 0; i < 5; ++i)
    if (S == kInfoNames[i]) return static_cast<TInfo>(i);
  if (auto n = ParseRange(S, 0, 4)) return static_cast<TInfo>(*n);
  return std::nullopt;
}

int FrameDecode(const TVerbArgs& Args) {
  TKRVProtocol codec;
  codec.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  std::string hex;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (a == "--mode") {
      if (i + 1 >= Args.size()) return UsageError("option --mode needs a value");
      const std::string& m = Args[++i];
      if (m == "krv") codec.KRVMode = TKRVMode::PMKRVOnly;
      else if (m == "krvw") codec.KRVMode = TKRVMode::PMKRVWOnly;
      else if (m == "both") codec.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
      else return UsageError("unknown mode: " + m);
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      return UsageError("unknown option: " + a);
    } else {
      hex += a;
      hex += ' ';
    }
  }
  const std::optional<std::string> frame = ParseHexBytes(hex);
  if (!frame) return UsageError("frame bytes are not hexadecimal byte pairs");
  if (frame->empty()) return UsageError("missing frame bytes");
  const std::string payload = codec.Decode(*frame);
  const unsigned result = codec.DecodeResult();
  std::cout << "DecodeResult=" << result << " " << DecodeResultTag(result) << "\n";
  if (result != drOK) return kExitFailed;
  const bool krvw = codec.LastWasKRVW();
  std::cout << "Format=" << (krvw ? "KRVW" : "KRV") << "\n";
  std::cout << "Cimzett=" << codec.Cimzett << "\n";
  std::cout << "Felado=" << codec.Felado << "\n";
  std::cout << "Felado_rovid_cim=" << static_cast<unsigned>(codec.Felado_rovid_cim) << "\n";
  std::cout << "CsomagSorszam=" << static_cast<unsigned>(codec.CsomagSorszam) << "\n";
  const unsigned info = static_cast<unsigned>(codec.Info);
  std::cout << "Info=" << info << " " << (info < 5 ? kInfoNames[info] : "?") << "\n";
  if (krvw) {
    std::cout << "Enable_ASYER=" << (codec.Enable_ASYER ? 1 : 0) << "\n";
    std::cout << "Header_extension=" << HexText(codec.Header_extension) << "\n";
  }
  std::cout << "PayloadLength=" << payload.size() << "\n";
  std::cout << "Payload=" << HexText(payload) << "\n";
  std::cout << "PayloadText=" << PrintableText(payload) << "\n";
  return kExitOk;
}

int FrameEncode(const TVerbArgs& Args) {
  TKRVProtocol codec;
  codec.KRVMode = TKRVMode::PMKRVOnly;
  std::optional<std::string> payload;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    auto value = [&]() -> const std::string* { return i + 1 < Args.size() ? &Args[++i] : nullptr; };
    if (a == "--krvw") {
      codec.KRVMode = TKRVMode::PMKRVWOnly;
    } else if (a == "--asyer") {
      codec.Enable_ASYER = true;
    } else if (a == "--no-bitmatrix") {
      codec.Disable_bitmatrix = true;
    } else if (a == "--to" || a == "--from" || a == "--short" || a == "--id" || a == "--info" || a == "--ext" ||
               a == "--hex" || a == "--text") {
      const std::string* v = value();
      if (!v) return UsageError("option " + a + " needs a value");
      if (a == "--to" || a == "--from") {
        const auto n = ParseAddress(*v);
        if (!n) return UsageError("bad address for " + a + ": " + *v);
        (a == "--to" ? codec.Cimzett : codec.Felado) = static_cast<uint32_t>(*n);
      } else if (a == "--short" || a == "--id") {
        const auto n = ParseRange(*v, 0, 255);
        if (!n) return UsageError("bad value for " + a + " (0..255): " + *v);
        (a == "--short" ? codec.Felado_rovid_cim : codec.CsomagSorszam) = static_cast<uint8_t>(*n);
      } else if (a == "--info") {
        const auto k = ParseInfo(*v);
        if (!k) return UsageError("bad packet kind: " + *v);
        codec.Info = *k;
      } else if (a == "--ext") {
        const auto bytes = ParseHexBytes(*v);
        if (!bytes) return UsageError("header extension is not hexadecimal byte pairs");
        codec.Header_extension = *bytes;
      } else {
        if (payload) return UsageError("give the payload once, with --hex or --text");
        if (a == "--hex") {
          payload = ParseHexBytes(*v);
          if (!payload) return UsageError("payload is not hexadecimal byte pairs");
        } else {
          payload = *v;
        }
      }
    } else {
      return UsageError((a.size() > 1 && a[0] == '-' ? "unknown option: " : "unexpected argument: ") + a);
    }
  }
  if (!payload) return UsageError("missing payload (--hex or --text)");
  try {
    std::cout << HexText(codec.Encode(*payload)) << "\n";
  } catch (const std::exception& e) {
    return Failure(e.what());
  }
  return kExitOk;
}

}  // namespace

int RunHex2Qob(const TVerbArgs& Args, const QElapsedTimer&) { return Convert(Args, true); }
int RunHex2Bin(const TVerbArgs& Args, const QElapsedTimer&) { return Convert(Args, false); }
int RunInfo(const TVerbArgs& Args, const QElapsedTimer& Clock) { return Info(Args, Clock); }
int RunFrameDecode(const TVerbArgs& Args, const QElapsedTimer&) { return FrameDecode(Args); }
int RunFrameEncode(const TVerbArgs& Args, const QElapsedTimer&) { return FrameEncode(Args); }

}  // namespace vornik
