// Writes bytes into a device's external flash through the flash reader/writer and reads them back,
// on the virtual clock: the common round of the tests that put faults on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comms/KRVComms.h"
#include "procedures/uFlashReaderWriter.h"
#include "testkit/VirtualLoop.h"

namespace vornik::testkit {

struct TFlashRoundTrip {
  std::vector<TFlashRWResult> Results;  ///< of the write, then of the read
  std::string Read;
};

/// 264-byte pages, 255-byte read requests; each direction may take up to ten virtual minutes.
inline TFlashRoundTrip FlashRoundTrip(VirtualLoop& Loop, TKRVComms& Comms, uint16_t StartPage, const std::string& Data) {
  TFlashRoundTrip r;
  TFlashReaderWriter rw;
  rw.SetKRVPort(&Comms);
  rw.FlashPageSize = 264;
  rw.BlockSize = 255;
  rw.OnWritingDone = [&](TFlashReaderWriter*, TFlashRWResult R) { r.Results.push_back(R); };
  rw.OnReadingDone = [&](TFlashReaderWriter*, TFlashRWResult R, std::string& S) {
    r.Results.push_back(R);
    r.Read = S;
  };
  rw.WriteFlashFromStr(StartPage, Data);
  Loop.runUntil([&] { return r.Results.size() == 1; }, 600000);
  rw.ReadFlashToStr(StartPage, static_cast<uint32_t>(Data.size()));
  Loop.runUntil([&] { return r.Results.size() == 2; }, 600000);
  return r;
}

}  // namespace vornik::testkit
