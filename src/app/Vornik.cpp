// The program's entry. The switches "start" and "?" select the unattended command-line update,
// which runs on QCoreApplication alone and needs no display: the caption is printed, a 100 ms
// one-shot timer performs the run, and the event loop delivers the engine's and the uploader's
// events until the run is done; the process then exits with the run's exit code. Without those
// switches the main window opens; only then is a QApplication created. "--version" alone prints the
// version and ends; "--help" and "-h" print the usage of "-?" and end with exit code 0.
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/VornikTexts.h"
#include "app/gui/WindowMain.h"
#include "app/uCmdLineArgs.h"
#include "app/uCmdLineRun.h"
#include "app/uMainFormCore.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtPortLink.h"
#include "platform/qt/SerialPortMap.h"
#include "util/MorvelUtils.h"
#include "VornikVersion.h"

int main(int argc, char** argv) {
  // A closed console must not end an update half way; writes to it simply fail.
  std::signal(SIGPIPE, SIG_IGN);

  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("vornik %s\n", VORNIK_VERSION);
    return 0;
  }

  vornik::SetCmdLineArgs(argc, argv);
  const std::vector<std::string>& params = vornik::CmdLineParams();
  // "--help" and "-h" get the usage of "-?" on the console and end successfully.
  const bool help = vornik::IsHelpRequest(params);
  if (!help && !vornik::IsCommandLineMode(params)) return vornik::gui::RunWindowMode(argc, argv, VORNIK_VERSION);
  static const std::vector<std::string> kHelpParams = {"-?"};
  const std::vector<std::string>& runParams = help ? kHelpParams : params;

  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(vornik::texts::kAppTitle);

  const std::string exeFileName = QCoreApplication::applicationFilePath().toStdString();
  // COM n opens the device path named in [SerialPorts] of the settings file, if any.
  vornik::QtPortLinkFactory links(vornik::ReadSerialPortMap(vornik::AppPaths(exeFileName).IniFileName));

  // Hints about the serial port (a slow USB adapter) go to the form's log; the engine creates
  // its link together with the form.
  vornik::TMainFormCore* logTo = nullptr;
  links.setNoticeHandler([&logTo](const std::string& Text) {
    if (logTo != nullptr) logTo->NaploComponent.WriteLog(Text, false);
  });
  vornik::TMainFormCore form(vornik::QtEventLoop::instance(), links, exeFileName, true);
  logTo = &form;
  form.VersionStr = VORNIK_VERSION;
  vornik::AttachParentConsole();
  vornik::WriteCaption(form);

  auto run = [&form, &runParams] {
    try {
      vornik::CmdLineTimerTimer(form, runParams);
    } catch (const std::exception& e) {
      // Nothing catches this inside the run: show it, close the link and end the run.
      form.ReportMessage(e.what());
      try {
        form.FirmwareUploader.Abort();
        form.SetConnected(false);
      } catch (const std::exception&) {
      }
      form.CmdLineDone = true;
    }
  };
  QTimer::singleShot(100, &app, run);

  // The run ends inside some event handler; look after every few milliseconds.
  QTimer doneCheck;
  doneCheck.setInterval(5);
  QObject::connect(&doneCheck, &QTimer::timeout, &app, [&form, &app] {
    if (form.CmdLineDone) app.quit();
  });
  doneCheck.start();
  app.exec();
  return help ? 0 : form.ProgramExitCode;
}
