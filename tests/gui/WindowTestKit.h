// The rig of the window tests: the application object on Qt's offscreen platform, dialogs that
// answer from a script and record what they were asked, and a window whose engine talks to the
// simulated device over an in-memory link on the virtual clock.
#pragma once

#include <QApplication>
#include <QCoreApplication>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/CfgFrameWidget.h"
#include "app/gui/Dialogs.h"
#include "app/gui/WindowSupport.h"
#include "app/gui/uMainForm.h"
#include "sim/SimDevice.h"
#include "testkit/MemoryLink.h"
#include "testkit/SimPeer.h"
#include "testkit/TempDir.h"
#include "testkit/VirtualLoop.h"

namespace vornik::gui::test {

inline void QuietOffscreenMessages(QtMsgType Type, const QMessageLogContext& Context, const QString& Text) {
  // The offscreen platform remarks on every window it cannot size for a window manager.
  if (Text.contains(QLatin1String("propagateSizeHints"))) return;
  // Nor can it raise an open list or grab the keyboard for it.
  if (Text.startsWith(QLatin1String("This plugin does not support"))) return;
  qt_message_output(Type, Context, Text);
}

inline void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qInstallMessageHandler(QuietOffscreenMessages);
  static int argc = 1;
  static char name[] = "vornik-gui-test";
  static char* argv[] = {name, nullptr};
  new TVornikApplication(argc, argv);
}

class TScriptedDialogs final : public TDialogs {
 public:
  /// Answers to the next questions, in order; a question beyond them is answered No.
  std::deque<QMessageBox::StandardButton> Answers;
  QString NextOpenFile;
  QStringList NextOpenFiles;
  QString NextSaveFile;

  std::vector<std::string> Questions;
  std::vector<std::string> Messages;
  std::vector<std::string> Errors;
  std::vector<std::string> OpenTitles;
  std::vector<std::string> OpenFilters;

  QMessageBox::StandardButton Question(QWidget*, const QString& Text) override {
    Questions.push_back(Text.toStdString());
    if (Answers.empty()) return QMessageBox::No;
    const auto a = Answers.front();
    Answers.pop_front();
    return a;
  }
  void Message(QWidget*, const QString& Text) override { Messages.push_back(Text.toStdString()); }
  void ErrorReport(QWidget*, const QString& Text, const QString&) override { Errors.push_back(Text.toStdString()); }
  QString OpenFile(QWidget*, const QString& Title, const QString&, const QString& Filter,
                   const QString& Selected) override {
    OpenTitles.push_back(Title.toStdString());
    OpenFilters.push_back(Filter.toStdString() + " / " + Selected.toStdString());
    return NextOpenFile;
  }
  QStringList OpenFiles(QWidget*, const QString& Title, const QString&, const QString& Filter) override {
    OpenTitles.push_back(Title.toStdString());
    OpenFilters.push_back(Filter.toStdString());
    return NextOpenFiles;
  }
  QString SaveFile(QWidget*, const QString& Title, const QString&) override {
    OpenTitles.push_back(Title.toStdString());
    return NextSaveFile;
  }
};

/// A window in a fresh folder (its settings file and log beside a program named "vornik"), the
/// simulated device one millisecond away.
class WindowRig {
 public:
  explicit WindowRig(TSimDeviceConfig Config = {}, TSimFaults Faults = {},
                     testkit::MemoryLinkSettings Link = {.LatencyMs = 1})
      : Device(std::move(Config), Faults), Peer(Loop, Device), Links(Loop, &Peer, Link) {
    EnsureApplication();
  }

  std::unique_ptr<TMainForm> Open(std::vector<std::string> Params = {}) {
    auto w = std::make_unique<TMainForm>(Loop, Links, Dir.Path("vornik"), "1.2.3.4", Dialogs, std::move(Params));
    w->KRVCommsCfg->ListSerialDevices = [this] { return SerialDevices; };
    w->show();
    QCoreApplication::processEvents();
    return w;
  }
  /// Runs the virtual clock until Done or a generous limit; false when the limit was hit.
  template <typename F>
  bool RunUntil(F Done, int64_t LimitMs = 900000) {
    return Loop.runUntil(Done, LimitMs);
  }
  std::string Path(const std::string& Name) const { return Dir.Path(Name); }

  vornik::test::TempDir Dir;
  testkit::VirtualLoop Loop;
  TSimDevice Device;
  vornik::testing::TSimPeer Peer;
  testkit::MemoryLinkFactory Links;
  TScriptedDialogs Dialogs;
  /// The serial devices the window's port list finds on this pretend machine (none at first).
  std::vector<SerialDeviceInfo> SerialDevices;
};

}  // namespace vornik::gui::test
