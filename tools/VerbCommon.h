// What every verb of vornik-tool shares: the exit codes and their output conventions (a result
// on standard output as a line or one JSON object, one-line usage failures on standard error),
// the one number syntax of every option (decimal, "$" or "0x" hexadecimal), the settings file of
// --settings, the firmware load of the update verbs, and the Qt platform the device sessions run
// on.
#pragma once

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QJsonObject>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/CreateMissingValuesIni.h"
#include "app/DeviceSession.h"
#include "app/UpdateSettings.h"
#include "firmware/PackageFiles.h"

namespace vornik {

/// A bad command line or input file: the one-line message on standard error, and with --json the
/// object {"result":"usage", ...} on standard output. Returns kExitUsage.
int UsageFailure(const std::string& Verb, const std::string& Message, bool Json, const QElapsedTimer& Clock);

/// Prints a verb's result: Obj (with "result", "text" and "seconds" added) as JSON, or Text as a
/// line (Lines first, if any). Returns ExitCode.
int Report(bool Json, QJsonObject Obj, const std::string& Result, const std::string& Text,
           const QElapsedTimer& Clock, int ExitCode, const std::string& Lines = std::string());

/// One line on standard error.
void ErrorLine(std::string_view Text);

/// A number as every option takes it: decimal, or "$" or "0x" and hexadecimal digits, no sign;
/// nullopt outside Min..Max or for anything else.
std::optional<int64_t> ParseRange(std::string_view Text, int64_t Min, int64_t Max);
/// A device address: 0..4294967295 in the syntax of ParseRange.
std::optional<uint32_t> ParseAddress(std::string_view Text);

/// The settings of a fresh settings file: every key reads as its default, nothing is read or
/// written.
class TDefaultSettings final : public TIniFile {
 public:
  TDefaultSettings() : TIniFile(std::string()) {}
  std::string ReadString(std::string_view, std::string_view, std::string_view Default) override {
    return std::string(Default);
  }
  int32_t ReadInteger(std::string_view, std::string_view, int32_t Default) override { return Default; }
};

/// The settings for --settings FILE (read only) when Given, otherwise the defaults of a fresh file.
/// The error text when the file cannot be read.
std::optional<std::string> OpenSettings(bool Given, const std::string& Name, std::unique_ptr<TIniFile>& Settings);
/// --answer-ms T1[,T2,T3] and --tries N, which every device verb takes.
void AddAnswerTimeOptions(QCommandLineParser& Parser);
/// Parses "T1[,T2,T3]" (ms, 1..600000 each) and N (1..100); the error text or nullopt.
std::optional<std::string> ParseAnswerTimes(const std::string& Ms, const std::string& Tries, TAnswerTimes& Times);
/// With --answer-ms or --tries given, Settings is replaced by one whose DEBUG answer times and
/// TriesMax read as given (Defaults, when not empty, stand in for options not given); Base then
/// holds the file read before. The error text of a bad value, or nullopt.
std::optional<std::string> ApplyAnswerTimeOptions(const QCommandLineParser& Parser, std::unique_ptr<TIniFile>& Settings,
                                                  std::unique_ptr<TIniFile>& Base, TAnswerTimes Defaults = {});

/// The reason Settings would make every upload refuse to start, or nullopt.
std::optional<std::string> UploadSettingsProblem(TIniFile& Settings);

/// Makes the log folder of fleet and listen with every missing parent (as mkdir -p does); the
/// reason when it is not there afterwards (empty name, a file in the way, no permission).
std::optional<std::string> MakeLogFolder(const std::string& Dir);

/// Loads a firmware file for an update with the loader of every face; Error says why not. The
/// lines the window would log go to standard error.
bool LoadFirmwareForUpdate(const std::string& Name, TLoadedFirmware& FW, std::string& Error);

/// The sessions' platform: Qt's loop, Qt's serial ports and TCP sockets, the permission hint.
TSessionPlatform QtSessionPlatform();

}  // namespace vornik
