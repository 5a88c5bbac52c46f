// Any file content into the settings reader: reading never changes the file, and writing a key
// (a missing key written back with its default, a stored key replaced, a non-integer replaced
// by the default's number) changes only that key: every other key reads as before, and the key
// written reads back as written. The names are the program's kind of names (letters, digits,
// "_"); the file is anything.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/CreateMissingValuesIni.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

const std::string& FilePath() {
  static const std::string path = [] {
    // In memory where there is such a folder: every write is synced to its disk.
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    const auto dir = base / ("vornik_fuzz_ini_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    static const std::filesystem::path made = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(made, ec);
    });
    return (dir / "Vornik.ini").string();
  }();
  return path;
}

std::string Slurp() {
  std::ifstream in(FilePath(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SaneName(std::string_view S) {
  if (S.empty() || S.size() > 24) return false;
  for (const char c : S)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

std::string_view TrimBlanks(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t' || S.back() == '\r')) S.remove_suffix(1);
  return S;
}

/// Section and key names that appear in the text, plus a few fixed ones.
void Names(std::string_view Text, std::vector<std::string>& Sections, std::vector<std::string>& Keys) {
  Sections = {"DEBUG", "BATCH"};
  Keys = {"Timeout1", "BlockLength"};
  std::size_t start = 0;
  while (start <= Text.size() && Sections.size() < 8 && Keys.size() < 8) {
    std::size_t end = Text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = Text.size();
    const std::string_view line = TrimBlanks(Text.substr(start, end - start));
    if (!line.empty() && line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos) {
        const std::string_view name = TrimBlanks(line.substr(1, close - 1));
        if (SaneName(name)) Sections.emplace_back(name);
      }
    } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
      const std::string_view name = TrimBlanks(line.substr(0, eq));
      if (SaneName(name)) Keys.emplace_back(name);
    }
    start = end + 1;
  }
}

using TView = std::vector<std::optional<std::string>>;

/// What every known (section, key) reads as now.
TView ReadAll(TIniFile& Ini, const std::vector<std::string>& Sections, const std::vector<std::string>& Keys) {
  TView v;
  for (const auto& s : Sections)
    for (const auto& k : Keys)
      v.push_back(Ini.ValueExists(s, k) ? std::optional<std::string>(Ini.ReadString(s, k, "")) : std::nullopt);
  return v;
}

bool SameName(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i)
    if ((A[i] | 0x20) != (B[i] | 0x20)) return false;  // names are letters, digits and "_"
  return true;
}

/// After writing (S, K): everything else reads as before.
void SameExcept(const TView& Before, const TView& After, const std::vector<std::string>& Sections,
                const std::vector<std::string>& Keys, std::string_view S, std::string_view K) {
  std::size_t i = 0;
  for (const auto& s : Sections)
    for (const auto& k : Keys) {
      if (!(SameName(s, S) && SameName(k, K))) Check(Before[i] == After[i]);
      ++i;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  {
    std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::vector<std::string> sections, keys;
  Names(text, sections, keys);

  // Reading changes nothing.
  TIniFile plain(FilePath());
  const TView before = ReadAll(plain, sections, keys);
  for (const auto& s : sections) {
    (void)plain.SectionExists(s);
    for (const auto& k : keys) {
      (void)plain.ReadInteger(s, k, 7);
      (void)plain.ReadBool(s, k, true);
    }
  }
  Check(Slurp() == text);

  // A missing key is written back with its default and only that key changes.
  const uint8_t pick = Size > 0 ? Data[0] : 0;
  const std::string& section = sections[pick % sections.size()];
  const std::string missing = "Fuzz_" + std::to_string(Size);
  TCreateMissingValuesIni ini(FilePath());
  const std::string value = "v " + std::to_string(pick) + "\r\nline two\rend\n.";
  if (!plain.ValueExists(section, missing)) {
    Check(ini.ReadString(section, missing, value) == value);
    Check(plain.ReadString(section, missing, "") == value);
    SameExcept(before, ReadAll(plain, sections, keys), sections, keys, section, missing);
  }

  // A stored key replaced by a new value reads back as that value; the rest stays.
  const std::string& key = keys[(pick / 8) % keys.size()];
  const TView mid = ReadAll(plain, sections, keys);
  plain.WriteString(section, key, "w=1;#[x]");
  Check(plain.ReadString(section, key, "") == "w=1;#[x]");
  SameExcept(mid, ReadAll(plain, sections, keys), sections, keys, section, key);

  // A stored text that is no integer is replaced by the default's number.
  const int32_t got = ini.ReadInteger(section, key, -42);
  Check(got == -42);
  Check(plain.ReadString(section, key, "") == "-42");
  return 0;
}
