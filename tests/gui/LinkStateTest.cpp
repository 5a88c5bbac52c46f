// The window's look while the link comes and goes under a running operation: a TCP connection
// that comes up only after the operation has started, and a link that drops and returns half way.
// Whatever the link does, the running operation keeps its stop button (where it has one), every
// other operation stays disabled, and stray clicks on the others start nothing.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

#include "app/HexText.h"
#include "app/TestFirmware.h"
#include "app/VornikTexts.h"
#include "app/gui/CfgFrameWidget.h"
#include "app/gui/FlashPage.h"
#include "app/gui/LabeledNumEdit.h"
#include "gui/WindowTestKit.h"

namespace vornik::gui::test {
namespace {

using vornik::test::HexText;
using vornik::test::ImageWithInfo;
using vornik::test::WriteAll;

enum class Op { Update, FlashWrite, FlashRead, Identify, Restart };
enum class Line { TcpLateConnect, SerialDrop, TcpLateConnectAndDrop };

const char* Name(Op o) {
  switch (o) {
    case Op::Update: return "update";
    case Op::FlashWrite: return "flash write";
    case Op::FlashRead: return "flash read";
    case Op::Identify: return "identify";
    case Op::Restart: return "restart";
  }
  return "";
}
const char* Name(Line l) {
  switch (l) {
    case Line::TcpLateConnect: return "tcp late connect";
    case Line::SerialDrop: return "serial drop";
    case Line::TcpLateConnectAndDrop: return "tcp late connect and drop";
  }
  return "";
}

// Later than the operation's start, shorter than the time an item may wait for the link.
constexpr int64_t kConnectDelayMs = 100;

class LinkState {
 public:
  LinkState(Op O, Line L)
      : O(O),
        L(L),
        Rig({}, {},
            testkit::MemoryLinkSettings{.LatencyMs = 1, .ConnectDelayMs = L == Line::SerialDrop ? 1 : kConnectDelayMs}),
        W(Rig.Open()),
        P(*W->tsFlashRW) {
    W->UsedMemoryKB = [] { return 0; };
    if (L != Line::SerialDrop) {
      W->Core().KRVCommsCfg.SetConnType(TConnType::ConnTypeTCPIP);
      W->Core().KRVCommsCfg.SetAddressText("localhost:1001");
    }
  }

  void Start() {
    switch (O) {
      case Op::Update:
        WriteAll(Rig.Path("fw.hex"), HexText(0x4000, ImageWithInfo(0x4000, 0x8000)));
        W->edFWFile->setText(QString::fromStdString(Rig.Path("fw.hex")));
        W->InstallButton->click();
        break;
      case Op::FlashWrite:
        WriteAll(Rig.Path("data.bin"), std::string(8000, 'x'));
        P.edFlashFileList->setText(QString::fromStdString(Rig.Path("data.bin")));
        P.edStartPage->setText(QStringLiteral("0"));
        P.buttUploadToFlash->click();
        break;
      case Op::FlashRead:
        P.edStartPage->setText(QStringLiteral("0"));
        P.edFlashFileLength->SetText("8000");
        P.buttDownloadFromFlash->click();
        break;
      case Op::Identify: W->CSYSIButton->click(); break;
      case Op::Restart: W->ResetButton->click(); break;
    }
  }

  bool Running() {
    switch (O) {
      case Op::Update: return W->Core().UpdateRunning();
      case Op::FlashWrite:
      case Op::FlashRead: return P.Running();
      default: return W->Core().LinkOperationRunning;
    }
  }

  /// The running look; counts every sample that breaks it.
  void CheckRunningLook() {
    ++Samples;
    QPushButton* own = O == Op::Update       ? W->InstallButton
                       : O == Op::FlashWrite ? P.buttUploadToFlash
                       : O == Op::FlashRead  ? P.buttDownloadFromFlash
                                             : nullptr;
    if (own != nullptr && (!own->isEnabled() || own->text() != QString::fromUtf8(texts::kStop))) ++Broken;
    for (QWidget* other : std::initializer_list<QWidget*>{W->InstallButton, W->CSYSIButton, W->ResetButton,
                                                          W->chbTurboFWUpload, P.chbTurboFlashReadWrite,
                                                          P.buttUploadToFlash, P.buttDownloadFromFlash})
      if (other != own && other->isEnabled()) ++Broken;
  }

  /// Clicks every other operation by its handler (a disabled button would ignore a real click).
  void StrayClicks() {
    if (O != Op::Update) W->InstallButtonClick();
    if (O != Op::FlashWrite && O != Op::FlashRead) {
      P.buttUploadToFlashClick();
      P.buttDownloadFromFlashClick();
    }
    W->CSYSIButtonClick();
    W->ResetButtonClick();
  }

  /// Runs the operation to its end, dropping the link once half way where the line says so.
  bool RunToEnd() {
    const auto running = [&] {
      if (!Running()) return true;
      CheckRunningLook();
      return false;
    };
    if (L != Line::TcpLateConnect) {
      // Half way: the update by its progress, the short commands while their exchange is under way.
      const auto halfWay = [&] {
        if (running()) return true;
        if (O == Op::Identify || O == Op::Restart) return W->Core().KRVComms.LinkUp();
        return W->ProgressBar->value() >= 40;
      };
      if (!Rig.RunUntil(halfWay)) return false;
      if (!Running()) return true;
      StrayClicks();
      Rig.Links.Last->Drop();
      CheckRunningLook();
      ++Drops;
    } else {
      if (!Rig.RunUntil([&] { return running() || W->Core().KRVComms.LinkUp(); })) return false;
      StrayClicks();
    }
    return Rig.RunUntil(running);
  }

  void CheckIdleLook() {
    for (QWidget* w : std::initializer_list<QWidget*>{W->InstallButton, W->CSYSIButton, W->ResetButton,
                                                      W->chbTurboFWUpload, P.chbTurboFlashReadWrite,
                                                      P.buttUploadToFlash, P.buttDownloadFromFlash,
                                                      W->KRVCommsCfg})
      EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(W->Core().KRVComms.Active());
  }

  Op O;
  Line L;
  WindowRig Rig;
  std::unique_ptr<TMainForm> W;
  TFlashPage& P;
  int Samples = 0;
  int Broken = 0;
  int Drops = 0;
};

TEST(LinkState, RunningOperationKeepsItsLookWhileTheLinkComesAndGoes) {
  for (Line l : {Line::TcpLateConnect, Line::SerialDrop, Line::TcpLateConnectAndDrop}) {
    for (Op o : {Op::Update, Op::FlashWrite, Op::FlashRead, Op::Identify, Op::Restart}) {
      SCOPED_TRACE(std::string(Name(o)) + ", " + Name(l));
      LinkState t(o, l);
      t.Start();
      ASSERT_TRUE(t.Running());
      t.CheckRunningLook();
      ASSERT_TRUE(t.RunToEnd());
      EXPECT_GT(t.Samples, 3);
      EXPECT_EQ(t.Broken, 0);
      if (l != Line::TcpLateConnect) {
        EXPECT_EQ(t.Drops, 1);
      }
      // The first connection came up only after the operation had started.
      const auto& opens = t.Rig.Links.Last->Opens;
      ASSERT_FALSE(opens.empty());
      EXPECT_EQ(opens.front().Tcp, l != Line::SerialDrop);
      t.CheckIdleLook();

      // Every operation reached its own end; the stray clicks started nothing beside it.
      const std::string messages = t.W->memoMessages->toPlainText().toStdString();
      switch (o) {
        case Op::Update:
          EXPECT_EQ(t.W->Core().ProgramExitCode, 0);
          EXPECT_EQ(t.Rig.Dialogs.Messages, std::vector<std::string>{FWUploadResultToStr(TFWUploadResult::fwrOk)});
          break;
        case Op::FlashWrite:
          // A drop can cost an exchange its tries (the transfer then fails, which is its own
          // business); the page shows the one result of the one transfer either way.
          ASSERT_EQ(t.Rig.Dialogs.Messages.size(), 1u);
          if (l == Line::TcpLateConnect) {
            EXPECT_EQ(t.Rig.Dialogs.Messages.front(), FlashRWResultToStr(TFlashRWResult::freOk));
            EXPECT_TRUE(t.Rig.Device.Flash().substr(0, 8000) == std::string(8000, 'x'));
          }
          break;
        case Op::FlashRead:
          // Cancelled save: nothing to report.
          EXPECT_TRUE(t.Rig.Dialogs.Messages.empty());
          EXPECT_EQ(t.Rig.Dialogs.OpenTitles.size(), 1u);
          break;
        case Op::Identify:
          EXPECT_NE(messages.find(texts::kDeviceInfo), std::string::npos);
          EXPECT_EQ(messages.find(texts::kRestarting), std::string::npos);
          break;
        case Op::Restart:
          EXPECT_NE(messages.find(texts::kRestarted), std::string::npos);
          EXPECT_EQ(messages.find(texts::kReadingDeviceInfo), std::string::npos);
          break;
      }
      if (o != Op::Update) {
        EXPECT_EQ(messages.find(texts::kUpdatingFirmware), std::string::npos);
      }
    }
  }
}

TEST(LinkState, FlashTransferOverALateTcpConnectionCanBeStopped) {
  for (Op o : {Op::FlashWrite, Op::FlashRead}) {
    SCOPED_TRACE(Name(o));
    LinkState t(o, Line::TcpLateConnect);
    t.Start();
    ASSERT_TRUE(t.Rig.RunUntil([&] { return t.W->ProgressBar->value() >= 10; }));
    QPushButton* own = o == Op::FlashWrite ? t.P.buttUploadToFlash : t.P.buttDownloadFromFlash;
    ASSERT_TRUE(own->isEnabled());
    own->click();
    EXPECT_FALSE(t.P.Running());
    EXPECT_EQ(t.Rig.Dialogs.Messages.back(), FlashRWResultToStr(TFlashRWResult::freAborted));
    t.CheckIdleLook();
  }
}

}  // namespace
}  // namespace vornik::gui::test
