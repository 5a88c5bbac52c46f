#include "procedures/uFlashReaderWriter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "procedures/ProcRig.h"

namespace vornik::testing {
namespace {

using F = TFlashRWResult;

class Flash : public ::testing::Test {
 protected:
  Flash() {
    frw.SetKRVPort(&rig.comms);
    frw.BlockSize = 255;
    frw.OnReadingDone = [this](TFlashReaderWriter*, TFlashRWResult Result, std::string& Data) {
      readResults.push_back(Result);
      readData = Data;
    };
    frw.OnWritingDone = [this](TFlashReaderWriter*, TFlashRWResult Result) { writeResults.push_back(Result); };
    frw.OnPercentDone = [this](TFlashReaderWriter*, int P) { percents.push_back(P); };
    // A recognisable flash content.
    for (std::size_t i = 0; i < rig.device.Flash.size(); ++i) rig.device.Flash[i] = static_cast<char>(i * 31 + 7);
  }
  bool Done() const { return !readResults.empty() || !writeResults.empty(); }
  void Run() { rig.RunUntil([this] { return Done(); }, 120000); }

  struct Req {
    uint32_t page;
    uint16_t offset;
    uint16_t count;
  };

  TProcRig rig;
  TFlashReaderWriter frw;
  std::vector<TFlashRWResult> readResults, writeResults;
  std::string readData;
  std::vector<int> percents;
  std::vector<Req> reads;
};

TEST_F(Flash, ReadCrossesPagesInBlocks) {
  rig.peer.BeforeFrame = [this](const std::string& Payload) {
    if (auto r = ParseCFLRC(Payload)) reads.push_back({r->Page, r->Offset, r->Count});
  };
  frw.ReadFlashToStr(10, 600);
  Run();
  ASSERT_EQ(readResults, (std::vector<F>{F::freOk}));
  ASSERT_EQ(reads.size(), 5u);
  const Req expected[] = {{10, 0, 255}, {10, 255, 9}, {11, 0, 255}, {11, 255, 9}, {12, 0, 255}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(reads[i].page, expected[i].page) << i;
    EXPECT_EQ(reads[i].offset, expected[i].offset) << i;
    EXPECT_EQ(reads[i].count, expected[i].count) << i;
  }
  EXPECT_EQ(percents, (std::vector<int>{42, 44, 86, 88, 130, 100}));
  EXPECT_EQ(readData, rig.device.Flash.substr(10 * 264, 600));
}

TEST_F(Flash, ReadOf528BytePages) {
  rig.device.FlashPageSize = 528;
  rig.device.ResetFlash();
  for (std::size_t i = 0; i < rig.device.Flash.size(); ++i) rig.device.Flash[i] = static_cast<char>(i * 13);
  frw.FlashPageSize = 528;
  frw.BlockSize = 200;
  frw.ReadFlashToStr(3, 1500);
  Run();
  ASSERT_EQ(readResults, (std::vector<F>{F::freOk}));
  EXPECT_EQ(readData, rig.device.Flash.substr(3 * 528, 1500));
}

TEST_F(Flash, ShortAnswersDoNotShiftTheData) {
  // The device answers at most 100 bytes whatever is asked.
  rig.peer.AnswerFilter = [](std::string& Answer) {
    if (Answer.rfind("AFLRC", 0) == 0 && Answer.size() > 105) Answer.resize(105);
  };
  frw.ReadFlashToStr(2, 700);
  Run();
  ASSERT_EQ(readResults, (std::vector<F>{F::freOk}));
  EXPECT_EQ(readData, rig.device.Flash.substr(2 * 264, 700));
}

TEST_F(Flash, AnswerWithoutDataStopsTheRead) {
  rig.device.ReadAnswerOverride = std::string("AFLRC");
  frw.ReadFlashToStr(0, 100);
  Run();
  EXPECT_EQ(readResults, (std::vector<F>{F::freInvalidAnswer}));
  EXPECT_EQ(readData, "");
  EXPECT_TRUE(frw.Idle());
}

TEST_F(Flash, EngineErrorDuringAReadEndsItEmpty) {
  frw.ReadFlashToStr(0, 2000);
  rig.RunUntil([this] { return percents.size() >= 2; });
  rig.peer.Silent = true;
  Run();
  EXPECT_EQ(readResults, (std::vector<F>{F::freKRVError}));
  EXPECT_EQ(readData, "");
  EXPECT_EQ(frw.LastErrorCode(), 5);
}

TEST_F(Flash, AbortDuringAReadReturnsWhatArrived) {
  frw.ReadFlashToStr(0, 5000);
  rig.RunUntil([this] { return percents.size() >= 3; });
  frw.Abort();
  ASSERT_EQ(readResults, (std::vector<F>{F::freAborted}));
  EXPECT_EQ(readData, rig.device.Flash.substr(0, readData.size()));
  EXPECT_EQ(readData.size(), 255u + 9u + 255u);
  EXPECT_EQ(rig.comms.QueueCount(), 0u);
  rig.loop.advance(2000);
  EXPECT_EQ(readResults.size(), 1u);
}

TEST_F(Flash, ZeroLengthReadEndsAtOnce) {
  frw.ReadFlashToStr(0, 0);
  EXPECT_EQ(readResults, (std::vector<F>{F::freOk}));
  EXPECT_EQ(readData, "");
  EXPECT_EQ(percents, (std::vector<int>{100}));
}

TEST_F(Flash, WriteSendsPagesAndReportsProgress) {
  const std::string source = TProcRig::Image(300, 9);
  frw.WriteFlashFromStr(5, source);
  Run();
  ASSERT_EQ(writeResults, (std::vector<F>{F::freOk}));
  EXPECT_EQ(percents, (std::vector<int>{88, 176}));
  EXPECT_EQ(rig.device.Flash.substr(5 * 264, 300), source);
}

TEST_F(Flash, AWritePastPage65535IsRefusedNotWrappedToPageZero) {
  const std::string onePage(264, 'a');
  EXPECT_THROW(frw.WriteFlashFromStr(65535, onePage + "b"), EFlashReaderWriter);
  EXPECT_THROW(frw.WriteFlashFromStr(65000, std::string(264 * 536 + 1, 'c')), EFlashReaderWriter);
  EXPECT_TRUE(frw.Idle());
  frw.WriteFlashFromStr(65535, onePage);  // the last page itself is fine
  EXPECT_FALSE(frw.Idle());
}

// A progress handler that aborts and starts another operation: nothing of the old one goes on.
TEST_F(Flash, AProgressHandlerMayAbortAndStartAnotherWrite) {
  const std::string first = TProcRig::Image(1000, 3), second = TProcRig::Image(600, 4);
  bool restarted = false;
  frw.OnPercentDone = [&](TFlashReaderWriter* F, int) {
    if (restarted) return;
    restarted = true;
    F->Abort();
    F->WriteFlashFromStr(20, second);
  };
  frw.WriteFlashFromStr(5, first);
  rig.RunUntil([&] { return writeResults.size() == 2; }, 120000);
  rig.loop.advance(2000);
  EXPECT_EQ(writeResults, (std::vector<F>{F::freAborted, F::freOk}));
  EXPECT_EQ(rig.device.Flash.substr(20 * 264, 600), second);
  // Only the first page of the first write went out: the old run sent no page after the abort.
  EXPECT_EQ(rig.device.Flash.substr(5 * 264, 264), first.substr(0, 264));
  EXPECT_NE(rig.device.Flash.substr(6 * 264, 264), first.substr(264, 264));
}

TEST_F(Flash, TurboWriteNeedsNoAnswers) {
  frw.TurboMode = true;
  const std::string source = TProcRig::Image(264 * 4 + 10, 3);
  frw.WriteFlashFromStr(0, source);
  Run();
  ASSERT_EQ(writeResults, (std::vector<F>{F::freOk}));
  rig.loop.advance(500);  // the last frames are still on their way
  EXPECT_EQ(rig.device.Flash.substr(0, source.size()), source);
}

TEST_F(Flash, WriteStatuses) {
  struct Case {
    std::vector<uint8_t> statuses;
    TFlashRWResult result;
    int pageOneTries;
  };
  for (const Case& c : {Case{{0, 2, 2}, F::freOk, 3}, Case{{0, 2, 2, 2}, F::freFlashWriteError, 3},
                        Case{{0, 3, 3, 3}, F::freFlashReadError, 3}, Case{{0, 1}, F::frePageIndexOutOfRange, 1},
                        Case{{0, 9}, F::freInvalidAnswer, 1}}) {
    TProcRig r;
    TFlashReaderWriter w;
    w.SetKRVPort(&r.comms);
    std::vector<TFlashRWResult> got;
    w.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult Result) { got.push_back(Result); };
    r.device.PageWriteStatuses = c.statuses;
    int pageOne = 0;
    r.peer.BeforeFrame = [&](const std::string& Payload) {
      if (auto p = ParseCFLPW(Payload); p && p->Page == 1) ++pageOne;
    };
    const std::string source = TProcRig::Image(264 * 3, 4);
    w.WriteFlashFromStr(0, source);
    r.RunUntil([&] { return !got.empty(); }, 60000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], c.result);
    EXPECT_EQ(pageOne, c.pageOneTries);
    EXPECT_EQ(r.device.Flash.substr(0, 264), source.substr(0, 264));  // written before stays
  }
}

TEST_F(Flash, MisuseRaises) {
  TFlashReaderWriter none;
  auto expectText = [](auto&& Fn, const char* Text) {
    try {
      Fn();
      ADD_FAILURE() << Text;
    } catch (const EFlashReaderWriter& e) {
      EXPECT_STREQ(e.what(), Text);
    }
  };
  expectText([&] { none.ReadFlashToStr(0, 10); }, "KRVPort not assigned");
  expectText([&] { none.WriteFlashFromStr(0, "x"); }, "KRVPort not assigned");
  expectText([&] { none.Abort(); }, "KRVPort not assigned");
  frw.BlockSize = 0;
  expectText([&] { frw.ReadFlashToStr(0, 10); }, "Invalid block size");
  frw.BlockSize = 255;
  frw.FlashPageSize = 0;
  expectText([&] { frw.ReadFlashToStr(0, 10); }, "Invalid page size");
  expectText([&] { frw.WriteFlashFromStr(0, "x"); }, "Invalid page size");
  frw.FlashPageSize = 264;
  expectText([&] { frw.WriteFlashFromStr(0, ""); }, "Empty source string");
  frw.ReadFlashToStr(0, 1000);
  expectText([&] { frw.ReadFlashToStr(0, 10); }, "Flash operation in progress");
  expectText([&] { frw.WriteFlashFromStr(0, "x"); }, "Flash operation in progress");
  expectText([&] { frw.SetKRVPort(nullptr); }, "Cannot change KRVPort while operation in progress");
  Run();
  EXPECT_EQ(readResults, (std::vector<F>{F::freOk}));
}

TEST(FlashTexts, EveryResultHasItsText) {
  EXPECT_EQ(FlashRWResultToStr(F::freOk), "A flash írása/olvasása befejeződött");
  EXPECT_EQ(FlashRWResultToStr(F::freKRVError), "Nincs kapcsolat, vagy a készülék nem válaszol.");
  EXPECT_EQ(FlashRWResultToStr(F::freInvalidAnswer),
            "A készülék nem a várt választ adta, ellenőrizze a készüléket és a rajta futó firmware-t");
}

}  // namespace
}  // namespace vornik::testing
