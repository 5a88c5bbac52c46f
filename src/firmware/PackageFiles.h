// The loaded firmware and the two files made from it: the QOB package and the flat BIN image.
//
// The loaded firmware (TLoadedFirmware) always holds its image scrambled, keyed by its start
// address, exactly as it goes into a package and to the device.
//
// A QOB package is the scrambled image followed by the build string (11 bytes, "Build:" and five
// more), the information piece "FWInfo:nnnnn:<text>" when the firmware has an information block,
// and "StartAddr:" with ten decimal digits. There is no header: a reader finds each marker by its
// first occurrence in the whole content (image included), in the order build string, start
// address, information, cutting each piece out before the next search, and what remains is the
// image. A package that ends inside a piece is refused rather than read short, and so is one
// that a cut or a damaged byte has made unreadable: no "StartAddr:" with ten digits (read as 0 it
// would be installed over the bootloader), an information length that is not five digits and a
// colon, no image, or a piece found inside the image instead of after it (a damaged marker
// leaves its piece in the image).
//
// For an image that starts at address 0 the vector table decides whether it is a bootloader: the
// first 32 plain bytes as eight little-endian 32-bit words add up to 0 (mod 2^32).
//
// Everything here works on bytes in memory; the file functions are thin wrappers. Failures come
// back as the platform's or the reader's message; the caller adds the Hungarian lead-in
// (kOpenFileErrorPrefix, kWriteErrorPrefix).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "firmware/uHexfileToStr.h"

namespace vornik {

inline constexpr const char* kOpenFileErrorPrefix = "Hiba történt a fájl megnyitásakor: ";
inline constexpr const char* kWriteErrorPrefix = "Hiba történt kiíráskor: ";
inline constexpr const char* kNewFileMessage = "OK, az új fájl neve: ";
inline constexpr const char* kOverwriteQuestion = "A célfájl már létezik, felülírja? (%s)";
inline constexpr std::size_t kBuildStrLength = 11;  ///< "Build:" and five characters
/// The shortest image at address 0 whose vector table can be read (the last slice may be short).
inline constexpr std::size_t kMinImageAtZero = 29;
inline constexpr const char* kNoBuildStringForQOB =
    "A kiválasztott firmware elavult, hibás vagy sérült: nem találtam benne információs blokkot!";
inline constexpr const char* kShortBuildStringForQOB =
    "a firmware build-azonosítóját levágja a kép vége, ebből nem készíthető QOB csomag.";
inline constexpr const char* kShortImageForQOB =
    "a 0-s címen kezdődő firmware rövidebb 29 bájtnál, ebből nem készíthető QOB csomag.";

struct TLoadedFirmware {
  std::string FWImage;          ///< scrambled with ScrambleImage keyed by FWStartAddr
  int32_t FWStartAddr = 0;      ///< absolute start address; 0 when nothing is loaded
  std::string FWBuildStr;       ///< "Build:" and five characters; empty when none
  bool FWInfoFound = false;
  TFWInfo FWInfo;
  bool IsBootloaderImage = false;
};

/// The 11 characters from the first "Build:" in Image (fewer when the image ends sooner), or ""
/// when there is none.
std::string FindBuildStr(std::string_view Image);

/// Sum (mod 2^32) of the first 32 plain bytes as eight little-endian words. A short image gives
/// shorter last slices; with fewer than 29 bytes a slice is empty and EParamStr is raised with
/// "Üres paraméterstring.".
uint32_t VectorTableSum(std::string_view PlainImage);
/// True when the plain image's vector table adds up to 0; false for an image too short to hold
/// one.
bool IsBootloaderVectorTable(std::string_view PlainImage);

/// Fills FW from a HEX read result (image scrambled, build string, bootloader test).
void LoadedFirmwareFromHex(THexReadResult&& Hex, TLoadedFirmware& FW);

/// Reads a package held in memory into FW. On success FW is replaced and ChecksumLine holds the
/// "Checksum: ..." line when the start address is 0 (empty otherwise). On failure FW is left as
/// it was and ErrorText holds the reason.
bool ReadQOBBytes(std::string Content, TLoadedFirmware& FW, std::string& ChecksumLine, std::string& ErrorText);
/// ReadQOBBytes on a file; a file that cannot be opened or read fails with the platform's message.
bool ReadQOBFile(const std::string& FileName, TLoadedFirmware& FW, std::string& ChecksumLine,
                 std::string& ErrorText);

/// Why FW cannot be written as a package that reads back as written, or "" when it can: a build
/// string cut short by the end of the image (a reader would take the wrong bytes for it), or an
/// image at address 0 too short for the vector-table test (a reader refuses it).
std::string QOBWriteProblem(const TLoadedFirmware& FW);

/// The package content of FW: image, build string, information piece, start address.
std::string MakeQOBContent(const TLoadedFirmware& FW);
/// The plain image of FW (FW itself stays scrambled).
std::string PlainImage(const TLoadedFirmware& FW);

/// FileName with its extension replaced by Ext (".qob", ".bin"); added when there is none.
std::string ChangeFileExt(const std::string& FileName, std::string_view Ext);
/// True when a regular file (not a directory) of that name exists.
bool RegularFileExists(const std::string& FileName);
/// Reads a whole file; throws EFileError with the platform's message.
std::string ReadWholeFile(const std::string& FileName);
/// Replaces FileName with Bytes through a temporary file in the same folder and a rename
/// (ReplaceFileContent): a failed write leaves the old file untouched. Throws EFileError with
/// the platform's message.
void WriteWholeFile(const std::string& FileName, std::string_view Bytes);

}  // namespace vornik
