#include "app/LabeledNumEditModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale>

namespace vornik {

namespace {

bool IsDigit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool IsBlank(char32_t c) { return c == U' ' || c == U'\t' || c == U'\r' || c == U'\n'; }

int Size(const std::u32string& t) { return static_cast<int>(t.size()); }

// Text edits that keep a caret on the same character: characters removed before the caret pull
// it left; a character inserted before it pushes it right (one inserted exactly at the caret
// too when MoveAtCaret is set).
void EraseAt(std::u32string& t, int& Caret, std::size_t Pos, std::size_t Count) {
  if (Pos >= t.size()) return;
  Count = std::min(Count, t.size() - Pos);
  t.erase(Pos, Count);
  const int p = static_cast<int>(Pos);
  if (Caret > p) Caret -= std::min(static_cast<int>(Count), Caret - p);
}

void InsertAt(std::u32string& t, int& Caret, std::size_t Pos, char32_t c, bool MoveAtCaret) {
  t.insert(Pos, 1, c);
  const int p = static_cast<int>(Pos);
  if (p < Caret || (MoveAtCaret && p == Caret)) ++Caret;
}

char32_t Sanitised(char32_t c, char32_t Fallback) {
  return (c == 0 || IsDigit(c) || c == U'-' || c > 0x10FFFF) ? Fallback : c;
}

}  // namespace

// --- EBoundError --------------------------------------------------------------------------------

std::string EBoundError::MessageFor(bool MinViolation, double BoundValue) {
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, BoundValue, std::chars_format::fixed, 2);
  const std::string number = r.ec == std::errc() ? std::string(buf, r.ptr) : std::string("?");
  return (MinViolation ? "Minimum value is " : "Maximum value is ") + number;
}

EBoundError::EBoundError(bool MinViolation, double BoundValue)
    : std::runtime_error(MessageFor(MinViolation, BoundValue)), FMinViolation(MinViolation), FBoundValue(BoundValue) {}

// --- Construction -------------------------------------------------------------------------------

std::pair<char32_t, char32_t> TLabeledNumEditModel::LocaleSeparators() {
  char32_t thousand = 0;
  char32_t decimal = 0;
  try {
    const std::locale loc("");
    const auto& np = std::use_facet<std::numpunct<wchar_t>>(loc);
    thousand = static_cast<char32_t>(np.thousands_sep());
    decimal = static_cast<char32_t>(np.decimal_point());
  } catch (...) {
    // An unknown locale name in the environment: the fallbacks below.
  }
  decimal = Sanitised(decimal, U'.');
  thousand = Sanitised(thousand, U',');
  if (thousand == decimal) thousand = decimal == U',' ? U'.' : U',';
  return {thousand, decimal};
}

TLabeledNumEditModel::TLabeledNumEditModel() {
  const auto [thousand, decimal] = LocaleSeparators();
  FThousandSep = thousand;
  FDecimalSep = decimal;
}

TLabeledNumEditModel::TLabeledNumEditModel(char32_t ThousandSeparator, char32_t DecimalSeparator) {
  FDecimalSep = Sanitised(DecimalSeparator, U'.');
  FThousandSep = Sanitised(ThousandSeparator, U',');
  if (FThousandSep == FDecimalSep) FThousandSep = FDecimalSep == U',' ? U'.' : U',';
}

// --- UTF-8 --------------------------------------------------------------------------------------

std::string TLabeledNumEditModel::ToUtf8(std::u32string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (char32_t c : Text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u32string TLabeledNumEditModel::FromUtf8(std::string_view Text) {
  std::u32string out;
  out.reserve(Text.size());
  std::size_t i = 0;
  while (i < Text.size()) {
    const auto b = static_cast<unsigned char>(Text[i]);
    int extra = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3, minimum = 0x10000;
    } else {
      out += 0xFFFD;
      ++i;
      continue;
    }
    bool ok = i + static_cast<std::size_t>(extra) < Text.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto n = static_cast<unsigned char>(Text[i + static_cast<std::size_t>(k)]);
      if ((n & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (n & 0x3F);
    }
    if (!ok || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += 0xFFFD;
      ++i;
      continue;
    }
    out += c;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

// --- Text rules ---------------------------------------------------------------------------------

int TLabeledNumEditModel::WholeDigits(const std::u32string& Text) const {
  int n = 0;
  for (char32_t c : Text) {
    if (c == FDecimalSep) break;
    if (c != U'-' && c != FThousandSep) ++n;
  }
  return n;
}

int TLabeledNumEditModel::Decimals(const std::u32string& Text) const {
  const auto d = Text.find(FDecimalSep);
  if (d == std::u32string::npos) return 0;
  int n = 0;
  for (auto i = d + 1; i < Text.size(); ++i)
    if (Text[i] != FThousandSep) ++n;
  return n;
}

void TLabeledNumEditModel::TrimWhole(std::u32string& Text, int& Caret) const {
  if (WholeDigits(Text) <= FWholeLen) return;
  const auto end = std::min(Text.find(FDecimalSep), Text.size());
  int n = 0;
  for (std::size_t i = 0; i < end; ++i) {
    const char32_t c = Text[i];
    if (c == U'-' || c == FThousandSep) continue;
    if (++n == FWholeLen) {
      EraseAt(Text, Caret, i + 1, end - (i + 1));
      return;
    }
  }
}

void TLabeledNumEditModel::TrimDecimals(std::u32string& Text, int& Caret) const {
  const auto d = Text.find(FDecimalSep);
  if (d == std::u32string::npos) return;
  if (FDecimalLen == 0) {
    EraseAt(Text, Caret, d, Text.size() - d);
    return;
  }
  int n = 0;
  for (auto i = d + 1; i < Text.size(); ++i) {
    if (Text[i] == FThousandSep) continue;
    if (++n > FDecimalLen) {
      EraseAt(Text, Caret, i, Text.size() - i);
      return;
    }
  }
}

void TLabeledNumEditModel::Format(std::u32string& Text, int& Caret) const {
  const std::size_t f = StartsWithMinus(Text) ? 1 : 0;
  if (Text != U"0") {
    for (auto i = Text.size(); i-- > 0;)
      if (Text[i] == FThousandSep) EraseAt(Text, Caret, i, 1);
    while (f < Text.size() && Text[f] == U'0') EraseAt(Text, Caret, f, 1);
  }
  if (!Text.empty()) {
    if (f < Text.size() && Text[f] == FDecimalSep) InsertAt(Text, Caret, f, U'0', true);
    if (FThousandGrouping && !(FFocused && FEditorMode)) {
      const auto end = std::min(Text.find(FDecimalSep), Text.size());
      // Right to left, so the positions still to come stay valid.
      for (auto pos = static_cast<std::ptrdiff_t>(end) - 3; pos > static_cast<std::ptrdiff_t>(f); pos -= 3)
        InsertAt(Text, Caret, static_cast<std::size_t>(pos), FThousandSep, false);
    }
  }
  if (Text.empty() && !FCanEmpty) InsertAt(Text, Caret, 0, U'0', true);
}

bool TLabeledNumEditModel::Reformat(std::u32string& Text, int& Caret) {
  for (auto i = Text.size(); i-- > 0;)
    if (Text[i] == FThousandSep) EraseAt(Text, Caret, i, 1);
  if (Text.empty()) {
    if (!FCanEmpty) return false;
    FValue = 0;
    return true;
  }

  // A floating-point number: blanks around it, a sign, digits with the decimal separator,
  // an exponent.
  std::size_t b = 0, e = Text.size();
  while (b < e && IsBlank(Text[b])) ++b;
  while (e > b && IsBlank(Text[e - 1])) --e;
  std::size_t i = b;
  bool negative = false, plus = false;
  if (i < e && (Text[i] == U'+' || Text[i] == U'-')) {
    negative = Text[i] == U'-';
    plus = !negative;
    ++i;
  }
  const std::size_t intStart = i;
  while (i < e && IsDigit(Text[i])) ++i;
  const std::size_t intEnd = i;
  std::size_t fracStart = i, fracEnd = i;
  if (i < e && Text[i] == FDecimalSep) {
    fracStart = ++i;
    while (i < e && IsDigit(Text[i])) ++i;
    fracEnd = i;
  }
  if (intEnd == intStart && fracEnd == fracStart) return false;
  bool hasExponent = false;
  long exponent = 0;
  if (i < e && (Text[i] == U'e' || Text[i] == U'E')) {
    ++i;
    bool expNegative = false;
    if (i < e && (Text[i] == U'+' || Text[i] == U'-')) expNegative = Text[i++] == U'-';
    const std::size_t expStart = i;
    while (i < e && IsDigit(Text[i])) {
      if (exponent < 100000) exponent = exponent * 10 + static_cast<long>(Text[i] - U'0');
      ++i;
    }
    if (i == expStart) return false;
    if (expNegative) exponent = -exponent;
    hasExponent = true;
  }
  if (i != e) return false;

  if (hasExponent) {
    // Written out in plain digits, so that the field only ever holds digits, sign and separators.
    if (exponent > 1000 || exponent < -1000) return false;
    std::u32string digits = Text.substr(intStart, intEnd - intStart) + Text.substr(fracStart, fracEnd - fracStart);
    const long point = static_cast<long>(intEnd - intStart) + exponent;
    std::u32string out = negative ? U"-" : U"";
    if (point <= 0) {
      out += U'0';
      out += FDecimalSep;
      out.append(static_cast<std::size_t>(-point), U'0');
      out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(point) - digits.size(), U'0');
    } else {
      out += digits.substr(0, static_cast<std::size_t>(point));
      out += FDecimalSep;
      out += digits.substr(static_cast<std::size_t>(point));
    }
    if (out.find(FDecimalSep) != std::u32string::npos) {
      while (out.back() == U'0') out.pop_back();
      if (out.back() == FDecimalSep) out.pop_back();
    }
    Text = std::move(out);
    Caret = std::min(Caret, Size(Text));
  } else {
    EraseAt(Text, Caret, e, Text.size() - e);
    if (plus) EraseAt(Text, Caret, b, 1);
    EraseAt(Text, Caret, 0, b);
  }

  TrimWhole(Text, Caret);
  TrimDecimals(Text, Caret);
  FValue = NumberOf(Text);
  Format(Text, Caret);
  return true;
}

double TLabeledNumEditModel::NumberOf(const std::u32string& Text) const {
  std::string whole, fraction;
  bool negative = false, inFraction = false;
  for (char32_t c : Text) {
    if (c == U'-') negative = true;
    else if (c == FDecimalSep) inFraction = true;
    else if (IsDigit(c)) (inFraction ? fraction : whole) += static_cast<char>(c);
  }
  if (whole.empty() && fraction.empty()) return 0;
  std::string s = (negative ? "-" : "") + (whole.empty() ? std::string("0") : whole) + "." +
                  (fraction.empty() ? std::string("0") : fraction);
  double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || !std::isfinite(v)) return FValue;
  return v + 0.0;  // no negative zero
}

std::u32string TLabeledNumEditModel::ValueText(double Value) const {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::general, 15);
  std::string s(buf, r.ptr);
  // "1e+15" / "1e-05" are written "1E15" / "1E-5".
  if (const auto ePos = s.find('e'); ePos != std::string::npos) {
    const int exponent = std::atoi(s.c_str() + ePos + 1);
    s = s.substr(0, ePos) + "E" + std::to_string(exponent);
  }
  std::u32string out;
  out.reserve(s.size());
  for (char c : s) out += c == '.' ? FDecimalSep : static_cast<char32_t>(c);
  return out;
}

// --- Display ------------------------------------------------------------------------------------

void TLabeledNumEditModel::Show(const std::u32string& Text) {
  if (FDisplay == Text) return;
  FDisplay = Text;
  if (OnChange) OnChange(*this);
}

void TLabeledNumEditModel::Redisplay() {
  if (FDisplay != FText) {
    int caret = FCaret;  // the caret and the selection stay as the operation left them
    Reformat(FText, caret);
    Show(FText);
  }
  SetSelection(FCaret, FSelLength);
}

void TLabeledNumEditModel::SetSelection(int Start, int Length) {
  if (Length < 0) {
    Start += Length;
    Length = -Length;
  }
  const int size = Size(FDisplay);
  FCaret = std::clamp(Start, 0, size);
  FSelLength = std::clamp(Length, 0, size - FCaret);
}

void TLabeledNumEditModel::BeginOperation() {
  FRefused = false;
  FBeeped = false;
}

void TLabeledNumEditModel::Beep() {
  FRefused = true;
  if (FBeepOnError) {
    FBeeped = true;
    ++FBeepCount;
  }
}

void TLabeledNumEditModel::DeleteSelection(std::u32string& Text, int& Caret) const {
  if (FSelLength > 0) EraseAt(Text, Caret, static_cast<std::size_t>(FCaret), static_cast<std::size_t>(FSelLength));
}

// --- Bounds -------------------------------------------------------------------------------------

void TLabeledNumEditModel::CheckBounds() {
  if (TextEmptyAllowed()) {
    FValid = true;
    return;
  }
  const bool minViolation = FMinChecking && FValue < LowerBound();
  const bool maxViolation = !minViolation && FMaxChecking && FValue > UpperBound();
  if (!minViolation && !maxViolation) {
    FValid = true;
    return;
  }
  FValid = false;
  const double bound = minViolation ? LowerBound() : UpperBound();
  const bool handled = static_cast<bool>(OnBoundError);
  if (handled) OnBoundError(*this, minViolation, bound);
  if (!OnTakeFocus || OnTakeFocus(*this)) FFocused = true;
  if (!handled) throw EBoundError(minViolation, bound);
}

void TLabeledNumEditModel::ClampMin() {
  if (!TextEmptyAllowed() && FMinChecking && FValue < LowerBound()) SetValue(LowerBound());
}

void TLabeledNumEditModel::ClampMax() {
  if (!TextEmptyAllowed() && FMaxChecking && FValue > UpperBound()) SetValue(UpperBound());
}

// --- Property setters ---------------------------------------------------------------------------

void TLabeledNumEditModel::SetCanEmpty(bool Value) {
  FCanEmpty = Value;
  if (!Value && FText.empty()) {
    FText = FMinChecking ? ValueText(LowerBound()) : U"0";
    Redisplay();
  }
}

void TLabeledNumEditModel::SetEditorMode(bool Value) {
  FEditorMode = Value;
  if (FFocused) {
    Format(FText, FCaret);
    Redisplay();
  }
}

void TLabeledNumEditModel::SetWholeLen(uint8_t Value) {
  if (Value == 0 || Value == FWholeLen) return;
  FWholeLen = Value;
  TrimWhole(FText, FCaret);
  Redisplay();
}

void TLabeledNumEditModel::SetDecimalLen(uint8_t Value) {
  if (Value == FDecimalLen) return;
  FDecimalLen = Value;
  TrimDecimals(FText, FCaret);
  Redisplay();
}

void TLabeledNumEditModel::SetMinChecking(bool Value) {
  if (Value == FMinChecking) return;
  FMinChecking = Value;
  if (Value) ClampMin();
}

void TLabeledNumEditModel::SetMaxChecking(bool Value) {
  if (Value == FMaxChecking) return;
  FMaxChecking = Value;
  if (Value) ClampMax();
}

void TLabeledNumEditModel::SetMin(double Value) {
  if (Value == FMin) return;
  FMin = Value;
  ClampMin();
}

void TLabeledNumEditModel::SetMax(double Value) {
  if (Value == FMax) return;
  FMax = Value;
  ClampMax();
}

void TLabeledNumEditModel::SetThousandGrouping(bool Value) {
  FThousandGrouping = Value;
  Format(FText, FCaret);
  Redisplay();
}

void TLabeledNumEditModel::SetThousandSeparator(char32_t Value) {
  if (Value == U'-' || Value == U'.' || IsDigit(Value) || Value == FDecimalSep || Value == FThousandSep ||
      Value == 0 || Value > 0x10FFFF)
    return;
  if (FThousandGrouping) std::replace(FText.begin(), FText.end(), FThousandSep, Value);
  FThousandSep = Value;
  Redisplay();
}

void TLabeledNumEditModel::SetDecimalSeparator(char32_t Value) {
  if (Value == U'-' || IsDigit(Value) || Value == FDecimalSep || Value == FThousandSep || Value == 0 ||
      Value > 0x10FFFF)
    return;
  std::replace(FText.begin(), FText.end(), FDecimalSep, Value);
  FDecimalSep = Value;
  Redisplay();
}

void TLabeledNumEditModel::SetValue(double Value) {
  if (!std::isfinite(Value)) return;
  Value += 0.0;
  if (Value == FValue) return;
  FValue = Value;
  FText = ValueText(Value);
  Redisplay();
}

int32_t TLabeledNumEditModel::IntValue() const {
  const double low = std::floor(FValue);
  const double diff = FValue - low;
  double r = low;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(low, 2.0) != 0.0)) r = low + 1;
  if (r >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  if (r <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

void TLabeledNumEditModel::SetText(std::string_view Utf8) {
  std::u32string text = FromUtf8(Utf8);
  if (text == FDisplay) return;
  int caret = FCaret;
  if (Reformat(text, caret)) {
    FText = std::move(text);
    Show(FText);
    SetSelection(FCaret, FSelLength);
    CheckBounds();
  } else {
    FText = FDisplay;  // the previous working text
    Redisplay();
  }
}

// --- Operations ---------------------------------------------------------------------------------

void TLabeledNumEditModel::KeyPress(char32_t Key) {
  BeginOperation();
  if (FReadOnly) return;
  const bool accepted = Key == 8 || Key == U'-' || Key == U'.' || IsDigit(Key) || Key == FDecimalSep;
  if (!accepted) {
    Beep();
    return;
  }
  // Edits go to a copy: a refused keystroke leaves text, caret and selection untouched.
  std::u32string t = FText;
  int caret = FCaret;
  const bool hadSelection = FSelLength > 0;

  if (Key == 8) {
    if (hadSelection) {
      DeleteSelection(t, caret);
    } else if (caret > 0) {
      std::size_t from = static_cast<std::size_t>(caret) - 1;
      if (t[from] == FThousandSep && from > 0) --from;
      EraseAt(t, caret, from, static_cast<std::size_t>(caret) - from);
    } else {
      Beep();
      return;
    }
    TrimWhole(t, caret);
    Format(t, caret);
    if (!hadSelection && StartsWithMinus(t) && caret < 1) caret = 1;
  } else if (Key == U'-') {
    if (FMinChecking && LowerBound() >= 0) {
      Beep();
      return;
    }
    if (FInvertSign) {
      if (StartsWithMinus(t)) EraseAt(t, caret, 0, 1);
      else InsertAt(t, caret, 0, U'-', true);
      Format(t, caret);  // "-" alone loses its sign to "0", not to an empty text
    } else {
      DeleteSelection(t, caret);
      if (caret != 0 || StartsWithMinus(t)) {
        Beep();
        return;
      }
      t.insert(0, 1, U'-');
      caret = 1;
      Format(t, caret);
    }
  } else if (IsDigit(Key)) {
    DeleteSelection(t, caret);
    if (caret == 0 && StartsWithMinus(t)) {
      Beep();
      return;
    }
    const auto d = t.find(FDecimalSep);
    const bool inWhole = d == std::u32string::npos || static_cast<std::size_t>(caret) <= d;
    const bool room = inWhole ? WholeDigits(t) < FWholeLen : Decimals(t) < FDecimalLen;
    if (!room) {
      Beep();
      return;
    }
    InsertAt(t, caret, static_cast<std::size_t>(caret), Key, true);
    Format(t, caret);
  } else {  // "." or the decimal separator
    if (t.find(FDecimalSep) != std::u32string::npos || FDecimalLen == 0 || (caret == 0 && StartsWithMinus(t))) {
      Beep();
      return;
    }
    InsertAt(t, caret, static_cast<std::size_t>(caret), FDecimalSep, true);
    TrimDecimals(t, caret);
    Format(t, caret);
  }

  FText = std::move(t);
  FCaret = caret;
  FSelLength = 0;
  Redisplay();
}

bool TLabeledNumEditModel::KeyDown(int KeyCode, TShiftState Shift) {
  BeginOperation();
  if (KeyCode == vk::Delete) {
    if (Shift != TShiftState::None || FReadOnly) return true;
    if (FSelLength == 0 && FCaret >= Size(FText)) {
      Beep();
      return true;
    }
    std::u32string t = FText;
    int caret = FCaret;
    if (FSelLength > 0) {
      DeleteSelection(t, caret);
    } else {
      const auto at = static_cast<std::size_t>(caret);
      EraseAt(t, caret, at, t[at] == FThousandSep ? 2 : 1);
    }
    TrimWhole(t, caret);
    Format(t, caret);
    if (StartsWithMinus(t) && caret < 1) caret = 1;
    FText = std::move(t);
    FCaret = caret;
    FSelLength = 0;
    Redisplay();
    return true;
  }

  const TKeyFunction* f = FFunctionList.Find(KeyCode, Shift);
  if (!f) return false;
  const double before = FValue;
  if (!FReadOnly) SetValue(f->Apply(FValue));
  SetSelection(Size(FDisplay), 0);
  if (FValue == before) Beep();
  return true;
}

bool TLabeledNumEditModel::Paste(std::string_view Utf8) {
  BeginOperation();
  if (FReadOnly) return false;
  std::u32string t = FText;
  int caret = FCaret;
  DeleteSelection(t, caret);
  const std::u32string inserted = FromUtf8(Utf8);
  t.insert(static_cast<std::size_t>(caret), inserted);
  caret += Size(inserted);
  if (!Reformat(t, caret)) return false;
  FText = std::move(t);
  Show(FText);
  SetSelection(caret, 0);
  return true;
}

bool TLabeledNumEditModel::Undo() {
  BeginOperation();
  if (FReadOnly || FValue == FUndoValue) return false;
  SetValue(FUndoValue);
  return true;
}

void TLabeledNumEditModel::Enter() {
  FFocused = true;
  if (!FValid) return;
  FUndoValue = FValue;
  if (FEditorMode) {
    Format(FText, FCaret);
    Redisplay();
  }
  if (OnEnter) OnEnter(*this);
}

void TLabeledNumEditModel::Exit() {
  FFocused = false;
  CheckBounds();
  if (!FValid) return;
  if (OnExit) OnExit(*this);
  if (FEditorMode) {
    Format(FText, FCaret);
    Redisplay();
  }
}

void TLabeledNumEditModel::Click() {
  BeginOperation();
  if ((FAutoSelectOnClick && FSelLength == 0) || FValue == 0) SetSelection(0, Size(FDisplay));
}

}  // namespace vornik
