#include "comms/KRVTCPServer.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "comms/KRVCommsTexts.h"
#include "logging/logUnit.h"
#include "logging/uNaploComponent.h"

namespace vornik {

namespace t = commstexts;

namespace {

std::string Fmt(const char* Format, auto... Args) {
  const int n = std::snprintf(nullptr, 0, Format, Args...);
  std::string s(static_cast<std::size_t>(std::max(n, 0)), '\0');
  std::snprintf(s.data(), s.size() + 1, Format, Args...);
  return s;
}

/// Runs a one-shot on a repeating timer: the handler stops it first.
std::unique_ptr<Timer> OneShot(EventLoop& Loop, int Ms, std::function<void()> Fn) {
  auto timer = Loop.createTimer();
  timer->setInterval(Ms);
  Timer* raw = timer.get();
  timer->onTimeout = [raw, fn = std::move(Fn)] {
    raw->stop();
    fn();
  };
  return timer;
}

}  // namespace

int32_t TKRVTCPServer::NextPacketId() {
  // Shared by every server of the process; starts somewhere in 1..248.
  static int32_t id = [] {
    std::mt19937 g(std::random_device{}());
    return std::uniform_int_distribution<int32_t>(1, 248)(g);
  }();
  id += 1;
  if (id > 249) id = 1;
  return id;
}

TKRVTCPServer::TKRVTCPServer(EventLoop& Loop, ServerSocketFactory& Sockets)
    : loop_(Loop), socket_(Sockets.createServerSocket()) {
  codec_.KRVMode = TKRVMode::PMKRVWOnly;
  socket_->onAccept = [this](ServerConnection& C) { Accepted(C); };
  socket_->onData = [this](ServerConnection& C, std::string_view Bytes) { DataRead(C, Bytes); };
  socket_->onError = [this](ServerConnection& C, int Code) { Error(C, Code); };
  socket_->onClose = [this](ServerConnection& C) { Closed(C); };
}

TKRVTCPServer::~TKRVTCPServer() {
  destroying_ = true;
  // No more connect and disconnect handling; engines on a connection lose it now.
  socket_->onAccept = nullptr;
  socket_->onClose = nullptr;
  socket_->onData = nullptr;
  socket_->onError = nullptr;
  while (!clients_.empty()) {
    std::unique_ptr<TClientData> d = std::move(clients_.front());
    clients_.erase(clients_.begin());
    if (d->Socket != nullptr) d->Socket->userData = nullptr;
    if (d->Comms != nullptr && d->Comms->ServerSocket() == d->Socket) d->Comms->TCPClientDisconnected(this);
  }
  // Engines still registered must not call back into a server that is gone.
  for (TKRVComms* e : comms_)
    if (e->KRVTCPServer == this) e->KRVTCPServer = nullptr;
  comms_.clear();
  try {
    socket_->close();
  } catch (...) {
  }
  socket_.reset();
}

// ---- Listening ---------------------------------------------------------------------------------

void TKRVTCPServer::SetActive(bool Value) {
  if (Value) {
    if (!socket_->isListening()) socket_->listen(Port, BindAddress);
  } else {
    socket_->close();
  }
}

bool TKRVTCPServer::Active() const { return socket_->isListening(); }

int TKRVTCPServer::ListeningPort() const { return socket_->port(); }

// ---- Engines -----------------------------------------------------------------------------------

void TKRVTCPServer::RegisterComms(TKRVComms* Comms) {
  if (Comms == nullptr || destroying_) return;
  if (std::find(comms_.begin(), comms_.end(), Comms) == comms_.end()) comms_.push_back(Comms);
}

void TKRVTCPServer::UnregisterComms(TKRVComms* Comms) {
  for (auto& d : clients_)
    if (d->Comms == Comms) BecameUnserved(*d);
  std::erase(comms_, Comms);
}

void TKRVTCPServer::BecameUnserved(TClientData& D) {
  D.Comms = nullptr;
  D.UnservedSinceMs = loop_.nowMs();
  if (D.ExpiryTimer && !D.ExpiryTimer->isActive()) {
    D.ExpiryTimer->setInterval(UnidentifiedTimeout * 1000);
    D.ExpiryTimer->start();
  }
  // One more unserved connection may be one over a limit.
  if (D.Socket != nullptr) EnforceLimitsLater(D.Socket->remoteAddress());
}

void TKRVTCPServer::EnforceLimitsLater(const std::string& Address) {
  if (destroying_) return;
  if (std::find(limitAddresses_.begin(), limitAddresses_.end(), Address) == limitAddresses_.end())
    limitAddresses_.push_back(Address);
  if (!limitCheck_)
    limitCheck_ = OneShot(loop_, 0, [this] {
      const std::vector<std::string> addresses = std::move(limitAddresses_);
      limitAddresses_.clear();
      for (const std::string& a : addresses) EnforceLimit(a);
    });
  if (!limitCheck_->isActive()) limitCheck_->start();
}

bool TKRVTCPServer::Served(const TClientData& D) const {
  return D.Comms != nullptr && D.Socket != nullptr && D.Comms->ServerSocket() == D.Socket &&
         std::find(comms_.begin(), comms_.end(), D.Comms) != comms_.end();
}

TKRVComms* TKRVTCPServer::FindCommsBySocket(const ServerConnection* Socket) const {
  for (TKRVComms* e : comms_)
    if (e->ServerSocket() == Socket) return e;
  return nullptr;
}

TKRVComms* TKRVTCPServer::FindCommsByAddress(uint32_t Address) const {
  for (TKRVComms* e : comms_)
    if (e->KRVAddress == Address || e->KRVAddress == 255) return e;
  return nullptr;
}

std::vector<TClientData*> TKRVTCPServer::Clients() const {
  std::vector<TClientData*> list;
  list.reserve(clients_.size());
  for (const auto& d : clients_) list.push_back(d.get());
  return list;
}

std::size_t TKRVTCPServer::UnservedCount() const {
  return static_cast<std::size_t>(
      std::count_if(clients_.begin(), clients_.end(), [this](const auto& d) { return !Served(*d); }));
}

// ---- Log -----------------------------------------------------------------------------------------

void TKRVTCPServer::Log(const std::string& Line) const {
  if (naploKomponens_ != nullptr) naploKomponens_->Naplo().WriteLog(Line, false);
}

std::string TKRVTCPServer::AddressPart(const TClientData& D) const {
  return D.Comms != nullptr ? std::to_string(D.Comms->KRVAddress) : std::string(t::kSrvUnknownAddr);
}

// ---- Connections -------------------------------------------------------------------------------

void TKRVTCPServer::Accepted(ServerConnection& C) {
  const std::string host = C.remoteAddress();
  const int port = C.remotePort();
  Log(Fmt(t::kSrvNewConnection, host.c_str(), port, t::kSrvUnknownAddr));
  auto d = std::make_unique<TClientData>();
  d->Server = this;
  d->Socket = &C;
  d->AcceptedAtMs = loop_.nowMs();
  d->UnservedSinceMs = d->AcceptedAtMs;
  TClientData* raw = d.get();
  d->IdentifyTimer = OneShot(loop_, kIdentifyDelayMs, [this, raw] { SendIdentify(*raw); });
  if (UnidentifiedTimeout > 0)
    d->ExpiryTimer = OneShot(loop_, UnidentifiedTimeout * 1000, [this, raw] { Expired(*raw); });
  C.userData = raw;
  clients_.push_back(std::move(d));
  raw->IdentifyTimer->start();
  if (raw->ExpiryTimer) raw->ExpiryTimer->start();
  EnforceLimit(host);
}

void TKRVTCPServer::EnforceLimit(const std::string& Address) {
  // Counted in one pass; each round closes the oldest unserved connection over a limit.
  while (true) {
    std::size_t all = 0, fromAddress = 0;
    TClientData* oldest = nullptr;
    TClientData* oldestOfAddress = nullptr;
    for (const auto& d : clients_) {
      if (Served(*d)) continue;
      ++all;
      if (oldest == nullptr) oldest = d.get();
      if (d->Socket->remoteAddress() == Address) {
        ++fromAddress;
        if (oldestOfAddress == nullptr) oldestOfAddress = d.get();
      }
    }
    TClientData* victim = nullptr;
    int32_t limit = 0;
    if (MaxUnidentified > 0 && all > static_cast<std::size_t>(MaxUnidentified)) {
      victim = oldest;
      limit = MaxUnidentified;
    } else if (MaxUnservedPerAddress > 0 && fromAddress > static_cast<std::size_t>(MaxUnservedPerAddress)) {
      victim = oldestOfAddress;
      limit = MaxUnservedPerAddress;
    }
    if (victim == nullptr) return;
    const std::string host = victim->Socket->remoteAddress();
    Log(Fmt(t::kSrvTooMany, host.c_str(), victim->Socket->remotePort(), AddressPart(*victim).c_str(), limit));
    ServerConnection* socket = victim->Socket;
    socket->close();  // its onClose removes it from the list
    if (socket->userData == victim) Closed(*socket);
  }
}

void TKRVTCPServer::Expired(TClientData& D) {
  const int64_t limitMs = static_cast<int64_t>(UnidentifiedTimeout) * 1000;
  const int64_t now = loop_.nowMs();
  if (Served(D)) {
    // Served now; should it lose its engine unnoticed, it gets one whole time from now.
    D.UnservedSinceMs = now;
    D.ExpiryTimer->setInterval(UnidentifiedTimeout * 1000);
    D.ExpiryTimer->start();
    return;
  }
  if (now - D.UnservedSinceMs < limitMs) {
    D.ExpiryTimer->setInterval(static_cast<int>(std::max<int64_t>(1, limitMs - (now - D.UnservedSinceMs))));
    D.ExpiryTimer->start();
    return;
  }
  const std::string host = D.Socket->remoteAddress();
  Log(Fmt(t::kSrvTimedOut, host.c_str(), D.Socket->remotePort(), AddressPart(D).c_str(), UnidentifiedTimeout));
  D.Socket->close();
}

void TKRVTCPServer::SendIdentify(TClientData& D) {
  D.IdentifyTimer->stop();
  // Every header field is set here: nothing of a frame decoded from some client may go along.
  TKRVProtocol& enc = identifyCodec_;
  enc.KRVMode = codec_.KRVMode;
  enc.Cimzett = 255;
  enc.Felado = kPCAddress;
  enc.Felado_rovid_cim = static_cast<uint8_t>(kPCAddress);
  enc.Enable_ASYER = true;
  enc.Disable_bitmatrix = false;
  enc.Header_extension.clear();
  enc.Info = TInfo::nem_kerek_nyugtat;
  enc.CsomagSorszam = static_cast<uint8_t>(NextPacketId());
  std::string frame;
  try {
    frame = enc.Encode("CSYSI");
    D.Socket->write(frame);
  } catch (const std::exception&) {
    // The connection is going; its close is reported on its own.
    return;
  }
  const std::string host = D.Socket->remoteAddress();
  Log(Fmt(t::kSrvIdentifySent, host.c_str(), D.Socket->remotePort(), t::kSrvUnknownAddr, DecimalDump(frame).c_str()));
}

void TKRVTCPServer::DataRead(ServerConnection& C, std::string_view T) {
  TClientData* d = ClientOf(C);
  if (d == nullptr) return;
  const std::weak_ptr<bool> alive = d->Alive;
  const std::string host = C.remoteAddress();
  const int port = C.remotePort();
  if (Log_Raw_Data)
    Log(Fmt(t::kSrvRawIn, host.c_str(), port, MakePrintable(T, true).substr(0, 20).c_str(), DecimalDump(T).c_str()));
  d->Buffer.append(T);
  d->ByteCount += T.size();

  if (TKRVComms* e = FindCommsBySocket(&C)) {
    e->IncomingDataCount += static_cast<uint32_t>(T.size());
    const uint32_t address = e->KRVAddress;
    const std::string buffer = std::move(d->Buffer);
    d->Buffer.clear();
    e->TCPDataArrived(this, buffer);
    if (OnClientDataRead && !alive.expired()) OnClientDataRead(this, address, std::string(T));
    return;
  }

  const std::string s = d->Buffer;
  const std::string frame = codec_.ExtractFrame(d->Buffer);
  if (frame.empty()) {
    if (s.size() > kUnknownDataLimit) {
      const int64_t now = loop_.nowMs();
      if (d->LastUnknownLogMs < 0 || now - d->LastUnknownLogMs >= kUnknownDataLogMs) {
        d->LastUnknownLogMs = now;
        Log(Fmt(t::kSrvUnknownData, host.c_str(), port, t::kSrvUnknownAddr, DecimalDump(s).c_str()));
      }
    }
  } else {
    codec_.Decode(frame);
    if (codec_.DecodeResult() != drOK) {
      Log(Fmt(t::kSrvBadFrame, host.c_str(), port, t::kSrvUnknownAddr, DecimalDump(frame).c_str()));
    } else {
      const uint32_t a = codec_.Felado;
      d->Identified = true;
      d->Address = a;
      d->IdentifyingFrame = frame;
      Log(Fmt(t::kSrvFrameArrived, host.c_str(), port, static_cast<int32_t>(a), DecimalDump(frame).c_str()));
      if (OnClientDataRead) OnClientDataRead(this, a, std::string(T));
      if (alive.expired()) return;
      TKRVComms* e = FindCommsByAddress(a);
      if (e == nullptr) {
        Log(Fmt(t::kSrvUnknownDevice, host.c_str(), port, static_cast<int32_t>(a)));
        if (OnUnregdConnect) OnUnregdConnect(this, static_cast<int32_t>(a), *d);
        if (alive.expired()) return;
        // The handler may have made an engine for this device: it gets the connection at once.
        e = d->Comms == nullptr && FindCommsBySocket(&C) == nullptr ? FindCommsByAddress(a) : nullptr;
      }
      if (e != nullptr) {
        Identify(*d, *e, a, s);
        return;
      }
    }
  }
  if (!alive.expired() && d->Buffer.size() > kBufferLimit) d->Buffer.erase(0, d->Buffer.size() - kBufferLimit);
}

void TKRVTCPServer::Identify(TClientData& D, TKRVComms& E, uint32_t A, const std::string& S) {
  const std::weak_ptr<bool> alive = D.Alive;
  ServerConnection& c = *D.Socket;
  const std::string host = c.remoteAddress();
  const int port = c.remotePort();
  const int32_t a = static_cast<int32_t>(A);
  D.Identified = true;
  D.Address = A;
  // The expiry timer keeps running: it finds the connection served and looks again later, so a
  // connection that loses its engine by any way is bounded again.
  // The engine's counter is 32-bit and wraps as its own counting does; ours does not.
  E.IncomingDataCount += static_cast<uint32_t>(D.ByteCount);
  Log(Fmt(t::kSrvIdentified, host.c_str(), port, a));
  if (D.IdentifyTimer->isActive()) {
    Log(Fmt(t::kSrvSpontaneous, host.c_str(), port, a));
    D.IdentifyTimer->stop();
  }
  if (ServerConnection* other = E.ServerSocket(); other != nullptr && other != &c) {
    const std::string otherHost = other->remoteAddress();
    Log(Fmt(t::kSrvTakeOver, host.c_str(), port, a, otherHost.c_str(), other->remotePort()));
    E.TCPClientDisconnected(this);
    if (alive.expired()) return;
    // The old connection stays open, but no engine serves it any more: the guards apply again.
    if (auto* old = static_cast<TClientData*>(other->userData); old != nullptr && old != &D) BecameUnserved(*old);
  }
  // The engine may have been unregistered by a handler meanwhile; then the connection stays open.
  if (std::find(comms_.begin(), comms_.end(), &E) == comms_.end()) return;
  D.Comms = &E;
  E.TCPClientConnected(this, &c);
  if (alive.expired()) return;
  E.TCPDataArrived(this, S);
  if (alive.expired()) return;
  D.Buffer.clear();
  D.IdentifyingFrame.clear();
}

bool TKRVTCPServer::HandOver(TClientData& Client, TKRVComms& Engine) {
  const auto it = std::find_if(clients_.begin(), clients_.end(), [&](const auto& d) { return d.get() == &Client; });
  if (it == clients_.end() || Client.Socket == nullptr || !Client.Socket->isConnected()) return false;
  if (std::find(comms_.begin(), comms_.end(), &Engine) == comms_.end()) return false;
  if (Engine.ServerSocket() == Client.Socket) return true;  // it has the connection already
  // A connection has one engine at a time: the one that holds it now lets it go first, or two
  // engines would write to the same device and only the first would hear it.
  if (TKRVComms* holder = FindCommsBySocket(Client.Socket); holder != nullptr) {
    const std::weak_ptr<bool> alive = Client.Alive;
    holder->TCPClientDisconnected(this);
    if (alive.expired() || !Client.Socket->isConnected()) return false;
    if (std::find(comms_.begin(), comms_.end(), &Engine) == comms_.end()) return false;
  }
  // The engine gets the frame that identified the device too, then whatever came after it.
  const std::string s = Client.IdentifyingFrame + Client.Buffer;
  Identify(Client, Engine, Client.Identified ? Client.Address : Engine.KRVAddress, s);
  return true;
}

void TKRVTCPServer::Closed(ServerConnection& C) {
  TClientData* d = ClientOf(C);
  if (d == nullptr) return;
  const std::string host = C.remoteAddress();
  Log(Fmt(t::kSrvClosed, host.c_str(), C.remotePort(), AddressPart(*d).c_str()));
  // Out of the list first: handlers below must not find it any more.
  const auto it = std::find_if(clients_.begin(), clients_.end(), [d](const auto& p) { return p.get() == d; });
  std::unique_ptr<TClientData> owned;
  if (it != clients_.end()) {
    owned = std::move(*it);
    clients_.erase(it);
  }
  C.userData = nullptr;
  if (TKRVComms* e = FindCommsBySocket(&C)) e->TCPClientDisconnected(this);
  if (OnClientClosed && owned) OnClientClosed(this, *owned);
  // owned (and its timers) ends here; Alive turns false for handlers that still hold it.
}

void TKRVTCPServer::Error(ServerConnection& C, int Code) {
  TClientData* d = ClientOf(C);
  try {
    const std::string host = C.remoteAddress();
    Log(Fmt(t::kSrvSocketError, host.c_str(), C.remotePort(),
            d != nullptr ? AddressPart(*d).c_str() : t::kSrvUnknownAddr, Code));
    C.close();
  } catch (...) {
  }
}

}  // namespace vornik
