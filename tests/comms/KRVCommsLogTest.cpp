// Packet log lines, checked character by character, and the plain-message de-duplication.
#include <fstream>
#include <iterator>

#include "comms/CommsFixture.h"

namespace vornik::testing {
namespace {

class LogTest : public CommsTest {
 protected:
  std::string Sp(std::size_t N) { return std::string(N, ' '); }
};

TEST_F(LogTest, QueuedItemLineHasItsColumns) {
  comms->SetActive(true);
  auto* item = Item("CSYSI", "ASYSI", {psoKeepPckID});
  item->CsomagSorszam = 17;
  Send(item);
  loop.advance(10);
  // tag column (20, right-aligned), header "id. src > dst time" (32), payload (10), decimal dump.
  const std::string expected = Sp(14) + "KIKULD" + " " + "017." + Sp(10) + "> " + Sp(7) + "5" + Sp(8) + " " +
                               "CSYSI     " + " " + "067 083 089 083 073 ";
  ASSERT_GE(log.Lines.size(), 3u);
  EXPECT_EQ(log.Lines[2], expected);
  EXPECT_EQ(log.Lines[2].size(), 20u + 1 + 32 + 1 + 10 + 1 + 20);
}

TEST_F(LogTest, ReceivedLineShowsTheSourceAndTheAnswerTime) {
  peer.OnFrame = [&](ScriptedPeer& p, const PeerFrame& f) {
    loop.schedule(loop.nowMs() + 41, [&p, f] { p.Reply(f, "ASYSI\r"); });
  };
  comms->SetActive(true);
  auto* item = Item("CSYSI", "ASYSI", {psoKeepPckID});
  item->CsomagSorszam = 3;
  Send(item);
  ASSERT_TRUE(WaitResults(1));
  const std::string expected = Sp(9) + "VALASZ - OK" + " " + "003." + " " + Sp(7) + "5" + " > " + Sp(8) + " " +
                               "T:00041" + " " + "ASYSI#13  " + " " + "065 083 089 083 073 013 ";
  EXPECT_EQ(log.Lines.back(), expected);
}

TEST_F(LogTest, FormatRulesForKindsAndColumns) {
  // Kinds 8, 9 and 10 never show a source; kind 10 shows no destination either.
  EXPECT_EQ(comms->FormatPacketLine("X", 9, "", TKRVComms::kNone, 5, 6, 1),
            Sp(19) + "X 001." + Sp(10) + ">        6" + Sp(8) + " " + Sp(10) + " ");
  EXPECT_EQ(comms->FormatPacketLine("X", 10, "", TKRVComms::kNone, 5, 6, TKRVComms::kNone),
            Sp(19) + "X " + Sp(3) + "." + Sp(10) + ">" + Sp(17) + " " + Sp(10) + " ");
  // Tags are cut to 20 characters, payloads to 10; the first three characters of the
  // description prefix the line.
  comms->Description = "Port A";
  const std::string line = comms->FormatPacketLine("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2, "0123456789AB", TKRVComms::kNone,
                                                   7, 250, 250);
  EXPECT_EQ(line.substr(0, 25), "Por ABCDEFGHIJKLMNOPQRST ");
  EXPECT_EQ(line.substr(25, 32), "250.        7 > " + Sp(8) + " " + Sp(7));
  EXPECT_EQ(line.substr(58, 11), "0123456789 ");
  comms->Description = "AB";
  EXPECT_EQ(comms->FormatPacketLine("X", 2, "", TKRVComms::kNone, 7, 250, 1).substr(0, 4), " AB ");
}

TEST_F(LogTest, RawLinesKeepTheBytesOrShowTheirDump) {
  comms->Log_Raw_Data = true;
  comms->SetActive(true);
  const std::string frame = peer.Frame("EX", TInfo::nem_kerek_nyugtat, 1);
  link().PeerSendNow(frame);
  const std::string head = Sp(17) + "BE: " + Sp(32) + " ";
  ASSERT_FALSE(log.Lines.empty());
  const std::string& raw = log.Lines.back();
  EXPECT_EQ(raw.substr(0, head.size()), head);
  EXPECT_EQ(raw.substr(raw.size() - frame.size() - 2), "\r\n" + frame);
  // The file holds the bytes unchanged (the writer's conversion is off for raw lines only).
  std::ifstream in(logPath, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(file.find("\r\n" + frame), std::string::npos);
  EXPECT_TRUE(naplo.ConvertToPrintable());

  comms->Log_Printable_Raw = true;
  link().PeerSendNow(frame);
  const std::string& dump = log.Lines.back();
  const std::string tail = dump.substr(head.size() + 11);
  EXPECT_EQ(tail.substr(0, 12), "253 250 005 ");  // start byte, to the PC, from device 5
  EXPECT_EQ(tail.substr(tail.size() - 4), "254 ");
}

TEST_F(LogTest, RefusalLineCarriesTheDestination) {
  Send(Item("CSYSI"));
  ASSERT_EQ(log.Lines.size(), 1u);
  EXPECT_EQ(log.Lines[0], Sp(11) + "NEM AKTIV    .          >        5" + Sp(8) + " CSYSI      067 083 089 083 073 ");
}

TEST_F(LogTest, OpenFailuresAreLoggedOnceUntilAnotherKindComesBetween) {
  comms->LogMsg("Opening port failed: x (:1)", 7);
  comms->LogMsg("Opening port failed: x (:1)", 7);
  comms->LogMsg("Opening port failed: x (:1)", 7);
  comms->LogMsg("Connected (:1)", 4);
  comms->LogMsg("Opening port failed: x (:1)", 7);
  comms->LogMsg("Comm. error: 5 (:1)", 6);
  comms->LogMsg("Comm. error: 5 (:1)", 6);
  comms->LogMsg("KRVPort active.", 0);
  comms->LogMsg("KRVPort active.", 0);  // other kinds are never dropped
  EXPECT_EQ(log.Lines, (std::vector<std::string>{"Opening port failed: x (:1)", "Connected (:1)",
                                                 "Opening port failed: x (:1)", "Comm. error: 5 (:1)",
                                                 "KRVPort active.", "KRVPort active."}));
}

TEST_F(LogTest, DebugModeWritesTheHandlersEntryAndExit) {
  comms->DebugMode = true;
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI"));
  loop.advance(6);
  EXPECT_TRUE(Logged("TKRVComms.OnTimerSendPackages Belépés"));
  EXPECT_TRUE(Logged("TKRVComms.OnTimerSendPackages Kilépés"));
  loop.advance(3);
  EXPECT_TRUE(Logged("TKRVComms.OnTimerSendPackages Válaszra várunk: kilépés"));
  link().PeerSendNow("\x01");
  loop.advance(2);
  EXPECT_TRUE(Logged("TKRVComms.OnPckProcessing Belépés"));
  loop.advance(200);
  EXPECT_TRUE(Logged("TKRVComms.Waiting_over Kilépés"));
  comms->DebugMode = false;
  const std::size_t n = log.Lines.size();
  loop.advance(500);
  for (std::size_t i = n; i < log.Lines.size(); ++i) EXPECT_EQ(log.Lines[i].find("TKRVComms."), std::string::npos);
}

TEST_F(LogTest, NothingIsWrittenWithoutALogComponent) {
  comms->SetNaploKomponens(nullptr);
  comms->SetActive(true);
  Send(Item("CSYSI", "ASYSI"));
  ASSERT_TRUE(WaitResults(1));
  EXPECT_TRUE(log.Lines.empty());
}

}  // namespace
}  // namespace vornik::testing
