// Plays a script of connection events against the TCP server on a virtual loop with the in-memory
// server socket: devices connect, send bytes or valid frames, hang up, raise socket errors; engines
// are switched off and on; time passes. Checks after every step (and the 1 ms that follows it):
//   - no connection's buffer holds more than 4096 bytes, and no engine's RxBuffer either;
//   - at most MaxUnidentified connections are unserved (identified by a frame or not), at most
//     MaxUnservedPerAddress of them from one remote address, and none stays unserved for
//     UnidentifiedTimeout;
//   - every registered engine that holds a connection is found by that socket, the socket is one
//     of the server's open connections, and no two engines hold the same one;
//   - the "Ismeretlen adat" line of a connection came at most once per second of its life.
//
// Input: two setup bytes, then operations.
//   setup 0: bits 0-2 MaxUnidentified - 1 (1..8); bits 3-4 UnidentifiedTimeout (0, 1, 5, 60 s);
//            bit 5 Log_Raw_Data; bit 6 KRV mode both ways (else KRVW only); bit 7 latency 3 ms
//   setup 1: bits 0-1 engines at the start (0..3: 178556, 5, 255); bit 2 OnUnregdConnect makes an engine for the
//            device; bit 3 OnUnregdConnect closes the connection; bit 4 OnClientDataRead switches the
//            device's engine off; bit 5 the server goes before the engines at the end; bit 6
//            every device connects from one remote address, at most 2 unserved kept from it
//   0x00..0x3F  bytes on open connection (op & 7): the next byte + 1 bytes of input follow
//   0x40..0x5F  a valid frame on open connection (op & 7) from device ((op >> 3) & 3: 178556,
//               70000, 5, 7); the next
//               byte: payload length (low 4 bits), KRV instead of KRVW (bit 4)
//   0x60..0x67  a device connects
//   0x68..0x6F  open connection (op & 7) hangs up
//   0x70..0x73  socket error on open connection (op & 3)
//   0x74..0x77  the server closes every connection, or listens again
//   0x78..0x7B  engine (op & 3) switched off when on, on when off
//   0x7C..0x7F  open connection (next byte & 7) handed to engine (op & 3), as an operator would
//   0x80..0x9F  (op & 0x1F) * 50 ms pass
//   0xA0..0xBF  (op & 0x1F) s pass
//   0xC0..0xFF  (op & 0x3F) * 64 + 1 copies of the next byte on open connection (following byte & 7)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codec/KRVProtocol.h"
#include "comms/KRVComms.h"
#include "comms/KRVTCPServer.h"
#include "logging/logUnit.h"
#include "logging/uNaploComponent.h"
#include "testkit/MemoryLink.h"
#include "testkit/MemoryServerSocket.h"
#include "testkit/VirtualLoop.h"

using namespace vornik;

namespace {

void CheckAt(bool Condition, int Line) {
  if (Condition) return;
  std::fprintf(stderr, "tcp_server.cpp:%d: property does not hold\n", Line);
  std::abort();
}
#define Check(Condition) CheckAt((Condition), __LINE__)

// Devices: two long addresses (KRVW), two short ones (valid in KRV frames only). Engines made at
// the start serve the first long address, the first short one and any device (255).
const uint32_t kDevices[] = {178556, 70000, 5, 7};
const uint32_t kStartEngines[] = {178556, 5, 255};
const int32_t kTimeouts[] = {0, 1, 5, 60};
constexpr std::size_t kMaxEngines = 8;

std::string Prefix(const std::string& Host, int Port) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%15s:%-4.d ", Host.c_str(), Port);
  return buf;
}

/// Counts the "Ismeretlen adat" lines of every connection, by the line's address column.
struct UnknownDataLines : TLogMemo {
  void AddLine(const std::string& Line) override {
    if (Echo) std::fprintf(stderr, "%s\n", Line.c_str());
    if (Line.find("): Ismeretlen adat: <") == std::string::npos) return;
    for (auto& [prefix, count] : Counts)
      if (Line.compare(0, prefix.size(), prefix) == 0) {
        ++count;
        return;
      }
    Check(false);  // a line for a connection that was never made
  }
  std::map<std::string, int> Counts;
  const bool Echo = std::getenv("VORNIK_FUZZ_ECHO") != nullptr;  // every line to stderr, for reproducers
};

struct Rig {
  explicit Rig(uint8_t Setup0, uint8_t Setup1)
      : sockets(loop, (Setup0 & 0x80) ? 3 : 0), links(loop, nullptr), naplo(loop),
        server(std::make_unique<TKRVTCPServer>(loop, sockets)) {
    naplo.SetLogging(true);
    // Lines reach the memo only while a file is open; this one keeps nothing.
    naplo.SetLogFile("/dev/null");
    naplo.SetLogTime(false);
    naplo.SetLogMemo(&lines);
    server->SetNaploKomponens(&naplo);
    server->MaxUnidentified = 1 + (Setup0 & 7);
    oneHost = (Setup1 & 0x40) != 0;
    if (oneHost) server->MaxUnservedPerAddress = 2;
    server->UnidentifiedTimeout = kTimeouts[(Setup0 >> 3) & 3];
    server->Log_Raw_Data = (Setup0 & 0x20) != 0;
    server->SetKRVMode((Setup0 & 0x40) ? TKRVMode::PMDecodeBothEncodeKRVW : TKRVMode::PMKRVWOnly);
    server->SetActive(true);
    for (int i = 0; i < (Setup1 & 3); ++i) AddEngine(kStartEngines[static_cast<std::size_t>(i)]);
    if (Setup1 & 0x0C)
      server->OnUnregdConnect = [this, Setup1](TKRVTCPServer*, int32_t Address, TClientData& Client) {
        if ((Setup1 & 0x04) && engines.size() < kMaxEngines) AddEngine(static_cast<uint32_t>(Address));
        if (Setup1 & 0x08) Client.Socket->close();
      };
    if (Setup1 & 0x10)
      server->OnClientDataRead = [this](TKRVTCPServer*, uint32_t Address, const std::string& Data) {
        if (Data.empty() || (static_cast<uint8_t>(Data[0]) & 1) == 0) return;
        for (auto& e : engines)
          if (e->Active() && e->KRVAddress == Address) {
            e->SetActive(false);
            return;
          }
      };
  }

  void AddEngine(uint32_t Address) {
    engines.push_back(std::make_unique<TKRVComms>(loop, links));
    TKRVComms& e = *engines.back();
    e.WsServerMode = true;
    e.KRVTCPServer = server.get();
    e.KRVAddress = Address;
    e.SetKRVMode(TKRVMode::PMDecodeBothEncodeKRVW);
    e.SetActive(true);
  }

  testkit::MemoryServerSocket& socket() { return *sockets.Last; }

  /// Open connection number K (modulo how many are open), or null when none is open.
  testkit::MemoryServerConnection* Open(std::size_t K) {
    std::vector<testkit::MemoryServerConnection*> open;
    for (auto& c : socket().All)
      if (c->isConnected()) open.push_back(c.get());
    return open.empty() ? nullptr : open[K % open.size()];
  }

  void CheckState() {
    const int64_t now = loop.nowMs();
    const auto clients = server->Clients();
    std::map<std::string, std::size_t> unservedFrom;
    for (const TClientData* d : clients) {
      Check(d->Buffer.size() <= TKRVTCPServer::kBufferLimit);
      Check(d->Socket != nullptr && d->Socket->isConnected());
      if (server->Served(*d)) continue;
      ++unservedFrom[d->Socket->remoteAddress()];
      // A valid frame does not make a connection exempt; only an engine serving it does.
      if (server->UnidentifiedTimeout > 0) Check(now - d->UnservedSinceMs < server->UnidentifiedTimeout * 1000);
    }
    if (server->MaxUnidentified > 0) Check(server->UnservedCount() <= static_cast<std::size_t>(server->MaxUnidentified));
    if (server->MaxUnservedPerAddress > 0)
      for (const auto& [host, n] : unservedFrom) Check(n <= static_cast<std::size_t>(server->MaxUnservedPerAddress));
    std::vector<const ServerConnection*> held;
    for (TKRVComms* e : server->Comms()) {
      Check(e->RxBuffer().size() <= 4096);
      const ServerConnection* s = e->ServerSocket();
      if (s == nullptr) continue;
      Check(server->FindCommsBySocket(s) == e);
      Check(std::find(held.begin(), held.end(), s) == held.end());
      held.push_back(s);
      Check(std::any_of(clients.begin(), clients.end(), [s](const TClientData* d) { return d->Socket == s; }));
    }
    // The log line about unreadable data: at most one per started second of a connection's life.
    for (auto& c : socket().All) {
      const auto it = lines.Counts.find(Prefix(c->remoteAddress(), c->remotePort()));
      Check(it != lines.Counts.end());
      const int64_t end = c->ClosedAtMs >= 0 ? c->ClosedAtMs : now;
      Check(it->second <= 1 + (end - accepted[c.get()]) / TKRVTCPServer::kUnknownDataLogMs);
    }
  }

  void Connect() {
    if (!server->Active() || socket().All.size() >= 64) return;
    const std::size_t n = socket().All.size();
    const std::string host = oneHost ? std::string("10.0.0.1") : "10.0." + std::to_string(n / 8) + "." + std::to_string(n % 8 + 1);
    auto& c = socket().Connect(host);
    lines.Counts.emplace(Prefix(host, c.remotePort()), 0);
    accepted[&c] = loop.nowMs();
  }

  void Finish(bool ServerFirst) {
    if (ServerFirst) {
      std::vector<TKRVComms*> registered = server->Comms();
      server.reset();
      for (TKRVComms* e : registered) Check(e->KRVTCPServer == nullptr && e->ServerSocket() == nullptr);
      engines.clear();
    } else {
      engines.clear();
      Check(server->Comms().empty());
      server.reset();
    }
  }

  bool oneHost = false;
  testkit::VirtualLoop loop;
  testkit::MemoryServerSocketFactory sockets;
  testkit::MemoryLinkFactory links;
  TNaploComponent naplo;
  UnknownDataLines lines;
  std::map<const ServerConnection*, int64_t> accepted;
  std::vector<std::unique_ptr<TKRVComms>> engines;
  std::unique_ptr<TKRVTCPServer> server;
};

std::string DeviceFrame(uint32_t From, bool Krv, const uint8_t* Payload, std::size_t N, uint8_t Id) {
  TKRVProtocol enc;
  enc.KRVMode = Krv ? TKRVMode::PMKRVOnly : TKRVMode::PMKRVWOnly;
  enc.Felado = Krv ? From & 0xFF : From;
  enc.Cimzett = kPCAddress;
  enc.CsomagSorszam = Id;
  return enc.Encode(std::string(reinterpret_cast<const char*>(Payload), N));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) return 0;
  Rig rig(Data[0], Data[1]);
  std::size_t pos = 2;
  auto next = [&]() -> uint8_t { return pos < Size ? Data[pos++] : 0; };
  while (pos < Size) {
    const uint8_t op = Data[pos++];
    if (op < 0x40) {
      const std::size_t n = std::min<std::size_t>(next() + 1u, Size - pos);
      if (auto* c = rig.Open(op & 7)) c->PeerSend(std::string(reinterpret_cast<const char*>(Data + pos), n));
      pos += n;
    } else if (op < 0x60) {
      const uint8_t shape = next();
      const std::size_t n = std::min<std::size_t>(shape & 0x0F, Size - pos);
      const std::string frame = DeviceFrame(kDevices[(op >> 3) & 3], (shape & 0x10) != 0, Data + pos, n, shape);
      pos += n;
      if (auto* c = rig.Open(op & 7)) c->PeerSend(frame);
    } else if (op < 0x68) {
      rig.Connect();
    } else if (op < 0x70) {
      if (auto* c = rig.Open(op & 7)) c->PeerClose();
    } else if (op < 0x74) {
      if (auto* c = rig.Open(op & 3)) c->RaiseError(10054);
    } else if (op < 0x78) {
      rig.server->SetActive(!rig.server->Active());
    } else if (op < 0x7C) {
      if (!rig.engines.empty()) {
        TKRVComms& e = *rig.engines[(op & 3) % rig.engines.size()];
        e.SetActive(!e.Active());
      }
    } else if (op < 0x80) {
      const uint8_t k = next();
      if (auto* c = rig.Open(k & 7); c != nullptr && !rig.engines.empty()) {
        TKRVComms& e = *rig.engines[(op & 3) % rig.engines.size()];
        auto* d = static_cast<TClientData*>(c->userData);
        const bool registered = std::find(rig.server->Comms().begin(), rig.server->Comms().end(), &e) != rig.server->Comms().end();
        Check(d != nullptr && rig.server->HandOver(*d, e) == registered);
      }
    } else if (op < 0xA0) {
      rig.loop.advance((op & 0x1F) * 50);
    } else if (op < 0xC0) {
      rig.loop.advance((op & 0x1F) * 1000);
    } else {
      const uint8_t byte = next();
      const std::size_t k = next();
      if (auto* c = rig.Open(k & 7)) c->PeerSend(std::string(static_cast<std::size_t>(op & 0x3F) * 64 + 1, static_cast<char>(byte)));
    }
    // 1 ms: what the server leaves until control is back in the loop is done by then.
    rig.loop.advance(1);
    rig.CheckState();
  }
  // Long enough for the identification requests and the guards of every connection.
  rig.loop.advance(61000);
  rig.CheckState();
  rig.Finish((Data[1] & 0x20) != 0);
  return 0;
}
