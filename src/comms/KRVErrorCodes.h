// The engine's ErrorCodes: every exchange ends with exactly one. The values are what callers,
// exit codes and log lines see, so they are fixed; the names only spare readers the table.
// Frame defects are the codec's decode result plus ecFrameErrorBase.
#pragma once

#include <cstdint>

namespace vornik {

enum TKRVErrorCode : uint16_t {
  ecOk = 0,
  ecWrongAddress = 1,       ///< a wrong address was given (not produced by the engine)
  ecNotActive = 2,          ///< the engine is not active (send refused, wait over while inactive)
  ecNoLink = 3,             ///< the link is not available
  ecOverflow = 4,           ///< queue full, slow-write buffer full, or the write failed
  ecNoAnswer = 5,           ///< the device did not answer (tries exhausted)
  ecLinkClosed = 6,         ///< the packet was not sent: the engine was deactivated
  ecWrongAnswer = 7,        ///< not the expected answer
  ecNotPaused = 8,          ///< psoFirstInQueue while an item is in flight
  ecEncodeFailed = 9,       ///< the frame could not be encoded
  ecPortInUse = 10,         ///< the serial port is used by another program
  ecPortMissing = 11,       ///< the serial port does not exist
  ecFrameErrorBase = 51,    ///< decode result + this = the frame defect's ErrorCode
  ecFrameChecksum = 52,     ///< bad checksum
  ecFrameTooBig = 53,       ///< frame too big
  ecFrameNoDelimiter = 54,  ///< start or stop byte missing
  ecFrameBadAddress = 55,   ///< bad address, or no valid serial number set in the device
  ecFrameLength = 56,       ///< data block length differs from the header
  ecFrameTooShort = 57,     ///< smaller than the smallest possible frame
  ecInternal = 99,          ///< internal error
};

}  // namespace vornik
