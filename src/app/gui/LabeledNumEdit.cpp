#include "app/gui/LabeledNumEdit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace vornik {

namespace {

QString ToQString(const std::u32string& Text) { return QString::fromUcs4(Text.data(), static_cast<qsizetype>(Text.size())); }

/// UTF-16 index of code point index Pos in Text.
int Utf16Pos(const std::u32string& Text, int Pos) {
  int n = 0;
  for (int i = 0; i < Pos && i < static_cast<int>(Text.size()); ++i) n += Text[static_cast<std::size_t>(i)] > 0xFFFF ? 2 : 1;
  return n;
}

/// Code point index of UTF-16 index Pos in Text.
int CodePointPos(const QString& Text, int Pos) {
  int n = 0;
  for (int i = 0; i < Pos && i < Text.size(); ++i) {
    if (Text.at(i).isHighSurrogate() && i + 1 < Text.size() && Text.at(i + 1).isLowSurrogate()) ++i;
    ++n;
  }
  return n;
}

/// The single character of a locale separator; 0 (the model's fallback) for none or several.
char32_t SingleChar(const QString& Text) {
  const auto ucs4 = Text.toUcs4();
  return ucs4.size() == 1 ? static_cast<char32_t>(ucs4.front()) : char32_t{0};
}

Qt::Alignment QtAlignment(TAlignment Value) {
  switch (Value) {
    case TAlignment::Left: return Qt::AlignLeft | Qt::AlignVCenter;
    case TAlignment::Center: return Qt::AlignHCenter | Qt::AlignVCenter;
    case TAlignment::Right: break;
  }
  return Qt::AlignRight | Qt::AlignVCenter;
}

bool IsNavigationKey(int Key) {
  switch (Key) {
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: return true;
    default: return false;
  }
}

}  // namespace

// --- The line edit: every event that could change the text goes to the model --------------------

class TLabeledNumEdit::TLineEdit : public QLineEdit {
 public:
  explicit TLineEdit(TLabeledNumEdit* Owner) : QLineEdit(Owner), FOwner(Owner) { setAcceptDrops(false); }
  /// From now on a plain QLineEdit: the owner is being destroyed (its model is gone before the
  /// base class moves the focus away).
  void Detach() { FOwner = nullptr; }

 protected:
  bool event(QEvent* e) override {
    // Keys of the model (Delete, the key functions) are not taken away by window shortcuts.
    if (FOwner && e->type() == QEvent::ShortcutOverride) {
      auto* ke = static_cast<QKeyEvent*>(e);
      const int vk = VirtualKey(ke->key(), ke->modifiers());
      if (vk != 0 && (vk == vk::Delete || FOwner->FModel.FunctionList().Find(vk, ShiftStateOf(ke->modifiers())))) {
        ke->accept();
        return true;
      }
    }
    return QLineEdit::event(e);
  }

  void keyPressEvent(QKeyEvent* e) override {
    if (!FOwner) return QLineEdit::keyPressEvent(e);
    TLabeledNumEdit& w = *FOwner;
    const int key = e->key();
    const Qt::KeyboardModifiers mods = e->modifiers();
    e->accept();

    if (const int vk = VirtualKey(key, mods); vk != 0) {
      bool consumed = false;
      w.Run([&] { consumed = w.FModel.KeyDown(vk, ShiftStateOf(mods)); });
      if (consumed) return;  // the character the key would type is dropped
    }
    if (e->matches(QKeySequence::Paste)) return w.PasteClipboard();
    if (e->matches(QKeySequence::Undo)) return w.Run([&] { w.FModel.Undo(); });
    if (e->matches(QKeySequence::Redo)) return;
    if (e->matches(QKeySequence::Cut)) return w.Cut();
    if (e->matches(QKeySequence::Copy) || e->matches(QKeySequence::SelectAll) || IsNavigationKey(key)) {
      QLineEdit::keyPressEvent(e);
      w.SyncFromEdit();
      return;
    }
    if (key == Qt::Key_Backspace) return w.Run([&] { w.FModel.KeyPress(8); });
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape || key == Qt::Key_Tab ||
        key == Qt::Key_Backtab) {
      QLineEdit::keyPressEvent(e);  // returnPressed, then left to the dialog
      return;
    }
    const QString text = e->text();
    // Ctrl or Alt with a key types nothing (Ctrl+Alt is AltGr on some layouts and does type).
    const bool ctrl = mods & Qt::ControlModifier, alt = mods & Qt::AltModifier;
    if (text.isEmpty() || (ctrl != alt)) {
      e->ignore();
      return;
    }
    for (const uint c : text.toUcs4()) w.Run([&] { w.FModel.KeyPress(static_cast<char32_t>(c)); });
  }

  void inputMethodEvent(QInputMethodEvent* e) override {
    if (!FOwner) return QLineEdit::inputMethodEvent(e);
    TLabeledNumEdit& w = *FOwner;
    for (const uint c : e->commitString().toUcs4()) w.Run([&] { w.FModel.KeyPress(static_cast<char32_t>(c)); });
    e->accept();
  }

  void focusInEvent(QFocusEvent* e) override {
    QLineEdit::focusInEvent(e);
    if (!FOwner) return;
    TLabeledNumEdit& w = *FOwner;
    if (!w.FModel.Focused()) w.Run([&] { w.FModel.Enter(); });
  }

  void focusOutEvent(QFocusEvent* e) override {
    QLineEdit::focusOutEvent(e);
    // A popup (the context menu) or another window keeps the field entered.
    if (!FOwner || e->reason() == Qt::PopupFocusReason || e->reason() == Qt::ActiveWindowFocusReason) return;
    TLabeledNumEdit& w = *FOwner;
    if (w.FModel.Focused()) w.Run([&] { w.FModel.Exit(); });  // EBoundError propagates
  }

  void mouseReleaseEvent(QMouseEvent* e) override {
    if (!FOwner) return QLineEdit::mouseReleaseEvent(e);
    TLabeledNumEdit& w = *FOwner;
    if (e->button() == Qt::MiddleButton) {  // X11 selection paste
      if (QGuiApplication::clipboard()->supportsSelection()) w.PasteClipboard(true);
      e->accept();
      return;
    }
    QLineEdit::mouseReleaseEvent(e);
    if (e->button() == Qt::LeftButton) w.Run([&] { w.FModel.Click(); });
  }

  void contextMenuEvent(QContextMenuEvent* e) override {
    if (!FOwner) return;
    QMenu* menu = FOwner->CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(e->globalPos());
  }

 private:
  TLabeledNumEdit* FOwner;
};

// --- TLabeledNumEdit ---------------------------------------------------------------------------

TLabeledNumEdit::TLabeledNumEdit(QWidget* Parent)
    : QWidget(Parent),
      FModel(SingleChar(QLocale::system().groupSeparator()), SingleChar(QLocale::system().decimalPoint())) {
  FLabel = new QLabel(this);
  FEdit = new TLineEdit(this);
  FLabel->setBuddy(FEdit);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  layout->addWidget(FLabel);
  layout->addWidget(FEdit);
  setFocusProxy(FEdit);
  FEdit->setAlignment(QtAlignment(FModel.Alignment()));

  FModel.OnChange = [this](TLabeledNumEditModel&) {
    if (OnChange) OnChange(*this);
  };
  FModel.OnEnter = [this](TLabeledNumEditModel&) {
    if (OnEnter) OnEnter(*this);
  };
  FModel.OnExit = [this](TLabeledNumEditModel&) {
    if (OnExit) OnExit(*this);
  };
  FModel.OnTakeFocus = [this](TLabeledNumEditModel&) {
    if (!FEdit->isVisible() || !FEdit->isEnabled()) return false;
    if (!FEdit->hasFocus()) FEdit->setFocus(Qt::OtherFocusReason);
    return true;
  };
  Refresh();
}

TLabeledNumEdit::~TLabeledNumEdit() {
  // Destroying a focused field is no exit: no bound check, no notifications.
  FEdit->Detach();
}

QLineEdit* TLabeledNumEdit::Edit() const { return FEdit; }

template <typename F>
void TLabeledNumEdit::Run(F&& Operation, bool SyncFirst) {
  if (SyncFirst) SyncFromEdit();
  struct TShowAfter {
    TLabeledNumEdit* Self;
    uint64_t Beeps;
    ~TShowAfter() {
      Self->Refresh();
      if (Self->FModel.BeepCount() != Beeps) Self->Beep();
    }
  } showAfter{this, FModel.BeepCount()};
  Operation();
}

void TLabeledNumEdit::SyncFromEdit() {
  const QString text = FEdit->text();
  int start = FEdit->cursorPosition();
  int length = 0;
  if (FEdit->hasSelectedText()) {
    start = FEdit->selectionStart();
    length = FEdit->selectionLength();
  }
  const int from = CodePointPos(text, start);
  FModel.SetSelection(from, CodePointPos(text, start + length) - from);
}

void TLabeledNumEdit::Refresh() {
  const std::u32string& text = FModel.Text32();
  const QString shown = ToQString(text);
  if (FEdit->text() != shown) FEdit->setText(shown);
  const int start = Utf16Pos(text, FModel.SelStart());
  const int length = Utf16Pos(text, FModel.SelStart() + FModel.SelLength()) - start;
  if (length > 0) {
    if (FEdit->selectionStart() != start || FEdit->selectionLength() != length) FEdit->setSelection(start, length);
  } else if (FEdit->hasSelectedText() || FEdit->cursorPosition() != start) {
    FEdit->deselect();
    FEdit->setCursorPosition(start);
  }
}

void TLabeledNumEdit::Beep() {
  if (OnBeep) OnBeep(*this);
  else QApplication::beep();
}

void TLabeledNumEdit::PasteClipboard(bool Selection) {
  const QString clip = QGuiApplication::clipboard()->text(Selection ? QClipboard::Selection : QClipboard::Clipboard);
  Run([&] { FModel.Paste(clip.toStdString()); });
}

void TLabeledNumEdit::Cut() {
  if (!FEdit->hasSelectedText() || FModel.ReadOnly()) return;
  FEdit->copy();
  Run([&] { FModel.KeyDown(vk::Delete, TShiftState::None); });
}

QMenu* TLabeledNumEdit::CreateContextMenu() {
  // Built like QLineEdit's standard menu (same translated texts), with the editing commands
  // routed to the model. Each action is named after its icon ("edit-paste" …).
  SyncFromEdit();
  auto* menu = new QMenu(FEdit);
  menu->setObjectName(QStringLiteral("qt_edit_menu"));
  const bool editable = !FModel.ReadOnly();
  const bool selected = FEdit->hasSelectedText();
  const auto add = [&](const char* Text, QKeySequence::StandardKey Key, const char* Name, bool Enabled, auto Handler) {
    QString caption = QCoreApplication::translate("QLineEdit", Text);
    const QKeySequence keys(Key);
    if (!keys.isEmpty()) caption += QLatin1Char('\t') + keys.toString(QKeySequence::NativeText);
    QAction* a = menu->addAction(caption);
    a->setObjectName(QLatin1String(Name));
    a->setIcon(QIcon::fromTheme(QLatin1String(Name)));
    a->setEnabled(Enabled);
    QObject::connect(a, &QAction::triggered, this, Handler);
    return a;
  };
  if (editable) {
    add("&Undo", QKeySequence::Undo, "edit-undo", FModel.Value() != FModel.UndoValue(),
        [this] { Run([this] { FModel.Undo(); }); });
    menu->addSeparator();
    add("Cu&t", QKeySequence::Cut, "edit-cut", selected, [this] { Cut(); });
  }
  add("&Copy", QKeySequence::Copy, "edit-copy", selected, [this] { FEdit->copy(); });
  if (editable) {
    add("&Paste", QKeySequence::Paste, "edit-paste", !QGuiApplication::clipboard()->text().isEmpty(),
        [this] { PasteClipboard(); });
    add("Delete", QKeySequence::UnknownKey, "edit-delete", selected,
        [this] { Run([this] { FModel.KeyDown(vk::Delete, TShiftState::None); }); });
  }
  menu->addSeparator();
  add("Select All", QKeySequence::SelectAll, "select-all", !FEdit->text().isEmpty(), [this] {
    FEdit->selectAll();
    SyncFromEdit();
  });
  return menu;
}

// --- Properties ----------------------------------------------------------------------------------

void TLabeledNumEdit::SetText(std::string_view Utf8) {
  Run([&] { FModel.SetText(Utf8); });
}
void TLabeledNumEdit::SetValue(double Value) {
  Run([&] { FModel.SetValue(Value); });
}
void TLabeledNumEdit::SetIntValue(int32_t Value) {
  Run([&] { FModel.SetIntValue(Value); });
}
void TLabeledNumEdit::SetAlignment(TAlignment Value) {
  FModel.SetAlignment(Value);
  FEdit->setAlignment(QtAlignment(Value));
}
void TLabeledNumEdit::SetCanEmpty(bool Value) {
  Run([&] { FModel.SetCanEmpty(Value); });
}
void TLabeledNumEdit::SetEditorMode(bool Value) {
  Run([&] { FModel.SetEditorMode(Value); });
}
void TLabeledNumEdit::SetWholeLen(uint8_t Value) {
  Run([&] { FModel.SetWholeLen(Value); });
}
void TLabeledNumEdit::SetDecimalLen(uint8_t Value) {
  Run([&] { FModel.SetDecimalLen(Value); });
}
void TLabeledNumEdit::SetMinChecking(bool Value) {
  Run([&] { FModel.SetMinChecking(Value); });
}
void TLabeledNumEdit::SetMaxChecking(bool Value) {
  Run([&] { FModel.SetMaxChecking(Value); });
}
void TLabeledNumEdit::SetMin(double Value) {
  Run([&] { FModel.SetMin(Value); });
}
void TLabeledNumEdit::SetMax(double Value) {
  Run([&] { FModel.SetMax(Value); });
}
void TLabeledNumEdit::SetThousandGrouping(bool Value) {
  Run([&] { FModel.SetThousandGrouping(Value); });
}
void TLabeledNumEdit::SetThousandSeparator(char32_t Value) {
  Run([&] { FModel.SetThousandSeparator(Value); });
}
void TLabeledNumEdit::SetDecimalSeparator(char32_t Value) {
  Run([&] { FModel.SetDecimalSeparator(Value); });
}
void TLabeledNumEdit::SetLabelVisible(bool Value) {
  FModel.SetLabelVisible(Value);
  FLabel->setVisible(Value);
}
void TLabeledNumEdit::SetReadOnly(bool Value) {
  FModel.SetReadOnly(Value);
  FEdit->setReadOnly(Value);
}

void TLabeledNumEdit::SetOnBoundError(TBoundErrorEvent Handler) {
  FOnBoundError = std::move(Handler);
  if (FOnBoundError) {
    FModel.OnBoundError = [this](TLabeledNumEditModel&, bool MinViolation, double BoundValue) {
      if (FOnBoundError) FOnBoundError(*this, MinViolation, BoundValue);
    };
  } else {
    FModel.OnBoundError = nullptr;
  }
}

// --- Key mapping ---------------------------------------------------------------------------------

TShiftState TLabeledNumEdit::ShiftStateOf(Qt::KeyboardModifiers Modifiers) {
  TShiftState s = TShiftState::None;
  if (Modifiers & Qt::ShiftModifier) s |= TShiftState::Shift;
  if (Modifiers & Qt::ControlModifier) s |= TShiftState::Ctrl;
  if (Modifiers & Qt::AltModifier) s |= TShiftState::Alt;
  return s;
}

int TLabeledNumEdit::VirtualKey(int QtKey, Qt::KeyboardModifiers Modifiers) {
  if (Modifiers & Qt::KeypadModifier) {
    if (QtKey >= Qt::Key_0 && QtKey <= Qt::Key_9) return 96 + (QtKey - Qt::Key_0);
    switch (QtKey) {
      case Qt::Key_Asterisk: return 106;
      case Qt::Key_Plus: return 107;
      case Qt::Key_Minus: return 109;
      case Qt::Key_Period:
      case Qt::Key_Comma: return 110;
      case Qt::Key_Slash: return 111;
      default: break;  // Home, arrows, Delete … of the keypad without NumLock: as below
    }
  }
  if (QtKey >= Qt::Key_A && QtKey <= Qt::Key_Z) return QtKey;  // 65..90, as in Qt
  if (QtKey >= Qt::Key_0 && QtKey <= Qt::Key_9) return QtKey;  // 48..57
  if (QtKey >= Qt::Key_F1 && QtKey <= Qt::Key_F24) return 112 + (QtKey - Qt::Key_F1);
  switch (QtKey) {
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 9;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    case Qt::Key_Pause: return 19;
    case Qt::Key_CapsLock: return 20;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Space: return 32;
    case Qt::Key_PageUp: return 33;
    case Qt::Key_PageDown: return 34;
    case Qt::Key_End: return 35;
    case Qt::Key_Home: return 36;
    case Qt::Key_Left: return 37;
    case Qt::Key_Up: return 38;
    case Qt::Key_Right: return 39;
    case Qt::Key_Down: return 40;
    case Qt::Key_Print: return 44;
    case Qt::Key_Insert: return 45;
    case Qt::Key_Delete: return 46;
    case Qt::Key_Menu: return 93;
    case Qt::Key_NumLock: return 144;
    case Qt::Key_ScrollLock: return 145;
    case Qt::Key_Semicolon: return 186;
    case Qt::Key_Equal:
    case Qt::Key_Plus: return 187;
    case Qt::Key_Comma: return 188;
    case Qt::Key_Minus:
    case Qt::Key_Underscore: return 189;
    case Qt::Key_Period: return 190;
    case Qt::Key_Slash: return 191;
    case Qt::Key_QuoteLeft: return 192;
    case Qt::Key_BracketLeft: return 219;
    case Qt::Key_Backslash: return 220;
    case Qt::Key_BracketRight: return 221;
    case Qt::Key_Apostrophe: return 222;
    default: return 0;
  }
}

}  // namespace vornik
