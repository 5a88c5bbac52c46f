// The single-device verbs of vornik-tool: identify, restart, update, flash-read and flash-write,
// and scan, which asks a list of addresses on one line. Each reads its arguments, checks every
// input before a link is opened, runs the core's session on Qt's loop and prints the result.
#include <QCommandLineParser>
#include <QDate>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "VerbCommon.h"
#include "VerbOutput.h"
#include "Verbs.h"
#include "app/BusScan.h"
#include "app/DeviceOperations.h"
#include "app/FirmwareLoader.h"
#include "app/UpdateSession.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/StopSignals.h"
#include "util/FileReplace.h"
#include "util/MorvelUtils.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

std::string Std(const QString& s) { return s.toStdString(); }

QStringList ParserArgs(const TVerbArgs& Args) {
  QStringList list{QStringLiteral("vornik-tool")};
  for (const std::string& a : Args) list << QString::fromLocal8Bit(a.c_str());
  return list;
}

bool WantsJson(const TVerbArgs& Args) {
  for (const std::string& a : Args)
    if (a == "--json") return true;
  return false;
}

/// Arguments every single-device verb shares.
struct TCommon {
  std::string Verb;
  TConnection Connection;
  std::unique_ptr<TIniFile> BaseSettings;  ///< the file under --answer-ms and --tries
  std::unique_ptr<TIniFile> Settings;
  std::string LogFile;
  bool Json = false;
  TAnswerTimes AnswerDefaults;  ///< the verb's own answer times where --answer-ms/--tries are not given
};

void AddCommonOptions(QCommandLineParser& P) {
  P.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  P.addOption({"ip", "TCP host", "HOST"});
  P.addOption({"port", "TCP port", "N"});
  P.addOption({"serial", "serial device path", "PATH"});
  P.addOption({"baud", "serial baud rate", "B"});
  P.addOption({"address", "device address", "A"});
  P.addOption({"settings", "settings file (DEBUG and BATCH sections)", "FILE"});
  P.addOption({"log", "communication log file", "FILE"});
  P.addOption({"json", "result as one JSON object"});
  AddAnswerTimeOptions(P);
}

/// The folder of an output file exists (an empty folder part is the current folder).
bool OutputFolderExists(const std::string& File) {
  std::error_code ec;
  const fs::path parent = fs::path(File).parent_path();
  return parent.empty() || fs::is_directory(parent, ec);
}

std::optional<std::string> ReadCommon(const QCommandLineParser& P, TCommon& C) {
  TConnection& c = C.Connection;
  const bool ip = P.isSet("ip");
  const bool serial = P.isSet("serial");
  if (ip == serial) return "give the connection with either --ip HOST --port N or --serial PATH";
  if (ip) {
    c.Host = Std(P.value("ip"));
    if (c.Host.size() > 2 && c.Host.front() == '[' && c.Host.back() == ']') c.Host = c.Host.substr(1, c.Host.size() - 2);
    if (c.Host.empty()) return "empty host for --ip";
    if (!P.isSet("port")) return "missing --port for a TCP connection";
    const auto port = ParseRange(Std(P.value("port")), 1, 65535);
    if (!port) return "bad TCP port (1..65535): " + Std(P.value("port"));
    c.Port = static_cast<int>(*port);
    if (P.isSet("baud")) return "--baud is for serial connections";
  } else {
    c.Serial = true;
    c.Path = Std(P.value("serial"));
    if (c.Path.empty()) return "empty path for --serial";
    if (P.isSet("port")) return "--port is for TCP connections; give the serial device with --serial PATH";
    if (P.isSet("baud")) {
      const auto baud = ParseRange(Std(P.value("baud")), 1, 4000000);
      if (!baud) return "bad baud rate: " + Std(P.value("baud"));
      c.Baud = static_cast<int>(*baud);
    }
  }
  if (P.isSet("address")) {
    const auto a = ParseAddress(Std(P.value("address")));
    if (!a) return "bad address (0..4294967295, $0..$FFFFFFFF or 0x0..0xFFFFFFFF): " + Std(P.value("address"));
    c.Address = *a;
  }
  if (auto bad = OpenSettings(P.isSet("settings"), Std(P.value("settings")), C.Settings)) return bad;
  if (auto bad = ApplyAnswerTimeOptions(P, C.Settings, C.BaseSettings, C.AnswerDefaults)) return bad;
  if (P.isSet("log")) {
    C.LogFile = Std(P.value("log"));
    if (C.LogFile.empty() || !OutputFolderExists(C.LogFile)) return "the folder of the log file does not exist: " + C.LogFile;
  }
  return std::nullopt;
}

/// Parses a device verb's command line: the common options, then Extra's. On failure Code holds
/// the exit code (the message is printed).
struct TParsed {
  QCommandLineParser Parser;
  TCommon Common;
  std::optional<int> Code;
};

void Parse(TParsed& R, const std::string& Verb, const TVerbArgs& Args, const QElapsedTimer& Clock,
           const std::vector<QCommandLineOption>& Extra, bool Positional = false) {
  AddCommonOptions(R.Parser);
  for (const auto& o : Extra) R.Parser.addOption(o);
  R.Common.Verb = Verb;
  R.Common.Json = WantsJson(Args);
  if (!R.Parser.parse(ParserArgs(Args))) {
    R.Code = UsageFailure(Verb, Std(R.Parser.errorText()), R.Common.Json, Clock);
    return;
  }
  // "--json" anywhere asks for JSON, also where the parser took it as a missing option value.
  R.Common.Json = R.Common.Json || R.Parser.isSet("json");
  if (auto bad = ReadCommon(R.Parser, R.Common)) {
    R.Code = UsageFailure(Verb, *bad, R.Common.Json, Clock);
    return;
  }
  if (!Positional && !R.Parser.positionalArguments().isEmpty())
    R.Code = UsageFailure(Verb, "unexpected argument: " + Std(R.Parser.positionalArguments().first()), R.Common.Json,
                          Clock);
}

// "YYYY-MM-DDTHH:MM:SS" of a date-time held as days since 1899-12-30; nullopt when it is not a date.
std::optional<std::string> IsoDateTime(double Days) {
  std::string check;
  if (!FormatBuildDate(Days, check)) return std::nullopt;
  double whole = std::trunc(Days);
  long long secs = std::llround(std::fabs(Days - whole) * 86400.0);
  if (secs >= 86400) {
    secs -= 86400;
    whole += Days < 0 ? -1 : 1;
  }
  const QDate date = QDate(1899, 12, 30).addDays(static_cast<qint64>(whole));
  if (!date.isValid()) return std::nullopt;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02lld:%02lld:%02lld", date.year(), date.month(), date.day(),
                secs / 3600, secs / 60 % 60, secs % 60);
  return std::string(buf);
}

QString RawText(const char* Bytes, std::size_t Size) {
  return QString::fromStdString(Win1250ToUtf8(std::string_view(Bytes, Size)));
}

/// The "device" object of identify: the fields the answer's length covers.
QJsonObject DeviceJson(const TIdentifyOutcome& O, uint32_t Asked) {
  const TDeviceInfo& info = O.Info;
  std::string_view rest(O.Answer);
  if (rest.substr(0, 5) == "ASYSI") rest.remove_prefix(5);
  const int level = DeviceInfoLevel(std::min(rest.size(), kDeviceInfoMaxPayload));
  QJsonObject d;
  d["address"] = static_cast<qint64>(O.Sender.value_or(Asked));
  d["format"] = O.Format == TKRVMode::PMKRVOnly ? "KRV" : "KRVW";
  d["build_id"] = RawText(info.BuildID.data(), info.BuildID.size());
  d["build_name"] = RawText(info.BuildName.data(), info.BuildName.size());
  if (auto date = IsoDateTime(info.BuildDate)) d["build_date"] = QString::fromStdString(*date);
  if (level >= 2) d["project"] = info.ProjectNumber;
  if (level >= 3) {
    d["device_type"] = info.DeviceType;
    d["device_type_name"] = QString::fromStdString(DeviceTypeText(info.DeviceType));
  }
  if (level >= 4) {
    d["rx_buffer"] = info.RxBufLen;
    d["tx_buffer"] = info.TxBufLen;
    d["name"] = QString::fromStdString(DeviceNameText(info.DeviceName));
    d["bootloader_revision"] = info.BLRev;
    d["uptime"] = static_cast<qint64>(info.Uptime);
    d["bootloader_running"] = info.BootloaderRunning != 0;
  }
  if (level >= 5) d["cpu_type"] = info.CPUType;
  if (level >= 6) d["supply_voltage"] = info.Voltage;
  return d;
}

/// Runs Work on Qt's loop with a session for C and an operation on it; the loop ends with the
/// exit code given to Finish.
template <typename F>
int RunOperation(TCommon& C, F&& Work) {
  TDeviceSession session(QtSessionPlatform(), C.Connection, *C.Settings, C.LogFile);
  TDeviceOperation operation(session);
  return QtEventLoop::run([&] { Work(session, operation); });
}

void Finish(int Code) { QtEventLoop::quit(Code); }

TFlashRequest FlashRequest(const QCommandLineParser& P, std::string& Error) {
  TFlashRequest r;
  if (!P.isSet("start-page")) {
    Error = "missing --start-page P";
    return r;
  }
  const auto start = ParseRange(Std(P.value("start-page")), 0, 65535);
  if (!start) {
    Error = "bad start page (0..65535): " + Std(P.value("start-page"));
    return r;
  }
  r.StartPage = static_cast<uint16_t>(*start);
  if (P.isSet("page-size")) {
    const auto size = ParseRange(Std(P.value("page-size")), 1, 65535);
    if (!size) {
      Error = "bad page size (1..65535): " + Std(P.value("page-size"));
      return r;
    }
    r.PageSize = static_cast<int>(*size);
  }
  r.Turbo = P.isSet("turbo");
  return r;
}

constexpr int32_t kScanAnswerMs = 50;

const std::vector<QCommandLineOption> kFlashOptions = {
    {"start-page", "first page", "P"}, {"page-size", "page size", "S"}, {"turbo", "turbo mode"}};

std::vector<QCommandLineOption> With(std::vector<QCommandLineOption> A, const std::vector<QCommandLineOption>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

}  // namespace

int RunIdentify(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  TParsed p;
  Parse(p, "identify", Args, Clock, {});
  if (p.Code) return *p.Code;
  TCommon& c = p.Common;
  return RunOperation(c, [&](TDeviceSession&, TDeviceOperation& op) {
    op.Identify([&](const TIdentifyOutcome& O) {
      QJsonObject obj;
      if (O.Result == "ok") obj["device"] = DeviceJson(O, c.Connection.Address);
      Finish(Report(c.Json, obj, O.Result, O.Text, Clock, O.ExitCode));
    });
  });
}

int RunRestart(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  TParsed p;
  Parse(p, "restart", Args, Clock, {});
  if (p.Code) return *p.Code;
  TCommon& c = p.Common;
  return RunOperation(c, [&](TDeviceSession&, TDeviceOperation& op) {
    op.Restart([&](const TOperationOutcome& O) {
      Finish(Report(c.Json, {}, O.Result, O.Text, Clock, O.ExitCode));
    });
  });
}

int RunUpdate(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "update";
  TParsed p;
  Parse(p, verb, Args, Clock,
        {{"fw", "firmware file", "FILE"},
         {"batched", "batched mode"},
         {"erase-flash", "erase the data flash first"},
         {"bootloader", "allow a bootloader image"},
         {"skip-current", "leave a device alone that runs the image's build"}});
  if (p.Code) return *p.Code;
  TCommon& c = p.Common;
  const QCommandLineParser& P = p.Parser;
  if (!P.isSet("fw")) return UsageFailure(verb, "missing --fw FILE", c.Json, Clock);
  TLoadedFirmware fw;
  std::string error;
  if (!LoadFirmwareForUpdate(Std(P.value("fw")), fw, error)) return UsageFailure(verb, error, c.Json, Clock);
  if (fw.IsBootloaderImage && !P.isSet("bootloader"))
    return UsageFailure(verb, "the image is a bootloader image; give --bootloader to install it", c.Json, Clock);
  if (auto bad = UploadSettingsProblem(*c.Settings)) return UsageFailure(verb, *bad, c.Json, Clock);
  TUpdateOptions options;
  options.Batched = P.isSet("batched");
  options.EraseFlash = P.isSet("erase-flash");
  options.SkipCurrent = P.isSet("skip-current");

  TProgressLine progress("update", fw.FWImage.size(), StderrIsTerminal());
  TDeviceSession session(QtSessionPlatform(), c.Connection, *c.Settings, c.LogFile);
  TUpdateSession run(session, fw, options);
  run.OnProgress = [&](uint64_t Bytes) { progress.Update(Bytes); };
  return QtEventLoop::run([&] {
    run.Start([&](const TUpdateOutcome& O) {
      progress.Finish();
      QJsonObject obj;
      obj["upload_result"] = O.UploadResult;
      obj["bytes"] = static_cast<qint64>(O.Bytes);
      Finish(Report(c.Json, obj, O.Result, O.Text, Clock, O.ExitCode));
    });
  });
}

int RunFlashRead(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "flash-read";
  TParsed p;
  Parse(p, verb, Args, Clock,
        With(kFlashOptions,
             {{"length", "bytes to read", "N"}, {"block-size", "bytes per request", "B"}, {"out", "output file", "FILE"}}));
  if (p.Code) return *p.Code;
  TCommon& c = p.Common;
  const QCommandLineParser& P = p.Parser;
  std::string error;
  TFlashRequest request = FlashRequest(P, error);
  if (!error.empty()) return UsageFailure(verb, error, c.Json, Clock);
  if (!P.isSet("length")) return UsageFailure(verb, "missing --length N", c.Json, Clock);
  const auto length = ParseRange(Std(P.value("length")), 1, 0x7FFFFFFF);
  if (!length) return UsageFailure(verb, "bad length (1..2147483647): " + Std(P.value("length")), c.Json, Clock);
  request.Length = static_cast<uint32_t>(*length);
  if (P.isSet("block-size")) {
    const auto b = ParseRange(Std(P.value("block-size")), 1, 255);
    if (!b) return UsageFailure(verb, "bad block size (1..255): " + Std(P.value("block-size")), c.Json, Clock);
    request.BlockSize = static_cast<int>(*b);
  }
  if (!P.isSet("out")) return UsageFailure(verb, "missing --out FILE", c.Json, Clock);
  const std::string out = Std(P.value("out"));
  std::error_code ec;
  if (out.empty() || !OutputFolderExists(out) || fs::is_directory(out, ec))
    return UsageFailure(verb, "the output file's folder does not exist: " + out, c.Json, Clock);
  if (const int err = CheckFileReplaceable(out); err != 0)
    return UsageFailure(verb, "the output file cannot be written: " + out + ": " + std::strerror(err), c.Json, Clock);

  TProgressLine progress("flash-read", request.Length, StderrIsTerminal());
  return RunOperation(c, [&](TDeviceSession&, TDeviceOperation& op) {
    op.OnProgress = [&](uint64_t Bytes) { progress.Update(Bytes); };
    op.ReadFlash(request, [&](const TFlashOutcome& O) {
      progress.Finish();
      int code = O.ExitCode;
      std::string result = O.Result;
      std::string text = O.Text;
      uint64_t bytes = 0;
      if (O.ExitCode == kExitOk) {
        try {
          WriteWholeFile(out, O.Data);
          bytes = O.Bytes;
        } catch (const std::exception& e) {
          // The device's part went well, but what it sent is not in the file.
          result = "write-failed";
          text = kWriteErrorPrefix + std::string(e.what());
          code = kExitFailed;
        }
      }
      QJsonObject obj{{"bytes", static_cast<qint64>(bytes)}};
      if (code == kExitOk) obj["sha256"] = QString::fromStdString(O.Sha256);
      Finish(Report(c.Json, obj, result, text, Clock, code, code == kExitOk ? "sha256 " + O.Sha256 + "\n" : ""));
    });
  });
}

int RunFlashWrite(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "flash-write";
  TParsed p;
  Parse(p, verb, Args, Clock, With(kFlashOptions, {{"verify", "read the written range back and compare it"}}), true);
  if (p.Code) return *p.Code;
  TCommon& c = p.Common;
  const QCommandLineParser& P = p.Parser;
  std::string error;
  TFlashRequest request = FlashRequest(P, error);
  if (!error.empty()) return UsageFailure(verb, error, c.Json, Clock);
  const QStringList files = P.positionalArguments();
  if (files.isEmpty()) return UsageFailure(verb, "missing FILE to write", c.Json, Clock);
  for (const QString& q : files) {
    const std::string name = Std(q);
    if (!RegularFileExists(name)) return UsageFailure(verb, FileNotFoundText(name), c.Json, Clock);
    try {
      request.Data += ReadWholeFile(name);
    } catch (const std::exception& e) {
      return UsageFailure(verb, kOpenFileErrorPrefix + std::string(e.what()), c.Json, Clock);
    }
  }
  if (request.Data.empty()) return UsageFailure(verb, "the files to write are empty", c.Json, Clock);
  request.Verify = P.isSet("verify");

  TProgressLine progress("flash-write", request.Data.size(), StderrIsTerminal());
  return RunOperation(c, [&](TDeviceSession&, TDeviceOperation& op) {
    op.OnProgress = [&](uint64_t Bytes) { progress.Update(Bytes); };
    op.WriteFlash(request, [&](const TFlashOutcome& O) {
      progress.Finish();
      QJsonObject obj{{"bytes", static_cast<qint64>(O.Bytes)}};
      if (!O.Sha256.empty()) obj["sha256"] = QString::fromStdString(O.Sha256);
      if (O.FirstDifference) obj["first_difference"] = static_cast<qint64>(*O.FirstDifference);
      if (request.Verify) obj["verified"] = O.ExitCode == kExitOk;
      Finish(Report(c.Json, obj, O.Result, O.Text, Clock, O.ExitCode, O.Sha256.empty() ? "" : "sha256 " + O.Sha256 + "\n"));
    });
  });
}

int RunScan(const TVerbArgs& Args, const QElapsedTimer& Clock) {
  const std::string verb = "scan";
  TParsed p;
  // Most addresses of a scan stay silent: short answer times and one try unless given.
  p.Common.AnswerDefaults.Ms = {kScanAnswerMs};
  p.Common.AnswerDefaults.Tries = 1;
  Parse(p, verb, Args, Clock, {{"addresses", "addresses and ranges to ask", "LIST"}});
  if (p.Code) return *p.Code;
  TCommon& c = p.Common;
  const QCommandLineParser& P = p.Parser;
  if (P.isSet("address")) return UsageFailure(verb, "scan asks the addresses of --addresses LIST, not --address", c.Json, Clock);
  std::vector<uint32_t> addresses;
  if (P.isSet("addresses")) {
    std::string error;
    auto list = ParseAddressList(Std(P.value("addresses")), error);
    if (!list) return UsageFailure(verb, error, c.Json, Clock);
    addresses = std::move(*list);
    const std::size_t before = addresses.size();
    std::erase_if(addresses, IsBroadcastAddress);
    if (addresses.empty()) return UsageFailure(verb, "no address to ask (the broadcast address is never asked)", c.Json, Clock);
    if (addresses.size() != before) ErrorLine("vornik-tool scan: the broadcast address is left out");
  } else {
    for (uint32_t a = 1; a <= 254; ++a) addresses.push_back(a);
  }

  const bool terminal = StderrIsTerminal();
  int lastDecile = 0;
  TDeviceSession session(QtSessionPlatform(), c.Connection, *c.Settings, c.LogFile);
  TBusScan scan(session);
  scan.OnProgress = [&](std::size_t Asked, std::size_t Total, std::size_t Found) {
    const int decile = static_cast<int>(Asked * 10 / std::max<std::size_t>(Total, 1));
    const std::string line = "scan: " + std::to_string(Asked) + "/" + std::to_string(Total) + " addresses, " +
                             std::to_string(Found) + (Found == 1 ? " device" : " devices");
    if (terminal) {
      std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
      if (Asked == Total) std::fputc('\n', stderr);
      std::fflush(stderr);
    } else if (decile > lastDecile) {
      lastDecile = decile;
      ErrorLine(line);
    }
  };
  TStopSignals stopSignals([&scan] { scan.Stop(); });
  return QtEventLoop::run([&] {
    scan.Start(addresses, [&](const TScanOutcome& O) {
      QJsonArray list;
      std::string lines;
      for (const TIdentifyOutcome& d : O.Devices) {
        const QJsonObject obj = DeviceJson(d, *d.Sender);
        list.append(obj);
        lines += std::to_string(*d.Sender) + "  " + Std(obj["format"].toString()) + "  " +
                 Std(obj["build_id"].toString()) + "  " + Std(obj["name"].toString()) + "\n";
      }
      // Also after a link lost part of the way: the devices found until then.
      QJsonObject obj;
      obj["devices"] = list;
      obj["asked"] = static_cast<qint64>(O.Asked);
      Finish(Report(c.Json, obj, O.Result, O.Text, Clock, O.ExitCode, lines));
    });
  });
}

}  // namespace vornik
