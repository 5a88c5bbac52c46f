// Admission, option checks, packet kinds and ids, cancelling, deactivation, slow writes,
// keep-alive and the server-mode entry points.
#include <stdexcept>
#include <utility>

#include "comms/CommsFixture.h"

namespace vornik::testing {
namespace {

class SendTest : public CommsTest {};

TEST_F(SendTest, RefusalsReportTheirCodeAndTag) {
  // Inactive engine: 2, even for options that would raise on an active one.
  auto* forbidden = Item("CSYSI", "", {psoForceAck, psoDontAck});
  EXPECT_NO_THROW(Send(forbidden));
  std::vector<uint16_t> noWait;
  comms->SendNoWait("CSYSI", 5, 1, [&](const std::string&, uint16_t Code, int32_t) { noWait.push_back(Code); });
  EXPECT_EQ(noWait, std::vector<uint16_t>{2});
  comms->SetActive(true);
  link().Drop();
  Send(Item("CSYSI", "", {psoDontQueue}));  // not connected: 3
  comms->SetActive(false);
  comms->SetActive(true);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].Code, 2);
  EXPECT_EQ(results[1].Code, 3);
  EXPECT_TRUE(Logged("NEM AKTIV"));
  EXPECT_TRUE(Logged("NINCS KAPCS"));
}

TEST_F(SendTest, FullQueueRefusesWith4ButQuickCommandsStillGo) {
  comms->PufferSize = 512;
  comms->SetActive(true);
  for (int i = 0; i < 512; ++i) Send(Item("CSYSI", "ASYSI"));
  EXPECT_TRUE(results.empty());
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].Code, 4);
  EXPECT_TRUE(Logged("PUFFER TELE"));
  Send(Item("CSYRS", "", {psoDontQueue}));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].Code, 0);
  EXPECT_EQ(link().Writes.size(), 1u);
}

TEST_F(SendTest, FirstInQueueWhileAnItemIsInFlightIsRefusedWith8) {
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI"));
  loop.advance(10);
  ASSERT_EQ(comms->State(), 2);
  Send(Item("CSYSI", "ASYSI", {psoFirstInQueue}));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].Code, 8);
  EXPECT_TRUE(Logged("NEM PAUSED"));
}

TEST_F(SendTest, MisuseRaisesWithTheDecimalDump) {
  comms->SetActive(true);
  struct Case {
    TKRVSendOptions Options;
    const char* Text;
  } cases[] = {
      {{psoForceAck, psoDontAck}, "Invalid options: psoForceAck, psoDontAck (067 083 089 083 073 )"},
      {{psoDontAck, psoWaitAfterAck}, "Invalid options: psoDontAck, psoWaitAfterAck (067 083 089 083 073 )"},
      {{psoFirstInQueue, psoDontQueue}, "Invalid options: psoFirstInQueue, psoDontQueue (067 083 089 083 073 )"},
      {{psoDontLog, psoLogAsPoll}, "Invalid options: psoDontLog, psoLogAsPoll (067 083 089 083 073 )"},
      // Several pairs present: the first in table order wins.
      {{psoDontQueue, psoUsePollTimeout, psoForceWait}, "Invalid options: psoForceWait, psoDontQueue (067 083 089 083 073 )"},
  };
  for (const auto& c : cases) {
    try {
      Send(Item("CSYSI", "", c.Options));
      ADD_FAILURE() << c.Text;
    } catch (const ECommsError& e) {
      EXPECT_EQ(std::string(e.what()), c.Text);
    }
  }
  auto* objTag = new TKuldendo("AB", 5);
  objTag->ObjTag = 3;
  try {
    objTag->SendWith(comms.get());
    ADD_FAILURE();
  } catch (const ECommsError& e) {
    EXPECT_EQ(std::string(e.what()), "Use of ObjTag without specifing OnResult: 065 066 ");
  }
  TKuldendo orphan("AB", 5);
  try {
    orphan.SendWith(static_cast<TKRVComms*>(nullptr));
    ADD_FAILURE();
  } catch (const ECommsError& e) {
    EXPECT_EQ(std::string(e.what()), "Unassigned KRVPort in SendWith. Pck: 065 066 ");
  }
  EXPECT_EQ(comms->QueueCount(), 0u);
  EXPECT_TRUE(results.empty());
}

TEST_F(SendTest, PacketKindsAndSendTags) {
  comms->SetActive(true);
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) {
    if (f.Info == TInfo::kerek_nyugtat) p.Ack(f);
    if (f.Payload == "CSYSI") p.Reply(f, "ASYSI");
  };
  Send(Item("CSYSI", "ASYSI"));
  Send(Item("CBLUD"));
  Send(Item("CSYSI", "ASYSI", {}, 160));
  Send(Item("CFLTS", "", {psoDontAck, psoDontWait}));
  auto* info = Item("CXXXX", "", {psoUseInfo, psoDontWait});
  info->Info = TInfo::negativ_nyugta;
  Send(info);
  ASSERT_TRUE(WaitResults(5));
  loop.advance(5);  // a no-wait item reports before its bytes arrive
  const auto& r = peer.Received;
  ASSERT_GE(r.size(), 5u);
  EXPECT_EQ(r[0].Info, TInfo::nem_kerek_nyugtat);
  EXPECT_EQ(r[1].Info, TInfo::kerek_nyugtat);
  EXPECT_EQ(r[4].Info, TInfo::negativ_nyugta);
  EXPECT_TRUE(Logged("              KIKULD "));
  EXPECT_TRUE(Logged("          KIKULD_ACK "));
  EXPECT_TRUE(Logged("         KIKULD_TOUT "));
  EXPECT_TRUE(Logged("           KIKULD_WW "));
  EXPECT_TRUE(Logged("      KIKULD_NACK_WW "));
  for (const auto& res : results) EXPECT_EQ(res.Code, 0);
}

TEST_F(SendTest, SendPacketSetsItsOptionsAndReportsThroughTaggedCallbacks) {
  comms->SetActive(true);
  std::vector<std::pair<std::string, uint16_t>> got;
  struct Sink {
    std::vector<std::pair<std::string, uint16_t>>* Out;
    void OnDone(const std::string& S, uint16_t Code, int32_t) { Out->push_back({S, Code}); }
  } sink{&got};
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) {
    if (f.Info == TInfo::kerek_nyugtat) p.Ack(f);
  };
  // Timeout 500 with no answer: acknowledged, then a forced wait of the whole answer time.
  comms->SendPacket("CFLPW", 5, false, 500, 9, TOnIncoming_tagged(&sink, &Sink::OnDone),
                    TOnIncoming_tagged(&sink, &Sink::OnDone), "");
  loop.runUntil([&] { return !got.empty(); }, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (std::pair<std::string, uint16_t>{"CSYAC", 0}));
  EXPECT_EQ(peer.Requests().size(), 1u);
  EXPECT_TRUE(Logged("PNY - VAR INDUL"));
}

TEST_F(SendTest, QueuedIdsWrapAndQuickIdsKeepClearOfRecentIds) {
  comms->SetActive(true);
  // LastSentSeq 250 after an item with its own id; the next queued item gets 1.
  auto* own = Item("CSYRS", "", {psoKeepPckID, psoDontWait});
  own->CsomagSorszam = 250;
  Send(own);
  Send(Item("CSYRS", "", {psoDontWait}));
  ASSERT_TRUE(WaitResults(2));
  loop.advance(2);
  ASSERT_EQ(peer.Received.size(), 2u);
  EXPECT_EQ(peer.Received[0].Seq, 250);
  EXPECT_EQ(peer.Received[1].Seq, 1);

  // Both last ids at 5: a quick command from QuickSeq 0 skips to 16.
  auto* five = Item("CSYRS", "", {psoKeepPckID, psoDontWait});
  five->CsomagSorszam = 5;
  Send(five);
  ASSERT_TRUE(WaitResults(3));
  peer.Send(peer.Frame("EX", TInfo::nem_kerek_nyugtat, 5));
  loop.advance(5);
  ASSERT_EQ(comms->LastSentSeq(), 5);
  ASSERT_EQ(comms->LastRxSeq(), 5);
  ASSERT_EQ(comms->QuickSeq(), 0);
  Send(Item("CSYRS", "", {psoDontQueue}));
  EXPECT_EQ(comms->QuickSeq(), 16);
  loop.advance(2);
  ASSERT_FALSE(peer.Received.empty());
  EXPECT_EQ(peer.Received.back().Seq, 16);
  EXPECT_TRUE(Logged("GYORSPARANCS"));
}

TEST_F(SendTest, CancellingDropsMatchingItemsSilentlyAndKeepsTheOrderOfTheRest) {
  struct Owner {
    void A(TKRVComms*, const std::string&, uint16_t, int32_t, int32_t) {}
    void B(TKRVComms*, const std::string&, uint16_t, int32_t, int32_t) {}
  } owner, other;
  comms->SetActive(true);
  auto add = [&](uint32_t To, TOnResult Handler) {
    auto* i = new TKuldendo("CSYSI", To);
    i->Ans = "ASYSI";
    i->OnResult = std::move(Handler);
    Send(i);
  };
  add(7, TOnResult(&owner, &Owner::A));
  add(8, TOnResult(&owner, &Owner::B));
  add(7, TOnResult(&other, &Owner::A));
  add(9, TOnResult(&owner, &Owner::A));
  loop.advance(10);  // the head is in flight
  ASSERT_EQ(comms->State(), 2);
  comms->ClearQueue(7);
  EXPECT_EQ(comms->QueueCount(), 2u);
  EXPECT_EQ(comms->Head()->Cimzett, 8u);
  EXPECT_EQ(comms->State(), 0);  // the exchange in flight was abandoned
  EXPECT_FALSE(comms->Waiting());
  comms->CancelOnResult(TOnResult(&owner, &Owner::A));
  ASSERT_EQ(comms->QueueCount(), 1u);
  EXPECT_EQ(comms->Head()->Cimzett, 8u);
  comms->CancelOnResult(TOnResult());
  EXPECT_EQ(comms->QueueCount(), 0u);
  comms->SetActive(false);
  EXPECT_TRUE(results.empty());
}

TEST_F(SendTest, DeactivationFinishesQueuedItemsWith6InOrder) {
  comms->SetActive(true);
  for (int i = 0; i < 3; ++i) Send(Item("CSYSI", "ASYSI"));
  loop.advance(3);
  comms->SetActive(false);
  ASSERT_EQ(results.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(results[i].Code, 6);
    EXPECT_EQ(results[i].Tag, i + 1);
  }
  EXPECT_TRUE(Logged("KRVPort inactive."));
  EXPECT_TRUE(Logged("Disconnected (:1)"));
}

TEST_F(SendTest, CallbacksMaySendTheNextItemAndDeactivate) {
  comms->SetActive(true);
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Reply(f, "A" + f.Payload.substr(1)); };
  int chain = 0;
  std::function<void()> next = [&] {
    auto* i = new TKuldendo("CSTEP", 5);
    i->Ans = "ASTEP";
    i->OnResult = [&](TKRVComms* Sender, const std::string& S, uint16_t Code, int32_t, int32_t) {
      results.push_back({S, Code, 0, loop.nowMs()});
      if (++chain < 3)
        next();
      else
        Sender->SetActive(false);  // the last answer closes the link from inside the callback
    };
    Send(i);
  };
  next();
  ASSERT_TRUE(WaitResults(3));
  loop.advance(50);
  EXPECT_EQ(results.size(), 3u);
  for (const auto& r : results) EXPECT_EQ(r.Code, 0);
  EXPECT_FALSE(comms->Active());
}

TEST_F(SendTest, DestroyingTheEngineCallsNothing) {
  int events = 0;
  comms->OnDisConnect = [&](TKRVComms*) { ++events; };
  comms->SetActive(true);
  for (int i = 0; i < 3; ++i) Send(Item("CSYSI", "ASYSI"));
  loop.advance(3);
  comms.reset();
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(events, 0);
  loop.advance(1000);  // no timer of the dead engine fires
}

TEST_F(SendTest, RawDataHandlerMayCancelTheItemBeingWritten) {
  comms->SetActive(true);
  comms->OnBeforeSendRawData = [&](TKRVComms* Sender, std::string& Data) {
    Data += "!";  // the handler may change the bytes written
    Sender->ClearQueue(255);
  };
  Send(Item("CSYSI", "ASYSI"));
  Send(Item("CSYSI", "ASYSI"));
  loop.advance(500);
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(comms->QueueCount(), 0u);
  EXPECT_EQ(comms->State(), 0);
  ASSERT_EQ(link().Writes.size(), 1u);
  EXPECT_EQ(link().Writes[0].Bytes.back(), '!');
}

TEST_F(SendTest, ItemsOfferedDuringDeactivationAreRefused) {
  comms->SetActive(true);
  auto* i = Item("CSYSI", "ASYSI");
  i->OnResult = [&](TKRVComms*, const std::string& S, uint16_t Code, int32_t, int32_t) {
    results.push_back({S, Code, 0, 0});
    if (results.size() < 10) Send(Item("CSYSI", "ASYSI"));  // would loop without the guard
  };
  Send(i);
  comms->SetActive(false);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].Code, 6);
  EXPECT_EQ(results[1].Code, 2);
}

TEST_F(SendTest, SlowWriteModeSendsPacedChunks) {
  comms->SlowWriteMode = true;
  comms->Log_Raw_Data = true;
  comms->SetActive(true);
  // A payload whose KRV frame is 150 bytes: 11 + n with n = L + ceil(L / 7) = 139 for L = 121.
  Send(Item(std::string(121, 'D'), "", {psoDontWait}));
  loop.advance(200);
  const auto& w = link().Writes;
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0].Bytes.size(), 64u);
  EXPECT_EQ(w[1].Bytes.size(), 64u);
  EXPECT_EQ(w[2].Bytes.size(), 22u);
  EXPECT_EQ(w[1].AtMs - w[0].AtMs, 25);
  EXPECT_EQ(w[2].AtMs - w[1].AtMs, 25);
  EXPECT_EQ(CountLogged("            KI_SLOW: "), 2);
  EXPECT_EQ(CountLogged("            KI_EOB:  "), 1);
  EXPECT_EQ(comms->OutgoingDataCount, 150u);
  ASSERT_EQ(peer.Received.size(), 1u);
  EXPECT_EQ(peer.Received[0].Result, 0);
}

TEST_F(SendTest, WriteFailureEndsTheItemWith4) {
  comms->SetActive(true);
  link().Settings.FailWrites = true;
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 4);
  EXPECT_TRUE(Logged("KHIBA:write failed"));
  EXPECT_TRUE(comms->LinkUp());
}

class TcpTest : public CommsTest {
 protected:
  TcpTest() : CommsTest(MemoryLinkSettings{.ConnectDelayMs = 3}) {}
};

TEST_F(TcpTest, ConnectsAsynchronouslyAndSendsTheKeepAliveByteWhenIdle) {
  comms->Host = "10.0.0.7";
  comms->Port = 1001;
  comms->SetActive(true);
  EXPECT_TRUE(comms->Connecting());
  EXPECT_FALSE(comms->IsConnected());
  Send(Item("CSYSI", "ASYSI"));  // queued until the link is up
  loop.advance(3);
  EXPECT_TRUE(comms->IsConnected());
  EXPECT_TRUE(Logged("Connected (10.0.0.7:1001)"));
  ASSERT_TRUE(WaitResults(1));
  const std::size_t writes = link().Writes.size();
  // Reconnect steps come every 30..90 s: by 61 s of idle time plus one step, one "x" went out.
  loop.advance(61000 + 90000);
  ASSERT_EQ(link().Writes.size(), writes + 1);
  EXPECT_EQ(link().Writes.back().Bytes, "x");

  comms->SetActive(false);
  comms->ConnectionCheckRate = 0;
  comms->SetActive(true);
  loop.advance(5);
  const std::size_t after = link().Writes.size();
  loop.advance(300000);
  EXPECT_EQ(link().Writes.size(), after);
}

TEST_F(SendTest, SerialLinksNeverGetAKeepAlive) {
  comms->QuickReconnect = true;
  comms->SetActive(true);
  loop.advance(200000);
  EXPECT_TRUE(link().Writes.empty());
}

TEST_F(TcpTest, LostLinkIsReopenedQuicklyAndQueuedItemsGoOut) {
  comms->Host = "10.0.0.7";
  comms->QuickReconnect = true;
  comms->SetActive(true);
  loop.advance(5);
  link().Drop();
  EXPECT_TRUE(Logged("Disconnected (10.0.0.7:1)"));
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Reply(f, "ASYSI"); };
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);
  EXPECT_EQ(CountLogged("Connected (10.0.0.7:1)"), 2);
}

TEST_F(TcpTest, LinkErrorIsLoggedOnceAndTheLinkReopens) {
  int errors = 0;
  comms->OnTCPError = [&](TKRVComms*) { ++errors; };
  comms->Host = "10.0.0.7";
  comms->Port = 1001;
  comms->QuickReconnect = true;
  comms->SetActive(true);
  loop.advance(5);
  ASSERT_TRUE(comms->IsConnected());
  link().RaiseError(10054);
  link().RaiseError(10054);
  EXPECT_FALSE(comms->IsConnected());
  EXPECT_EQ(errors, 2);
  EXPECT_EQ(CountLogged("Comm. error: 10054 (10.0.0.7:1001)"), 1);
  loop.advance(10);
  EXPECT_TRUE(comms->IsConnected());
  EXPECT_EQ(CountLogged("Connected (10.0.0.7:1001)"), 2);
}

/// A handed-in server connection that records what the engine writes.
struct FakeConnection : ServerConnection {
  std::string remoteAddress() const override { return "127.0.0.1"; }
  int remotePort() const override { return 50123; }
  bool isConnected() const override { return connected; }
  void write(std::string_view Bytes) override { written.emplace_back(Bytes); }
  std::size_t bytesToWrite() const override { return 0; }
  void close() override { connected = false; }
  bool connected = true;
  std::vector<std::string> written;
};

struct FakeRegistry : TKRVServerRegistry {
  void RegisterComms(TKRVComms*) override { ++registered; }
  void UnregisterComms(TKRVComms*) override { ++unregistered; }
  int registered = 0, unregistered = 0;
};

TEST_F(SendTest, ServerModeTalksOverTheHandedInSocket) {
  FakeRegistry server;
  FakeConnection socket;
  comms->WsServerMode = true;
  comms->KRVTCPServer = &server;
  comms->SetActive(true);
  EXPECT_EQ(server.registered, 1);
  EXPECT_TRUE(link().Opens.empty());  // the engine opens nothing itself
  Send(Item("CSYSI", "ASYSI"));
  comms->TCPClientConnected(&server, &socket);
  EXPECT_TRUE(Logged("Connected (127.0.0.1:50123)"));
  loop.advance(10);
  ASSERT_EQ(socket.written.size(), 1u);
  PeerFrame f;
  {
    TKRVProtocol dec;
    std::string buf = socket.written[0];
    f.Payload = dec.Decode(dec.ExtractFrame(buf));
    f.Seq = dec.CsomagSorszam;
  }
  EXPECT_EQ(f.Payload, "CSYSI");
  comms->TCPDataArrived(&server, peer.Frame("ASYSI", TInfo::nem_kerek_nyugtat, f.Seq));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);
  comms->TCPClientDisconnected(&server);
  EXPECT_FALSE(comms->IsConnected());
  EXPECT_EQ(comms->ServerSocket(), nullptr);
  comms->SetActive(false);
  EXPECT_EQ(server.unregistered, 1);
}

TEST(ErrorCodeTextTest, KnownAndUnknownCodes) {
  EXPECT_EQ(ErrorCodeText(0), "OK");
  EXPECT_EQ(ErrorCodeText(12), "Ismeretlen hiba.");
  EXPECT_EQ(ErrorCodeText(55), "Csomaghiba - rossz cím, vagy nincs érvényes gyári szám beállítva a készüléken.");
  EXPECT_EQ(ErrorCodeText(99), "Belső hiba.");
}

// Callers, exit codes and log lines rely on the numbers; the names must not move them.
TEST(ErrorCodeTextTest, NamesKeepTheirNumbers) {
  const std::pair<uint16_t, uint16_t> table[] = {
      {ecOk, 0},           {ecWrongAddress, 1},   {ecNotActive, 2},         {ecNoLink, 3},
      {ecOverflow, 4},     {ecNoAnswer, 5},       {ecLinkClosed, 6},        {ecWrongAnswer, 7},
      {ecNotPaused, 8},    {ecEncodeFailed, 9},   {ecPortInUse, 10},        {ecPortMissing, 11},
      {ecFrameChecksum, 52}, {ecFrameTooBig, 53}, {ecFrameNoDelimiter, 54}, {ecFrameBadAddress, 55},
      {ecFrameLength, 56}, {ecFrameTooShort, 57}, {ecInternal, 99},
  };
  for (const auto& [name, number] : table) {
    EXPECT_EQ(name, number);
    EXPECT_NE(ErrorCodeText(name), "Ismeretlen hiba.") << number;
  }
  EXPECT_EQ(static_cast<int>(ecFrameErrorBase) + static_cast<int>(drBadAddress), ecFrameBadAddress);
  EXPECT_EQ(esIdle, 0);
  EXPECT_EQ(esPlainWait, 1);
  EXPECT_EQ(esAnswerWait, 2);
  EXPECT_EQ(esPollWait, 3);
}

}  // namespace
}  // namespace vornik::testing
