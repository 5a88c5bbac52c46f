#include "logging/logUnit.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "util/FileReplace.h"

namespace vornik {

namespace fs = std::filesystem;

namespace {
constexpr double kMSecsPerDay = 86400000.0;
constexpr const char* kDBErrorPrefix = "DBLog Hiba:";
constexpr const char* kTrimFailedNote =
    "Log file above its size limit and trimming it failed: new lines are left out until a trim succeeds "
    "(tried again once a minute).";
}  // namespace

std::string MakePrintable(std::string_view Text, bool Codes) {
  std::string out;
  out.reserve(Text.size());
  for (const char ch : Text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 32) {
      out += ch;
    } else if (Codes) {
      out += '#';
      out += std::to_string(c);
    } else {
      out += '.';
    }
  }
  return out;
}

std::string DecimalDump(std::string_view Text) {
  std::string out;
  out.reserve(Text.size() * 4);
  for (const char ch : Text) {
    const unsigned c = static_cast<unsigned char>(ch);
    out += static_cast<char>('0' + c / 100);
    out += static_cast<char>('0' + c / 10 % 10);
    out += static_cast<char>('0' + c % 10);
    out += ' ';
  }
  return out;
}

std::string FormatLogStamp(TDateTime Stamp) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(Stamp, y, mo, d, h, mi, s, ms);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d:%02d.%03d", y % 100, mo, d, h, mi, s, ms);
  return buf;
}

std::string LogPathToNative(std::string_view Path) {
  std::string out(Path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

// ---------------------------------------------------------------------------------------------
// TDBNaplo

TDBNaplo::TDBNaplo(const Clock& Clk) : clock_(&Clk) {}

bool TDBNaplo::CanWrite() const {
  try {
    return dataSet_ != nullptr && enabled_ && dataSet_->Active();
  } catch (...) {
    return false;
  }
}

void TDBNaplo::AddEntry(const std::string& Text, const std::string& Owner, int32_t Level) noexcept {
  try {
    // The level test comes before the default is applied, so -1 always passes.
    if (!CanWrite() || Level > maxLevel_) return;
    const std::string& owner = Owner.empty() ? defaultOwner_ : Owner;
    const int32_t level = Level == -1 ? defaultLevel_ : Level;
    const TDateTime now = clock_->nowDateTime();
    const double date = std::floor(now);
    dataSet_->Last();
    dataSet_->Append();
    dataSet_->SetDateTimeField("Datum", date);
    dataSet_->SetDateTimeField("Ido", now - date);
    dataSet_->SetStringField("Tul", owner);
    dataSet_->SetIntegerField("Szint", level);
    dataSet_->SetStringField("Szoveg", Text);
    dataSet_->Post();
    if (dataSet_->RecordCount() > maxRecords_) {
      dataSet_->First();
      dataSet_->Delete();
    }
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// TNaplo

TNaplo::TNaplo(const Clock& Clk)
    : clock_(&Clk), dbNaplo_(std::make_unique<TDBNaplo>(Clk)), replaceFile_(&ReplaceFileContent) {}

TNaplo::~TNaplo() {
  try {
    if (file_) file_->close();
  } catch (...) {
  }
}

void TNaplo::SetLogLimit(int32_t Value) {
  if (Value > 0) logLimit_ = Value;
}

bool TNaplo::IsFileOpen() const { return file_ != nullptr && file_->is_open(); }

void TNaplo::SetClock(const Clock& Clk) {
  clock_ = &Clk;
  dbNaplo_->SetClock(Clk);
  synced_ = false;
}

TDateTime TNaplo::TimeStamp() {
  const TDateTime now = clock_->nowDateTime();
  const uint32_t t = static_cast<uint32_t>(clock_->nowMs());
  const uint32_t elapsed = t - baseTick_;  // wraps like the 32-bit tick counter
  const TDateTime estimate = baseTime_ + static_cast<double>(elapsed) / kMSecsPerDay;
  // The drift is compared in whole milliseconds so that 120 ms apart still counts as agreeing.
  if (synced_ && elapsed <= kResyncAfterMs && std::llabs(std::llround((estimate - now) * kMSecsPerDay)) <= kMaxDriftMs)
    return estimate;
  baseTick_ = t;
  baseTime_ = now;
  synced_ = true;
  return now;
}

bool TNaplo::OpenLogFile() {
  const std::string path = LogPathToNative(logFile_);
  try {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      std::ofstream create(path, std::ios::binary | std::ios::out);
      if (!create) return false;
    }
    auto f = std::make_unique<std::fstream>(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!f->is_open()) return false;
    f->seekp(0, std::ios::end);
    if (!*f) return false;
    file_ = std::move(f);
    openPath_ = path;
    return true;
  } catch (...) {
    file_.reset();
    return false;
  }
}

bool TNaplo::TrimFile() {
  // The file trimmed is the one written to; LogFile may name another by now.
  const std::string path = openPath_;
  file_.reset();
  logging_ = false;
  bool ok = false;
  try {
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (in && !ec) {
      const std::uintmax_t keep = std::min<std::uintmax_t>(size, static_cast<std::uintmax_t>(logLimit_ / 2));
      in.seekg(static_cast<std::streamoff>(size - keep), std::ios::beg);
      std::string tail(static_cast<std::size_t>(keep), '\0');
      in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
      if (in.gcount() == static_cast<std::streamsize>(tail.size())) {
        in.close();
        ok = replaceFile_(path, tail) == 0;  // the old log stays whole unless this succeeds
      }
    }
  } catch (...) {
    ok = false;
  }
  // On success the next line goes to the end of the trimmed file. On failure the untrimmed
  // file is kept whole; the caller decides when to try again.
  logging_ = true;
  OpenLogFile();
  return ok;
}

void TNaplo::PassedLimit() {
  if (TrimFile()) return;
  trimFailing_ = true;
  nextTrimMs_ = clock_->nowMs() + kTrimRetryMs;
  if (trimFailureNoted_) return;
  trimFailureNoted_ = true;
  AppendLine(kTrimFailedNote);
}

bool TNaplo::AppendingPaused() {
  if (!trimFailing_) return false;
  if (clock_->nowMs() < nextTrimMs_) return true;
  if (TrimFile()) {
    trimFailing_ = false;
    trimFailureNoted_ = false;
    return false;
  }
  nextTrimMs_ = clock_->nowMs() + kTrimRetryMs;
  return true;
}

void TNaplo::AppendLine(std::string_view Text) {
  if (!IsFileOpen()) return;
  std::string line;
  if (logTime_) {
    line = FormatLogStamp(TimeStamp());
    line += "  ";
  }
  line += Text;
  line += "\r\n";
  file_->write(line.data(), static_cast<std::streamsize>(line.size()));
  file_->flush();
  if (!file_->good()) file_.reset();
}

void TNaplo::MirrorToDB(const std::string& Text) noexcept {
  std::string text;
  try {
    text = Text;
    for (char& c : text)
      if (c == '\r' || c == '\n') c = ' ';
  } catch (const std::exception& e) {
    if (!inDBError_) {
      inDBError_ = true;
      WriteLog(std::string(kDBErrorPrefix) + e.what(), false);
      inDBError_ = false;
    }
    return;
  } catch (...) {
    return;
  }
  dbNaplo_->AddEntry(text, std::string(), -1);
}

void TNaplo::WriteLog(std::string_view Msg, bool ToDB) noexcept {
  if (!logging_) return;
  std::string msg;
  try {
    msg.assign(Msg);
  } catch (...) {
    return;
  }

  if (!IsFileOpen() && !logFile_.empty()) OpenLogFile();

  if (IsFileOpen()) {
    try {
      if (onWriteLog_) {
        onWriteLog_(*this, msg);
        // The handler may have logged through this writer itself, and a trim inside that
        // call may have left no file open.
        if (!IsFileOpen()) throw std::runtime_error("log file closed");
      }
      std::string line;
      if (logTime_) {
        line = FormatLogStamp(TimeStamp());
        line += "  ";
      }
      if (convertToPrintable_) msg = MakePrintable(msg, true);
      line += msg;
      line += "\r\n";
      msg = std::move(line);
      // While trimming fails the file stays at its size: the line still reaches the memo and the
      // dataset, but not the file.
      const bool append = !AppendingPaused() && IsFileOpen();
      if (append) {
        file_->write(msg.data(), static_cast<std::streamsize>(msg.size()));
        file_->flush();
      }
      if (logMemo_ != nullptr) {
        try {
          logMemo_->AddLine(msg.substr(0, msg.size() - 2));
        } catch (...) {
          // A failing view must not keep the file from being trimmed.
        }
      }
      if (append && file_->good()) {
        const std::streamoff size = file_->tellp();
        if (size > static_cast<std::streamoff>(logLimit_)) PassedLimit();
      } else if (append) {
        // A stream that failed stays failed; close it so the next line opens the file afresh.
        file_.reset();
      }
    } catch (...) {
    }
  }

  if (logEvertythingToDB_ || ToDB) MirrorToDB(msg);
}

}  // namespace vornik
