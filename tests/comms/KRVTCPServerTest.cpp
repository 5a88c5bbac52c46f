// The TCP server on the virtual loop with the in-memory server socket: how devices identify
// themselves (early frame, the one request at 6 s), which engine gets them (255, take-over by a
// second socket, unregistration), the capped buffer and its rate-limited log line, the guards
// against connections that never identify themselves, and the server's end.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "comms/KRVTCPServer.h"
#include "CommsFixture.h"
#include "logging/logUnit.h"
#include "testkit/MemoryServerSocket.h"

namespace vornik::testing {
namespace {

using testkit::MemoryServerConnection;

constexpr uint32_t kDevice = 178556;

/// A frame a device sends to the PC.
std::string DeviceFrame(uint32_t From, const std::string& Payload = "ESYSI", uint8_t Id = 9) {
  TKRVProtocol enc;
  enc.KRVMode = TKRVMode::PMKRVWOnly;
  enc.Felado = From;
  enc.Cimzett = kPCAddress;
  enc.CsomagSorszam = Id;
  return enc.Encode(Payload);
}

struct TDecoded {
  std::string Payload;
  uint32_t Src = 0, Dst = 0;
  int Id = 0;
  TInfo Info{};
  bool AsyEr = false;
};
TDecoded Decode(std::string Frame) {
  TKRVProtocol dec;
  dec.KRVMode = TKRVMode::PMKRVWOnly;
  TDecoded d;
  d.Payload = dec.Decode(dec.ExtractFrame(Frame));
  d.Src = dec.Felado;
  d.Dst = dec.Cimzett;
  d.Id = dec.CsomagSorszam;
  d.Info = dec.Info;
  d.AsyEr = dec.Enable_ASYER;
  return d;
}

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() {
    naplo.SetLogFile((std::filesystem::temp_directory_path() / "vornik_server_test.log").string());
    naplo.SetLogging(true);
    naplo.SetLogTime(false);
    naplo.SetLogMemo(&log);
    server.SetNaploKomponens(&naplo);
    server.SetActive(true);
  }
  ~ServerTest() override { std::filesystem::remove(std::filesystem::temp_directory_path() / "vornik_server_test.log"); }

  /// An active engine in server mode for Address.
  TKRVComms& Engine(uint32_t Address) {
    engines.push_back(std::make_unique<TKRVComms>(loop, links));
    TKRVComms& e = *engines.back();
    e.WsServerMode = true;
    e.KRVTCPServer = &server;
    e.KRVAddress = Address;
    e.SetKRVMode(TKRVMode::PMDecodeBothEncodeKRVW);
    e.SetActive(true);
    return e;
  }
  testkit::MemoryServerSocket& socket() { return *sockets.Last; }
  int Count(const std::string& Text) const {
    return static_cast<int>(std::count_if(log.Lines.begin(), log.Lines.end(),
                                          [&](const std::string& L) { return L.find(Text) != std::string::npos; }));
  }
  TClientData* Client(const MemoryServerConnection& C) { return static_cast<TClientData*>(C.userData); }

  testkit::VirtualLoop loop;
  testkit::MemoryServerSocketFactory sockets{loop};
  testkit::MemoryLinkFactory links{loop, nullptr};
  TNaploComponent naplo{loop};
  CapturedLines log;
  TKRVTCPServer server{loop, sockets};
  std::vector<std::unique_ptr<TKRVComms>> engines;
};

TEST_F(ServerTest, LinesCarryTheAddressAndPortColumns) {
  auto& c = socket().Connect("10.0.0.7", 80);
  ASSERT_FALSE(log.Lines.empty());
  EXPECT_EQ(log.Lines.back(), "       10.0.0.7:80   (cím ismeretlen): Új kapcsolat.");
  c.PeerClose();
  EXPECT_EQ(log.Lines.back(), "       10.0.0.7:80   (cím ismeretlen): A kapcsolat megszakadt.");
}

TEST_F(ServerTest, AnEarlyFrameIdentifiesTheDeviceAndNoRequestIsSent) {
  TKRVComms& e = Engine(kDevice);
  std::vector<std::string> toEngine;
  e.OnRawData = [&](TKRVComms*, const std::string& D) { toEngine.push_back(D); };
  auto& c = socket().Connect();
  loop.advance(1000);
  const std::string frame = DeviceFrame(kDevice);
  c.PeerSend(frame);
  loop.advance(1);
  EXPECT_EQ(Count("(178556): Csomag érkezett: <" + DecimalDump(frame) + ">."), 1);
  EXPECT_EQ(Count("(178556): Cím azonosítva."), 1);
  EXPECT_EQ(Count("A készülék magától küldött csomagot, ezért nem szólítom meg."), 1);
  EXPECT_TRUE(e.IsConnected());
  EXPECT_EQ(e.ServerSocket(), &c);
  EXPECT_EQ(e.Host, "127.0.0.1");
  EXPECT_EQ(e.Port, c.remotePort());
  ASSERT_EQ(toEngine.size(), 1u);  // the identifying frame reaches the engine too
  EXPECT_EQ(toEngine[0], frame);
  loop.advance(10000);
  EXPECT_TRUE(c.Written.empty());  // no CSYSI
  // From now on bytes go straight to the engine.
  c.PeerSend("abc");
  loop.advance(1);
  EXPECT_EQ(toEngine.back(), "abc");
}

TEST_F(ServerTest, ASilentDeviceGetsExactlyOneRequestAtSixSeconds) {
  server.UnidentifiedTimeout = 0;
  TKRVComms& e = Engine(kDevice);
  auto& c = socket().Connect();
  auto& second = socket().Connect();
  loop.advance(5999);
  EXPECT_TRUE(c.Written.empty());
  loop.advance(1);
  ASSERT_EQ(c.Written.size(), 1u);
  ASSERT_EQ(second.Written.size(), 1u);
  const TDecoded r = Decode(c.Written[0]);
  EXPECT_EQ(r.Payload, "CSYSI");
  EXPECT_EQ(r.Dst, 255u);
  EXPECT_EQ(r.Src, 250u);
  EXPECT_EQ(r.Info, TInfo::nem_kerek_nyugtat);
  EXPECT_TRUE(r.AsyEr);
  EXPECT_GE(r.Id, 1);
  EXPECT_LE(r.Id, 249);
  EXPECT_EQ(Decode(second.Written[0]).Id, r.Id == 249 ? 1 : r.Id + 1);  // one counter for the process
  EXPECT_EQ(Count("(cím ismeretlen): CSYSI elküldve: <" + DecimalDump(c.Written[0]) + ">"), 1);
  loop.advance(120000);
  EXPECT_EQ(c.Written.size(), 1u);
  // The answer identifies it; no "magától" line, as it was asked.
  c.PeerSend(DeviceFrame(kDevice, "ASYSI", static_cast<uint8_t>(r.Id)));
  loop.advance(1);
  EXPECT_EQ(e.ServerSocket(), &c);
  EXPECT_EQ(Count("magától küldött"), 0);
}

TEST_F(ServerTest, AnEngineFor255RegisteredFirstTakesEveryDevice) {
  TKRVComms& any = Engine(255);
  TKRVComms& own = Engine(700007);
  EXPECT_EQ(server.FindCommsByAddress(700007), &any);
  EXPECT_EQ(server.FindCommsByAddress(123456), &any);
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(700007));
  loop.advance(1);
  EXPECT_EQ(any.ServerSocket(), &c);
  EXPECT_EQ(own.ServerSocket(), nullptr);
  EXPECT_EQ(Count("(255): "), 0);  // frame lines carry the frame's sender
}

TEST_F(ServerTest, ASecondSocketTakesTheEngineOverAndTheOldOneStaysOpen) {
  TKRVComms& e = Engine(kDevice);
  auto& first = socket().Connect("127.0.0.1", 50001);
  first.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  auto& second = socket().Connect("127.0.0.1", 50002);
  second.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  EXPECT_EQ(Count("      127.0.0.1:50002 (178556): A készülék több socketen kapcsolódik egyszerre, az előző "
                  "kapcsolatot (127.0.0.1:50001) figyelmen kívül hagyom."),
            1);
  EXPECT_EQ(e.ServerSocket(), &second);
  EXPECT_EQ(e.Port, 50002);
  EXPECT_TRUE(e.IsConnected());
  EXPECT_TRUE(first.isConnected());
  // The old socket's bytes are examined again instead of reaching the engine.
  first.PeerSend(DeviceFrame(kDevice, "EXXXX"));
  loop.advance(1);
  EXPECT_EQ(e.ServerSocket(), &first);  // ... and the device on it is identified again
  EXPECT_EQ(Count("több socketen"), 2);
  // Closing the socket the engine no longer has leaves the engine alone.
  second.PeerClose();
  EXPECT_TRUE(e.IsConnected());
  first.PeerClose();
  EXPECT_FALSE(e.IsConnected());
}

TEST_F(ServerTest, DataWithoutAStopByteIsCappedAndLoggedAtMostOnceASecond) {
  server.UnidentifiedTimeout = 0;
  auto& c = socket().Connect();
  for (int i = 0; i < 50; ++i) c.PeerSend(std::string(100, 'a'));  // 5000 bytes, one instant
  loop.advance(1);
  TClientData* d = Client(c);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Buffer.size(), TKRVTCPServer::kBufferLimit);
  EXPECT_EQ(d->ByteCount, 5000);
  ASSERT_EQ(Count("Ismeretlen adat"), 1);  // reads 4..50 came within one second
  EXPECT_EQ(Count("(cím ismeretlen): Ismeretlen adat: <" + DecimalDump(std::string(400, 'a')) + ">"), 1);
  loop.advance(999);
  c.PeerSend("a");
  loop.advance(1);
  EXPECT_EQ(Count("Ismeretlen adat"), 2);
  EXPECT_EQ(Count("Ismeretlen adat: <" + DecimalDump(std::string(4097, 'a')) + ">"), 1);
  // Garbage with a stop byte is a bad frame; the connection stays.
  c.PeerSend(std::string("xyz\xFC", 4));
  loop.advance(1);
  EXPECT_EQ(Count("Hibás csomag"), 1);
  EXPECT_TRUE(c.isConnected());
}

TEST_F(ServerTest, UnregisteringFreesTheConnectionsButClosesNone) {
  TKRVComms& e = Engine(kDevice);
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  ASSERT_EQ(Client(c)->Comms, &e);
  server.UnregisterComms(&e);
  EXPECT_TRUE(server.Comms().empty());
  EXPECT_EQ(Client(c)->Comms, nullptr);
  EXPECT_TRUE(c.isConnected());
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  EXPECT_EQ(Count("Csomag érkezett"), 2);
  EXPECT_EQ(Count("(178556): Ismeretlen című készülék."), 1);
  // The engine's own deactivation closes the socket it was on.
  server.RegisterComms(&e);
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  EXPECT_EQ(e.ServerSocket(), &c);
  e.SetActive(false);
  EXPECT_FALSE(c.isConnected());
  EXPECT_TRUE(server.Comms().empty());
}

TEST_F(ServerTest, UnservedConnectionsAreClosedAfterTheTimeoutAndBeyondTheLimit) {
  // A valid frame from an address no engine serves earns nothing: anyone can compute a checksum.
  server.UnidentifiedTimeout = 60;
  server.MaxUnidentified = 3;
  Engine(kDevice);
  std::vector<int> seen;
  server.OnUnregdConnect = [&](TKRVTCPServer*, int32_t A, TClientData&) { seen.push_back(A); };
  auto& served = socket().Connect();
  served.PeerSend(DeviceFrame(kDevice));
  auto& unknown = socket().Connect();
  unknown.PeerSend(DeviceFrame(4200042));
  loop.advance(1);
  EXPECT_EQ(seen, std::vector<int>{4200042});
  auto& a = socket().Connect();
  loop.advance(10);
  auto& b = socket().Connect();
  EXPECT_EQ(server.UnservedCount(), 3u);
  auto& c = socket().Connect();  // one too many: the oldest unserved goes, identified or not
  EXPECT_FALSE(unknown.isConnected());
  EXPECT_TRUE(a.isConnected() && b.isConnected() && c.isConnected() && served.isConnected());
  EXPECT_EQ(Count("Túl sok az azonosítatlan kapcsolat (3), a legrégebbit bontom."), 1);
  a.PeerSend(DeviceFrame(4200043));  // a valid frame does not stop its clock
  loop.advance(60000 - 10);
  EXPECT_FALSE(a.isConnected());
  EXPECT_TRUE(b.isConnected());
  loop.advance(10);
  EXPECT_FALSE(b.isConnected() || c.isConnected());
  EXPECT_EQ(b.ClosedAtMs, 60011);
  EXPECT_EQ(Count("60 másodperc alatt sem azonosította magát, a kapcsolatot bontom."), 3);
  loop.advance(600000);
  EXPECT_TRUE(served.isConnected());
  EXPECT_EQ(server.Clients().size(), 1u);
}

TEST_F(ServerTest, AConnectionThatLosesItsEngineIsBoundedAgain) {
  server.UnidentifiedTimeout = 60;
  TKRVComms& e = Engine(kDevice);
  auto& first = socket().Connect();
  first.PeerSend(DeviceFrame(kDevice));
  loop.advance(100000);
  ASSERT_TRUE(first.isConnected());
  auto& second = socket().Connect();  // the device moves: the old socket stays open, unserved
  second.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  EXPECT_EQ(e.ServerSocket(), &second);
  EXPECT_EQ(server.UnservedCount(), 1u);
  loop.advance(120000);
  EXPECT_FALSE(first.isConnected());
  EXPECT_TRUE(second.isConnected());
}

TEST_F(ServerTest, ConnectionsThatLoseTheirEngineStayWithinTheLimits) {
  // Connections can lose their engine without a new one being accepted; the limits hold once
  // control is back in the loop.
  struct {
    int32_t all, perAddress;
    std::size_t left;  ///< unserved connections left open
  } cases[] = {{2, 0, 2}, {0, 1, 1}, {8, 2, 2}};
  for (const auto& c : cases) {
    testkit::MemoryServerSocketFactory ownSockets{loop};
    TKRVTCPServer s{loop, ownSockets};
    s.Port = 0;
    s.MaxUnidentified = c.all;
    s.MaxUnservedPerAddress = c.perAddress;
    s.SetActive(true);
    std::vector<std::unique_ptr<TKRVComms>> own;
    std::vector<MemoryServerConnection*> first;
    for (uint32_t a : {kDevice, kDevice + 1, kDevice + 2}) {
      own.push_back(std::make_unique<TKRVComms>(loop, links));
      TKRVComms& e = *own.back();
      e.WsServerMode = true;
      e.KRVTCPServer = &s;
      e.KRVAddress = a;
      e.SetActive(true);
      auto& conn = ownSockets.Last->Connect();
      conn.PeerSend(DeviceFrame(a));
      loop.advance(1);
      ASSERT_EQ(e.ServerSocket(), &conn);
      first.push_back(&conn);
    }
    // Their engines go (as an update session ends): the connections stay open, unserved, and no
    // connection is accepted that would look at the limits.
    for (auto& e : own) s.UnregisterComms(e.get());
    loop.advance(1);
    EXPECT_EQ(s.UnservedCount(), c.left) << c.all << "/" << c.perAddress;
    // The oldest went.
    EXPECT_FALSE(first[0]->isConnected());
    EXPECT_TRUE(first[2]->isConnected());
  }
}

TEST_F(ServerTest, AFloodOfValidFramesFromRandomAddressesStaysBounded) {
  server.UnidentifiedTimeout = 60;
  server.MaxUnidentified = 256;
  server.MaxUnservedPerAddress = 64;
  TKRVComms& listed = Engine(kDevice);
  std::mt19937 rng(17);
  std::size_t most = 0;
  for (int i = 0; i < 1500; ++i) {
    // Half of them from one address (a NAT or a single attacker), the rest from many.
    const std::string host = i % 2 == 0 ? "10.0.0.1" : "10.1." + std::to_string(i % 200) + ".2";
    auto& c = socket().Connect(host);
    c.PeerSend(DeviceFrame(1000000 + rng() % 1000000));
    if (i == 1000) {
      auto& device = socket().Connect("10.0.0.1");
      device.PeerSend(DeviceFrame(kDevice));
    }
    loop.advance(7);
    most = std::max(most, server.Clients().size());
    std::size_t fromOne = 0;
    for (const auto* d : server.Clients())
      if (d->Socket->remoteAddress() == "10.0.0.1" && !server.Served(*d)) ++fromOne;
    ASSERT_LE(fromOne, 64u) << i;
    ASSERT_LE(server.UnservedCount(), 256u) << i;
  }
  EXPECT_LE(most, 257u);
  ASSERT_NE(listed.ServerSocket(), nullptr);
  EXPECT_TRUE(listed.ServerSocket()->isConnected());
  loop.advance(61000);
  EXPECT_EQ(server.Clients().size(), 1u);  // only the listed device stays
}

TEST_F(ServerTest, TheIdentificationRequestCarriesItsOwnHeaderFields) {
  // A frame with a header extension from another client must not shape the request.
  TKRVProtocol enc;
  enc.KRVMode = TKRVMode::PMKRVWOnly;
  enc.Felado = 4200042;
  enc.Cimzett = kPCAddress;
  enc.Felado_rovid_cim = 77;
  enc.Header_extension = "XYZ";
  auto& other = socket().Connect();
  other.PeerSend(enc.Encode("ESYSI"));
  auto& silent = socket().Connect();
  loop.advance(6000);
  ASSERT_EQ(silent.Written.size(), 1u);
  TKRVProtocol dec;
  dec.KRVMode = TKRVMode::PMKRVWOnly;
  std::string frame = silent.Written[0];
  EXPECT_EQ(dec.Decode(dec.ExtractFrame(frame)), "CSYSI");
  EXPECT_EQ(dec.HeaderExtensionLength(), 0);
  EXPECT_TRUE(dec.Header_extension.empty());
  EXPECT_EQ(dec.Felado_rovid_cim, kPCAddress);
  EXPECT_EQ(dec.Cimzett, 255u);
}

TEST_F(ServerTest, HandOverPassesTheFrameThatIdentifiedTheDevice) {
  std::vector<std::string> read;
  TKRVComms* made = nullptr;
  TClientData* waiting = nullptr;
  server.OnUnregdConnect = [&](TKRVTCPServer*, int32_t, TClientData& C) { waiting = &C; };
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(kDevice, "ESYSIhello"));
  loop.advance(1);
  ASSERT_NE(waiting, nullptr);
  made = &Engine(kDevice);
  made->KRVAddress = kDevice;
  made->OnRead = [&](const std::string& S, uint16_t, int32_t) { read.push_back(S); };
  ASSERT_TRUE(server.HandOver(*waiting, *made));
  loop.advance(5);
  EXPECT_EQ(read, std::vector<std::string>{"ESYSIhello"});
}

TEST_F(ServerTest, TheByteCountOfALongLivedConnectionDoesNotWrap) {
  TKRVComms& e = Engine(kDevice);
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  TClientData* d = Client(c);
  ASSERT_NE(d, nullptr);
  d->ByteCount = 0x7FFFFFF0u;
  c.PeerSend(std::string(64, 'x'));
  loop.advance(1);
  EXPECT_EQ(d->ByteCount, 0x7FFFFFF0ull + 64);
  EXPECT_GT(e.IncomingDataCount, 0u);
}

TEST_F(ServerTest, SocketErrorsEndTheConnectionAndRawReadsAreLogged) {
  server.Log_Raw_Data = true;
  auto& c = socket().Connect("127.0.0.1", 1234);
  c.PeerSend("hello\r");
  loop.advance(1);
  EXPECT_EQ(Count("      127.0.0.1:1234 BE: hello#13 104 101 108 108 111 013 "), 1);
  c.RaiseError(10054);
  EXPECT_EQ(Count("      127.0.0.1:1234 (cím ismeretlen): Sockethiba: 10054"), 1);
  EXPECT_FALSE(c.isConnected());
  EXPECT_TRUE(server.Clients().empty());
}

TEST_F(ServerTest, AHandlerMayMakeTheEngineAndHandOverLaterConnections) {
  TKRVComms* made = nullptr;
  server.OnUnregdConnect = [&](TKRVTCPServer*, int32_t A, TClientData&) { made = &Engine(static_cast<uint32_t>(A)); };
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->ServerSocket(), &c);
  // A connection that identified itself earlier is handed over on request.
  server.OnUnregdConnect = nullptr;
  auto& other = socket().Connect();
  other.PeerSend(DeviceFrame(990099));
  loop.advance(1);
  TKRVComms& late = Engine(990099);
  EXPECT_TRUE(server.HandOver(*Client(other), late));
  EXPECT_EQ(late.ServerSocket(), &other);
}

TEST_F(ServerTest, AConnectionHandedToAnotherEngineLeavesTheFirstOne) {
  TKRVComms& first = Engine(kDevice);
  TKRVComms& second = Engine(255);
  std::vector<std::string> toFirst, toSecond;
  first.OnRawData = [&](TKRVComms*, const std::string& D) { toFirst.push_back(D); };
  second.OnRawData = [&](TKRVComms*, const std::string& D) { toSecond.push_back(D); };
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  ASSERT_EQ(first.ServerSocket(), &c);
  EXPECT_TRUE(server.HandOver(*Client(c), second));
  EXPECT_EQ(second.ServerSocket(), &c);
  EXPECT_EQ(first.ServerSocket(), nullptr);  // one engine per connection
  EXPECT_FALSE(first.IsConnected());
  EXPECT_EQ(server.FindCommsBySocket(&c), &second);
  // Handing it to the engine that has it changes nothing.
  const int connects = Count("(178556): Cím azonosítva.");
  EXPECT_TRUE(server.HandOver(*Client(c), second));
  EXPECT_EQ(Count("(178556): Cím azonosítva."), connects);
  toFirst.clear();
  toSecond.clear();
  c.PeerSend("abc");
  loop.advance(1);
  EXPECT_TRUE(toFirst.empty());
  ASSERT_EQ(toSecond.size(), 1u);
  EXPECT_EQ(toSecond[0], "abc");
  EXPECT_TRUE(c.isConnected());
}

TEST_F(ServerTest, DestroyingTheServerDisconnectsItsEnginesAndForgetsThem) {
  TKRVComms& e = Engine(kDevice);
  auto& c = socket().Connect();
  c.PeerSend(DeviceFrame(kDevice));
  loop.advance(1);
  ASSERT_TRUE(e.IsConnected());
  server.UnregisterComms(&e);
  {
    auto gone = std::make_unique<TKRVTCPServer>(loop, sockets);
    gone->SetActive(true);
    e.KRVTCPServer = gone.get();
    gone->RegisterComms(&e);
    auto& d = sockets.Last->Connect();
    d.PeerSend(DeviceFrame(kDevice));
    loop.advance(1);
    EXPECT_EQ(e.ServerSocket(), &d);
  }
  EXPECT_EQ(e.ServerSocket(), nullptr);
  EXPECT_EQ(e.KRVTCPServer, nullptr);
  e.SetActive(false);  // must not reach the destroyed server
  EXPECT_TRUE(c.isConnected());
}

}  // namespace
}  // namespace vornik::testing
