// The one way a firmware file is loaded, for the window, `vornik -start` and vornik-tool alike:
// file → TLoadedFirmware, with every refusal and every message, before any link is opened.
//
// LoadFirmwareFile is the load an update runs on: the file must exist, be named ".hex" or ".qob"
// (any case), read cleanly as Intel HEX or as a package, match the checksum file beside it when
// there is one, and carry a build string. ReadFirmware is its reading step alone, for the
// conversions (a BIN image needs no build string).
//
// A checksum file is NAME.sha256 beside NAME, in the form `sha256sum` writes and checks: lines
// of 64 hexadecimal digits, a blank, a blank or "*", and the file name. A package carries no
// checksum of its own, so this is how a damaged download is caught. The converters write one
// beside every file they make (WriteFileWithChecksum).
//
// What a face shows goes out through TFirmwareLoadOutput: Log for the lines the window writes
// to its message view and log (the package's vector-table line), Report for the
// reason a file is refused, Missing for a file that does not exist (the window only logs that).
// Any of them may be empty. The refusal text is also handed back, for a face that prints it
// its own way.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/PackageFiles.h"

namespace vornik {

struct TFWInfoRow {
  std::string Name;
  std::string Value;
  bool operator==(const TFWInfoRow&) const = default;
};

struct TFirmwareLoadOutput {
  std::function<void(std::string_view Line)> Log;
  std::function<void(std::string_view Message)> Report;
  std::function<void(std::string_view Message)> Missing;
};

/// "A kiválasztott állomány nem található: NAME".
std::string FileNotFoundText(const std::string& FileName);

/// Whether Name ends in ".qob" / ".hex", without regard to case.
bool IsQOBFileName(std::string_view Name);
bool IsHEXFileName(std::string_view Name);

/// Reads FileName as a package (Qob) or as Intel HEX into FW, after checking it against its
/// checksum file. False with the reason in Refusal (also sent to Out.Report); FW is then empty.
bool ReadFirmware(const std::string& FileName, bool Qob, TLoadedFirmware& FW, const TFirmwareLoadOutput& Out,
                  std::string* Refusal = nullptr);

/// The load of a firmware for an update (see above). False with the reason in Refusal; FW is
/// then empty.
bool LoadFirmwareFile(const std::string& FileName, TLoadedFirmware& FW, const TFirmwareLoadOutput& Out,
                      std::string* Refusal = nullptr);

/// The information rows of a loaded firmware: "File path", "Memory address", then the
/// information block's entries, or the single row "BuildStr" without a block.
std::vector<TFWInfoRow> FirmwareInfoRows(const std::string& FileName, const TLoadedFirmware& FW);

/// NAME.sha256.
std::string ChecksumFileName(const std::string& FileName);
/// The digest recorded for FileName in Checksums (the checksum file's content): the line that
/// names the file, or the only line when there is one. nullopt when there is no such line.
std::optional<std::string> RecordedSha256(std::string_view Checksums, const std::string& FileName);
/// Why FileName's bytes do not match its checksum file, or "" when they do or there is none.
/// Throws EFileError when a file cannot be read.
std::string ChecksumProblem(const std::string& FileName);

/// Writes Bytes to FileName and the matching checksum file beside it (both whole or not at all).
/// Throws EFileError with the platform's message.
void WriteFileWithChecksum(const std::string& FileName, std::string_view Bytes);

}  // namespace vornik
