#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include "app/HexText.h"
#include "app/TestFirmware.h"
#include "app/VornikTexts.h"
#include "app/gui/CfgFrameWidget.h"
#include "gui/WindowTestKit.h"

namespace vornik::gui::test {
namespace {

using vornik::test::BootloaderImage;
using vornik::test::HexText;
using vornik::test::ImageWithInfo;
using vornik::test::ReadAll;
using vornik::test::WriteAll;

QString U(const char* s) { return QString::fromUtf8(s); }

bool Contains(const std::vector<std::string>& Lines, const std::string& Part) {
  for (const auto& l : Lines)
    if (l.find(Part) != std::string::npos) return true;
  return false;
}

std::string ResultText(TFWUploadResult r) { return FWUploadResultToStr(r); }

TEST(MainForm, LayoutCaptionsAndLabels) {
  WindowRig rig;
  auto w = rig.Open();
  EXPECT_EQ(w->windowTitle().toStdString().rfind("Telvaro Vornik v1.2.3.4", 0), 0u);
  EXPECT_EQ(w->minimumHeight(), 386);
  ASSERT_EQ(w->pcTasks->count(), 2);
  EXPECT_EQ(w->pcTasks->tabText(0), U("Firmware frissítése"));
  EXPECT_EQ(w->pcTasks->tabText(1), U("Külső flash kezelése"));
  EXPECT_EQ(w->pcTasks->currentIndex(), 0);
  EXPECT_EQ(w->pcInfo->tabText(0), U("A kiválasztott firmware tulajdonságai"));
  EXPECT_EQ(w->pcInfo->tabText(1), U("Kommunikációs napló"));
  EXPECT_EQ(w->pcInfo->tabText(2), U("Üzenetek"));
  EXPECT_EQ(w->pcInfo->currentWidget(), w->tsMessages);
  EXPECT_EQ(w->vledFWInfo->horizontalHeaderItem(0)->text(), U("Jellemző neve"));
  EXPECT_EQ(w->vledFWInfo->horizontalHeaderItem(1)->text(), U("Érték"));
  EXPECT_EQ(w->InstallButton->text(), U("Frissítés indítása"));
  EXPECT_EQ(w->ProgressBar->minimum(), 0);
  EXPECT_EQ(w->ProgressBar->maximum(), 100);
  EXPECT_TRUE(w->CreateQOBFile->isVisible());
  EXPECT_FALSE(w->chbConnected->isVisible());
  EXPECT_FALSE(w->chbSlowWriteMode->isVisible());
  EXPECT_EQ(w->Label1->buddy(), w->edFWFile);
  EXPECT_EQ(w->edFWFileBrowse->accessibleName(), U("Tallózás"));
  EXPECT_EQ(w->chbTurboFWUpload->toolTip().count(QLatin1Char('\n')), 2);
  EXPECT_EQ(w->chbClrFlash->toolTip().count(QLatin1Char('\n')), 2);
  EXPECT_FALSE(w->memoMessages->lineWrapMode());

  // The connection frame: serial, COM 1, 115200, any device.
  TCfgFrameWidget& f = *w->KRVCommsCfg;
  EXPECT_EQ(f.rgConnType->title(), U("A kapcsolat típusa"));
  EXPECT_TRUE(f.rbSerial->isChecked());
  EXPECT_EQ(f.pcConnType->currentWidget(), f.tsSoros);
  EXPECT_EQ(f.cboxSorosPort->count(), 50);
  EXPECT_EQ(f.cboxSorosPort->itemText(0), QStringLiteral("COM  1"));
  EXPECT_EQ(f.cboxSorosPort->itemText(49), QStringLiteral("COM 50"));
  EXPECT_EQ(f.cboxSorosPort->currentIndex(), 0);
  EXPECT_EQ(f.cboxBaudrate->currentText(), QStringLiteral("115200"));
  EXPECT_EQ(f.edKRVAddress->value(), 255);
  EXPECT_EQ(f.labelKRVAddress->buddy(), f.edKRVAddress);
  EXPECT_EQ(f.labelSerial->buddy(), f.cboxSorosPort);
  EXPECT_EQ(f.labelBaudrate->buddy(), f.cboxBaudrate);
  EXPECT_EQ(f.labelIPAddress->buddy(), f.edIPAddress);
  EXPECT_EQ(f.buttRemoveIP->text(), U("–"));

  // Switching to TCP/IP shows the remembered list, sorted.
  WriteAll(rig.Path("vornik.ini"), "[KRVCommsCfg_IPLIST]\nIPS=b:2,a:1\nSELECTED=1\n");
  f.rbTCPIP->click();
  EXPECT_EQ(f.pcConnType->currentWidget(), f.tsTCPIP);
  ASSERT_EQ(f.edIPAddress->count(), 2);
  EXPECT_EQ(f.edIPAddress->itemText(0), QStringLiteral("a:1"));
  EXPECT_EQ(f.edIPAddress->currentText(), QStringLiteral("b:2"));
  EXPECT_EQ(w->Core().KRVCommsCfg.TCPPort(), 2);
}

struct UpdateCase {
  const char* name;
  bool bootloader;
  bool clearFlash;
  std::vector<QMessageBox::StandardButton> answers;
  bool starts;
  size_t questions;
};

TEST(MainForm, UpdateQuestionsDecideWhetherItStarts) {
  const UpdateCase cases[] = {
      {"plain", false, false, {}, true, 0},
      {"erase yes", false, true, {QMessageBox::Yes}, true, 1},
      {"erase no", false, true, {QMessageBox::No}, false, 1},
      {"bootloader yes no", true, false, {QMessageBox::Yes, QMessageBox::No}, true, 2},
      {"bootloader no", true, false, {QMessageBox::No}, false, 1},
      {"bootloader yes yes", true, false, {QMessageBox::Yes, QMessageBox::Yes}, false, 2},
      {"bootloader and erase", true, true, {QMessageBox::Yes, QMessageBox::No, QMessageBox::Yes}, true, 3},
  };
  for (const UpdateCase& c : cases) {
    SCOPED_TRACE(c.name);
    WindowRig rig;
    const std::string plain = c.bootloader ? BootloaderImage() : ImageWithInfo(0x4000, 0x6000);
    WriteAll(rig.Path("fw.hex"), HexText(c.bootloader ? 0 : 0x4000, plain));
    auto w = rig.Open();
    // The log view's memory rule has a test of its own; a sanitizer's memory must not clear it here.
    w->UsedMemoryKB = [] { return 0; };
    w->edFWFile->setText(QString::fromStdString(rig.Path("fw.hex")));
    w->chbClrFlash->setChecked(c.clearFlash);
    rig.Dialogs.Answers.assign(c.answers.begin(), c.answers.end());
    w->InstallButton->click();
    EXPECT_EQ(rig.Dialogs.Questions.size(), c.questions);
    EXPECT_EQ(w->Core().UpdateRunning(), c.starts);
    EXPECT_EQ(w->Core().KRVComms.Active(), c.starts);
    if (!c.starts) {
      EXPECT_EQ(w->InstallButton->text(), U("Frissítés indítása"));
      continue;
    }
    EXPECT_EQ(w->InstallButton->text(), U("Leállítás"));
    EXPECT_FALSE(w->CSYSIButton->isEnabled());
    EXPECT_FALSE(w->edFWFile->isEnabled());
    EXPECT_FALSE(w->KRVCommsCfg->isEnabled());
    EXPECT_FALSE(w->pcTasks->isTabVisible(1));
    EXPECT_TRUE(Contains({w->memoMessages->toPlainText().toStdString()},
                         c.bootloader ? "A bootloader frissítése..." : "A firmware frissítése..."));

    ASSERT_TRUE(rig.RunUntil([&] { return !w->Core().UpdateRunning(); }));
    EXPECT_EQ(w->Core().ProgramExitCode, 0);
    EXPECT_EQ(rig.Device.InstalledImage(), plain);
    EXPECT_EQ(rig.Dialogs.Messages, std::vector<std::string>{ResultText(TFWUploadResult::fwrOk)});
    EXPECT_EQ(w->InstallButton->text(), U("Telepítés"));
    EXPECT_EQ(w->ProgressBar->value(), 100);
    EXPECT_FALSE(w->Core().KRVComms.Active());
    EXPECT_TRUE(w->KRVCommsCfg->isEnabled());
    EXPECT_TRUE(w->CSYSIButton->isEnabled());
    EXPECT_TRUE(w->pcTasks->isTabVisible(1));
    w->FlushLogView();
    EXPECT_FALSE(w->memoCommLog->toPlainText().isEmpty());
  }
}

TEST(MainForm, StopDuringAnUpdateAndBadFiles) {
  WindowRig rig;
  WriteAll(rig.Path("fw.hex"), HexText(0x4000, ImageWithInfo(0x4000, 0x10000)));
  auto w = rig.Open();
  w->edFWFile->setText(QString::fromStdString(rig.Path("fw.hex")));
  w->InstallButton->click();
  ASSERT_TRUE(rig.RunUntil([&] { return w->ProgressBar->value() >= 20; }));
  w->InstallButton->click();  // "Leállítás"
  EXPECT_FALSE(w->Core().UpdateRunning());
  EXPECT_FALSE(w->Core().KRVComms.Active());
  EXPECT_EQ(w->InstallButton->text(), U("Telepítés"));
  EXPECT_TRUE(Contains(rig.Dialogs.Messages, ResultText(TFWUploadResult::fwrAborted)));
  EXPECT_TRUE(rig.Device.InstalledImage().empty());
  rig.Loop.advance(60000);
  EXPECT_FALSE(w->Core().KRVComms.Active());

  // Closing the window during an update: the link closes, nothing more is asked or shown, the
  // controls are saved.
  w->InstallButton->click();
  ASSERT_TRUE(rig.RunUntil([&] { return w->ProgressBar->value() >= 5; }));
  const size_t shown = rig.Dialogs.Messages.size();
  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->Core().KRVComms.Active());
  rig.Loop.advance(60000);
  EXPECT_EQ(rig.Dialogs.Messages.size(), shown);
  EXPECT_NE(ReadAll(rig.Path("vornik.ini")).find("edFWFile_Text=" + rig.Path("fw.hex")), std::string::npos);
  w = rig.Open();

  // A file that vanished, a broken or cut HEX, a cut package, a file that is no firmware: a
  // message, nothing starts, the link is never opened.
  struct Bad {
    const char* file;
    std::string content;  // empty: no such file
    const char* message;
  };
  const std::string hex = HexText(0x4000, ImageWithInfo(0x4000, 0x10000));
  const Bad bad[] = {{"gone.hex", "", "A kiválasztott állomány nem található"},
                     {"broken.hex", ":10000000zz\n", "Hibás hexfájl: "},
                     {"cut.hex", hex.substr(0, hex.rfind('\n', hex.size() / 2) + 1), "Hibás hexfájl: A hexfájl csonka"},
                     {"cut.qob", "image bytesBuild:12345StartAddr:00000", "Hiba történt a fájl megnyitásakor: Csonka QOB"},
                     {"tiny.hex", HexText(0, "Build:12345"), "Hiba történt a fájl megnyitásakor: Üres paraméterstring."},
                     {"notes.txt", "x", texts::kNotAFirmware}};
  const std::size_t opens = rig.Links.Last != nullptr ? rig.Links.Last->Opens.size() : 0;
  for (const Bad& b : bad) {
    rig.Dialogs.Messages.clear();
    if (!b.content.empty()) WriteAll(rig.Path(b.file), b.content);
    w->edFWFile->setText(QString::fromStdString(rig.Path(b.file)));
    w->InstallButton->click();
    EXPECT_FALSE(w->Core().UpdateRunning()) << b.file;
    EXPECT_FALSE(w->Core().KRVComms.Active()) << b.file;
    EXPECT_TRUE(w->memoMessages->toPlainText().toStdString().find(b.message) != std::string::npos) << b.file;
    EXPECT_EQ(w->vledFWInfo->rowCount(), 0) << b.file;
    EXPECT_EQ(rig.Links.Last != nullptr ? rig.Links.Last->Opens.size() : 0, opens) << b.file;
  }
}

TEST(MainForm, DeviceInformationAndRestart) {
  WindowRig rig;
  auto w = rig.Open();
  w->CSYSIButton->click();
  EXPECT_TRUE(w->Core().KRVComms.Active());
  ASSERT_TRUE(rig.RunUntil([&] { return !w->Core().KRVComms.Active(); }, 20000));
  const std::string messages = w->memoMessages->toPlainText().toStdString();
  EXPECT_NE(messages.find("Készülékinformációk beolvasása..."), std::string::npos);
  EXPECT_NE(messages.find("Készülékinformációk: "), std::string::npos) << messages;
  EXPECT_EQ(w->Core().KRVComms.KRVMode(), TKRVMode::PMKRVWOnly);

  const int restarts = rig.Device.Restarts();
  w->ResetButton->click();
  ASSERT_TRUE(rig.RunUntil([&] { return !w->Core().KRVComms.Active(); }, 20000));
  EXPECT_GT(rig.Device.Restarts(), restarts);
  EXPECT_NE(w->memoMessages->toPlainText().toStdString().find(texts::kRestarted), std::string::npos);

  // A device that never answers: the error text, the link closed.
  TSimFaults faults;
  faults.Silent = true;
  WindowRig silent({}, faults);
  auto s = silent.Open();
  s->CSYSIButton->click();
  ASSERT_TRUE(silent.RunUntil([&] { return !s->Core().KRVComms.Active(); }, 60000));
  EXPECT_NE(s->memoMessages->toPlainText().toStdString().find("Hiba történt: "), std::string::npos);
}

TEST(MainForm, QobAndBinFilesWithTheOverwriteQuestion) {
  WindowRig rig;
  const std::string plain = ImageWithInfo(0x4000, 0x4100);
  WriteAll(rig.Path("fw.hex"), HexText(0x4000, plain));
  rig.Dialogs.NextOpenFile = QString::fromStdString(rig.Path("fw.hex"));
  auto w = rig.Open();
  w->edFWFileBrowse->click();
  EXPECT_EQ(rig.Dialogs.OpenFilters.back(),
            std::string(texts::kFirmwareFilter) + " / " + texts::kFirmwareFilterPreselected);
  EXPECT_EQ(w->vledFWInfo->item(0, 1)->text().toStdString(), rig.Path("fw.hex"));
  EXPECT_EQ(w->vledFWInfo->item(1, 1)->text(), QStringLiteral("16384"));

  w->CreateBINFile->click();
  EXPECT_EQ(ReadAll(rig.Path("fw.bin")), plain);
  EXPECT_EQ(rig.Dialogs.Messages.back(), "OK, az új fájl neve: " + rig.Path("fw.bin"));
  EXPECT_TRUE(rig.Dialogs.Questions.empty());

  // Existing target: No leaves it untouched and says nothing; Yes replaces it.
  WriteAll(rig.Path("fw.bin"), "old");
  const size_t messages = rig.Dialogs.Messages.size();
  rig.Dialogs.Answers = {QMessageBox::No};
  w->CreateBINFile->click();
  EXPECT_EQ(ReadAll(rig.Path("fw.bin")), "old");
  EXPECT_EQ(rig.Dialogs.Messages.size(), messages);
  EXPECT_EQ(rig.Dialogs.Questions.back(), "A célfájl már létezik, felülírja? (" + rig.Path("fw.bin") + ")");
  rig.Dialogs.Answers = {QMessageBox::Yes};
  w->CreateBINFile->click();
  EXPECT_EQ(ReadAll(rig.Path("fw.bin")), plain);

  // The package loads back to the same image. After a failed load the table is empty; a double
  // click on its empty area reloads all the same. A checksum file left from an earlier package
  // is replaced with the new one's (or the new package would be refused).
  WriteAll(rig.Path("fw.qob.sha256"), std::string(64, '0') + "  fw.qob\n");
  w->CreateQOBFile->click();
  EXPECT_EQ(ReadAll(rig.Path("fw.bin.sha256")).substr(66), "fw.bin\n");
  w->edFWFile->setText(QString::fromStdString(rig.Path("missing.qob")));
  w->vledFWInfoDblClick();
  ASSERT_EQ(w->vledFWInfo->rowCount(), 0);
  w->edFWFile->setText(QString::fromStdString(rig.Path("fw.qob")));
  QTest::mouseDClick(w->vledFWInfo->viewport(), Qt::LeftButton, {}, QPoint(20, 60));
  EXPECT_GT(w->vledFWInfo->rowCount(), 2);
  std::remove(rig.Path("fw.bin").c_str());
  w->CreateBINFile->click();
  EXPECT_EQ(ReadAll(rig.Path("fw.bin")), plain);
}

TEST(MainForm, CustomerModeFromTheSettingsFile) {
  WindowRig rig;
  WriteAll(rig.Path("vornik.ini"),
           "[OPERATION]\nCustomerMode=1\nKapcsolatMod=1\nKapcsolatModValaszthato=0\nSorosPortLathato=0\n"
           "Baudrate=14400\nIPCim=10.1.2.3:1002\nKRVCim=178556\nKRVCimSzerkesztheto=0\n");
  auto w = rig.Open();
  TMainFormCore& c = w->Core();
  EXPECT_TRUE(c.CustomerMode);
  EXPECT_FALSE(w->pcInfo->isTabVisible(0));
  EXPECT_TRUE(w->pcInfo->isTabVisible(1));
  EXPECT_FALSE(w->pcInfo->isTabVisible(2));
  EXPECT_EQ(w->pcInfo->currentWidget(), w->tsCommLog);
  EXPECT_FALSE(w->pcTasks->isVisible());
  EXPECT_FALSE(w->KRVCommsCfg->buttAddIP->isVisible());
  EXPECT_FALSE(w->KRVCommsCfg->rgConnType->isEnabled());
  EXPECT_EQ(c.KRVCommsCfg.ConnType(), TConnType::ConnTypeTCPIP);
  EXPECT_FALSE(w->KRVCommsCfg->labelSerial->isVisibleTo(w->KRVCommsCfg));
  EXPECT_EQ(c.KRVCommsCfg.BaudIndex(), -1);
  EXPECT_EQ(c.KRVCommsCfg.Baudrate(), 115200);
  EXPECT_EQ(c.KRVCommsCfg.AddressText(), "10.1.2.3:1002");
  EXPECT_EQ(c.KRVCommsCfg.KRVAddress(), 178556);
  EXPECT_FALSE(w->KRVCommsCfg->edKRVAddress->isEnabled());
  EXPECT_EQ(w->edFWFile->text().toStdString(), rig.Path("main.qob"));
  // The keys read are now in the file with their defaults.
  const std::string ini = ReadAll(rig.Path("vornik.ini"));
  EXPECT_NE(ini.find("FelsoPanelLathato=1"), std::string::npos) << ini;
  EXPECT_NE(ini.find("KRVCimLathato=1"), std::string::npos) << ini;

  // Messages do not switch pages in customer mode; while running only the button changes.
  c.LogMessage("x");
  EXPECT_EQ(w->pcInfo->currentWidget(), w->tsCommLog);
  c.SetUpdateRunning(true);
  EXPECT_FALSE(w->InstallButton->isEnabled());
  EXPECT_EQ(w->InstallButton->text(), U("Frissítés indítása"));
  c.SetUpdateRunning(false);
  EXPECT_TRUE(w->InstallButton->isEnabled());
}

TEST(MainForm, PersistedControlsSurviveARestart) {
  WindowRig rig;
  const std::string file = rig.Path("fw.hex");
  WriteAll(file, HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  {
    auto w = rig.Open();
    // A fresh folder: the window has written only the customer-mode switch so far.
    EXPECT_EQ(ReadAll(rig.Path("vornik.ini")), "[OPERATION]\nCustomerMode=0\n");
    w->edFWFile->setText(QString::fromStdString(file));
    w->chbTurboFWUpload->setChecked(true);
    w->close();
  }
  const std::string ini = ReadAll(rig.Path("vornik.ini"));
  EXPECT_NE(ini.find("[MainForm]"), std::string::npos);
  EXPECT_NE(ini.find("chbTurboFWUpload_Checked=TRUE"), std::string::npos);
  EXPECT_NE(ini.find("chbClrFlash_Checked=FALSE"), std::string::npos);
  {
    auto w = rig.Open();
    EXPECT_EQ(w->edFWFile->text().toStdString(), file);
    EXPECT_TRUE(w->chbTurboFWUpload->isChecked());
    EXPECT_FALSE(w->chbClrFlash->isChecked());
    EXPECT_GT(w->vledFWInfo->rowCount(), 2);  // loaded at show
  }
  // The usual true words are read; anything else leaves the control as it is.
  WriteAll(rig.Path("vornik.ini"), "[MainForm]\nchbClrFlash_Checked=yes\nchbTurboFWUpload_Checked=maybe\n");
  auto w = rig.Open();
  EXPECT_TRUE(w->chbClrFlash->isChecked());
  EXPECT_FALSE(w->chbTurboFWUpload->isChecked());
}

TEST(MainForm, FirstArgumentOpensTheFirmwareFile) {
  WindowRig rig;
  WriteAll(rig.Path("a.hex"), HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  WriteAll(rig.Path("b.HEX"), HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  EXPECT_TRUE(rig.Open({rig.Path("b.HEX")})->edFWFile->text().isEmpty());
  EXPECT_EQ(rig.Open({rig.Path("a.hex")})->edFWFile->text().toStdString(), rig.Path("a.hex"));
}

TEST(MainForm, LogViewClearsOnGrowthSinceShownOrLength) {
  WindowRig rig;
  auto w = rig.Open();
  int32_t memory = 90000;
  w->UsedMemoryKB = [&memory] { return memory; };
  w->SetMemoryBaseKB(80000);  // a Qt window alone is far above 20000 KiB
  w->NaploComponentWriteLog("first");
  EXPECT_TRUE(w->memoCommLog->toPlainText().isEmpty());  // shown together a moment later
  w->FlushLogView();
  EXPECT_EQ(w->memoCommLog->toPlainText(), QStringLiteral("first"));
  EXPECT_NE(w->windowTitle().toStdString().find(" [felhasznált memória: 90000 kbyte]"), std::string::npos);
  memory = 100001;
  w->NaploComponentWriteLog("second");
  w->FlushLogView();
  EXPECT_TRUE(w->memoCommLog->toPlainText().isEmpty());
  memory = 90000;
  const std::string line(1000, 'x');
  for (int i = 0; i < 49; ++i) w->NaploComponentWriteLog(line);
  w->FlushLogView();
  EXPECT_EQ(w->memoCommLog->blockCount(), 49);
  w->NaploComponentWriteLog(line);
  w->FlushLogView();
  EXPECT_TRUE(w->memoCommLog->toPlainText().isEmpty());

  // Payload bytes above 127 read as Windows-1250; the program's own UTF-8 texts as they are.
  w->NaploComponentWriteLog("AFLRC\xE9\xF5 K\xC3\xA9sz\xC3\xBCl\xC3\xA9k");
  w->FlushLogView();
  EXPECT_EQ(w->memoCommLog->toPlainText(), U("AFLRCéő Készülék"));
}

TEST(MainForm, UncaughtErrorIsShownAndTheWindowReturnsToRest) {
  WindowRig rig;
  WriteAll(rig.Path("fw.hex"), HexText(0x4000, ImageWithInfo(0x4000, 0x4100)));
  WriteAll(rig.Path("vornik.ini"), "[DEBUG]\nBlockLength=0\n");
  auto w = rig.Open();
  w->edFWFile->setText(QString::fromStdString(rig.Path("fw.hex")));
  w->InstallButton->click();
  ASSERT_EQ(rig.Dialogs.Errors.size(), 1u);
  EXPECT_NE(rig.Dialogs.Errors[0].find("Invalid block length"), std::string::npos);
  EXPECT_FALSE(w->Core().UpdateRunning());
  EXPECT_FALSE(w->Core().KRVComms.Active());
  EXPECT_TRUE(w->InstallButton->isEnabled());
  EXPECT_NE(ReadAll(rig.Path("vornik.log")).find("Invalid block length"), std::string::npos);

  // An exception escaping an event handler reaches the same handler through the application.
  auto* app = dynamic_cast<TVornikApplication*>(QApplication::instance());
  ASSERT_NE(app, nullptr);
  app->OnUncaughtError = [&w](const std::string& m) { w->HandleUncaughtError(m); };
  QMetaObject::invokeMethod(w.get(), [] { throw std::runtime_error("from a timer"); }, Qt::QueuedConnection);
  QCoreApplication::processEvents();
  app->OnUncaughtError = nullptr;
  ASSERT_EQ(rig.Dialogs.Errors.size(), 2u);
  EXPECT_EQ(rig.Dialogs.Errors[1], "from a timer");
}

}  // namespace
}  // namespace vornik::gui::test
