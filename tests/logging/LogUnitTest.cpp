#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "logging/LogTestHelpers.h"
#include "logging/logUnit.h"
#include "util/FileReplace.h"

using namespace vornik;
using namespace vornik::test;

namespace {

TDateTime At(int Y, int Mo, int D, int H, int Mi, int S, int Ms) {
  TDateTime v = 0;
  EXPECT_TRUE(TryEncodeDateTime(Y, Mo, D, H, Mi, S, Ms, v));
  return v;
}

/// A writer on a fake clock, logging to a file in a temporary folder.
struct WriterRig {
  WriterRig() : naplo(clock) {
    clock.wall = At(2026, 12, 8, 10, 25, 48, 123);
    naplo.SetLogFile(path);
    naplo.SetLogging(true);
  }
  std::string Log() const { return ReadFile(path); }

  LogTempDir dir;
  std::string path = dir.Path("Morvel.log");
  FakeClock clock;
  TNaplo naplo;
};

/// The stamps of the lines of a log, as their first 21 characters.
std::vector<std::string> Stamps(const std::string& Log) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < Log.size()) {
    out.push_back(Log.substr(pos, 21));
    const size_t end = Log.find("\r\n", pos);
    if (end == std::string::npos) break;
    pos = end + 2;
  }
  return out;
}

}  // namespace

TEST(MakePrintable, Table) {
  struct Case {
    std::string in;
    bool codes;
    std::string out;
  };
  const Case cases[] = {
      {"A\rB", true, "A#13B"},
      {"A\rB", false, "A.B"},
      {std::string("\0\x1F ~", 4), true, "#0#31 ~"},
      {std::string("\0\x1F ~", 4), false, ".. ~"},
      {"\x7F\x80\xC3\xA1\xFF", true, "\x7F\x80\xC3\xA1\xFF"},  // high bytes stay
      {"\r\n", true, "#13#10"},
      {"", true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(MakePrintable(c.in, c.codes), c.out);
}

TEST(DecimalDump, Table) {
  EXPECT_EQ(DecimalDump("AB"), "065 066 ");
  EXPECT_EQ(DecimalDump(""), "");
  EXPECT_EQ(DecimalDump(std::string("\0\x09\xFF\x80", 4)), "000 009 255 128 ");
}

TEST(LogLine, StampedLineFormat) {
  EXPECT_EQ(FormatLogStamp(At(2026, 12, 8, 10, 25, 48, 123)), "26.12.08 10:25:48.123");
  EXPECT_EQ(FormatLogStamp(At(2001, 1, 2, 3, 4, 5, 6)), "01.01.02 03:04:05.006");
  WriterRig r;
  r.naplo.WriteLog("hello", false);
  EXPECT_EQ(r.Log(), "26.12.08 10:25:48.123  hello\r\n");
}

TEST(LogLine, WithoutStampAndConversion) {
  WriterRig r;
  r.naplo.SetLogTime(false);
  r.naplo.WriteLog("A\rB", false);
  r.naplo.SetConvertToPrintable(false);
  r.naplo.WriteLog("A\rB", false);
  r.naplo.SetConvertToPrintable(true);
  r.naplo.WriteLog("", false);
  EXPECT_EQ(r.Log(), "A#13B\r\nA\rB\r\n\r\n");
}

TEST(LogLine, AppendsToAnExistingFileAndAcceptsBackslashPaths) {
  LogTempDir dir;
  std::filesystem::create_directory(dir.Path("sub"));
  WriteFile(dir.Path("sub/x.log"), "old\r\n");
  FakeClock clock;
  TNaplo naplo(clock);
  naplo.SetLogTime(false);
  naplo.SetLogging(true);
  naplo.SetLogFile(dir.Path("sub\\x.log"));
  naplo.WriteLog("new", false);
  EXPECT_EQ(ReadFile(dir.Path("sub/x.log")), "old\r\nnew\r\n");
}

TEST(LogLine, LoggingOffReachesNothing) {
  WriterRig r;
  MemoMock memo;
  MemoryTable table;
  int events = 0;
  r.naplo.SetLogMemo(&memo);
  r.naplo.DBNaplo().SetDataSet(&table);
  r.naplo.SetLogEvertythingToDB(true);
  r.naplo.SetOnWriteLog([&](TNaplo&, std::string&) { ++events; });
  r.naplo.SetLogging(false);
  r.naplo.WriteLog("x", true);
  EXPECT_FALSE(std::filesystem::exists(r.path));
  EXPECT_EQ(events, 0);
  EXPECT_TRUE(memo.lines.empty());
  EXPECT_TRUE(table.records.empty());
}

TEST(LogLine, NoFileNameStillMirrorsTheRawMessage) {
  FakeClock clock;
  TNaplo naplo(clock);
  MemoryTable table;
  int events = 0;
  naplo.DBNaplo().SetDataSet(&table);
  naplo.SetLogEvertythingToDB(true);
  naplo.SetOnWriteLog([&](TNaplo&, std::string&) { ++events; });
  naplo.SetLogging(true);
  naplo.WriteLog("a\r\nb", false);
  EXPECT_FALSE(naplo.IsFileOpen());
  EXPECT_EQ(events, 0);
  ASSERT_EQ(table.records.size(), 1u);
  EXPECT_EQ(std::get<std::string>(table.records[0]["Szoveg"]), "a  b");
}

TEST(LogLine, UnopenablePathIsRetriedLater) {
  LogTempDir dir;
  FakeClock clock;
  TNaplo naplo(clock);
  MemoryTable table;
  naplo.DBNaplo().SetDataSet(&table);
  naplo.SetLogTime(false);
  naplo.SetLogging(true);
  naplo.SetLogFile(dir.Path("missing/x.log"));
  naplo.WriteLog("lost", true);  // no throw, no file, but the dataset still gets it
  EXPECT_FALSE(naplo.IsFileOpen());
  EXPECT_EQ(table.records.size(), 1u);
  std::filesystem::create_directory(dir.Path("missing"));
  naplo.WriteLog("kept", false);
  EXPECT_EQ(ReadFile(dir.Path("missing/x.log")), "kept\r\n");
}

TEST(LogLine, FailedWriteIsSwallowed) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  FakeClock clock;
  TNaplo naplo(clock);
  MemoryTable table;
  naplo.DBNaplo().SetDataSet(&table);
  naplo.SetLogTime(false);
  naplo.SetLogging(true);
  naplo.SetLogFile("/dev/full");
  naplo.WriteLog("one", true);
  naplo.WriteLog("two", true);
  ASSERT_EQ(table.records.size(), 2u);
  EXPECT_EQ(std::get<std::string>(table.records[1]["Szoveg"]), "two  ");
}

TEST(OnWriteLog, SeesTheRawMessageAndMayReplaceIt) {
  WriterRig r;
  MemoMock memo;
  std::vector<std::string> order;
  r.naplo.SetLogMemo(&memo);
  TNaplo* sender = nullptr;
  r.naplo.SetOnWriteLog([&](TNaplo& Sender, std::string& AMsg) {
    sender = &Sender;
    order.push_back("event:" + AMsg);
    AMsg = "[" + AMsg + "]";
  });
  r.naplo.WriteLog("a\tb", false);
  EXPECT_EQ(sender, &r.naplo);
  EXPECT_EQ(order, std::vector<std::string>{"event:a\tb"});
  EXPECT_EQ(r.Log(), "26.12.08 10:25:48.123  [a#9b]\r\n");
  // The memo gets the finished line, once it is in the file.
  EXPECT_EQ(memo.lines, std::vector<std::string>{"26.12.08 10:25:48.123  [a#9b]"});
}

TEST(OnWriteLog, RaisingHandlerSuppressesOnlyItsLine) {
  WriterRig r;
  MemoMock memo;
  r.naplo.SetLogMemo(&memo);
  r.naplo.SetLogTime(false);
  r.naplo.SetOnWriteLog([](TNaplo&, std::string& AMsg) {
    if (AMsg == "bad") throw std::runtime_error("handler");
  });
  r.naplo.WriteLog("one", false);
  r.naplo.WriteLog("bad", false);
  r.naplo.WriteLog("two", false);
  EXPECT_EQ(r.Log(), "one\r\ntwo\r\n");
  EXPECT_EQ(memo.lines, (std::vector<std::string>{"one", "two"}));
}

TEST(OnWriteLog, HandlerThatLogsItself) {
  WriterRig r;
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(12);
  r.naplo.SetOnWriteLog([&](TNaplo& Sender, std::string& AMsg) {
    if (AMsg.rfind("note", 0) != 0) Sender.WriteLog("note " + AMsg, false);
  });
  r.naplo.WriteLog("a", false);
  EXPECT_EQ(r.Log(), "note a\r\na\r\n");
  // The nested line trims the file under the outer call, which then goes on in the new file.
  r.naplo.WriteLog("b", false);
  EXPECT_EQ(r.Log(), "te b\r\nb\r\n");
}

TEST(OnWriteLog, FailingMemoKeepsTheFileLine) {
  WriterRig r;
  MemoMock memo;
  memo.fail = true;
  r.naplo.SetLogMemo(&memo);
  r.naplo.SetLogTime(false);
  r.naplo.WriteLog("one", false);
  EXPECT_EQ(r.Log(), "one\r\n");
}

TEST(TimeStamp, LinesMillisecondsApartWithACoarseWallClock) {
  WriterRig r;
  r.naplo.WriteLog("a", false);
  r.clock.tick += 5;  // the wall clock does not move
  r.naplo.WriteLog("b", false);
  r.clock.tick += 115;  // 120 ms ahead of the wall clock: still trusted
  r.naplo.WriteLog("c", false);
  r.clock.tick += 1;  // 121 ms ahead: the wall clock wins and becomes the base
  r.naplo.WriteLog("d", false);
  r.clock.tick += 7;
  r.naplo.WriteLog("e", false);
  EXPECT_EQ(Stamps(r.Log()), (std::vector<std::string>{"26.12.08 10:25:48.123", "26.12.08 10:25:48.128",
                                                       "26.12.08 10:25:48.243", "26.12.08 10:25:48.123",
                                                       "26.12.08 10:25:48.130"}));
}

TEST(TimeStamp, ResynchronisesAfterTwoSeconds) {
  WriterRig r;
  r.naplo.WriteLog("a", false);
  const uint32_t base = r.naplo.BaseTick();
  r.clock.Advance(2000);
  r.clock.wall += 50.0 / 86400000.0;  // wall 50 ms ahead, within tolerance
  r.naplo.WriteLog("b", false);
  EXPECT_EQ(r.naplo.BaseTick(), base);
  r.clock.Advance(1);
  r.naplo.WriteLog("c", false);  // 2001 ms after the base: the wall clock is read again
  EXPECT_EQ(r.naplo.BaseTick(), base + 2001);
  EXPECT_EQ(Stamps(r.Log()), (std::vector<std::string>{"26.12.08 10:25:48.123", "26.12.08 10:25:50.123",
                                                       "26.12.08 10:25:50.174"}));
}

TEST(TimeStamp, TickCounterWrapAround) {
  WriterRig r;
  r.clock.tick = 0xFFFFFFFFLL - 2;
  r.naplo.WriteLog("a", false);
  r.clock.tick += 10;  // the 32-bit tick wraps; still 10 ms later
  r.naplo.WriteLog("b", false);
  EXPECT_EQ(Stamps(r.Log()), (std::vector<std::string>{"26.12.08 10:25:48.123", "26.12.08 10:25:48.133"}));
}

TEST(TimeStamp, FirstLineAlwaysTakesTheWallClock) {
  WriterRig r;
  r.clock.tick = 0;  // same as the initial base tick
  r.clock.wall = At(1899, 12, 30, 0, 0, 0, 100);
  r.naplo.WriteLog("a", false);
  EXPECT_EQ(r.naplo.BaseTick(), 0u);
  EXPECT_DOUBLE_EQ(r.naplo.BaseTime(), r.clock.wall);
  EXPECT_EQ(Stamps(r.Log())[0], "99.12.30 00:00:00.100");
}

TEST(Trim, KeepsTheNewestHalfByteExact) {
  WriterRig r;
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(1001);  // keeps 500 bytes
  std::string all;
  for (int k = 0; k < 90; ++k) {
    const std::string msg = "line " + std::to_string(k);
    all += msg + "\r\n";
    r.naplo.WriteLog(msg, false);
    if (all.size() > 1001) {
      all = all.substr(all.size() - 500);
      EXPECT_EQ(r.Log(), all) << k;
    }
  }
  EXPECT_EQ(r.Log(), all);
  EXPECT_FALSE(std::filesystem::exists(r.path + ".tmp"));
  EXPECT_TRUE(r.naplo.Logging());
}

TEST(Trim, ShippedLimitCutsBackToFiveMillionBytes) {
  WriterRig r;
  std::string before(9999990, 'x');
  for (size_t k = 0; k < before.size(); k += 997) before[k] = static_cast<char>('a' + k % 26);
  WriteFile(r.path, before);
  r.naplo.SetLogTime(false);
  r.naplo.WriteLog("0123456789abcdefgh", false);  // 20 bytes with CR LF: 10000010 in all
  const std::string expected = (before + "0123456789abcdefgh\r\n").substr(10000010 - 5000000);
  const std::string got = r.Log();
  ASSERT_EQ(got.size(), 5000000u);
  EXPECT_TRUE(got == expected);
  EXPECT_FALSE(std::filesystem::exists(r.path + ".tmp"));
  r.naplo.WriteLog("next", false);
  EXPECT_EQ(r.Log(), expected + "next\r\n");
}

TEST(Trim, TailsOnCopyBlockBoundaries) {
  // 131072 bytes kept is exactly two copy blocks; a third, empty read ends the copy.
  for (int32_t limit : {262144, 262145, 131073}) {
    WriterRig r;
    std::string before(static_cast<size_t>(limit) - 1, '.');
    for (size_t k = 0; k < before.size(); ++k) before[k] = static_cast<char>('A' + k % 53 % 26);
    WriteFile(r.path, before);
    r.naplo.SetLogTime(false);
    r.naplo.SetLogLimit(limit);
    r.naplo.WriteLog("z", false);
    const std::string all = before + "z\r\n";
    EXPECT_TRUE(r.Log() == all.substr(all.size() - static_cast<size_t>(limit / 2))) << limit;
  }
}

TEST(Trim, LeavesNoTemporaryFileBehind) {
  WriterRig r;
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(10);
  r.naplo.WriteLog("0123456789", false);
  EXPECT_EQ(r.Log(), "789\r\n");
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(r.dir.Path(""))) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"Morvel.log"});
}

TEST(Trim, GoesThroughTheWholeFileReplacement) {
  WriterRig r;
  std::vector<std::pair<std::string, std::string>> calls;
  r.naplo.SetReplaceFile([&](const std::string& Name, std::string_view Bytes) {
    calls.emplace_back(Name, std::string(Bytes));
    return ReplaceFileContent(Name, Bytes);
  });
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(10);
  r.naplo.WriteLog("0123456789", false);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].first, r.path);
  EXPECT_EQ(calls[0].second, "789\r\n");
}

TEST(Trim, FailingTrimBacksOffAndStopsTheFileGrowing) {
  // The file cannot be replaced (a full disk, say). The line that took the file past its limit
  // stays, one note says why nothing follows, and the trim is not tried again for a minute.
  WriterRig r;
  MemoMock memo;
  r.naplo.SetLogMemo(&memo);
  int tries = 0;
  bool fail = true;
  r.naplo.SetReplaceFile([&](const std::string& Name, std::string_view Bytes) {
    ++tries;
    return fail ? ENOSPC : ReplaceFileContent(Name, Bytes);
  });
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(300);
  r.naplo.WriteLog("first", false);
  const std::string second(300, 's');
  r.naplo.WriteLog(second, false);  // 309 bytes: past the limit, the trim fails
  const std::string note =
      "Log file above its size limit and trimming it failed: new lines are left out until a trim succeeds "
      "(tried again once a minute).\r\n";
  const std::string stuck = "first\r\n" + second + "\r\n" + note;
  EXPECT_EQ(r.Log(), stuck);
  EXPECT_EQ(tries, 1);
  EXPECT_TRUE(r.naplo.TrimFailing());
  EXPECT_TRUE(r.naplo.Logging());
  for (int k = 0; k < 50; ++k) {
    r.clock.Advance(1000);  // 50 s of lines: none is written, no trim is tried
    r.naplo.WriteLog("more " + std::to_string(k), false);
  }
  EXPECT_EQ(r.Log(), stuck);
  EXPECT_EQ(tries, 1);
  EXPECT_EQ(memo.lines.size(), 52u);  // the view still shows every line
  r.clock.Advance(10000);  // a minute after the failed try: tried again, fails again, said once only
  r.naplo.WriteLog("late", false);
  EXPECT_EQ(tries, 2);
  EXPECT_EQ(r.Log(), stuck);
  r.clock.Advance(59999);
  r.naplo.WriteLog("not yet", false);
  EXPECT_EQ(tries, 2);
  // The disk has room again: the next try after the minute trims, and the line follows.
  fail = false;
  r.clock.Advance(1);
  r.naplo.WriteLog("back", false);
  EXPECT_EQ(tries, 3);
  EXPECT_FALSE(r.naplo.TrimFailing());
  const std::string trimmed = stuck.substr(stuck.size() - 150);
  EXPECT_EQ(r.Log(), trimmed + "back\r\n");
}

TEST(Trim, FailingAgainLaterIsSaidAgain) {
  WriterRig r;
  bool fail = true;
  r.naplo.SetReplaceFile([&](const std::string& Name, std::string_view Bytes) {
    return fail ? EIO : ReplaceFileContent(Name, Bytes);
  });
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(200);
  r.naplo.WriteLog(std::string(199, 'a'), false);  // past the limit: fails, noted
  fail = false;
  r.clock.Advance(TNaplo::kTrimRetryMs);
  r.naplo.WriteLog("b", false);  // trims (keeps 100 bytes of the note), then appends
  EXPECT_FALSE(r.naplo.TrimFailing());
  fail = true;
  r.naplo.WriteLog(std::string(120, 'c'), false);  // past the limit again: a new failure, a new note
  const std::string log = r.Log();
  std::size_t notes = 0;
  for (std::size_t at = log.find("Log file above"); at != std::string::npos; at = log.find("Log file above", at + 1))
    ++notes;
  EXPECT_EQ(notes, 1u);  // the first note was cut away with the old half; this is the new one
  EXPECT_TRUE(r.naplo.TrimFailing());
  EXPECT_NE(log.find(std::string(120, 'c') + "\r\nLog file above its size limit"), std::string::npos);
}

TEST(Trim, RenamedLogFileTrimsTheFileWrittenTo) {
  WriterRig r;
  r.naplo.SetLogTime(false);
  r.naplo.SetLogLimit(20);
  r.naplo.WriteLog("abc", false);
  const std::string other = r.dir.Path("other.log");
  r.naplo.SetLogFile(other);
  r.naplo.WriteLog("def", false);  // still the open file
  EXPECT_EQ(r.Log(), "abc\r\ndef\r\n");
  r.naplo.WriteLog("0123456789", false);  // past the limit: trimmed, then reopened by the new name
  EXPECT_EQ(r.Log(), "23456789\r\n");
  r.naplo.WriteLog("ghi", false);
  EXPECT_EQ(ReadFile(other), "ghi\r\n");
}

TEST(Settings, DefaultsAndLimitSetter) {
  FakeClock clock;
  TNaplo naplo(clock);
  EXPECT_FALSE(naplo.Logging());
  EXPECT_TRUE(naplo.LogTime());
  EXPECT_TRUE(naplo.ConvertToPrintable());
  EXPECT_FALSE(naplo.LogEvertythingToDB());
  EXPECT_EQ(naplo.LogFile(), "");
  EXPECT_EQ(naplo.LogLimit(), 10000000);
  EXPECT_EQ(naplo.LogLevelValue(), 100);
  EXPECT_EQ(naplo.LogMemo(), nullptr);
  EXPECT_EQ(naplo.BaseTick(), 0u);
  EXPECT_EQ(naplo.BaseTime(), 0.0);
  naplo.SetLogLimit(0);
  naplo.SetLogLimit(-5);
  EXPECT_EQ(naplo.LogLimit(), 10000000);
  naplo.SetLogLimit(7);
  EXPECT_EQ(naplo.LogLimit(), 7);
  const TDBNaplo& db = naplo.DBNaplo();
  EXPECT_EQ(db.DataSet(), nullptr);
  EXPECT_TRUE(db.Enabled());
  EXPECT_EQ(db.MaxRecords(), 10000);
  EXPECT_EQ(db.DefaultLevel(), 1);
  EXPECT_EQ(db.MaxLevel(), 20);
  EXPECT_EQ(db.DefaultOwner(), "Default");
}

TEST(DBNaplo, RecordFieldsOfAMirroredLine) {
  WriterRig r;
  MemoryTable table;
  r.naplo.DBNaplo().SetDataSet(&table);
  r.naplo.WriteLog("x\ry", true);
  r.naplo.WriteLog("not mirrored", false);
  ASSERT_EQ(table.records.size(), 1u);
  auto& rec = table.records[0];
  EXPECT_DOUBLE_EQ(std::get<double>(rec["Datum"]), At(2026, 12, 8, 0, 0, 0, 0));
  EXPECT_NEAR(std::get<double>(rec["Ido"]), (((10 * 60 + 25) * 60 + 48) * 1000 + 123) / 86400000.0, 1e-9);
  EXPECT_EQ(std::get<std::string>(rec["Tul"]), "Default");
  EXPECT_EQ(std::get<int32_t>(rec["Szint"]), 1);
  EXPECT_EQ(std::get<std::string>(rec["Szoveg"]), "26.12.08 10:25:48.123  x#13y  ");
}

TEST(DBNaplo, LevelsOwnersAndAvailability) {
  FakeClock clock;
  TDBNaplo db(clock);
  MemoryTable table;
  db.AddEntry("no table", "", -1);
  EXPECT_FALSE(db.CanWrite());
  db.SetDataSet(&table);
  EXPECT_TRUE(db.CanWrite());
  db.AddEntry("too high", "", 21);
  db.AddEntry("top", "me", 20);
  db.AddEntry("default", "", -1);
  table.active = false;
  EXPECT_FALSE(db.CanWrite());
  db.AddEntry("closed", "", 1);
  table.active = true;
  table.failPost = true;
  db.AddEntry("post fails", "", 1);  // swallowed
  ASSERT_EQ(table.records.size(), 2u);
  EXPECT_EQ(std::get<std::string>(table.records[0]["Tul"]), "me");
  EXPECT_EQ(std::get<int32_t>(table.records[0]["Szint"]), 20);
  EXPECT_EQ(std::get<std::string>(table.records[1]["Tul"]), "Default");
  EXPECT_EQ(std::get<int32_t>(table.records[1]["Szint"]), 1);
}

TEST(DBNaplo, FullTableDropsTheOldestRecord) {
  FakeClock clock;
  TDBNaplo db(clock);
  MemoryTable table;
  db.SetDataSet(&table);
  for (int k = 0; k < 10000; ++k) table.records.push_back({{"Szoveg", std::to_string(k)}});
  db.AddEntry("new", "", -1);
  ASSERT_EQ(table.records.size(), 10000u);
  EXPECT_EQ(std::get<std::string>(table.records.front()["Szoveg"]), "1");
  EXPECT_EQ(std::get<std::string>(table.records.back()["Szoveg"]), "new");
}
