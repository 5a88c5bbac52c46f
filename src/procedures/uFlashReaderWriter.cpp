#include "procedures/uFlashReaderWriter.h"

#include <algorithm>
#include <cmath>

#include "codec/KRVCommands.h"

namespace vornik {

namespace {

constexpr int kGiveUp = 3;  ///< retry counter value that ends the operation

int Percent(double Part, double Whole) { return static_cast<int>(std::nearbyint(Part / Whole * 100.0)); }

}  // namespace

std::string FlashRWResultToStr(TFlashRWResult Result) {
  switch (Result) {
    case TFlashRWResult::freOk: return "A flash írása/olvasása befejeződött";
    case TFlashRWResult::freAborted: return "A flash írását/olvasását megszakította";
    case TFlashRWResult::freKRVError: return "Nincs kapcsolat, vagy a készülék nem válaszol.";
    case TFlashRWResult::frePageIndexOutOfRange: return "A flash méretén túl próbált írni vagy olvasni";
    case TFlashRWResult::freFlashWriteError: return "Az egyik lap felírásakor írási hiba történt";
    case TFlashRWResult::freFlashReadError: return "Az egyik lap olvasásakor olvasási hiba történt";
    case TFlashRWResult::freInvalidAnswer:
      return "A készülék nem a várt választ adta, ellenőrizze a készüléket és a rajta futó firmware-t";
  }
  return "";
}

TFlashReaderWriter::~TFlashReaderWriter() {
  *alive_ = false;
  if (krvPort_ != nullptr) CancelOwnItems();
}

void TFlashReaderWriter::SetKRVPort(TKRVComms* Port) {
  if (operation_ != TOperation::Idle && Port != krvPort_)
    throw EFlashReaderWriter("Cannot change KRVPort while operation in progress");
  krvPort_ = Port;
}

void TFlashReaderWriter::CancelOwnItems() {
  krvPort_->CancelCallbacks(TOnIncoming_tagged(this, &TFlashReaderWriter::OnReadResult));
  krvPort_->CancelCallbacks(TOnIncoming_tagged(this, &TFlashReaderWriter::OnWriteResult));
}

void TFlashReaderWriter::ReadFlashToStr(uint16_t StartPage, uint32_t Length) {
  if (krvPort_ == nullptr) throw EFlashReaderWriter("KRVPort not assigned");
  // Either value would keep the read asking for nothing for ever.
  if (BlockSize == 0) throw EFlashReaderWriter("Invalid block size");
  if (FlashPageSize <= 0) throw EFlashReaderWriter("Invalid page size");
  if (operation_ != TOperation::Idle) throw EFlashReaderWriter("Flash operation in progress");
  data_.clear();
  total_ = Length;
  page_ = StartPage;
  offset_ = 0;
  retryCounter_ = 0;
  result_ = TFlashRWResult::freOk;
  lastStatus_ = -1;
  lastErrorCode_ = 0;
  done_ = Length == 0;  // nothing to ask for
  ++run_;
  operation_ = TOperation::Reading;
  ReadStep();
}

void TFlashReaderWriter::WriteFlashFromStr(uint16_t StartPage, std::string_view Source) {
  if (krvPort_ == nullptr) throw EFlashReaderWriter("KRVPort not assigned");
  if (FlashPageSize <= 0) throw EFlashReaderWriter("Invalid page size");
  if (Source.empty()) throw EFlashReaderWriter("Empty source string");
  // A page number travels in 16 bits: a page beyond 65535 would be written over page 0 on.
  const uint64_t pages = (Source.size() + static_cast<uint64_t>(FlashPageSize) - 1) / static_cast<uint64_t>(FlashPageSize);
  if (StartPage + pages - 1 > 0xFFFF) throw EFlashReaderWriter("Flash write beyond page 65535");
  if (operation_ != TOperation::Idle) throw EFlashReaderWriter("Flash operation in progress");
  data_.assign(Source);
  total_ = static_cast<uint32_t>(data_.size());
  page_ = StartPage;
  position_ = 1;
  retryCounter_ = 0;
  result_ = TFlashRWResult::freOk;
  lastStatus_ = -1;
  lastErrorCode_ = 0;
  done_ = false;
  ++run_;
  operation_ = TOperation::Writing;
  WriteStep();
}

void TFlashReaderWriter::Abort() {
  if (krvPort_ == nullptr) throw EFlashReaderWriter("KRVPort not assigned");
  CancelOwnItems();
  const TOperation was = operation_;
  operation_ = TOperation::Idle;
  result_ = TFlashRWResult::freAborted;
  if (was == TOperation::Reading) {
    std::string data = std::move(data_);
    data_.clear();
    if (OnReadingDone) OnReadingDone(this, TFlashRWResult::freAborted, data);
  } else if (was == TOperation::Writing) {
    if (OnWritingDone) OnWritingDone(this, TFlashRWResult::freAborted);
  }
}

void TFlashReaderWriter::Classify(const std::string& S, uint16_t ErrorCode, std::string_view) {
  lastErrorCode_ = ErrorCode;
  // Only a write answer carries a status; anything else (also an empty answer) counts as 0.
  int status = 0;
  if (StartsWithCode(S, kAFLPW)) {
    const auto b = StatusByte(S);
    status = b ? *b : -1;
  }
  lastStatus_ = status;
  if (ErrorCode != ecOk) {
    result_ = TFlashRWResult::freKRVError;
  } else if (TurboMode) {
    result_ = TFlashRWResult::freOk;
  } else {
    switch (status) {
      case kAFLPWWritten: result_ = TFlashRWResult::freOk; break;
      case kAFLPWPageIndexOutOfRange: result_ = TFlashRWResult::frePageIndexOutOfRange; break;
      case kAFLPWWriteError: result_ = TFlashRWResult::freFlashWriteError; break;
      case kAFLPWReadError: result_ = TFlashRWResult::freFlashReadError; break;
      default: result_ = TFlashRWResult::freInvalidAnswer; break;
    }
  }
  switch (result_) {
    case TFlashRWResult::freOk: retryCounter_ = 0; break;
    case TFlashRWResult::freFlashWriteError:
    case TFlashRWResult::freFlashReadError: ++retryCounter_; break;
    default: retryCounter_ = kGiveUp; break;
  }
}

void TFlashReaderWriter::ReadStep() {
  if (operation_ != TOperation::Reading) return;
  if (retryCounter_ >= kGiveUp) {
    operation_ = TOperation::Idle;
    data_.clear();
    std::string empty;
    if (OnReadingDone) OnReadingDone(this, result_, empty);
    return;
  }
  if (done_) {
    operation_ = TOperation::Idle;
    if (data_.size() > total_) data_.resize(total_);
    std::string data = std::move(data_);
    data_.clear();
    if (OnPercentDone) OnPercentDone(this, 100);
    if (OnReadingDone) OnReadingDone(this, TFlashRWResult::freOk, data);
    return;
  }
  requestSize_ = std::min<uint32_t>(BlockSize, static_cast<uint32_t>(FlashPageSize) - offset_);
  auto* item = new TKuldendo(BuildCFLRC(page_, static_cast<uint16_t>(offset_), static_cast<uint16_t>(requestSize_)),
                             static_cast<uint32_t>(KRVAddress));
  item->Ans = std::string(kAFLRC);
  item->Options = TKRVSendOptions{psoDontAck, psoNewIDOnRepeat, psoTaggedCallbacks};
  item->OnAnswer = TOnIncoming_tagged(this, &TFlashReaderWriter::OnReadResult);
  item->OnError = TOnIncoming_tagged(this, &TFlashReaderWriter::OnReadResult);
  item->SendWith(krvPort_);
}

void TFlashReaderWriter::OnReadResult(const std::string& S, uint16_t ErrorCode, int32_t) {
  if (operation_ != TOperation::Reading) return;
  Classify(S, ErrorCode, kAFLRC);
  if (retryCounter_ < kGiveUp) {
    const std::string_view bytes = AfterCode(S);
    if (bytes.empty()) {
      // An answer without data would have the read ask for the same bytes for ever.
      result_ = TFlashRWResult::freInvalidAnswer;
      retryCounter_ = kGiveUp;
    } else {
      // Never more than was asked for, and the next request continues right after what came,
      // so a short or long answer cannot shift the data.
      const std::size_t take = std::min<std::size_t>(bytes.size(), requestSize_);
      data_.append(bytes.substr(0, take));
      if (OnPercentDone) {
        const std::weak_ptr<bool> alive = alive_;
        const uint64_t run = run_;
        OnPercentDone(this, Percent(static_cast<double>(data_.size()), static_cast<double>(total_)));
        if (alive.expired() || run != run_) return;  // destroyed, or aborted and started anew
      }
      if (data_.size() < total_) {
        offset_ += static_cast<uint32_t>(take);
        if (offset_ > static_cast<uint32_t>(FlashPageSize) - 1) {
          offset_ = 0;
          ++page_;
        }
      } else {
        done_ = true;
      }
    }
  }
  ReadStep();
}

void TFlashReaderWriter::WriteStep() {
  if (operation_ != TOperation::Writing) return;
  if (retryCounter_ >= kGiveUp) {
    operation_ = TOperation::Idle;
    if (OnWritingDone) OnWritingDone(this, result_);
    return;
  }
  if (done_) {
    operation_ = TOperation::Idle;
    if (OnWritingDone) OnWritingDone(this, TFlashRWResult::freOk);
    return;
  }
  const std::string_view source(data_);
  const std::string_view pageData = source.substr(position_ - 1, static_cast<std::size_t>(FlashPageSize));
  const auto page = static_cast<uint16_t>(page_ & 0xFFFF);
  const int32_t paceMs = TurboMode ? krvPort_->LinePaceMs(kCodeLength + 3 + pageData.size()) : 0;
  if (TurboMode && paceMs > 0) {
    // On a serial line the next page waits while the port holds more than one page: pages
    // written back to back would fill the port's output buffer, which refuses what does not fit.
    auto* item = new TKuldendo(BuildCFLPW(page, false, pageData), static_cast<uint32_t>(KRVAddress));
    item->Options = TKRVSendOptions{psoDontAck, psoForceWait, psoAcked, psoExactTimeout, psoNoLineTimeout,
                                    psoTaggedCallbacks};
    item->Timeout = paceMs;
    item->OnAnswer = TOnIncoming_tagged(this, &TFlashReaderWriter::OnWriteResult);
    item->OnError = TOnIncoming_tagged(this, &TFlashReaderWriter::OnWriteResult);
    item->SendWith(krvPort_);
  } else if (TurboMode)
    krvPort_->SendNoWait(BuildCFLPW(page, false, pageData), static_cast<uint32_t>(KRVAddress), 0,
                         TOnIncoming_tagged(this, &TFlashReaderWriter::OnWriteResult));
  else
    krvPort_->SendPacket(BuildCFLPW(page, true, pageData), static_cast<uint32_t>(KRVAddress), false, 0, 0,
                         TOnIncoming_tagged(this, &TFlashReaderWriter::OnWriteResult),
                         TOnIncoming_tagged(this, &TFlashReaderWriter::OnWriteResult), std::string(kAFLPW));
}

void TFlashReaderWriter::OnWriteResult(const std::string& S, uint16_t ErrorCode, int32_t) {
  if (operation_ != TOperation::Writing) return;
  Classify(S, ErrorCode, kAFLPW);
  if (retryCounter_ < kGiveUp && result_ == TFlashRWResult::freOk) {
    position_ += static_cast<std::size_t>(FlashPageSize);
    if (OnPercentDone) {
      const std::weak_ptr<bool> alive = alive_;
      const uint64_t run = run_;
      OnPercentDone(this, Percent(static_cast<double>(position_), static_cast<double>(total_)));
      if (alive.expired() || run != run_) return;  // destroyed, or aborted and started anew
    }
    if (position_ > total_)
      done_ = true;
    else
      ++page_;
  }
  WriteStep();
}

}  // namespace vornik
