// TLabeledNumEdit with real key, mouse and focus events on Qt's offscreen platform.
#include "app/gui/LabeledNumEdit.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "gui/WindowTestKit.h"

namespace vornik {
namespace {

using gui::test::EnsureApplication;

// A window with the flash page's field and a second field to move the focus to.
class LabeledNumEditGui : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    FWindow = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(FWindow.get());
    FEdit = new TLabeledNumEdit(FWindow.get());
    FEdit->EditLabel()->setText(QString::fromUtf8("Letöltéskor a letöltendő fájl hossza (B):"));
    FEdit->SetWholeLen(12);
    FEdit->SetDecimalLen(0);
    FEdit->SetThousandSeparator(U' ');
    FEdit->SetDecimalSeparator(U',');
    FEdit->SetText("0");
    FEdit->OnBeep = [this](TLabeledNumEdit&) { ++FBeeps; };
    FOther = new QLineEdit(FWindow.get());
    layout->addWidget(FEdit);
    layout->addWidget(FOther);
    FWindow->show();
    FWindow->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(FWindow.get()));
    FEdit->Edit()->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(FEdit->Edit()->hasFocus());
  }
  void TearDown() override {
    if (FEdit) FEdit->SetOnBoundError(nullptr);
    FWindow.reset();
  }

  QLineEdit* Line() const { return FEdit->Edit(); }
  void End() { QTest::keyClick(Line(), Qt::Key_End); }

  std::unique_ptr<QWidget> FWindow;
  TLabeledNumEdit* FEdit = nullptr;
  QLineEdit* FOther = nullptr;
  int FBeeps = 0;
};

TEST_F(LabeledNumEditGui, LabelIsTheBuddyAboveTheField) {
  EXPECT_EQ(FEdit->EditLabel()->buddy(), Line());
  EXPECT_LE(FEdit->EditLabel()->geometry().bottom(), Line()->geometry().top());
  EXPECT_EQ(Line()->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
  QAccessibleInterface* ai = QAccessible::queryAccessibleInterface(Line());
  ASSERT_NE(ai, nullptr);
  EXPECT_EQ(ai->text(QAccessible::Name), FEdit->EditLabel()->text());
  FEdit->SetLabelVisible(false);
  EXPECT_FALSE(FEdit->EditLabel()->isVisible());
}

TEST_F(LabeledNumEditGui, TypingGroupsAndFiltersKeys) {
  End();
  QTest::keyClicks(Line(), "1234567");
  EXPECT_EQ(Line()->text(), "1 234 567");
  EXPECT_EQ(Line()->cursorPosition(), 9);
  EXPECT_EQ(FEdit->IntValue(), 1234567);
  FEdit->SetBeepOnError(true);
  QTest::keyClicks(Line(), "x ,");  // a letter, a blank, a decimal separator without decimals
  EXPECT_EQ(Line()->text(), "1 234 567");
  EXPECT_EQ(FBeeps, 3);
  QTest::keyClick(Line(), Qt::Key_Backspace);
  EXPECT_EQ(Line()->text(), "123 456");
  QTest::keyClick(Line(), Qt::Key_Home);
  QTest::keyClick(Line(), Qt::Key_Delete);
  EXPECT_EQ(Line()->text(), "23 456");
  QTest::keyClick(Line(), Qt::Key_Minus);  // the plain minus is typed
  EXPECT_EQ(Line()->text(), "-23 456");
  QTest::keyClick(Line(), Qt::Key_End, Qt::ShiftModifier);  // selection passes through
  EXPECT_EQ(Line()->selectedText(), "23 456");
  QTest::keyClicks(Line(), "9");
  EXPECT_EQ(Line()->text(), "-9");
}

TEST_F(LabeledNumEditGui, KeypadAndLetterKeyFunctions) {
  FEdit->SetText("5");
  QTest::keyClick(Line(), Qt::Key_Minus, Qt::ShiftModifier | Qt::KeypadModifier);
  EXPECT_EQ(Line()->text(), "4");
  QTest::keyClick(Line(), Qt::Key_Plus, Qt::ShiftModifier | Qt::KeypadModifier);
  QTest::keyClick(Line(), Qt::Key_Plus, Qt::ShiftModifier | Qt::KeypadModifier);
  EXPECT_EQ(Line()->text(), "6");
  QTest::keyClick(Line(), Qt::Key_Minus, Qt::ControlModifier | Qt::KeypadModifier);
  EXPECT_EQ(Line()->text(), "-6");
  QTest::keyClick(Line(), Qt::Key_E);  // × 1000; the "e" is not typed
  EXPECT_EQ(Line()->text(), "-6 000");
  EXPECT_EQ(Line()->cursorPosition(), 6);
  QTest::keyClick(Line(), Qt::Key_M);
  EXPECT_EQ(Line()->text(), "-6 000 000 000");
  QTest::keyClick(Line(), Qt::Key_M, Qt::ControlModifier);
  QTest::keyClick(Line(), Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(Line()->text(), "-6");
  // The plain keypad minus is no key function: it types "-" (refused here: not at the start).
  FEdit->SetBeepOnError(true);
  QTest::keyClick(Line(), Qt::Key_Minus, Qt::KeypadModifier);
  EXPECT_EQ(Line()->text(), "-6");
  EXPECT_EQ(FBeeps, 1);
}

TEST_F(LabeledNumEditGui, PasteAndUndo) {
  FEdit->SetText("12");
  FOther->setFocus();
  FEdit->Edit()->setFocus();  // the undo value is 12
  End();
  QGuiApplication::clipboard()->setText("3 456");
  QTest::keyClick(Line(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Line()->text(), "123 456");
  EXPECT_EQ(Line()->cursorPosition(), 7);
  QGuiApplication::clipboard()->setText("abc");
  QTest::keyClick(Line(), Qt::Key_Insert, Qt::ShiftModifier);
  EXPECT_EQ(Line()->text(), "123 456");
  // The context menu's paste goes through the model too.
  QGuiApplication::clipboard()->setText("9");
  Line()->selectAll();
  std::unique_ptr<QMenu> menu(FEdit->CreateContextMenu());
  QAction* paste = menu->findChild<QAction*>("edit-paste");
  ASSERT_NE(paste, nullptr);
  paste->trigger();
  EXPECT_EQ(Line()->text(), "9");
  QAction* undo = nullptr;
  menu.reset(FEdit->CreateContextMenu());
  undo = menu->findChild<QAction*>("edit-undo");
  ASSERT_NE(undo, nullptr);
  EXPECT_TRUE(undo->isEnabled());
  QTest::keyClick(Line(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Line()->text(), "12");
  EXPECT_EQ(FEdit->Value(), 12);
}

TEST_F(LabeledNumEditGui, FocusOutRegroupsInEditorMode) {
  FOther->setFocus();
  FEdit->SetEditorMode(true);
  int enters = 0, exits = 0;
  FEdit->OnEnter = [&](TLabeledNumEdit&) { ++enters; };
  FEdit->OnExit = [&](TLabeledNumEdit&) { ++exits; };
  FEdit->Edit()->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(enters, 1);
  End();
  QTest::keyClicks(Line(), "1234567");
  EXPECT_EQ(Line()->text(), "1234567");
  FOther->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(Line()->text(), "1 234 567");
  EXPECT_FALSE(FEdit->Model().Focused());
}

TEST_F(LabeledNumEditGui, BoundViolationKeepsTheFocus) {
  FEdit->SetMax(100);
  FEdit->SetMin(10);
  FEdit->SetMinChecking(true);
  EXPECT_EQ(Line()->text(), "10");
  int calls = 0;
  double bound = 0;
  FEdit->SetOnBoundError([&](TLabeledNumEdit&, bool MinViolation, double Bound) {
    ++calls;
    EXPECT_TRUE(MinViolation);
    bound = Bound;
  });
  Line()->selectAll();
  QTest::keyClicks(Line(), "5");
  FOther->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(bound, 10);
  EXPECT_TRUE(Line()->hasFocus());
  EXPECT_FALSE(FEdit->Model().Valid());
  QTest::keyClicks(Line(), "0");  // 50
  FOther->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(FOther->hasFocus());
  EXPECT_TRUE(FEdit->Model().Valid());
}

TEST_F(LabeledNumEditGui, DestroyingTheFocusedFieldIsNoExit) {
  FEdit->SetMax(100);
  FEdit->SetMin(10);
  FEdit->SetMinChecking(true);
  Line()->selectAll();
  QTest::keyClicks(Line(), "5");  // out of bounds: leaving would report it
  int calls = 0;
  FEdit->SetOnBoundError([&](TLabeledNumEdit&, bool, double) { ++calls; });
  ASSERT_TRUE(Line()->hasFocus());
  delete FEdit;  // the focus leaves the line edit while its owner is being destroyed
  FEdit = nullptr;
  EXPECT_EQ(calls, 0);
}

TEST_F(LabeledNumEditGui, ClickOnZeroSelectsAll) {
  QTest::mouseClick(Line(), Qt::LeftButton, {}, Line()->rect().center());
  EXPECT_EQ(Line()->selectedText(), "0");
  QTest::keyClicks(Line(), "42");
  EXPECT_EQ(Line()->text(), "42");
}

TEST(LabeledNumEditKeys, VirtualKeyCodes) {
  const struct {
    int key;
    Qt::KeyboardModifiers mods;
    int vk;
  } cases[] = {{Qt::Key_E, {}, 69},
               {Qt::Key_Minus, Qt::KeypadModifier, 109},
               {Qt::Key_Minus, {}, 189},
               {Qt::Key_Plus, Qt::KeypadModifier | Qt::ShiftModifier, 107},
               {Qt::Key_5, Qt::KeypadModifier, 101},
               {Qt::Key_Delete, {}, 46},
               {Qt::Key_Delete, Qt::KeypadModifier, 46},
               {Qt::Key_Backspace, {}, 8},
               {Qt::Key_F2, {}, 113},
               {Qt::Key_unknown, {}, 0}};
  for (const auto& c : cases) EXPECT_EQ(TLabeledNumEdit::VirtualKey(c.key, c.mods), c.vk) << c.key;
  EXPECT_EQ(TLabeledNumEdit::ShiftStateOf(Qt::ShiftModifier | Qt::KeypadModifier), TShiftState::Shift);
  EXPECT_EQ(TLabeledNumEdit::ShiftStateOf(Qt::ControlModifier | Qt::AltModifier), TShiftState::Ctrl | TShiftState::Alt);
}

}  // namespace
}  // namespace vornik
