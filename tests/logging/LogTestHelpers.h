// Test doubles for the log writer: a clock whose tick and wall time move independently, an
// in-memory table behind the dataset interface, a memo that keeps its lines, and a temporary
// folder.
#pragma once

#include "testkit/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "logging/logUnit.h"

namespace vornik::test {

class FakeClock final : public Clock {
 public:
  int64_t nowMs() const override { return tick; }
  double nowDateTime() const override { return wall; }
  /// Moves both clocks together.
  void Advance(int64_t ms) {
    tick += ms;
    wall += static_cast<double>(ms) / 86400000.0;
  }
  int64_t tick = 100000;
  double wall = 0;
};

class MemoryTable final : public TLogDataSet {
 public:
  using Value = std::variant<double, std::string, int32_t>;
  using Record = std::map<std::string, Value>;

  bool Active() const override { return active; }
  void First() override { current = 0; }
  void Last() override { current = records.empty() ? 0 : records.size() - 1; }
  void Append() override {
    pending = Record{};
    appending = true;
  }
  void SetDateTimeField(const std::string& Name, TDateTime V) override { Set(Name, V); }
  void SetStringField(const std::string& Name, const std::string& V) override { Set(Name, V); }
  void SetIntegerField(const std::string& Name, int32_t V) override { Set(Name, V); }
  void Post() override {
    if (failPost) throw std::runtime_error("post failed");
    if (!appending) throw std::logic_error("not in insert state");
    records.push_back(pending);
    current = records.size() - 1;
    appending = false;
  }
  int32_t RecordCount() const override { return static_cast<int32_t>(records.size()); }
  void Delete() override {
    if (current < records.size()) records.erase(records.begin() + static_cast<std::ptrdiff_t>(current));
  }

  bool active = true;
  bool failPost = false;
  std::vector<Record> records;

 private:
  void Set(const std::string& Name, Value V) {
    if (!appending) throw std::logic_error("not in insert state");
    pending[Name] = std::move(V);
  }
  Record pending;
  bool appending = false;
  size_t current = 0;
};

class MemoMock final : public TLogMemo {
 public:
  void AddLine(const std::string& Line) override {
    if (fail) throw std::runtime_error("memo gone");
    lines.push_back(Line);
  }
  std::vector<std::string> lines;
  bool fail = false;
};

using LogTempDir = TempDir;

inline std::string ReadFile(const std::string& Path) { return ReadAll(Path); }

inline void WriteFile(const std::string& Path, const std::string& Data) { WriteAll(Path, Data); }

}  // namespace vornik::test
