#include "VerbOutput.h"

#include <QJsonArray>

#include <QJsonDocument>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vornik {

namespace {

constexpr int kBarWidth = 24;
constexpr int64_t kRedrawMs = 100;  ///< live output is redrawn at most this often
constexpr int kMaxTableRows = 20;   ///< rows of a fleet table; a terminal cannot redraw more than it shows

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Err(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stderr);
  std::fflush(stderr);
}

int Percent(uint64_t Done, uint64_t Total) {
  if (Total == 0) return 100;
  return static_cast<int>(std::min<uint64_t>(Done, Total) * 100 / Total);
}

// "[#########---------------]  37%  24576/65536 B  48.0 KiB/s  0:01 left"
std::string LiveText(uint64_t Done, uint64_t Total, int64_t StartMs) {
  Done = std::min(Done, Total);
  const int pct = Percent(Done, Total);
  const int filled = pct * kBarWidth / 100;
  std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
  char head[32];
  std::snprintf(head, sizeof head, " %3d%%  ", pct);
  const double secs = std::max<int64_t>(NowMs() - StartMs, 1) / 1000.0;
  const double rate = Done / secs;
  std::string left = "--:--";
  if (rate > 0 && Done > 0) left = DurationText((Total - Done) / rate);
  return bar + head + std::to_string(Done) + "/" + std::to_string(Total) + " B  " + RateText(rate) + "  " + left +
         " left";
}

}  // namespace

void PrintJson(const QJsonObject& Obj) {
  const QByteArray text = QJsonDocument(Obj).toJson(QJsonDocument::Compact);
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool StderrIsTerminal() { return ::isatty(2) == 1; }

std::string RateText(double BytesPerSecond) {
  char buf[32];
  if (BytesPerSecond >= 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f MiB/s", BytesPerSecond / (1024 * 1024));
  else
    std::snprintf(buf, sizeof buf, "%.1f KiB/s", BytesPerSecond / 1024);
  return buf;
}

std::string DurationText(double Seconds) {
  const long s = std::max(0L, static_cast<long>(Seconds + 0.5));
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

TProgressLine::TProgressLine(std::string Label, uint64_t TotalBytes, bool Terminal)
    : label_(std::move(Label)), total_(TotalBytes), terminal_(Terminal), startMs_(NowMs()) {}

void TProgressLine::Update(uint64_t DoneBytes) {
  if (terminal_) {
    const int64_t now = NowMs();
    if (lastDrawMs_ >= 0 && now - lastDrawMs_ < kRedrawMs && DoneBytes < total_) return;
    lastDrawMs_ = now;
    Err("\r" + label_ + " " + LiveText(DoneBytes, total_, startMs_) + "\x1b[K");
    drawn_ = true;
    return;
  }
  const int decile = Percent(DoneBytes, total_) / 10;
  if (decile <= lastDecile_) return;
  lastDecile_ = decile;
  Err(label_ + ": " + std::to_string(decile * 10) + "% (" + std::to_string(std::min(DoneBytes, total_)) + "/" +
      std::to_string(total_) + " bytes)\n");
}

void TProgressLine::Finish() {
  if (terminal_ && drawn_) Err("\n");
  drawn_ = false;
}

void TFleetProgress::Start(int Row, const std::string& Device, uint64_t TotalBytes) {
  rows_[Row] = TRow{Device, TotalBytes, 0, 0, NowMs()};
  Redraw(true);
}

void TFleetProgress::Update(int Row, uint64_t DoneBytes) {
  auto it = rows_.find(Row);
  if (it == rows_.end()) return;
  TRow& r = it->second;
  r.Done = DoneBytes;
  if (terminal_) {
    Redraw(false);
    return;
  }
  const int decile = Percent(DoneBytes, r.Total) / 10;
  if (decile <= r.LastDecile) return;
  r.LastDecile = decile;
  Err(r.Device + ": " + std::to_string(decile * 10) + "%\n");
}

void TFleetProgress::Finish(int Row, const std::string& Line) {
  rows_.erase(Row);
  if (!terminal_) {
    if (!Line.empty()) Err(Line + "\n");
    return;
  }
  Clear();
  if (!Line.empty()) Err(Line + "\n");
  Redraw(true);
}

void TFleetProgress::Clear() {
  if (drawnLines_ > 0) Err("\x1b[" + std::to_string(drawnLines_) + "A\r\x1b[J");
  drawnLines_ = 0;
}

void TFleetProgress::Redraw(bool Force) {
  if (!terminal_) return;
  const int64_t now = NowMs();
  if (!Force && lastDrawMs_ >= 0 && now - lastDrawMs_ < kRedrawMs) return;
  lastDrawMs_ = now;
  std::string out;
  if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "A\r\x1b[J";
  int lines = 0;
  for (const auto& [row, r] : rows_) {
    if (lines == kMaxTableRows) {
      out += "... " + std::to_string(rows_.size() - kMaxTableRows) + " more running\n";
      ++lines;
      break;
    }
    std::string name = r.Device;
    if (name.size() > 28) name = name.substr(0, 27) + "~";
    name.resize(28, ' ');
    out += name + " " + LiveText(r.Done, r.Total, r.StartMs) + "\n";
    ++lines;
  }
  drawnLines_ = lines;
  Err(out);
}

/// The run's devices as the result lists them; Label is also the line's text.
QJsonArray DevicesJson(const std::vector<TRunDevice>& Devices, std::string& Lines, int& Ok, int& Failed,
                       bool WithAddressColumn) {
  QJsonArray list;
  for (const TRunDevice& d : Devices) {
    const bool good = d.Outcome.ExitCode == kExitOk;
    (good ? Ok : Failed) += 1;
    QJsonObject o;
    o["address"] = static_cast<qint64>(d.Connection.Address);
    o["result"] = QString::fromStdString(d.Outcome.Result);
    if (d.Seen) {
      // A device that never called has no connection, no update and no log.
      o["device"] = QString::fromStdString(d.Label);
      o["upload_result"] = d.Outcome.UploadResult;
      o["seconds"] = d.Seconds;
      o["log"] = QString::fromStdString(d.LogFile);
    }
    list.append(o);
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.1f s", d.Seconds);
    Lines += (d.Seen ? d.Label : std::string("-")) + "  " +
             (WithAddressColumn ? std::to_string(d.Connection.Address) + "  " : std::string()) + d.Outcome.Result +
             "  " + secs + "  " + d.Outcome.Text + "\n";
  }
  return list;
}

TRunProgress RunProgressOn(TFleetProgress& Table) {
  TRunProgress p;
  p.Started = [&Table](int Row, const std::string& Label, uint64_t Total) { Table.Start(Row, Label, Total); };
  p.Progress = [&Table](int Row, uint64_t Bytes) { Table.Update(Row, Bytes); };
  p.Ended = [&Table](int Row, const std::string& Line) { Table.Finish(Row, Line); };
  return p;
}

}  // namespace vornik
