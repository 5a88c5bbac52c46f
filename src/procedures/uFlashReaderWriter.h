// TFlashReaderWriter reads a run of bytes from a device's external data flash into a string, or
// writes a string into it page by page, through the communication engine.
//
// Theory of operation. A read asks for at most BlockSize bytes per CFLRC request and never
// crosses a page: the request that ends a page is shorter and the next one starts the next page at
// offset 0. A write sends one CFLPW per page (FlashPageSize bytes; the last may be shorter). Each
// request is one packet; the procedure advances only inside its result handler, which classifies
// the answer into a TFlashRWResult and a retry counter: success clears it, a read or write error
// status adds one (the same page is tried again, at most three times), everything else gives up at
// once. Exactly one OnReadingDone or OnWritingDone fires for every started operation, also after
// Abort.
//
// Turbo writes do not wait for answers; on a serial line each page waits while the port still
// holds more than one page (the engine's line model), so the line stays busy and the pages do not
// pile up in the port's output buffer.
//
// Two guards against devices that would otherwise stall a read for ever: a read with BlockSize 0
// or FlashPageSize 0 or less is refused at the start, and an AFLRC answer that carries no data
// bytes is treated as an unexpected answer (freInvalidAnswer) instead of being asked for again
// without end. A short answer is kept and the next request continues right after the bytes that
// did arrive, so the data never lands shifted.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <memory>
#include <string>
#include <string_view>

#include "comms/KRVComms.h"

namespace vornik {

enum class TFlashRWResult : int {
  freOk = 0,
  freAborted,
  freKRVError,
  frePageIndexOutOfRange,
  freFlashWriteError,
  freFlashReadError,
  freInvalidAnswer,
};

std::string FlashRWResultToStr(TFlashRWResult Result);

class EFlashReaderWriter : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TFlashReaderWriter {
 public:
  enum class TOperation { Idle, Reading, Writing };

  using TOnReadingDone =
      std::function<void(TFlashReaderWriter* Sender, TFlashRWResult Result, std::string& ResultStr)>;
  using TOnWritingDone = std::function<void(TFlashReaderWriter* Sender, TFlashRWResult Result)>;
  using TOnPercentdone = std::function<void(TFlashReaderWriter* Sender, int PercentDone)>;

  TFlashReaderWriter() = default;
  ~TFlashReaderWriter();
  TFlashReaderWriter(const TFlashReaderWriter&) = delete;
  TFlashReaderWriter& operator=(const TFlashReaderWriter&) = delete;

  /// Reads Length bytes from StartPage on. Raises EFlashReaderWriter.
  void ReadFlashToStr(uint16_t StartPage, uint32_t Length);
  /// Writes Source from StartPage on. Raises EFlashReaderWriter.
  void WriteFlashFromStr(uint16_t StartPage, std::string_view Source);
  /// Stops the operation: OnReadingDone(freAborted, data so far) or OnWritingDone(freAborted).
  void Abort();

  TKRVComms* KRVPort() const { return krvPort_; }
  void SetKRVPort(TKRVComms* Port);

  int32_t KRVAddress = 0;
  int32_t FlashPageSize = 264;  ///< bytes per page (264 or 528)
  uint8_t BlockSize = 0;        ///< bytes per read request, 1..255
  bool TurboMode = false;       ///< writes without answers; page statuses ignored

  TOnReadingDone OnReadingDone;
  TOnWritingDone OnWritingDone;
  TOnPercentdone OnPercentDone;

  TOperation Operation() const { return operation_; }
  bool Idle() const { return operation_ == TOperation::Idle; }
  uint16_t LastErrorCode() const { return lastErrorCode_; }
  int LastStatus() const { return lastStatus_; }
  TFlashRWResult Result() const { return result_; }

 private:
  void Classify(const std::string& S, uint16_t ErrorCode, std::string_view Code);
  void ReadStep();
  void WriteStep();
  void OnReadResult(const std::string& S, uint16_t ErrorCode, int32_t Tag);
  void OnWriteResult(const std::string& S, uint16_t ErrorCode, int32_t Tag);
  void CancelOwnItems();

  TKRVComms* krvPort_ = nullptr;
  TOperation operation_ = TOperation::Idle;
  /// Counts started operations: a progress handler that aborts and starts another one leaves
  /// nothing of the old one to go on. Alive turns false when the reader/writer is destroyed.
  uint64_t run_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::string data_;
  uint32_t total_ = 0;
  uint32_t page_ = 0;
  uint32_t offset_ = 0;
  uint32_t requestSize_ = 0;
  std::size_t position_ = 1;  ///< write: 1-based index of the next page's data
  int retryCounter_ = 0;
  TFlashRWResult result_ = TFlashRWResult::freOk;
  int lastStatus_ = -1;  ///< -1 when the last answer had no status byte
  uint16_t lastErrorCode_ = 0;
  bool done_ = false;
};

}  // namespace vornik
