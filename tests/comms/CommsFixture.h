// Engine fixture: a TKRVComms on a VirtualLoop, joined by a MemoryLink to a ScriptedPeer (device
// 5), logging into a temporary file whose lines are captured (without time stamps) for checks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <unistd.h>
#include <memory>
#include <string>
#include <vector>

#include "comms/KRVComms.h"
#include "logging/uNaploComponent.h"
#include "testkit/MemoryLink.h"
#include "testkit/ScriptedPeer.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testing {

using testkit::MemoryLinkSettings;
using testkit::PeerFrame;
using testkit::ScriptedPeer;

struct CapturedLines : TLogMemo {
  void AddLine(const std::string& Line) override { Lines.push_back(Line); }
  std::vector<std::string> Lines;
};

struct Result {
  std::string S;
  uint16_t Code;
  int32_t Tag;
  int64_t AtMs;
};

class CommsTest : public ::testing::Test {
 protected:
  explicit CommsTest(MemoryLinkSettings Settings = {}) : links(loop, &peer, Settings) {}

  void SetUp() override {
    // The process id keeps two test processes run side by side (whose fixtures may sit at the
    // same address, as under ASan) off each other's log file.
    logPath = std::filesystem::temp_directory_path() /
              ("vornik_comms_" + std::to_string(::getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log");
    std::filesystem::remove(logPath);
    naplo.SetLogFile(logPath.string());
    naplo.SetLogging(true);
    naplo.SetLogTime(false);
    naplo.SetLogMemo(&log);
    comms = std::make_unique<TKRVComms>(loop, links);
    comms->SeedRandom(7);
    comms->SetNaploKomponens(&naplo);
    comms->KRVAddress = 5;
  }
  void TearDown() override {
    comms.reset();
    std::filesystem::remove(logPath);
  }

  testkit::MemoryLink& link() { return *links.Last; }

  /// An item for device 5 whose result is recorded in results.
  TKuldendo* Item(const std::string& Pck, const std::string& Ans = std::string(), TKRVSendOptions Options = {},
                  int32_t Timeout = 0) {
    auto* item = new TKuldendo(Pck, 5);
    item->Ans = Ans;
    item->Options = Options;
    item->Timeout = Timeout;
    item->Tag = ++nextTag;
    item->OnResult = [this](TKRVComms*, const std::string& S, uint16_t Code, int32_t Tag, int32_t) {
      results.push_back({S, Code, Tag, loop.nowMs()});
    };
    return item;
  }
  void Send(TKuldendo* I) { I->SendWith(comms.get()); }

  /// Engine writes that decode as requests (not acknowledgements), with their times.
  std::vector<PeerFrame> Requests() const { return peer.Requests(); }

  bool Logged(const std::string& Text) const {
    return std::any_of(log.Lines.begin(), log.Lines.end(),
                       [&](const std::string& L) { return L.find(Text) != std::string::npos; });
  }
  int CountLogged(const std::string& Text) const {
    return static_cast<int>(std::count_if(log.Lines.begin(), log.Lines.end(),
                                          [&](const std::string& L) { return L.find(Text) != std::string::npos; }));
  }
  /// Runs until n results are in (bounded).
  bool WaitResults(std::size_t N, int64_t LimitMs = 20000) {
    return loop.runUntil([&] { return results.size() >= N; }, LimitMs);
  }

  testkit::VirtualLoop loop;
  ScriptedPeer peer{loop, 5};
  testkit::MemoryLinkFactory links;
  TNaploComponent naplo{loop};
  CapturedLines log;
  std::filesystem::path logPath;
  std::unique_ptr<TKRVComms> comms;
  std::vector<Result> results;
  int32_t nextTag = 0;
};

}  // namespace vornik::testing
