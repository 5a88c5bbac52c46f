// Small pieces the window needs beside its controls: the application object that catches errors
// escaping an event handler, hints as tooltip lines, the error report, and Enter clicking the
// focused button.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>
#include <string>

class QLabel;

namespace vornik::gui {

/// UTF-8 text as a QString.
inline QString U(const char* Text) { return QString::fromUtf8(Text); }
inline QString U(const std::string& Text) { return QString::fromStdString(Text); }

/// A caption label for Field: its buddy, so assistive technology names the field by it.
QLabel* BuddyLabel(const char* Caption, QWidget* Field, QWidget* Parent, bool WordWrap = false);

/// The window mode's application. An exception that escapes an event handler (a timer, a click
/// that no operation guards) is handed to OnUncaughtError instead of ending the program.
class TVornikApplication final : public QApplication {
 public:
  TVornikApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}
  bool notify(QObject* Receiver, QEvent* Event) override;

  std::function<void(const std::string& Message)> OnUncaughtError;
};

/// A hint with CR LF separated lines as tooltip lines (a trailing line break dropped).
QString HintText(const char* Hint);

/// A persisted check box value: "TRUE", "YES", "Y" check it and "FALSE", "NO", "N" uncheck it,
/// in any case; false (Value untouched) for anything else.
bool ReadCheckBoxText(const std::string& Text, bool& Value);

/// The report offered for copying with an uncaught error: what happened, when, and where.
QString ErrorReportText(const QString& Message, const QString& Caption);

/// Fn runs on every left double click anywhere on Target (the click goes no further).
void OnDoubleClick(QWidget* Target, std::function<void()> Fn);

/// Enter and Return on a focused button (push button, check box, radio button) click it, as
/// Space does, for every such button inside Root.
void InstallEnterClicksButtons(QWidget* Root);

}  // namespace vornik::gui
