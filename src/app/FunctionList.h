// The shortcut table of the numeric edit control (TLabeledNumEdit): a list of strings, one
// shortcut per entry, four fields separated by ";": modifiers; key code; operator; operand.
//
//   modifiers  the shift state the key must be pressed with, exactly: Shift when the field
//              contains "Shift", Ctrl when it contains "Ctrl", Alt when it contains "Alt" (any
//              combination and order; empty means no modifier)
//   key code   a decimal Windows virtual-key code (69 = E, 107 = keypad plus, 109 = keypad minus)
//   operator   the first character of the third field: "+", "-", "*" or "/"
//   operand    a decimal number, the rest of the entry ("." as decimal point; "," is read too)
//
// The strings are the table; a parsed form is kept beside them and rebuilt on every change, so a
// keystroke only compares numbers. Plain C++, no window system.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornik {

/// The modifier keys held with a key (Shift, Ctrl, Alt), as a small set of flags.
enum class TShiftState : uint8_t { None = 0, Shift = 1, Ctrl = 2, Alt = 4 };

constexpr TShiftState operator|(TShiftState A, TShiftState B) {
  return static_cast<TShiftState>(static_cast<uint8_t>(A) | static_cast<uint8_t>(B));
}
constexpr TShiftState operator&(TShiftState A, TShiftState B) {
  return static_cast<TShiftState>(static_cast<uint8_t>(A) & static_cast<uint8_t>(B));
}
constexpr TShiftState& operator|=(TShiftState& A, TShiftState B) { return A = A | B; }
/// True when every flag of Flags is in State.
constexpr bool HasShift(TShiftState State, TShiftState Flags) { return (State & Flags) == Flags; }

/// Windows virtual-key codes the control uses (the rest follow the same numbering: letters 65–90).
namespace vk {
inline constexpr int Back = 8;
inline constexpr int Delete = 46;
inline constexpr int KeyE = 69;
inline constexpr int KeyM = 77;
inline constexpr int Add = 107;       ///< keypad plus
inline constexpr int Subtract = 109;  ///< keypad minus
}  // namespace vk

/// One parsed entry of a TFunctionList.
struct TKeyFunction {
  TShiftState Shift = TShiftState::None;
  int KeyCode = 0;
  /// '+', '-', '*', '/'; any other character (or '\0' for an empty field) changes nothing.
  char Operator = '\0';
  double Operand = 0;
  /// False when the operand is not a number: the entry still takes its key but changes nothing.
  bool OperandValid = false;

  /// The operator applied to Value: Value + operand, Value - operand, operand * Value,
  /// Value / operand; Value unchanged for any other operator or an invalid operand.
  double Apply(double Value) const;
};

class TFunctionList {
 public:
  /// An empty table.
  TFunctionList() = default;
  TFunctionList(std::initializer_list<std::string> Entries);
  explicit TFunctionList(std::vector<std::string> Entries);

  /// The seven entries a new control has (also the flash page's): ";69;*;1000" (E: × 1000),
  /// "Ctrl;69;/;1000" (Ctrl+E: ÷ 1000), ";77;*;1000000" (M), "Ctrl;77;/;1000000" (Ctrl+M),
  /// "Ctrl;109;*;-1" (Ctrl + keypad minus: change the sign), "Shift;107;+;1" (Shift + keypad
  /// plus: add 1), "Shift;109;-;1" (Shift + keypad minus: subtract 1).
  static TFunctionList Default();

  int Count() const { return static_cast<int>(FStrings.size()); }
  const std::string& operator[](int Index) const { return FStrings.at(static_cast<std::size_t>(Index)); }
  const std::vector<std::string>& Strings() const { return FStrings; }
  void SetStrings(std::vector<std::string> Entries);
  void Add(std::string Entry);
  void Insert(int Index, std::string Entry);
  /// Replaces entry Index.
  void Put(int Index, std::string Entry);
  void Delete(int Index);
  void Clear();

  /// The entries one a line (lines end with "\n"); SetText splits at LF or CR LF, dropping empty lines.
  std::string Text() const;
  void SetText(std::string_view Value);

  /// The entry used for the key: searched from the last entry to the first, the first whose
  /// modifiers equal Shift and whose key code equals KeyCode (so the last matching entry of the
  /// list). nullptr when none matches. Entries that cannot be parsed never match.
  const TKeyFunction* Find(int KeyCode, TShiftState Shift) const;

  /// Parses one entry; nullopt when it has fewer than four fields or the key code is not a
  /// decimal integer.
  static std::optional<TKeyFunction> Parse(std::string_view Entry);

  bool operator==(const TFunctionList& Other) const { return FStrings == Other.FStrings; }

 private:
  void Rebuild();

  std::vector<std::string> FStrings;
  /// Parsed entries, index-aligned with FStrings (nullopt for an unparsable entry).
  std::vector<std::optional<TKeyFunction>> FParsed;
};

}  // namespace vornik
