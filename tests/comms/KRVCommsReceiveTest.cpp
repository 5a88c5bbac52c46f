// Classification of received frames against the exchange in flight, and delivery of packets that
// belong to no exchange.
#include <clocale>
#include <string>

#include "comms/CommsFixture.h"

namespace vornik::testing {
namespace {

class ReceiveTest : public CommsTest {
 protected:
  void SetUp() override {
    CommsTest::SetUp();
    comms->OnRead = [this](const std::string& S, uint16_t Code, int32_t) { delivered.push_back({S, Code, 0, loop.nowMs()}); };
    comms->SetActive(true);
  }
  /// Sends one item and returns the first request frame the peer saw.
  PeerFrame SendAndCatch(TKuldendo* I) {
    Send(I);
    loop.runUntil([&] { return !peer.Received.empty(); }, 100);
    return peer.Received.at(0);
  }
  std::vector<Result> delivered;
};

TEST_F(ReceiveTest, AnswerEndsTheItemWithTheWholePayload) {
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Reply(f, std::string("ASYSI\x01\x02rest", 12)); };
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);
  EXPECT_EQ(results[0].S, std::string("ASYSI\x01\x02rest", 12));
  EXPECT_TRUE(Logged("VALASZ - OK"));
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_TRUE(delivered.empty());
}

// A device that answers and closes the link at once (it restarts into its new firmware): the
// answer is in RxBuffer, the processing timer not yet run, when the loss is reported. The answer
// still ends its exchange; a partial frame behind it is dropped with the buffer.
TEST_F(ReceiveTest, AnAnswerJustBeforeTheLinkIsLostEndsItsExchange) {
  enum class TLoss { HangUp, Error };
  struct {
    const char* Name;
    const char* Ans;
    TLoss Loss;
    bool PartialBehind;
    const char* Expected;
  } cases[] = {
      {"answer, hang-up", "ASYSI", TLoss::HangUp, false, "ASYSIok"},
      {"answer, link error", "ASYSI", TLoss::Error, false, "ASYSIok"},
      {"answer and half a frame, hang-up", "ASYSI", TLoss::HangUp, true, "ASYSIok"},
      {"acknowledgement, hang-up", "", TLoss::HangUp, false, "CSYAC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    results.clear();
    peer.Received.clear();
    log.Lines.clear();
    peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
      if (f.Info == TInfo::kerek_nyugtat)
        p.Ack(f);
      else
        p.Reply(f, "ASYSIok");
      if (c.PartialBehind) p.Send(p.Frame("ASYSIlater", TInfo::nem_kerek_nyugtat, f.Seq).substr(0, 6));
      if (c.Loss == TLoss::HangUp)
        link().HangUp();
      else
        loop.schedule(loop.nowMs(), [this] { link().RaiseError(10054); });
    };
    Send(Item("CSYSI", c.Ans));
    ASSERT_TRUE(WaitResults(1, 50));  // well before any answer time runs out
    EXPECT_EQ(results[0].Code, ecOk);
    EXPECT_EQ(results[0].S, c.Expected);
    EXPECT_TRUE(comms->RxBuffer().empty());
    EXPECT_EQ(CountLogged(c.Loss == TLoss::HangUp ? "Disconnected (" : "Comm. error: 10054"), 1);
    // The serial link is opened again by the reconnect step, for the next case.
    ASSERT_TRUE(loop.runUntil([&] { return comms->LinkUp(); }, 100000));
  }
}

// A KRV-only device addressed by its 32-bit address: the KRV frame carries the low byte, and the
// device answers from it. The answer belongs to the exchange; a KRVW answer from the low byte
// to a KRVW request does not.
TEST_F(ReceiveTest, AKRVRequestExpectsItsAnswerFromTheAddressItCarried) {
  struct {
    const char* Name;
    TKRVSendOption Format;
    bool AnswerKrvw;
    uint16_t Code;
  } cases[] = {
      {"KRV request, KRV answer from the low byte", psoEncodeKRV, false, ecOk},
      {"KRVW request, KRVW answer from the low byte", psoEncodeKRVW, true, ecFrameBadAddress},
  };
  comms->SetKRVMode(TKRVMode::PMDecodeBothEncodeKRVW);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    results.clear();
    peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
      p.Send(p.FrameFrom(178556 & 0xFF, "ASYSI", TInfo::nem_kerek_nyugtat, f.Seq, c.AnswerKrvw));
    };
    auto* item = Item("CSYSI", "ASYSI", TKRVSendOptions{psoDontAck, c.Format});
    item->Cimzett = 178556;
    Send(item);
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(results[0].Code, c.Code);
  }
}

TEST_F(ReceiveTest, WrongAnswerEndsWith7UnlessForcedToWait) {
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Reply(f, "AFLUX"); };
  Send(Item("CFLUD", "AFLUD"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 7);
  EXPECT_TRUE(Logged("NEM JO VALASZ"));

  comms->Max_tries_cmd = 1;
  Send(Item("CFLUD", "AFLUD", {psoForceWait}, 300));
  ASSERT_TRUE(WaitResults(2));
  EXPECT_EQ(results[1].Code, 5);  // the right answer never came
  EXPECT_TRUE(Logged("NEM JO VALASZ,VARUNK"));
  ASSERT_EQ(delivered.size(), 1u);  // the wrong answer goes to OnRead instead
  EXPECT_EQ(delivered[0].S, "AFLUX");
}

TEST_F(ReceiveTest, AnswerWithThePreviousIdCountsOnlyLooselyFromTheSecondTry) {
  for (bool loose : {false, true}) {
    results.clear();
    peer.Received.clear();
    comms->LoosePckIDCheck = loose;
    // Silent to the first try; answers the second with the first try's id.
    peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) {
      if (p.Requests().size() == 2) p.Send(p.Frame("AFLUL\x00", TInfo::nem_kerek_nyugtat, f.Seq - 1));
    };
    auto* item = Item("CFLUL", "AFLUL", {psoNewIDOnRepeat});
    Send(item);
    ASSERT_TRUE(WaitResults(1));
    if (loose) {
      EXPECT_EQ(results[0].Code, 0);
      EXPECT_EQ(Requests().size(), 2u);
    } else {
      EXPECT_EQ(results[0].Code, 5);  // stray answer ("KOSZA CS,VARUNK") only restarted the wait
      EXPECT_TRUE(Logged("KOSZA CS,VARUNK"));
    }
  }
}

TEST_F(ReceiveTest, LateAnswerOfThePreviousItemDoesNotEndARepeatUnderTheSameId) {
  comms->LoosePckIDCheck = true;
  // The first item's answer comes twice, the copy late; the second item is never heard, so its
  // repeat (same id: no psoNewIDOnRepeat) is in flight when the copy arrives with id - 1.
  peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
    if (p.Requests().size() != 1) return;
    p.Reply(f, std::string("AFLPW\x00", 6));
    loop.schedule(loop.nowMs() + 150, [&p, f] { p.Send(p.Frame(std::string("AFLPW\x00", 6), TInfo::nem_kerek_nyugtat, f.Seq)); });
  };
  Send(Item("CFLPW1", "AFLPW"));
  Send(Item("CFLPW2", "AFLPW"));
  ASSERT_TRUE(WaitResults(2));
  EXPECT_EQ(results[0].Code, 0);
  EXPECT_EQ(results[1].Code, 5);  // not the first page's answer
  EXPECT_TRUE(Logged("KOSZA CS,VARUNK"));
}

TEST_F(ReceiveTest, NackRepeatsAtOnceWithoutCountingATry) {
  comms->IDOfRepeatedPackets = TIDOfRepeatedPackets::irpAlwaysIncrement;
  int nacks = 0;
  peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
    if (nacks < 3) {
      ++nacks;
      p.Nack(f);
    } else {
      p.Reply(f, "ASYSI");
    }
  };
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);  // 3 NACKs did not use up the 3 tries
  const auto req = Requests();
  ASSERT_EQ(req.size(), 4u);
  for (std::size_t i = 1; i < req.size(); ++i) {
    EXPECT_EQ(req[i].Seq, req[i - 1].Seq + 1);
    EXPECT_EQ(req[i].Info, TInfo::kerek_nyugtat);  // a repeat asks for an acknowledgement
    EXPECT_LE(req[i].AtMs - req[i - 1].AtMs, 2);
  }
  EXPECT_EQ(CountLogged("NACK - UJRAKULD"), 3);
}

TEST_F(ReceiveTest, StrayAckRestartsTheWait) {
  peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
    loop.schedule(loop.nowMs() + 100, [&p, f] { p.Send(p.Frame("", TInfo::pozitiv_nyugta, f.Seq + 7)); });
  };
  comms->Max_tries_cmd = 1;
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 5);
  // The stray acknowledgement at 100 ms, handled as it arrives, started the 110 ms again.
  EXPECT_EQ(results[0].AtMs - Requests()[0].AtMs, 210);
  EXPECT_TRUE(Logged("KOSZA ACK,VARUNK"));
}

TEST_F(ReceiveTest, AckEndsAnItemThatExpectsNoAnswer) {
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Ack(f); };
  for (bool report : {true, false}) {
    comms->Nyugtat_is_jelezze = report;
    const PeerFrame f = SendAndCatch(Item("CBLUD"));
    EXPECT_EQ(f.Info, TInfo::kerek_nyugtat);
    ASSERT_TRUE(WaitResults(report ? 1 : 2));
    EXPECT_EQ(results.back().Code, 0);
    EXPECT_EQ(results.back().S, report ? "CSYAC" : "");
    peer.Received.clear();
  }
  EXPECT_EQ(CountLogged("NYUGTA - OK"), 2);
}

TEST_F(ReceiveTest, EventsAreDeliveredInSingleDeviceModeOnly) {
  // Nothing in flight: case 16.
  peer.Send(peer.Frame("EALRM1", TInfo::nem_kerek_nyugtat, 9));
  loop.advance(5);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].S, "EALRM1");
  EXPECT_TRUE(Logged("NEM VART CS"));

  // While waiting: case 3, delivered, and the wait goes on.
  peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
    p.Send(p.Frame("EALRM2", TInfo::nem_kerek_nyugtat, f.Seq + 20));
    p.Reply(f, "ASYSI");
  };
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[1].S, "EALRM2");
  EXPECT_TRUE(Logged("ESEMENY,VARUNK"));

  // KRVAddress 0 at activation: nothing is delivered.
  comms->SetActive(false);
  comms->KRVAddress = 0;
  comms->SetActive(true);
  peer.Send(peer.Frame("EALRM3", TInfo::nem_kerek_nyugtat, 9));
  loop.advance(5);
  EXPECT_EQ(delivered.size(), 2u);
}

TEST_F(ReceiveTest, UnexpectedFrameAskingForAckIsAcknowledgedInItsOwnFormat) {
  comms->SetKRVMode(TKRVMode::PMDecodeBothEncodeKRV);
  // A KRVW sender has a long address.
  peer.Send(peer.FrameFrom(70000, "EHELLO", TInfo::kerek_nyugtat, 77, /*Krvw=*/true));
  loop.advance(5);
  ASSERT_EQ(peer.Received.size(), 1u);
  const PeerFrame& ack = peer.Received[0];
  EXPECT_EQ(ack.Info, TInfo::pozitiv_nyugta);
  EXPECT_EQ(ack.Seq, 77);
  EXPECT_TRUE(ack.Krvw);
  EXPECT_EQ(ack.Dst, 70000u);
  EXPECT_TRUE(Logged("NYUGTAKULDES"));

  EXPECT_TRUE(delivered.empty());  // 70000 is not the engine's device

  // The engine's own device: acknowledged and delivered.
  peer.Send(peer.Frame("EHI", TInfo::kerek_nyugtat, 12));
  loop.advance(5);
  ASSERT_EQ(peer.Received.size(), 2u);
  EXPECT_EQ(peer.Received[1].Seq, 12);
  EXPECT_FALSE(peer.Received[1].Krvw);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].S, "EHI");

  comms->Nyugtazas = false;
  peer.Send(peer.Frame("EHELLO", TInfo::kerek_nyugtat, 78));
  loop.advance(5);
  EXPECT_EQ(peer.Received.size(), 2u);
  EXPECT_EQ(delivered.size(), 2u);
}

TEST_F(ReceiveTest, BadChecksumWhileWaitingChangesNothing) {
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) {
    std::string bad = p.Frame("ASYSI", TInfo::nem_kerek_nyugtat, f.Seq);
    bad[bad.size() - 2] = static_cast<char>(bad[bad.size() - 2] ^ 0x01);
    p.Send(bad);
  };
  comms->Max_tries_cmd = 1;
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 5);
  EXPECT_EQ(results[0].AtMs - Requests()[0].AtMs, 110);  // the wait was not restarted
  // "HIBAS:1 ROSSZ CHSUM,VARUNK", cut to the tag column's 20 characters.
  EXPECT_TRUE(Logged("HIBAS:1 ROSSZ CHSUM, "));
}

TEST_F(ReceiveTest, KRVWFrameFromAShortAddressEndsTheItemWith55) {
  comms->SetKRVMode(TKRVMode::PMKRVWOnly);
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) {
    p.Send(p.FrameFrom(3, "ASYSI", TInfo::nem_kerek_nyugtat, f.Seq, /*Krvw=*/true));
  };
  const PeerFrame f = SendAndCatch(Item("CSYSI", "ASYSI"));
  EXPECT_TRUE(f.Krvw);
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 55);
  EXPECT_TRUE(Logged("ROSSZ CIM"));
  EXPECT_EQ(comms->State(), 0);
}

TEST_F(ReceiveTest, FramesForOthersAndFromOtherDevicesAreKeptApart) {
  comms->Log_All_Packages = true;
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) {
    p.Send(p.Frame("ASYSI", TInfo::nem_kerek_nyugtat, f.Seq, false, /*To=*/9));  // not for the PC
    p.Send(p.FrameFrom(6, "ASYSI", TInfo::nem_kerek_nyugtat, f.Seq));              // another device
    p.Reply(f, "ASYSI");
  };
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_EQ(results[0].Code, 0);
  EXPECT_TRUE(Logged("NEM PCNEK,VARUNK"));
  EXPECT_TRUE(Logged("NEM CIMZETT,VARUNK"));
  EXPECT_TRUE(delivered.empty());  // device 6 is not the engine's device
}

TEST_F(ReceiveTest, AutoAnswerRepliesInsteadOfRaisingTheEvent) {
  comms->AutoAnswer = true;
  peer.Send(peer.Frame("c12", TInfo::nem_kerek_nyugtat, 33));
  loop.advance(5);
  ASSERT_EQ(peer.Received.size(), 1u);
  EXPECT_EQ(peer.Received[0].Payload, "a");
  EXPECT_EQ(peer.Received[0].Seq, 33);
  EXPECT_TRUE(delivered.empty());
}

TEST_F(ReceiveTest, OnReadExTakesPrecedenceAndFinishedItemsWithoutCallbacksReportThroughOnRead) {
  peer.OnFrame = [](ScriptedPeer& p, const PeerFrame& f) { p.Reply(f, "ASYSI"); };
  auto* item = new TKuldendo("CSYSI", 5);
  item->Ans = "ASYSI";
  Send(item);
  loop.runUntil([&] { return !delivered.empty(); }, 1000);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].S, "ASYSI");

  std::vector<std::string> ex;
  comms->OnReadEx = [&](TKRVComms*, const std::string& S, uint16_t) { ex.push_back(S); };
  peer.Send(peer.Frame("EX", TInfo::nem_kerek_nyugtat, 1));
  loop.advance(5);
  EXPECT_EQ(ex, std::vector<std::string>{"EX"});
  EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(ReceiveTest, ReceiveBufferKeepsTheNewest4096Bytes) {
  link().PeerSendNow(std::string(3000, 'a'));
  link().PeerSendNow(std::string(2000, 'b'));
  EXPECT_EQ(comms->RxBuffer().size(), 4096u);
  EXPECT_EQ(comms->RxBuffer().back(), 'b');
  EXPECT_EQ(comms->RxBuffer().front(), 'a');
  EXPECT_EQ(CountLogged("Overflow, puffer was truncated."), 1);
  link().PeerSendNow(std::string(10, 'c'));
  EXPECT_EQ(CountLogged("Overflow, puffer was truncated."), 2);
}

TEST_F(ReceiveTest, FramesSplitAcrossChunksAndBackToBackFramesAreAllProcessed) {
  const std::string a = peer.Frame("E1", TInfo::nem_kerek_nyugtat, 1);
  const std::string b = peer.Frame("E2", TInfo::nem_kerek_nyugtat, 2);
  const std::string all = "\x11\x22" + a + b;
  link().PeerSendNow(all.substr(0, 5));
  loop.advance(3);
  EXPECT_TRUE(delivered.empty());
  link().PeerSendNow(all.substr(5));
  loop.advance(3);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[1].S, "E2");
  EXPECT_TRUE(comms->RxBuffer().empty());
}

TEST_F(ReceiveTest, TextLinesBecomeAnswerPackets) {
  comms->SetActive(false);
  comms->HXL_to_KRV = true;
  comms->Can_address_everyone = true;
  comms->SetActive(true);
  // List form: the source is the two digits after "*"; each value is scaled by its decimals and
  // then rounded as hundredths like the channel values. The decimal count carries over to the
  // next number ("3" counts one more decimal).
  link().PeerSendNow("junk*07 X=12.5=3\r\n");
  // Channel form: one packet per channel, with the channel number as source.
  link().PeerSendNow("*T0=+001.25C T1=--C T2=-00.5C\n");
  loop.advance(3);
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered[0].S, std::string("AITGD\xD4\x30\x30\x75", 9));  // 12500, 30000
  EXPECT_EQ(delivered[1].S, std::string("AITGD\x7D\x00", 7));          // T0 = 1.25
  EXPECT_EQ(delivered[2].S, std::string("AITGD\xCE\xFF", 7));          // T2 = -0.5
}

TEST_F(ReceiveTest, TextLineValuesIgnoreTheProcessLocale) {
  // The program runs with the C library's locale taken from the environment (Qt sets it); with a
  // decimal comma there, "12.5" must still be twelve and a half.
  const std::string before = std::setlocale(LC_ALL, nullptr);
  const char* comma = nullptr;
  for (const char* name : {"hu_HU.UTF-8", "hu_HU.utf8", "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      comma = name;
      break;
    }
  }
  if (comma == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  comms->SetActive(false);
  comms->HXL_to_KRV = true;
  comms->Can_address_everyone = true;
  comms->SetActive(true);
  link().PeerSendNow("junk*07 X=12.5=3\r\n");
  link().PeerSendNow("*T0=+001.25C T1=--C T2=-00.5C\n");
  loop.advance(3);
  std::setlocale(LC_ALL, before.c_str());
  ASSERT_EQ(delivered.size(), 3u) << comma;
  EXPECT_EQ(delivered[0].S, std::string("AITGD\xD4\x30\x30\x75", 9));
  EXPECT_EQ(delivered[1].S, std::string("AITGD\x7D\x00", 7));
  EXPECT_EQ(delivered[2].S, std::string("AITGD\xCE\xFF", 7));
}

}  // namespace
}  // namespace vornik::testing
