// The connection settings frame on screen: the connection type as two radio buttons, a page per
// type without tabs (serial port and baud-rate lists; the remembered "host:port" list with its
// add and remove buttons), and the device's KRV address on light red. The widgets show the
// settings model (TCfgFrame) and forward every edit to it; the model's rules decide, the widgets
// follow its OnChange. Each list and field has its label as buddy, so assistive technology finds
// it under the label's caption.
//
// The serial port list offers COM 1 … COM 50 and after them the serial devices present on the
// machine, asked from ListSerialDevices each time the list is opened (and by RefreshSerialDevices).
#pragma once

#include <QComboBox>
#include <QWidget>

#include <functional>
#include <vector>

#include "loop/PortLink.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QStackedWidget;

namespace vornik {
class TCfgFrame;
}

namespace vornik::gui {

/// A list that tells before its entries are shown, so they can be brought up to date.
class TRefreshingComboBox final : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> OnBeforePopup;
  void showPopup() override;
};

class TCfgFrameWidget final : public QWidget {
 public:
  TCfgFrameWidget(TCfgFrame& Model, QWidget* Parent = nullptr);
  ~TCfgFrameWidget() override;

  /// Shows the model's values and enabled state.
  void Refresh();

  /// The serial devices present now (the platform's list; tests give their own).
  std::function<std::vector<SerialDeviceInfo>()> ListSerialDevices;
  /// Asks ListSerialDevices and offers what it gives after the COM entries.
  void RefreshSerialDevices();
  /// The technician picked an entry of the serial port list (a COM entry or a device).
  std::function<void()> OnSerialPortChosen;

  // The controls, for the window's customer-mode switches and for tests.
  QGroupBox* rgConnType = nullptr;
  QRadioButton* rbSerial = nullptr;
  QRadioButton* rbTCPIP = nullptr;
  QStackedWidget* pcConnType = nullptr;
  QWidget* tsSoros = nullptr;
  QWidget* tsTCPIP = nullptr;
  QLabel* labelSerial = nullptr;
  TRefreshingComboBox* cboxSorosPort = nullptr;
  QLabel* labelBaudrate = nullptr;
  QComboBox* cboxBaudrate = nullptr;
  QLabel* labelIPAddress = nullptr;
  QComboBox* edIPAddress = nullptr;
  QPushButton* buttAddIP = nullptr;
  QPushButton* buttRemoveIP = nullptr;
  QWidget* KRVAddrPanel = nullptr;
  QLabel* labelKRVAddress = nullptr;
  QSpinBox* edKRVAddress = nullptr;

 private:
  TCfgFrame& FModel;
  bool FRefreshing = false;
};

}  // namespace vornik::gui
