#include "app/LabeledNumEditModel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace vornik {
namespace {

// A field as the flash page configures it, but with two decimals unless a case says otherwise:
// blank thousand separator, "," decimal separator, beeps on.
TLabeledNumEditModel Field(uint8_t DecimalLen = 2) {
  TLabeledNumEditModel m(U' ', U',');
  m.SetBeepOnError(true);
  m.SetDecimalLen(DecimalLen);
  return m;
}

// Key script: '<' backspace, '>' Delete key, 'E' / 'e' = E / Ctrl+E, 'M' / 'm' = M / Ctrl+M,
// '+' Shift+keypad plus, '_' Shift+keypad minus, '~' Ctrl+keypad minus, '^' Ctrl+Delete;
// any other character is typed (KeyPress). Returns the number of beeps.
uint64_t Type(TLabeledNumEditModel& m, std::string_view Keys) {
  const uint64_t before = m.BeepCount();
  for (char32_t c : TLabeledNumEditModel::FromUtf8(Keys)) {
    switch (c) {
      case U'<': m.KeyPress(8); break;
      case U'>': m.KeyDown(vk::Delete, TShiftState::None); break;
      case U'^': m.KeyDown(vk::Delete, TShiftState::Ctrl); break;
      case U'E': m.KeyDown(vk::KeyE, TShiftState::None); break;
      case U'e': m.KeyDown(vk::KeyE, TShiftState::Ctrl); break;
      case U'M': m.KeyDown(vk::KeyM, TShiftState::None); break;
      case U'm': m.KeyDown(vk::KeyM, TShiftState::Ctrl); break;
      case U'+': m.KeyDown(vk::Add, TShiftState::Shift); break;
      case U'_': m.KeyDown(vk::Subtract, TShiftState::Shift); break;
      case U'~': m.KeyDown(vk::Subtract, TShiftState::Ctrl); break;
      default: m.KeyPress(c); break;
    }
  }
  return m.BeepCount() - before;
}

struct KeyCase {
  const char* Name;
  const char* Start;  // set as Text ("" with CanEmpty)
  int Caret, Sel;     // before the keys
  const char* Keys;
  const char* Text;  // displayed afterwards
  int CaretAfter;
  bool Beep;  // any key of the script beeped
  void (*Setup)(TLabeledNumEditModel&) = nullptr;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.Name; }

void WholeLen3(TLabeledNumEditModel& m) { m.SetWholeLen(3); }
void NoDecimals(TLabeledNumEditModel& m) { m.SetDecimalLen(0); }
void ThreeDecimals(TLabeledNumEditModel& m) { m.SetDecimalLen(3); }
void Empty(TLabeledNumEditModel& m) { m.SetCanEmpty(true); }
void Invert(TLabeledNumEditModel& m) { m.SetInvertSign(true); }
void MinZero(TLabeledNumEditModel& m) { m.SetMinChecking(true); }
void EditorFocused(TLabeledNumEditModel& m) {
  m.SetEditorMode(true);
  m.Enter();
}

const KeyCase kKeyCases[] = {
    // Grouping while typing; leading zeros; a decimal separator first.
    {"GroupsWhileTyping", "0", 1, 0, "1234567", "1 234 567", 9, false},
    {"LeadingZerosGo", "0", 1, 0, "0005", "5", 1, false},
    {"CommaThenFiveFromEmpty", "", 0, 0, ",5", "0,5", 3, false, Empty},
    {"CommaThenFiveAfterZero", "0", 1, 0, ",5", "0,5", 3, false},
    {"DotTypesTheDecimalSeparator", "12", 2, 0, ".5", "12,5", 4, false},
    {"SecondDecimalSeparatorBeeps", "1,5", 3, 0, ",", "1,5", 3, true},
    {"DecimalSeparatorWithoutDecimalsBeeps", "15", 2, 0, ",", "15", 2, true, NoDecimals},
    {"DecimalSeparatorInsideGroupsTrimsDecimals", "1 234 567", 3, 0, ",", "12,34", 3, false},
    // Digit limits.
    {"FourthWholeDigitBeeps", "123", 3, 0, "4", "123", 3, true, WholeLen3},
    {"DecimalFullAfterComma", "1,23", 2, 0, "4", "1,23", 2, true},
    {"DecimalFullBeforeCommaAccepted", "1,23", 1, 0, "4", "14,23", 2, false},
    {"DigitReplacesSelection", "123", 2, 1, "9", "129", 3, false, WholeLen3},
    {"TwelveDigitsThenBeep", "0", 1, 0, "1234567890123", "123 456 789 012", 15, true},
    {"DigitInFrontOfMinusBeeps", "-5", 0, 0, "7", "-5", 0, true},
    {"DigitInMiddleKeepsCaretBeforeSeparator", "12 345", 2, 0, "6", "126 345", 3, false},
    // Minus.
    {"MinusAtStart", "5", 0, 0, "-", "-5", 1, false},
    {"MinusNotAtStartBeeps", "5", 1, 0, "-", "5", 1, true},
    {"SecondMinusBeeps", "-5", 0, 0, "-", "-5", 0, true},
    {"MinusReplacesWholeSelection", "5", 0, 1, "-7", "-7", 2, false},
    {"MinusWithMinCheckingAtZeroBeeps", "5", 0, 0, "-", "5", 0, true, MinZero},
    {"InvertSignAnywhere", "1 234", 5, 0, "-", "-1 234", 6, false, Invert},
    {"InvertSignBack", "-1 234", 6, 0, "-", "1 234", 5, false, Invert},
    {"InvertSignOnZeroAndBack", "0", 1, 0, "--", "0", 1, false, Invert},
    // Backspace.
    {"BackspaceAfterSeparatorTakesDigitToo", "1 234", 2, 0, "<", "234", 0, false},
    {"BackspaceRegroups", "1 234 567", 6, 0, "<", "123 567", 3, false},
    {"BackspaceAtStartBeeps", "12", 0, 0, "<", "12", 0, true},
    {"BackspaceDeletesSelection", "1 234", 1, 3, "<", "14", 1, false},
    {"BackspaceLastDigitLeavesZero", "7", 1, 0, "<", "0", 1, false},
    {"BackspaceLastDigitLeavesEmpty", "7", 1, 0, "<", "", 0, false, Empty},
    {"BackspaceKeepsCaretBehindMinus", "-5", 2, 0, "<", "-", 1, false},
    {"BackspaceOverCommaTrimsWholeDigits", "123,45", 4, 0, "<", "123", 3, false, WholeLen3},
    // Refused characters.
    {"LetterBeeps", "12", 1, 1, "x", "12", 1, true},
    {"BlankBeeps", "12", 2, 0, " ", "12", 2, true},
    // Delete key.
    {"DeleteFirstDigit", "1 234", 0, 0, ">", "234", 0, false},
    {"DeleteBeforeSeparatorTakesNextDigit", "1 234", 1, 0, ">", "134", 1, false},
    {"DeleteAtEndBeeps", "1 234", 5, 0, ">", "1 234", 5, true},
    {"DeleteWithModifierDoesNothing", "1 234", 0, 0, "^", "1 234", 0, false},
    {"DeleteSelection", "1 234", 0, 3, ">", "34", 0, false},
    {"DeleteKeepsCaretBehindMinus", "-56", 1, 0, ">", "-6", 1, false},
    // Key functions.
    {"EMultipliesByThousand", "5", 1, 0, "E", "5 000", 5, false},
    {"CtrlEDividesAgain", "5", 1, 0, "Ee", "5", 1, false},
    {"EOnZeroBeeps", "0", 1, 0, "E", "0", 1, true},
    {"MMultipliesByMillion", "5", 0, 0, "M", "5 000 000", 9, false},
    {"CtrlMDivides", "7 000 000", 0, 0, "m", "7", 1, false},
    {"CtrlEBelowOneKeepsDecimals", "5", 1, 0, "e", "0,005", 5, false, ThreeDecimals},
    {"CtrlETrimmedToWholeNumber", "5", 1, 0, "e", "0", 1, false, NoDecimals},
    {"EBeyondTwelveDigitsBeeps", "999 999 999 999", 0, 0, "E", "999 999 999 999", 15, true},
    {"ShiftKeypadPlusAddsOne", "5", 0, 0, "+", "6", 1, false},
    {"ShiftKeypadMinusSubtractsOne", "5", 0, 0, "_", "4", 1, false},
    {"CtrlKeypadMinusChangesSign", "1 234", 0, 0, "~", "-1 234", 6, false},
    // EditorMode: no separators while focused.
    {"EditorModeTypesWithoutSeparators", "0", 1, 0, "1234567", "1234567", 7, false, EditorFocused},
};

class KeyTable : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyTable, TextCaretAndBeep) {
  const KeyCase& c = GetParam();
  auto m = Field();
  if (*c.Start == '\0') m.SetCanEmpty(true);
  if (c.Setup) c.Setup(m);
  m.SetText(c.Start);
  ASSERT_EQ(m.Text(), c.Start) << "start text";
  m.SetSelection(c.Caret, c.Sel);
  const uint64_t beeps = Type(m, c.Keys);
  EXPECT_EQ(m.Text(), c.Text);
  EXPECT_EQ(m.SelStart(), c.CaretAfter);
  EXPECT_EQ(beeps > 0, c.Beep);
  EXPECT_EQ(m.WorkingText(), m.Text32());
}

INSTANTIATE_TEST_SUITE_P(LabeledNumEditModel, KeyTable, ::testing::ValuesIn(kKeyCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(LabeledNumEditModel, NewControlProperties) {
  TLabeledNumEditModel m;
  EXPECT_EQ(m.Alignment(), TAlignment::Right);
  EXPECT_FALSE(m.AutoSelectOnClick());
  EXPECT_FALSE(m.BeepOnError());
  EXPECT_FALSE(m.CanEmpty());
  EXPECT_FALSE(m.InvertSign());
  EXPECT_FALSE(m.EditorMode());
  EXPECT_EQ(m.WholeLen(), 12);
  EXPECT_EQ(m.DecimalLen(), 0);
  EXPECT_FALSE(m.MinChecking());
  EXPECT_FALSE(m.MaxChecking());
  EXPECT_EQ(m.Min(), 0);
  EXPECT_EQ(m.Max(), 0);
  EXPECT_TRUE(m.ThousandGrouping());
  EXPECT_EQ(m.ThousandSeparator(), TLabeledNumEditModel::LocaleSeparators().first);
  EXPECT_EQ(m.DecimalSeparator(), TLabeledNumEditModel::LocaleSeparators().second);
  EXPECT_EQ(m.Value(), 0);
  EXPECT_EQ(m.IntValue(), 0);
  EXPECT_EQ(m.Text(), "0");
  EXPECT_TRUE(m.LabelVisible());
  EXPECT_EQ(m.FunctionList(), TFunctionList::Default());
  EXPECT_EQ(m.FunctionList().Count(), 7);
  EXPECT_FALSE(m.OnBoundError);
  EXPECT_TRUE(m.Valid());
  EXPECT_EQ(m.UndoValue(), 0);
  EXPECT_FALSE(m.Focused());
}

TEST(LabeledNumEditModel, FlashPageConfiguration) {
  TLabeledNumEditModel m;
  m.SetWholeLen(12);
  m.SetDecimalLen(0);
  m.SetThousandSeparator(U' ');
  m.SetDecimalSeparator(U',');
  m.SetText("0");
  m.SetText("128");
  EXPECT_EQ(m.Text(), "128");
  m.SetText("1073741824");
  EXPECT_EQ(m.Text(), "1 073 741 824");
  EXPECT_EQ(m.IntValue(), 1073741824);
  m.SetText("1 073 741 824");  // as persisted ("text as displayed")
  EXPECT_EQ(m.Value(), 1073741824.0);
}

TEST(LabeledNumEditModel, NonAsciiSeparatorCountsCharacters) {
  TLabeledNumEditModel m(U'\u202F', U',');
  m.SetCaret(1);
  Type(m, "1234");
  EXPECT_EQ(m.Text(), "1\u202F234");
  EXPECT_EQ(m.Text32().size(), 5u);
  EXPECT_EQ(m.SelStart(), 5);
  m.SetCaret(2);  // just after the separator
  m.KeyPress(8);
  EXPECT_EQ(m.Text(), "234");
  EXPECT_EQ(m.SelStart(), 0);
  m.SetThousandSeparator(U'\u00A0');
  m.SetValue(1234567);
  EXPECT_EQ(m.Text(), "1\u00A0234\u00A0567");
}

TEST(LabeledNumEditModel, SettingValueWritesFifteenDigitsAndTrims) {
  auto m = Field(0);
  m.SetValue(1234.5);
  EXPECT_EQ(m.Text(), "1 234");
  EXPECT_EQ(m.Value(), 1234);  // Value follows the trimmed text
  m.SetDecimalLen(2);
  m.SetValue(0.1 + 0.2);
  EXPECT_EQ(m.Text(), "0,3");
  m.SetValue(1e20);
  EXPECT_EQ(m.Text(), "100 000 000 000");
  EXPECT_EQ(m.Value(), 1e11);
  m.SetDecimalLen(3);
  m.SetValue(1e-6);
  EXPECT_EQ(m.Text(), "0,000");
  EXPECT_EQ(m.Value(), 0);
  m.SetValue(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(m.Value(), 0);
  m.SetValue(-42.125);
  EXPECT_EQ(m.Text(), "-42,125");
}

TEST(LabeledNumEditModel, IntValueRoundsHalvesToEven) {
  auto m = Field();
  const struct {
    double v;
    int32_t i;
  } cases[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {2.49, 2}, {2.51, 3}, {1e11, INT32_MAX}, {-1e11, INT32_MIN}};
  for (auto c : cases) {
    m.SetValue(c.v);
    EXPECT_EQ(m.IntValue(), c.i) << c.v;
  }
  m.SetIntValue(42);
  EXPECT_EQ(m.Text(), "42");
  EXPECT_EQ(m.Value(), 42);
}

TEST(LabeledNumEditModel, SettingText) {
  auto m = Field();
  const struct {
    const char *in, *out;
    double value;
  } cases[] = {{"0005", "5", 5},        {",5", "0,5", 0.5},           {"1234567", "1 234 567", 1234567},
               {"  12 ", "12", 12},     {"1e3", "1 000", 1000},      {"+7", "7", 7},
               {"-0,25", "-0,25", -0.25}, {"1,2345", "1,23", 1.23},  {"1234567890123456", "123 456 789 012", 123456789012}};
  for (auto c : cases) {
    m.SetText(c.in);
    EXPECT_EQ(m.Text(), c.out) << c.in;
    EXPECT_DOUBLE_EQ(m.Value(), c.value) << c.in;
  }
  m.SetText("1234567");
  m.SetText("12.5");  // "." is not the decimal separator here: refused
  EXPECT_EQ(m.Text(), "1 234 567");
  m.SetText("abc");
  EXPECT_EQ(m.Text(), "1 234 567");
  m.SetText("");  // CanEmpty is off
  EXPECT_EQ(m.Text(), "1 234 567");
  m.SetCanEmpty(true);
  m.SetText("");
  EXPECT_EQ(m.Text(), "");
  EXPECT_EQ(m.Value(), 0);
}

TEST(LabeledNumEditModel, DigitLimitSetters) {
  auto m = Field();
  m.SetText("123 456,78");
  m.SetWholeLen(0);
  EXPECT_EQ(m.WholeLen(), 12);
  m.SetWholeLen(3);
  EXPECT_EQ(m.Text(), "123,78");
  EXPECT_DOUBLE_EQ(m.Value(), 123.78);
  m.SetDecimalLen(1);
  EXPECT_EQ(m.Text(), "123,7");
  m.SetDecimalLen(0);
  EXPECT_EQ(m.Text(), "123");
  EXPECT_EQ(m.Value(), 123);
}

TEST(LabeledNumEditModel, BoundSettersClamp) {
  auto m = Field();
  m.SetMax(100);
  m.SetValue(5);
  m.SetMin(10);  // no check yet
  EXPECT_EQ(m.Value(), 5);
  m.SetMinChecking(true);  // switching on clamps
  EXPECT_EQ(m.Value(), 10);
  EXPECT_EQ(m.Text(), "10");
  m.SetMax(20);
  m.SetMaxChecking(true);
  m.SetMin(10);
  m.SetValue(30);  // setting Value does not check
  EXPECT_EQ(m.Value(), 30);
  m.SetMax(25);
  EXPECT_EQ(m.Value(), 25);
  // With both checks the lower bound is the smaller of the two.
  m.SetMin(40);
  EXPECT_EQ(m.LowerBound(), 25);
  EXPECT_EQ(m.UpperBound(), 40);
  m.SetMaxChecking(false);  // one check: its own bound alone
  EXPECT_EQ(m.LowerBound(), 40);
  // An empty text that may stay empty is not clamped.
  auto e = Field();
  e.SetCanEmpty(true);
  e.SetText("");
  e.SetMinChecking(true);
  e.SetMax(9);
  e.SetMin(3);
  EXPECT_EQ(e.Text(), "");
  e.SetCanEmpty(false);  // the text becomes the lower bound
  EXPECT_EQ(e.Text(), "3");
  auto z = Field();
  z.SetCanEmpty(true);
  z.SetText("");
  z.SetCanEmpty(false);
  EXPECT_EQ(z.Text(), "0");
}

TEST(LabeledNumEditModel, SeparatorSetters) {
  auto m = Field();
  m.SetText("1234,5");
  for (char32_t refused : {U'-', U'.', U'7', U',', U' '}) {
    m.SetThousandSeparator(refused);
    EXPECT_EQ(m.ThousandSeparator(), U' ');
  }
  m.SetThousandSeparator(U'\'');
  EXPECT_EQ(m.Text(), "1'234,5");
  for (char32_t refused : {U'-', U'0', U',', U'\''}) {
    m.SetDecimalSeparator(refused);
    EXPECT_EQ(m.DecimalSeparator(), U',');
  }
  m.SetDecimalSeparator(U'.');
  EXPECT_EQ(m.Text(), "1'234.5");
  m.SetThousandGrouping(false);
  EXPECT_EQ(m.Text(), "1234.5");
  m.SetThousandSeparator(U' ');  // no grouping: just stored
  m.SetThousandGrouping(true);
  EXPECT_EQ(m.Text(), "1 234.5");
}

TEST(LabeledNumEditModel, EditorModeHidesSeparatorsWhileFocused) {
  auto m = Field();
  m.SetText("1234567");
  m.SetEditorMode(true);
  EXPECT_EQ(m.Text(), "1 234 567");  // not focused
  m.Enter();
  EXPECT_EQ(m.Text(), "1234567");
  m.Exit();
  EXPECT_EQ(m.Text(), "1 234 567");
  m.Enter();
  m.SetEditorMode(false);
  EXPECT_EQ(m.Text(), "1 234 567");
}

TEST(LabeledNumEditModel, LeavingBelowMinimumRaisesAndKeepsFocus) {
  auto m = Field();
  m.SetMinChecking(true);
  m.SetMax(100);
  m.SetMin(10);  // Value clamped to 10
  int enters = 0, exits = 0;
  m.OnEnter = [&](TLabeledNumEditModel&) { ++enters; };
  m.OnExit = [&](TLabeledNumEditModel&) { ++exits; };
  m.Enter();
  m.SetCaret(2);
  Type(m, "<<5");
  EXPECT_EQ(m.Value(), 5);
  try {
    m.Exit();
    FAIL() << "no EBoundError";
  } catch (const EBoundError& e) {
    EXPECT_STREQ(e.what(), "Minimum value is 10.00");
    EXPECT_TRUE(e.MinViolation());
    EXPECT_EQ(e.BoundValue(), 10);
  }
  EXPECT_TRUE(m.Focused());
  EXPECT_FALSE(m.Valid());
  EXPECT_EQ(exits, 0);
  m.Enter();  // blocked while the violation is pending
  EXPECT_EQ(enters, 1);
  m.SetCaret(1);
  Type(m, "2");  // 52
  m.Exit();
  EXPECT_TRUE(m.Valid());
  EXPECT_EQ(exits, 1);
  EXPECT_FALSE(m.Focused());
}

TEST(LabeledNumEditModel, MinimumTenWithMaximumLeftAtZero) {
  // Only MinChecking and Min are set; Max keeps its 0.
  auto m = Field(0);
  m.SetMinChecking(true);
  m.SetMin(10);
  EXPECT_EQ(m.Text(), "10");
  m.Enter();
  m.SetSelection(0, 2);
  m.KeyPress(U'5');
  EXPECT_THROW(m.Exit(), EBoundError);
  EXPECT_TRUE(m.Focused());
  EXPECT_EQ(Type(m, "-"), 1u);  // no minus: the lower bound is not negative
}

TEST(LabeledNumEditModel, OnBoundErrorReplacesTheException) {
  auto m = Field();
  m.SetMaxChecking(true);
  m.SetMax(1234.5);
  std::vector<std::pair<bool, double>> calls;
  m.OnBoundError = [&](TLabeledNumEditModel&, bool MinViolation, double Bound) { calls.emplace_back(MinViolation, Bound); };
  bool focusAsked = false;
  m.OnTakeFocus = [&](TLabeledNumEditModel&) {
    focusAsked = true;
    return false;  // hidden: the focus is not taken
  };
  m.SetText("2000");  // setting Text checks the bounds
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].first);
  EXPECT_EQ(calls[0].second, 1234.5);
  EXPECT_TRUE(focusAsked);
  EXPECT_FALSE(m.Focused());
  EXPECT_FALSE(m.Valid());
  EXPECT_EQ(EBoundError::MessageFor(false, 1234.5), "Maximum value is 1234.50");
  m.OnBoundError = nullptr;
  EXPECT_THROW(m.SetText("3000"), EBoundError);
  // An empty text that may stay empty is not checked.
  m.SetCanEmpty(true);
  m.SetText("");
  EXPECT_TRUE(m.Valid());
}

TEST(LabeledNumEditModel, PasteReplacesSelectionAndRereads) {
  auto m = Field();
  m.SetText("1234");
  m.SetCaret(5);
  EXPECT_TRUE(m.Paste("56"));
  EXPECT_EQ(m.Text(), "123 456");
  EXPECT_EQ(m.SelStart(), 7);
  EXPECT_EQ(m.Value(), 123456);
  m.SetSelection(0, 3);
  EXPECT_TRUE(m.Paste("9 876"));
  EXPECT_EQ(m.Text(), "9 876 456");
  EXPECT_EQ(m.SelStart(), 5);
  EXPECT_FALSE(m.Paste("12abc"));
  EXPECT_EQ(m.Text(), "9 876 456");
  EXPECT_EQ(m.Value(), 9876456);
  m.SetSelection(0, 9);
  EXPECT_TRUE(m.Paste(" 0,125\n"));
  EXPECT_EQ(m.Text(), "0,12");
  m.SetReadOnly(true);
  m.SetSelection(0, 4);
  EXPECT_FALSE(m.Paste("7"));
  EXPECT_EQ(m.Text(), "0,12");
}

TEST(LabeledNumEditModel, UndoRestoresTheValueOnEntry) {
  auto m = Field();
  m.SetText("5");
  m.Enter();
  EXPECT_EQ(m.UndoValue(), 5);
  m.SetCaret(1);
  Type(m, "7E");
  EXPECT_EQ(m.Text(), "57 000");
  EXPECT_TRUE(m.Undo());
  EXPECT_EQ(m.Text(), "5");
  EXPECT_FALSE(m.Undo());
  m.SetValue(8);
  m.SetReadOnly(true);
  EXPECT_FALSE(m.Undo());
  EXPECT_EQ(m.Value(), 8);
  m.KeyPress(U'1');
  EXPECT_EQ(m.Text(), "8");
  EXPECT_TRUE(m.KeyDown(vk::KeyE, TShiftState::None));
  EXPECT_EQ(m.Value(), 8);
}

TEST(LabeledNumEditModel, ClickSelects) {
  auto m = Field();
  m.SetCaret(1);
  m.Click();  // Value 0: always
  EXPECT_EQ(m.SelStart(), 0);
  EXPECT_EQ(m.SelLength(), 1);
  m.SetText("1234");
  m.SetCaret(2);
  m.Click();
  EXPECT_EQ(m.SelLength(), 0);
  m.SetAutoSelectOnClick(true);
  m.Click();
  EXPECT_EQ(m.SelLength(), 5);
  m.SetSelection(1, 2);
  m.Click();  // something selected: kept
  EXPECT_EQ(m.SelStart(), 1);
  EXPECT_EQ(m.SelLength(), 2);
}

TEST(LabeledNumEditModel, KeyDownLeavesOtherKeysAndBeepNeedsBeepOnError) {
  TLabeledNumEditModel m(U' ', U',');
  EXPECT_FALSE(m.KeyDown(65, TShiftState::None));
  EXPECT_FALSE(m.KeyDown(vk::KeyE, TShiftState::Shift));  // E needs no modifier, exactly
  EXPECT_TRUE(m.KeyDown(vk::KeyE, TShiftState::None));   // on 0: refused
  EXPECT_TRUE(m.Refused());
  EXPECT_FALSE(m.Beeped());
  EXPECT_EQ(m.BeepCount(), 0u);
  m.SetBeepOnError(true);
  m.KeyPress(U'a');
  EXPECT_TRUE(m.Beeped());
  m.KeyPress(U'1');
  EXPECT_FALSE(m.Beeped());
}

TEST(LabeledNumEditModel, ChangeNotification) {
  auto m = Field();
  int changes = 0;
  m.OnChange = [&](TLabeledNumEditModel&) { ++changes; };
  m.SetCaret(1);
  Type(m, "12x");
  EXPECT_EQ(changes, 2);
}

// Random key walks over several separator pairs and limits: after every step the text is a
// well-formed number within the limits (or a lone "-" being typed) and Value is its number.
TEST(LabeledNumEditModel, RandomWalksKeepTheTextWellFormed) {
  std::mt19937 rng(7);
  const char32_t seps[][2] = {{U' ', U','}, {U'\u00A0', U','}, {U',', U'.'}, {U'\u202F', U','}};
  const char32_t keys[] = {8, U'-', U'.', U',', U'0', U'1', U'5', U'9', U'x'};
  for (int run = 0; run < 1500; ++run) {
    const auto* sep = seps[rng() % 4];
    TLabeledNumEditModel m(sep[0], sep[1]);
    m.SetWholeLen(static_cast<uint8_t>(1 + rng() % 6));
    m.SetDecimalLen(static_cast<uint8_t>(rng() % 3));
    m.SetCanEmpty(rng() % 2);
    m.SetInvertSign(rng() % 2);
    m.SetEditorMode(rng() % 3 == 0);
    std::string log;
    for (int step = 0; step < 30; ++step) {
      const auto size = static_cast<unsigned>(m.Text32().size());
      const unsigned r = rng() % 20, a = rng() % (size + 1);
      if (r < 3) m.SetSelection(static_cast<int>(a), static_cast<int>(rng() % (size - a + 1))), log += "S";
      else if (r < 14) m.KeyPress(keys[rng() % 9]), log += "K";
      else if (r < 16) m.KeyDown(vk::Delete, TShiftState::None), log += "D";
      else if (r < 18) m.KeyDown(vk::KeyE, r == 16 ? TShiftState::None : TShiftState::Ctrl), log += "E";
      else if (r < 19) (m.Focused() ? m.Exit() : m.Enter()), log += "F";
      else m.Paste(rng() % 2 ? "12" : "1 2,5"), log += "P";
      const std::u32string& t = m.Text32();
      if (t == U"-") continue;
      std::string number;  // the text without separators, "." as decimal point
      int whole = 0, decimals = 0, groups = 0;
      bool inFraction = false, ok = t == m.WorkingText() && !(t.empty() && !m.CanEmpty());
      for (std::size_t i = 0; ok && i < t.size(); ++i) {
        const char32_t c = t[i];
        if (c == U'-' && i == 0) number += '-';
        else if (c == m.DecimalSeparator() && !inFraction) inFraction = true, number += '.';
        else if (c == m.ThousandSeparator() && !inFraction) ++groups;
        else if (c >= U'0' && c <= U'9') number += static_cast<char>(c), ++(inFraction ? decimals : whole);
        else ok = false;
      }
      const bool grouped = m.ThousandGrouping() && !(m.Focused() && m.EditorMode());
      ok = ok && whole <= m.WholeLen() && decimals <= m.DecimalLen() && (whole > 0 || t.empty()) &&
           groups == (grouped && whole > 0 ? (whole - 1) / 3 : 0) &&
           !(whole > 1 && number[number[0] == '-' ? 1 : 0] == '0');
      if (ok && !t.empty()) ok = std::stod(number + (inFraction ? "0" : "")) == m.Value();
      ASSERT_TRUE(ok) << log << " -> \"" << m.Text() << "\" value " << m.Value();
    }
  }
}

TEST(FunctionList, ParsesEntries) {
  auto f = TFunctionList::Parse("Alt Shift;65;+;0.5");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Shift, TShiftState::Shift | TShiftState::Alt);
  EXPECT_EQ(f->KeyCode, 65);
  EXPECT_EQ(f->Operator, '+');
  EXPECT_EQ(f->Apply(1), 1.5);
  f = TFunctionList::Parse("CtrlShiftAlt;1;/xyz;4");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Shift, TShiftState::Shift | TShiftState::Ctrl | TShiftState::Alt);
  EXPECT_EQ(f->Apply(2), 0.5);
  EXPECT_EQ(TFunctionList::Parse(";69;*;1000")->Apply(5), 5000);
  EXPECT_EQ(TFunctionList::Parse("Ctrl;109;*;-1")->Apply(5), -5);
  EXPECT_EQ(TFunctionList::Parse(";1;%;3")->Apply(5), 5);   // unknown operator
  EXPECT_EQ(TFunctionList::Parse(";1;+;abc")->Apply(5), 5);  // no number
  EXPECT_EQ(TFunctionList::Parse(";1;-;2,5")->Apply(5), 2.5);
  EXPECT_FALSE(TFunctionList::Parse(";x;+;1"));
  EXPECT_FALSE(TFunctionList::Parse(";1;+"));
}

TEST(FunctionList, LastMatchingEntryWins) {
  TFunctionList l = TFunctionList::Default();
  ASSERT_EQ(l.Count(), 7);
  EXPECT_EQ(l[0], ";69;*;1000");
  EXPECT_EQ(l[6], "Shift;109;-;1");
  EXPECT_EQ(l.Find(vk::KeyE, TShiftState::None)->Operand, 1000);
  EXPECT_EQ(l.Find(vk::KeyE, TShiftState::Ctrl)->Operator, '/');
  EXPECT_EQ(l.Find(vk::KeyE, TShiftState::Ctrl | TShiftState::Shift), nullptr);
  l.Add(";69;+;1");
  EXPECT_EQ(l.Find(vk::KeyE, TShiftState::None)->Operator, '+');
  l.Delete(7);
  l.Insert(0, ";69;+;1");  // earlier entries lose
  EXPECT_EQ(l.Find(vk::KeyE, TShiftState::None)->Operator, '*');
  l.SetText("Ctrl;65;+;1\r\n\n;66;-;2\n");
  EXPECT_EQ(l.Count(), 2);
  EXPECT_EQ(l.Text(), "Ctrl;65;+;1\n;66;-;2\n");
  l.Put(1, "bad");
  EXPECT_EQ(l.Find(66, TShiftState::None), nullptr);
  l.Clear();
  EXPECT_EQ(l.Find(65, TShiftState::Ctrl), nullptr);

  auto m = Field();
  m.FunctionList().Add(";69;+;1");  // edited in place
  m.SetText("5");
  m.KeyDown(vk::KeyE, TShiftState::None);
  EXPECT_EQ(m.Value(), 6);
}

TEST(LabeledNumEditModel, Utf8RoundTrip) {
  const std::string s = "1\u202F234 \u00e9\U0001F600";
  EXPECT_EQ(TLabeledNumEditModel::ToUtf8(TLabeledNumEditModel::FromUtf8(s)), s);
  EXPECT_EQ(TLabeledNumEditModel::FromUtf8("a\xff" "b\xe2\x80"), U"a\uFFFDb\uFFFD\uFFFD");
}

}  // namespace
}  // namespace vornik
