// Window timings, run by bench/window.sh:
//   bench_window first-paint          ms from process start to the main window's first paint
//   bench_window update PORT FILE     a whole update started from the window (offscreen) against
//                                     vornik-sim on 127.0.0.1:PORT; prints the wall time
// The window is built exactly as the program builds it: Qt's event loop, the real links.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "app/gui/Dialogs.h"
#include "app/gui/WindowSupport.h"
#include "app/gui/uMainForm.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtPortLink.h"

using namespace vornik;
using namespace vornik::gui;

namespace {

// Milliseconds since this process was started, from the kernel's own accounting.
double MsSinceProcessStart() {
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long start = 0;
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) start = std::stoull(field);
  std::ifstream uptimeFile("/proc/uptime");
  double uptime = 0;
  uptimeFile >> uptime;
  return (uptime - static_cast<double>(start) / static_cast<double>(sysconf(_SC_CLK_TCK))) * 1000.0;
}

class TFirstPaint final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject*, QEvent* Event) override {
    if (Event->type() == QEvent::Paint && !done) {
      done = true;
      std::printf("first paint %.0f ms after process start\n", MsSinceProcessStart());
      QTimer::singleShot(0, qApp, &QApplication::quit);
    }
    return false;
  }
  bool done = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "update" && argc > 3) qputenv("QT_QPA_PLATFORM", "offscreen");
  TVornikApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string exe = QDir(dir.path()).filePath(QStringLiteral("vornik")).toStdString();
  QtPortLinkFactory links;
  TQtDialogs realDialogs;

  if (mode == "first-paint") {
    TMainForm w(QtEventLoop::instance(), links, exe, "0.0.0.0", realDialogs);
    TFirstPaint probe;
    w.installEventFilter(&probe);
    w.show();
    return app.exec();
  }
  if (mode == "update" && argc > 3) {
    // Questions are not asked for an ordinary firmware without the erase; messages are counted.
    class TQuiet final : public TDialogs {
     public:
      QMessageBox::StandardButton Question(QWidget*, const QString&) override { return QMessageBox::No; }
      void Message(QWidget*, const QString& T) override { std::printf("message: %s\n", qPrintable(T)); }
      void ErrorReport(QWidget*, const QString& T, const QString&) override { std::printf("error: %s\n", qPrintable(T)); }
      QString OpenFile(QWidget*, const QString&, const QString&, const QString&, const QString&) override { return {}; }
      QStringList OpenFiles(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
      QString SaveFile(QWidget*, const QString&, const QString&) override { return {}; }
    } dialogs;
    TMainForm w(QtEventLoop::instance(), links, exe, "0.0.0.0", dialogs);
    w.show();
    QApplication::processEvents();
    w.Core().KRVCommsCfg.SetConnType(TConnType::ConnTypeTCPIP);
    w.Core().KRVCommsCfg.SetAddressText(std::string("127.0.0.1:") + argv[2]);
    w.Core().KRVCommsCfg.SetKRVAddress(178556);
    w.edFWFile->setText(QString::fromLocal8Bit(argv[3]));
    QElapsedTimer t;
    t.start();
    w.InstallButton->click();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &app, [&] {
      if (!w.Core().UpdateRunning()) app.quit();
    });
    check.start(5);
    app.exec();
    std::printf("window update %.2f s, result %d\n", static_cast<double>(t.elapsed()) / 1000.0,
                w.Core().ProgramExitCode);
    return w.Core().ProgramExitCode;
  }
  std::fprintf(stderr, "usage: bench_window first-paint | update PORT FIRMWARE\n");
  return 2;
}
