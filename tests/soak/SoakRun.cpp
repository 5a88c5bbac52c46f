#include "soak/SoakRun.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "comms/KRVComms.h"
#include "firmware/uHexfileToStr.h"
#include "logging/uNaploComponent.h"
#include "testkit/SimPeer.h"
#include "procedures/uFirmwareUploader.h"
#include "procedures/uFlashReaderWriter.h"
#include "sim/SimDevice.h"
#include "testkit/MemoryLink.h"
#include "testkit/VirtualLoop.h"

namespace vornik::soak {

namespace {

using testing::TSimPeer;

constexpr uint32_t kDeviceAddress = 178556;
constexpr int64_t kSettleMs = 2000;  ///< quiet time after an end in which nothing more may be reported

std::string Image(std::size_t Length, uint64_t Seed) {
  std::string out(Length, '\0');
  uint64_t x = Seed | 1;
  for (auto& c : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

testkit::MemoryLinkFaults LineFaults(const TFaultPlan& P) {
  testkit::MemoryLinkFaults f;
  f.Seed = static_cast<uint32_t>(P.Seed >> 17);
  for (auto* d : {&f.ToPeer, &f.ToEngine}) {
    d->BitError = P.BitErrors;
    d->Truncate = P.Truncate;
    d->Split = P.Split;
    d->Glue = P.Glue;
  }
  f.ToPeer.Drop = P.DropOut;
  f.ToEngine.Drop = P.DropIn;
  f.ToEngine.Duplicate = P.Duplicate;
  return f;
}

TSimDeviceConfig DeviceConfig(const TFaultPlan& P) {
  TSimDeviceConfig c;
  c.Address = kDeviceAddress;
  c.StartInBootloader = P.StartInBootloader;
  c.FirmwareAcceptsBlocks = P.FirmwareAcceptsBlocks;
  if (P.SmallController) {
    c.CPUType = 20;
    c.RxBufLen = 256;
  }
  c.TurnaroundMs = P.TurnaroundMs;
  c.RestartMs = P.RestartMs;
  c.InstallMs = P.InstallMs;
  c.FlashPageSize = P.FlashPageSize;
  c.FlashPages = 512;
  return c;
}

TSimFaults DeviceFaults(const TFaultPlan& P) {
  TSimFaults f;
  f.Seed = static_cast<uint32_t>(P.Seed);
  f.PowerCutOnInstall = P.PowerCut;
  f.InstallCommitted = P.PowerCutCommitted;
  f.PowerOffMs = P.PowerOffMs;
  f.RejectInstall = P.RejectInstall;
  if (P.HangUpAfterInstall) f.HangUpAfter.insert("CFLUD");
  f.HangUp = P.HangUp;
  return f;
}

/// The engine, the line and the device of one run, set up as the main window sets them up.
struct TBench {
  TBench(const TFaultPlan& P, bool Trace)
      : dev(DeviceConfig(P), DeviceFaults(P)), peer(loop, dev), links(loop, &peer, LinkSettings(P)) {
    links.Faults = LineFaults(P);
    dev.RequestLogLimit = Trace ? 100000 : 0;
    if (Trace) {
      naplo = std::make_unique<TNaploComponent>(loop);
      logPath = (std::filesystem::temp_directory_path() /
                 ("vornik-soak-" + std::to_string(P.Index) + "-" + std::to_string(::getpid()) + ".log"))
                    .string();
      std::filesystem::remove(logPath);
      naplo->SetLogFile(logPath);
      naplo->SetLogLimit(1000000000);
      naplo->SetLogging(true);
    }
    comms = std::make_unique<TKRVComms>(loop, links);
    links.Last->KeepWrites = false;
    TKRVComms& c = *comms;
    if (naplo) c.SetNaploKomponens(naplo.get());
    c.SeedRandom(static_cast<uint32_t>(P.Seed >> 32));
    c.SetKRVMode(TKRVMode::PMKRVWOnly);
    c.KRVAddress = kDeviceAddress;
    c.PufferSize = 512;
    c.LoosePckIDCheck = true;
    c.Nyugtazas = true;
    c.BroadcastVetele = false;
    c.QuickReconnect = true;
    c.LineTimeout = P.LineTimeout;
    if (P.Target == TTarget::Upload) {
      c.Timeout_1 = 300;
      c.Timeout_2 = 2000;
      c.Timeout_3 = 4500;
      c.Max_tries_cmd = 4;
    }
    if (P.Link == TLinkKind::Serial) {
      c.Port = 1;
      c.Baud = P.Baud;
    } else {
      c.Host = "127.0.0.1";
      c.Port = 7000;
    }
  }
  ~TBench() {
    comms.reset();
    if (!logPath.empty()) std::filesystem::remove(logPath);
  }

  static testkit::MemoryLinkSettings LinkSettings(const TFaultPlan& P) {
    testkit::MemoryLinkSettings s;
    s.Baud = P.Baud;
    s.LatencyMs = P.LatencyMs;
    s.ConnectDelayMs = P.LatencyMs + 1;
    // A serial port refuses a write that would take its queued output above ApdOutSize.
    s.LimitOutput = P.Link == TLinkKind::Serial;
    return s;
  }

  testkit::MemoryLink& Link() { return *links.Last; }

  /// Opens the link as the connect switch does, and waits for a TCP connection.
  void Connect() {
    comms->SetActive(true);
    loop.runUntil([&] { return comms->LinkUp(); }, 10000);
  }

  /// Arms the plan's stalls, cut and restart, counted in device steps from now on.
  void ArmTriggers(const TFaultPlan& P) {
    const bool upload = P.Target == TTarget::Upload;
    const int base = upload ? dev.Counters.Blocks : dev.Counters.Requests;
    struct TArmed {
      int At;
      int Kind;  // 0 stall, 1 cut, 2 restart
      int64_t Ms;
      bool Done;
    };
    auto armed = std::make_shared<std::vector<TArmed>>();
    for (const auto& s : P.Stalls) armed->push_back({s.AtStep, 0, s.Ms, false});
    if (P.Cut) armed->push_back({P.CutAt.AtStep, 1, P.CutAt.Ms, false});
    if (P.Restart) armed->push_back({P.RestartAt.AtStep, 2, 0, false});
    if (P.LoseInstallAnswer) {
      // The first install is acknowledged; the line dies while the device installs, so the answer
      // that follows the acknowledgement never arrives.
      dev.OnRequest = [this, turnaround = P.TurnaroundMs, install = P.InstallMs,
                       done = false](const std::string& Line) mutable {
        if (done || Line.find(" CFLUD ") == std::string::npos) return;
        done = true;
        testkit::MemoryLink* link = &Link();
        loop.schedule(loop.nowMs() + turnaround + install / 2, [link, install] { link->Cut(install); });
      };
    }
    if (armed->empty()) return;
    const bool serial = P.Link == TLinkKind::Serial;
    peer.AfterBytes = [this, armed, base, upload, serial](testkit::MemoryLink& L) {
      const int step = (upload ? dev.Counters.Blocks : dev.Counters.Requests) - base;
      for (auto& a : *armed) {
        if (a.Done || step < a.At) continue;
        a.Done = true;
        if (a.Kind == 0) {
          L.Stall(a.Ms);
        } else if (a.Kind == 1) {
          if (serial) {
            L.Cut(a.Ms < 0 ? int64_t{1} << 40 : a.Ms);
          } else {
            // The device hangs up; out of this callback, as a socket would report it.
            loop.schedule(loop.nowMs(), [this, &L] {
              dev.LinkDown();
              L.Drop();
            });
          }
        } else {
          dev.PowerCycle(loop.nowMs(), 0);
          peer.Arm();
        }
      }
    };
  }

  /// A clean line and a device without faults, after the device has come back from whatever it
  /// was doing; the link is closed (the connect switch is off).
  void CleanUp() {
    comms->SetActive(false);
    peer.AfterBytes = nullptr;
    dev.OnRequest = nullptr;
    Link().SetFaults({});
    Link().Heal();
    TSimFaults none;
    none.Seed = dev.Faults.Seed;
    dev.Faults = none;
    loop.runUntil([&] { return !dev.Restarting(loop.nowMs()); }, 120000);
    loop.advance(1000);
  }

  /// The packet log and the device's lines (--only).
  void PrintTrace() {
    if (naplo) {
      naplo->SetLogging(false);
      std::ifstream in(logPath, std::ios::binary);
      std::stringstream ss;
      ss << in.rdbuf();
      std::printf("---- packet log\n%s", ss.str().c_str());
      naplo->SetLogging(true);
    }
    std::printf("---- device\n");
    for (const auto& l : dev.RequestLog) std::printf("%s\n", l.c_str());
    const auto& f = Link().FaultsDone;
    std::printf("---- line: %d lost, %d bit errors, %d truncated, %d split, %d glued, %d duplicated, %d cut off\n",
                f.Dropped, f.BitErrors, f.Truncated, f.Split, f.Glued, f.Duplicated, f.CutOff);
  }

  testkit::VirtualLoop loop;
  TSimDevice dev;
  TSimPeer peer;
  testkit::MemoryLinkFactory links;
  std::unique_ptr<TNaploComponent> naplo;  // outlives the engine, which logs while it closes
  std::string logPath;
  std::unique_ptr<TKRVComms> comms;
};

// ---- Time bounds -----------------------------------------------------------------------------

/// The longest an item can take with these settings: every try waits its whole answer time.
int64_t ItemBound(const TKRVComms& C, int64_t Timeout, bool Exact = false) {
  int64_t sum = 0;
  for (int k = 1; k <= std::max(C.Max_tries_cmd, 1); ++k) {
    const int64_t d = k == 1 ? C.Timeout_1 : k == 2 ? C.Timeout_2 : C.Timeout_3;
    sum += (Exact && Timeout != 0 ? Timeout * k : std::max(Timeout * k, d)) + C.LineTimeout;
  }
  // An acknowledgement may start the answer time once more.
  return sum + std::max<int64_t>(Timeout, C.Timeout_3) + C.LineTimeout;
}

/// Line time of Bytes in one direction, with the latency.
int64_t WireMs(const TFaultPlan& P, std::size_t Bytes) {
  const int64_t serial = P.Baud > 0 ? static_cast<int64_t>(Bytes) * 10000 / P.Baud + 1 : 0;
  return serial + P.LatencyMs;
}

/// What the plan's faults add at most: stalls, a timed cut, a restart, a power cut.
int64_t FaultAllowanceMs(const TFaultPlan& P) {
  int64_t extra = 0;
  for (const auto& s : P.Stalls) extra += s.Ms;
  if (P.Cut && P.CutAt.Ms > 0) extra += P.CutAt.Ms;
  if (P.Restart) extra += P.RestartMs;
  if (P.PowerCut) extra += P.PowerOffMs + P.RestartMs + P.InstallMs;
  return extra;
}

int64_t UploadBoundMs(const TFaultPlan& P, const TKRVComms& C, const TFirmwareUploader& U) {
  const int64_t blocks = static_cast<int64_t>((P.ImageBytes + 127) / 128);
  const int64_t blockWire = WireMs(P, 128 * 2 + 40) + WireMs(P, 40);
  int64_t perBlock;
  if (P.Mode == TMode::SafeTurbo)
    perBlock = 60 + blockWire;
  else
    perBlock = ItemBound(C, 0) + blockWire;
  int64_t total = blocks * perBlock * 2;  // a repeat after a write error, or a re-send after the receipt query
  if (P.Mode == TMode::Batched) {
    const int64_t batches = blocks / std::max(1, U.BatchSize()) + 1;
    total += batches * (3 * ItemBound(C, 0) + ItemBound(C, U.CSYGATimeout(), true));
  }
  // Identification (twice, with a restart between), probe, restart and reconnect for the upload,
  // bootloader announcement and size, the restart and check for the install (twice), the install
  // (twice) and its check.
  total += 2 * ItemBound(C, 250) + ItemBound(C, 2500) + ItemBound(C, 0) + ItemBound(C, 4500, true) + 2000 +
           2 * ItemBound(C, 250) + 2 * (ItemBound(C, 4500) + ItemBound(C, 250)) + 2 * ItemBound(C, U.CFLUDTimeout) +
           ItemBound(C, 250) + ItemBound(C, 1500 + C.LineTimeout) + U.WaitForFwToStart;
  return 2 * (total + FaultAllowanceMs(P)) + 30000;
}

int64_t FlashBoundMs(const TFaultPlan& P, const TKRVComms& C, std::size_t Bytes, bool Read) {
  const int64_t pages = static_cast<int64_t>(Bytes / P.FlashPageSize) + 2;
  const int64_t requests = Read ? pages * (static_cast<int64_t>(P.FlashPageSize) / std::max<int>(P.ReadBlockSize, 1) + 2)
                                : pages;
  const int64_t perRequest = ItemBound(C, 0) + WireMs(P, 600) + WireMs(P, 600);
  return 2 * (requests * perRequest * 3 + FaultAllowanceMs(P)) + 30000;
}

std::string UploadResultName(TFWUploadResult R) {
  static const char* const names[] = {"Ok",       "Aborted",          "KRVError",          "InvalidAnswerASYSI",
                                      "InvalidAnswerAFLUL", "InvalidAnswerAFLUD", "PageIndexOutOfRange",
                                      "FlashWriteError",    "RestartFailed",      "UpdateFailed",
                                      "CRCError",           "FirmwareNotCompatible", "UnknownErrorCode"};
  const int i = static_cast<int>(R);
  if (i < 0 || i >= static_cast<int>(std::size(names))) return "result " + std::to_string(i);
  return names[i];
}

std::string FlashResultName(TFlashRWResult R) {
  static const char* const names[] = {"Ok", "Aborted", "KRVError", "PageIndexOutOfRange",
                                      "FlashWriteError", "FlashReadError", "InvalidAnswer"};
  const int i = static_cast<int>(R);
  if (i < 0 || i >= static_cast<int>(std::size(names))) return "result " + std::to_string(i);
  return names[i];
}

// ---- Uploads ---------------------------------------------------------------------------------

TAttempt Upload(TBench& B, TFirmwareUploader& Up, const TFaultPlan& P, const std::string& Scrambled,
                const std::string& Plain) {
  TAttempt a;
  std::vector<TFWUploadResult> results;
  Up.OnUploadDone = [&](TFirmwareUploader*, TFWUploadResult R) { results.push_back(R); };
  a.BoundMs = UploadBoundMs(P, *B.comms, Up);
  const int64_t start = B.loop.nowMs();
  try {
    Up.UploadFromStr(Scrambled);
    B.loop.runUntil([&] { return !results.empty(); }, a.BoundMs);
    a.VirtualMs = B.loop.nowMs() - start;
    if (!results.empty()) B.loop.advance(kSettleMs);  // nothing may follow the end
  } catch (const std::exception& e) {
    a.End = TEnd::Undocumented;
    a.Detail = std::string("exception: ") + e.what();
    return a;
  }
  if (results.empty()) {
    a.End = TEnd::Hang;
    a.Detail = "no end after " + std::to_string(a.BoundMs / 1000) + " s of virtual time (step " +
               std::to_string(static_cast<int>(Up.Step())) + ")";
    Up.Abort();
    return a;
  }
  a.Result = static_cast<int>(results.front());
  a.ResultName = UploadResultName(results.front());
  if (results.size() > 1) {
    a.End = TEnd::Undocumented;
    a.Detail = std::to_string(results.size()) + " ends reported";
    return a;
  }
  const TFWUploadResult r = results.front();
  if (a.Result < 0 || a.Result > static_cast<int>(TFWUploadResult::fwrUnknownErrorCode) ||
      r == TFWUploadResult::fwrAborted) {
    a.End = TEnd::Undocumented;
    a.Detail = "result " + a.ResultName + " without an abort";
    return a;
  }
  if (r != TFWUploadResult::fwrOk) {
    a.End = TEnd::Failed;
    a.Detail = Up.FWUploadResultToStr(r);
    return a;
  }
  if (B.dev.InstalledImage() != Plain) {
    a.End = TEnd::Corrupt;
    a.Detail = B.dev.InstalledImage().empty() ? "success reported, nothing installed"
                                              : "success reported, the installed image differs";
    return a;
  }
  a.End = TEnd::Ok;
  return a;
}

TRunOutcome RunUpload(const TFaultPlan& P, const TRunOptions& O) {
  TBench b(P, O.Trace);
  TFirmwareUploader up(b.loop);
  up.SetKRVPort(b.comms.get());
  up.BlockLength = P.BlockLength;
  up.CFLUDTimeout = 10000;
  up.FWAddress = P.FWAddress;
  up.BatchedMode = P.Mode == TMode::Batched;
  up.TurboMode = P.Mode == TMode::SafeTurbo;
  up.SafeTurbo = P.Mode == TMode::SafeTurbo;
  up.SetBatchSize(P.BatchSize);
  up.SetCSYGATimeout(P.CSYGATimeout);
  up.ReconnectSerialPort = P.Link == TLinkKind::Serial;
  // A firmware carries its build string; after a lost install answer the device's build
  // identifier is what tells the new firmware from the old one.
  std::string plain = Image(P.ImageBytes, P.Seed);
  if (plain.size() >= 64) {
    char build[12];
    std::snprintf(build, sizeof build, "Build:%05u", static_cast<unsigned>(P.Seed % 100000));
    plain.replace(32, 11, build, 11);
  }
  std::string scrambled = plain;
  ScrambleImage(scrambled, P.FWAddress);

  TRunOutcome out;
  b.Connect();
  b.ArmTriggers(P);
  out.First = Upload(b, up, P, scrambled, plain);
  if (O.Trace) b.PrintTrace();
  if (out.First.End == TEnd::Ok) return out;
  // As a technician would: switch the connection off, wait for the device, and try again.
  out.Reran = true;
  b.CleanUp();
  b.Connect();
  const std::size_t logged = b.dev.RequestLog.size();
  out.Rerun = Upload(b, up, P, scrambled, plain);
  if (O.Trace) {
    std::printf("---- clean rerun\n");
    for (std::size_t i = logged; i < b.dev.RequestLog.size(); ++i) std::printf("%s\n", b.dev.RequestLog[i].c_str());
  }
  return out;
}

// ---- Flash -----------------------------------------------------------------------------------

struct TFlashEnd {
  std::vector<TFlashRWResult> results;
  std::string data;
};

TAttempt FlashOnce(TBench& B, TFlashReaderWriter& Rw, const TFaultPlan& P, const std::string& Data) {
  TAttempt a;
  TFlashEnd w, r;
  Rw.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult R) { w.results.push_back(R); };
  Rw.OnReadingDone = [&](TFlashReaderWriter*, TFlashRWResult R, std::string& S) {
    r.results.push_back(R);
    r.data = S;
  };
  const std::size_t at = static_cast<std::size_t>(P.StartPage) * P.FlashPageSize;
  const int64_t start = B.loop.nowMs();
  auto check = [&](TFlashEnd& E, bool Read) -> bool {
    if (E.results.empty()) {
      a.End = TEnd::Hang;
      a.Detail = std::string(Read ? "read" : "write") + ": no end within the bound";
      Rw.Abort();
      return false;
    }
    a.Result = static_cast<int>(E.results.front());
    a.ResultName = std::string(Read ? "read " : "write ") + FlashResultName(E.results.front());
    if (E.results.size() > 1 || E.results.front() == TFlashRWResult::freAborted || a.Result < 0 ||
        a.Result > static_cast<int>(TFlashRWResult::freInvalidAnswer)) {
      a.End = TEnd::Undocumented;
      a.Detail = std::to_string(E.results.size()) + " ends reported";
      return false;
    }
    return true;
  };
  try {
    a.BoundMs = FlashBoundMs(P, *B.comms, Data.size(), false);
    Rw.WriteFlashFromStr(P.StartPage, Data);
    B.loop.runUntil([&] { return !w.results.empty(); }, a.BoundMs);
    if (!w.results.empty()) B.loop.advance(kSettleMs);
    if (!check(w, false)) return a;
    const bool fits = at + Data.size() <= B.dev.Flash().size();
    if (w.results.front() == TFlashRWResult::freOk && !P.FlashTurbo &&
        (!fits || B.dev.Flash().compare(at, Data.size(), Data) != 0)) {
      a.End = TEnd::Corrupt;
      a.Detail = "write reported success, the flash differs";
      return a;
    }
    const bool written = w.results.front() == TFlashRWResult::freOk;
    // Read back what is there, whatever the write did.
    const int64_t readStart = B.loop.nowMs();
    a.BoundMs += FlashBoundMs(P, *B.comms, Data.size(), true);
    Rw.ReadFlashToStr(P.StartPage, static_cast<uint32_t>(Data.size()));
    B.loop.runUntil([&] { return !r.results.empty(); }, a.BoundMs - (readStart - start));
    if (!r.results.empty()) B.loop.advance(kSettleMs);
    a.VirtualMs = B.loop.nowMs() - start;
    if (!check(r, true)) return a;
    if (r.results.front() == TFlashRWResult::freOk) {
      const std::string there = at < B.dev.Flash().size() ? B.dev.Flash().substr(at, Data.size()) : std::string();
      if (r.data != there) {
        a.End = TEnd::Corrupt;
        a.Detail = "read reported success, the data differs from the flash";
        return a;
      }
    }
    if (!written || r.results.front() != TFlashRWResult::freOk) {
      a.End = TEnd::Failed;
      a.Result = static_cast<int>(written ? r.results.front() : w.results.front());
      a.ResultName = written ? "read " + FlashResultName(r.results.front()) : "write " + FlashResultName(w.results.front());
      return a;
    }
    if (r.data != Data) {
      // A turbo write is not confirmed page by page; the read tells what arrived.
      a.End = TEnd::Failed;
      a.ResultName = "turbo write incomplete";
      return a;
    }
    a.End = TEnd::Ok;
    a.ResultName = "Ok";
  } catch (const std::exception& e) {
    a.End = TEnd::Undocumented;
    a.Detail = std::string("exception: ") + e.what();
  }
  return a;
}

TRunOutcome RunFlash(const TFaultPlan& P, const TRunOptions& O) {
  TBench b(P, O.Trace);
  TFlashReaderWriter rw;
  rw.SetKRVPort(b.comms.get());
  rw.KRVAddress = static_cast<int32_t>(kDeviceAddress);
  rw.FlashPageSize = static_cast<int32_t>(P.FlashPageSize);
  rw.BlockSize = P.ReadBlockSize;
  rw.TurboMode = P.FlashTurbo;
  const std::string data = Image(P.FlashBytes, P.Seed);
  // What was in the flash before: another pattern, so that a page never written shows.
  std::string& flash = b.dev.Flash();
  const std::string before = Image(flash.size(), P.Seed ^ 0x5555);
  flash = before;

  TRunOutcome out;
  b.Connect();
  b.ArmTriggers(P);
  out.First = FlashOnce(b, rw, P, data);
  if (O.Trace) b.PrintTrace();
  if (out.First.End == TEnd::Ok) return out;
  out.Reran = true;
  b.CleanUp();
  b.Connect();
  rw.TurboMode = false;  // the technician repeats the write with answers
  TFaultPlan clean = P;
  clean.FlashTurbo = false;
  out.Rerun = FlashOnce(b, rw, clean, data);
  return out;
}

}  // namespace

TRunOutcome RunPlan(const TFaultPlan& Plan, const TRunOptions& Options) {
  return Plan.Target == TTarget::Upload ? RunUpload(Plan, Options) : RunFlash(Plan, Options);
}

}  // namespace vornik::soak
