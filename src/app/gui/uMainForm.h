// The main window. It owns the application core (the log, the engine, the connection settings,
// the uploader and the loaded firmware, shared with the command line) and gives it a face:
//
//   +-----------------------+-------------------------------------------+
//   | connection settings   | [Firmware frissítése] [Külső flash kezelése]
//   |                       |   the page of the chosen task              |
//   +-----------------------+-------------------------------------------+
//   | [Frissítés indítása]  [=========== progress ==================]   |
//   +-------------------------------------------------------------------+
//   | [A kiválasztott firmware tulajdonságai] [Kommunikációs napló] [Üzenetek]
//   +-------------------------------------------------------------------+
//
// Widgets hold controls and forward clicks; the core decides. Questions and file dialogs go
// through TDialogs. An error that no operation catches ends up in HandleUncaughtError: shown
// with a report to copy, written to the log, the operation ended, the window usable.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/uMainFormCore.h"
#include "procedures/uDeviceCommands.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableWidget;

namespace vornik::gui {

class TCfgFrameWidget;
class TDialogs;
class TFlashPage;

class TMainForm final : public QMainWindow {
 public:
  /// Params: the program's arguments (without the program itself); the first may name the
  /// firmware file to open.
  TMainForm(EventLoop& Loop, PortLinkFactory& Links, std::string ExeFileName, std::string VersionStr,
            TDialogs& Dialogs, std::vector<std::string> Params = {}, QWidget* Parent = nullptr);
  ~TMainForm() override;

  TMainFormCore& Core() { return *FCore; }
  TDialogs& Dialogs() { return FDialogs; }

  /// The window's show sequence; runs once, right after the window first appears.
  void FormShow();
  bool Shown() const { return FShown; }

  // Operations behind the controls (public so that tests and the error handler reach them).
  void InstallButtonClick();
  void CSYSIButtonClick();
  void ResetButtonClick();
  void CreateQOBFileClick();
  void CreateBINFileClick();
  void BrowseFirmwareClick();
  void vledFWInfoDblClick();

  /// Shows an error that no operation caught, logs it and brings the window back to rest.
  void HandleUncaughtError(const std::string& Message);
  /// Runs Fn; an exception it lets through goes to HandleUncaughtError.
  template <typename F>
  void Guard(F&& Fn) {
    try {
      Fn();
    } catch (const std::exception& e) {
      HandleUncaughtError(e.what());
    }
  }

  /// The section that holds the persisted controls and the window placement.
  static constexpr const char* kPersistSection = "MainForm";
  void SavePersistedControls();
  void RestorePersistedControls();
  /// The key (in kPersistSection) of the serial device picked by path; empty for a COM entry.
  static constexpr const char* kSerialDeviceKey = "cboxSorosPort_Device";
  /// Stores the serial port choice at once, so the next start selects the same device.
  void SaveSerialDevice();

  /// Working-set growth (KiB) since the window was shown above which the log view is cleared.
  static constexpr int32_t kLogViewMemoryLimitKB = 20000;
  /// Characters in the log view above which it is cleared.
  static constexpr std::size_t kLogViewCharLimit = 50000;
  void NaploComponentWriteLog(const std::string& AMsg);
  /// Shows the lines gathered since the last flush (runs kLogViewFlushMs after the first).
  void FlushLogView();
  static constexpr int kLogViewFlushMs = 100;
  /// The working set the log view's limit counts from; set when the window is shown.
  int32_t MemoryBaseKB() const { return FMemoryBaseKB; }
  void SetMemoryBaseKB(int32_t Value) { FMemoryBaseKB = Value; }
  /// Stands in for GetUsedMemoryKB (tests).
  std::function<int32_t()> UsedMemoryKB;

  // Controls (the names of the window's fields).
  TCfgFrameWidget* KRVCommsCfg = nullptr;
  QWidget* TopPanel = nullptr;
  QTabWidget* pcTasks = nullptr;
  QWidget* tsVornik = nullptr;
  TFlashPage* tsFlashRW = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* edFWFile = nullptr;
  QPushButton* edFWFileBrowse = nullptr;
  QPushButton* CSYSIButton = nullptr;
  QPushButton* ResetButton = nullptr;
  QPushButton* CreateQOBFile = nullptr;
  QPushButton* CreateBINFile = nullptr;
  QCheckBox* chbTurboFWUpload = nullptr;
  QCheckBox* chbClrFlash = nullptr;
  QCheckBox* chbConnected = nullptr;
  QCheckBox* chbSlowWriteMode = nullptr;
  QPushButton* InstallButton = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QTabWidget* pcInfo = nullptr;
  QWidget* tsFWInfo = nullptr;
  QWidget* tsCommLog = nullptr;
  QWidget* tsMessages = nullptr;
  QTableWidget* vledFWInfo = nullptr;
  QPlainTextEdit* memoCommLog = nullptr;
  QPlainTextEdit* memoMessages = nullptr;

 protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;

 private:
  void BuildFirmwarePage();
  void WireCore();
  void ApplyCustomerMode();
  void FirmwarePageShowSteps();
  void SetUpdateRunning(bool Running);
  void EnableDeviceControls(bool Enable);
  /// The identification or the restart runs: every other operation's controls are disabled.
  void SetDeviceCommandRunning(bool Running);
  /// Unless another operation runs: logs Message, marks the command running, opens the link and
  /// runs Start; undone when Start throws.
  template <typename F>
  void RunDeviceCommand(const char* Message, F&& Start);
  void ShowFWInfo();
  void SyncControlsToCore();
  void MessageBox(const std::string& Msg);
  void CaptionWithMemory(int32_t KB);
  void FormClose();

  TDialogs& FDialogs;
  std::unique_ptr<TMainFormCore> FCore;
  std::unique_ptr<TDeviceCommands> FDeviceCommands;
  std::vector<std::string> FParams;
  bool FShown = false;
  bool FClosed = false;
  bool FUpdateStarted = false;  ///< the install button says "Frissítés indítása" until the first start
  int32_t FMemoryBaseKB = 0;
  std::size_t FCommLogChars = 0;
  QString FPendingLog;
  QTimer FLogFlush;
  int32_t FMemoryKB = 0;
  bool FHandlingError = false;
};

}  // namespace vornik::gui
