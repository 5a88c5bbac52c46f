#include "comms/KRVComms.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "comms/KRVCommsBatch.h"
#include "comms/KRVCommsTexts.h"
#include "logging/logUnit.h"
#include "logging/uNaploComponent.h"
#include "util/NumberText.h"


namespace vornik {

namespace t = commstexts;

namespace {

constexpr int kQueueIdleMs = 5;        ///< queue timer period while the link is not up
constexpr int kQueueLinkUpMs = 2;      ///< queue timer period once the link is up
constexpr int kProcessingMs = 1;       ///< delay between a received chunk and the receive path
constexpr int kAtOnce = 0;             ///< a timer interval that fires on the loop's next turn
constexpr std::size_t kRxLimit = 4096; ///< bytes kept in RxBuffer
constexpr std::size_t kSlowChunk = 64; ///< bytes per slow-write step
constexpr int kFormatNone = 0, kFormatKRV = 1, kFormatKRVW = 2;

std::string Fmt(const char* Format, auto... Args) {
  const int n = std::snprintf(nullptr, 0, Format, Args...);
  std::string s(static_cast<std::size_t>(std::max(n, 0)), '\0');
  std::snprintf(s.data(), s.size() + 1, Format, Args...);
  return s;
}

int32_t NextId(int32_t Id) { return Id >= 250 || Id < 0 ? 1 : Id + 1; }

bool StartsWith(std::string_view S, std::string_view Prefix) {
  return S.size() >= Prefix.size() && S.compare(0, Prefix.size(), Prefix) == 0;
}

/// Enables a timer that is not running; a running one keeps its phase.
void Enable(Timer& T) {
  if (!T.isActive()) T.start();
}

/// Restores the encoding codec's mode when a forced-format frame is done.
struct ModeRestore {
  TKRVProtocol& Codec;
  TKRVMode Saved;
  ~ModeRestore() { Codec.KRVMode = Saved; }
};

}  // namespace

// ---- Free functions ------------------------------------------------------------------------------

std::string ErrorCodeText(uint16_t Code) {
  for (const auto& e : t::kErrorTexts)
    if (e.Code == Code) return e.Text;
  return t::kUnknownError;
}

std::size_t KRVWFrameBytes(std::size_t PayloadBytes) {
  // A 14-byte header and the payload, one flag byte per seven, then start, checksum and stop.
  const std::size_t raw = 14 + PayloadBytes;
  return raw + (raw + 6) / 7 + 3;
}

int32_t SerialLineMs(const TKRVComms& Comms, std::size_t PayloadBytes) {
  if (!Comms.IsSerialLine()) return 0;
  const std::size_t frame = KRVWFrameBytes(PayloadBytes);
  return static_cast<int32_t>((static_cast<int64_t>(frame) * 10000 + Comms.Baud - 1) / Comms.Baud);
}

void TKuldendo::SendWith(TKRVComms* Comms) {
  if (Comms == nullptr) throw ECommsError(std::string(t::kExUnassignedPort) + DecimalDump(Pck));
  Comms->Send(this);
}

void TKuldendo::SendWith(TKRVCommsBatch* Batch) {
  if (Batch == nullptr) throw ECommsError(std::string(t::kExUnassignedBatch) + DecimalDump(Pck));
  Batch->Send(this);
}

// ---- Construction ------------------------------------------------------------------------------

TKRVComms::TKRVComms(EventLoop& Loop, PortLinkFactory& Links)
    : loop_(Loop), port_(Links.createPortLink()), rng_(std::random_device{}()) {
  decoder_.KRVMode = TKRVMode::PMKRVOnly;
  encoder_.KRVMode = TKRVMode::PMKRVOnly;
  port_->onConnect = [this] { Connected(); };
  port_->onDisconnect = [this] { Disconnected(); };
  port_->onError = [this](int Code) { CommError(Code); };
  port_->onData = [this](std::string_view Bytes) { ReadData(Bytes); };
  ApdOutSize = port_->outBufferSize();

  auto make = [this](std::unique_ptr<Timer>& T, int Interval, void (TKRVComms::*Handler)()) {
    T = loop_.createTimer();
    T->setInterval(Interval);
    T->onTimeout = [this, Handler] { (this->*Handler)(); };
  };
  make(queueTimer_, kQueueIdleMs, &TKRVComms::OnTimerSendPackages);
  make(waitTimer_, LineTimeout + Timeout_1, &TKRVComms::Waiting_over);
  make(queueTimeoutTimer_, LineTimeout + Timeout_3, &TKRVComms::OnQueueTimedOut);
  TryToConnectInterval = QuickReconnect ? 1 : RandomReconnectInterval();
  make(reconnectTimer_, TryToConnectInterval, &TKRVComms::TryToConnect);
  make(processingTimer_, kProcessingMs, &TKRVComms::OnPckProcessing);
  make(slowWriteTimer_, SlowWrRate, &TKRVComms::SlowWriteStep);
  make(pollTimer_, PollTimerInterval, &TKRVComms::OnTimerSendPackages);

  std::uniform_int_distribution<int32_t> id(1, 249);
  lastSentSeq_ = id(rng_);
  lastRxSeq_ = id(rng_);
}

TKRVComms::~TKRVComms() {
  destroying_ = true;
  for (auto* t : {&queueTimer_, &waitTimer_, &queueTimeoutTimer_, &reconnectTimer_, &processingTimer_,
                  &slowWriteTimer_, &pollTimer_}) {
    (*t)->onTimeout = nullptr;
    (*t)->stop();
  }
  port_->onConnect = nullptr;
  port_->onDisconnect = nullptr;
  port_->onError = nullptr;
  port_->onData = nullptr;
  try {
    if (active_) SetActive(false);
    if (port_->isOpen()) port_->close();
    if (serverSocket_ != nullptr && serverSocket_->isConnected()) serverSocket_->close();
  } catch (...) {
    // A destructor must not throw; the port is gone with us anyway.
  }
  serverSocket_ = nullptr;
  for (auto* item : queue_) FreeItem(item);
  queue_.clear();
}

void TKRVComms::SeedRandom(uint32_t Seed) {
  rng_.seed(Seed);
  decoder_.SeedRandom(Seed);
  encoder_.SeedRandom(Seed + 1);
  std::uniform_int_distribution<int32_t> id(1, 249);
  lastSentSeq_ = id(rng_);
  lastRxSeq_ = id(rng_);
}

// ---- The line model -----------------------------------------------------------------------------

bool TKRVComms::IsSerialLine() const { return Host.empty() && !WsServerMode && Baud > 0; }

void TKRVComms::NoteWritten(std::size_t Bytes) {
  if (!IsSerialLine()) return;
  const int64_t nowUs = loop_.nowMs() * 1000;
  const int64_t lineUs = static_cast<int64_t>(Bytes) * 10000000 / Baud;
  lineFreeAtUs_ = std::max(lineFreeAtUs_, nowUs) + lineUs;
}

double TKRVComms::LineBacklogMs() const {
  if (!IsSerialLine()) return 0;
  const double modelled = static_cast<double>(std::max<int64_t>(lineFreeAtUs_ - loop_.nowMs() * 1000, 0)) / 1000.0;
  // A port that can tell what it still holds (a real serial driver) overrules a model that
  // thinks the line faster than it is.
  const double reported = static_cast<double>(port_->isOpen() ? port_->bytesToWrite() : 0) * 10000.0 / Baud;
  return std::max(modelled, reported);
}

int32_t TKRVComms::LinePaceMs(std::size_t PayloadBytes) const {
  if (!IsSerialLine()) return 0;
  const double backlog = LineBacklogMs();
  const double frameMs = static_cast<double>(KRVWFrameBytes(PayloadBytes)) * 10000.0 / Baud;
  // Written now, the frame joins the backlog; after `backlog` ms the port holds less than this
  // frame again and the next one may follow without the line going quiet.
  double pause = backlog;
  // The next frame must still fit the output buffer (ApdOutSize) behind what is left then.
  if (ApdOutSize > 0) pause = std::max(pause, backlog + 2 * frameMs - ApdOutSize * 10000.0 / Baud);
  return static_cast<int32_t>(std::clamp(std::ceil(pause), 1.0, 2147483647.0));
}

int TKRVComms::RandomReconnectInterval() {
  return 30000 + std::uniform_int_distribution<int>(0, 59999)(rng_);
}

void TKRVComms::SetKRVMode(TKRVMode Mode) {
  decoder_.KRVMode = Mode;
  encoder_.KRVMode = Mode;
}

void TKRVComms::SetNaploKomponens(TNaploComponent* Component) { naploKomponens_ = Component; }

TNaplo* TKRVComms::Writer() const { return naploKomponens_ != nullptr ? &naploKomponens_->Naplo() : nullptr; }

// ---- Activation and the link ---------------------------------------------------------------------

bool TKRVComms::IsConnected() const {
  if (WsServerMode) return serverSocket_ != nullptr && serverSocket_->isConnected();
  return linkUp_;
}

void TKRVComms::SetActive(bool Value) {
  if (Value) {
    if (active_) return;
    lastLogKind_ = -1;
    rxBuffer_.clear();
    krvAddressAtActivation_ = KRVAddress;
    if (KRVAddress != 0) Pollingolo = false;
    pollTimer_->stop();
    if (Pollingolo) {
      pollTimer_->setInterval(PollTimerInterval);
      pollTimer_->start();
    }
    if (!IsConnected() && openFailure_ == TOpenFailure::ofClosed) openFailure_ = TOpenFailure::ofNone;
    active_ = true;
    LogMsg(t::kActive, 0);
    reconnectTimer_->setInterval(TryToConnectInterval);
    if (WsServerMode) {
      if (KRVTCPServer != nullptr) {
        KRVTCPServer->RegisterComms(this);
        Enable(*reconnectTimer_);
      }
    } else {
      TryToConnect();
      if (active_) Enable(*reconnectTimer_);
    }
    return;
  }

  if (!active_ || deactivating_) return;
  deactivating_ = true;
  slowWriteTimer_->stop();
  slowBuffer_.clear();
  processingTimer_->stop();
  reconnectTimer_->stop();
  pollTimer_->stop();
  queueTimer_->stop();
  waitTimer_->stop();
  queueTimeoutTimer_->stop();
  linkUp_ = false;
  connecting_ = false;
  LogMsg(t::kInactive, 0);
  if (port_->isOpen()) port_->close();
  openFailure_ = TOpenFailure::ofClosed;
  state_ = esIdle;
  // Every queued item ends with ecLinkClosed, head first. New items offered by these callbacks are refused
  // (the link is closing), so this loop always ends.
  while (!queue_.empty()) FinishItem(ecLinkClosed, std::string(), false);
  if (WsServerMode || Host.empty()) Disconnected();
  if (KRVTCPServer != nullptr) KRVTCPServer->UnregisterComms(this);
  if (serverSocket_ != nullptr) {
    ServerConnection* s = serverSocket_;
    serverSocket_ = nullptr;
    if (s->isConnected()) s->close();
  }
  active_ = false;
  deactivating_ = false;
}

void TKRVComms::TryToConnect() {
  if (processing_) return;
  if (!IsConnected() && openFailure_ == TOpenFailure::ofClosed) openFailure_ = TOpenFailure::ofNone;
  if (active_ && !WsServerMode && !IsConnected() && !connecting_) {
    try {
      port_->close();
      port_->setOutBufferSize(ApdOutSize);
      if (!Host.empty()) {
        connecting_ = true;
        port_->openTcp(Host, Port);
        lastActivity_ = loop_.nowMs();
      } else {
        port_->openSerial(Port, Baud);
        lastActivity_ = loop_.nowMs();
        Connected();
      }
    } catch (const std::exception& e) {
      try {
        port_->close();
      } catch (...) {
      }
      linkUp_ = false;
      connecting_ = false;
      const std::string msg = e.what();
      LogMsg(Fmt(t::kOpenFailed, msg.c_str(), Host.c_str(), Port), 7);
      if (msg == kPortInUseText)
        openFailure_ = TOpenFailure::ofInUse;
      else if (msg == kPortMissingText)
        openFailure_ = TOpenFailure::ofNotExists;
      else
        openFailure_ = TOpenFailure::ofNone;
    }
  }
  reconnectTimer_->setInterval(QuickReconnect ? 1 : RandomReconnectInterval());
  KeepAlive();
}

bool TKRVComms::IsTcpLink() const {
  if (WsServerMode) return serverSocket_ != nullptr && serverSocket_->isConnected();
  return !Host.empty() && port_->isOpen();
}

void TKRVComms::KeepAlive() {
  if (!active_ || !IsConnected() || !IsTcpLink() || ConnectionCheckRate <= 0 || connecting_) return;
  const int64_t idleSeconds = (loop_.nowMs() - lastActivity_) / 1000;
  if (idleSeconds <= ConnectionCheckRate) return;
  try {
    if (WsServerMode)
      serverSocket_->write("x");
    else
      port_->write("x");
  } catch (const std::exception& e) {
    LogPacket(std::string(t::kRawError) + e.what(), 1, true, "x", kNone, kNone, kNone, kNone);
    return;
  }
  OutgoingDataCount += 1;
  lastActivity_ = loop_.nowMs();
  if (Log_Raw_Data) LogPacket(t::kRawOut, 1, true, "x", kNone, kNone, kNone, kNone);
}

void TKRVComms::Connected() {
  LogMsg(Fmt(t::kConnected, Host.c_str(), Port), 4);
  IncomingDataCount = 0;
  OutgoingDataCount = 0;
  linkUp_ = true;
  connecting_ = false;
  rxBuffer_.clear();
  lineFreeAtUs_ = 0;  // a new connection starts with an idle line
  lastActivity_ = loop_.nowMs();
  openFailure_ = TOpenFailure::ofClosed;
  // The queue time-out counts a time without a link: one armed in an earlier loss must not fail
  // an item early in the next one.
  queueTimeoutTimer_->stop();
  if (OnConnect && !destroying_) OnConnect(this);
  if (!queueTimer_->isActive()) {
    queueTimer_->setInterval(kQueueIdleMs);
    queueTimer_->start();
  }
}

void TKRVComms::ProcessBeforeLoss() {
  // A device that answers and hangs up at once (it restarts into its new firmware right after
  // the install answer) leaves that answer in RxBuffer with the processing timer still due: the
  // whole frames (or text lines) it holds end their exchanges before the buffer goes; a partial
  // one is dropped.
  // The link counts as down already, so nothing is written back (no acknowledgement).
  if (!active_ || deactivating_ || processing_ || rxBuffer_.empty()) return;
  processingTimer_->stop();
  OnPckProcessing();
}

void TKRVComms::Disconnected() {
  if (!deactivating_) {
    linkUp_ = false;
    connecting_ = false;
    const uint64_t losses = linkLosses_;
    ProcessBeforeLoss();
    // A handler called from there may have taken the link down already (server mode deactivates
    // through this same handling): report the loss once.
    if (linkLosses_ != losses) return;
  }
  ++linkLosses_;
  LogMsg(Fmt(t::kDisconnected, Host.c_str(), Port), 3);
  linkUp_ = false;
  connecting_ = false;
  rxBuffer_.clear();
  slowWriteTimer_->stop();
  slowBuffer_.clear();
  if (OnDisConnect && !destroying_) OnDisConnect(this);
}

void TKRVComms::CommError(int Code) {
  linkUp_ = false;
  connecting_ = false;
  const uint64_t losses = linkLosses_;
  ProcessBeforeLoss();
  if (linkLosses_ != losses) return;
  ++linkLosses_;
  LogMsg(Fmt(t::kCommError, Code, Host.c_str(), Port), 6);
  linkUp_ = false;
  connecting_ = false;
  rxBuffer_.clear();
  if (OnTCPError && !destroying_) OnTCPError(this);
  slowWriteTimer_->stop();
  slowBuffer_.clear();
}

void TKRVComms::ReadData(std::string_view Bytes) {
  if (!active_) return;
  lastRxTime_ = loop_.nowMs();
  lastActivity_ = lastRxTime_;
  lastChunk_.assign(Bytes);
  rxBuffer_.append(Bytes);
  ReceivedChunk();
}

void TKRVComms::TCPClientConnected(TKRVServerRegistry*, ServerConnection* Socket) {
  if (Socket == nullptr) return;
  Host = Socket->remoteAddress();
  Port = Socket->remotePort();
  serverSocket_ = Socket;
  Connected();
}

void TKRVComms::TCPDataArrived(TKRVServerRegistry*, std::string_view Data) { ReadData(Data); }

void TKRVComms::TCPClientDisconnected(TKRVServerRegistry*) {
  Disconnected();
  serverSocket_ = nullptr;
}

void TKRVComms::ReceivedChunk() {
  if (Log_Raw_Data) LogPacket(t::kRawIn, 1, true, lastChunk_, kNone, kNone, kNone, kNone);
  if (OnRawData) OnRawData(this, lastChunk_);
  if (rxBuffer_.size() > kRxLimit) {
    rxBuffer_.erase(0, rxBuffer_.size() - kRxLimit);
    LogMsg(t::kOverflow, 0);
  }
  // A frame the exchange in flight waits for is handled on the loop's next turn: the next
  // request follows it without waiting for a timer tick. Other traffic keeps its short delay.
  const bool awaited = waitTimer_->isActive() && state_ != esIdle && !queue_.empty();
  const int interval = awaited ? kAtOnce : kProcessingMs;
  if (processingTimer_->isActive() && processingTimer_->interval() <= interval) return;  // due as soon
  processingTimer_->setInterval(interval);
  processingTimer_->start();
}

uint16_t TKRVComms::RawWrite(const std::string& Frame, bool Direct) {
  if (SlowWriteMode && !Direct) {
    if (slowBuffer_.size() > static_cast<std::size_t>(std::max(SlowWrPufferSize, 0))) return ecOverflow;
    slowBuffer_ += Frame;
    if (!slowWriteTimer_->isActive()) {
      slowWriteTimer_->setInterval(SlowWrRate);
      slowWriteTimer_->start();
    }
    return ecOk;
  }
  std::string out = Frame;
  if (OnBeforeSendRawData) OnBeforeSendRawData(this, out);
  try {
    if (WsServerMode) {
      if (serverSocket_ == nullptr) throw EPortError("no socket");
      serverSocket_->write(out);
    } else {
      port_->write(out);
    }
  } catch (const std::exception& e) {
    LogPacket(std::string(t::kRawError) + e.what(), 1, true, Frame, kNone, kNone, kNone, kNone);
    return ecOverflow;
  }
  OutgoingDataCount += static_cast<uint32_t>(out.size());
  NoteWritten(out.size());
  lastActivity_ = loop_.nowMs();
  if (Log_Raw_Data) LogPacket(t::kRawOut, 1, true, Frame, kNone, kNone, kNone, kNone);
  return ecOk;
}

void TKRVComms::SlowWriteStep() {
  if (slowBuffer_.empty()) {
    slowWriteTimer_->stop();
    return;
  }
  const std::size_t n = std::min(kSlowChunk, slowBuffer_.size());
  std::string chunk = slowBuffer_.substr(0, n);
  slowBuffer_.erase(0, n);
  const bool last = slowBuffer_.empty();
  if (last) slowWriteTimer_->stop();
  try {
    if (WsServerMode) {
      if (serverSocket_ == nullptr) throw EPortError("no socket");
      serverSocket_->write(chunk);
    } else {
      port_->write(chunk);
    }
  } catch (const std::exception& e) {
    LogPacket(std::string(t::kRawError) + e.what(), 1, true, chunk, kNone, kNone, kNone, kNone);
    return;
  }
  OutgoingDataCount += static_cast<uint32_t>(chunk.size());
  NoteWritten(chunk.size());
  lastActivity_ = loop_.nowMs();
  if (Log_Raw_Data) LogPacket(last ? t::kRawSlowLast : t::kRawSlow, 1, true, chunk, kNone, kNone, kNone, kNone);
}

// ---- Send queue --------------------------------------------------------------------------------

void TKRVComms::FreeItem(TKuldendo* Item) {
  if (Item != nullptr && !Item->Options.Contains(psoKeepItem)) delete Item;
}

void TKRVComms::ReportAndFree(TKuldendo* Item, uint16_t Code) {
  // Take what the report needs, free the item, then call out: the callback may re-use a kept item.
  const bool tagged = Item->Options.Contains(psoTaggedCallbacks);
  TOnResult onResult = Item->OnResult;
  TOnIncoming_tagged cb = Code != ecOk ? Item->OnError : Item->OnAnswer;
  const int32_t tag = Item->Tag, objTag = Item->ObjTag;
  FreeItem(Item);
  if (destroying_) return;
  if (!tagged) {
    if (onResult) onResult(this, std::string(), Code, tag, objTag);
  } else if (cb) {
    cb(std::string(), Code, tag);
  }
}

void TKRVComms::Refuse(TKuldendo* Item, uint16_t Code, const char* Tag) {
  LogPacket(Tag, 8, true, Item->Pck, kNone, kNone, Item->Cimzett, kNone);
  // A refusal always goes through OnError for tagged items.
  const bool tagged = Item->Options.Contains(psoTaggedCallbacks);
  TOnResult onResult = Item->OnResult;
  TOnIncoming_tagged onError = Item->OnError;
  const int32_t tag = Item->Tag, objTag = Item->ObjTag;
  FreeItem(Item);
  if (destroying_) return;
  if (!tagged) {
    if (onResult) onResult(this, std::string(), Code, tag, objTag);
  } else if (onError) {
    onError(std::string(), Code, tag);
  }
}

void TKRVComms::CheckOptions(TKuldendo* Item) {
  if (Item->ObjTag != 0 && !Item->OnResult) {
    std::string text = std::string(t::kExObjTag) + DecimalDump(Item->Pck);
    FreeItem(Item);
    throw ECommsError(text);
  }
  for (const auto& pair : t::kForbiddenPairs) {
    const auto a = static_cast<TKRVSendOption>(pair.A), b = static_cast<TKRVSendOption>(pair.B);
    if (Item->Options.Contains(a) && Item->Options.Contains(b)) {
      std::string text = Fmt(t::kExInvalidOptions, pair.Text, DecimalDump(Item->Pck).c_str());
      FreeItem(Item);
      throw ECommsError(text);
    }
  }
}

void TKRVComms::Send(TKuldendo* Item) {
  if (Item == nullptr) return;
  if (Item->Cimzett == 0) Item->Cimzett = KRVAddress != 0 ? KRVAddress : 1;
  const bool dontQueue = Item->Options.Contains(psoDontQueue);
  if (!active_ || deactivating_) return Refuse(Item, ecNotActive, t::kTagNotActive);
  if (dontQueue && !IsConnected()) return Refuse(Item, ecNoLink, t::kTagNoLink);
  if (!dontQueue && static_cast<int64_t>(queue_.size()) >= PufferSize) return Refuse(Item, ecOverflow, t::kTagQueueFull);
  if (Item->Options.Contains(psoFirstInQueue) && queueTimer_->isActive() && (state_ == esPlainWait || state_ == esAnswerWait))
    return Refuse(Item, ecNotPaused, t::kTagNotPaused);
  CheckOptions(Item);
  if (dontQueue) return SendQuick(Item);
  if (Item->Options.Contains(psoFirstInQueue))
    queue_.push_front(Item);
  else
    queue_.push_back(Item);
  Enable(*queueTimer_);
}

void TKRVComms::SendQuick(TKuldendo* Item) {
  if (!Item->Options.Contains(psoKeepPckID)) {
    int32_t candidate = quickSeq_;
    do {
      candidate = NextId(candidate);
    } while (std::abs(candidate - lastSentSeq_) <= 10 || std::abs(candidate - lastRxSeq_) <= 10);
    Item->CsomagSorszam = candidate;
  }
  LogPacket(t::kTagQuick, 9, !Item->Options.Contains(psoDontLog), Item->Pck, kNone, kNone, Item->Cimzett,
            Item->CsomagSorszam);
  if (Item->OnBeforeSend) Item->OnBeforeSend(Item, this);
  const uint16_t r = WriteFrame(Item->Pck, InfoToSend(*Item), Item->Cimzett, Item->CsomagSorszam,
                                Item->Options.Contains(psoDisableBitmatrix), Item->Options.Contains(psoNoASYER),
                                ForcedFormat(*Item), true);
  ReportAndFree(Item, r);
}

void TKRVComms::SendPacket(const std::string& Pck, uint32_t Cimzett, bool NewIDOnRepeat, int32_t Timeout, int32_t Tag,
                           TOnIncoming_tagged OnError, TOnIncoming_tagged OnAnswer, const std::string& Ans) {
  auto* item = new TKuldendo(Pck, Cimzett);
  item->Options = TKRVSendOptions{psoTaggedCallbacks};
  if (NewIDOnRepeat) item->Options.Include(psoNewIDOnRepeat);
  item->Timeout = Timeout < 0 ? -Timeout : Timeout;
  item->Tag = Tag;
  item->OnError = std::move(OnError);
  item->OnAnswer = std::move(OnAnswer);
  item->Ans = Ans;
  if (Ans == "#") {
    item->Ans = "*";
    item->Options.Include(psoForceWait);
  }
  if (Timeout > 0) {
    item->Options.Include({psoForceAck, psoWaitAfterAck});
    if (item->Ans.empty()) item->Options.Include(psoForceWait);
  }
  item->SendWith(this);
}

void TKRVComms::SendNoWait(const std::string& Pck, uint32_t Cimzett, int32_t Tag, TOnIncoming_tagged OnDone) {
  auto* item = new TKuldendo(Pck, Cimzett);
  item->Options = TKRVSendOptions{psoDontAck, psoDontWait, psoAcked, psoTaggedCallbacks};
  item->OnAnswer = OnDone;
  item->OnError = std::move(OnDone);
  item->Tag = Tag;
  item->SendWith(this);
}

TInfo TKRVComms::InfoToSend(const TKuldendo& Item) const {
  const auto& o = Item.Options;
  if (o.Contains(psoUseInfo)) return Item.Info;
  if (o.Contains(psoDontQueue)) return o.Contains(psoForceAck) ? TInfo::kerek_nyugtat : TInfo::nem_kerek_nyugtat;
  if (o.Contains(psoForceAck)) return TInfo::kerek_nyugtat;
  if (!Item.Ans.empty() || o.Contains(psoDontWait) || o.Contains(psoDontAck)) return TInfo::nem_kerek_nyugtat;
  return TInfo::kerek_nyugtat;
}

int TKRVComms::ForcedFormat(const TKuldendo& Item) {
  if (Item.Options.Contains(psoEncodeKRVW)) return kFormatKRVW;
  if (Item.Options.Contains(psoEncodeKRV)) return kFormatKRV;
  return kFormatNone;
}

bool TKRVComms::NewIdForRepeat(const TKuldendo& H) const {
  return IDOfRepeatedPackets == TIDOfRepeatedPackets::irpAlwaysIncrement ||
         (IDOfRepeatedPackets == TIDOfRepeatedPackets::irpUseParameter && H.Options.Contains(psoNewIDOnRepeat));
}

void TKRVComms::SendNextAtOnce() {
  if (!active_) return;
  // One turn of the loop, not a tick: the line does not idle between an answer and the next
  // request. The queue timer goes back to its period when it fires.
  queueTimer_->setInterval(kAtOnce);
  queueTimer_->start();
}

void TKRVComms::OnTimerSendPackages() {
  DebugLine(t::kDbgSendIn);
  struct Exit {
    TKRVComms* self;
    ~Exit() { self->DebugLine(t::kDbgSendOut); }
  } exitLine{this};

  if (!active_) {
    pollTimer_->stop();
    queueTimer_->stop();
    DebugLine(t::kDbgSendInactive);
    return;
  }
  if (queueTimer_->interval() == kAtOnce) queueTimer_->setInterval(linkUp_ ? kQueueLinkUpMs : kQueueIdleMs);
  if (waitTimer_->isActive()) {
    DebugLine(t::kDbgSendWaiting);
    return;
  }
  if (Half_Duplex_Mode) {
    // The transceiver needs Switch_Direction_Time ms after the last received byte before it may
    // send. The clock counts whole ms, so a difference of exactly that many may be up to one ms
    // short: one more is waited. The queue timer wakes when the gap is over.
    const int64_t quiet = loop_.nowMs() - lastRxTime_;
    if (quiet <= Switch_Direction_Time) {
      DebugLine(t::kDbgSendHalfDuplex);
      queueTimer_->setInterval(static_cast<int>(std::max<int64_t>(Switch_Direction_Time + 1 - quiet, 1)));
      return;
    }
  }
  if (!linkUp_) {
    DebugLine(t::kDbgSendNoLine);
    queueTimer_->stop();
    if (!queue_.empty() && !queueTimeoutTimer_->isActive()) {
      const TKuldendo& head = *queue_.front();
      queueTimeoutTimer_->setInterval(
          std::max(std::abs(head.Timeout) + LineTimeout, LineTimeout + Timeout_3));
      queueTimeoutTimer_->start();
      lastSendTime_ = loop_.nowMs();
    }
    return;
  }
  if (queueTimer_->interval() != kQueueLinkUpMs) queueTimer_->setInterval(kQueueLinkUpMs);
  if (queue_.empty()) {
    DebugLine(t::kDbgSendEmpty);
    queueTimer_->stop();
    return;
  }

  TKuldendo* h = queue_.front();
  const TInfo k = InfoToSend(*h);
  if (!h->Options.Contains(psoKeepPckID)) h->CsomagSorszam = NextId(lastSentSeq_);
  std::string tag = h->Options.Contains(psoLogAsPoll) ? t::kTagPollSend : t::kTagSend;
  if (k == TInfo::kerek_nyugtat) tag += t::kTagAckSuffix;
  if (k == TInfo::pozitiv_nyugta) tag += t::kTagPackSuffix;
  if (k == TInfo::negativ_nyugta) tag += t::kTagNackSuffix;
  if (h->Timeout != 0) tag += t::kTagTimeoutSuffix;
  if (h->Options.Contains(psoDontWait)) tag += t::kTagNoWaitSuffix;
  LogPacket(tag, 9, !h->Options.Contains(psoDontLog), h->Pck, kNone, kNone, h->Cimzett, h->CsomagSorszam);
  if (h->OnBeforeSend) {
    h->OnBeforeSend(h, this);
    // The handler may have cancelled or finished the item, or closed the engine.
    if (!active_ || queue_.empty() || queue_.front() != h || waitTimer_->isActive()) return;
  }
  const uint16_t r = WriteFrame(h->Pck, k, h->Cimzett, h->CsomagSorszam, h->Options.Contains(psoDisableBitmatrix),
                                h->Options.Contains(psoNoASYER), ForcedFormat(*h));
  if (!HeadIs(h)) return;  // OnBeforeSendRawData cancelled the item or closed the engine
  if (r != ecOk || h->Options.Contains(psoDontWait)) {
    // Only written, nothing awaited: no exchange ended, and the queue keeps its tick. A caller
    // that takes "written" for "sent" and closes the link gives the line that much time.
    state_ = esIdle;
    FinishItem(r, std::string(), false);
    Enable(*queueTimer_);
    return;
  }
  tryNo_ = 1;
  state_ = (!h->Ans.empty() || k != TInfo::nem_kerek_nyugtat) ? esAnswerWait : esPlainWait;
  RestartWait(AnswerTime(*h));
}

uint16_t TKRVComms::WriteFrame(const std::string& Data, TInfo Info, uint32_t Dest, int32_t Seq, bool DisableBitmatrix,
                               bool NoASYER, int Format, bool Quick) {
  if (!IsConnected()) return ecNoLink;
  if (!active_) return ecNotActive;
  ModeRestore restore{encoder_, encoder_.KRVMode};
  if (Format == kFormatKRVW) encoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRVW;
  if (Format == kFormatKRV) encoder_.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;

  int32_t id;
  if (Quick) {
    id = Seq >= 0 ? Seq : quickSeq_;
    quickSeq_ = id;
  } else {
    id = Seq >= 0 ? Seq : NextId(lastSentSeq_);
    if (Info != TInfo::pozitiv_nyugta) lastSentSeq_ = id;
  }
  encoder_.Cimzett = Dest;
  encoder_.Felado = kPCAddress;
  encoder_.Enable_ASYER = NoASYER ? false : Enable_ASYER;
  encoder_.Disable_bitmatrix = DisableBitmatrix;
  encoder_.Info = Info;
  encoder_.CsomagSorszam = static_cast<uint8_t>(id);
  std::string frame;
  try {
    frame = encoder_.Encode(Data);
  } catch (const std::exception&) {
    return ecEncodeFailed;
  }
  if (!Quick) {
    if (Info != TInfo::pozitiv_nyugta) {
      lastDest_ = Dest;
      lastDestKRV_ = encoder_.KRVMode == TKRVMode::PMKRVOnly || encoder_.KRVMode == TKRVMode::PMDecodeBothEncodeKRV;
    }
    lastSendTime_ = loop_.nowMs();
  }
  return RawWrite(frame, Quick);
}

void TKRVComms::FinishItem(uint16_t ErrorCode, std::string S, bool IsAck) {
  if (queue_.empty()) return;
  TKuldendo* h = queue_.front();
  queue_.pop_front();
  const int32_t tag = h->Tag, objTag = h->ObjTag;
  TOnResult onResult = h->OnResult;
  bool tagged = h->Options.Contains(psoTaggedCallbacks);
  TOnIncoming_tagged cb = ErrorCode == ecOk ? h->OnAnswer : h->OnError;
  FreeItem(h);
  if (ErrorCode == ecOk && !cb && !onResult) {
    if (IsAck && !Nyugtat_is_jelezze) return;
    cb = OnRead;
    tagged = true;
  }
  if (IsAck && Nyugtat_is_jelezze) S = "CSYAC";
  if (destroying_) return;
  if (!tagged) {
    if (onResult) onResult(this, S, ErrorCode, tag, objTag);
  } else if (cb) {
    cb(S, ErrorCode, tag);
  }
}

template <typename Match>
void TKRVComms::CancelMatching(Match&& Matches) {
  if (!queue_.empty() && (state_ == esPlainWait || state_ == esAnswerWait)) {
    state_ = esIdle;
    waitTimer_->stop();
  }
  std::deque<TKuldendo*> keep;
  std::deque<TKuldendo*> drop;
  for (auto* item : queue_) (Matches(*item) ? drop : keep).push_back(item);
  queue_.swap(keep);
  for (auto* item : drop) FreeItem(item);
}

void TKRVComms::ClearQueue(int32_t Cimzett) {
  CancelMatching([Cimzett](const TKuldendo& I) { return Cimzett == 255 || I.Cimzett == static_cast<uint32_t>(Cimzett); });
}

void TKRVComms::CancelCallbacks(const TOnIncoming_tagged& Callback) {
  CancelMatching([&Callback](const TKuldendo& I) {
    return !Callback || I.OnAnswer.SameMethod(Callback) || I.OnError.SameMethod(Callback);
  });
}

void TKRVComms::CancelOnResult(const TOnResult& Handler) {
  CancelMatching([&Handler](const TKuldendo& I) { return !Handler || I.OnResult.SameMethod(Handler); });
}

// ---- Waiting -------------------------------------------------------------------------------------

int TKRVComms::AnswerTime(const TKuldendo& H) const {
  const int k = std::clamp(tryNo_, 1, 3);
  const int d = k == 1 ? Timeout_1 : k == 2 ? Timeout_2 : Timeout_3;
  int64_t t;
  if (H.Options.Contains(psoUsePollTimeout))
    t = Timeout_Poll;
  else if (BatchMode || H.Options.Contains(psoExactTimeout))
    t = H.Timeout != 0 ? static_cast<int64_t>(H.Timeout) * k : d;
  else
    t = std::max<int64_t>(static_cast<int64_t>(H.Timeout) * k, d);
  if (!H.Options.Contains(psoNoLineTimeout)) t += LineTimeout;
  return static_cast<int>(std::clamp<int64_t>(t, 0, 0x7fffffff));
}

void TKRVComms::RestartWait(int Interval) {
  waitTimer_->stop();
  waitTimer_->setInterval(Interval);
  waitTimer_->start();
}

void TKRVComms::Waiting_over() {
  DebugLine(t::kDbgWaitIn);
  struct Exit {
    TKRVComms* self;
    ~Exit() { self->DebugLine(t::kDbgWaitOut); }
  } exitLine{this};

  waitTimer_->setInterval(LineTimeout + Timeout_1);
  const bool linkOk = linkUp_ && active_;
  TKuldendo* h = queue_.empty() ? nullptr : queue_.front();
  const bool log = h != nullptr && !h->Options.Contains(psoDontLog);

  if (state_ == esPlainWait) {
    waitTimer_->stop();
    state_ = esIdle;
    if (h != nullptr) {
      if (!h->Ans.empty()) {
        LogPacket(t::kTagWaitOverAnswer, 8, log, h->Answer, lastSendTime_, kNone, h->Cimzett, h->CsomagSorszam);
        const std::string answer = h->Answer;
        FinishItem(ecOk, answer, answer.empty());
      } else {
        LogPacket(t::kTagWaitOverEmpty, 8, log, h->Pck, lastSendTime_, kNone, h->Cimzett, h->CsomagSorszam);
        FinishItem(ecOk, std::string(), true);
      }
    }
    SendNextAtOnce();
    return;
  }

  if (state_ == esAnswerWait) {
    const bool repeatDue = h != nullptr && !h->Options.Contains(psoAcked) && tryNo_ < Max_tries_cmd;
    if (linkOk && repeatDue) {
      ++tryNo_;
      if (NewIdForRepeat(*h)) h->CsomagSorszam += 1;
      if (h->CsomagSorszam > 250) h->CsomagSorszam = 1;
      LogPacket(Fmt(t::kTagRepeat, tryNo_), 8, log, h->Pck, lastSendTime_, kNone, h->Cimzett, h->CsomagSorszam);
      WriteFrame(h->Pck, InfoToSend(*h), h->Cimzett, h->CsomagSorszam, h->Options.Contains(psoDisableBitmatrix),
                 h->Options.Contains(psoNoASYER), ForcedFormat(*h));
      if (HeadIs(h)) RestartWait(AnswerTime(*h));
      return;
    }
    waitTimer_->stop();
    state_ = esIdle;
    if (h != nullptr) {
      if (h->Options.Contains(psoLogAsPoll))
        LogPacket(t::kTagPollFailed, 8, log && Poll_Log, h->Pck, lastSendTime_, kNone, h->Cimzett, h->CsomagSorszam);
      else
        LogPacket(t::kTagFailed, 8, log, h->Pck, lastSendTime_, kNone, h->Cimzett, h->CsomagSorszam);
      FinishItem(linkOk ? ecNoAnswer : (!active_ ? ecNotActive : ecNoLink), std::string(), false);
    }
    SendNextAtOnce();
    return;
  }

  LogPacket(t::kTagPollFailed, 8, Poll_Log, std::string(), lastSendTime_, kNone, kNone, kNone);
  waitTimer_->stop();
  state_ = esIdle;
  SendNextAtOnce();
}

void TKRVComms::OnQueueTimedOut() {
  DebugLine(t::kDbgQueueToIn);
  queueTimeoutTimer_->stop();
  if (!linkUp_ && !queue_.empty()) {
    const TKuldendo& h = *queue_.front();
    LogPacket(t::kTagNoConnection, 8, !h.Options.Contains(psoDontLog), h.Pck, lastSendTime_, kNone, h.Cimzett,
              h.CsomagSorszam);
    const uint16_t code = openFailure_ == TOpenFailure::ofInUse      ? ecPortInUse
                          : openFailure_ == TOpenFailure::ofNotExists ? ecPortMissing
                                                                      : ecNoLink;
    FinishItem(code, std::string(), false);
    if (!queue_.empty() && !linkUp_ && !queueTimeoutTimer_->isActive()) {
      const TKuldendo& next = *queue_.front();
      queueTimeoutTimer_->setInterval(std::max(std::abs(next.Timeout) + LineTimeout, LineTimeout + Timeout_3));
      queueTimeoutTimer_->start();
      lastSendTime_ = loop_.nowMs();
    }
  }
  DebugLine(t::kDbgQueueToOut);
}

// ---- Log -----------------------------------------------------------------------------------------

void TKRVComms::LogMsg(const std::string& Msg, int32_t Kind) {
  if ((Kind == 6 || Kind == 7) && Kind == lastLogKind_) return;
  lastLogKind_ = Kind;
  if (TNaplo* w = Writer()) w->WriteLog(Msg, false);
}

void TKRVComms::DebugLine(const char* Line) {
  if (!DebugMode) return;
  if (TNaplo* w = Writer()) w->WriteLog(Line, false);
}

std::string TKRVComms::FormatPacketLine(std::string_view Tag, int32_t Kind, std::string_view Payload, int64_t SentAt,
                                        int64_t Src, int64_t Dst, int64_t Seq) const {
  std::string printable = MakePrintable(Payload, true);
  printable.resize(10, ' ');  // "%-10.10s"
  std::string tail;
  if (Kind != 1 || Log_Printable_Raw) {
    tail = DecimalDump(Payload);
  } else {
    tail = "\r\n";
    tail.append(Payload);
  }
  std::string header;
  if (Kind == 1) {
    header.assign(32, ' ');
  } else {
    const std::string blank8(8, ' ');
    const std::string src = (Kind == 8 || Kind == 9 || Kind == 10 || Src == 250 || Src < 0) ? blank8 : Fmt("%8lld", static_cast<long long>(Src));
    const std::string dst = (Kind == 10 || Dst == 250 || Dst < 0) ? blank8 : Fmt("%8lld", static_cast<long long>(Dst));
    const std::string id = Seq < 0 ? std::string(3, ' ') : Fmt("%.3lld", static_cast<long long>(Seq));
    const std::string time =
        SentAt < 0 ? std::string(7, ' ') : Fmt("T:%.5lld", static_cast<long long>(loop_.nowMs() - SentAt));
    header = id + ". " + src + " > " + dst + " " + time;
  }
  std::string tagCol(Tag.substr(0, 20));
  if (tagCol.size() < 20) tagCol.insert(0, 20 - tagCol.size(), ' ');
  std::string prefix;
  if (!Description.empty()) {
    prefix = Description.substr(0, 3);
    if (prefix.size() < 3) prefix.insert(0, 3 - prefix.size(), ' ');
    prefix += ' ';
  }
  std::string line;
  line.reserve(prefix.size() + 20 + header.size() + printable.size() + tail.size() + 4);
  line += prefix;
  line += tagCol;
  line += ' ';
  line += header;
  line += ' ';
  line += printable;
  line += ' ';
  line += tail;
  return line;
}

void TKRVComms::LogPacket(std::string_view Tag, int32_t Kind, bool Log, std::string_view Payload, int64_t SentAt,
                          int64_t Src, int64_t Dst, int64_t Seq) {
  if (!Log) return;
  TNaplo* w = Writer();
  if (w == nullptr) {
    // Nothing is written without a writer, but the de-duplication still sees the kind.
    if (!((Kind == 6 || Kind == 7) && Kind == lastLogKind_)) lastLogKind_ = Kind;
    return;
  }
  const std::string line = FormatPacketLine(Tag, Kind, Payload, SentAt, Src, Dst, Seq);
  if (Kind == 1 && !Log_Printable_Raw) {
    const bool saved = w->ConvertToPrintable();
    w->SetConvertToPrintable(false);
    LogMsg(line, Kind);
    w->SetConvertToPrintable(saved);
  } else {
    LogMsg(line, Kind);
  }
}

// ---- Receive path --------------------------------------------------------------------------------

void TKRVComms::OnPckProcessing() {
  DebugLine(t::kDbgProcIn);
  if (processing_) {
    DebugLine(t::kDbgProcOut);
    return;
  }
  processing_ = true;
  struct Done {
    TKRVComms* self;
    ~Done() {
      self->processing_ = false;
      self->processingTimer_->stop();
      self->DebugLine(t::kDbgProcOut);
    }
  } done{this};
  if (HXL_to_KRV)
    TextPath();
  else
    FramePath();
}

void TKRVComms::FramePath() {
  while (true) {
    std::string frame = decoder_.ExtractFrame(rxBuffer_);
    if (frame.empty()) break;
    ProcessFrame(frame);
  }
}

void TKRVComms::ProcessFrame(const std::string& Frame) {
  const std::string payload = decoder_.Decode(Frame);
  const uint16_t result = decoder_.DecodeResult();
  const bool waiting =
      waitTimer_->isActive() && ((state_ == esAnswerWait && !queue_.empty()) || state_ == esPollWait);
  TKuldendo* h = queue_.empty() ? nullptr : queue_.front();
  const bool hDontLog = h != nullptr && h->Options.Contains(psoDontLog);
  const int64_t sentAt = waiting ? lastSendTime_ : kNone;

  if (result != 0) {
    if (waiting && result == drBadAddress) {
      // An undecodable frame with an unacceptable address while waiting: the device cannot be
      // talked to, so the item ends.
      waitTimer_->stop();
      if (!queue_.empty()) {
        LogPacket(t::kTagBadAddress, 2, !hDontLog, Frame, sentAt, kNone, kNone, kNone);
        state_ = esIdle;
        FinishItem(ecFrameBadAddress, payload, decoder_.Info == TInfo::pozitiv_nyugta);
      }
      state_ = esIdle;
      SendNextAtOnce();
      return;
    }
    const std::string tag = Fmt(waiting ? t::kTagBadFrameWaiting : t::kTagBadFrame, static_cast<int>(result),
                                std::string(DecodeResultTag(result)).c_str());
    LogPacket(tag, 10, true, Frame, sentAt, kNone, kNone, kNone);
    return;
  }

  const int32_t seq = decoder_.CsomagSorszam;
  const uint32_t src = decoder_.Felado;
  const uint32_t dst = decoder_.Cimzett;
  const uint32_t srcShort = decoder_.Felado_rovid_cim;
  const TInfo info = decoder_.Info;
  const bool wasKRVW = decoder_.LastWasKRVW();
  lastRxSeq_ = seq;
  lastRxFrameSeq_ = seq;
  if (KRVAddress != 0 && src == KRVAddress) LastPckTime = loop_.nowDateTime();

  const bool forUs = dst == kPCAddress || (BroadcastVetele && (dst == 255 || dst == 0)) || MindenVetele;
  // A KRV frame carries only the low byte of its destination, and the device answers from that
  // byte: a request that went out as KRV expects its answer from the address the frame carried.
  const int64_t expected = lastDest_ >= 0 && lastDestKRV_ ? (lastDest_ & 0xFF) : lastDest_;
  const bool fromExpected = expected == 255 || lastDest_ == -1 || (expected < 255 && srcShort == expected) ||
                            (expected > 255 && src == expected);
  const bool isNack = info == TInfo::negativ_nyugta;
  const bool isAck = info == TInfo::pozitiv_nyugta || info == TInfo::ismetelt_csomag;
  const bool wantsAck = info == TInfo::kerek_nyugtat;
  const bool isEvent = !payload.empty() && payload[0] == 'E';
  const bool hasAns = h != nullptr && !h->Ans.empty();
  const bool forceWait = h != nullptr && h->Options.Contains(psoForceWait);
  const bool waitAfterAck = h != nullptr && h->Options.Contains(psoWaitAfterAck);
  const bool anyId = h != nullptr && (h->Options.Contains(psoAnyPckID) ||
                                      (NoPckIDCheck && hasAns && !h->Options.Contains(psoCheckPckID)));
  bool idMatch, idPrev;
  if (anyId) {
    idMatch = idPrev = true;
  } else {
    const int32_t ref = (state_ != esPollWait && hasAns) ? h->CsomagSorszam : lastSentSeq_;
    idMatch = seq == ref;
    idPrev = seq == std::max(ref - 1, 0);  // the id before 1 is 0: no wrap to 250
  }
  const bool ansMatch = h != nullptr && (h->Ans == "*" || (!h->Ans.empty() && StartsWith(payload, h->Ans)));
  // The loose check takes the answer to the previous try. Only an item whose repeats carry a new
  // id had a previous try under id - 1; for an item repeated under its own id, id - 1 is the item
  // before it, whose late answer must not end this one (a page never written would count as done).
  const bool repeatedWithNewId = h != nullptr && NewIdForRepeat(*h);
  const bool looseMatch = LoosePckIDCheck && repeatedWithNewId && idPrev && fromExpected && ansMatch && tryNo_ > 1;

  if (forUs && wantsAck && Nyugtazas) {
    LogPacket(t::kTagAckSent, 9, true, std::string(), kNone, kNone, src, seq);
    WriteFrame(std::string(), TInfo::pozitiv_nyugta, src, seq, false, false, wasKRVW ? kFormatKRVW : kFormatKRV);
    // A raw-data handler that cancelled the exchange leaves nothing to classify against.
    if (!active_ || (queue_.empty() ? nullptr : queue_.front()) != h) return;
  }

  const bool fromPcHidden = src == kPCAddress && DontLogPcksFromPc;
  auto logRx = [&](std::string_view Tag, bool Log, bool WithPayload = true) {
    LogPacket(Tag, 2, Log, WithPayload ? std::string_view(payload) : std::string_view(), sentAt, src, dst, seq);
  };
  // The wait timer restarted with its current interval: the time starts again.
  auto restartWait = [&] { RestartWait(waitTimer_->interval()); };
  // The acknowledgement, the answer or a wrong answer: the exchange ends with this frame.
  auto endExchange = [&](const char* Tag, uint16_t Code) {
    waitTimer_->stop();
    if (!queue_.empty()) {
      logRx(Tag, !hDontLog);
      state_ = esIdle;
      FinishItem(Code, payload, info == TInfo::pozitiv_nyugta);
    }
    state_ = esIdle;
    SendNextAtOnce();
  };

  if (!forUs) {  // addressed to someone else
    if (Log_All_Packages && !fromPcHidden) logRx(t::kTagNotForPc, true);
    return;
  }
  if (!waiting) {  // nothing awaits a frame
    logRx(state_ == esPlainWait ? t::kTagDuringPlainWait : t::kTagUnexpected, !fromPcHidden);
    if (!((isNack || isAck) && !MindenVetele)) Deliver(src, payload, info, seq);
    return;
  }
  if (!fromExpected) {  // from another device than the one asked
    logRx(t::kTagOtherDevice, !fromPcHidden);
    if (!((isNack || isAck) && !MindenVetele)) Deliver(src, payload, info, seq);
    return;
  }
  if (!idMatch && !looseMatch) {
    if (isNack || isAck) {  // a stray acknowledgement: the time starts again
      logRx(isNack ? t::kTagStrayNack : t::kTagStrayAck, true, false);
      restartWait();
      return;
    }
    logRx(isEvent ? t::kTagEvent : t::kTagStrayPacket, true);  // a stray packet or an event
    restartWait();
    if (isEvent || MindenVetele) Deliver(src, payload, info, seq);
    return;
  }
  if (isNack) {  // negative acknowledgement of the item in flight: repeat it
    if (h == nullptr) {
      logRx(t::kTagNackNothing, true);
      return;
    }
    logRx(t::kTagNackRepeat, !hDontLog);
    if (NewIdForRepeat(*h)) h->CsomagSorszam = NextId(h->CsomagSorszam);
    // The repeat keeps the item's own frame format: a device that refused a KRVW frame is not
    // answered in KRV.
    WriteFrame(h->Pck, TInfo::kerek_nyugtat, src, h->CsomagSorszam, h->Options.Contains(psoDisableBitmatrix),
               h->Options.Contains(psoNoASYER), ForcedFormat(*h));
    if (HeadIs(h)) RestartWait(AnswerTime(*h));
    return;
  }
  if (isAck) {
    if (forceWait || hasAns) {
      // Acknowledged, the answer is still due: its time starts now, or goes on.
      logRx(waitAfterAck ? t::kTagAckWaitStarts : t::kTagAckWaitGoesOn, !(waitAfterAck && hDontLog));
      state_ = hasAns ? esAnswerWait : esPlainWait;
      h->Options.Include(psoAcked);
      if (waitAfterAck) {
        tryNo_ = 1;
        RestartWait(AnswerTime(*h));
      }
      return;
    }
    endExchange(t::kTagAckOk, ecOk);  // the acknowledgement was all the item wanted
    return;
  }
  if (state_ == esAnswerWait) {
    if (forceWait) {
      if (ansMatch) {  // the answer, but the item waits its whole time: held until then
        if (h == nullptr) return;
        logRx(t::kTagAnswerWaitOn, !hDontLog);
        state_ = esPlainWait;
        h->Answer = payload;
        return;
      }
      logRx(isEvent ? t::kTagEvent : t::kTagWrongAnswerWaitOn, true);  // another packet during a forced wait
      Deliver(src, payload, info, seq);
      return;
    }
    if (ansMatch) return endExchange(t::kTagAnswerOk, ecOk);  // the answer
    if (isEvent) {  // an event while waiting
      logRx(t::kTagEvent, true);
      restartWait();
      Deliver(src, payload, info, seq);
      return;
    }
    endExchange(t::kTagWrongAnswer, ecWrongAnswer);
    return;
  }
  // The poll wait.
  if (isEvent) {
    logRx(t::kTagEvent, true);
    restartWait();
    Deliver(src, payload, info, seq);
    return;
  }
  logRx(t::kTagPollAnswer, Poll_Log);  // the poll answer
  waitTimer_->stop();
  Deliver(src, payload, info, seq);
  state_ = esIdle;
  SendNextAtOnce();
}

void TKRVComms::Deliver(uint32_t Src, std::string Payload, TInfo Info, int32_t Seq) {
  if (krvAddressAtActivation_ == 0) return;
  if (!active_ || (Src != KRVAddress && !Can_address_everyone)) return;
  if (AutoAnswer && StartsWith(Payload, AutoAnswerCmd)) {
    WriteFrame(AutoAnswerAns, TInfo::nem_kerek_nyugtat, Src, Seq, false, false, kFormatNone);
    return;
  }
  if (!HXL_to_KRV && Info == TInfo::pozitiv_nyugta && Nyugtat_is_jelezze) Payload = "CSYAC";
  if (OnReadEx)
    OnReadEx(this, Payload, 0);
  else if (OnRead)
    OnRead(Payload, 0, 0);
}

namespace {

/// A decimal number with "." or "," as separator, whatever the process locale; 0 when it is not
/// a number.
double ParseNumber(const std::string& Text) { return ParseDecimal(Text).value_or(0.0); }

/// The rounding of the text lines: round(integer part x 100 + fraction x 100), as two bytes.
void AppendValue(std::string& Out, double X) {
  const double ip = std::trunc(X);
  const double v = std::round(ip * 100.0 + (X - ip) * 100.0);
  const auto w = static_cast<uint16_t>(static_cast<int64_t>(std::clamp(v, -2147483648.0, 2147483647.0)));
  Out.push_back(static_cast<char>(w & 0xFF));
  Out.push_back(static_cast<char>(w >> 8));
}

void ReplaceAll(std::string& S, const std::string& From, const std::string& To) {
  std::size_t pos;
  while ((pos = S.find(From)) != std::string::npos) S.replace(pos, From.size(), To);
}

}  // namespace

void TKRVComms::TextPath() {
  std::size_t lf;
  while ((lf = rxBuffer_.find('\n')) != std::string::npos) {
    std::string line = rxBuffer_.substr(0, lf + 1);
    rxBuffer_.erase(0, lf + 1);
    const std::size_t star = line.rfind('*');
    if (star != std::string::npos) line.erase(0, star);
    if (line.size() <= 2) continue;
    if (line.find("0=") != std::string::npos)
      DeliverChannelLine(line);
    else if (line.find('=') != std::string::npos)
      DeliverListLine(line);
    if (!active_) break;
  }
}

void TKRVComms::DeliverChannelLine(const std::string& Line) {
  for (int n = 0; n <= 7; ++n) {
    const std::string key = "T" + std::to_string(n) + "=";
    const std::size_t at = Line.find(key);
    if (at == std::string::npos) continue;
    const std::size_t from = at + key.size();
    const std::size_t c = Line.find('C', from);
    std::string text = Line.substr(from, c == std::string::npos ? std::string::npos : c - from);
    // Line ends are not part of the value.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty() || text.find("--") != std::string::npos) continue;
    ReplaceAll(text, "-00", "-0");
    ReplaceAll(text, "+00", "+0");
    std::string payload = "AITGD";
    AppendValue(payload, ParseNumber(text));
    Deliver(static_cast<uint32_t>(n), payload, TInfo::nem_kerek_nyugtat, 0);
  }
}

void TKRVComms::DeliverListLine(const std::string& Line) {
  std::string line = Line;
  std::replace(line.begin(), line.end(), '.', ',');
  std::string payload = "AITGD";
  const std::size_t first = line.find('=');
  std::size_t end = line.find("\r\n", first);
  if (end == std::string::npos) end = line.find('\n', first);
  if (end == std::string::npos) end = line.size();
  std::string number;
  int decimals = 0;
  bool counting = false;
  auto flush = [&] {
    if (number.empty()) return;
    AppendValue(payload, ParseNumber(number) * std::pow(10.0, decimals));
    number.clear();
  };
  for (std::size_t i = first + 1; i < end; ++i) {
    const char ch = line[i];
    if (ch >= '0' && ch <= '9') {
      number.push_back(ch);
      if (counting) ++decimals;
    } else if (ch == ',') {
      number.push_back(ch);
      decimals = 0;
      counting = true;
    } else if (ch == '=') {
      flush();
    } else {
      counting = false;
    }
  }
  flush();
  uint32_t src = 0;
  if (line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[1])) &&
      std::isdigit(static_cast<unsigned char>(line[2])))
    src = static_cast<uint32_t>((line[1] - '0') * 10 + (line[2] - '0'));
  Deliver(src, payload, TInfo::nem_kerek_nyugtat, 0);
}

}  // namespace vornik
