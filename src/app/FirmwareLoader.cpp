#include "app/FirmwareLoader.h"

#include <cctype>
#include <filesystem>

#include "app/VornikTexts.h"
#include "firmware/KRVDataUtils.h"
#include "util/Sha256.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSha256Digits = 64;

bool EndsWithNoCase(std::string_view Name, std::string_view Ext) {
  if (Name.size() < Ext.size()) return false;
  const std::string_view tail = Name.substr(Name.size() - Ext.size());
  for (std::size_t i = 0; i < Ext.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(tail[i])) != Ext[i]) return false;
  return true;
}

std::string WithName(const char* Format, const std::string& Value) {
  std::string out(Format);
  if (const auto pos = out.find("%s"); pos != std::string::npos) out.replace(pos, 2, Value);
  return out;
}

std::string BaseName(const std::string& FileName) { return fs::path(FileName).filename().string(); }

bool Refuse(const TFirmwareLoadOutput& Out, std::string* Refusal, const std::string& Message,
            bool Missing = false) {
  const auto& say = Missing ? Out.Missing : Out.Report;
  if (say) say(Message);
  if (Refusal) *Refusal = Message;
  return false;
}

bool IsHexDigits(std::string_view S) {
  for (char c : S)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string Lower(std::string S) {
  for (char& c : S) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return S;
}

}  // namespace

std::string FileNotFoundText(const std::string& FileName) { return WithName(texts::kFileNotFound, FileName); }

bool IsQOBFileName(std::string_view Name) { return EndsWithNoCase(Name, ".qob"); }
bool IsHEXFileName(std::string_view Name) { return EndsWithNoCase(Name, ".hex"); }

std::string ChecksumFileName(const std::string& FileName) { return FileName + ".sha256"; }

std::optional<std::string> RecordedSha256(std::string_view Checksums, const std::string& FileName) {
  const std::string wanted = BaseName(FileName);
  std::optional<std::string> only;
  int entries = 0;
  std::size_t start = 0;
  while (start < Checksums.size()) {
    std::size_t end = Checksums.find('\n', start);
    if (end == std::string_view::npos) end = Checksums.size();
    std::string_view line = Checksums.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // "<digest> <mode><name>", mode " " (text) or "*" (binary).
    if (line.size() < kSha256Digits + 3 || line[kSha256Digits] != ' ' ||
        (line[kSha256Digits + 1] != ' ' && line[kSha256Digits + 1] != '*'))
      continue;
    const std::string_view digest = line.substr(0, kSha256Digits);
    if (!IsHexDigits(digest)) continue;
    ++entries;
    only = Lower(std::string(digest));
    const std::string name(line.substr(kSha256Digits + 2));
    if (name == wanted || BaseName(name) == wanted) return only;
  }
  if (entries == 1) return only;
  return std::nullopt;
}

std::string ChecksumProblem(const std::string& FileName) {
  const std::string sumFile = ChecksumFileName(FileName);
  if (!RegularFileExists(sumFile)) return "";
  const std::optional<std::string> recorded = RecordedSha256(ReadWholeFile(sumFile), FileName);
  if (!recorded) return WithName(texts::kChecksumUnreadable, sumFile);
  if (Sha256Hex(ReadWholeFile(FileName)) != *recorded) return WithName(texts::kChecksumMismatch, sumFile);
  return "";
}

void WriteFileWithChecksum(const std::string& FileName, std::string_view Bytes) {
  WriteWholeFile(FileName, Bytes);
  WriteWholeFile(ChecksumFileName(FileName), Sha256Hex(Bytes) + "  " + BaseName(FileName) + "\n");
}

bool ReadFirmware(const std::string& FileName, bool Qob, TLoadedFirmware& FW, const TFirmwareLoadOutput& Out,
                  std::string* Refusal) {
  FW = TLoadedFirmware{};
  try {
    // Checked before the file is read at all: a damaged file gets the checksum's message, not
    // whatever the damage happens to look like to the reader.
    if (const std::string problem = ChecksumProblem(FileName); !problem.empty())
      return Refuse(Out, Refusal, problem);
  } catch (const EFileError& e) {
    return Refuse(Out, Refusal, kOpenFileErrorPrefix + std::string(e.what()));
  }

  if (Qob) {
    std::string checksumLine, error;
    if (!ReadQOBFile(FileName, FW, checksumLine, error)) return Refuse(Out, Refusal, kOpenFileErrorPrefix + error);
    if (!checksumLine.empty() && Out.Log) Out.Log(checksumLine);
    return true;
  }

  THexReadResult hex;
  try {
    hex = ReadHexFile(FileName);
  } catch (const EFileError& e) {
    return Refuse(Out, Refusal, kOpenFileErrorPrefix + std::string(e.what()));
  }
  if (!hex.Ok) return Refuse(Out, Refusal, texts::kBadHexFile + hex.ErrorText);
  if (hex.StartAddr == 0 && hex.Image.size() < kMinImageAtZero) {
    // Too short for the vector table a package reader needs: refused as a package would be.
    try {
      VectorTableSum(hex.Image);
    } catch (const std::exception& e) {
      return Refuse(Out, Refusal, kOpenFileErrorPrefix + std::string(e.what()));
    }
  }
  LoadedFirmwareFromHex(std::move(hex), FW);
  return true;
}

bool LoadFirmwareFile(const std::string& FileName, TLoadedFirmware& FW, const TFirmwareLoadOutput& Out,
                      std::string* Refusal) {
  FW = TLoadedFirmware{};
  if (!RegularFileExists(FileName)) {
    if (FileName.empty()) {
      if (Refusal) *Refusal = FileNotFoundText(FileName);
      return false;
    }
    return Refuse(Out, Refusal, FileNotFoundText(FileName), true);
  }
  const bool qob = IsQOBFileName(FileName);
  if (!qob && !IsHEXFileName(FileName)) return Refuse(Out, Refusal, texts::kNotAFirmware);
  if (!ReadFirmware(FileName, qob, FW, Out, Refusal)) return false;
  if (FW.FWBuildStr.empty()) {
    FW = TLoadedFirmware{};
    return Refuse(Out, Refusal, texts::kNoInfoBlock);
  }
  return true;
}

std::vector<TFWInfoRow> FirmwareInfoRows(const std::string& FileName, const TLoadedFirmware& FW) {
  std::vector<TFWInfoRow> rows;
  rows.push_back({texts::kRowFilePath, FileName});
  rows.push_back({texts::kRowMemoryAddress, std::to_string(FW.FWStartAddr)});
  if (FW.FWInfoFound) {
    for (auto& [name, value] : CommaTextPairs(FWInfoToText(FW.FWInfo))) rows.push_back({name, value});
  } else {
    rows.push_back({texts::kRowBuildStr, FW.FWBuildStr});
  }
  return rows;
}

}  // namespace vornik
