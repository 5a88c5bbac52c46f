// TKRVCommsBatch sends a run of packets to one device without a per-packet acknowledgement, then
// asks the device which of them arrived and re-sends only the missing ones.
//
// Theory of operation. A caller hands packets one at a time with SendWith(batch). Each packet is
// rewritten (no acknowledgement, a pause instead of an answer, the batch index 1..240 as packet
// id, kept by the batch) and parked in Slots[CurIndex]. The pause is TimeBetweenPcks, or on a
// serial line at least as long as the engine's line model says the port holds more than one
// packet: the next packet is handed over while the previous one is still going out, so the line
// stays busy, yet the packets never pile up in the port's output buffer (which refuses what does
// not fit) and the receipt query does not wait behind kilobytes still queued. The first packet of a
// batch is preceded by the session opener "x" (only for a packet with psoBatchStart) and by the
// receipt clear "CSYCA". After each written packet the caller's own OnResult runs with the
// packet's BatchAnswer, as if the device had answered, so the caller produces the next packet.
// When the batch is full (BatchSize) or a packet carries psoBatchEnd, "CSYGA" asks for the
// receipt map; every packet the map shows missing is restored to the caller's own options and
// re-sent, lowest index first, waiting for its normal answer. The whole batch is then reported
// through the OnResult of its last packet, with 0 or the ErrorCode of the step that failed.
//
// The session opener counts as done when the device answers it or only acknowledges it: an
// acknowledged opener whose answer does not come is not a failure. The batch keeps the opener item
// to see the acknowledgement mark the engine puts on it.
//
// Invariants: Send accepts a packet only in bsReady; the batch owns every item in its slots and
// frees them all when the batch ends or is aborted; every state change happens before a callback
// runs, because the caller sends its next packet from inside that callback. Abort reports nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "comms/KRVComms.h"

namespace vornik {

/// Misuse of the batch sender (a Send it cannot take).
class EKRVCommsBatch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TKRVCommsBatch {
 public:
  enum TBatchState { bsReady, bsOpening, bsClearing, bsSending, bsQuerying, bsResending, bsAborting, bsDestroying };

  TKRVCommsBatch() = default;
  ~TKRVCommsBatch();
  TKRVCommsBatch(const TKRVCommsBatch&) = delete;
  TKRVCommsBatch& operator=(const TKRVCommsBatch&) = delete;

  /// Takes one packet into the batch (ownership passes on success). Raises EKRVCommsBatch and
  /// leaves the item with the caller when it cannot.
  void Send(TKuldendo* Item);
  /// Stops the batch at once; no caller's OnResult is called.
  void Abort();

  TKRVComms* KRVPort = nullptr;  ///< engine that sends everything
  int32_t KRVAddress = 0;        ///< destination of the opener, "CSYCA" and "CSYGA"
  int32_t TimeBetweenPcks = 200;  ///< ms of silence after each batched packet
  int32_t CSYGATimeout = 0;      ///< ms; above 0 the receipt query's own time, without line time

  int32_t BatchSize() const { return batchSize_; }
  /// Clamped to 1..240; 1 turns batching off (packets go straight to the engine).
  void SetBatchSize(int32_t Value);

  TBatchState State() const { return state_; }
  uint8_t CurIndex() const { return curIndex_; }
  int32_t ResendCount() const { return resendCount_; }
  /// Indexes the last receipt map showed missing, each "%.3d ".
  const std::string& FailedList() const { return failedList_; }

 private:
  TKuldendo* SendOwnPacket(const char* Pck, const std::string& Ans, uint8_t Id, bool KeepId, TKRVSendOptions Options,
                           int32_t Timeout, TOnResult Handler);
  void FreeOpener();
  void SendOpener();
  void SendClear();
  void SendQuery(bool WithHandler);
  void SendSlot();
  void ResendNext();
  void PrepareResend(TKuldendo* Item);
  void FinishBatch(uint16_t ErrorCode);
  void FreeSlots();
  bool Stopping() const { return state_ == bsAborting || state_ == bsDestroying; }

  void OnOpenerResult(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t ObjTag);
  void OnClearResult(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t ObjTag);
  void OnPacketResult(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t ObjTag);
  void OnQueryResult(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t ObjTag);
  void OnResendResult(TKRVComms* Sender, const std::string& S, uint16_t ErrorCode, int32_t Tag, int32_t ObjTag);

  std::array<TKuldendo*, 256> slots_{};
  TBatchState state_ = bsReady;
  uint8_t curIndex_ = 1;
  uint8_t resendIndex_ = 0;
  int32_t resendCount_ = 0;
  int32_t batchSize_ = 50;
  std::string failedList_;
  bool batchModeSet_ = false;  ///< this batch switched the engine's BatchMode on
  TKuldendo* opener_ = nullptr;  ///< the session opener, kept to see whether it was acknowledged
};

}  // namespace vornik
