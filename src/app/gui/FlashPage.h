// The "Külső flash kezelése" page: copies files into the connected device's external data flash
// and a region of that flash into a file, through the flash reader/writer of the application
// core. The page checks its fields, opens the link, starts the transfer, shows "Leállítás" on the
// running direction's button (a click aborts), and closes the link whatever the outcome.
//
// Files are handled whole: an upload reads every chosen file before the link is opened (a file
// that cannot be read ends the click with an error and nothing starts), and a download is written
// through a temporary file beside the target and renamed, so a failed or cancelled save never
// leaves half a file.
#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace vornik {
class TIniFile;
class TLabeledNumEdit;
class TMainFormCore;
enum class TFlashRWResult : int;
}  // namespace vornik

namespace vornik::gui {

class TDialogs;

class TFlashPage final : public QWidget {
 public:
  TFlashPage(TMainFormCore& Core, TDialogs& Dialogs, QWidget* Parent);
  ~TFlashPage() override;

  /// Called by the window when the firmware page shows or hides this page.
  std::function<void(bool Visible)> OnShowFirmwarePage;

  void buttUploadToFlashClick();
  void buttDownloadFromFlashClick();
  void SetFlashRunning(bool Running, bool Upload);
  bool Running() const { return FRunning; }
  /// The chooser's files: the entries of the file list's comma text.
  const std::vector<std::string>& FlashFiles() const { return FFlashFiles; }
  /// Sets the file list as the dialog does (names in the dialog's order).
  void edFlashFileNameAfterDialog(const std::vector<std::string>& Names);
  void BrowseFilesClick();

  /// The page size (-1 when not an integer) and the start page (-1 when not an integer).
  int PageSize() const;
  int StartPage() const;

  void EnableDeviceControls(bool Enable);
  void SavePersisted(TIniFile& Ini, const char* Section) const;
  void RestorePersisted(TIniFile& Ini, const char* Section);

  QLabel* Label2 = nullptr;
  QLineEdit* edFlashFileList = nullptr;
  QPushButton* edFlashFileName = nullptr;
  QLabel* labelStartPage = nullptr;
  QLineEdit* edStartPage = nullptr;
  TLabeledNumEdit* edFlashFileLength = nullptr;
  QLabel* labelPageSize = nullptr;
  QComboBox* cbFlashPageSize = nullptr;
  QLabel* labelBlockSize = nullptr;
  QSpinBox* edBlockSize = nullptr;
  QCheckBox* chbTurboFlashReadWrite = nullptr;
  QPushButton* buttUploadToFlash = nullptr;
  QPushButton* buttDownloadFromFlash = nullptr;

 private:
  void edFlashFileListChange();
  /// A click on a running direction's button: abort the transfer; true when one ran.
  bool StopRunningTransfer();
  void ReadingDone(TFlashRWResult Result, std::string& ResultStr);
  void WritingDone(TFlashRWResult Result);

  TMainFormCore& FCore;
  TDialogs& FDialogs;
  std::vector<std::string> FFlashFiles;
  bool FRunning = false;
};

}  // namespace vornik::gui
