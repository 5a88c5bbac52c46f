// `vornik-tool fleet`: one firmware image into every device of a devices file, up to --parallel
// updates at a time, all on the one event loop of the process. Every device gets its own
// session (log file, engine, uploader) and runs exactly the update of `vornik-tool update`; a
// device that fails only ends its own row. The whole file is checked before anything starts.
#include <QCoreApplication>
#include <QJsonArray>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "DeviceSession.h"
#include "DeviceVerbs.h"
#include "FleetFile.h"
#include "StopSignals.h"
#include "UpdateRun.h"
#include "VerbOutput.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultParallel = 16;
constexpr const char* kDefaultLogDir = "vornik-fleet-logs";

std::string Std(const QString& s) { return s.toStdString(); }

/// One device of the run: its line, its session while it runs, and how it ended.
struct TFleetDevice {
  TFleetEntry Entry;
  std::string LogFile;
  std::unique_ptr<TDeviceSession> Session;
  std::unique_ptr<TUpdateRun> Run;
  TUpdateOutcome Outcome;
  double Seconds = 0;
  QElapsedTimer Clock;
};

/// Log file names after the device, unique within the run.
std::string LogName(const std::string& Device, std::set<std::string>& Used) {
  std::string base;
  for (char c : Device) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-';
    base += plain ? c : '_';
  }
  while (!base.empty() && (base.front() == '_' || base.front() == '.')) base.erase(0, 1);
  if (base.empty()) base = "device";
  std::string name = base + ".log";
  for (int n = 2; Used.count(name) != 0; ++n) name = base + "-" + std::to_string(n) + ".log";
  Used.insert(name);
  return name;
}

class TFleetRun {
 public:
  TFleetRun(std::vector<TFleetDevice>& Devices, const TLoadedFirmware& FW, TIniFile& Settings,
            TUpdateOptions Options, int Parallel, bool Terminal)
      : devices_(Devices), fw_(FW), settings_(Settings), options_(Options), parallel_(Parallel),
        progress_(Terminal), context_(std::make_unique<QObject>()) {}

  /// Starts the first devices; Done runs when the last one has ended.
  void Start(std::function<void()> Done) {
    done_ = std::move(Done);
    Fill();
  }

  /// SIGINT/SIGTERM: running updates are aborted, devices not started yet end as aborted too.
  void Stop() {
    for (std::size_t i = next_; i < devices_.size(); ++i) {
      TUpdateOutcome& o = devices_[i].Outcome;
      o.Result = UploadResultName(TFWUploadResult::fwrAborted);
      o.Text = "Stopped before its update began.";
      o.UploadResult = static_cast<int>(TFWUploadResult::fwrAborted);
      o.ExitCode = kExitFailed;
    }
    next_ = devices_.size();
    for (auto& d : devices_)
      if (d.Run) d.Run->Abort();
    Fill();
  }

 private:
  void Fill() {
    while (running_ < parallel_ && next_ < devices_.size()) StartDevice(next_++);
    if (running_ == 0 && next_ >= devices_.size() && done_) {
      auto done = std::move(done_);
      done_ = nullptr;
      done();
    }
  }

  void StartDevice(std::size_t Index) {
    TFleetDevice& d = devices_[Index];
    ++running_;
    d.Clock.start();
    // Serial devices of one run are told apart by the COM number they are opened under.
    d.Session = std::make_unique<TDeviceSession>(d.Entry.Connection, settings_, d.LogFile, static_cast<int>(Index) + 1);
    d.Run = std::make_unique<TUpdateRun>(*d.Session, fw_, options_);
    const int row = static_cast<int>(Index);
    progress_.Start(row, d.Entry.Text, d.Run->TotalBytes());
    d.Run->OnProgress = [this, row](uint64_t Bytes) { progress_.Update(row, Bytes); };
    d.Run->Start([this, Index](const TUpdateOutcome& O) { Ended(Index, O); });
  }

  void Ended(std::size_t Index, const TUpdateOutcome& O) {
    TFleetDevice& d = devices_[Index];
    d.Outcome = O;
    d.Seconds = d.Clock.nsecsElapsed() / 1e9;
    progress_.Finish(static_cast<int>(Index), d.Entry.Text + ": " + O.Result);
    // The session is inside its own callback here; free it once control is back in the loop.
    QTimer::singleShot(0, context_.get(), [this, Index] {
      devices_[Index].Run.reset();
      devices_[Index].Session.reset();
      --running_;
      Fill();
    });
  }

  std::vector<TFleetDevice>& devices_;
  const TLoadedFirmware& fw_;
  TIniFile& settings_;
  TUpdateOptions options_;
  int parallel_;
  TFleetProgress progress_;
  std::unique_ptr<QObject> context_;
  std::function<void()> done_;
  std::size_t next_ = 0;
  int running_ = 0;
};

}  // namespace

int RunFleet(const QStringList& Args, const QElapsedTimer& Clock) {
  const std::string verb = "fleet";
  bool json = Args.contains("--json");
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  p.addOption({"fw", "firmware file", "FILE"});
  p.addOption({"parallel", "updates at once", "N"});
  p.addOption({"batched", "batched mode"});
  p.addOption({"skip-current", "leave devices alone that run the image's build"});
  p.addOption({"settings", "settings file", "FILE"});
  p.addOption({"log-dir", "folder of the device logs", "DIR"});
  p.addOption({"json", "result as one JSON object"});
  if (!p.parse(Args)) return UsageFailure(verb, Std(p.errorText()), json, Clock);
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

  std::string logDir = p.isSet("log-dir") ? Std(p.value("log-dir")) : std::string(kDefaultLogDir);
  std::error_code ec;
  if (!p.isSet("log-dir")) fs::create_directories(logDir, ec);
  if (logDir.empty() || !fs::is_directory(logDir, ec))
    return UsageFailure(verb, "the log folder does not exist: " + logDir, json, Clock);

  std::vector<TFleetDevice> devices(entries.size());
  std::set<std::string> used;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    devices[i].Entry = entries[i];
    devices[i].LogFile = (fs::path(logDir) / LogName(entries[i].Text, used)).string();
  }
  {
    // Checked before the first link opens, as a bad settings file would fail every device.
    TDeviceSession probe(devices[0].Entry.Connection, *settings, std::string());
    if (probe.Uploader.BlockLength <= 0)
      return UsageFailure(verb, "BlockLength in the settings file must be above 0", json, Clock);
  }

  TUpdateOptions options;
  options.Batched = p.isSet("batched");
  options.SkipCurrent = p.isSet("skip-current");
  TFleetRun run(devices, fw, *settings, options, parallel, StderrIsTerminal());
  TStopSignals stopSignals([&run] { run.Stop(); });
  QTimer::singleShot(0, [&] { run.Start([] { QCoreApplication::exit(0); }); });
  QCoreApplication::exec();

  int ok = 0, failed = 0;
  QJsonArray list;
  std::string lines;
  for (const TFleetDevice& d : devices) {
    const bool good = d.Outcome.ExitCode == kExitOk;
    (good ? ok : failed) += 1;
    QJsonObject o;
    o["device"] = QString::fromStdString(d.Entry.Text);
    o["address"] = static_cast<qint64>(d.Entry.Connection.Address);
    o["result"] = QString::fromStdString(d.Outcome.Result);
    o["upload_result"] = d.Outcome.UploadResult;
    o["seconds"] = d.Seconds;
    o["log"] = QString::fromStdString(d.LogFile);
    list.append(o);
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.1f s", d.Seconds);
    lines += d.Entry.Text + "  " + d.Outcome.Result + "  " + secs + "  " + d.Outcome.Text + "\n";
  }
  QJsonObject obj;
  obj["devices"] = list;
  obj["ok"] = ok;
  obj["failed"] = failed;
  const std::string text = std::to_string(ok) + " of " + std::to_string(devices.size()) + " devices updated or current, " +
                           std::to_string(failed) + " failed";
  return Report(json, obj, failed == 0 ? "ok" : "failed", text, Clock, failed == 0 ? kExitOk : kExitFailed, lines);
}

}  // namespace vornik
