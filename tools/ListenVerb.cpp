// `vornik-tool listen`: the PC waits for devices that open the connection themselves and updates
// each one that identifies itself (the core's listen run), with progress on standard error and
// one result line or JSON object. Every option, the firmware and the settings are checked, and
// the port is listened on, before the first device is taken.
#include <QCommandLineParser>
#include <QJsonArray>

#include <filesystem>
#include <vector>

#include "VerbCommon.h"
#include "VerbOutput.h"
#include "Verbs.h"
#include "app/ListenRun.h"
#include "comms/KRVTCPServer.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtServerSocket.h"
#include "platform/qt/StopSignals.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultLogDir = "vornik-listen-logs";
constexpr const char* kServerLogName = "server.log";

std::string Std(const QString& s) { return s.toStdString(); }

}  // namespace

int RunListen(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "listen";
  bool json = std::find(Args.begin(), Args.end(), "--json") != Args.end();
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
  p.addOption({"max-per-address", "unserved connections kept from one remote address", "N"});
  p.addOption({"json", "result as one JSON object"});
  AddAnswerTimeOptions(p);
  QStringList list{QStringLiteral("vornik-tool")};
  for (const std::string& a : Args) list << QString::fromLocal8Bit(a.c_str());
  if (!p.parse(list)) return UsageFailure(verb, Std(p.errorText()), json, Clock);
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
  int unidentifiedTimeout = 60, maxUnidentified = 256, maxPerAddress = 64;
  struct {
    const char* name;
    int64_t max;
    const char* zero;
    int* target;
  } guards[] = {
      {"unidentified-timeout", 86400, "never", &unidentifiedTimeout},
      {"max-unidentified", 1000000, "no limit", &maxUnidentified},
      {"max-per-address", 1000000, "no limit", &maxPerAddress},
  };
  for (const auto& g : guards) {
    if (!p.isSet(g.name)) continue;
    const auto v = ParseRange(Std(p.value(g.name)), 0, g.max);
    if (!v)
      return UsageFailure(verb,
                          "bad --" + std::string(g.name) + " (0.." + std::to_string(g.max) + ", 0: " + g.zero +
                              "): " + Std(p.value(g.name)),
                          json, Clock);
    *g.target = static_cast<int>(*v);
  }

  std::string error;
  TLoadedFirmware fw;
  if (!LoadFirmwareForUpdate(Std(p.value("fw")), fw, error)) return UsageFailure(verb, error, json, Clock);
  if (fw.IsBootloaderImage)
    return UsageFailure(verb, "the image is a bootloader image; listen does not install bootloaders", json, Clock);

  std::unique_ptr<TIniFile> settings;
  if (auto bad = OpenSettings(p.isSet("settings"), Std(p.value("settings")), settings))
    return UsageFailure(verb, *bad, json, Clock);
  std::unique_ptr<TIniFile> fileSettings;
  if (auto bad = ApplyAnswerTimeOptions(p, settings, fileSettings)) return UsageFailure(verb, *bad, json, Clock);
  if (auto bad = UploadSettingsProblem(*settings)) return UsageFailure(verb, *bad, json, Clock);

  options.LogDir = p.isSet("log-dir") ? Std(p.value("log-dir")) : std::string(kDefaultLogDir);
  if (auto bad = MakeLogFolder(options.LogDir)) return UsageFailure(verb, *bad, json, Clock);
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
  server.MaxUnservedPerAddress = maxPerAddress;
  server.SetNaploKomponens(&serverLog);
  try {
    server.SetActive(true);
  } catch (const std::exception& e) {
    return UsageFailure(verb, std::string("cannot listen: ") + e.what(), json, Clock);
  }
  std::fprintf(stderr, "vornik-tool listen: listening on %s\n",
               HostPortText(server.BindAddress.empty() ? std::string("0.0.0.0") : server.BindAddress,
                        server.ListeningPort())
                   .c_str());
  std::fflush(stderr);

  {
    TFleetProgress table(StderrIsTerminal());
    TListenRun run(QtSessionPlatform(), server, fw, *settings, options);
    run.Progress = RunProgressOn(table);
    TStopSignals stopSignals([&run] { run.Stop(); });
    QtEventLoop::run([&] { run.Start([] { QtEventLoop::quit(0); }); });

    int ok = 0, failed = 0;
    std::string lines;
    const QJsonArray list = DevicesJson(run.Devices(), lines, ok, failed, true);
    QJsonArray ignored;
    for (const auto& [device, address] : run.Ignored()) {
      QJsonObject o;
      o["device"] = QString::fromStdString(device);
      o["address"] = static_cast<qint64>(address);
      ignored.append(o);
      lines += device + "  " + std::to_string(address) + "  ignored (not listed)\n";
    }
    if (run.IgnoredMore() > 0)
      lines += std::to_string(run.IgnoredMore()) + " more calls of unlisted devices, not listed\n";
    if (run.Dropped() > 0)
      lines += std::to_string(run.Dropped()) + " devices found no room in the waiting list\n";
    QJsonObject obj;
    obj["devices"] = list;
    obj["ok"] = ok;
    obj["failed"] = failed;
    obj["ignored"] = ignored;
    obj["ignored_more"] = static_cast<qint64>(run.IgnoredMore());
    obj["dropped"] = static_cast<qint64>(run.Dropped());
    const std::string text = std::to_string(ok) + " of " + std::to_string(run.Devices().size()) +
                             " devices updated or current, " + std::to_string(failed) + " failed, " +
                             std::to_string(ignored.size()) + " ignored" +
                             (run.IgnoredMore() > 0 ? " (and " + std::to_string(run.IgnoredMore()) + " more calls)" : "");
    server.SetActive(false);
    return Report(json, obj, failed == 0 ? "ok" : "failed", text, Clock, failed == 0 ? kExitOk : kExitFailed, lines);
  }
}

}  // namespace vornik
