#include "app/FunctionList.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vornik {

namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool ParseInt(std::string_view s, int& Out) {
  s = TrimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), Out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseNumber(std::string_view s, double& Out) {
  s = TrimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  std::string t(s);
  if (t.find('.') == std::string::npos) {
    if (const auto comma = t.find(','); comma != std::string::npos) t[comma] = '.';
  }
  const auto r = std::from_chars(t.data(), t.data() + t.size(), Out);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(Out);
}

}  // namespace

double TKeyFunction::Apply(double Value) const {
  if (!OperandValid) return Value;
  switch (Operator) {
    case '+': return Value + Operand;
    case '-': return Value - Operand;
    case '*': return Operand * Value;
    case '/': return Value / Operand;
    default: return Value;
  }
}

TFunctionList::TFunctionList(std::initializer_list<std::string> Entries) : FStrings(Entries) { Rebuild(); }

TFunctionList::TFunctionList(std::vector<std::string> Entries) : FStrings(std::move(Entries)) { Rebuild(); }

TFunctionList TFunctionList::Default() {
  return TFunctionList{";69;*;1000",        "Ctrl;69;/;1000", ";77;*;1000000", "Ctrl;77;/;1000000",
                       "Ctrl;109;*;-1", "Shift;107;+;1",  "Shift;109;-;1"};
}

void TFunctionList::SetStrings(std::vector<std::string> Entries) {
  FStrings = std::move(Entries);
  Rebuild();
}

void TFunctionList::Add(std::string Entry) {
  FStrings.push_back(std::move(Entry));
  FParsed.push_back(Parse(FStrings.back()));
}

void TFunctionList::Insert(int Index, std::string Entry) {
  if (Index < 0 || Index > Count()) throw std::out_of_range("TFunctionList: index out of range");
  FStrings.insert(FStrings.begin() + Index, std::move(Entry));
  Rebuild();
}

void TFunctionList::Put(int Index, std::string Entry) {
  FStrings.at(static_cast<std::size_t>(Index)) = std::move(Entry);
  Rebuild();
}

void TFunctionList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) throw std::out_of_range("TFunctionList: index out of range");
  FStrings.erase(FStrings.begin() + Index);
  Rebuild();
}

void TFunctionList::Clear() {
  FStrings.clear();
  FParsed.clear();
}

std::string TFunctionList::Text() const {
  std::string out;
  for (const auto& s : FStrings) {
    out += s;
    out += '\n';
  }
  return out;
}

void TFunctionList::SetText(std::string_view Value) {
  std::vector<std::string> lines;
  while (!Value.empty()) {
    const auto nl = Value.find('\n');
    std::string_view line = Value.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    if (nl == std::string_view::npos) break;
    Value.remove_prefix(nl + 1);
  }
  SetStrings(std::move(lines));
}

const TKeyFunction* TFunctionList::Find(int KeyCode, TShiftState Shift) const {
  for (auto i = FParsed.size(); i-- > 0;) {
    const auto& f = FParsed[i];
    if (f && f->KeyCode == KeyCode && f->Shift == Shift) return &*f;
  }
  return nullptr;
}

std::optional<TKeyFunction> TFunctionList::Parse(std::string_view Entry) {
  std::string_view fields[3];
  for (auto& field : fields) {
    const auto semi = Entry.find(';');
    if (semi == std::string_view::npos) return std::nullopt;
    field = Entry.substr(0, semi);
    Entry.remove_prefix(semi + 1);
  }
  TKeyFunction f;
  if (fields[0].find("Shift") != std::string_view::npos) f.Shift |= TShiftState::Shift;
  if (fields[0].find("Ctrl") != std::string_view::npos) f.Shift |= TShiftState::Ctrl;
  if (fields[0].find("Alt") != std::string_view::npos) f.Shift |= TShiftState::Alt;
  if (!ParseInt(fields[1], f.KeyCode)) return std::nullopt;
  f.Operator = fields[2].empty() ? '\0' : fields[2].front();
  f.OperandValid = ParseNumber(Entry, f.Operand);
  return f;
}

void TFunctionList::Rebuild() {
  FParsed.clear();
  FParsed.reserve(FStrings.size());
  for (const auto& s : FStrings) FParsed.push_back(Parse(s));
}

}  // namespace vornik
