// The connection settings frame on screen: the connection type as two radio buttons, a page per
// type without tabs (serial port and baud-rate lists; the remembered "host:port" list with its
// add and remove buttons), and the device's KRV address on light red. The widgets show the
// settings model (TCfgFrame) and forward every edit to it; the model's rules decide, the widgets
// follow its OnChange. Each list and field has its label as buddy, so assistive technology finds
// it under the label's caption.
#pragma once

#include <QWidget>

class QButtonGroup;
class QComboBox;
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

class TCfgFrameWidget final : public QWidget {
 public:
  TCfgFrameWidget(TCfgFrame& Model, QWidget* Parent = nullptr);
  ~TCfgFrameWidget() override;

  /// Shows the model's values and enabled state.
  void Refresh();

  // The controls, for the window's customer-mode switches and for tests.
  QGroupBox* rgConnType = nullptr;
  QRadioButton* rbSerial = nullptr;
  QRadioButton* rbTCPIP = nullptr;
  QStackedWidget* pcConnType = nullptr;
  QWidget* tsSoros = nullptr;
  QWidget* tsTCPIP = nullptr;
  QLabel* labelSerial = nullptr;
  QComboBox* cboxSorosPort = nullptr;
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
