// TKRVTCPServer listens for devices that open the TCP connection themselves (devices behind carrier
// NAT, network adapters in front of a bus) and hands each connection to the engine that serves the
// device on it. Engines take part in server mode only: an engine with WsServerMode and this server
// as its KRVTCPServer registers when it is activated and unregisters when it is deactivated.
//
// Theory of operation. An accepted connection is unidentified: its bytes are collected in its
// client data and examined on every read. The first valid frame tells the device's address (the
// frame's sender); if a registered engine serves that address (or 255, any device), the
// connection is handed to it and from then on every byte goes straight to that engine. A device
// that stays silent gets one identification request 6 s after connecting, which its answer
// identifies it by. A connection is never closed for bad data, only logged and its buffer capped.
//
// Guards keep the port usable for everybody when anyone can reach it. They hold for every
// connection no engine serves, whether or not it sent a valid frame (anyone can compute a KRVW
// checksum): such a connection is closed once it has been unserved for UnidentifiedTimeout
// seconds; at most MaxUnidentified of them are kept, and at most MaxUnservedPerAddress from one
// remote address (the oldest goes first), checked when a connection is accepted and when one
// loses its engine (then once control is back in the loop, as the engine may be inside its own
// call-out). A connection an engine serves is exempt. And the line
// that shows an unidentified connection's unreadable data is written at most once a second per
// connection, so a stream of garbage cannot grow the log faster than the data comes in.
//
// Everything runs on the loop's thread. Handlers called from here (the engine's entries, the
// events) may close connections, register or unregister engines; the server re-checks what it
// holds after each call-out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/KRVProtocol.h"
#include "comms/KRVComms.h"
#include "loop/EventLoop.h"
#include "loop/ServerSocket.h"

namespace vornik {

class TNaploComponent;
class TKRVTCPServer;

/// One accepted connection, held by the server from accept to close.
struct TClientData {
  std::string Buffer;             ///< bytes received and not yet handed to an engine
  uint64_t ByteCount = 0;         ///< bytes received on this connection (never wraps)
  TKRVComms* Comms = nullptr;     ///< engine the connection was handed to
  std::unique_ptr<Timer> IdentifyTimer;  ///< 6000 ms, one-shot: sends the identification request
  TKRVTCPServer* Server = nullptr;
  ServerConnection* Socket = nullptr;

  // Guards of the server.
  bool Identified = false;         ///< a valid frame came on this connection
  uint32_t Address = 0;            ///< sender of the last valid frame (when Identified)
  std::string IdentifyingFrame;    ///< that frame, for an engine the connection is handed to later
  int64_t AcceptedAtMs = 0;
  int64_t UnservedSinceMs = 0;     ///< since when no engine serves it (accept, or losing its engine)
  int64_t LastUnknownLogMs = -1;   ///< last "Ismeretlen adat" line, -1 = none yet
  std::unique_ptr<Timer> ExpiryTimer;  ///< closes the connection if it stays unidentified
  std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
};

using TOnUnregdConnect = std::function<void(TKRVTCPServer* Sender, int32_t AKRVAddr, TClientData& ACltData)>;
using TOnClientDataRead = std::function<void(TKRVTCPServer* Sender, uint32_t CltKRVAddress, const std::string& Data)>;
using TOnClientClosed = std::function<void(TKRVTCPServer* Sender, TClientData& ACltData)>;

class TKRVTCPServer final : public TKRVServerRegistry {
 public:
  static constexpr int kIdentifyDelayMs = 6000;
  static constexpr std::size_t kBufferLimit = 4096;    ///< bytes kept of an unidentified connection
  static constexpr std::size_t kUnknownDataLimit = 300; ///< buffer length from which it is logged
  static constexpr int kUnknownDataLogMs = 1000;       ///< at most one such line this often

  TKRVTCPServer(EventLoop& Loop, ServerSocketFactory& Sockets);
  ~TKRVTCPServer() override;
  TKRVTCPServer(const TKRVTCPServer&) = delete;
  TKRVTCPServer& operator=(const TKRVTCPServer&) = delete;

  // ---- Properties ----------------------------------------------------------------------------
  int32_t Port = 1001;          ///< listening port (0: any free port, see ListeningPort)
  std::string BindAddress;      ///< local address to listen on; empty = every interface
  std::string Description;
  bool Log_Raw_Data = false;
  int32_t UnidentifiedTimeout = 60;  ///< s; a connection without a valid frame is closed then; 0 = never
  int32_t MaxUnidentified = 256;     ///< unserved connections kept; 0 = no limit
  int32_t MaxUnservedPerAddress = 64;  ///< unserved connections kept per remote address; 0 = no limit
  TOnUnregdConnect OnUnregdConnect;
  TOnClientDataRead OnClientDataRead;
  /// A connection ended (its client data is destroyed right after).
  TOnClientClosed OnClientClosed;

  TKRVMode KRVMode() const { return codec_.KRVMode; }
  void SetKRVMode(TKRVMode Mode) { codec_.KRVMode = Mode; }
  TNaploComponent* NaploKomponens() const { return naploKomponens_; }
  void SetNaploKomponens(TNaploComponent* Component) { naploKomponens_ = Component; }

  /// Opens (true) or closes (false) the listening socket; closing ends every connection.
  /// Throws EPortError when the port cannot be listened on.
  void SetActive(bool Value);
  bool Active() const;
  /// The port actually listened on (Port, or the one chosen for Port 0); 0 when not active.
  int ListeningPort() const;

  // ---- Engines -------------------------------------------------------------------------------
  void RegisterComms(TKRVComms* Comms) override;
  void UnregisterComms(TKRVComms* Comms) override;
  TKRVComms* FindCommsBySocket(const ServerConnection* Socket) const;
  /// First registered engine whose KRVAddress is Address or 255.
  TKRVComms* FindCommsByAddress(uint32_t Address) const;
  const std::vector<TKRVComms*>& Comms() const { return comms_; }

  /// Hands a connection to an engine now, as a valid frame from the device would (for a device
  /// whose engine was made after it identified itself). An engine that held the connection loses
  /// it; handing it to the engine that holds it changes nothing. False when the connection is
  /// gone or Engine is not registered.
  bool HandOver(TClientData& Client, TKRVComms& Engine);

  /// The open connections, oldest first.
  std::vector<TClientData*> Clients() const;
  /// Open connections that no engine serves (identified by a frame or not).
  std::size_t UnservedCount() const;
  /// Whether an engine serves the connection now.
  bool Served(const TClientData& D) const;

  /// The process-wide packet id of identification requests: adds one (above 249: 1) and returns it.
  static int32_t NextPacketId();

 private:
  void Accepted(ServerConnection& C);
  void DataRead(ServerConnection& C, std::string_view T);
  void Closed(ServerConnection& C);
  void Error(ServerConnection& C, int Code);
  void SendIdentify(TClientData& D);
  void Expired(TClientData& D);
  void EnforceLimit(const std::string& Address);
  /// The limits for the remote addresses of connections that lost their engine.
  void EnforceLimitsLater(const std::string& Address);
  /// The connection lost its engine (unregistered, or the device moved to another socket).
  void BecameUnserved(TClientData& D);
  /// Identification steps after a valid frame from A (S: the bytes with that frame).
  void Identify(TClientData& D, TKRVComms& E, uint32_t A, const std::string& S);

  std::string Prefix(const TClientData& D) const;          ///< "%15s:%-4.d"
  std::string AddressPart(const TClientData& D) const;     ///< "cím ismeretlen" or the engine's address
  void Log(const std::string& Line) const;
  static TClientData* ClientOf(const ServerConnection& C) { return static_cast<TClientData*>(C.userData); }

  EventLoop& loop_;
  std::unique_ptr<ServerSocket> socket_;
  std::vector<TKRVComms*> comms_;  ///< registered engines, not owned
  std::vector<std::unique_ptr<TClientData>> clients_;  ///< open connections, oldest first
  TKRVProtocol codec_;          ///< cuts and decodes what unidentified connections send
  TKRVProtocol identifyCodec_;  ///< encodes the identification request, with its own header
  TNaploComponent* naploKomponens_ = nullptr;
  std::unique_ptr<Timer> limitCheck_;         ///< 0 ms, one-shot: EnforceLimit for limitAddresses_
  std::vector<std::string> limitAddresses_;
  bool destroying_ = false;
};

}  // namespace vornik
