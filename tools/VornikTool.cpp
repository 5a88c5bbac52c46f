// vornik-tool: the firmware file conversions and the frame codec on the command line, for
// scripts and build pipelines.
//
//   hex2qob IN [OUT]   HEX (or QOB) -> QOB package
//   hex2bin IN [OUT]   HEX (or QOB) -> flat BIN image
//   info FILE          the information rows of a HEX or QOB file, one name=value per line
//   frame-decode HEX   a frame's decode result, header fields and payload
//   frame-encode ...   a frame from header options and a payload
//
// and the device verbs identify, restart, update, flash-read, flash-write, fleet and listen
// (DeviceVerbs.cpp, FleetVerb.cpp), which have exit codes of their own (0/1/2/3).
//
// A file whose name ends in ".qob" (any case) is read as a package, any other as Intel HEX.
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

#include "DeviceVerbs.h"
#include "app/FirmwareLoader.h"
#include "VornikVersion.h"
#include "codec/KRVProtocol.h"
#include "firmware/PackageFiles.h"
#include "firmware/uHexfileToStr.h"

using namespace vornik;

namespace {

constexpr const char* kMsgFileNotFound = "A kiválasztott állomány nem található: ";
constexpr const char* kMsgBadHexFile = "Hibás hexfájl: ";
constexpr const char* kMsgNoInfoBlock =
    "A kiválasztott firmware elavult, hibás vagy sérült: nem találtam benne információs blokkot!";

constexpr const char* kUsage =
    "Usage: vornik-tool COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  hex2qob IN [OUT]    convert a HEX file (or a QOB package) into a QOB package;\n"
    "                      OUT defaults to IN with the extension .qob\n"
    "  hex2bin IN [OUT]    write the plain image of a HEX file (or a QOB package) as a BIN file;\n"
    "                      OUT defaults to IN with the extension .bin\n"
    "  info FILE           show a HEX or QOB file's information rows, one name=value per line\n"
    "  frame-decode [--mode krv|krvw|both] HEXBYTES...\n"
    "                      decode one frame given as hexadecimal bytes (blanks and colons allowed)\n"
    "  frame-encode [options] (--hex HEXBYTES | --text TEXT)\n"
    "                      encode a payload into a frame and print its bytes in hexadecimal\n"
    "      --krvw            KRVW format (default KRV)\n"
    "      --to N            destination address (default 1)\n"
    "      --from N          source address (default 250)\n"
    "      --short N         KRVW short source address (default 250)\n"
    "      --id N            packet id 0..255 (default 0: KRV picks a random id, KRVW sends 0)\n"
    "      --info KIND       nem_kerek_nyugtat, kerek_nyugtat, pozitiv_nyugta, negativ_nyugta,\n"
    "                        ismetelt_csomag, or its number 0..4 (default nem_kerek_nyugtat)\n"
    "      --asyer           KRVW: set the Enable_ASYER bit\n"
    "      --no-bitmatrix    KRVW: set the Disable_bitmatrix bit\n"
    "      --ext HEXBYTES    KRVW header extension (at most 255 bytes)\n"
    "\n"
    "\n"
    "Device commands (CONNECTION is --ip HOST --port N or --serial PATH [--baud B], with\n"
    "[--address A] (default 255), [--settings FILE] (DEBUG and BATCH sections, read only),\n"
    "[--log FILE] (communication log) and [--json] (the result as one JSON object)):\n"
    "  identify    CONNECTION\n"
    "  restart     CONNECTION\n"
    "  update      CONNECTION --fw FILE [--batched] [--erase-flash] [--bootloader] [--skip-current]\n"
    "  flash-read  CONNECTION --start-page P --length N [--page-size S] [--block-size B] [--turbo]\n"
    "              --out FILE\n"
    "  flash-write CONNECTION --start-page P [--page-size S] [--turbo] FILE...\n"
    "  fleet       --fw FILE [--parallel N] [--batched] [--skip-current] [--settings FILE]\n"
    "              [--log-dir DIR] [--json] DEVICES_FILE\n"
    "  listen      --listen-port N [--bind ADDR] --fw FILE [--address A]... [--count K]\n"
    "              [--idle-timeout S] [--parallel N] [--batched] [--skip-current] [--settings FILE]\n"
    "              [--unidentified-timeout S] [--max-unidentified N] [--log-dir DIR] [--json]\n"
    "              updates every device that connects in and identifies itself (only the listed\n"
    "              addresses with --address); ends after K devices, after S seconds without a new\n"
    "              one, or on SIGINT/SIGTERM (running updates are aborted)\n"
    "DEVICES_FILE: one HOST:PORT:ADDRESS ([IPv6]:PORT:ADDRESS) or serial:PATH:BAUD:ADDRESS a line;\n"
    "'#' starts a comment. Addresses and pages are decimal or $hexadecimal. Exit code of device\n"
    "commands: 0 success, 1 failed after the device answered, 2 bad usage or input file, 3 no link\n"
    "or no answer. Progress goes to standard error.\n"
    "\n"
    "Files named *.qob are read as packages, any other file as Intel HEX. Numbers are decimal or\n"
    "0x-prefixed hexadecimal. Exit code: 0 success, 1 failure, 2 bad usage.\n"
    "  -h, --help          show this text\n"
    "  --version           show the program's version\n";

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
    Failure(kMsgFileNotFound + Name);
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

int CmdConvert(const std::vector<std::string>& Args, bool ToQOB) {
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

int CmdInfo(const std::vector<std::string>& Args) {
  if (auto bad = RejectOptions(Args)) return *bad;
  if (Args.size() != 1) return UsageError(Args.empty() ? "missing file" : "too many arguments");
  TLoadedFirmware fw;
  if (!ReadInput(Args[0], fw)) return kExitFailed;
  if (fw.FWBuildStr.empty()) return Failure(kMsgNoInfoBlock);
  std::cout << "File path=" << Args[0] << "\n";
  std::cout << "Memory address=" << fw.FWStartAddr << "\n";
  if (fw.FWInfoFound) {
    for (const auto& [name, value] : CommaTextPairs(FWInfoToText(fw.FWInfo))) std::cout << name << "=" << value << "\n";
  } else {
    std::cout << "BuildStr=" << fw.FWBuildStr << "\n";
  }
  return kExitOk;
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

std::optional<uint64_t> ParseNumber(std::string_view S, uint64_t Max) {
  if (S.empty()) return std::nullopt;
  int base = 10;
  if (S.size() > 2 && S[0] == '0' && (S[1] == 'x' || S[1] == 'X')) {
    base = 16;
    S.remove_prefix(2);
  }
  uint64_t v = 0;
  for (char c : S) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (v > Max) return std::nullopt;
  }
  return v;
}

constexpr const char* kInfoNames[] = {"nem_kerek_nyugtat", "kerek_nyugtat", "pozitiv_nyugta", "negativ_nyugta",
                                      "ismetelt_csomag"};

std::optional<TInfo> ParseInfo(std::string_view S) {
  for (int i = 0; i < 5; ++i)
    if (S == kInfoNames[i]) return static_cast<TInfo>(i);
  if (auto n = ParseNumber(S, 4)) return static_cast<TInfo>(*n);
  return std::nullopt;
}

int CmdFrameDecode(const std::vector<std::string>& Args) {
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

int CmdFrameEncode(const std::vector<std::string>& Args) {
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
        const auto n = ParseNumber(*v, 0xFFFFFFFFu);
        if (!n) return UsageError("bad address for " + a + ": " + *v);
        (a == "--to" ? codec.Cimzett : codec.Felado) = static_cast<uint32_t>(*n);
      } else if (a == "--short" || a == "--id") {
        const auto n = ParseNumber(*v, 255);
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

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::cout << kUsage;
    return kExitOk;
  }
  if (cmd == "--version") {
    std::cout << "vornik-tool " VORNIK_VERSION "\n";
    return kExitOk;
  }
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return kExitOk;
    }
  }
  if (IsDeviceVerb(cmd)) return RunDeviceVerb(argc, argv);
  try {
    if (cmd == "hex2qob") return CmdConvert(args, true);
    if (cmd == "hex2bin") return CmdConvert(args, false);
    if (cmd == "info") return CmdInfo(args);
    if (cmd == "frame-decode") return CmdFrameDecode(args);
    if (cmd == "frame-encode") return CmdFrameEncode(args);
  } catch (const std::exception& e) {
    return Failure(e.what());
  }
  // A script that asked for JSON gets its one object also for a verb this program does not know.
  for (const std::string& a : args) {
    if (a == "--json") {
      QElapsedTimer clock;
      clock.start();
      UsageFailure(cmd, "unknown command; try 'vornik-tool --help'", true, clock);
      return kExitUsage;
    }
  }
  return UsageError("unknown command: " + cmd);
}
