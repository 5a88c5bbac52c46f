// Every question, message box and file dialog of the window goes through TDialogs, so that tests
// answer them without a person. TQtDialogs is the real thing: Qt's standard message boxes with
// Yes/No/OK buttons and Qt's own file dialogs (not the desktop's), so the same dialog appears on
// every desktop and assistive technology finds its controls.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

namespace vornik::gui {

class TDialogs {
 public:
  virtual ~TDialogs() = default;
  /// A Yes/No question; the button pressed (NoButton when the box was closed otherwise).
  virtual QMessageBox::StandardButton Question(QWidget* Parent, const QString& Text) = 0;
  /// A message with an OK button.
  virtual void Message(QWidget* Parent, const QString& Text) = 0;
  /// An error no operation caught: the text, and a report the user can copy.
  virtual void ErrorReport(QWidget* Parent, const QString& Text, const QString& Report) = 0;
  /// Filter in the "Caption (*.x)|*.x|..." form. Empty when cancelled.
  virtual QString OpenFile(QWidget* Parent, const QString& Title, const QString& Start, const QString& Filter,
                           const QString& SelectedFilter) = 0;
  virtual QStringList OpenFiles(QWidget* Parent, const QString& Title, const QString& Start,
                                const QString& Filter) = 0;
  virtual QString SaveFile(QWidget* Parent, const QString& Title, const QString& Start) = 0;
};

class TQtDialogs final : public TDialogs {
 public:
  QMessageBox::StandardButton Question(QWidget* Parent, const QString& Text) override;
  void Message(QWidget* Parent, const QString& Text) override;
  void ErrorReport(QWidget* Parent, const QString& Text, const QString& Report) override;
  QString OpenFile(QWidget* Parent, const QString& Title, const QString& Start, const QString& Filter,
                   const QString& SelectedFilter) override;
  QStringList OpenFiles(QWidget* Parent, const QString& Title, const QString& Start, const QString& Filter) override;
  QString SaveFile(QWidget* Parent, const QString& Title, const QString& Start) override;
};

/// "A (*.a)|*.a|B (*.b)|*.b" -> "A (*.a);;B (*.b)": the captions carry the patterns already.
QString QtFileFilter(const QString& PipeFilter);

}  // namespace vornik::gui
