// vornik-soak: a fault campaign on the virtual clock. Each run draws a fault plan from the seed
// and runs the real uploader (or the flash reader/writer) and engine against the simulated device
// over an in-memory line; after a failure it tries once more on a clean line from the state the
// device was left in. The checks: no success without the right image in the device (or the
// right data read back), no run without an end, no end other than one documented result, no
// failure that a clean rerun does not repair, and no memory kept from one run to the next.
//
//   vornik-soak --uploads N --seed S [--mode normal|batched|safe-turbo|all]
//               [--link serial|tcp|gprs|all] [--target upload|flash] [--verbose] [--only K]
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "soak/SoakPlan.h"
#include "soak/SoakRun.h"

// ---- Heap accounting: live bytes and the peak, for the memory check ---------------------------

namespace {
std::atomic<int64_t> gLive{0};
std::atomic<int64_t> gPeak{0};

void* Allocate(std::size_t N) {
  void* p = std::malloc(N == 0 ? 1 : N);
  if (p == nullptr) throw std::bad_alloc();
  const int64_t live = gLive.fetch_add(static_cast<int64_t>(malloc_usable_size(p))) +
                       static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = gPeak.load(std::memory_order_relaxed);
  while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void Release(void* P) {
  if (P == nullptr) return;
  gLive.fetch_sub(static_cast<int64_t>(malloc_usable_size(P)));
  std::free(P);
}
}  // namespace

void* operator new(std::size_t N) { return Allocate(N); }
void* operator new[](std::size_t N) { return Allocate(N); }
void* operator new(std::size_t N, const std::nothrow_t&) noexcept {
  try {
    return Allocate(N);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t N, const std::nothrow_t&) noexcept {
  try {
    return Allocate(N);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* P) noexcept { Release(P); }
void operator delete[](void* P) noexcept { Release(P); }
void operator delete(void* P, std::size_t) noexcept { Release(P); }
void operator delete[](void* P, std::size_t) noexcept { Release(P); }
void operator delete(void* P, const std::nothrow_t&) noexcept { Release(P); }
void operator delete[](void* P, const std::nothrow_t&) noexcept { Release(P); }

namespace {

using namespace vornik::soak;

void Usage() {
  std::fprintf(stderr,
               "usage: vornik-soak --uploads N --seed S [--mode normal|batched|safe-turbo|all]\n"
               "                   [--link serial|tcp|gprs|all] [--target upload|flash] [--verbose] [--only K]\n"
               "  --uploads N  runs in the campaign (uploads, or write-and-read-back runs with --target flash)\n"
               "  --seed S     the campaign's seed; a run's faults depend only on S and its index\n"
               "  --only K     repeat run K alone, printing its fault plan and packet log\n");
}

bool ParseCount(const char* Text, uint64_t& Out) {
  if (Text == nullptr || *Text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(Text, &end, 0);
  if (errno != 0 || *end != '\0' || Text[0] == '-') return false;
  Out = v;
  return true;
}

struct TRow {
  int Runs = 0, Ok = 0, Failed = 0, Recovered = 0, Corrupt = 0, Hang = 0, Undocumented = 0, Unrecovered = 0;
  std::map<std::string, int> ByResult;
};

const char* EndName(TEnd E) {
  switch (E) {
    case TEnd::Ok: return "ok";
    case TEnd::Failed: return "failed";
    case TEnd::Corrupt: return "SILENT CORRUPTION";
    case TEnd::Hang: return "HANG";
    case TEnd::Undocumented: return "UNDOCUMENTED";
  }
  return "?";
}

std::string AttemptText(const TAttempt& A) {
  std::string s = A.ResultName.empty() ? EndName(A.End) : A.ResultName;
  if (A.End != TEnd::Ok && A.End != TEnd::Failed) s = std::string(EndName(A.End)) + " (" + A.Detail + ")";
  char buf[64];
  std::snprintf(buf, sizeof buf, " in %.1f s", static_cast<double>(A.VirtualMs) / 1000.0);
  return s + buf;
}

bool Bad(TEnd E) { return E == TEnd::Corrupt || E == TEnd::Hang || E == TEnd::Undocumented; }

}  // namespace

int main(int argc, char** argv) {
  TCampaignOptions options;
  uint64_t runs = 0;
  bool haveRuns = false, haveSeed = false, verbose = false;
  long long only = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t n = 0;
    if (a == "--uploads" && ParseCount(v, n) && n > 0 && n <= 100000000) {
      runs = n;
      haveRuns = true;
      ++i;
    } else if (a == "--seed" && ParseCount(v, n)) {
      options.Seed = n;
      haveSeed = true;
      ++i;
    } else if (a == "--only" && ParseCount(v, n) && n <= 100000000) {
      only = static_cast<long long>(n);
      ++i;
    } else if (a == "--mode" && v != nullptr) {
      const std::string m = v;
      if (m == "normal") options.Modes = {TMode::Normal};
      else if (m == "batched") options.Modes = {TMode::Batched};
      else if (m == "safe-turbo") options.Modes = {TMode::SafeTurbo};
      else if (m != "all") {
        std::fprintf(stderr, "vornik-soak: unknown mode \"%s\"\n", v);
        Usage();
        return 2;
      }
      ++i;
    } else if (a == "--link" && v != nullptr) {
      const std::string l = v;
      if (l == "serial") options.Links = {TLinkKind::Serial};
      else if (l == "tcp") options.Links = {TLinkKind::Tcp};
      else if (l == "gprs") options.Links = {TLinkKind::Gprs};
      else if (l != "all") {
        std::fprintf(stderr, "vornik-soak: unknown link \"%s\"\n", v);
        Usage();
        return 2;
      }
      ++i;
    } else if (a == "--target" && v != nullptr && (std::strcmp(v, "upload") == 0 || std::strcmp(v, "flash") == 0)) {
      options.Target = std::strcmp(v, "flash") == 0 ? TTarget::Flash : TTarget::Upload;
      ++i;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "vornik-soak: bad or incomplete option \"%s\"\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (!haveSeed || (!haveRuns && only < 0)) {
    std::fprintf(stderr, "vornik-soak: --seed and --uploads (or --only) are required\n");
    Usage();
    return 2;
  }
  const bool flash = options.Target == TTarget::Flash;

  if (only >= 0) {
    const TFaultPlan plan = DrawPlan(options, static_cast<int>(only));
    std::printf("%s", plan.Describe().c_str());
    TRunOptions ro;
    ro.Trace = true;
    const TRunOutcome o = RunPlan(plan, ro);
    std::printf("---- first attempt: %s\n", AttemptText(o.First).c_str());
    if (o.Reran) std::printf("---- clean rerun: %s\n", AttemptText(o.Rerun).c_str());
    const bool bad = Bad(o.First.End) || (o.Reran && o.Rerun.End != TEnd::Ok);
    return bad ? 1 : 0;
  }

  std::vector<std::string> order{"clean"};
  for (unsigned k = 0; k < fkCount; ++k) order.emplace_back(FaultKindName(k));
  order.emplace_back("combined");
  if (!flash) order.emplace_back("cut sweep");
  std::map<std::string, TRow> rows;
  TRow total;

  const auto wallStart = std::chrono::steady_clock::now();
  const int64_t liveAtStart = gLive.load();
  int64_t largestRun = 0;
  for (uint64_t k = 0; k < runs; ++k) {
    const TFaultPlan plan = DrawPlan(options, static_cast<int>(k));
    const int64_t before = gLive.load();
    gPeak.store(before);
    TRunOutcome o = RunPlan(plan, TRunOptions{});
    largestRun = std::max(largestRun, gPeak.load() - before);

    TRow& row = rows[plan.Label];
    for (TRow* r : {&row, &total}) {
      ++r->Runs;
      switch (o.First.End) {
        case TEnd::Ok: ++r->Ok; break;
        case TEnd::Failed:
          ++r->Failed;
          ++r->ByResult[o.First.ResultName];
          break;
        case TEnd::Corrupt: ++r->Corrupt; break;
        case TEnd::Hang: ++r->Hang; break;
        case TEnd::Undocumented: ++r->Undocumented; break;
      }
      if (o.Reran) {
        if (o.Rerun.End == TEnd::Ok) {
          if (o.First.End == TEnd::Failed) ++r->Recovered;
        } else {
          ++r->Unrecovered;
          if (o.Rerun.End == TEnd::Corrupt) ++r->Corrupt;
          if (o.Rerun.End == TEnd::Hang) ++r->Hang;
          if (o.Rerun.End == TEnd::Undocumented) ++r->Undocumented;
        }
      }
    }
    const bool bad = Bad(o.First.End) || (o.Reran && o.Rerun.End != TEnd::Ok);
    if (verbose || bad) {
      std::printf("run %llu: %s, %s, %s: %s", static_cast<unsigned long long>(k),
                  flash ? (plan.FlashTurbo ? "flash turbo" : "flash") : ModeName(plan.Mode), LinkName(plan.Link),
                  plan.Label.c_str(), AttemptText(o.First).c_str());
      if (o.Reran) std::printf(" -> rerun %s", AttemptText(o.Rerun).c_str());
      std::printf("%s\n", bad ? "  [reproduce with --only]" : "");
      std::fflush(stdout);
    }
  }
  const double wallS =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const int64_t growth = gLive.load() - liveAtStart;
  const bool memoryOk = growth <= largestRun;

  std::printf("\n%-22s %6s %6s %6s %9s  %s\n", "fault kind", "runs", "ok", "failed", "recovered", "failed by result");
  for (const auto& name : order) {
    auto it = rows.find(name);
    if (it == rows.end()) continue;
    const TRow& r = it->second;
    std::string results;
    for (const auto& [n, c] : r.ByResult) results += (results.empty() ? "" : ", ") + n + " " + std::to_string(c);
    std::string bad;
    if (r.Corrupt + r.Hang + r.Undocumented + r.Unrecovered > 0)
      bad = "  (" + std::to_string(r.Corrupt) + " corrupt, " + std::to_string(r.Hang) + " hung, " +
            std::to_string(r.Undocumented) + " undocumented, " + std::to_string(r.Unrecovered) + " unrecovered)";
    std::printf("%-22s %6d %6d %6d %9d  %s%s\n", name.c_str(), r.Runs, r.Ok, r.Failed, r.Recovered, results.c_str(),
                bad.c_str());
  }
  std::printf("\nseed %llu, %s, %.1f s wall time\n", static_cast<unsigned long long>(options.Seed),
              flash ? "flash write and read back" : "uploads", wallS);
  std::printf("memory: %lld bytes kept after the campaign, largest single run %lld bytes: %s\n",
              static_cast<long long>(growth), static_cast<long long>(largestRun), memoryOk ? "ok" : "GROWTH");
  std::printf("%llu %s: %d ok, %d failed with a documented result, %d recovered on rerun, %d silent corruptions, "
              "%d hangs, %d undocumented, %d unrecovered\n",
              static_cast<unsigned long long>(runs), flash ? "flash runs" : "uploads", total.Ok, total.Failed,
              total.Recovered, total.Corrupt, total.Hang, total.Undocumented, total.Unrecovered);
  const bool failed = total.Corrupt + total.Hang + total.Undocumented + total.Unrecovered > 0 || !memoryOk;
  return failed ? 1 : 0;
}
