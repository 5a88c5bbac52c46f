// The fault plan of one soak run: everything that run does differently from a clean run, drawn
// from the campaign's seed and the run's index alone, so that any run can be repeated on its own
// (vornik-soak --only K) and prints the same plan and the same packet log.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vornik::soak {

enum class TMode { Normal, Batched, SafeTurbo };
enum class TLinkKind { Serial, Tcp, Gprs };
enum class TTarget { Upload, Flash };

/// What went wrong in a run; a plan holds any combination.
enum TFaultKind : unsigned {
  fkLoss = 0,     ///< frames lost each way
  fkBitErrors,    ///< bits flipped (serial lines only)
  fkTruncated,    ///< tails lost (serial) or frames split in two pieces (TCP)
  fkGlued,        ///< frames held back and glued to the next one
  fkDuplicates,   ///< answers arriving twice
  fkStall,        ///< the line carries nothing for 0.5-20 s
  fkLinkCut,      ///< the line dies (serial) or the device hangs up (TCP) at a block
  fkRestart,      ///< the device restarts by itself during the transfer
  fkPowerCut,     ///< the power fails during the install
  fkLostInstallAnswer,  ///< the install is acknowledged, its answer lost
  fkRejectInstall,      ///< the bootloader refuses the image and starts the old firmware again
  fkHangUp,             ///< the device answers and hangs up at once (TCP): after the install, or any answer
  fkCount
};

const char* FaultKindName(unsigned Kind);
const char* ModeName(TMode Mode);
const char* LinkName(TLinkKind Link);

struct TTrigger {
  int AtStep = 0;      ///< after the device has stored this many blocks (flash: handled requests)
  int64_t Ms = 0;
};

struct TFaultPlan {
  uint64_t Seed = 0;  ///< the run's own seed (engine, device, line)
  int Index = 0;
  TTarget Target = TTarget::Upload;
  TMode Mode = TMode::Normal;
  TLinkKind Link = TLinkKind::Serial;
  unsigned Kinds = 0;  ///< bit n: TFaultKind n
  bool Sweep = false;  ///< one run of the cut-at-every-block sweep over the small image
  std::string Label;   ///< the row of the summary table

  // Device.
  bool StartInBootloader = false;
  bool FirmwareAcceptsBlocks = true;
  bool SmallController = false;  ///< CPU type 20 and a 256-byte receive buffer: 128-byte blocks
  int64_t TurnaroundMs = 1;
  int64_t RestartMs = 300;
  int64_t InstallMs = 0;
  uint32_t FlashPageSize = 264;

  // Line.
  int Baud = 0;
  int64_t LatencyMs = 0;
  int32_t LineTimeout = 0;

  // Upload.
  std::size_t ImageBytes = 0;
  int32_t BlockLength = 128;
  int32_t FWAddress = 0;
  int32_t BatchSize = 50;
  int32_t CSYGATimeout = 0;

  // Flash.
  uint16_t StartPage = 0;
  std::size_t FlashBytes = 0;
  uint8_t ReadBlockSize = 255;
  bool FlashTurbo = false;

  // Faults.
  double DropOut = 0, DropIn = 0;  ///< engine -> device, device -> engine
  double BitErrors = 0;
  double Truncate = 0;
  double Split = 0;
  double Glue = 0;
  double Duplicate = 0;
  std::vector<TTrigger> Stalls;
  bool Cut = false;
  TTrigger CutAt;  ///< Ms < 0: for the rest of the run
  bool Restart = false;
  TTrigger RestartAt;
  bool PowerCut = false;
  bool PowerCutCommitted = false;
  int64_t PowerOffMs = 0;
  bool LoseInstallAnswer = false;
  bool RejectInstall = false;
  bool HangUpAfterInstall = false;  ///< the device hangs up right after its install answer
  double HangUp = 0;                ///< fraction of answers after which it hangs up

  bool Has(TFaultKind K) const { return (Kinds >> K) & 1U; }
  /// Several lines, one per setting that differs from a clean run.
  std::string Describe() const;
};

struct TCampaignOptions {
  uint64_t Seed = 1;
  TTarget Target = TTarget::Upload;
  std::vector<TMode> Modes{TMode::Normal, TMode::Batched, TMode::SafeTurbo};
  std::vector<TLinkKind> Links{TLinkKind::Serial, TLinkKind::Tcp, TLinkKind::Gprs};
  std::size_t ImageBytes = 64 * 1024;
};

/// Runs of the cut-at-every-block sweep at the start of an upload campaign (one per block of the
/// small image).
int SweepRuns();
/// Bytes of the sweep's small image.
std::size_t SweepImageBytes();

/// The plan of run Index of the campaign.
TFaultPlan DrawPlan(const TCampaignOptions& Options, int Index);

}  // namespace vornik::soak
