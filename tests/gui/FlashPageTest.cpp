#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <filesystem>

#include <unistd.h>

#include "app/LabeledNumEditModel.h"
#include "app/VornikTexts.h"
#include "app/gui/FlashPage.h"
#include "app/gui/LabeledNumEdit.h"
#include "gui/WindowTestKit.h"

namespace vornik::gui::test {
namespace {

using vornik::test::ReadAll;
using vornik::test::WriteAll;

QString U(const char* s) { return QString::fromUtf8(s); }
std::string Bytes(std::size_t n, int seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 13 + seed);
  return s;
}

class FlashPageTest : public ::testing::Test {
 protected:
  FlashPageTest() : W(Rig.Open()), P(*W->tsFlashRW) {}
  bool Busy() { return W->Core().KRVComms.Active(); }
  bool RunToEnd() { return Rig.RunUntil([&] { return !P.Running(); }); }

  WindowRig Rig;
  std::unique_ptr<TMainForm> W;
  TFlashPage& P;
};

TEST_F(FlashPageTest, ControlsAndLabels) {
  EXPECT_EQ(P.Label2->buddy(), P.edFlashFileList);
  EXPECT_EQ(P.edFlashFileName->accessibleName(), U("Tallózás"));
  EXPECT_EQ(P.labelStartPage->buddy(), P.edStartPage);
  EXPECT_EQ(P.labelPageSize->buddy(), P.cbFlashPageSize);
  EXPECT_EQ(P.labelBlockSize->buddy(), P.edBlockSize);
  EXPECT_EQ(P.edFlashFileLength->EditLabel()->text(), U("Letöltéskor a letöltendő fájl hossza (B):"));
  EXPECT_EQ(P.edFlashFileLength->Text(), "0");
  EXPECT_EQ(P.cbFlashPageSize->currentText(), QStringLiteral("264"));
  EXPECT_EQ(P.cbFlashPageSize->count(), 2);
  EXPECT_EQ(P.edBlockSize->value(), 255);
  EXPECT_EQ(P.edBlockSize->maximum(), 255);
  EXPECT_EQ(P.chbTurboFlashReadWrite->text(), U("Turbó mód"));
  EXPECT_EQ(P.chbTurboFlashReadWrite->toolTip().count(QLatin1Char('\n')), 1);
  EXPECT_EQ(P.buttUploadToFlash->text(), U("Fájl feltöltése a flashbe"));
  EXPECT_EQ(P.buttDownloadFromFlash->text(), U("Letöltés a flashből és kiírás fájlba..."));
  // Thousands are grouped with a blank.
  P.edFlashFileLength->SetText("1234567");
  EXPECT_EQ(P.edFlashFileLength->Text(), "1 234 567");
}

TEST_F(FlashPageTest, UploadTwoFilesThenReadThemBack) {
  const std::string a = Bytes(100, 1), b = Bytes(28, 7);
  WriteAll(Rig.Path("a.bin"), a);
  WriteAll(Rig.Path("b c.bin"), b);
  Rig.Dialogs.NextOpenFiles = {QString::fromStdString(Rig.Path("a.bin")), QString::fromStdString(Rig.Path("b c.bin"))};
  P.edFlashFileName->click();
  EXPECT_EQ(Rig.Dialogs.OpenTitles.back(), "Állományok kiválasztása...");
  EXPECT_EQ(P.edFlashFileList->text().toStdString(), Rig.Path("a.bin") + ",\"" + Rig.Path("b c.bin") + "\"");
  ASSERT_EQ(P.FlashFiles().size(), 2u);

  P.edStartPage->setText(QStringLiteral("$10"));
  P.buttUploadToFlash->click();
  EXPECT_EQ(P.edFlashFileLength->Text(), "128");
  EXPECT_TRUE(Busy());
  EXPECT_EQ(P.buttUploadToFlash->text(), U("Leállítás"));
  EXPECT_FALSE(P.buttDownloadFromFlash->isEnabled());
  EXPECT_FALSE(W->pcTasks->isTabVisible(0));
  EXPECT_FALSE(W->InstallButton->isEnabled());
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(W->InstallButton->isEnabled());
  EXPECT_FALSE(Busy());
  EXPECT_TRUE(W->pcTasks->isTabVisible(0));
  EXPECT_EQ(Rig.Dialogs.Messages.back(), "A flash írása/olvasása befejeződött");
  EXPECT_EQ(Rig.Device.Flash().substr(16 * 264, 128), a + b);

  // Read back in blocks of 50 into a file; a cancelled save writes nothing and says nothing.
  P.edBlockSize->setValue(50);
  const size_t messages = Rig.Dialogs.Messages.size();
  P.buttDownloadFromFlash->click();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Rig.Dialogs.Messages.size(), messages);
  EXPECT_FALSE(std::filesystem::exists(Rig.Path("back.bin")));
  Rig.Dialogs.NextSaveFile = QString::fromStdString(Rig.Path("back.bin"));
  P.buttDownloadFromFlash->click();
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(ReadAll(Rig.Path("back.bin")), a + b);
  EXPECT_EQ(Rig.Dialogs.Messages.size(), messages);
  EXPECT_FALSE(Busy());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Rig.Path("")), {}), 5);  // no temporary left
}

TEST_F(FlashPageTest, EveryValidationMessageAndNothingStarts) {
  WriteAll(Rig.Path("a.bin"), "abc");
  WriteAll(Rig.Path("empty.bin"), "");
  struct Case {
    const char* name;
    bool upload;
    const char* files;
    const char* start;
    const char* pageSize;
    const char* length;
    const char* message;
    int blockSize = 255;
  };
  const std::string a = Rig.Path("a.bin");
  const Case cases[] = {
      {"letters as page size", true, "a.bin", "0", "abc", "0", texts::kInvalidPageSize},
      {"page size 0", true, "a.bin", "0", "0", "0", texts::kInvalidPageSize},
      {"empty start page", true, "a.bin", "", "264", "0", texts::kInvalidStartPage},
      {"start page beyond 16 bits", true, "a.bin", "70000", "264", "0", texts::kInvalidStartPage},
      {"missing file", true, "gone.bin", "0", "264", "0", texts::kMissingUploadFiles},
      {"no file", true, "", "0", "264", "0", texts::kMissingUploadFiles},
      {"empty file", true, "empty.bin", "0", "264", "0", texts::kMissingUploadFiles},
      {"download letters as page size", false, "", "0", "x", "10", texts::kInvalidPageSize},
      {"download empty start page", false, "", "", "264", "10", texts::kInvalidStartPageAndLength},
      {"download length 0", false, "", "1", "264", "0", texts::kInvalidStartPageAndLength},
      {"download block size 0", false, "", "1", "264", "10", texts::kInvalidBlockSize, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig.Dialogs.Messages.clear();
    P.edFlashFileList->setText(QString::fromStdString(*c.files ? Rig.Path(c.files) : ""));
    P.edStartPage->setText(QString::fromUtf8(c.start));
    P.cbFlashPageSize->setCurrentText(QString::fromUtf8(c.pageSize));
    P.edFlashFileLength->SetText(c.length);
    P.edBlockSize->setValue(c.blockSize);
    (c.upload ? P.buttUploadToFlash : P.buttDownloadFromFlash)->click();
    EXPECT_EQ(Rig.Dialogs.Messages, std::vector<std::string>{c.message});
    EXPECT_FALSE(Busy());
    EXPECT_FALSE(P.Running());
  }
  // A typed page size of 1056 is used as given.
  P.edFlashFileList->setText(QString::fromStdString(a));
  P.edStartPage->setText(QStringLiteral("2"));
  P.cbFlashPageSize->setCurrentText(QStringLiteral("1056"));
  P.buttUploadToFlash->click();
  EXPECT_EQ(W->Core().FlashReaderWriter.FlashPageSize, 1056);
  RunToEnd();
}

TEST_F(FlashPageTest, StopDuringADownloadAndADeviceThatStopsAnswering) {
  P.edStartPage->setText(QStringLiteral("0"));
  P.edFlashFileLength->SetText("200000");
  Rig.Dialogs.NextSaveFile = QString::fromStdString(Rig.Path("out.bin"));
  P.buttDownloadFromFlash->click();
  EXPECT_EQ(P.buttDownloadFromFlash->text(), U("Leállítás"));
  ASSERT_TRUE(Rig.RunUntil([&] { return W->ProgressBar->value() >= 10; }));
  P.buttDownloadFromFlash->click();
  EXPECT_FALSE(P.Running());
  EXPECT_FALSE(Busy());
  EXPECT_EQ(P.buttDownloadFromFlash->text(), U("Letöltés a flashből és kiírás fájlba..."));
  EXPECT_EQ(P.buttUploadToFlash->text(), U("Fájl feltöltése a flashbe"));
  EXPECT_EQ(Rig.Dialogs.Messages.back(), "A flash írását/olvasását megszakította");
  EXPECT_FALSE(std::filesystem::exists(Rig.Path("out.bin")));

  // The device falls silent halfway: the procedure's text, the link closed, no file.
  P.buttDownloadFromFlash->click();
  ASSERT_TRUE(Rig.RunUntil([&] { return W->ProgressBar->value() >= 10; }));
  Rig.Device.Faults.Silent = true;
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Rig.Dialogs.Messages.back(), "Nincs kapcsolat, vagy a készülék nem válaszol.");
  EXPECT_FALSE(Busy());
  EXPECT_FALSE(std::filesystem::exists(Rig.Path("out.bin")));
}

TEST_F(FlashPageTest, PersistedFieldsAndUnreadableFiles) {
  P.edFlashFileList->setText(QStringLiteral("x.bin y.bin"));
  P.edStartPage->setText(QStringLiteral("$20"));
  P.edFlashFileLength->SetText("4096");
  P.cbFlashPageSize->setCurrentText(QStringLiteral("528"));
  P.chbTurboFlashReadWrite->setChecked(true);
  W->close();
  W.reset();
  auto w = Rig.Open();
  TFlashPage& p = *w->tsFlashRW;
  EXPECT_EQ(p.edFlashFileList->text(), QStringLiteral("x.bin y.bin"));
  EXPECT_EQ(p.FlashFiles(), (std::vector<std::string>{"x.bin", "y.bin"}));
  EXPECT_EQ(p.edStartPage->text(), QStringLiteral("$20"));
  EXPECT_EQ(p.StartPage(), 32);
  EXPECT_EQ(p.edFlashFileLength->Text(), "4 096");
  EXPECT_EQ(p.cbFlashPageSize->currentText(), QStringLiteral("528"));
  EXPECT_TRUE(p.chbTurboFlashReadWrite->isChecked());

  // A file that exists but cannot be read: the error handler reports it, nothing starts.
  if (::geteuid() == 0) return;  // root reads anything
  WriteAll(Rig.Path("locked.bin"), "x");
  std::filesystem::permissions(Rig.Path("locked.bin"), std::filesystem::perms::none);
  p.edFlashFileList->setText(QString::fromStdString(Rig.Path("locked.bin")));
  p.buttUploadToFlash->click();
  EXPECT_EQ(Rig.Dialogs.Errors.size(), 1u);
  EXPECT_FALSE(w->Core().KRVComms.Active());
  EXPECT_FALSE(p.Running());
}

}  // namespace
}  // namespace vornik::gui::test
