#include "sim/SimDialIn.h"

#include "codec/KRVProtocol.h"

namespace vornik {

bool TSimDialIn::HangUpDue(int64_t NowMs) {
  if (dev_.TakeHangUp()) {
    // Answered and hung up at once, as a device restarting into another program: it calls back
    // once started, announcing itself.
    restarted_ = true;
    redialAt_ = NowMs + dev_.Config.RestartMs;
    return true;
  }
  if (dev_.Restarts() != restarts_) {
    restarts_ = dev_.Restarts();
    installs_ = dev_.Installs();
    restarted_ = true;
    redialAt_ = NowMs + dev_.Config.RestartMs;
    return true;
  }
  // An install restarts into the new program once its answer has gone out.
  if (dev_.Installs() != installs_ && !dev_.NextWakeMs()) {
    installs_ = dev_.Installs();
    restarted_ = true;
    redialAt_ = NowMs + dev_.Config.RestartMs;
    return true;
  }
  return false;
}

std::string TSimDialIn::Connected(int64_t NowMs) {
  redialAt_.reset();
  ++dials_;
  dev_.LinkUp();
  const bool announce = announceFirst_ || restarted_;
  restarted_ = false;
  return announce ? AnnounceFrame(NowMs) : std::string();
}

std::string TSimDialIn::AnnounceFrame(int64_t NowMs) {
  TKRVProtocol enc;
  enc.KRVMode = TKRVMode::PMKRVWOnly;
  enc.Felado = dev_.Config.Address;
  enc.Cimzett = kPCAddress;
  enc.Info = TInfo::nem_kerek_nyugtat;
  enc.CsomagSorszam = nextId_;
  nextId_ = static_cast<uint8_t>(nextId_ >= 240 ? 1 : nextId_ + 1);
  return enc.Encode("ESYSI" + dev_.IdentityRecord(NowMs));
}

}  // namespace vornik
