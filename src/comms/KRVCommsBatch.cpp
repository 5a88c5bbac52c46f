#include "comms/KRVCommsBatch.h"

#include <algorithm>
#include <cstdio>

#include "codec/KRVCommands.h"
#include "logging/logUnit.h"
#include "util/MorvelUtils.h"

namespace vornik {

namespace {

constexpr uint8_t kMaxSlot = 250;  ///< re-send search bound (indexes above 240 stay empty)

std::string Dump(const TKuldendo* Item) { return DecimalDump(Item->Pck); }

}  // namespace

TKRVCommsBatch::~TKRVCommsBatch() {
  state_ = bsDestroying;
  Abort();
}

void TKRVCommsBatch::SetBatchSize(int32_t Value) {
  if (Value < 1) Value = 1;
  if (Value > kLastBatchIndex) Value = kLastBatchIndex;
  batchSize_ = Value;
}

void TKRVCommsBatch::Send(TKuldendo* Item) {
  if (state_ != bsReady) throw EKRVCommsBatch("TKRVCommsBatch: Not ready for sending.");
  if (Item == nullptr) throw EKRVCommsBatch("TKRVCommsBatch: Unassigned packet.");
  if (KRVPort == nullptr) throw EKRVCommsBatch("TKRVCommsBatch: Unassigned KRVPort.");
  if (batchSize_ >= 2 && (!Item->OnResult || Item->Options.Contains(psoTaggedCallbacks)))
    throw EKRVCommsBatch("TKRVCommsBatch: Unassigned or unused OnResult field in packet: " + Dump(Item));
  if (curIndex_ == 0 || curIndex_ > kLastBatchIndex)
    throw EKRVCommsBatch("TKRVCommsBatch: Internal error - invalid packet index: " + std::to_string(curIndex_) +
                         ". Packet: " + Dump(Item));
  if (Item->Options.Contains(psoBatchStart) && curIndex_ != 1)
    throw EKRVCommsBatch("TKRVCommsBatch: Unclosed batch session. Packet: " + Dump(Item));

  if (batchSize_ < 2) {
    Item->SendWith(KRVPort);
    return;
  }

  Item->BatchOnResult = Item->OnResult;
  Item->OnResult = TOnResult(this, &TKRVCommsBatch::OnPacketResult);
  Item->BatchAns = Item->Ans;
  Item->Ans.clear();
  Item->BatchOptions = Item->Options;
  Item->Options.Exclude({psoForceAck, psoDontWait, psoDontQueue});
  Item->Options.Include({psoKeepItem, psoDontAck, psoForceWait, psoKeepPckID, psoNoLineTimeout});
  Item->BatchTimeout = Item->Timeout;
  // Handed over at once (the previous packet's pause has just ended): on a serial line the pause
  // lasts while the port still holds more than this packet, so the next one goes before the line
  // runs dry and never finds the output buffer full.
  Item->Timeout = std::max(TimeBetweenPcks, KRVPort->LinePaceMs(Item->Pck.size()));
  Item->CsomagSorszam = curIndex_;
  const uint8_t slot = curIndex_;
  slots_[slot] = Item;

  try {
    if (curIndex_ == 1) {
      KRVPort->BatchMode = true;
      batchModeSet_ = true;
      if (Item->BatchOptions.Contains(psoBatchStart)) {
        resendCount_ = 0;
        state_ = bsOpening;
        SendOpener();
      } else {
        state_ = bsClearing;
        SendClear();
      }
    } else {
      state_ = bsSending;
      SendSlot();
    }
  } catch (...) {
    // The engine refused by raising (misuse): the item goes back to the caller as it came, and
    // the batch forgets it, so no one owns it twice.
    if (slots_[slot] == Item) {
      slots_[slot] = nullptr;
      Item->OnResult = Item->BatchOnResult;
      Item->Ans = Item->BatchAns;
      Item->Options = Item->BatchOptions;
      Item->Timeout = Item->BatchTimeout;
    }
    if (slot == 1 && batchModeSet_) {
      KRVPort->BatchMode = false;
      batchModeSet_ = false;
    }
    if (state_ != bsDestroying) state_ = bsReady;
    throw;
  }
}

TKuldendo* TKRVCommsBatch::SendOwnPacket(const char* Pck, const std::string& Ans, uint8_t Id, bool KeepId,
                                         TKRVSendOptions Options, int32_t Timeout, TOnResult Handler) {
  auto* item = new TKuldendo(Pck, static_cast<uint32_t>(KRVAddress));
  item->Ans = Ans;
  item->Options = Options;
  if (KeepId) item->CsomagSorszam = Id;
  item->Timeout = Timeout;
  item->OnResult = std::move(Handler);
  item->SendWith(KRVPort);
  return item;
}

void TKRVCommsBatch::SendOpener() {
  FreeOpener();
  // Kept (psoKeepItem) so that its result handler can read the engine's psoAcked mark.
  opener_ = new TKuldendo("x", static_cast<uint32_t>(KRVAddress));
  opener_->Ans = std::string(kAnyAnswer);
  opener_->Options = TKRVSendOptions{psoKeepPckID, psoForceAck, psoKeepItem};
  opener_->CsomagSorszam = kBatchOpenerId;
  opener_->OnResult = TOnResult(this, &TKRVCommsBatch::OnOpenerResult);
  opener_->SendWith(KRVPort);
}

void TKRVCommsBatch::FreeOpener() {
  delete opener_;
  opener_ = nullptr;
}

void TKRVCommsBatch::SendClear() {
  SendOwnPacket("CSYCA", "", kCSYCAId, true, TKRVSendOptions{psoKeepPckID, psoForceAck}, 0,
                TOnResult(this, &TKRVCommsBatch::OnClearResult));
}

void TKRVCommsBatch::SendQuery(bool WithHandler) {
  TKRVSendOptions options{psoDontAck, psoNewIDOnRepeat};
  if (CSYGATimeout > 0) options.Include({psoNoLineTimeout});
  SendOwnPacket("CSYGA", std::string(kASYGA), 0, false, options, CSYGATimeout > 0 ? CSYGATimeout : 0,
                WithHandler ? TOnResult(this, &TKRVCommsBatch::OnQueryResult) : TOnResult());
}

void TKRVCommsBatch::SendSlot() { slots_[curIndex_]->SendWith(KRVPort); }

void TKRVCommsBatch::OnOpenerResult(TKRVComms*, const std::string&, uint16_t ErrorCode, int32_t, int32_t) {
  const bool acknowledged = opener_ != nullptr && opener_->Options.Contains(psoAcked);
  FreeOpener();
  if (Stopping()) return;
  if (ErrorCode == ecNoAnswer && acknowledged) ErrorCode = ecOk;  // acknowledged, no answer: opened
  if (ErrorCode != ecOk) {
    state_ = bsReady;
    FinishBatch(ErrorCode);
    return;
  }
  state_ = bsClearing;
  SendClear();
}

void TKRVCommsBatch::OnClearResult(TKRVComms*, const std::string&, uint16_t ErrorCode, int32_t, int32_t) {
  if (Stopping()) return;
  if (ErrorCode != ecOk) {
    state_ = bsReady;
    FinishBatch(ErrorCode);
    return;
  }
  state_ = bsSending;
  SendSlot();
}

void TKRVCommsBatch::OnPacketResult(TKRVComms* Sender, const std::string&, uint16_t ErrorCode, int32_t, int32_t) {
  if (Stopping()) return;
  TKuldendo* item = slots_[curIndex_];
  if (item == nullptr) return;  // cannot happen while a packet is out; kept for safety
  if (curIndex_ >= batchSize_ || item->BatchOptions.Contains(psoBatchEnd)) {
    state_ = bsQuerying;
    KRVPort->BatchMode = false;
    batchModeSet_ = false;
    SendQuery(true);
    return;
  }
  ++curIndex_;
  state_ = bsReady;
  // The slot keeps the item (the batch owns it until the batch ends); copy what the call needs.
  TOnResult callback = item->BatchOnResult;
  const std::string answer = item->BatchAnswer;
  const int32_t tag = item->Tag;
  const int32_t objTag = item->ObjTag;
  if (callback) callback(Sender != nullptr ? Sender : KRVPort, answer, ErrorCode, tag, objTag);
}

void TKRVCommsBatch::OnQueryResult(TKRVComms*, const std::string& S, uint16_t ErrorCode, int32_t, int32_t) {
  if (Stopping()) return;
  if (ErrorCode != ecOk) {
    state_ = bsReady;
    FinishBatch(ErrorCode);
    return;
  }
  // The map is the 32 bytes after "ASYGA"; bytes a short answer lacks count as missing.
  const std::string map = S.size() > kCodeLength ? S.substr(kCodeLength, kReceiptMapLength) : std::string();
  failedList_.clear();
  for (unsigned i = 0; i < slots_.size(); ++i) {
    TKuldendo* item = slots_[i];
    if (item == nullptr) continue;
    const unsigned byte = i / 8;
    const uint16_t value = byte < map.size() ? static_cast<uint8_t>(map[byte]) : 0;
    item->BatchDelivered = IsBitSet(value, i % 8);
    if (!item->BatchDelivered) {
      PrepareResend(item);
      char buf[8];
      std::snprintf(buf, sizeof buf, "%.3u ", i);
      failedList_ += buf;
    }
  }
  if (!failedList_.empty()) KRVPort->LogMsg("Sikertelen csomagok: " + failedList_, 0);
  ResendNext();
}

void TKRVCommsBatch::OnResendResult(TKRVComms*, const std::string&, uint16_t ErrorCode, int32_t, int32_t) {
  if (Stopping()) return;
  if (ErrorCode != ecOk) {
    state_ = bsReady;
    FinishBatch(ErrorCode);
    return;
  }
  if (slots_[resendIndex_] != nullptr) slots_[resendIndex_]->BatchDelivered = true;
  ResendNext();
}

void TKRVCommsBatch::PrepareResend(TKuldendo* Item) {
  Item->Ans = Item->BatchAns;
  Item->Options = Item->BatchOptions;
  Item->Options.Include({psoKeepItem});
  Item->Timeout = Item->BatchTimeout;
  Item->OnResult = TOnResult(this, &TKRVCommsBatch::OnResendResult);
}

void TKRVCommsBatch::ResendNext() {
  for (unsigned i = 1; i <= kMaxSlot; ++i) {
    TKuldendo* item = slots_[i];
    if (item == nullptr || item->BatchDelivered) continue;
    resendIndex_ = static_cast<uint8_t>(i);
    state_ = bsResending;
    ++item->BatchResends;
    ++resendCount_;
    item->SendWith(KRVPort);
    return;
  }
  state_ = bsReady;
  FinishBatch(ecOk);
}

void TKRVCommsBatch::FinishBatch(uint16_t ErrorCode) {
  TKuldendo* last = slots_[curIndex_];
  TOnResult callback;
  std::string answer;
  int32_t tag = 0;
  int32_t objTag = 0;
  if (last != nullptr) {
    callback = last->BatchOnResult;
    answer = last->BatchAnswer;
    tag = last->Tag;
    objTag = last->ObjTag;
  }
  if (batchModeSet_ && KRVPort != nullptr) {
    // A batch that fails before its receipt query must not leave the engine in batch mode.
    KRVPort->BatchMode = false;
    batchModeSet_ = false;
  }
  FreeSlots();
  curIndex_ = 1;
  if (callback) callback(KRVPort, answer, ErrorCode, tag, objTag);
}

void TKRVCommsBatch::FreeSlots() {
  for (auto& slot : slots_) {
    delete slot;
    slot = nullptr;
  }
}

void TKRVCommsBatch::Abort() {
  if (KRVPort != nullptr) {
    if (state_ == bsClearing || state_ == bsSending || state_ == bsQuerying) SendQuery(false);
    if (state_ != bsDestroying) state_ = bsAborting;
    KRVPort->CancelOnResult(TOnResult(this, &TKRVCommsBatch::OnOpenerResult));
    KRVPort->CancelOnResult(TOnResult(this, &TKRVCommsBatch::OnClearResult));
    KRVPort->CancelOnResult(TOnResult(this, &TKRVCommsBatch::OnPacketResult));
    KRVPort->CancelOnResult(TOnResult(this, &TKRVCommsBatch::OnQueryResult));
    KRVPort->CancelOnResult(TOnResult(this, &TKRVCommsBatch::OnResendResult));
    if (batchModeSet_) {
      KRVPort->BatchMode = false;
      batchModeSet_ = false;
    }
  }
  FreeSlots();
  FreeOpener();  // out of the engine's queue now (cancelled above), or never sent
  curIndex_ = 1;
  if (state_ != bsDestroying) state_ = bsReady;
}

}  // namespace vornik
