// The bench every procedure test runs on: a virtual loop, an engine joined by a MemoryLink to a
// scripted device, and helpers to run until a procedure reports its end.
#pragma once

#include <memory>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "comms/KRVComms.h"
#include "firmware/uHexfileToStr.h"
#include "logging/uNaploComponent.h"
#include "procedures/ScriptDevice.h"
#include "procedures/ScriptPeer.h"
#include "testkit/MemoryLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testing {

inline constexpr uint32_t kDeviceAddress = 178556;

struct TProcRig {
  explicit TProcRig(testkit::MemoryLinkSettings Settings = {})
      : peer(loop, device, kDeviceAddress), links(loop, &peer, Settings), comms(loop, links) {
    comms.SeedRandom(7);
    comms.KRVAddress = kDeviceAddress;
    comms.SetKRVMode(TKRVMode::PMKRVWOnly);
    comms.SetActive(true);
    loop.advance(5);
  }

  /// Logs through a component into a file under the test's temporary directory and keeps every
  /// plain message that begins with Prefix.
  void CaptureLog(const std::string& Prefix) {
    naplo = std::make_unique<TNaploComponent>(loop);
    // The process id keeps test processes run side by side off each other's log file.
    logPath = ::testing::TempDir() + "procedures_" + std::to_string(::getpid()) + "_" +
              std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log";
    naplo->SetLogFile(logPath);
    naplo->SetLogging(true);
    naplo->SetOnWriteLog([this, Prefix](TNaplo&, std::string& Msg) {
      if (Msg.rfind(Prefix, 0) == 0) logged.push_back(Msg);
    });
    comms.SetNaploKomponens(naplo.get());
  }

  ~TProcRig() {
    if (!logPath.empty()) std::remove(logPath.c_str());
  }

  /// Runs the loop until Done holds or LimitMs of virtual time have passed.
  bool RunUntil(const std::function<bool()>& Done, int64_t LimitMs = 600000) { return loop.runUntil(Done, LimitMs); }

  /// A test image whose bytes differ from block to block, as the uploader gets it (scrambled for
  /// address 0); its plain form carries a build string at offset 16 when it is long enough, so a
  /// device can report what it runs.
  static std::string Image(std::size_t Length, uint32_t Seed = 1) {
    std::string out(Length, '\0');
    uint32_t x = Seed * 2654435761u + 12345u;
    for (auto& c : out) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    if (Length >= 27) {
      char build[12];
      std::snprintf(build, sizeof build, "Build:%05u", Seed % 100000);
      out.replace(16, 11, build, 11);
      ScrambleImage(out, 0);
    }
    return out;
  }

  testkit::VirtualLoop loop;
  TScriptDevice device;
  TScriptPeer peer;
  testkit::MemoryLinkFactory links;
  std::unique_ptr<TNaploComponent> naplo;  // outlives the engine, which logs while it closes
  std::vector<std::string> logged;
  std::string logPath;
  TKRVComms comms;
};

}  // namespace vornik::testing
