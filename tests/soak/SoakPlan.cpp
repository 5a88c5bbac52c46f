#include "soak/SoakPlan.h"

#include <algorithm>
#include <cstdio>

namespace vornik::soak {

namespace {

constexpr int kSweepBlocks = 12;
constexpr std::size_t kSweepImageBytes = kSweepBlocks * 128 - 40;  ///< the last block is short

/// splitmix64: spreads (seed, index) into independent generator seeds.
uint64_t Mix(uint64_t X) {
  X += 0x9E3779B97F4A7C15ULL;
  X = (X ^ (X >> 30)) * 0xBF58476D1CE4E5B9ULL;
  X = (X ^ (X >> 27)) * 0x94D049BB133111EBULL;
  return X ^ (X >> 31);
}

class TDraw {
 public:
  explicit TDraw(uint64_t Seed) : rng_(Seed) {}
  double Real(double Lo, double Hi) { return std::uniform_real_distribution<double>(Lo, Hi)(rng_); }
  int64_t Int(int64_t Lo, int64_t Hi) { return std::uniform_int_distribution<int64_t>(Lo, Hi)(rng_); }
  bool Chance(double P) { return Real(0, 1) < P; }
  template <typename T>
  T Pick(const std::vector<T>& From) {
    return From[static_cast<std::size_t>(Int(0, static_cast<int64_t>(From.size()) - 1))];
  }

 private:
  std::mt19937_64 rng_;
};

std::string Fmt(const char* Format, auto... Args) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, Format, Args...);
  return std::string(buf, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

}  // namespace

const char* FaultKindName(unsigned Kind) {
  switch (Kind) {
    case fkLoss: return "frame loss";
    case fkBitErrors: return "bit errors";
    case fkTruncated: return "truncated/split";
    case fkGlued: return "glued frames";
    case fkDuplicates: return "duplicated answers";
    case fkStall: return "stalls";
    case fkLinkCut: return "link cut";
    case fkRestart: return "device restart";
    case fkPowerCut: return "power cut at install";
    case fkLostInstallAnswer: return "lost install answer";
    case fkRejectInstall: return "install rejected";
    case fkHangUp: return "hang-up after answer";
    default: return "?";
  }
}

const char* ModeName(TMode Mode) {
  switch (Mode) {
    case TMode::Normal: return "normal";
    case TMode::Batched: return "batched";
    case TMode::SafeTurbo: return "safe-turbo";
  }
  return "?";
}

const char* LinkName(TLinkKind Link) {
  switch (Link) {
    case TLinkKind::Serial: return "serial";
    case TLinkKind::Tcp: return "tcp";
    case TLinkKind::Gprs: return "gprs";
  }
  return "?";
}

int SweepRuns() { return kSweepBlocks; }
std::size_t SweepImageBytes() { return kSweepImageBytes; }

TFaultPlan DrawPlan(const TCampaignOptions& Options, int Index) {
  TFaultPlan p;
  p.Index = Index;
  p.Target = Options.Target;
  p.Seed = Mix(Options.Seed * 0x100000001B3ULL + static_cast<uint64_t>(Index) + (p.Target == TTarget::Flash ? 77 : 0));
  TDraw d(p.Seed);
  p.Mode = d.Pick(Options.Modes);
  p.Link = d.Pick(Options.Links);
  const bool upload = p.Target == TTarget::Upload;

  // The device.
  p.StartInBootloader = d.Chance(0.2);
  p.FirmwareAcceptsBlocks = d.Chance(0.7);
  p.SmallController = d.Chance(0.2);
  p.TurnaroundMs = d.Int(1, 20);
  p.RestartMs = d.Int(100, 1500);
  p.InstallMs = d.Int(0, 3000);
  p.FlashPageSize = d.Chance(0.5) ? 264 : 528;

  // The line, as a technician sets it up.
  switch (p.Link) {
    case TLinkKind::Serial:
      p.Baud = static_cast<int>(d.Pick(std::vector<int64_t>{115200, 115200, 57600, 38400}));
      p.LatencyMs = d.Int(0, 2);
      break;
    case TLinkKind::Tcp:
      p.LatencyMs = d.Int(1, 40);
      break;
    case TLinkKind::Gprs:
      p.Baud = 50000;  // 5 KB/s each way
      p.LatencyMs = d.Int(200, 600);
      p.LineTimeout = static_cast<int32_t>(2 * p.LatencyMs + 200);
      p.CSYGATimeout = 30000;
      break;
  }

  // What is sent.
  p.ImageBytes = Options.ImageBytes;
  p.BlockLength = d.Chance(0.5) ? 128 : 256;
  p.FWAddress = static_cast<int32_t>(d.Pick(std::vector<int64_t>{0, 0x4000, 0x8000}));
  p.BatchSize = p.Link == TLinkKind::Gprs ? static_cast<int32_t>(d.Int(20, 240)) : static_cast<int32_t>(d.Int(8, 60));
  p.FlashBytes = static_cast<std::size_t>(d.Int(1, 6000));
  p.StartPage = static_cast<uint16_t>(d.Int(0, 400));
  p.ReadBlockSize = static_cast<uint8_t>(d.Chance(0.5) ? 255 : d.Int(1, 255));
  p.FlashTurbo = d.Chance(0.25);

  const int steps = upload ? static_cast<int>((p.ImageBytes + 127) / 128)
                           : static_cast<int>(2 * (p.FlashBytes / p.FlashPageSize + 2));
  if (upload && Index < kSweepBlocks && Options.ImageBytes > kSweepImageBytes) {
    // The sweep: the small image, cut once after each of its blocks.
    p.Sweep = true;
    p.ImageBytes = kSweepImageBytes;
    p.BlockLength = 128;
    p.Kinds = 1U << fkLinkCut;
    p.Cut = true;
    p.CutAt = {Index + 1, d.Chance(0.5) ? -1 : d.Int(1000, 30000)};
    p.Label = "cut sweep";
    return p;
  }

  // Which faults: a few clean runs, mostly one kind, often several together.
  std::vector<unsigned> kinds;
  for (unsigned k = 0; k < fkCount; ++k) {
    if (k == fkBitErrors && p.Link != TLinkKind::Serial) continue;  // TCP carries a checksum of its own
    if ((k == fkPowerCut || k == fkLostInstallAnswer || k == fkRejectInstall) && !upload) continue;
    if (k == fkHangUp && p.Link == TLinkKind::Serial) continue;  // a serial line is not hung up
    kinds.push_back(k);
  }
  const double roll = d.Real(0, 1);
  if (roll < 0.05) {
    p.Kinds = 0;
  } else if (roll < 0.65) {
    p.Kinds = 1U << d.Pick(kinds);
  } else {
    const int n = static_cast<int>(d.Int(2, 3));
    while (__builtin_popcount(p.Kinds) < n) p.Kinds |= 1U << d.Pick(kinds);
  }

  if (p.Has(fkLoss)) {
    p.DropOut = d.Real(0, 0.10);
    p.DropIn = d.Real(0, 0.10);
  }
  if (p.Has(fkBitErrors)) p.BitErrors = d.Real(0.001, 0.05);
  if (p.Has(fkTruncated)) {
    if (p.Link == TLinkKind::Serial)
      p.Truncate = d.Real(0.002, 0.05);
    else
      p.Split = d.Real(0.05, 0.5);
  }
  if (p.Has(fkGlued)) p.Glue = d.Real(0.01, 0.2);
  if (p.Has(fkDuplicates)) p.Duplicate = d.Real(0.01, 0.1);
  if (p.Has(fkStall)) {
    const int n = static_cast<int>(d.Int(1, 2));
    for (int i = 0; i < n; ++i) p.Stalls.push_back({static_cast<int>(d.Int(0, steps)), d.Int(500, 20000)});
  }
  if (p.Has(fkLinkCut)) {
    p.Cut = true;
    p.CutAt = {static_cast<int>(d.Int(1, steps)), d.Chance(0.5) ? -1 : d.Int(1000, 60000)};
  }
  if (p.Has(fkRestart)) {
    p.Restart = true;
    p.RestartAt = {static_cast<int>(d.Int(1, steps)), 0};
  }
  if (p.Has(fkPowerCut)) {
    p.PowerCut = true;
    p.PowerCutCommitted = d.Chance(0.5);
    p.PowerOffMs = d.Int(500, 10000);
    p.InstallMs = std::max<int64_t>(p.InstallMs, 200);
  }
  if (p.Has(fkLostInstallAnswer)) {
    p.LoseInstallAnswer = true;
    p.InstallMs = std::max<int64_t>(p.InstallMs, 200);
  }
  if (p.Has(fkRejectInstall)) p.RejectInstall = true;
  if (p.Has(fkHangUp)) {
    p.HangUpAfterInstall = upload;
    p.HangUp = d.Chance(0.5) ? 0 : d.Real(0.002, upload ? 0.02 : 0.05);
  }
  if (p.Kinds == 0) {
    p.Label = "clean";
  } else if (__builtin_popcount(p.Kinds) > 1) {
    p.Label = "combined";
  } else {
    p.Label = FaultKindName(static_cast<unsigned>(__builtin_ctz(p.Kinds)));
  }
  return p;
}

std::string TFaultPlan::Describe() const {
  std::string s;
  s += Fmt("run %d, seed 0x%016llX, %s, %s link, faults: %s\n", Index, static_cast<unsigned long long>(Seed),
           Target == TTarget::Upload ? ModeName(Mode) : (FlashTurbo ? "flash turbo" : "flash"), LinkName(Link),
           Label.c_str());
  s += Fmt("  device: %s, firmware %s blocks, %s controller, answers after %lld ms, restart %lld ms, install %lld ms\n",
           StartInBootloader ? "bootloader runs" : "firmware runs", FirmwareAcceptsBlocks ? "takes" : "refuses",
           SmallController ? "small" : "ARM", static_cast<long long>(TurnaroundMs), static_cast<long long>(RestartMs),
           static_cast<long long>(InstallMs));
  s += Fmt("  line: %d baud, %lld ms latency, LineTimeout %d ms\n", Baud, static_cast<long long>(LatencyMs), LineTimeout);
  if (Target == TTarget::Upload) {
    s += Fmt("  image: %zu bytes at 0x%X, blocks of %d, batch %d\n", ImageBytes, FWAddress, BlockLength, BatchSize);
  } else {
    s += Fmt("  flash: %zu bytes from page %u, pages of %u, read blocks of %u\n", FlashBytes, unsigned{StartPage},
             FlashPageSize, unsigned{ReadBlockSize});
  }
  if (DropOut > 0 || DropIn > 0) s += Fmt("  loss: %.2f%% to the device, %.2f%% to the PC\n", DropOut * 100, DropIn * 100);
  if (BitErrors > 0) s += Fmt("  bit errors: %.2f%% of the frames each way\n", BitErrors * 100);
  if (Truncate > 0) s += Fmt("  truncated: %.2f%% of the frames each way\n", Truncate * 100);
  if (Split > 0) s += Fmt("  split in two: %.1f%% of the frames each way\n", Split * 100);
  if (Glue > 0) s += Fmt("  glued to the next: %.1f%% of the frames each way\n", Glue * 100);
  if (Duplicate > 0) s += Fmt("  answers twice: %.1f%%\n", Duplicate * 100);
  const char* unit = Target == TTarget::Upload ? "block" : "request";
  for (const auto& t : Stalls) s += Fmt("  stall of %lld ms at %s %d\n", static_cast<long long>(t.Ms), unit, t.AtStep);
  if (Cut) {
    if (CutAt.Ms < 0)
      s += Fmt("  link cut at %s %d for the rest of the run\n", unit, CutAt.AtStep);
    else
      s += Fmt("  link cut at %s %d for %lld ms\n", unit, CutAt.AtStep, static_cast<long long>(CutAt.Ms));
  }
  if (Restart) s += Fmt("  device restarts at %s %d\n", unit, RestartAt.AtStep);
  if (LoseInstallAnswer) s += "  the install answer is lost (its acknowledgement arrives)\n";
  if (RejectInstall) s += "  the bootloader refuses the image and starts the old firmware\n";
  if (HangUpAfterInstall) s += "  the device hangs up right after its install answer\n";
  if (HangUp > 0) s += Fmt("  the device hangs up right after %.1f%% of its answers\n", HangUp * 100);
  if (PowerCut)
    s += Fmt("  power cut during the install (%s), dark for %lld ms\n",
             PowerCutCommitted ? "image already written" : "image not written", static_cast<long long>(PowerOffMs));
  return s;
}

}  // namespace vornik::soak
