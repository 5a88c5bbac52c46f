#include "app/gui/uMainForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QSysInfo>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include <filesystem>

#include "app/CreateMissingValuesIni.h"
#include "app/UpdateSettings.h"
#include "app/VornikTexts.h"
#include "app/gui/CfgFrameWidget.h"
#include "app/gui/Dialogs.h"
#include "app/gui/FlashPage.h"
#include "app/gui/WindowSupport.h"
#include "comms/KRVComms.h"
#include "firmware/KRVDataUtils.h"
#include "platform/qt/SerialDevices.h"
#include "platform/qt/SerialPortMap.h"
#include "util/MorvelUtils.h"

namespace vornik::gui {

TMainForm::TMainForm(EventLoop& Loop, PortLinkFactory& Links, std::string ExeFileName, std::string VersionStr,
                     TDialogs& Dialogs, std::vector<std::string> Params, QWidget* Parent)
    : QMainWindow(Parent),
      FDialogs(Dialogs),
      FCore(std::make_unique<TMainFormCore>(Loop, Links, std::move(ExeFileName), false)),
      FParams(std::move(Params)) {
  FDeviceCommands = std::make_unique<TDeviceCommands>(FCore->KRVComms);
  UsedMemoryKB = [] { return GetUsedMemoryKB(); };

  // FormCreate: the caption with the program's version.
  FCore->VersionStr = std::move(VersionStr);
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(U(FCore->Caption()));
  setMinimumHeight(386);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(6, 6, 6, 6);

  // Top area: the connection settings on the left, the two task pages on the right.
  TopPanel = new QWidget(central);
  TopPanel->setObjectName(QStringLiteral("TopPanel"));
  auto* top = new QHBoxLayout(TopPanel);
  top->setContentsMargins(0, 0, 0, 0);
  KRVCommsCfg = new TCfgFrameWidget(FCore->KRVCommsCfg, TopPanel);
  KRVCommsCfg->setFixedWidth(KRVCommsCfg->sizeHint().width() + 8);
  top->addWidget(KRVCommsCfg);
  pcTasks = new QTabWidget(TopPanel);
  pcTasks->setObjectName(QStringLiteral("pcTasks"));
  tsVornik = new QWidget(pcTasks);
  tsVornik->setObjectName(QStringLiteral("tsVornik"));
  tsFlashRW = new TFlashPage(*FCore, FDialogs, pcTasks);
  pcTasks->addTab(tsVornik, U(texts::kPageFirmware));
  pcTasks->addTab(tsFlashRW, U(texts::kPageFlash));
  top->addWidget(pcTasks, 1);
  layout->addWidget(TopPanel);
  BuildFirmwarePage();
  // The serial port list also offers the devices present (COM entries reach the rest).
  KRVCommsCfg->ListSerialDevices = [this] { return PresentSerialDevices(ReadSerialPortMap(FCore->IniFileName())); };
  KRVCommsCfg->OnSerialPortChosen = [this] { Guard([this] { SaveSerialDevice(); }); };
  tsFlashRW->OnShowFirmwarePage = [this](bool Visible) {
    pcTasks->setTabVisible(pcTasks->indexOf(tsVornik), Visible);
    // The update shares the link: it cannot start while a flash transfer runs.
    InstallButton->setEnabled(Visible);
  };
  connect(tsFlashRW->edFlashFileName, &QPushButton::clicked, this, [this] { Guard([this] { tsFlashRW->BrowseFilesClick(); }); });
  connect(tsFlashRW->buttUploadToFlash, &QPushButton::clicked, this,
          [this] { Guard([this] { tsFlashRW->buttUploadToFlashClick(); }); });
  connect(tsFlashRW->buttDownloadFromFlash, &QPushButton::clicked, this,
          [this] { Guard([this] { tsFlashRW->buttDownloadFromFlashClick(); }); });

  // The bar: start/stop and progress.
  auto* bar = new QHBoxLayout;
  InstallButton = new QPushButton(U(texts::kInstallStart), central);
  InstallButton->setObjectName(QStringLiteral("InstallButton"));
  ProgressBar = new QProgressBar(central);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  bar->addWidget(InstallButton);
  bar->addWidget(ProgressBar, 1);
  layout->addLayout(bar);

  // The information pages.
  pcInfo = new QTabWidget(central);
  pcInfo->setObjectName(QStringLiteral("pcInfo"));
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  tsFWInfo = new QWidget(pcInfo);
  {
    auto* l = new QVBoxLayout(tsFWInfo);
    l->setContentsMargins(2, 2, 2, 2);
    vledFWInfo = new QTableWidget(0, 2, tsFWInfo);
    vledFWInfo->setObjectName(QStringLiteral("vledFWInfo"));
    vledFWInfo->setHorizontalHeaderLabels({U(texts::kColumnName), U(texts::kColumnValue)});
    vledFWInfo->setAccessibleName(U(texts::kPageFWInfo));
    vledFWInfo->horizontalHeader()->setStretchLastSection(true);
    vledFWInfo->verticalHeader()->setVisible(false);
    vledFWInfo->setEditTriggers(QAbstractItemView::NoEditTriggers);
    vledFWInfo->setSelectionBehavior(QAbstractItemView::SelectRows);
    l->addWidget(vledFWInfo);
  }
  tsCommLog = new QWidget(pcInfo);
  {
    auto* l = new QVBoxLayout(tsCommLog);
    l->setContentsMargins(2, 2, 2, 2);
    memoCommLog = new QPlainTextEdit(tsCommLog);
    memoCommLog->setObjectName(QStringLiteral("memoCommLog"));
    memoCommLog->setAccessibleName(U(texts::kPageCommLog));
    memoCommLog->setReadOnly(true);
    memoCommLog->setFont(fixed);
    memoCommLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    l->addWidget(memoCommLog);
  }
  tsMessages = new QWidget(pcInfo);
  {
    auto* l = new QVBoxLayout(tsMessages);
    l->setContentsMargins(2, 2, 2, 2);
    memoMessages = new QPlainTextEdit(tsMessages);
    memoMessages->setObjectName(QStringLiteral("memoMessages"));
    memoMessages->setAccessibleName(U(texts::kPageMessages));
    memoMessages->setReadOnly(true);
    memoMessages->setFont(fixed);
    memoMessages->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoMessages->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    l->addWidget(memoMessages);
  }
  pcInfo->addTab(tsFWInfo, U(texts::kPageFWInfo));
  pcInfo->addTab(tsCommLog, U(texts::kPageCommLog));
  pcInfo->addTab(tsMessages, U(texts::kPageMessages));
  pcInfo->setCurrentWidget(tsMessages);
  layout->addWidget(pcInfo, 1);

  // The invisible switches.
  chbConnected = new QCheckBox(U(texts::kConnected), central);
  chbConnected->setObjectName(QStringLiteral("chbConnected"));
  chbConnected->setVisible(false);
  chbSlowWriteMode = new QCheckBox(U(texts::kSlowWriteMode), central);
  chbSlowWriteMode->setObjectName(QStringLiteral("chbSlowWriteMode"));
  chbSlowWriteMode->setVisible(false);

  setCentralWidget(central);
  FLogFlush.setSingleShot(true);
  FLogFlush.setInterval(kLogViewFlushMs);
  connect(&FLogFlush, &QTimer::timeout, this, [this] { FlushLogView(); });
  WireCore();
  InstallEnterClicksButtons(this);

  // FormCreate restores the persisted controls here too, but no settings file is known yet.
  resize(940, 600);
  if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

TMainForm::~TMainForm() {
  FormClose();
  FCore->OnMessageLine = nullptr;
  FCore->OnMessageBox = nullptr;
  FCore->OnClearViews = nullptr;
  FCore->OnFWInfoChanged = nullptr;
  FCore->OnProgress = nullptr;
  FCore->OnEnableDeviceControls = nullptr;
  FCore->OnUpdateRunningChanged = nullptr;
  FCore->OnConnectedChanged = nullptr;
  FCore->NaploComponent.SetOnWriteLog(nullptr);
  FDeviceCommands.reset();
  // The widgets unbind themselves from the core on destruction, so they go while it still lives.
  delete takeCentralWidget();
}

void TMainForm::BuildFirmwarePage() {
  auto* l = new QVBoxLayout(tsVornik);
  edFWFile = new QLineEdit(tsVornik);
  edFWFile->setObjectName(QStringLiteral("edFWFile"));
  Label1 = new QLabel(U(texts::kChooseFirmware), tsVornik);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setBuddy(edFWFile);
  edFWFileBrowse = new QPushButton(QStringLiteral("..."), tsVornik);
  edFWFileBrowse->setObjectName(QStringLiteral("edFWFileBrowse"));
  edFWFileBrowse->setAccessibleName(U(texts::kBrowse));
  edFWFileBrowse->setToolTip(U(texts::kBrowse));
  auto* fileRow = new QHBoxLayout;
  fileRow->addWidget(edFWFile, 1);
  fileRow->addWidget(edFWFileBrowse);
  l->addWidget(Label1);
  l->addLayout(fileRow);

  CSYSIButton = new QPushButton(U(texts::kCSYSIButton), tsVornik);
  CSYSIButton->setObjectName(QStringLiteral("CSYSIButton"));
  ResetButton = new QPushButton(U(texts::kResetButton), tsVornik);
  ResetButton->setObjectName(QStringLiteral("ResetButton"));
  auto* deviceRow = new QHBoxLayout;
  deviceRow->addWidget(CSYSIButton);
  deviceRow->addWidget(ResetButton);
  deviceRow->addStretch(1);
  l->addLayout(deviceRow);

  CreateQOBFile = new QPushButton(U(texts::kCreateQOB), tsVornik);
  CreateQOBFile->setObjectName(QStringLiteral("CreateQOBFile"));
  CreateQOBFile->setVisible(false);
  CreateBINFile = new QPushButton(U(texts::kCreateBIN), tsVornik);
  CreateBINFile->setObjectName(QStringLiteral("CreateBINFile"));
  auto* fileButtons = new QHBoxLayout;
  fileButtons->addWidget(CreateQOBFile);
  fileButtons->addWidget(CreateBINFile);
  fileButtons->addStretch(1);
  l->addLayout(fileButtons);

  chbTurboFWUpload = new QCheckBox(U(texts::kTurboFWUpload), tsVornik);
  chbTurboFWUpload->setObjectName(QStringLiteral("chbTurboFWUpload"));
  chbTurboFWUpload->setToolTip(HintText(texts::kTurboFWUploadHint));
  chbClrFlash = new QCheckBox(U(texts::kClrFlash), tsVornik);
  chbClrFlash->setObjectName(QStringLiteral("chbClrFlash"));
  chbClrFlash->setToolTip(HintText(texts::kClrFlashHint));
  l->addWidget(chbTurboFWUpload);
  l->addWidget(chbClrFlash);
  l->addStretch(1);

  connect(edFWFileBrowse, &QPushButton::clicked, this, [this] { Guard([this] { BrowseFirmwareClick(); }); });
  connect(CSYSIButton, &QPushButton::clicked, this, [this] { Guard([this] { CSYSIButtonClick(); }); });
  connect(ResetButton, &QPushButton::clicked, this, [this] { Guard([this] { ResetButtonClick(); }); });
  connect(CreateQOBFile, &QPushButton::clicked, this, [this] { Guard([this] { CreateQOBFileClick(); }); });
  connect(CreateBINFile, &QPushButton::clicked, this, [this] { Guard([this] { CreateBINFileClick(); }); });
}

void TMainForm::WireCore() {
  TMainFormCore& c = *FCore;
  c.OnMessageLine = [this](const std::string& line) {
    memoMessages->appendPlainText(U(line));
    // memoMessagesChange: new messages bring their page to the front.
    if (!FCore->CustomerMode) pcInfo->setCurrentWidget(tsMessages);
  };
  c.OnMessageBox = [this](const std::string& msg) { MessageBox(msg); };
  c.OnClearViews = [this] {
    memoCommLog->clear();
    FPendingLog.clear();
    FCommLogChars = 0;
    memoMessages->clear();
  };
  c.OnFWInfoChanged = [this] { ShowFWInfo(); };
  c.OnProgress = [this](int p) { ProgressBar->setValue(p); };
  c.OnEnableDeviceControls = [this](bool e) { EnableDeviceControls(e); };
  c.OnUpdateRunningChanged = [this](bool r) { SetUpdateRunning(r); };
  c.OnConnectedChanged = [this](bool on) {
    const QSignalBlocker block(chbConnected);
    chbConnected->setChecked(on);
  };
  c.NaploComponent.SetOnWriteLog([this](TNaplo&, std::string& msg) { NaploComponentWriteLog(msg); });

  // Control values the core's operations read.
  connect(edFWFile, &QLineEdit::textChanged, this, [this](const QString& t) { FCore->edFWFile = t.toStdString(); });
  connect(chbTurboFWUpload, &QCheckBox::toggled, this, [this](bool on) { FCore->chbTurboFWUpload = on; });
  connect(chbClrFlash, &QCheckBox::toggled, this, [this](bool on) { FCore->chbClrFlash = on; });
  connect(chbSlowWriteMode, &QCheckBox::toggled, this, [this](bool on) { FCore->chbSlowWriteMode = on; });
  connect(chbConnected, &QCheckBox::toggled, this, [this](bool on) { Guard([this, on] { FCore->SetConnected(on); }); });
  connect(InstallButton, &QPushButton::clicked, this, [this] { Guard([this] { InstallButtonClick(); }); });
  // A double click anywhere on the table reloads, also on its empty part after a failed load.
  OnDoubleClick(vledFWInfo->viewport(), [this] { Guard([this] { vledFWInfoDblClick(); }); });
}

void TMainForm::SyncControlsToCore() {
  FCore->edFWFile = edFWFile->text().toStdString();
  FCore->chbTurboFWUpload = chbTurboFWUpload->isChecked();
  FCore->chbClrFlash = chbClrFlash->isChecked();
  FCore->chbSlowWriteMode = chbSlowWriteMode->isChecked();
}

void TMainForm::MessageBox(const std::string& Msg) {
  if (FClosed) return;
  FDialogs.Message(this, U(Msg));
}

// ---------------------------------------------------------------------------------------------
// Start-up and close.

void TMainForm::showEvent(QShowEvent* Event) {
  QMainWindow::showEvent(Event);
  if (FShown) return;
  FShown = true;
  // Let the window appear first; the show sequence may load a file and ask questions.
  QMetaObject::invokeMethod(this, [this] { Guard([this] { FormShow(); }); }, Qt::QueuedConnection);
}

void TMainForm::FormShow() {
  FShown = true;
  FMemoryBaseKB = UsedMemoryKB ? UsedMemoryKB() : 0;
  TMainFormCore& c = *FCore;
  c.KRVCommsCfg.SetIniFile(c.IniFileName());
  c.NaploComponent.SetLogFile(c.LogFileName());
  {
    TCreateMissingValuesIni ini(c.IniFileName());
    c.CustomerMode = ini.ReadBool("OPERATION", "CustomerMode", false);
  }
  if (c.CustomerMode) ApplyCustomerMode();
  KRVCommsCfg->RefreshSerialDevices();
  RestorePersistedControls();
  FirmwarePageShowSteps();
}

void TMainForm::ApplyCustomerMode() {
  TMainFormCore& c = *FCore;
  pcInfo->setTabVisible(pcInfo->indexOf(tsFWInfo), false);
  pcInfo->setTabVisible(pcInfo->indexOf(tsMessages), false);
  pcInfo->setTabVisible(pcInfo->indexOf(tsCommLog), true);
  pcInfo->setCurrentWidget(tsCommLog);
  pcTasks->setVisible(false);
  // Alone in the top area, the connection settings take its whole width.
  KRVCommsCfg->setMinimumWidth(0);
  KRVCommsCfg->setMaximumWidth(QWIDGETSIZE_MAX);
  KRVCommsCfg->buttAddIP->setVisible(false);
  KRVCommsCfg->buttRemoveIP->setVisible(false);

  TCreateMissingValuesIni ini(c.IniFileName());
  const auto flag = [&ini](const char* key, bool def) { return ini.ReadBool("OPERATION", key, def); };
  TopPanel->setVisible(flag("FelsoPanelLathato", true));
  KRVCommsCfg->rgConnType->setVisible(flag("KapcsolatModLathato", true));
  KRVCommsCfg->rgConnType->setEnabled(flag("KapcsolatModValaszthato", true));
  c.KRVCommsCfg.SetConnType(ini.ReadInteger("OPERATION", "KapcsolatMod", 0) == 0 ? TConnType::ConnTypeSerial
                                                                                  : TConnType::ConnTypeTCPIP);
  KRVCommsCfg->cboxSorosPort->setEnabled(flag("SorosPortSzerkesztheto", true));
  const bool serialVisible = flag("SorosPortLathato", true);
  KRVCommsCfg->cboxSorosPort->setVisible(serialVisible);
  KRVCommsCfg->labelSerial->setVisible(serialVisible);
  c.KRVCommsCfg.SetComPort(ini.ReadInteger("OPERATION", "SorosPort", 1));
  KRVCommsCfg->cboxBaudrate->setEnabled(flag("BaudrateSzerkesztheto", true));
  const bool baudVisible = flag("BaudrateLathato", true);
  KRVCommsCfg->cboxBaudrate->setVisible(baudVisible);
  KRVCommsCfg->labelBaudrate->setVisible(baudVisible);
  // A rate that is not in the list selects no entry, which counts as 115200.
  const int baud = ini.ReadInteger("OPERATION", "Baudrate", 115200);
  int baudIndex = -1;
  for (std::size_t i = 0; i < TCfgFrame::kBaudrates.size(); ++i)
    if (TCfgFrame::kBaudrates[i] == baud) baudIndex = static_cast<int>(i);
  c.KRVCommsCfg.SetBaudIndex(baudIndex);
  KRVCommsCfg->edIPAddress->setEnabled(flag("IPCimSzerkesztheto", true));
  const bool ipVisible = flag("IPCimLathato", true);
  KRVCommsCfg->edIPAddress->setVisible(ipVisible);
  KRVCommsCfg->labelIPAddress->setVisible(ipVisible);
  c.KRVCommsCfg.SetAddressText(ini.ReadString("OPERATION", "IPCim", texts::kDefaultIPCim));
  KRVCommsCfg->edKRVAddress->setEnabled(flag("KRVCimSzerkesztheto", true));
  const bool addressVisible = flag("KRVCimLathato", true);
  KRVCommsCfg->edKRVAddress->setVisible(addressVisible);
  KRVCommsCfg->labelKRVAddress->setVisible(addressVisible);
  c.KRVCommsCfg.SetKRVAddress(ini.ReadInteger("OPERATION", "KRVCim", 255));

  // Beside the settings file that asked for customer mode: the executable's folder, or for an
  // installed copy the user's settings folder (an installed program's own folder takes no files).
  const std::filesystem::path folder = std::filesystem::path(c.IniFileName()).parent_path();
  edFWFile->setText(U((folder / texts::kCustomerFirmwareFile).string()));
}

void TMainForm::FirmwarePageShowSteps() {
  TMainFormCore& c = *FCore;
  if (!c.CustomerMode && !FParams.empty() && !FParams.front().empty()) {
    // A file handed over on the command line (a double click on a firmware file) is opened.
    const std::string& arg = FParams.front();
    const std::string ext = std::filesystem::path(arg).extension().string();
    if ((ext == ".hex" || ext == ".qob") && RegularFileExists(arg)) edFWFile->setText(U(arg));
  }
  CreateQOBFile->setVisible(true);
  CreateBINFile->setVisible(true);
  c.FlashTabAllowed = true;
  SyncControlsToCore();
  c.LoadFirmwareFile();
}

void TMainForm::closeEvent(QCloseEvent* Event) {
  Guard([this] { FormClose(); });
  QMainWindow::closeEvent(Event);
}

void TMainForm::FormClose() {
  if (FClosed) return;
  FClosed = true;
  TMainFormCore& c = *FCore;
  if (FShown) {
    try {
      SavePersistedControls();
    } catch (const std::exception& e) {
      c.NaploComponent.WriteLog(std::string(texts::kErrorLogPrefix) + e.what(), false);
    }
  }
  // Drop everything still queued without calling back, end what runs, close the link.
  c.FirmwareUploader.OnUploadDone = nullptr;
  c.FirmwareUploader.OnPercentDone = nullptr;
  c.FlashReaderWriter.OnReadingDone = nullptr;
  c.FlashReaderWriter.OnWritingDone = nullptr;
  c.FlashReaderWriter.OnPercentDone = nullptr;
  c.KRVComms.ClearQueue(255);
  if (!c.FirmwareUploader.Idle()) c.FirmwareUploader.Abort();
  if (!c.FlashReaderWriter.Idle()) c.FlashReaderWriter.Abort();
  c.SetConnected(false);
}

// ---------------------------------------------------------------------------------------------
// Persisted controls.

void TMainForm::SavePersistedControls() {
  TIniFile ini(FCore->IniFileName());
  const char* s = kPersistSection;
  ini.WriteString(s, "edFWFile_Text", edFWFile->text().toStdString());
  ini.WriteString(s, "chbTurboFWUpload_Checked", chbTurboFWUpload->isChecked() ? "TRUE" : "FALSE");
  ini.WriteString(s, "chbClrFlash_Checked", chbClrFlash->isChecked() ? "TRUE" : "FALSE");
  tsFlashRW->SavePersisted(ini, s);
  ini.WriteString(s, kSerialDeviceKey, FCore->KRVCommsCfg.SerialDevice());
  const QRect g = normalGeometry();
  ini.WriteInteger(s, "Left", g.x());
  ini.WriteInteger(s, "Top", g.y());
  ini.WriteInteger(s, "Width", g.width());
  ini.WriteInteger(s, "Height", g.height());
  ini.WriteBool(s, "Maximized", isMaximized());
}

void TMainForm::RestorePersistedControls() {
  TIniFile ini(FCore->IniFileName());
  const char* s = kPersistSection;
  if (ini.ValueExists(s, "edFWFile_Text")) edFWFile->setText(U(ini.ReadString(s, "edFWFile_Text", "")));
  bool on = false;
  if (ReadCheckBoxText(ini.ReadString(s, "chbTurboFWUpload_Checked", ""), on)) chbTurboFWUpload->setChecked(on);
  if (ReadCheckBoxText(ini.ReadString(s, "chbClrFlash_Checked", ""), on)) chbClrFlash->setChecked(on);
  tsFlashRW->RestorePersisted(ini, s);
  // A serial device picked by path is selected again; customer mode's SorosPort wins over it.
  if (!FCore->CustomerMode) {
    const std::string device = ini.ReadString(s, kSerialDeviceKey, "");
    if (!device.empty()) FCore->KRVCommsCfg.SetSerialDevice(device);
  }
  if (ini.ValueExists(s, "Width") && ini.ValueExists(s, "Height")) {
    QRect g(ini.ReadInteger(s, "Left", x()), ini.ReadInteger(s, "Top", y()), ini.ReadInteger(s, "Width", width()),
            ini.ReadInteger(s, "Height", height()));
    // A placement from another screen layout must not put the window out of reach.
    const QScreen* screenAt = QGuiApplication::screenAt(g.center());
    if (screenAt == nullptr) screenAt = screen();
    if (screenAt != nullptr) {
      const QRect avail = screenAt->availableGeometry();
      g.setWidth(std::min(g.width(), avail.width()));
      g.setHeight(std::min(g.height(), avail.height()));
      if (!avail.intersects(g)) g.moveCenter(avail.center());
    }
    setGeometry(g);
    if (ini.ReadBool(s, "Maximized", false)) showMaximized();
  }
  SyncControlsToCore();
}

void TMainForm::SaveSerialDevice() {
  TIniFile ini(FCore->IniFileName());
  ini.WriteString(kPersistSection, kSerialDeviceKey, FCore->KRVCommsCfg.SerialDevice());
}

// ---------------------------------------------------------------------------------------------
// Log view and caption.

void TMainForm::CaptionWithMemory(int32_t KB) {
  const QString caption = U(FCore->Caption() + texts::kCaptionMemory + std::to_string(KB) + texts::kCaptionMemoryEnd);
  if (windowTitle() != caption) setWindowTitle(caption);
}

void TMainForm::NaploComponentWriteLog(const std::string& AMsg) {
  try {
    // Lines are gathered and shown together a moment later: laying out and painting the view
    // for every packet line would hold up the transfer it logs.
    // Payload bytes above 127 are shown as the devices' code page shows them, not as U+FFFD.
    const QString line = U(LogTextToUtf8(AMsg));
    FPendingLog += line;
    FPendingLog += QLatin1Char('\n');
    FCommLogChars += static_cast<std::size_t>(line.size()) + 1;
    FMemoryKB = UsedMemoryKB ? UsedMemoryKB() : 0;
    // The view is cleared when it grows too long, or when the program has grown by the limit
    // since the window was shown (the working set of a Qt window alone is above the limit).
    if (FMemoryKB - FMemoryBaseKB > kLogViewMemoryLimitKB || FCommLogChars > kLogViewCharLimit) {
      memoCommLog->clear();
      FPendingLog.clear();
      FCommLogChars = 0;
    }
    if (!FLogFlush.isActive()) FLogFlush.start();
  } catch (...) {
    try {
      memoCommLog->clear();
      FPendingLog.clear();
      FCommLogChars = 0;
    } catch (...) {
    }
  }
}

void TMainForm::FlushLogView() {
  FLogFlush.stop();
  CaptionWithMemory(FMemoryKB);
  if (FPendingLog.isEmpty()) return;
  if (FPendingLog.endsWith(QLatin1Char('\n'))) FPendingLog.chop(1);
  memoCommLog->appendPlainText(FPendingLog);
  FPendingLog.clear();
}

// ---------------------------------------------------------------------------------------------
// The firmware page.

void TMainForm::ShowFWInfo() {
  const auto& rows = FCore->FWInfoRows;
  vledFWInfo->setRowCount(static_cast<int>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    vledFWInfo->setItem(static_cast<int>(i), 0, new QTableWidgetItem(U(rows[i].Name)));
    vledFWInfo->setItem(static_cast<int>(i), 1, new QTableWidgetItem(U(rows[i].Value)));
  }
  vledFWInfo->resizeColumnToContents(0);
}

void TMainForm::BrowseFirmwareClick() {
  // edFWFileBeforeDialog
  FCore->Firmware.FWStartAddr = 0;
  const QString start = edFWFile->text().isEmpty() ? QString() : QFileInfo(edFWFile->text()).absolutePath();
  const QString name = FDialogs.OpenFile(this, U(texts::kChooseFirmware), start, U(texts::kFirmwareFilter),
                                         U(texts::kFirmwareFilterPreselected));
  if (name.isEmpty()) return;
  // edFWFileAfterDialog
  edFWFile->setText(name);
  SyncControlsToCore();
  FCore->LoadFirmwareFile();
}

void TMainForm::vledFWInfoDblClick() {
  SyncControlsToCore();
  FCore->LoadFirmwareFile();
}

void TMainForm::InstallButtonClick() {
  TMainFormCore& c = *FCore;
  // A flash transfer, the identification or the restart holds the link; the button is disabled
  // then, and a stray click must not start an update beside it.
  if (c.LinkOperationRunning) return;
  SyncControlsToCore();
  c.ApplyIniSettings();
  if (!c.FirmwareUploader.Idle()) {
    c.FirmwareUploader.Abort();
    c.SetUpdateRunning(false);
    return;
  }
  if (!c.LoadFirmwareFile()) return;
  if (c.Firmware.IsBootloaderImage) {
    if (FDialogs.Question(this, U(texts::kBootloaderQuestion1)) != QMessageBox::Yes) return;
    if (FDialogs.Question(this, U(texts::kBootloaderQuestion2)) != QMessageBox::No) return;
    c.LogMessage(texts::kUpdatingBootloader);
  } else {
    c.LogMessage(texts::kUpdatingFirmware);
  }
  if (chbClrFlash->isChecked() && FDialogs.Question(this, U(texts::kClearFlashQuestion)) != QMessageBox::Yes) return;
  c.SetConnected(true);
  FUpdateStarted = true;
  ProgressBar->setValue(0);
  c.SetUpdateRunning(true);
  TUploadOptions options;
  options.ClearFlash = chbClrFlash->isChecked();
  options.Batched = chbTurboFWUpload->isChecked();
  options.SafeTurbo = c.KRVCommsCfg.Baudrate() != 115200;
  StartFirmwareUpload(c.FirmwareUploader, c.Firmware, options);
}

void TMainForm::SetUpdateRunning(bool Running) {
  TMainFormCore& c = *FCore;
  if (c.CustomerMode) {
    InstallButton->setEnabled(!Running);
    return;
  }
  InstallButton->setText(U(Running ? texts::kStop : (FUpdateStarted ? texts::kInstall : texts::kInstallStart)));
  InstallButton->setEnabled(true);
  for (QWidget* w : std::initializer_list<QWidget*>{edFWFile, edFWFileBrowse, chbConnected, chbClrFlash,
                                                    CreateQOBFile, CreateBINFile})
    w->setEnabled(!Running);
  pcTasks->setTabVisible(pcTasks->indexOf(tsFlashRW), !Running && c.FlashTabAllowed);
}

void TMainForm::EnableDeviceControls(bool Enable) {
  for (QWidget* w : std::initializer_list<QWidget*>{CSYSIButton, chbTurboFWUpload, chbSlowWriteMode, ResetButton})
    w->setEnabled(Enable);
  tsFlashRW->EnableDeviceControls(Enable);
}

void TMainForm::SetDeviceCommandRunning(bool Running) {
  TMainFormCore& c = *FCore;
  c.LinkOperationRunning = Running;
  c.EnableDeviceControls(!Running);
  // The update would share the link, and the command's last step closes it under the update.
  InstallButton->setEnabled(!Running);
}

template <typename F>
void TMainForm::RunDeviceCommand(const char* Message, F&& Start) {
  TMainFormCore& c = *FCore;
  // One operation holds the link at a time (the buttons are disabled then; a stray click does nothing).
  if (c.OperationRunning()) return;
  c.LogMessage(Message);
  SetDeviceCommandRunning(true);
  try {
    c.SetConnected(true);
    Start();
  } catch (...) {
    SetDeviceCommandRunning(false);
    c.SetConnected(false);
    throw;
  }
}

void TMainForm::CSYSIButtonClick() {
  RunDeviceCommand(texts::kReadingDeviceInfo, [this] {
    FDeviceCommands->Identify([this](uint16_t ErrorCode, const std::string& S, TKRVMode) {
      TMainFormCore& core = *FCore;
      if (ErrorCode != ecOk) {
        core.LogMessage(std::string(texts::kErrorOccurred) + ErrorCodeText(ErrorCode));
      } else {
        core.LogMessage(std::string(texts::kDeviceInfo) + DeviceInfoToStr(S));
      }
      core.SetConnected(false);
      SetDeviceCommandRunning(false);
    });
  });
}

void TMainForm::ResetButtonClick() {
  RunDeviceCommand(texts::kRestarting, [this] {
    FDeviceCommands->Restart([this] {
      FCore->SetConnected(false);
      SetDeviceCommandRunning(false);
      FCore->LogMessage(texts::kRestarted);
    });
  });
}

void TMainForm::CreateQOBFileClick() {
  SyncControlsToCore();
  FCore->CreatePackageFile(true, [this](const std::string& q) { return FDialogs.Question(this, U(q)) == QMessageBox::Yes; });
}

void TMainForm::CreateBINFileClick() {
  SyncControlsToCore();
  FCore->CreatePackageFile(false, [this](const std::string& q) { return FDialogs.Question(this, U(q)) == QMessageBox::Yes; });
}

// ---------------------------------------------------------------------------------------------
// Errors nothing else caught.

void TMainForm::HandleUncaughtError(const std::string& Message) {
  TMainFormCore& c = *FCore;
  // An error raised while the previous one is being shown is logged only.
  c.NaploComponent.WriteLog(std::string(texts::kErrorLogPrefix) + Message, false);
  if (FHandlingError || FClosed) return;
  FHandlingError = true;
  const QString report = ErrorReportText(U(Message), U(c.Caption()));
  FDialogs.ErrorReport(this, U(Message), report);
  // The operation has ended: a page still showing a run that never started goes back to rest,
  // and a link opened for it is closed.
  try {
    if (c.UpdateRunning() && c.FirmwareUploader.Idle()) c.SetUpdateRunning(false);
    if (tsFlashRW->Running() && c.FlashReaderWriter.Idle()) tsFlashRW->SetFlashRunning(false, true);
    if (c.FirmwareUploader.Idle() && !c.OperationRunning() && c.FlashReaderWriter.Idle()) c.SetConnected(false);
  } catch (const std::exception& e) {
    c.NaploComponent.WriteLog(std::string(texts::kErrorLogPrefix) + e.what(), false);
  }
  FHandlingError = false;
}

}  // namespace vornik::gui
