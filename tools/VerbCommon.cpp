#include "VerbCommon.h"

#include <QJsonDocument>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "VerbOutput.h"
#include "app/FirmwareLoader.h"
#include "app/UpdateSettings.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtLinkErrors.h"
#include "platform/qt/QtPortLink.h"
#include "platform/qt/SerialPortHints.h"
#include "procedures/uFirmwareUploader.h"
#include "util/NumberText.h"

namespace vornik {

int UsageFailure(const std::string& Verb, const std::string& Message, bool Json, const QElapsedTimer& Clock) {
  ErrorLine("vornik-tool " + Verb + ": " + Message);
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

void ErrorLine(std::string_view Text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(Text.size()), Text.data());
  std::fflush(stderr);
}

std::optional<int64_t> ParseRange(std::string_view Text, int64_t Min, int64_t Max) {
  std::optional<uint32_t> v;
  if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
    v = ParseUnsigned("$" + std::string(Text.substr(2)));
  } else if (!Text.empty() && (Text[0] == '$' || (Text[0] >= '0' && Text[0] <= '9'))) {
    v = ParseUnsigned(Text);
  }
  if (v && *v >= Min && *v <= Max) return static_cast<int64_t>(*v);
  return std::nullopt;
}

std::optional<uint32_t> ParseAddress(std::string_view Text) {
  if (const auto v = ParseRange(Text, 0, 0xFFFFFFFFll)) return static_cast<uint32_t>(*v);
  return std::nullopt;
}

std::optional<std::string> OpenSettings(bool Given, const std::string& Name, std::unique_ptr<TIniFile>& Settings) {
  if (!Given) {
    Settings = std::make_unique<TDefaultSettings>();
    return std::nullopt;
  }
  std::FILE* f = RegularFileExists(Name) ? std::fopen(Name.c_str(), "rb") : nullptr;
  if (f == nullptr) return "settings file cannot be read: " + Name;
  std::fclose(f);
  Settings = std::make_unique<TIniFile>(Name);
  return std::nullopt;
}

void AddAnswerTimeOptions(QCommandLineParser& P) {
  P.addOption({"answer-ms", "answer times of the 1st, 2nd and later tries (ms)", "T1[,T2,T3]"});
  P.addOption({"tries", "transmissions of a request before giving up", "N"});
}

std::optional<std::string> ParseAnswerTimes(const std::string& Ms, const std::string& Tries, TAnswerTimes& Times) {
  if (!Ms.empty()) {
    Times.Ms.clear();
    std::string_view rest = Ms;
    while (true) {
      const auto comma = rest.find(',');
      const auto v = ParseRange(rest.substr(0, comma), 1, 600000);
      if (!v || Times.Ms.size() == 3) return "bad --answer-ms (one to three times of 1..600000 ms, T1[,T2,T3]): " + Ms;
      Times.Ms.push_back(static_cast<int32_t>(*v));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  if (!Tries.empty()) {
    const auto n = ParseRange(Tries, 1, 100);
    if (!n) return "bad --tries (1..100): " + Tries;
    Times.Tries = static_cast<int32_t>(*n);
  }
  return std::nullopt;
}

std::optional<std::string> ApplyAnswerTimeOptions(const QCommandLineParser& P, std::unique_ptr<TIniFile>& Settings,
                                                  std::unique_ptr<TIniFile>& Base, TAnswerTimes Times) {
  const bool ms = P.isSet("answer-ms");
  const bool tries = P.isSet("tries");
  if (ms && P.value("answer-ms").isEmpty()) return "empty --answer-ms";
  if (tries && P.value("tries").isEmpty()) return "empty --tries";
  if (auto bad = ParseAnswerTimes(ms ? P.value("answer-ms").toStdString() : std::string(),
                                  tries ? P.value("tries").toStdString() : std::string(), Times))
    return bad;
  if (Times.Empty()) return std::nullopt;
  Base = std::move(Settings);
  Settings = std::make_unique<TAnswerTimeSettings>(*Base, std::move(Times));
  return std::nullopt;
}

std::optional<std::string> UploadSettingsProblem(TIniFile& Settings) {
  TFirmwareUploader probe(QtEventLoop::instance());
  ApplyShippedUploaderSettings(probe);
  if (Settings.ReadInteger("DEBUG", "BlockLength", probe.BlockLength) <= 0)
    return "BlockLength in the settings file must be above 0";
  return std::nullopt;
}

std::optional<std::string> MakeLogFolder(const std::string& Dir) {
  if (Dir.empty()) return "empty name for the log folder";
  std::error_code ec;
  std::filesystem::create_directories(Dir, ec);
  std::error_code isDir;
  if (std::filesystem::is_directory(Dir, isDir)) return std::nullopt;
  const std::string why = ec ? ec.message() : "a file of that name is in the way";
  return "the log folder cannot be made: " + Dir + ": " + why;
}

bool LoadFirmwareForUpdate(const std::string& Name, TLoadedFirmware& FW, std::string& Error) {
  TFirmwareLoadOutput out;
  out.Log = [](std::string_view Line) { ErrorLine(Line); };
  return LoadFirmwareFile(Name, FW, out, &Error);
}

TSessionPlatform QtSessionPlatform() {
  TSessionPlatform p;
  p.Loop = &QtEventLoop::instance();
  p.MakeLinks = [](const TConnection& C, int ComNumber, TNaploComponent& Log) -> std::unique_ptr<PortLinkFactory> {
    auto links = std::make_unique<QtPortLinkFactory>(C.Serial ? TSerialPortMap{{ComNumber, C.Path}} : TSerialPortMap{});
    links->setNoticeHandler([&Log](const std::string& Text) { Log.WriteLog(Text, false); });
    return links;
  };
  p.SerialHint = [](const std::string& Path) -> std::string {
    const std::string hint = SerialPermissionHint(Path);
    return hint.empty() ? std::string() : std::string(kNoPermissionReason) + " - " + hint;
  };
  return p;
}

}  // namespace vornik
