// TLabeledNumEdit: a one-line number field with a caption label above it. The
// editing rules live in TLabeledNumEditModel (app/LabeledNumEditModel.h); this widget forwards
// the line edit's real events to it and shows its text, caret and selection:
//
//   key presses   KeyDown first (Delete and the FunctionList shortcuts, with the key's Windows
//                 virtual-key code: keypad keys through Qt::KeypadModifier, so keypad minus is
//                 109 and keypad plus 107); a key it does not take is typed with KeyPress
//                 (backspace as character 8; with Ctrl or Alt alone a key types nothing and is
//                 left to the window). Home/End/arrows/Page keys (with Shift or Ctrl),
//                 Copy and Select All go to QLineEdit unchanged; Return, Escape and Tab too.
//   Paste         Ctrl+V, Shift+Insert and the context menu's Paste -> Paste(clipboard text)
//   Undo          Ctrl+Z and the context menu's Undo -> Undo(); Cut = Copy + Delete key
//   focus         focus in / out -> Enter / Exit (not for a popup or a window switch); Exit may
//                 raise EBoundError when no OnBoundError is set: it propagates out of the event
//                 handler to the application's error handler (a QApplication::notify override).
//                 The field takes the focus back after a violation when visible and enabled.
//   mouse         a left click -> Click() after QLineEdit placed the caret
//
// QLineEdit never edits the text by itself (no drops, no input-method composition; committed
// input-method text is typed character by character). A refused input beeps with
// QApplication::beep() when BeepOnError is set (OnBeep replaces the sound, for tests).
//
// The label is the line edit's buddy (QLabel::setBuddy), so assistive technology names the
// field by the caption and the label's mnemonic focuses it. The label sits above the field in
// this widget's layout; a caller may move EditLabel() elsewhere.
//
// Characters are char32_t (Unicode code points); texts are UTF-8 std::string. The separators
// start as the system locale's (QLocale::system()), "," and "." when it gives none.
//
//   auto* e = new TLabeledNumEdit(parent);
//   e->EditLabel()->setText("Letöltéskor a letöltendő fájl hossza (B):");
//   e->SetWholeLen(12); e->SetDecimalLen(0);
//   e->SetThousandSeparator(U' '); e->SetDecimalSeparator(U',');
//   e->SetText("0");
#pragma once

#include <QWidget>
#include <Qt>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app/LabeledNumEditModel.h"

class QLabel;
class QLineEdit;
class QMenu;

namespace vornik {

class TLabeledNumEdit : public QWidget {
 public:
  explicit TLabeledNumEdit(QWidget* Parent = nullptr);
  ~TLabeledNumEdit() override;

  /// The caption label (the line edit's buddy). Its text is the caption.
  QLabel* EditLabel() const { return FLabel; }
  /// The line edit itself (for focus, geometry, tooltips; its text is the model's).
  QLineEdit* Edit() const;
  /// The editing rules with the whole state. Changes made here directly are shown at the next
  /// event or property call; call Refresh() to show them at once.
  TLabeledNumEditModel& Model() { return FModel; }
  const TLabeledNumEditModel& Model() const { return FModel; }
  /// Shows the model's text, caret and selection in the line edit.
  void Refresh();

  // --- Properties (initial values in brackets) ----------------------------------------------

  /// The displayed text, UTF-8 ["0"]. Setting it rereads the text (see
  /// TLabeledNumEditModel::SetText) and checks the bounds: may raise EBoundError.
  std::string Text() const { return FModel.Text(); }
  void SetText(std::string_view Utf8);
  /// [0] Setting does not check the bounds.
  double Value() const { return FModel.Value(); }
  void SetValue(double Value);
  /// Value rounded, halves to even, saturated to 32 bits; writing sets Value.
  int32_t IntValue() const { return FModel.IntValue(); }
  void SetIntValue(int32_t Value);

  /// [Right]
  TAlignment Alignment() const { return FModel.Alignment(); }
  void SetAlignment(TAlignment Value);
  /// [false]
  bool AutoSelectOnClick() const { return FModel.AutoSelectOnClick(); }
  void SetAutoSelectOnClick(bool Value) { FModel.SetAutoSelectOnClick(Value); }
  /// [false]
  bool BeepOnError() const { return FModel.BeepOnError(); }
  void SetBeepOnError(bool Value) { FModel.SetBeepOnError(Value); }
  /// [false]
  bool CanEmpty() const { return FModel.CanEmpty(); }
  void SetCanEmpty(bool Value);
  /// [false]
  bool InvertSign() const { return FModel.InvertSign(); }
  void SetInvertSign(bool Value) { FModel.SetInvertSign(Value); }
  /// [false]
  bool EditorMode() const { return FModel.EditorMode(); }
  void SetEditorMode(bool Value);
  /// [12] 0 is refused.
  uint8_t WholeLen() const { return FModel.WholeLen(); }
  void SetWholeLen(uint8_t Value);
  /// [0]
  uint8_t DecimalLen() const { return FModel.DecimalLen(); }
  void SetDecimalLen(uint8_t Value);
  /// [false]
  bool MinChecking() const { return FModel.MinChecking(); }
  void SetMinChecking(bool Value);
  bool MaxChecking() const { return FModel.MaxChecking(); }
  void SetMaxChecking(bool Value);
  /// [0, 0]
  double Min() const { return FModel.Min(); }
  void SetMin(double Value);
  double Max() const { return FModel.Max(); }
  void SetMax(double Value);
  /// [true]
  bool ThousandGrouping() const { return FModel.ThousandGrouping(); }
  void SetThousandGrouping(bool Value);
  /// [locale] Refused (ignored): "-", ".", a digit, the current decimal or thousand separator.
  char32_t ThousandSeparator() const { return FModel.ThousandSeparator(); }
  void SetThousandSeparator(char32_t Value);
  /// [locale] Refused (ignored): "-", a digit, the current decimal or thousand separator.
  char32_t DecimalSeparator() const { return FModel.DecimalSeparator(); }
  void SetDecimalSeparator(char32_t Value);
  /// [true] Shows or hides the caption label.
  bool LabelVisible() const { return FModel.LabelVisible(); }
  void SetLabelVisible(bool Value);
  /// [false] The line edit's read-only state (typing, paste, undo change nothing).
  bool ReadOnly() const { return FModel.ReadOnly(); }
  void SetReadOnly(bool Value);
  /// [the seven default key functions] Editable in place.
  TFunctionList& FunctionList() { return FModel.FunctionList(); }
  const TFunctionList& FunctionList() const { return FModel.FunctionList(); }
  void SetFunctionList(TFunctionList Value) { FModel.SetFunctionList(std::move(Value)); }

  // --- Events ---------------------------------------------------------------------------------

  using TBoundErrorEvent = std::function<void(TLabeledNumEdit& Sender, bool MinViolation, double BoundValue)>;
  /// Called instead of raising EBoundError when a bound is violated; an empty function removes it.
  void SetOnBoundError(TBoundErrorEvent Handler);
  const TBoundErrorEvent& OnBoundError() const { return FOnBoundError; }
  /// The enter / exit notifications (not while a bound violation is pending).
  std::function<void(TLabeledNumEdit& Sender)> OnEnter;
  std::function<void(TLabeledNumEdit& Sender)> OnExit;
  /// After the displayed text changed.
  std::function<void(TLabeledNumEdit& Sender)> OnChange;
  /// The warning sound; QApplication::beep() when empty.
  std::function<void(TLabeledNumEdit& Sender)> OnBeep;

  // --- Key mapping ----------------------------------------------------------------------------

  /// The Windows virtual-key code of a Qt key (letters 65–90, digits 48–57, keypad digits 96–105
  /// and keypad operators 106/107/109/110/111 when Modifiers has Qt::KeypadModifier, Delete 46,
  /// Backspace 8, F1 112 …); 0 when it has none.
  static int VirtualKey(int QtKey, Qt::KeyboardModifiers Modifiers);
  /// Shift, Ctrl and Alt of Qt's modifiers (Ctrl is Qt::ControlModifier).
  static TShiftState ShiftStateOf(Qt::KeyboardModifiers Modifiers);

  /// The line edit's context menu: QLineEdit's entries and texts (Undo, Cut, Copy, Paste,
  /// Delete, Select All; no Redo), with Undo, Cut, Paste and Delete going to the model. Actions
  /// are named "edit-undo", "edit-cut", "edit-copy", "edit-paste", "edit-delete", "select-all".
  /// The caller owns the menu.
  QMenu* CreateContextMenu();

 private:
  class TLineEdit;
  friend class TLineEdit;
  /// Runs one model operation: the line edit's caret and selection go to the model first; the
  /// result (text, caret, selection, beep) is shown afterwards, also when the operation raises.
  template <typename F>
  void Run(F&& Operation, bool SyncFirst = true);
  void SyncFromEdit();
  void PasteClipboard(bool Selection = false);
  void Cut();
  void Beep();

  TLabeledNumEditModel FModel;
  QLabel* FLabel = nullptr;
  TLineEdit* FEdit = nullptr;
  TBoundErrorEvent FOnBoundError;
};

}  // namespace vornik
