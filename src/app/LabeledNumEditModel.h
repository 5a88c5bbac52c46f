// The editing rules of the numeric edit control TLabeledNumEdit, without a window: a one-line
// field that accepts only a number. It filters every keystroke, keeps the text grouped with
// thousand separators (while typing too, unless EditorMode hides them during editing), limits
// whole and decimal digits, checks a minimum and a maximum when the field is left (EBoundError
// or OnBoundError) and runs the key functions of a TFunctionList (E: × 1000, Ctrl+E: ÷ 1000 …).
// The widget (app/gui/LabeledNumEdit.h) forwards its key, paste, undo, focus and click events
// here and shows Text(), SelStart() and SelLength(); the tests drive this class alone.
//
// Characters are Unicode code points (char32_t): the text is held as a std::u32string, so the
// caret and the selection count characters even when the thousand separator is U+00A0 or
// U+202F. Text() and SetText() speak UTF-8. The caret is the number of characters before the
// insertion point; with a selection it is the selection's start (SelStart).
//
// Two texts are kept: the working text, which the operations edit, and the displayed text,
// which follows the working text at the end of every operation (Redisplay). Numbers are read and written without the C locale (Qt sets it on
// start-up), with the control's own DecimalSeparator.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "app/FunctionList.h"

namespace vornik {

/// Raised when the field is left (or Text is set) with a value outside the checked bounds and
/// no OnBoundError is assigned. what() is "Minimum value is 10.00" / "Maximum value is 10.00"
/// (the bound in fixed notation with two decimals, "." as decimal point).
class EBoundError : public std::runtime_error {
 public:
  EBoundError(bool MinViolation, double BoundValue);
  bool MinViolation() const { return FMinViolation; }
  double BoundValue() const { return FBoundValue; }
  /// The message for a violation: "Minimum value is %f" or "Maximum value is %f" with "%.2f".
  static std::string MessageFor(bool MinViolation, double BoundValue);

 private:
  bool FMinViolation;
  double FBoundValue;
};

enum class TAlignment { Left, Right, Center };

class TLabeledNumEditModel {
 public:
  /// The user locale's separators (std::locale("")): thousand separator "," and decimal
  /// separator "." when the locale gives none (or gives one the control cannot use).
  TLabeledNumEditModel();
  /// Given separators instead of the locale's (a separator that is a digit or "-", or the same
  /// for both, falls back as above).
  TLabeledNumEditModel(char32_t ThousandSeparator, char32_t DecimalSeparator);

  /// The C++ user locale's separators with the fallbacks above (first = thousand, second = decimal).
  static std::pair<char32_t, char32_t> LocaleSeparators();

  // --- Published properties (initial values in brackets) -----------------------------------

  /// Alignment of the text [Right]. Stored only; the widget shows it.
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment Value) { FAlignment = Value; }
  /// A click selects the whole text when nothing is selected [false].
  bool AutoSelectOnClick() const { return FAutoSelectOnClick; }
  void SetAutoSelectOnClick(bool Value) { FAutoSelectOnClick = Value; }
  /// Refused input asks for the warning beep (Beeped()) [false].
  bool BeepOnError() const { return FBeepOnError; }
  void SetBeepOnError(bool Value) { FBeepOnError = Value; }
  /// The text may be empty; its value is then 0 [false]. Switching it off while the text is
  /// empty sets the text to the lower bound (with MinChecking) or "0".
  bool CanEmpty() const { return FCanEmpty; }
  void SetCanEmpty(bool Value);
  /// The minus key toggles the sign wherever the caret is [false].
  bool InvertSign() const { return FInvertSign; }
  void SetInvertSign(bool Value) { FInvertSign = Value; }
  /// While the field has the focus, thousand separators are not shown [false]. Changing it
  /// while focused reformats the text for the new mode.
  bool EditorMode() const { return FEditorMode; }
  void SetEditorMode(bool Value);
  /// At most this many digits before the decimal separator [12]. 0 is refused (ignored); a new
  /// value trims the whole digits (the leftmost remain) and redisplays.
  uint8_t WholeLen() const { return FWholeLen; }
  void SetWholeLen(uint8_t Value);
  /// At most this many digits after the decimal separator; 0 allows no separator [0]. A new
  /// value trims the decimals and redisplays.
  uint8_t DecimalLen() const { return FDecimalLen; }
  void SetDecimalLen(uint8_t Value);
  /// Enforce the lower / upper bound when the field is left [false]. Switching a check on
  /// clamps Value as setting Min (Max) does.
  bool MinChecking() const { return FMinChecking; }
  void SetMinChecking(bool Value);
  bool MaxChecking() const { return FMaxChecking; }
  void SetMaxChecking(bool Value);
  /// The bounds [0, 0]. Setting one clamps Value with its check on (unless CanEmpty and the
  /// text is empty).
  double Min() const { return FMin; }
  void SetMin(double Value);
  double Max() const { return FMax; }
  void SetMax(double Value);
  /// The bounds in force: with both checks on, the smaller of Min and Max is the lower bound and
  /// the larger the upper bound; with one check on, its own bound counts alone (so MinChecking
  /// with Min 10 checks against 10 while Max keeps its initial 0).
  double LowerBound() const { return FMaxChecking && FMax < FMin ? FMax : FMin; }
  double UpperBound() const { return FMinChecking && FMin > FMax ? FMin : FMax; }
  /// Group whole digits by three [true]. Setting it reformats and redisplays.
  bool ThousandGrouping() const { return FThousandGrouping; }
  void SetThousandGrouping(bool Value);
  /// [the locale's, "," when none]. Refused (ignored) when "-", ".", a digit, or the current
  /// decimal or thousand separator; otherwise replaces the old separator in the text.
  char32_t ThousandSeparator() const { return FThousandSep; }
  void SetThousandSeparator(char32_t Value);
  /// [the locale's, "." when none]. Refused (ignored) when "-", a digit, or the current decimal
  /// or thousand separator; otherwise replaces the old separator in the text.
  char32_t DecimalSeparator() const { return FDecimalSep; }
  void SetDecimalSeparator(char32_t Value);
  /// The number [0]. Setting a different finite value writes it with up to 15 significant
  /// digits (no trailing zeros) as the working text and redisplays; bounds are not checked.
  /// The redisplay trims it to WholeLen/DecimalLen, and Value follows the trimmed text.
  double Value() const { return FValue; }
  void SetValue(double Value);
  /// Value rounded to the nearest integer, halves to the even neighbour, saturated to the
  /// 32-bit range. Writing sets Value.
  int32_t IntValue() const;
  void SetIntValue(int32_t Value) { SetValue(Value); }
  /// The displayed text, UTF-8 ["0"]. Setting a text that differs from it: the text is read
  /// with the control's separators (thousand separators dropped, blanks around it ignored, an
  /// exponent written out); a number is trimmed, formatted and shown, Value follows it, and the
  /// bounds are checked (which may raise EBoundError). Anything else leaves the previous text.
  std::string Text() const { return ToUtf8(FDisplay); }
  void SetText(std::string_view Utf8);
  const std::u32string& Text32() const { return FDisplay; }
  /// Visibility of the caption label [true]. Stored only; the widget shows it.
  bool LabelVisible() const { return FLabelVisible; }
  void SetLabelVisible(bool Value) { FLabelVisible = Value; }
  /// The shortcut table [TFunctionList::Default()]; editable in place.
  TFunctionList& FunctionList() { return FFunctionList; }
  const TFunctionList& FunctionList() const { return FFunctionList; }
  void SetFunctionList(TFunctionList Value) { FFunctionList = std::move(Value); }
  /// The edit field's read-only state [false]: typing, Delete, key functions, Paste and Undo
  /// change nothing (a key function then beeps, as it leaves Value unchanged).
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }

  // --- Events -------------------------------------------------------------------------------

  /// Called instead of raising EBoundError when a bound is violated (MinViolation true for the
  /// lower bound; BoundValue the violated bound).
  std::function<void(TLabeledNumEditModel& Sender, bool MinViolation, double BoundValue)> OnBoundError;
  /// The enter / exit notifications (blocked while a bound violation is pending).
  std::function<void(TLabeledNumEditModel& Sender)> OnEnter;
  std::function<void(TLabeledNumEditModel& Sender)> OnExit;
  /// After the displayed text changed.
  std::function<void(TLabeledNumEditModel& Sender)> OnChange;
  /// Asked on a bound violation to give the focus back to the field; returns true when the field
  /// has it (the widget answers false when it is hidden or disabled). Unassigned: the field is
  /// taken to have it.
  std::function<bool(TLabeledNumEditModel& Sender)> OnTakeFocus;

  // --- Caret and selection (of the displayed text, in characters) -----------------------------

  int SelStart() const { return FCaret; }
  int SelLength() const { return FSelLength; }
  /// Sets caret and selection, clamped to the text.
  void SetSelection(int Start, int Length);
  void SetCaret(int Position) { SetSelection(Position, 0); }

  // --- Operations ---------------------------------------------------------------------------

  /// A typed character: backspace (8), "-", ".", "0"–"9" or the decimal separator; anything
  /// else is refused. Refused keystrokes leave text, caret and selection as they were.
  void KeyPress(char32_t Key);
  /// A key with its shift state: Delete (46), or a key function of FunctionList. Returns true
  /// when the key was consumed (Delete always; a key function when one matched: the caret then
  /// goes to the end and the character the key would produce must be discarded); false leaves
  /// the key to the edit field.
  bool KeyDown(int KeyCode, TShiftState Shift);
  /// Replaces the selection with Utf8 (the clipboard text) and rereads the text; on success
  /// the caret goes after the inserted text, otherwise nothing changes. Returns success.
  bool Paste(std::string_view Utf8);
  /// Sets Value back to what it was when the field last received the focus. Returns true when
  /// Value changed.
  bool Undo();
  /// The field receives the focus: unless a bound violation is pending, the undo value is taken,
  /// in EditorMode the separators go, and OnEnter is called.
  void Enter();
  /// The field loses the focus: the bounds are checked (may raise EBoundError, and takes the
  /// focus back); without a violation OnExit is called and in EditorMode the separators return.
  void Exit();
  /// A mouse click (after the edit field placed the caret): selects the whole text when
  /// AutoSelectOnClick is set and nothing is selected, or when Value is 0.
  void Click();

  // --- State --------------------------------------------------------------------------------

  /// False after a bound violation until the bounds hold again (a check without a violation).
  bool Valid() const { return FValid; }
  /// The Value the field had when it last received the focus [0].
  double UndoValue() const { return FUndoValue; }
  bool Focused() const { return FFocused; }
  /// The last KeyPress / KeyDown / Paste / Undo / Click was refused (whether or not BeepOnError is set).
  bool Refused() const { return FRefused; }
  /// The last such operation asks for the warning beep: refused and BeepOnError set.
  bool Beeped() const { return FBeeped; }
  /// Warning beeps asked for since construction (grows by one per beep).
  uint64_t BeepCount() const { return FBeepCount; }
  /// The working text (equal to the displayed text between operations).
  const std::u32string& WorkingText() const { return FText; }

  static std::string ToUtf8(std::u32string_view Text);
  /// Invalid UTF-8 bytes become U+FFFD.
  static std::u32string FromUtf8(std::string_view Text);

 private:
  void BeginOperation();
  void Beep();
  void Show(const std::u32string& Text);
  bool StartsWithMinus(const std::u32string& Text) const { return !Text.empty() && Text.front() == U'-'; }
  int WholeDigits(const std::u32string& Text) const;
  int Decimals(const std::u32string& Text) const;
  void TrimWhole(std::u32string& Text, int& Caret) const;
  void TrimDecimals(std::u32string& Text, int& Caret) const;
  void Format(std::u32string& Text, int& Caret) const;
  bool Reformat(std::u32string& Text, int& Caret);
  void Redisplay();
  void CheckBounds();
  void ClampMin();
  void ClampMax();
  bool TextEmptyAllowed() const { return FCanEmpty && FText.empty(); }
  std::u32string ValueText(double Value) const;
  double NumberOf(const std::u32string& Text) const;
  void DeleteSelection(std::u32string& Text, int& Caret) const;

  TAlignment FAlignment = TAlignment::Right;
  bool FAutoSelectOnClick = false;
  bool FBeepOnError = false;
  bool FCanEmpty = false;
  bool FInvertSign = false;
  bool FEditorMode = false;
  uint8_t FWholeLen = 12;
  uint8_t FDecimalLen = 0;
  bool FMinChecking = false;
  bool FMaxChecking = false;
  double FMin = 0;
  double FMax = 0;
  bool FThousandGrouping = true;
  char32_t FThousandSep = U',';
  char32_t FDecimalSep = U'.';
  double FValue = 0;
  bool FLabelVisible = true;
  bool FReadOnly = false;
  TFunctionList FFunctionList = TFunctionList::Default();

  std::u32string FText = U"0";
  std::u32string FDisplay = U"0";
  int FCaret = 0;
  int FSelLength = 0;
  bool FValid = true;
  double FUndoValue = 0;
  bool FFocused = false;
  bool FRefused = false;
  bool FBeeped = false;
  uint64_t FBeepCount = 0;
};

}  // namespace vornik
