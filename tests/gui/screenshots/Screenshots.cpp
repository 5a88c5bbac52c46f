// vornik-screenshots FOLDER [SUFFIX]: pictures of the window for the README, taken on whatever
// display Qt is given (make screenshots runs it under Xvfb). The window talks to the simulated
// device in memory on the virtual clock, so "during an update" is a real update caught halfway.
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QScreen>
#include <QCoreApplication>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QLineEdit>
#include <QTabWidget>

#include <cstdio>
#include <string>

#include "app/HexText.h"
#include "app/TestFirmware.h"
#include "app/gui/CfgFrameWidget.h"
#include "app/gui/FlashPage.h"
#include "app/gui/LabeledNumEdit.h"
#include "gui/WindowTestKit.h"

using namespace vornik;
using namespace vornik::gui;
using namespace vornik::gui::test;

namespace {

QString Folder;
QString Suffix;

void Shot(TMainForm& W, const char* Name) {
  W.FlushLogView();
  QCoreApplication::processEvents();
  const QString file = Folder + QLatin1Char('/') + QString::fromLatin1(Name) + Suffix + QStringLiteral(".png");
  if (!W.grab().save(file)) std::fprintf(stderr, "vornik-screenshots: cannot write %s\n", qPrintable(file));
  std::printf("%s\n", qPrintable(file));
}

void ShotScreen(const QRect& Area, const char* Name) {
  QCoreApplication::processEvents();
  const QString file = Folder + QLatin1Char('/') + QString::fromLatin1(Name) + Suffix + QStringLiteral(".png");
  QScreen* screen = QGuiApplication::primaryScreen();
  const QPixmap shot = screen != nullptr ? screen->grabWindow(0, Area.x(), Area.y(), Area.width(), Area.height()) : QPixmap();
  if (shot.isNull() || !shot.save(file)) std::fprintf(stderr, "vornik-screenshots: cannot write %s\n", qPrintable(file));
  std::printf("%s\n", qPrintable(file));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vornik-screenshots FOLDER [SUFFIX]\n");
    return 2;
  }
  TVornikApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Vornik"));
  Folder = QString::fromLocal8Bit(argv[1]);
  Suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  QDir().mkpath(Folder);

  {
    // At rest with a firmware loaded, then halfway through its update.
    WindowRig rig;
    const std::string hex = rig.Path("demo-firmware.hex");
    vornik::test::WriteAll(hex, vornik::test::HexText(0x4000, vornik::test::ImageWithInfo(0x4000, 0x20000, "Build:00042")));
    auto w = rig.Open({hex});
    w->resize(960, 620);
    w->pcInfo->setCurrentWidget(w->tsFWInfo);
    Shot(*w, "window-rest");
    w->InstallButton->click();
    rig.RunUntil([&] { return w->ProgressBar->value() >= 45; });
    w->pcInfo->setCurrentWidget(w->tsCommLog);
    Shot(*w, "window-update");
    w->resize(w->width(), w->minimumHeight());
    Shot(*w, "window-minimum-height");
  }
  {
    // The flash page at rest with two files chosen, then reading the flash into a file.
    WindowRig rig;
    auto w = rig.Open();
    w->resize(960, 620);
    TFlashPage& p = *w->tsFlashRW;
    w->pcTasks->setCurrentWidget(&p);
    p.edFlashFileNameAfterDialog({"/home/technikus/naplo-2026.bin", "/home/technikus/jogok lista.bin"});
    p.edStartPage->setText(QStringLiteral("$10"));
    p.edFlashFileLength->SetText("131072");
    Shot(*w, "flash-rest");
    p.buttDownloadFromFlash->click();
    rig.RunUntil([&] { return w->ProgressBar->value() >= 60; });
    w->pcInfo->setCurrentWidget(w->tsCommLog);
    Shot(*w, "flash-download");
    p.buttDownloadFromFlash->click();
  }
  {
    // The serial port list opened with a USB adapter plugged in. The open list is a window of
    // its own, so the picture is taken from the screen.
    WindowRig rig;
    rig.SerialDevices = {{"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "FT232R USB UART"},
                         {"/dev/ttyACM0", "RS485 Adapter"}};
    auto w = rig.Open();
    w->resize(960, 620);
    QComboBox* box = w->KRVCommsCfg->cboxSorosPort;
    box->showPopup();
    box->view()->scrollToBottom();
    box->view()->setCurrentIndex(box->model()->index(box->count() - 2, 0));
    w->FlushLogView();
    QCoreApplication::processEvents();
    QWidget* popup = box->view()->window();
    const QRect area = w->frameGeometry().united(popup->frameGeometry());
    ShotScreen(area, "port-list");
    box->hidePopup();
  }
  {
    WindowRig rig;
    vornik::test::WriteAll(rig.Path("vornik.ini"),
                           "[OPERATION]\nCustomerMode=1\nKapcsolatMod=1\nKapcsolatModValaszthato=0\n"
                           "IPCim=192.168.1.120:1001\nKRVCim=178556\nKRVCimSzerkesztheto=0\n");
    auto w = rig.Open();
    w->resize(640, 420);
    Shot(*w, "window-customer");
  }
  return 0;
}
