#include "DeviceVerbs.h"

#include <QCoreApplication>
#include <QDate>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "DeviceSession.h"
#include "UpdateRun.h"
#include "VerbOutput.h"
#include "app/FirmwareLoader.h"
#include "firmware/KRVDataUtils.h"
#include "procedures/uDeviceCommands.h"
#include "util/NumberText.h"

namespace vornik {

namespace {

namespace fs = std::filesystem;

// Texts of the window for the same operations.
constexpr const char* kDeviceInfoPrefix = "Készülékinformációk: ";
constexpr const char* kErrorPrefix = "Hiba történt: ";
constexpr const char* kRestartDone =
    "Ha a kapcsolatot jól állította be, akkor a készülék most újraindult. Az újraindulás TCP/IP kapcsolattal "
    "rendelkező készülékeken 4-5 másodpercet is igénybe vehet.";
constexpr const char* kFileNotFound = "A kiválasztott állomány nem található: ";
constexpr const char* kNotAFirmware =
    "A kiválasztott fájl nem firmware. Csak HEX vagy QOB állományokat lehet telepíteni.";
constexpr const char* kBadHexFile = "Hibás hexfájl: ";

constexpr int kDefaultPageSize = 264;   ///< bytes
constexpr int kDefaultBlockSize = 255;  ///< bytes

const char* const kDeviceVerbs[] = {"identify", "restart", "update", "flash-read", "flash-write", "fleet", "listen"};

std::string Std(const QString& s) { return s.toStdString(); }

/// Arguments every single-device verb shares.
struct TCommon {
  TConnection Connection;
  std::unique_ptr<TIniFile> Settings;
  std::string LogFile;
  bool Json = false;
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
    if (!a) return "bad address (0..4294967295 or $0..$FFFFFFFF): " + Std(P.value("address"));
    c.Address = *a;
  }
  if (auto bad = OpenSettings(P.isSet("settings"), Std(P.value("settings")), C.Settings)) return bad;
  if (P.isSet("log")) {
    C.LogFile = Std(P.value("log"));
    if (C.LogFile.empty() || !OutputFolderExists(C.LogFile)) return "the folder of the log file does not exist: " + C.LogFile;
  }
  return std::nullopt;
}

/// Runs the Qt loop until Finish is called; returns its exit code.
class TVerbLoop {
 public:
  TVerbLoop() : context_(std::make_unique<QObject>()) {}
  template <typename F>
  int Run(F&& Start) {
    QTimer::singleShot(0, context_.get(), std::forward<F>(Start));
    QCoreApplication::exec();
    return code_;
  }
  void Finish(int Code) {
    code_ = Code;
    QCoreApplication::exit(Code);
  }

 private:
  std::unique_ptr<QObject> context_;
  int code_ = kExitFailed;
};

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
QJsonObject DeviceJson(const std::string& Answer, const TDeviceInfo& Info, TKRVMode Format,
                       std::optional<uint32_t> Sender, uint32_t Asked) {
  std::string_view rest(Answer);
  if (rest.substr(0, 5) == "ASYSI") rest.remove_prefix(5);
  const int level = DeviceInfoLevel(std::min(rest.size(), kDeviceInfoMaxPayload));
  QJsonObject d;
  d["address"] = static_cast<qint64>(Sender.value_or(Asked));
  d["format"] = Format == TKRVMode::PMKRVOnly ? "KRV" : "KRVW";
  d["build_id"] = RawText(Info.BuildID.data(), Info.BuildID.size());
  d["build_name"] = RawText(Info.BuildName.data(), Info.BuildName.size());
  if (auto date = IsoDateTime(Info.BuildDate)) d["build_date"] = QString::fromStdString(*date);
  if (level >= 2) d["project"] = Info.ProjectNumber;
  if (level >= 3) {
    d["device_type"] = Info.DeviceType;
    d["device_type_name"] = QString::fromStdString(DeviceTypeText(Info.DeviceType));
  }
  if (level >= 4) {
    d["rx_buffer"] = Info.RxBufLen;
    d["tx_buffer"] = Info.TxBufLen;
    std::size_t n = Info.DeviceName.size();
    while (n > 0 && (Info.DeviceName[n - 1] == '\0' || Info.DeviceName[n - 1] == ' ')) --n;
    d["name"] = RawText(Info.DeviceName.data(), n);
    d["bootloader_revision"] = Info.BLRev;
    d["uptime"] = static_cast<qint64>(Info.Uptime);
    d["bootloader_running"] = Info.BootloaderRunning != 0;
  }
  if (level >= 5) d["cpu_type"] = Info.CPUType;
  if (level >= 6) d["supply_voltage"] = Info.Voltage;
  return d;
}

int CmdIdentify(TCommon& C, const QElapsedTimer& Clock) {
  TDeviceSession session(C.Connection, *C.Settings, C.LogFile);
  session.TrackAnswers("ASYSI");
  TDeviceCommands commands(session.Comms);
  TVerbLoop loop;
  return loop.Run([&] {
    session.Open([&](bool Up) {
      if (!Up) {
        loop.Finish(Report(C.Json, {}, "no-link", LinkFailureText(C.Connection), Clock, kExitNoLink));
        return;
      }
      commands.Identify([&](uint16_t ErrorCode, const std::string& Answer, TKRVMode Format) {
        session.Close();
        if (ErrorCode != 0) {
          const bool answered = session.DeviceAnswered();
          loop.Finish(Report(C.Json, {}, answered ? "unexpected-answer" : "no-answer",
                             kErrorPrefix + ErrorCodeText(ErrorCode), Clock, answered ? kExitFailed : kExitNoLink));
          return;
        }
        TDeviceInfo info;
        std::string text;
        if (DecodeDeviceInfo(Answer, info, text) != 0) {
          loop.Finish(Report(C.Json, {}, "unexpected-answer", text, Clock, kExitFailed));
          return;
        }
        QJsonObject obj;
        obj["device"] = DeviceJson(Answer, info, Format, session.AnswerSender(), C.Connection.Address);
        loop.Finish(Report(C.Json, obj, "ok", kDeviceInfoPrefix + text, Clock, kExitOk));
      });
    });
  });
}

int CmdRestart(TCommon& C, const QElapsedTimer& Clock) {
  TDeviceSession session(C.Connection, *C.Settings, C.LogFile);
  TDeviceCommands commands(session.Comms);
  TVerbLoop loop;
  return loop.Run([&] {
    session.Open([&](bool Up) {
      if (!Up) {
        loop.Finish(Report(C.Json, {}, "no-link", LinkFailureText(C.Connection), Clock, kExitNoLink));
        return;
      }
      // The device restarts instead of answering: both framings are sent and nothing is awaited.
      commands.Restart([&] {
        session.Close();
        loop.Finish(Report(C.Json, {}, "ok", kRestartDone, Clock, kExitOk));
      });
    });
  });
}

int CmdUpdate(QCommandLineParser& P, TCommon& C, const QElapsedTimer& Clock) {
  const std::string verb = "update";
  if (!P.isSet("fw")) return UsageFailure(verb, "missing --fw FILE", C.Json, Clock);
  if (!P.positionalArguments().isEmpty())
    return UsageFailure(verb, "unexpected argument: " + Std(P.positionalArguments().first()), C.Json, Clock);
  TLoadedFirmware fw;
  std::string error;
  if (!LoadFirmwareForUpdate(Std(P.value("fw")), fw, error)) return UsageFailure(verb, error, C.Json, Clock);
  if (fw.IsBootloaderImage && !P.isSet("bootloader"))
    return UsageFailure(verb, "the image is a bootloader image; give --bootloader to install it", C.Json, Clock);
  TUpdateOptions options;
  options.Batched = P.isSet("batched");
  options.EraseFlash = P.isSet("erase-flash");
  options.SkipCurrent = P.isSet("skip-current");

  TDeviceSession session(C.Connection, *C.Settings, C.LogFile);
  if (session.Uploader.BlockLength <= 0)
    return UsageFailure(verb, "BlockLength in the settings file must be above 0", C.Json, Clock);
  TUpdateRun run(session, fw, options);
  TProgressLine progress("update", run.TotalBytes(), StderrIsTerminal());
  run.OnProgress = [&](uint64_t Bytes) { progress.Update(Bytes); };
  TVerbLoop loop;
  return loop.Run([&] {
    run.Start([&](const TUpdateOutcome& O) {
      progress.Finish();
      QJsonObject obj;
      obj["upload_result"] = O.UploadResult;
      obj["bytes"] = static_cast<qint64>(O.Bytes);
      loop.Finish(Report(C.Json, obj, O.Result, O.Text, Clock, O.ExitCode));
    });
  });
}

const char* FlashResultName(TFlashRWResult R) {
  switch (R) {
    case TFlashRWResult::freOk: return "freOk";
    case TFlashRWResult::freAborted: return "freAborted";
    case TFlashRWResult::freKRVError: return "freKRVError";
    case TFlashRWResult::frePageIndexOutOfRange: return "frePageIndexOutOfRange";
    case TFlashRWResult::freFlashWriteError: return "freFlashWriteError";
    case TFlashRWResult::freFlashReadError: return "freFlashReadError";
    case TFlashRWResult::freInvalidAnswer: return "freInvalidAnswer";
  }
  return "freInvalidAnswer";
}

struct TFlashArgs {
  uint16_t StartPage = 0;
  int PageSize = kDefaultPageSize;
  int BlockSize = kDefaultBlockSize;
  bool Turbo = false;
};

std::optional<std::string> ReadFlashArgs(const QCommandLineParser& P, TFlashArgs& F) {
  if (!P.isSet("start-page")) return "missing --start-page P";
  const auto start = ParseRange(Std(P.value("start-page")), 0, 65535);
  if (!start) return "bad start page (0..65535): " + Std(P.value("start-page"));
  F.StartPage = static_cast<uint16_t>(*start);
  if (P.isSet("page-size")) {
    const auto size = ParseRange(Std(P.value("page-size")), 1, 65535);
    if (!size) return "bad page size (1..65535): " + Std(P.value("page-size"));
    F.PageSize = static_cast<int>(*size);
  }
  F.Turbo = P.isSet("turbo");
  return std::nullopt;
}

// Exit code of a flash result: a failure before the device ever answered is a missing device.
int FlashExit(TFlashRWResult R, const TDeviceSession& Session) {
  if (R == TFlashRWResult::freOk) return kExitOk;
  return Session.DeviceAnswered() ? kExitFailed : kExitNoLink;
}

int CmdFlashRead(QCommandLineParser& P, TCommon& C, const QElapsedTimer& Clock) {
  const std::string verb = "flash-read";
  TFlashArgs f;
  if (auto bad = ReadFlashArgs(P, f)) return UsageFailure(verb, *bad, C.Json, Clock);
  if (!P.isSet("length")) return UsageFailure(verb, "missing --length N", C.Json, Clock);
  const auto length = ParseRange(Std(P.value("length")), 1, 0x7FFFFFFF);
  if (!length) return UsageFailure(verb, "bad length (1..2147483647): " + Std(P.value("length")), C.Json, Clock);
  if (P.isSet("block-size")) {
    const auto b = ParseRange(Std(P.value("block-size")), 1, 255);
    if (!b) return UsageFailure(verb, "bad block size (1..255): " + Std(P.value("block-size")), C.Json, Clock);
    f.BlockSize = static_cast<int>(*b);
  }
  if (!P.isSet("out")) return UsageFailure(verb, "missing --out FILE", C.Json, Clock);
  const std::string out = Std(P.value("out"));
  std::error_code ec;
  if (out.empty() || !OutputFolderExists(out) || fs::is_directory(out, ec))
    return UsageFailure(verb, "the output file's folder does not exist: " + out, C.Json, Clock);
  if (!P.positionalArguments().isEmpty())
    return UsageFailure(verb, "unexpected argument: " + Std(P.positionalArguments().first()), C.Json, Clock);

  TDeviceSession session(C.Connection, *C.Settings, C.LogFile);
  TFlashReaderWriter& flash = session.Flash;
  const uint64_t total = static_cast<uint64_t>(*length);
  TProgressLine progress("flash-read", total, StderrIsTerminal());
  flash.OnPercentDone = [&](TFlashReaderWriter*, int Percent) {
    progress.Update(static_cast<uint64_t>(std::max(Percent, 0)) * total / 100);
  };
  TVerbLoop loop;
  return loop.Run([&] {
    session.Open([&](bool Up) {
      if (!Up) {
        loop.Finish(Report(C.Json, {{"bytes", 0}}, "no-link", LinkFailureText(C.Connection), Clock, kExitNoLink));
        return;
      }
      flash.OnReadingDone = [&](TFlashReaderWriter*, TFlashRWResult R, std::string& Data) {
        session.Close();
        progress.Finish();
        int code = FlashExit(R, session);
        std::string text = FlashRWResultToStr(R);
        uint64_t bytes = 0;
        if (R == TFlashRWResult::freOk) {
          try {
            WriteWholeFile(out, Data);
            bytes = Data.size();
          } catch (const std::exception& e) {
            text = kWriteErrorPrefix + std::string(e.what());
            code = kExitFailed;
          }
        }
        loop.Finish(Report(C.Json, {{"bytes", static_cast<qint64>(bytes)}}, FlashResultName(R), text, Clock, code));
      };
      flash.FlashPageSize = f.PageSize;
      flash.BlockSize = static_cast<uint8_t>(f.BlockSize);
      flash.TurboMode = f.Turbo;
      flash.ReadFlashToStr(f.StartPage, static_cast<uint32_t>(total));
    });
  });
}

int CmdFlashWrite(QCommandLineParser& P, TCommon& C, const QElapsedTimer& Clock) {
  const std::string verb = "flash-write";
  TFlashArgs f;
  if (auto bad = ReadFlashArgs(P, f)) return UsageFailure(verb, *bad, C.Json, Clock);
  const QStringList files = P.positionalArguments();
  if (files.isEmpty()) return UsageFailure(verb, "missing FILE to write", C.Json, Clock);
  std::string data;
  for (const QString& q : files) {
    const std::string name = Std(q);
    if (!RegularFileExists(name)) return UsageFailure(verb, kFileNotFound + name, C.Json, Clock);
    try {
      data += ReadWholeFile(name);
    } catch (const std::exception& e) {
      return UsageFailure(verb, kOpenFileErrorPrefix + std::string(e.what()), C.Json, Clock);
    }
  }
  if (data.empty()) return UsageFailure(verb, "the files to write are empty", C.Json, Clock);

  TDeviceSession session(C.Connection, *C.Settings, C.LogFile);
  TFlashReaderWriter& flash = session.Flash;
  const uint64_t total = data.size();
  uint64_t written = 0;
  TProgressLine progress("flash-write", total, StderrIsTerminal());
  // One report per page the device took.
  flash.OnPercentDone = [&](TFlashReaderWriter*, int) {
    written = std::min<uint64_t>(written + static_cast<uint64_t>(f.PageSize), total);
    progress.Update(written);
  };
  TVerbLoop loop;
  return loop.Run([&] {
    session.Open([&](bool Up) {
      if (!Up) {
        loop.Finish(Report(C.Json, {{"bytes", 0}}, "no-link", LinkFailureText(C.Connection), Clock, kExitNoLink));
        return;
      }
      flash.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult R) {
        session.Close();
        progress.Finish();
        if (R == TFlashRWResult::freOk) written = total;
        loop.Finish(Report(C.Json, {{"bytes", static_cast<qint64>(written)}}, FlashResultName(R),
                           FlashRWResultToStr(R), Clock, FlashExit(R, session)));
      };
      flash.FlashPageSize = f.PageSize;
      flash.TurboMode = f.Turbo;
      flash.WriteFlashFromStr(f.StartPage, data);
    });
  });
}

}  // namespace

bool IsDeviceVerb(std::string_view Verb) {
  for (const char* v : kDeviceVerbs)
    if (Verb == v) return true;
  return false;
}

int UsageFailure(const std::string& Verb, const std::string& Message, bool Json, const QElapsedTimer& Clock) {
  std::fprintf(stderr, "vornik-tool %s: %s\n", Verb.c_str(), Message.c_str());
  std::fflush(stderr);
  if (Json) {
    QJsonObject obj;
    obj["result"] = "usage";
    obj["text"] = QString::fromStdString(Message);
    obj["seconds"] = Clock.nsecsElapsed() / 1e9;
    PrintJson(obj);
  }
  return kExitUsage;
}

int Report(bool Json, QJsonObject Obj, const std::string& Result, const std::string& Text,
           const QElapsedTimer& Clock, int ExitCode, const std::string& Lines) {
  if (Json) {
    Obj["result"] = QString::fromStdString(Result);
    Obj["text"] = QString::fromStdString(Text);
    Obj["seconds"] = Clock.nsecsElapsed() / 1e9;
    PrintJson(Obj);
  } else {
    std::string out = Lines + Text + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  return ExitCode;
}

std::optional<int64_t> ParseRange(std::string_view Text, int64_t Min, int64_t Max) {
  if (const auto v = ParseUnsigned(Text); v && *v >= Min && *v <= Max) return static_cast<int64_t>(*v);
  return std::nullopt;
}

std::optional<uint32_t> ParseAddress(std::string_view Text) { return ParseUnsigned(Text); }

bool LoadFirmwareForUpdate(const std::string& Name, TLoadedFirmware& FW, std::string& Error) {
  TFirmwareLoadOutput out;
  out.Log = [](std::string_view Line) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(Line.size()), Line.data());
    std::fflush(stderr);
  };
  return LoadFirmwareFile(Name, FW, out, &Error);
}

int RunDeviceVerb(int Argc, char** Argv) {
  QElapsedTimer clock;
  clock.start();
  // A closed console must not end an update half way; writes to it simply fail.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string verb = Argv[1];
  bool json = false;
  QStringList args{QString::fromLocal8Bit(Argv[0])};
  for (int i = 2; i < Argc; ++i) {
    args << QString::fromLocal8Bit(Argv[i]);
    if (std::string_view(Argv[i]) == "--json") json = true;
  }
  QCoreApplication app(Argc, Argv);
  if (verb == "fleet") return RunFleet(args, clock);
  if (verb == "listen") return RunListen(args, clock);

  QCommandLineParser p;
  AddCommonOptions(p);
  if (verb == "update") {
    p.addOption({"fw", "firmware file", "FILE"});
    p.addOption({"batched", "batched mode"});
    p.addOption({"erase-flash", "erase the data flash first"});
    p.addOption({"bootloader", "allow a bootloader image"});
    p.addOption({"skip-current", "leave a device alone that runs the image's build"});
  } else if (verb == "flash-read" || verb == "flash-write") {
    p.addOption({"start-page", "first page", "P"});
    p.addOption({"page-size", "page size", "S"});
    p.addOption({"turbo", "turbo mode"});
    if (verb == "flash-read") {
      p.addOption({"length", "bytes to read", "N"});
      p.addOption({"block-size", "bytes per request", "B"});
      p.addOption({"out", "output file", "FILE"});
    }
  }
  if (!p.parse(args)) return UsageFailure(verb, Std(p.errorText()), json, clock);
  TCommon common;
  // "--json" anywhere asks for JSON, also where the parser took it as a missing option value.
  common.Json = json || p.isSet("json");
  if (auto bad = ReadCommon(p, common)) return UsageFailure(verb, *bad, common.Json, clock);
  if ((verb == "identify" || verb == "restart") && !p.positionalArguments().isEmpty())
    return UsageFailure(verb, "unexpected argument: " + Std(p.positionalArguments().first()), common.Json, clock);
  try {
    if (verb == "identify") return CmdIdentify(common, clock);
    if (verb == "restart") return CmdRestart(common, clock);
    if (verb == "update") return CmdUpdate(p, common, clock);
    if (verb == "flash-read") return CmdFlashRead(p, common, clock);
    if (verb == "flash-write") return CmdFlashWrite(p, common, clock);
  } catch (const std::exception& e) {
    return Report(common.Json, {}, "failed", e.what(), clock, kExitFailed);
  }
  return UsageFailure(verb, "unknown command", json, clock);
}

}  // namespace vornik
