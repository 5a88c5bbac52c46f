// One whole update started from the window over real TCP loopback against the vornik-sim
// program, on Qt's event loop: the way a technician runs it, questions answered by the script.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <filesystem>

#include "app/E2EProcess.h"
#include "app/HexText.h"
#include "app/TestFirmware.h"
#include "gui/WindowTestKit.h"
#include "platform/qt/QtEventLoop.h"
#include "platform/qt/QtPortLink.h"

namespace vornik::gui::test {
namespace {

namespace fs = std::filesystem;
using vornik::test::ReadAll;
using vornik::test::WriteAll;

// Runs Qt's event loop until Done or TimeoutMs; true when Done.
template <typename F>
bool PumpUntil(F Done, int TimeoutMs) {
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (Done()) loop.quit();
  });
  check.start(10);
  QTimer::singleShot(TimeoutMs, &loop, &QEventLoop::quit);
  loop.exec();
  return Done();
}

TEST(WindowOverLoopback, WholeUpdateWithEraseQuestion) {
  const fs::path sim = fs::path(vornik::test::BinDir()) / "vornik-sim";
  if (!fs::exists(sim)) GTEST_SKIP() << "vornik-sim not built";
  EnsureApplication();
  vornik::test::TempDir dir;
  const std::string plain = vornik::test::ImageWithInfo(0x4000, 0x5000);
  WriteAll(dir.Path("fw.hex"), vornik::test::HexText(0x4000, plain));
  const int port = vornik::test::FreeTcpPort();
  vornik::test::TBackgroundProcess device(
      {sim.string(), "--port", std::to_string(port), "--address", "178556", "--save-image", dir.Path("installed.bin")},
      dir.Path("sim.out"));
  ASSERT_TRUE(vornik::test::WaitForTcpListener(port, 10000)) << device.Output();

  QtPortLinkFactory links;
  TScriptedDialogs dialogs;
  {
    TMainForm w(QtEventLoop::instance(), links, dir.Path("vornik"), "1.2.3.4", dialogs);
    // The log view's memory rule is not under test here (a sanitizer build grows by far more).
    w.UsedMemoryKB = [] { return 0; };
    w.show();
    ASSERT_TRUE(PumpUntil([&] { return w.Shown(); }, 5000));
    w.Core().KRVCommsCfg.SetConnType(TConnType::ConnTypeTCPIP);
    w.Core().KRVCommsCfg.SetAddressText("127.0.0.1:" + std::to_string(port));
    w.Core().KRVCommsCfg.SetKRVAddress(178556);
    w.edFWFile->setText(QString::fromStdString(dir.Path("fw.hex")));
    w.chbClrFlash->setChecked(true);
    dialogs.Answers = {QMessageBox::Yes};
    w.InstallButton->click();
    ASSERT_TRUE(w.Core().UpdateRunning());
    ASSERT_TRUE(PumpUntil([&] { return !w.Core().UpdateRunning(); }, 120000)) << device.Output();
    EXPECT_EQ(w.Core().ProgramExitCode, 0) << w.memoMessages->toPlainText().toStdString();
    EXPECT_EQ(dialogs.Questions.size(), 1u);
    EXPECT_FALSE(w.Core().KRVComms.Active());
    w.FlushLogView();
    EXPECT_NE(w.memoCommLog->toPlainText().size(), 0);
  }
  device.Stop();
  EXPECT_EQ(ReadAll(dir.Path("installed.bin")), plain);
}

}  // namespace
}  // namespace vornik::gui::test
