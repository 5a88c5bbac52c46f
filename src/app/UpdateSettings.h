// The settings an update runs with, in one place for the window, the command-line run and
// vornik-tool: the engine and uploader values the window ships with, and the DEBUG and BATCH
// sections of a settings file on top of them.
//
// The reader decides what a missing key does: the window's TCreateMissingValuesIni writes it back
// with its default (so the technician finds every key in the file), a plain TIniFile only reads
// (vornik-tool --settings), and a TIniFile on a file that does not exist gives the defaults a
// fresh settings file gets.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "app/CreateMissingValuesIni.h"

namespace vornik {

class TIniFile;
class TKRVComms;
class TFirmwareUploader;
struct TLoadedFirmware;

/// What a face decides about an upload; everything else comes from the firmware and the settings.
struct TUploadOptions {
  bool ClearFlash = false;  ///< erase the device's data flash first
  bool Batched = false;     ///< batched mode
  bool SafeTurbo = false;   ///< the window's choice for lines slower than 115200 baud
};

/// The engine as the window ships it (link, queue, receive, waiting and logging switches), KRVW
/// framing. Link target, address and the log component are the caller's.
void ApplyShippedEngineSettings(TKRVComms& Comms);

/// The uploader as the firmware page configures it (128-byte blocks, 10 s install time-out).
void ApplyShippedUploaderSettings(TFirmwareUploader& Uploader);

/// Sections DEBUG and BATCH into the engine and the uploader. Defaults of BlockLength, BatchSize,
/// TimeBetweenPcks and CSYGATimeout are the uploader's current values.
void ApplyUpdateSettings(TIniFile& Reader, TKRVComms& Comms, TFirmwareUploader& Uploader);

/// Answer times and tries given on the command line instead of the settings file's.
struct TAnswerTimes {
  std::vector<int32_t> Ms;      ///< Timeout1, Timeout2, Timeout3 in ms; a missing one repeats the last given
  std::optional<int32_t> Tries;  ///< TriesMax
  bool Empty() const { return Ms.empty() && !Tries; }
};

/// A settings file whose DEBUG Timeout1..Timeout3 and TriesMax read as Times says, everything
/// else as Base reads it. Reads only; Base must outlive it.
class TAnswerTimeSettings final : public TIniFile {
 public:
  TAnswerTimeSettings(TIniFile& Base, TAnswerTimes Times);
  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) override;
  int32_t ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) override;

 private:
  std::optional<int32_t> Override(std::string_view Section, std::string_view Ident) const;
  TIniFile& base_;
  TAnswerTimes times_;
};

/// Configures the uploader for Firmware (bootloader announcement, start address) and Options,
/// then starts it with the scrambled image. Raises what UploadFromStr raises (a block length of 0
/// or less, an upload already running).
void StartFirmwareUpload(TFirmwareUploader& Uploader, const TLoadedFirmware& Firmware, const TUploadOptions& Options);

}  // namespace vornik
