#include "DeviceSession.h"

#include <QTimer>

#include <cstdio>

#include "app/CreateMissingValuesIni.h"
#include "app/UpdateSettings.h"
#include "firmware/PackageFiles.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtLinkErrors.h"
#include "platform/qt/SerialPortHints.h"

namespace vornik {

namespace {
constexpr std::size_t kWatchLimit = 4096;  ///< bytes kept while looking for a first clean frame

// The links of one session; their hints (a slow USB adapter) go to the session's log.
QtPortLinkFactory SessionLinks(TSerialPortMap Map, TNaploComponent& Log) {
  QtPortLinkFactory links(std::move(Map));
  links.setNoticeHandler([&Log](const std::string& Text) { Log.WriteLog(Text, false); });
  return links;
}
}  // namespace

std::string TConnection::Target() const {
  if (Serial) return Path + "@" + std::to_string(Baud);
  if (Host.find(':') != std::string::npos) return "[" + Host + "]:" + std::to_string(Port);
  return Host + ":" + std::to_string(Port);
}

std::string LinkFailureText(const TConnection& Connection) {
  std::string text = ErrorCodeText(3) + " (" + Connection.Target() + ")";
  // A serial device file this user may not open: say which group to join.
  if (Connection.Serial) {
    if (const std::string hint = SerialPermissionHint(Connection.Path); !hint.empty())
      text += std::string(kNoPermissionReason) + " - " + hint;
  }
  return text;
}

TDeviceSession::TDeviceSession(const TConnection& Connection, TIniFile& Settings, const std::string& LogFile,
                               int ComNumber)
    : Links(SessionLinks(Connection.Serial ? TSerialPortMap{{ComNumber, Connection.Path}} : TSerialPortMap{}, Naplo)),
      Comms(QtEventLoop::instance(), Links),
      Uploader(QtEventLoop::instance()),
      connection_(Connection),
      context_(std::make_unique<QObject>()) {
  // The log as the window ships it, when one is asked for.
  Naplo.SetConvertToPrintable(true);
  Naplo.SetLogTime(true);
  Naplo.SetLogLimit(10000000);
  Naplo.SetLogLevel(TLogLevel::LogEverything);
  Naplo.SetLogging(!LogFile.empty());
  if (!LogFile.empty()) Naplo.SetLogFile(LogFile);

  Comms.SetNaploKomponens(&Naplo);
  ApplyShippedEngineSettings(Comms);
  ApplyShippedUploaderSettings(Uploader);
  Uploader.SetKRVPort(&Comms);
  Flash.SetKRVPort(&Comms);
  ApplyUpdateSettings(Settings, Comms, Uploader);
  Uploader.ReconnectSerialPort = Connection.Serial;

  // The connect switch of the window: link target and address, quick reconnects.
  if (Connection.Serial) {
    Comms.Host.clear();
    Comms.Port = ComNumber;
    Comms.Baud = Connection.Baud;
  } else {
    Comms.Host = Connection.Host;
    Comms.Port = Connection.Port;
  }
  Comms.KRVAddress = Connection.Address;
  Comms.SlowWriteMode = false;
  Comms.QuickReconnect = true;

  watcher_.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  Comms.OnRawData = [this](TKRVComms*, const std::string& Chunk) { Watch(Chunk); };
}

TDeviceSession::~TDeviceSession() {
  context_.reset();
  Comms.OnRawData = nullptr;
  Comms.OnConnect = nullptr;
  Comms.OnTCPError = nullptr;
  Uploader.OnUploadDone = nullptr;
  Uploader.OnPercentDone = nullptr;
  Flash.OnReadingDone = nullptr;
  Flash.OnWritingDone = nullptr;
  Flash.OnPercentDone = nullptr;
  Uploader.Abort();
  if (Comms.Active()) Comms.SetActive(false);
}

void TDeviceSession::Watch(const std::string& Chunk) {
  if (answered_ && trackCode_.empty()) return;
  watchBuffer_ += Chunk;
  while (true) {
    const std::string frame = watcher_.ExtractFrame(watchBuffer_);
    if (frame.empty()) break;
    const std::string payload = watcher_.Decode(frame);
    if (watcher_.DecodeResult() != drOK || watcher_.Felado == kPCAddress) continue;
    answered_ = true;
    if (trackCode_.empty()) {
      watchBuffer_.clear();
      return;
    }
    if (payload.compare(0, trackCode_.size(), trackCode_) == 0) answerSender_ = watcher_.Felado;
  }
  if (watchBuffer_.size() > kWatchLimit) watchBuffer_.erase(0, watchBuffer_.size() - kWatchLimit);
}

void TDeviceSession::Open(std::function<void(bool Up)> Done) {
  openDone_ = std::move(Done);
  Comms.OnConnect = [this](TKRVComms*) { Opened(true); };
  Comms.OnTCPError = [this](TKRVComms*) { Opened(false); };
  QTimer::singleShot(kConnectTimeoutMs, context_.get(), [this] { Opened(false); });
  Comms.SetActive(true);
  // A serial port opens (or fails) inside SetActive.
  if (connection_.Serial) Opened(Comms.LinkUp());
}

void TDeviceSession::Opened(bool Up) {
  if (!openDone_) return;
  auto done = std::move(openDone_);
  openDone_ = nullptr;
  Comms.OnConnect = nullptr;
  Comms.OnTCPError = nullptr;
  // Leave the engine's event first; a failed link must not keep reconnecting meanwhile.
  QTimer::singleShot(0, context_.get(), [this, Up, done = std::move(done)] {
    if (!Up) Comms.SetActive(false);
    done(Up);
  });
}

void TDeviceSession::UseServer(TKRVServerRegistry& Server) {
  Comms.WsServerMode = true;
  Comms.KRVTCPServer = &Server;
}

void TDeviceSession::Close() {
  if (Comms.Active()) Comms.SetActive(false);
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

}  // namespace vornik
