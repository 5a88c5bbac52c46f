#include "app/DeviceSession.h"

#include "app/CreateMissingValuesIni.h"
#include "app/UpdateSettings.h"

namespace vornik {

namespace {
constexpr std::size_t kWatchLimit = 4096;  ///< bytes kept while looking for a first clean frame
}

std::string HostPortText(const std::string& Host, int Port) {
  if (Host.find(':') != std::string::npos) return "[" + Host + "]:" + std::to_string(Port);
  return Host + ":" + std::to_string(Port);
}

std::string TConnection::Target() const {
  if (Serial) return Path + "@" + std::to_string(Baud);
  return HostPortText(Host, Port);
}

TPosted::TPosted(EventLoop& Loop) : timer_(Loop.createTimer()) {
  timer_->setInterval(0);
  timer_->onTimeout = [this] {
    // One at a time: a call may post more, or destroy this object's owner.
    if (pending_.empty()) {
      timer_->stop();
      return;
    }
    auto fn = std::move(pending_.front());
    pending_.pop_front();
    if (pending_.empty()) timer_->stop();
    fn();
  };
}

void TPosted::Post(std::function<void()> Fn) {
  pending_.push_back(std::move(Fn));
  if (!timer_->isActive()) timer_->start();
}

TDeviceSession::TDeviceSession(const TSessionPlatform& Platform, const TConnection& Connection, TIniFile& Settings,
                               const std::string& LogFile, int ComNumber)
    : links_(Platform.MakeLinks(Connection, ComNumber, Naplo)),
      Comms(*Platform.Loop, *links_),
      Uploader(*Platform.Loop),
      loop_(*Platform.Loop),
      serialHint_(Platform.SerialHint),
      connection_(Connection),
      connectTimer_(Platform.Loop->createTimer()),
      posted_(*Platform.Loop) {
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
  connectTimer_->setInterval(kConnectTimeoutMs);
  connectTimer_->onTimeout = [this] {
    connectTimer_->stop();
    Opened(false);
  };
}

TDeviceSession::~TDeviceSession() {
  connectTimer_->stop();
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

std::string TDeviceSession::LinkFailureText() const {
  std::string text = ErrorCodeText(ecNoLink) + " (" + connection_.Target() + ")";
  if (connection_.Serial && serialHint_) text += serialHint_(connection_.Path);
  return text;
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
  connectTimer_->start();
  Comms.SetActive(true);
  // A serial port opens (or fails) inside SetActive.
  if (connection_.Serial) Opened(Comms.LinkUp());
}

void TDeviceSession::Opened(bool Up) {
  if (!openDone_) return;
  auto done = std::move(openDone_);
  openDone_ = nullptr;
  connectTimer_->stop();
  Comms.OnConnect = nullptr;
  Comms.OnTCPError = nullptr;
  // Leave the engine's event first; a failed link must not keep reconnecting meanwhile.
  Post([this, Up, done = std::move(done)] {
    if (!Up) Comms.SetActive(false);
    done(Up);
  });
}

void TDeviceSession::UseServer(TKRVServerRegistry& Server) {
  Comms.WsServerMode = true;
  Comms.KRVTCPServer = &Server;
}

void TDeviceSession::Close() {
  if (!KeepOpen && Comms.Active()) Comms.SetActive(false);
}

void TDeviceSession::Retarget(const TConnection& Connection, const std::string& LogFile) {
  if (Connection.Serial && Connection.Baud != Comms.Baud) {
    if (Comms.Active()) Comms.SetActive(false);
    Comms.Baud = Connection.Baud;
  }
  connection_ = Connection;
  Comms.KRVAddress = Connection.Address;
  Naplo.SetLogging(!LogFile.empty());
  if (!LogFile.empty()) Naplo.SetLogFile(LogFile);
  answered_ = false;
  answerSender_.reset();
  watchBuffer_.clear();
}

}  // namespace vornik
