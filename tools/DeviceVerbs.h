// The device verbs of vornik-tool: identify, restart, update, flash-read, flash-write and fleet.
// Each runs the window's own engine and procedures on the Qt event loop of the process and ends
// with the same exit codes: 0 success, 1 the operation failed after the device had answered,
// 2 bad usage or an unusable input file or output folder (found before the link is opened),
// 3 the link could not be opened or the device never answered.
#pragma once

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QJsonObject>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "firmware/PackageFiles.h"

namespace vornik {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;

bool IsDeviceVerb(std::string_view Verb);
/// Runs Argv[1] (a device verb) with Argv[2...]; returns the exit code.
int RunDeviceVerb(int Argc, char** Argv);

// ---- Shared by the verbs -----------------------------------------------------------------------

/// A bad command line or input file: the one-line message on standard error, and with --json the
/// object {"result":"usage", ...} on standard output. Returns kExitUsage.
int UsageFailure(const std::string& Verb, const std::string& Message, bool Json, const QElapsedTimer& Clock);

/// Prints a verb's result: Obj (with "result", "text" and "seconds" added) as JSON, or Text as a
/// line (Lines first, if any). Returns ExitCode.
int Report(bool Json, QJsonObject Obj, const std::string& Result, const std::string& Text,
           const QElapsedTimer& Clock, int ExitCode, const std::string& Lines = std::string());

/// A device address: decimal 0..4294967295 or "$" and up to eight hexadecimal digits.
std::optional<uint32_t> ParseAddress(std::string_view Text);
/// A decimal or "$" hexadecimal number in Min..Max (Min at least 0).
std::optional<int64_t> ParseRange(std::string_view Text, int64_t Min, int64_t Max);

/// Loads a HEX or QOB firmware file as the unattended update does; Error says why not.
bool LoadFirmwareForUpdate(const std::string& Name, TLoadedFirmware& FW, std::string& Error);

/// The fleet verb (FleetVerb.cpp); Parser has not parsed yet.
int RunFleet(const QStringList& Args, const QElapsedTimer& Clock);
/// The listen verb (ListenVerb.cpp).
int RunListen(const QStringList& Args, const QElapsedTimer& Clock);

}  // namespace vornik
