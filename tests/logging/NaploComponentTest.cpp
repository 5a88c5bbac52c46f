#include <gtest/gtest.h>

#include <filesystem>

#include "logging/LogTestHelpers.h"
#include "logging/uNaploComponent.h"

using namespace vornik;
using namespace vornik::test;

TEST(NaploComponent, ConstructionDefaults) {
  FakeClock clock;
  TNaploComponent c(clock);
  EXPECT_TRUE(c.ConvertToPrintable());
  EXPECT_FALSE(c.Logging());
  EXPECT_TRUE(c.LogTime());
  EXPECT_FALSE(c.LogEvertythingToDB());
  EXPECT_EQ(c.LogFile(), ".\\Morvel.log");
  EXPECT_EQ(c.LogLimit(), 10000000);
  EXPECT_EQ(c.LogLevel(), TLogLevel::LogEverything);
  EXPECT_EQ(c.Naplo().LogLevelValue(), 100);
  EXPECT_EQ(c.LogMemo(), nullptr);
  EXPECT_EQ(c.DataSet(), nullptr);
  EXPECT_FALSE(c.OnWriteLog());
}

TEST(NaploComponent, LevelMapping) {
  struct Case {
    TLogLevel level;
    int32_t stored;
  };
  const Case set[] = {{TLogLevel::LogErrorsOnly, 1},
                      {TLogLevel::LogFromWarningsUp, 4},
                      {TLogLevel::LogFromNotesUp, 8},
                      {TLogLevel::LogEverything, 99}};
  FakeClock clock;
  TNaploComponent c(clock);
  for (const Case& k : set) {
    c.SetLogLevel(k.level);
    EXPECT_EQ(c.Naplo().LogLevelValue(), k.stored);
    EXPECT_EQ(c.LogLevel(), k.level);
  }
  const std::pair<int32_t, TLogLevel> read[] = {
      {-7, TLogLevel::LogErrorsOnly},     {0, TLogLevel::LogErrorsOnly},     {1, TLogLevel::LogErrorsOnly},
      {2, TLogLevel::LogFromWarningsUp},  {4, TLogLevel::LogFromWarningsUp}, {5, TLogLevel::LogFromNotesUp},
      {8, TLogLevel::LogFromNotesUp},     {9, TLogLevel::LogEverything},     {100, TLogLevel::LogEverything},
  };
  for (const auto& [value, level] : read) {
    c.Naplo().SetLogLevelValue(value);
    EXPECT_EQ(c.LogLevel(), level) << value;
  }
}

TEST(NaploComponent, PropertiesLiveInTheWriter) {
  FakeClock clock;
  TNaploComponent c(clock);
  MemoMock memo;
  MemoryTable table;
  c.SetLogMemo(&memo);
  c.SetDataSet(&table);
  c.SetLogFile("a\\b.log");
  c.SetConvertToPrintable(false);
  c.SetLogTime(false);
  c.SetLogEvertythingToDB(true);
  c.SetLogLimit(-5);
  c.SetLogLimit(0);
  EXPECT_EQ(c.LogLimit(), 10000000);
  c.SetLogLimit(1234);
  const TNaplo& w = c.Naplo();
  EXPECT_EQ(w.LogMemo(), &memo);
  EXPECT_EQ(w.DBNaplo().DataSet(), &table);
  EXPECT_EQ(w.LogFile(), "a\\b.log");
  EXPECT_FALSE(w.ConvertToPrintable());
  EXPECT_FALSE(w.LogTime());
  EXPECT_TRUE(w.LogEvertythingToDB());
  EXPECT_EQ(w.LogLimit(), 1234);
}

TEST(NaploComponent, LogsOnlyOnceSwitchedOnAndAllLevelsAreWritten) {
  LogTempDir dir;
  FakeClock clock;
  clock.wall = 46364.5;  // 2026-12-08 12:00
  TNaploComponent c(clock);
  c.SetLogFile(dir.Path("Morvel.log"));
  c.WriteLog("before", false);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("Morvel.log")));
  c.SetLogging(true);
  c.SetLogLevel(TLogLevel::LogFromNotesUp);
  c.WriteLog("after", false);
  EXPECT_EQ(ReadFile(dir.Path("Morvel.log")), "26.12.08 12:00:00.000  after\r\n");
}

TEST(NaploComponent, HandlerGetsTheWriterAndTheRawMessage) {
  LogTempDir dir;
  FakeClock clock;
  TNaploComponent c(clock);
  c.SetLogFile(dir.Path("x.log"));
  c.SetLogging(true);
  std::vector<std::string> seen;
  const TNaplo* sender = nullptr;
  c.SetOnWriteLog([&](TNaplo& Sender, std::string& AMsg) {
    sender = &Sender;
    seen.push_back(AMsg);
  });
  // The engine writes through the writer itself; the handler fires the same way.
  c.WriteLog("one\r\n", false);
  c.Naplo().WriteLog("two\x01", false);
  EXPECT_EQ(sender, &c.Naplo());
  EXPECT_EQ(seen, (std::vector<std::string>{"one\r\n", "two\x01"}));
}
