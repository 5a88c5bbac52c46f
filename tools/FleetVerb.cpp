// `vornik-tool fleet`: one firmware image into every device of a devices file (the core's fleet
// run), with progress on standard error and one result line or JSON object. The whole file, the
// firmware and the settings are checked before anything starts.
#include <QCommandLineParser>
#include <QJsonArray>

#include <filesystem>
#include <vector>

#include "FleetFile.h"
#include "VerbCommon.h"
#include "VerbOutput.h"
#include "Verbs.h"
#include "app/FleetRun.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/StopSignals.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultParallel = 16;
constexpr const char* kDefaultLogDir = "vornik-fleet-logs";

std::string Std(const QString& s) { return s.toStdString(); }

}  // namespace

int RunFleet(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "fleet";
  bool json = std::find(Args.begin(), Args.end(), "--json") != Args.end();
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  p.addOption({"fw", "firmware file", "FILE"});
  p.addOption({"parallel", "updates at once", "N"});
  p.addOption({"batched", "batched mode"});
  p.addOption({"skip-current", "leave devices alone that run the image's build"});
  p.addOption({"settings", "settings file", "FILE"});
  p.addOption({"log-dir", "folder of the device logs", "DIR"});
  p.addOption({"json", "result as one JSON object"});
  AddAnswerTimeOptions(p);
  QStringList list{QStringLiteral("vornik-tool")};
  for (const std::string& a : Args) list << QString::fromLocal8Bit(a.c_str());
  if (!p.parse(list)) return UsageFailure(verb, Std(p.errorText()), json, Clock);
  json = json || p.isSet("json");
  const QStringList pos = p.positionalArguments();
  if (pos.size() != 1) return UsageFailure(verb, pos.isEmpty() ? "missing DEVICES_FILE" : "give one DEVICES_FILE", json, Clock);
  if (!p.isSet("fw")) return UsageFailure(verb, "missing --fw FILE", json, Clock);
  int parallel = kDefaultParallel;
  if (p.isSet("parallel")) {
    const auto n = ParseRange(Std(p.value("parallel")), 1, 1024);
    if (!n) return UsageFailure(verb, "bad --parallel (1..1024): " + Std(p.value("parallel")), json, Clock);
    parallel = static_cast<int>(*n);
  }

  // The devices file, whole, before anything else.
  const std::string devicesFile = Std(pos.first());
  std::string content;
  if (!RegularFileExists(devicesFile)) return UsageFailure(verb, "devices file not found: " + devicesFile, json, Clock);
  try {
    content = ReadWholeFile(devicesFile);
  } catch (const std::exception& e) {
    return UsageFailure(verb, "devices file cannot be read: " + std::string(e.what()), json, Clock);
  }
  std::vector<TFleetEntry> entries;
  std::string error;
  if (!ParseFleetFile(content, entries, error)) return UsageFailure(verb, devicesFile + ": " + error, json, Clock);
  if (entries.empty()) return UsageFailure(verb, devicesFile + ": no devices", json, Clock);

  TLoadedFirmware fw;
  if (!LoadFirmwareForUpdate(Std(p.value("fw")), fw, error)) return UsageFailure(verb, error, json, Clock);
  if (fw.IsBootloaderImage)
    return UsageFailure(verb, "the image is a bootloader image; a fleet does not install bootloaders", json, Clock);

  std::unique_ptr<TIniFile> settings;
  if (auto bad = OpenSettings(p.isSet("settings"), Std(p.value("settings")), settings))
    return UsageFailure(verb, *bad, json, Clock);
  std::unique_ptr<TIniFile> fileSettings;
  if (auto bad = ApplyAnswerTimeOptions(p, settings, fileSettings)) return UsageFailure(verb, *bad, json, Clock);
  if (auto bad = UploadSettingsProblem(*settings)) return UsageFailure(verb, *bad, json, Clock);

  std::string logDir = p.isSet("log-dir") ? Std(p.value("log-dir")) : std::string(kDefaultLogDir);
  if (auto bad = MakeLogFolder(logDir)) return UsageFailure(verb, *bad, json, Clock);

  std::vector<TRunDevice> devices(entries.size());
  std::vector<std::string> used;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    devices[i].Label = entries[i].Text;
    devices[i].Connection = entries[i].Connection;
    devices[i].LogFile = (fs::path(logDir) / UniqueLogName(entries[i].Text, used)).string();
  }

  TUpdateOptions options;
  options.Batched = p.isSet("batched");
  options.SkipCurrent = p.isSet("skip-current");
  TFleetProgress table(StderrIsTerminal());
  TFleetRun run(QtSessionPlatform(), devices, fw, *settings, options, parallel);
  run.Progress = RunProgressOn(table);
  TStopSignals stopSignals([&run] { run.Stop(); });
  QtEventLoop::run([&] { run.Start([] { QtEventLoop::quit(0); }); });

  int ok = 0, failed = 0;
  std::string lines;
  QJsonObject obj;
  obj["devices"] = DevicesJson(devices, lines, ok, failed, false);
  obj["ok"] = ok;
  obj["failed"] = failed;
  const std::string text = std::to_string(ok) + " of " + std::to_string(devices.size()) + " devices updated or current, " +
                           std::to_string(failed) + " failed";
  return Report(json, obj, failed == 0 ? "ok" : "failed", text, Clock, failed == 0 ? kExitOk : kExitFailed, lines);
}

}  // namespace vornik
