#include "app/gui/CfgFrameWidget.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <climits>

#include "app/VornikTexts.h"
#include "app/gui/WindowSupport.h"
#include "app/uCfgFrame.h"

namespace vornik::gui {

void TRefreshingComboBox::showPopup() {
  if (OnBeforePopup) OnBeforePopup();
  // Device entries are long; the open list is as wide as they are, whatever the frame's width.
  view()->setMinimumWidth(view()->sizeHintForColumn(0) + view()->verticalScrollBar()->sizeHint().width() + 8);
  QComboBox::showPopup();
}

TCfgFrameWidget::TCfgFrameWidget(TCfgFrame& Model, QWidget* Parent) : QWidget(Parent), FModel(Model) {
  setObjectName(QString::fromStdString(Model.Name()));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);

  rgConnType = new QGroupBox(U(texts::kConnTypeCaption), this);
  rgConnType->setObjectName(QStringLiteral("rgConnType"));
  auto* rgLayout = new QVBoxLayout(rgConnType);
  rbSerial = new QRadioButton(U(texts::kConnTypeSerial), rgConnType);
  rbTCPIP = new QRadioButton(U(texts::kConnTypeTCPIP), rgConnType);
  rgLayout->addWidget(rbSerial);
  rgLayout->addWidget(rbTCPIP);
  auto* group = new QButtonGroup(this);
  group->addButton(rbSerial, 0);
  group->addButton(rbTCPIP, 1);
  outer->addWidget(rgConnType);

  pcConnType = new QStackedWidget(this);
  pcConnType->setObjectName(QStringLiteral("pcConnType"));
  tsSoros = new QWidget(pcConnType);
  tsSoros->setObjectName(QStringLiteral("tsSoros"));
  {
    auto* l = new QVBoxLayout(tsSoros);
    l->setContentsMargins(0, 4, 0, 0);
    cboxSorosPort = new TRefreshingComboBox(tsSoros);
    cboxSorosPort->setObjectName(QStringLiteral("cboxSorosPort"));
    // A scrolling list of a screen's part rather than all entries at once: the devices come
    // after fifty COM entries.
    cboxSorosPort->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    cboxSorosPort->setMaxVisibleItems(20);
    for (int i = 1; i <= TCfgFrame::kComPortCount; ++i)
      cboxSorosPort->addItem(QStringLiteral("COM%1").arg(i, 3, 10, QLatin1Char(' ')));
    cboxBaudrate = new QComboBox(tsSoros);
    cboxBaudrate->setObjectName(QStringLiteral("cboxBaudrate"));
    for (int b : TCfgFrame::kBaudrates) cboxBaudrate->addItem(QString::number(b));
    labelSerial = BuddyLabel(texts::kLabelSerial, cboxSorosPort, tsSoros);
    labelBaudrate = BuddyLabel(texts::kLabelBaudrate, cboxBaudrate, tsSoros);
    l->addWidget(labelSerial);
    l->addWidget(cboxSorosPort);
    l->addWidget(labelBaudrate);
    l->addWidget(cboxBaudrate);
    l->addStretch(1);
  }
  tsTCPIP = new QWidget(pcConnType);
  tsTCPIP->setObjectName(QStringLiteral("tsTCPIP"));
  {
    auto* l = new QVBoxLayout(tsTCPIP);
    l->setContentsMargins(0, 4, 0, 0);
    edIPAddress = new QComboBox(tsTCPIP);
    edIPAddress->setObjectName(QStringLiteral("edIPAddress"));
    edIPAddress->setEditable(true);
    edIPAddress->setInsertPolicy(QComboBox::NoInsert);
    labelIPAddress = BuddyLabel(texts::kLabelIPAddress, edIPAddress, tsTCPIP);
    labelIPAddress->setWordWrap(true);
    buttAddIP = new QPushButton(U(texts::kAddIP), tsTCPIP);
    buttAddIP->setObjectName(QStringLiteral("buttAddIP"));
    buttRemoveIP = new QPushButton(U(texts::kRemoveIP), tsTCPIP);
    buttRemoveIP->setObjectName(QStringLiteral("buttRemoveIP"));
    for (QPushButton* b : {buttAddIP, buttRemoveIP}) b->setFixedWidth(b->sizeHint().height() + 4);
    auto* row = new QHBoxLayout;
    row->addWidget(edIPAddress, 1);
    row->addWidget(buttAddIP);
    row->addWidget(buttRemoveIP);
    l->addWidget(labelIPAddress);
    l->addLayout(row);
    l->addStretch(1);
  }
  pcConnType->addWidget(tsSoros);
  pcConnType->addWidget(tsTCPIP);
  outer->addWidget(pcConnType);

  KRVAddrPanel = new QWidget(this);
  KRVAddrPanel->setObjectName(QStringLiteral("KRVAddrPanel"));
  {
    auto* l = new QVBoxLayout(KRVAddrPanel);
    l->setContentsMargins(0, 4, 0, 0);
    edKRVAddress = new QSpinBox(KRVAddrPanel);
    edKRVAddress->setObjectName(QStringLiteral("edKRVAddress"));
    edKRVAddress->setRange(INT_MIN, INT_MAX);
    edKRVAddress->setStyleSheet(QStringLiteral("QSpinBox { background-color: rgb(234, 191, 191); }"));
    labelKRVAddress = BuddyLabel(texts::kLabelKRVAddress, edKRVAddress, KRVAddrPanel);
    l->addWidget(labelKRVAddress);
    l->addWidget(edKRVAddress);
  }
  outer->addWidget(KRVAddrPanel);
  outer->addStretch(1);

  // Edits go to the model; the model's OnChange brings every widget in line.
  connect(group, &QButtonGroup::idToggled, this, [this](int id, bool on) {
    if (on && !FRefreshing) FModel.SetConnType(id == 1 ? TConnType::ConnTypeTCPIP : TConnType::ConnTypeSerial);
  });
  connect(cboxSorosPort, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (FRefreshing) return;
    const int device = i - TCfgFrame::kComPortCount;
    if (device >= 0 && device < static_cast<int>(FModel.SerialDevices().size()))
      FModel.SetSerialDevice(FModel.SerialDevices()[static_cast<std::size_t>(device)].path);
    else
      FModel.SetComPort(i + 1);
  });
  connect(cboxSorosPort, &QComboBox::activated, this, [this](int) {
    if (OnSerialPortChosen) OnSerialPortChosen();
  });
  cboxSorosPort->OnBeforePopup = [this] { RefreshSerialDevices(); };
  connect(cboxBaudrate, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (!FRefreshing) FModel.SetBaudIndex(i);
  });
  connect(edIPAddress, &QComboBox::editTextChanged, this, [this](const QString& t) {
    if (!FRefreshing) FModel.SetAddressText(t.toStdString());
  });
  connect(edIPAddress, &QComboBox::activated, this, [this](int i) {
    if (!FRefreshing) FModel.SetIPItemIndex(i);
  });
  connect(buttAddIP, &QPushButton::clicked, this, [this] { FModel.buttAddIPClick(); });
  connect(buttRemoveIP, &QPushButton::clicked, this, [this] { FModel.buttRemoveIPClick(); });
  connect(edKRVAddress, &QSpinBox::valueChanged, this, [this](int v) {
    if (!FRefreshing) FModel.SetKRVAddress(v);
  });

  FModel.OnChange = [this](TCfgFrame&) { Refresh(); };
  Refresh();
}

TCfgFrameWidget::~TCfgFrameWidget() { FModel.OnChange = nullptr; }

void TCfgFrameWidget::RefreshSerialDevices() {
  if (ListSerialDevices) FModel.SetSerialDevices(ListSerialDevices());
}

void TCfgFrameWidget::Refresh() {
  if (FRefreshing) return;
  FRefreshing = true;
  const bool tcp = FModel.ConnType() == TConnType::ConnTypeTCPIP;
  rbSerial->setChecked(!tcp);
  rbTCPIP->setChecked(tcp);
  pcConnType->setCurrentIndex(tcp ? 1 : 0);
  // COM entries stay as they are; the device entries follow the model's list.
  QStringList devices;
  for (const SerialDeviceInfo& d : FModel.SerialDevices()) devices << U(TCfgFrame::SerialDeviceCaption(d));
  QStringList shownDevices;
  for (int i = TCfgFrame::kComPortCount; i < cboxSorosPort->count(); ++i) shownDevices << cboxSorosPort->itemText(i);
  if (shownDevices != devices) {
    while (cboxSorosPort->count() > TCfgFrame::kComPortCount) cboxSorosPort->removeItem(cboxSorosPort->count() - 1);
    for (const QString& d : devices) {
      cboxSorosPort->addItem(d);
      cboxSorosPort->setItemData(cboxSorosPort->count() - 1, d, Qt::ToolTipRole);
    }
  }
  cboxSorosPort->setCurrentIndex(FModel.SerialPortListIndex());
  cboxBaudrate->setCurrentIndex(FModel.BaudIndex());

  QStringList items;
  for (const std::string& s : FModel.IPList()) items << U(s);
  QStringList shown;
  for (int i = 0; i < edIPAddress->count(); ++i) shown << edIPAddress->itemText(i);
  if (shown != items) {
    edIPAddress->clear();
    edIPAddress->addItems(items);
  }
  if (edIPAddress->currentIndex() != FModel.IPItemIndex()) edIPAddress->setCurrentIndex(FModel.IPItemIndex());
  const QString address = U(FModel.AddressText());
  if (edIPAddress->currentText() != address) edIPAddress->setEditText(address);

  if (edKRVAddress->value() != FModel.KRVAddress()) edKRVAddress->setValue(FModel.KRVAddress());
  KRVAddrPanel->setVisible(FModel.KRVAddrVisible());
  setEnabled(FModel.Enabled());
  FRefreshing = false;
}

}  // namespace vornik::gui
