// `vornik-tool listen`: the PC waits for devices that open the connection themselves (devices
// behind carrier NAT) and updates each one that identifies itself, with exactly the update of
// `vornik-tool update` and `fleet`, up to --parallel at a time, all on the one event loop.
//
// The TCP server identifies every connection; a device nobody serves yet reaches this verb through
// the server's unregistered-device event. A listed device (any device without --address) gets its
// own session with an engine in server mode, which the server hands the connection to; when no
// slot is free it waits, with the connection it called on, until one is. A device is updated once
// a run: when it calls back after its update it is left alone, and so is every unlisted device
// (reported once under "ignored"). The run ends when K devices were taken, after S seconds
// without a newly identified listed device (updates still running are finished), or on SIGINT /
// SIGTERM, which aborts the running updates.
#include <QCoreApplication>
#include <QJsonArray>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "DeviceSession.h"
#include "DeviceVerbs.h"
#include "StopSignals.h"
#include "UpdateRun.h"
#include "VerbOutput.h"
#include "comms/KRVTCPServer.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtServerSocket.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultParallel = 16;
constexpr const char* kDefaultLogDir = "vornik-listen-logs";
constexpr const char* kServerLogName = "server.log";
constexpr const char* kNotStartedText = "Stopped before its update began.";

std::string Std(const QString& s) { return s.toStdString(); }

std::string HostPort(const std::string& Host, int Port) {
  if (Host.find(':') != std::string::npos) return "[" + Host + "]:" + std::to_string(Port);
  return Host + ":" + std::to_string(Port);
}

/// One identified listed device.
struct TListenDevice {
  std::string Device;  ///< host:port of the connection it was first identified on
  uint32_t Address = 0;
  std::string LogFile;
  std::unique_ptr<TDeviceSession> Session;
  std::unique_ptr<TUpdateRun> Run;
  TClientData* Waiting = nullptr;  ///< the connection it waits on for a free slot
  bool Started = false;
  bool Ended = false;
  TUpdateOutcome Outcome;
  double Seconds = 0;
  QElapsedTimer Clock;
};

struct TListenOptions {
  std::set<uint32_t> Listed;  ///< empty: every device
  int Count = 0;              ///< 0: no limit
  int IdleSeconds = 0;        ///< 0: no limit
  int Parallel = kDefaultParallel;
  TUpdateOptions Update;
  std::string LogDir;
};

class TListenRun {
 public:
  TListenRun(TKRVTCPServer& Server, const TLoadedFirmware& FW, TIniFile& Settings, TListenOptions Options,
             bool Terminal)
      : server_(Server), fw_(FW), settings_(Settings), options_(std::move(Options)), progress_(Terminal),
        context_(std::make_unique<QObject>()) {
    server_.OnUnregdConnect = [this](TKRVTCPServer*, int32_t A, TClientData& C) {
      Identified(static_cast<uint32_t>(A), C);
    };
    server_.OnClientClosed = [this](TKRVTCPServer*, TClientData& C) {
      for (auto& d : devices_)
        if (d->Waiting == &C) d->Waiting = nullptr;
    };
    idle_.setSingleShot(true);
    QObject::connect(&idle_, &QTimer::timeout, context_.get(), [this] {
      closing_ = true;
      CheckEnd();
    });
  }
  ~TListenRun() {
    server_.OnUnregdConnect = nullptr;
    server_.OnClientClosed = nullptr;
  }

  void Start(std::function<void()> Done) {
    done_ = std::move(Done);
    if (options_.IdleSeconds > 0) idle_.start(options_.IdleSeconds * 1000);
  }

  /// SIGINT/SIGTERM: no more devices, running updates aborted, waiting ones reported as such.
  void Stop() {
    closing_ = true;
    idle_.stop();
    for (auto& d : devices_) {
      if (d->Started || d->Ended) continue;
      d->Ended = true;
      d->Outcome.Result = UploadResultName(TFWUploadResult::fwrAborted);
      d->Outcome.Text = kNotStartedText;
      d->Outcome.UploadResult = static_cast<int>(TFWUploadResult::fwrAborted);
      d->Outcome.ExitCode = kExitFailed;
      d->Waiting = nullptr;
    }
    for (std::size_t i = 0; i < devices_.size(); ++i)
      if (devices_[i]->Run && !devices_[i]->Ended) devices_[i]->Run->Abort();
    CheckEnd();
  }

  const std::vector<std::unique_ptr<TListenDevice>>& Devices() const { return devices_; }
  const std::vector<std::pair<std::string, uint32_t>>& Ignored() const { return ignored_; }

 private:
  void Identified(uint32_t A, TClientData& C) {
    const std::string device = HostPort(C.Socket->remoteAddress(), C.Socket->remotePort());
    if (!options_.Listed.empty() && options_.Listed.count(A) == 0) {
      if (ignoredSet_.insert(A).second) {
        ignored_.emplace_back(device, A);
        progress_.Finish(-1, device + ": address " + std::to_string(A) + " is not listed, left alone");
      }
      return;
    }
    for (auto& d : devices_) {
      if (d->Address != A) continue;
      if (!d->Started && !d->Ended) {
        d->Waiting = &C;  // still waiting: the newest connection counts
        Fill();
      }
      return;  // updated (or being updated) in this run: left alone
    }
    if (closing_) return;
    auto d = std::make_unique<TListenDevice>();
    d->Device = device;
    d->Address = A;
    d->LogFile = (fs::path(options_.LogDir) / LogName(A)).string();
    d->Waiting = &C;
    devices_.push_back(std::move(d));
    if (options_.Count > 0 && static_cast<int>(devices_.size()) >= options_.Count) closing_ = true;
    if (options_.IdleSeconds > 0 && !closing_) idle_.start(options_.IdleSeconds * 1000);
    if (closing_) idle_.stop();
    Fill();
  }

  std::string LogName(uint32_t A) {
    std::string name = std::to_string(A) + ".log";
    for (int n = 2; usedLogs_.count(name) != 0; ++n) name = std::to_string(A) + "-" + std::to_string(n) + ".log";
    usedLogs_.insert(name);
    return name;
  }

  void Fill() {
    for (std::size_t i = 0; i < devices_.size() && running_ < options_.Parallel; ++i) {
      TListenDevice& d = *devices_[i];
      if (d.Started || d.Ended) continue;
      if (d.Waiting == nullptr) continue;  // its connection went; it is taken when it calls again
      StartDevice(i);
    }
    CheckEnd();
  }

  void StartDevice(std::size_t Index) {
    TListenDevice& d = *devices_[Index];
    TClientData* client = d.Waiting;
    d.Waiting = nullptr;
    d.Started = true;
    ++running_;
    d.Clock.start();
    TConnection c;
    c.Host = client->Socket->remoteAddress();
    c.Port = client->Socket->remotePort();
    c.Address = d.Address;
    d.Session = std::make_unique<TDeviceSession>(c, settings_, d.LogFile);
    d.Session->UseServer(server_);
    d.Run = std::make_unique<TUpdateRun>(*d.Session, fw_, options_.Update);
    const int row = static_cast<int>(Index);
    progress_.Start(row, d.Device + " (" + std::to_string(d.Address) + ")", d.Run->TotalBytes());
    d.Run->OnProgress = [this, row](uint64_t Bytes) { progress_.Update(row, Bytes); };
    d.Run->Start([this, Index](const TUpdateOutcome& O) { Ended(Index, O); });
    // The engine is registered now; it takes the connection the device called on.
    server_.HandOver(*client, d.Session->Comms);
  }

  void Ended(std::size_t Index, const TUpdateOutcome& O) {
    TListenDevice& d = *devices_[Index];
    d.Outcome = O;
    d.Ended = true;
    d.Seconds = d.Clock.nsecsElapsed() / 1e9;
    progress_.Finish(static_cast<int>(Index), d.Device + " (" + std::to_string(d.Address) + "): " + O.Result);
    // The session is inside its own callback here; free it once control is back in the loop.
    QTimer::singleShot(0, context_.get(), [this, Index] {
      devices_[Index]->Run.reset();
      devices_[Index]->Session.reset();
      --running_;
      Fill();
    });
  }

  void CheckEnd() {
    if (!closing_ || running_ > 0 || !done_) return;
    for (const auto& d : devices_)
      if (!d->Ended && d->Waiting != nullptr) return;  // identified, a slot will come
    // Devices whose connection went while they waited: they end as no link.
    for (auto& d : devices_) {
      if (d->Ended) continue;
      d->Ended = true;
      d->Outcome.Result = "no-link";
      d->Outcome.Text = "The device hung up before its update began.";
      d->Outcome.UploadResult = static_cast<int>(TFWUploadResult::fwrKRVError);
      d->Outcome.ExitCode = kExitNoLink;
    }
    auto done = std::move(done_);
    done_ = nullptr;
    done();
  }

  TKRVTCPServer& server_;
  const TLoadedFirmware& fw_;
  TIniFile& settings_;
  TListenOptions options_;
  TFleetProgress progress_;
  std::unique_ptr<QObject> context_;
  QTimer idle_;
  std::function<void()> done_;
  std::vector<std::unique_ptr<TListenDevice>> devices_;  ///< in order of identification
  std::vector<std::pair<std::string, uint32_t>> ignored_;
  std::set<uint32_t> ignoredSet_;
  std::set<std::string> usedLogs_;
  int running_ = 0;
  bool closing_ = false;  ///< no more devices are taken
};

}  // namespace

int RunListen(const QStringList& Args, const QElapsedTimer& Clock) {
  const std::string verb = "listen";
  bool json = Args.contains("--json");
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  p.addOption({"listen-port", "TCP port to listen on", "N"});
  p.addOption({"bind", "local address to listen on (default: every interface)", "ADDR"});
  p.addOption({"fw", "firmware file", "FILE"});
  p.addOption({"address", "update only this device (repeatable)", "A"});
  p.addOption({"count", "end after this many devices", "K"});
  p.addOption({"idle-timeout", "end after S seconds without a new device", "S"});
  p.addOption({"parallel", "updates at once", "N"});
  p.addOption({"batched", "batched mode"});
  p.addOption({"skip-current", "leave devices alone that run the image's build"});
  p.addOption({"settings", "settings file", "FILE"});
  p.addOption({"log-dir", "folder of the logs", "DIR"});
  p.addOption({"unidentified-timeout", "close connections that do not identify themselves", "S"});
  p.addOption({"max-unidentified", "unidentified connections kept", "N"});
  p.addOption({"json", "result as one JSON object"});
  if (!p.parse(Args)) return UsageFailure(verb, Std(p.errorText()), json, Clock);
  json = json || p.isSet("json");
  if (!p.positionalArguments().isEmpty())
    return UsageFailure(verb, "unexpected argument: " + Std(p.positionalArguments().first()), json, Clock);
  if (!p.isSet("listen-port")) return UsageFailure(verb, "missing --listen-port N", json, Clock);
  const auto port = ParseRange(Std(p.value("listen-port")), 0, 65535);
  if (!port) return UsageFailure(verb, "bad --listen-port (0..65535): " + Std(p.value("listen-port")), json, Clock);
  if (!p.isSet("fw")) return UsageFailure(verb, "missing --fw FILE", json, Clock);

  TListenOptions options;
  for (const QString& a : p.values("address")) {
    const auto v = ParseAddress(Std(a));
    if (!v) return UsageFailure(verb, "bad address (0..4294967295 or $0..$FFFFFFFF): " + Std(a), json, Clock);
    options.Listed.insert(*v);
  }
  struct {
    const char* name;
    int64_t min, max;
    int* target;
  } numbers[] = {
      {"count", 1, 1000000, &options.Count},
      {"idle-timeout", 1, 10000000, &options.IdleSeconds},
      {"parallel", 1, 1024, &options.Parallel},
  };
  for (const auto& n : numbers) {
    if (!p.isSet(n.name)) continue;
    const auto v = ParseRange(Std(p.value(n.name)), n.min, n.max);
    if (!v)
      return UsageFailure(verb,
                          "bad --" + std::string(n.name) + " (" + std::to_string(n.min) + ".." + std::to_string(n.max) +
                              "): " + Std(p.value(n.name)),
                          json, Clock);
    *n.target = static_cast<int>(*v);
  }
  int unidentifiedTimeout = 60, maxUnidentified = 256;
  if (p.isSet("unidentified-timeout")) {
    const auto v = ParseRange(Std(p.value("unidentified-timeout")), 0, 86400);
    if (!v) return UsageFailure(verb, "bad --unidentified-timeout (0..86400, 0: never): " + Std(p.value("unidentified-timeout")), json, Clock);
    unidentifiedTimeout = static_cast<int>(*v);
  }
  if (p.isSet("max-unidentified")) {
    const auto v = ParseRange(Std(p.value("max-unidentified")), 0, 1000000);
    if (!v) return UsageFailure(verb, "bad --max-unidentified (0..1000000, 0: no limit): " + Std(p.value("max-unidentified")), json, Clock);
    maxUnidentified = static_cast<int>(*v);
  }

  std::string error;
  TLoadedFirmware fw;
  if (!LoadFirmwareForUpdate(Std(p.value("fw")), fw, error)) return UsageFailure(verb, error, json, Clock);
  if (fw.IsBootloaderImage)
    return UsageFailure(verb, "the image is a bootloader image; listen does not install bootloaders", json, Clock);

  std::unique_ptr<TIniFile> settings;
  if (auto bad = OpenSettings(p.isSet("settings"), Std(p.value("settings")), settings))
    return UsageFailure(verb, *bad, json, Clock);
  {
    TDeviceSession probe(TConnection{}, *settings, std::string());
    if (probe.Uploader.BlockLength <= 0)
      return UsageFailure(verb, "BlockLength in the settings file must be above 0", json, Clock);
  }

  options.LogDir = p.isSet("log-dir") ? Std(p.value("log-dir")) : std::string(kDefaultLogDir);
  std::error_code ec;
  if (!p.isSet("log-dir")) fs::create_directories(options.LogDir, ec);
  if (options.LogDir.empty() || !fs::is_directory(options.LogDir, ec))
    return UsageFailure(verb, "the log folder does not exist: " + options.LogDir, json, Clock);
  options.Update.Batched = p.isSet("batched");
  options.Update.SkipCurrent = p.isSet("skip-current");

  // The server's own log beside the devices' logs, written as the sessions write theirs.
  TNaploComponent serverLog;
  serverLog.SetConvertToPrintable(true);
  serverLog.SetLogTime(true);
  serverLog.SetLogLimit(10000000);
  serverLog.SetLogLevel(TLogLevel::LogEverything);
  serverLog.SetLogging(true);
  serverLog.SetLogFile((fs::path(options.LogDir) / kServerLogName).string());

  QtServerSocketFactory sockets;
  TKRVTCPServer server(QtEventLoop::instance(), sockets);
  server.Port = static_cast<int32_t>(*port);
  server.BindAddress = p.isSet("bind") ? Std(p.value("bind")) : std::string();
  server.UnidentifiedTimeout = unidentifiedTimeout;
  server.MaxUnidentified = maxUnidentified;
  server.SetNaploKomponens(&serverLog);
  try {
    server.SetActive(true);
  } catch (const std::exception& e) {
    return UsageFailure(verb, std::string("cannot listen: ") + e.what(), json, Clock);
  }
  std::fprintf(stderr, "vornik-tool listen: listening on %s\n",
               HostPort(server.BindAddress.empty() ? std::string("0.0.0.0") : server.BindAddress,
                        server.ListeningPort())
                   .c_str());
  std::fflush(stderr);

  {
    TListenRun run(server, fw, *settings, options, StderrIsTerminal());
    TStopSignals stopSignals([&run] { run.Stop(); });
    QTimer::singleShot(0, [&] { run.Start([] { QCoreApplication::exit(0); }); });
    QCoreApplication::exec();

    int ok = 0, failed = 0;
    QJsonArray list;
    std::string lines;
    for (const auto& d : run.Devices()) {
      const bool good = d->Outcome.ExitCode == kExitOk;
      (good ? ok : failed) += 1;
      QJsonObject o;
      o["device"] = QString::fromStdString(d->Device);
      o["address"] = static_cast<qint64>(d->Address);
      o["result"] = QString::fromStdString(d->Outcome.Result);
      o["upload_result"] = d->Outcome.UploadResult;
      o["seconds"] = d->Seconds;
      o["log"] = QString::fromStdString(d->LogFile);
      list.append(o);
      char secs[32];
      std::snprintf(secs, sizeof secs, "%.1f s", d->Seconds);
      lines += d->Device + "  " + std::to_string(d->Address) + "  " + d->Outcome.Result + "  " + secs + "  " +
               d->Outcome.Text + "\n";
    }
    QJsonArray ignored;
    for (const auto& [device, address] : run.Ignored()) {
      QJsonObject o;
      o["device"] = QString::fromStdString(device);
      o["address"] = static_cast<qint64>(address);
      ignored.append(o);
      lines += device + "  " + std::to_string(address) + "  ignored (not listed)\n";
    }
    QJsonObject obj;
    obj["devices"] = list;
    obj["ok"] = ok;
    obj["failed"] = failed;
    obj["ignored"] = ignored;
    const std::string text = std::to_string(ok) + " of " + std::to_string(run.Devices().size()) +
                             " devices updated or current, " + std::to_string(failed) + " failed, " +
                             std::to_string(ignored.size()) + " ignored";
    server.SetActive(false);
    return Report(json, obj, failed == 0 ? "ok" : "failed", text, Clock, failed == 0 ? kExitOk : kExitFailed, lines);
  }
}

}  // namespace vornik
