#include "app/gui/FlashPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/CreateMissingValuesIni.h"
#include "app/VornikTexts.h"
#include "app/gui/Dialogs.h"
#include "app/gui/LabeledNumEdit.h"
#include "app/gui/WindowSupport.h"
#include "app/uMainFormCore.h"
#include "firmware/PackageFiles.h"
#include "util/CommaText.h"
#include "util/NumberText.h"

namespace vornik::gui {

TFlashPage::TFlashPage(TMainFormCore& Core, TDialogs& Dialogs, QWidget* Parent)
    : QWidget(Parent), FCore(Core), FDialogs(Dialogs) {
  setObjectName(QStringLiteral("tsFlashRW"));
  auto* l = new QVBoxLayout(this);

  edFlashFileList = new QLineEdit(this);
  edFlashFileList->setObjectName(QStringLiteral("edFlashFileList"));
  Label2 = BuddyLabel(texts::kFlashFilesLabel, edFlashFileList, this, true);
  Label2->setObjectName(QStringLiteral("Label2"));
  edFlashFileName = new QPushButton(QStringLiteral("..."), this);
  edFlashFileName->setObjectName(QStringLiteral("edFlashFileName"));
  edFlashFileName->setAccessibleName(U(texts::kBrowse));
  edFlashFileName->setToolTip(U(texts::kBrowse));
  edFlashFileName->setFixedWidth(edFlashFileName->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
  auto* fileRow = new QHBoxLayout;
  fileRow->addWidget(edFlashFileList, 1);
  fileRow->addWidget(edFlashFileName);
  l->addWidget(Label2);
  l->addLayout(fileRow);

  auto* grid = new QGridLayout;
  edStartPage = new QLineEdit(this);
  edStartPage->setObjectName(QStringLiteral("edStartPage"));
  labelStartPage = BuddyLabel(texts::kStartPageLabel, edStartPage, this, true);
  grid->addWidget(labelStartPage, 0, 0);
  grid->addWidget(edStartPage, 1, 0);

  edFlashFileLength = new TLabeledNumEdit(this);
  edFlashFileLength->setObjectName(QStringLiteral("edFlashFileLength"));
  edFlashFileLength->EditLabel()->setText(U(texts::kFileLengthLabel));
  edFlashFileLength->EditLabel()->setWordWrap(true);
  edFlashFileLength->SetWholeLen(12);
  edFlashFileLength->SetDecimalLen(0);
  edFlashFileLength->SetMinChecking(false);
  edFlashFileLength->SetMaxChecking(false);
  edFlashFileLength->SetThousandSeparator(U' ');
  edFlashFileLength->SetDecimalSeparator(U',');
  edFlashFileLength->SetText("0");
  grid->addWidget(edFlashFileLength, 0, 1, 2, 1);

  cbFlashPageSize = new QComboBox(this);
  cbFlashPageSize->setObjectName(QStringLiteral("cbFlashPageSize"));
  cbFlashPageSize->setEditable(true);
  cbFlashPageSize->setInsertPolicy(QComboBox::NoInsert);
  cbFlashPageSize->addItems({QStringLiteral("264"), QStringLiteral("528")});
  cbFlashPageSize->setCurrentIndex(0);
  labelPageSize = BuddyLabel(texts::kPageSizeLabel, cbFlashPageSize, this, true);
  grid->addWidget(labelPageSize, 2, 0);
  grid->addWidget(cbFlashPageSize, 3, 0);

  edBlockSize = new QSpinBox(this);
  edBlockSize->setObjectName(QStringLiteral("edBlockSize"));
  edBlockSize->setRange(0, 255);
  edBlockSize->setValue(255);
  labelBlockSize = BuddyLabel(texts::kBlockSizeLabel, edBlockSize, this, true);
  grid->addWidget(labelBlockSize, 2, 1);
  grid->addWidget(edBlockSize, 3, 1);
  grid->setColumnStretch(0, 1);
  grid->setColumnStretch(1, 1);
  l->addLayout(grid);

  chbTurboFlashReadWrite = new QCheckBox(U(texts::kTurboFlash), this);
  chbTurboFlashReadWrite->setObjectName(QStringLiteral("chbTurboFlashReadWrite"));
  chbTurboFlashReadWrite->setToolTip(HintText(texts::kTurboFlashHint));
  l->addWidget(chbTurboFlashReadWrite);

  buttUploadToFlash = new QPushButton(U(texts::kUploadToFlash), this);
  buttUploadToFlash->setObjectName(QStringLiteral("buttUploadToFlash"));
  buttDownloadFromFlash = new QPushButton(U(texts::kDownloadFromFlash), this);
  buttDownloadFromFlash->setObjectName(QStringLiteral("buttDownloadFromFlash"));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(buttUploadToFlash);
  buttons->addWidget(buttDownloadFromFlash);
  buttons->addStretch(1);
  l->addLayout(buttons);
  l->addStretch(1);

  connect(edFlashFileList, &QLineEdit::textChanged, this, [this] { edFlashFileListChange(); });

  FCore.FlashReaderWriter.OnReadingDone = [this](TFlashReaderWriter*, TFlashRWResult r, std::string& s) {
    ReadingDone(r, s);
  };
  FCore.FlashReaderWriter.OnWritingDone = [this](TFlashReaderWriter*, TFlashRWResult r) { WritingDone(r); };
}

TFlashPage::~TFlashPage() {
  FCore.FlashReaderWriter.OnReadingDone = nullptr;
  FCore.FlashReaderWriter.OnWritingDone = nullptr;
}

void TFlashPage::edFlashFileListChange() {
  FFlashFiles = ParseCommaText(edFlashFileList->text().toStdString(), true);
}

void TFlashPage::edFlashFileNameAfterDialog(const std::vector<std::string>& Names) {
  edFlashFileList->setText(U(ToCommaText(Names)));
}

void TFlashPage::BrowseFilesClick() {
  QString start;
  if (!FFlashFiles.empty()) start = QFileInfo(U(FFlashFiles.front())).absolutePath();
  const QStringList names = FDialogs.OpenFiles(this, U(texts::kChooseFiles), start, U(texts::kAllFilesFilter));
  if (names.isEmpty()) return;
  std::vector<std::string> list;
  for (const QString& n : names) list.push_back(n.toStdString());
  edFlashFileNameAfterDialog(list);
}

int TFlashPage::PageSize() const {
  const auto v = ParseInteger(cbFlashPageSize->currentText().toStdString());
  return v ? *v : -1;
}

int TFlashPage::StartPage() const {
  const auto v = ParseInteger(edStartPage->text().toStdString());
  return v ? *v : -1;
}

bool TFlashPage::StopRunningTransfer() {
  TFlashReaderWriter& frw = FCore.FlashReaderWriter;
  if (frw.Idle()) return false;
  frw.Abort();
  SetFlashRunning(false, true);
  return true;
}

void TFlashPage::buttUploadToFlashClick() {
  TFlashReaderWriter& frw = FCore.FlashReaderWriter;
  if (StopRunningTransfer()) return;
  // Another operation holds the link (the buttons are disabled then; a stray click changes nothing).
  if (FCore.OperationRunning()) return;
  // A page size of 0 and an empty upload are refused here, before the link is opened for
  // nothing (the transfer itself would refuse them).
  const int pageSize = PageSize();
  if (pageSize <= 0) return FCore.ReportMessage(texts::kInvalidPageSize);
  const int startPage = StartPage();
  if (startPage < 0) return FCore.ReportMessage(texts::kInvalidStartPage);
  // The start page goes to the device as a 16-bit page index: beyond that it would wrap round
  // and overwrite the flash from its beginning.
  if (startPage > 0xFFFF) return FCore.ReportMessage(texts::kInvalidStartPage);
  std::string data;
  for (const std::string& name : FFlashFiles) {
    if (!RegularFileExists(name)) return FCore.ReportMessage(texts::kMissingUploadFiles);
    data += ReadWholeFile(name);  // a file that cannot be read ends the click here
  }
  if (data.empty()) return FCore.ReportMessage(texts::kMissingUploadFiles);
  edFlashFileLength->SetText(std::to_string(data.size()));
  FCore.SetConnected(true);
  SetFlashRunning(true, true);
  frw.FlashPageSize = pageSize;
  frw.TurboMode = chbTurboFlashReadWrite->isChecked();
  frw.WriteFlashFromStr(static_cast<uint16_t>(startPage), data);
}

void TFlashPage::buttDownloadFromFlashClick() {
  TFlashReaderWriter& frw = FCore.FlashReaderWriter;
  if (StopRunningTransfer()) return;
  if (FCore.OperationRunning()) return;
  const int pageSize = PageSize();
  if (pageSize <= 0) return FCore.ReportMessage(texts::kInvalidPageSize);
  const double length = std::floor(edFlashFileLength->Value());
  const int startPage = StartPage();
  // The length travels as a 32-bit count and the start page as a 16-bit index; larger values
  // would be cut short on the way and read something else than asked for.
  if (startPage < 0 || startPage > 0xFFFF || length <= 0 || length > 4294967295.0)
    return FCore.ReportMessage(texts::kInvalidStartPageAndLength);
  // A read of 0 bytes per request would never end; the transfer refuses it, but only after the
  // link has been opened for nothing.
  if (edBlockSize->value() <= 0) return FCore.ReportMessage(texts::kInvalidBlockSize);
  FCore.SetConnected(true);
  SetFlashRunning(true, false);
  frw.FlashPageSize = pageSize;
  frw.BlockSize = static_cast<uint8_t>(edBlockSize->value());
  frw.TurboMode = chbTurboFlashReadWrite->isChecked();
  frw.ReadFlashToStr(static_cast<uint16_t>(startPage), static_cast<uint32_t>(length));
}

void TFlashPage::SetFlashRunning(bool Running, bool Upload) {
  FRunning = Running;
  FCore.LinkOperationRunning = Running;
  FCore.EnableDeviceControls(!Running);
  if (Running) {
    QPushButton* own = Upload ? buttUploadToFlash : buttDownloadFromFlash;
    QPushButton* other = Upload ? buttDownloadFromFlash : buttUploadToFlash;
    own->setText(U(texts::kStop));
    own->setEnabled(true);
    other->setEnabled(false);
    edFlashFileName->setEnabled(false);
  } else {
    buttUploadToFlash->setText(U(texts::kUploadToFlash));
    buttDownloadFromFlash->setText(U(texts::kDownloadFromFlash));
    buttUploadToFlash->setEnabled(true);
    buttDownloadFromFlash->setEnabled(true);
    edFlashFileName->setEnabled(true);
  }
  if (OnShowFirmwarePage) OnShowFirmwarePage(!Running);
}

void TFlashPage::EnableDeviceControls(bool Enable) {
  chbTurboFlashReadWrite->setEnabled(Enable);
  buttUploadToFlash->setEnabled(Enable);
  buttDownloadFromFlash->setEnabled(Enable);
}

void TFlashPage::ReadingDone(TFlashRWResult Result, std::string& ResultStr) {
  SetFlashRunning(false, true);
  FCore.SetConnected(false);
  if (Result != TFlashRWResult::freOk) {
    FCore.ReportMessage(FlashRWResultToStr(Result));
    return;
  }
  const QString target = FDialogs.SaveFile(this, U(texts::kSaveAs), QString());
  if (target.isEmpty()) return;
  try {
    WriteWholeFile(target.toStdString(), ResultStr);
  } catch (const std::exception& e) {
    FCore.ReportMessage(std::string(kWriteErrorPrefix) + e.what());
  }
}

void TFlashPage::WritingDone(TFlashRWResult Result) {
  SetFlashRunning(false, true);
  FCore.SetConnected(false);
  FCore.ReportMessage(FlashRWResultToStr(Result));
}

void TFlashPage::SavePersisted(TIniFile& Ini, const char* Section) const {
  Ini.WriteString(Section, "edFlashFileName_Text", ToCommaText(FFlashFiles));
  Ini.WriteString(Section, "edFlashFileList_Text", edFlashFileList->text().toStdString());
  Ini.WriteString(Section, "chbTurboFlashReadWrite_Checked", chbTurboFlashReadWrite->isChecked() ? "TRUE" : "FALSE");
  Ini.WriteString(Section, "edFlashFileLength_Text", edFlashFileLength->Text());
  Ini.WriteString(Section, "edStartPage_Text", edStartPage->text().toStdString());
  Ini.WriteString(Section, "cbFlashPageSize_Text", cbFlashPageSize->currentText().toStdString());
}

void TFlashPage::RestorePersisted(TIniFile& Ini, const char* Section) {
  // The chooser follows the list (edFlashFileListChange), so its own key is read first.
  if (Ini.ValueExists(Section, "edFlashFileName_Text"))
    FFlashFiles = ParseCommaText(Ini.ReadString(Section, "edFlashFileName_Text", ""), true);
  if (Ini.ValueExists(Section, "edFlashFileList_Text"))
    edFlashFileList->setText(U(Ini.ReadString(Section, "edFlashFileList_Text", "")));
  bool on = false;
  if (ReadCheckBoxText(Ini.ReadString(Section, "chbTurboFlashReadWrite_Checked", ""), on)) chbTurboFlashReadWrite->setChecked(on);
  if (Ini.ValueExists(Section, "edFlashFileLength_Text"))
    edFlashFileLength->SetText(Ini.ReadString(Section, "edFlashFileLength_Text", ""));
  if (Ini.ValueExists(Section, "edStartPage_Text")) edStartPage->setText(U(Ini.ReadString(Section, "edStartPage_Text", "")));
  if (Ini.ValueExists(Section, "cbFlashPageSize_Text"))
    cbFlashPageSize->setCurrentText(U(Ini.ReadString(Section, "cbFlashPageSize_Text", "")));
}

}  // namespace vornik::gui
