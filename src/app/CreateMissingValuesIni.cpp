#include "app/CreateMissingValuesIni.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "util/FileReplace.h"
#include "util/NumberText.h"

namespace vornik {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

// One physical line of the file: its text without the line end, and the line end it had
// ("\r\n", "\n", "\r" or "" for a last line without one).
struct TLine {
  std::string Text;
  std::string Eol;
};

enum class TLineKind { Other, Section, Key };

struct TParsedLine {
  TLineKind Kind = TLineKind::Other;
  std::string_view Name;   // section or key name, trimmed
  std::string_view Value;  // key value, trimmed
};

TParsedLine ParseLine(std::string_view text) {
  TParsedLine p;
  const std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';' || t.front() == '#') return p;
  if (t.front() == '[') {
    const std::size_t close = t.find(']');
    if (close != std::string_view::npos) {
      p.Kind = TLineKind::Section;
      p.Name = Trim(t.substr(1, close - 1));
    }
    return p;
  }
  const std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return p;
  p.Kind = TLineKind::Key;
  p.Name = Trim(t.substr(0, eq));
  p.Value = Trim(t.substr(eq + 1));
  if (p.Name.empty()) p.Kind = TLineKind::Other;
  return p;
}

// The whole file as lines; an absent file is empty. Lines end at CR LF, LF or a lone CR.
std::vector<TLine> LoadLines(const std::string& fileName) {
  std::vector<TLine> lines;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return lines;
  std::ostringstream buf;
  buf << in.rdbuf();
  const std::string data = buf.str();
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < data.size()) {
    if (data[i] == '\n' || data[i] == '\r') {
      TLine line{data.substr(start, i - start), {}};
      if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') {
        line.Eol = "\r\n";
        i += 2;
      } else {
        line.Eol = std::string(1, data[i]);
        i += 1;
      }
      lines.push_back(std::move(line));
      start = i;
    } else {
      ++i;
    }
  }
  if (start < data.size()) lines.push_back(TLine{data.substr(start), {}});
  return lines;
}

std::string DominantEol(const std::vector<TLine>& lines) {
  for (const TLine& l : lines)
    if (!l.Eol.empty()) return l.Eol;
  return "\n";
}

struct TLocation {
  std::ptrdiff_t SectionLine = -1;  // index of the "[Section]" line
  std::ptrdiff_t KeyLine = -1;      // index of the key line
  std::ptrdiff_t LastKeyLine = -1;  // last key line of the section (or the section line)
  std::string Value;
};

TLocation Locate(const std::vector<TLine>& lines, std::string_view section, std::string_view ident) {
  TLocation loc;
  bool inSection = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const TParsedLine p = ParseLine(lines[i].Text);
    if (p.Kind == TLineKind::Section) {
      if (inSection) break;  // the first matching section has ended
      if (SameText(p.Name, section)) {
        inSection = true;
        loc.SectionLine = static_cast<std::ptrdiff_t>(i);
        loc.LastKeyLine = loc.SectionLine;
      }
      continue;
    }
    if (!inSection || p.Kind != TLineKind::Key) continue;
    loc.LastKeyLine = static_cast<std::ptrdiff_t>(i);
    if (loc.KeyLine < 0 && SameText(p.Name, ident)) {
      loc.KeyLine = static_cast<std::ptrdiff_t>(i);
      loc.Value = std::string(p.Value);
    }
  }
  return loc;
}

// The old file stays whole until the new content has replaced it in one rename.
void ReplaceFile(const std::string& fileName, const std::string& content) {
  const int err = ReplaceFileContent(fileName, content);
  if (err != 0) throw EIniFileError("Unable to write to " + fileName + ": " + std::strerror(err));
}

std::string Join(const std::vector<TLine>& lines) {
  std::string out;
  for (const TLine& l : lines) {
    out += l.Text;
    out += l.Eol;
  }
  return out;
}

}  // namespace

std::string EncodeIniLineBreaks(std::string_view Value) {
  std::string s = ReplaceAll(Value, "\r\n", "_CRLF_");
  s = ReplaceAll(s, "\r", "_CR_");
  return ReplaceAll(s, "\n", "_LF_");
}

std::string DecodeIniLineBreaks(std::string_view Stored) {
  std::string s = ReplaceAll(Stored, "_CRLF_", "\r\n");
  s = ReplaceAll(s, "_CR_", "\r");
  return ReplaceAll(s, "_LF_", "\n");
}

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {
  // Names such as ".\Vornik.ini" come from settings made on Windows; the backslash separates
  // folders here too.
  for (char& c : FFileName)
    if (c == '\\') c = '/';
}

std::optional<std::string> TIniFile::ReadRaw(std::string_view Section, std::string_view Ident) const {
  const TLocation loc = Locate(LoadLines(FFileName), Section, Ident);
  if (loc.KeyLine < 0) return std::nullopt;
  return loc.Value;
}

bool TIniFile::SectionExists(std::string_view Section) const {
  return Locate(LoadLines(FFileName), Section, {}).SectionLine >= 0;
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Ident) const {
  return ReadRaw(Section, Ident).has_value();
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) {
  const auto raw = ReadRaw(Section, Ident);
  if (!raw) return std::string(Default);
  return DecodeIniLineBreaks(*raw);
}

void TIniFile::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  std::vector<TLine> lines = LoadLines(FFileName);
  const std::string eol = DominantEol(lines);
  const std::string encoded = EncodeIniLineBreaks(Value);
  const TLocation loc = Locate(lines, Section, Ident);
  if (loc.KeyLine >= 0) {
    // Keep the key's own spelling and any indentation before it.
    std::string& text = lines[static_cast<std::size_t>(loc.KeyLine)].Text;
    text = text.substr(0, text.find('=') + 1) + encoded;
  } else if (loc.SectionLine >= 0) {
    const auto at = static_cast<std::size_t>(loc.LastKeyLine);
    if (lines[at].Eol.empty()) lines[at].Eol = eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                 TLine{std::string(Ident) + "=" + encoded, eol});
  } else {
    if (!lines.empty()) {
      if (lines.back().Eol.empty()) lines.back().Eol = eol;
      if (!Trim(lines.back().Text).empty()) lines.push_back(TLine{"", eol});
    }
    lines.push_back(TLine{"[" + std::string(Section) + "]", eol});
    lines.push_back(TLine{std::string(Ident) + "=" + encoded, eol});
  }
  ReplaceFile(FFileName, Join(lines));
}

int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) {
  const auto raw = ReadRaw(Section, Ident);
  if (!raw) return Default;
  return ParseInteger(DecodeIniLineBreaks(*raw)).value_or(Default);
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Ident, int32_t Value) {
  WriteString(Section, Ident, std::to_string(Value));
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Ident, bool Default) {
  return ReadInteger(Section, Ident, Default ? 1 : 0) == 1;
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Ident, bool Value) {
  WriteInteger(Section, Ident, Value ? 1 : 0);
}

TCreateMissingValuesIni::TCreateMissingValuesIni(std::string FileName) : TIniFile(std::move(FileName)) {}

std::string TCreateMissingValuesIni::ReadString(std::string_view Section, std::string_view Ident,
                                                std::string_view Default) {
  const auto raw = ReadRaw(Section, Ident);
  if (raw) return DecodeIniLineBreaks(*raw);
  try {
    WriteString(Section, Ident, Default);
  } catch (const EIniFileError&) {
    // The defaults still apply; the key is written at a later run that can write the file.
  }
  return std::string(Default);
}

int32_t TCreateMissingValuesIni::ReadInteger(std::string_view Section, std::string_view Ident, int32_t Default) {
  const std::string text = ReadString(Section, Ident, std::to_string(Default));
  if (const auto v = ParseInteger(text)) return *v;
  try {
    WriteString(Section, Ident, std::to_string(Default));
  } catch (const EIniFileError&) {
  }
  return Default;
}

}  // namespace vornik
