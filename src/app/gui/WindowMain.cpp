#include "app/gui/WindowMain.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#include "app/AppPaths.h"
#include "app/VornikTexts.h"
#include "app/gui/Dialogs.h"
#include "app/gui/WindowSupport.h"
#include "app/gui/uMainForm.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtPortLink.h"
#include "platform/qt/SerialPortMap.h"
#include "util/MorvelUtils.h"

namespace vornik::gui {

namespace {

constexpr const char* kNoDisplay =
    "vornik: no display to open the window on; run 'vornik -?' for the command-line update.\n";

// While the application object connects to the display, Qt's own complaints are held back: a
// failure ends here with one line of ours instead of Qt's abort text.
void StartupMessageHandler(QtMsgType Type, const QMessageLogContext&, const QString&) {
  if (Type == QtFatalMsg) {
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    std::_Exit(99);
  }
}

bool DisplayNamed() {
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace

int RunWindowMode(int& Argc, char** Argv, const std::string& Version) {
  if (!DisplayNamed()) {
    std::fputs(kNoDisplay, stderr);
    return 99;
  }
  const QtMessageHandler previous = qInstallMessageHandler(StartupMessageHandler);
  TVornikApplication app(Argc, Argv);
  qInstallMessageHandler(previous);
  QApplication::setApplicationName(QString::fromUtf8(texts::kAppTitle));
  QApplication::setApplicationDisplayName(QString::fromUtf8(texts::kAppTitle));
  // The menu entry vornik.desktop: the desktop shows its icon and name for this window.
  QGuiApplication::setDesktopFileName(QStringLiteral("vornik"));

  const std::string exeFileName = QApplication::applicationFilePath().toStdString();
  QtPortLinkFactory links(ReadSerialPortMap(AppPaths(exeFileName).IniFileName));
  TQtDialogs dialogs;
  int exitCode = 99;
  // Hints about the serial port (a slow USB adapter) go to the log and its view.
  TMainForm* logTo = nullptr;
  links.setNoticeHandler([&logTo](const std::string& Text) {
    if (logTo != nullptr) logTo->Core().NaploComponent.WriteLog(Text, false);
  });
  // A serial device picked by path: the port number the settings gave the engine stands for it.
  links.setPathResolver([&logTo](int ComPort) {
    if (logTo == nullptr || ComPort != TCfgFrame::kSerialDevicePort) return std::string();
    return logTo->Core().KRVCommsCfg.AppliedSerialDevice();
  });
  {
    TMainForm form(QtEventLoop::instance(), links, exeFileName, Version, dialogs, CmdLineParams());
    logTo = &form;
    app.OnUncaughtError = [&form](const std::string& Message) { form.HandleUncaughtError(Message); };
    form.show();
    app.exec();
    app.OnUncaughtError = nullptr;
    exitCode = form.Core().ProgramExitCode;
    logTo = nullptr;
  }
  return exitCode;
}

}  // namespace vornik::gui
