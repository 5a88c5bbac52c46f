// The serial port list of the window on a pretend machine: COM entries as always, then the
// devices present, refreshed when the list opens; the choice reaches the link and survives a
// restart; customer mode's SorosPort still decides.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QTest>

#include "app/gui/CfgFrameWidget.h"
#include "gui/WindowTestKit.h"

namespace vornik::gui::test {
namespace {

using vornik::test::ReadAll;
using vornik::test::WriteAll;

const SerialDeviceInfo kUsb{"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0", "FT232R USB UART"};
const SerialDeviceInfo kAcm{"/dev/ttyACM0", ""};

QStringList Entries(QComboBox* Box) {
  QStringList out;
  for (int i = 0; i < Box->count(); ++i) out << Box->itemText(i);
  return out;
}

TEST(SerialPortList, DevicesPresentArePickedByNameAndRemembered) {
  WindowRig rig;
  auto w = rig.Open();
  TCfgFrameWidget& f = *w->KRVCommsCfg;
  QComboBox* box = f.cboxSorosPort;
  EXPECT_EQ(f.labelSerial->buddy(), box);
  ASSERT_EQ(box->count(), 50);

  // Plugged in after the start: the list shows it when it is opened.
  rig.SerialDevices = {kUsb, kAcm};
  box->showPopup();
  box->hidePopup();
  const QStringList entries = Entries(box);
  ASSERT_EQ(entries.size(), 52);
  EXPECT_EQ(entries[0], QStringLiteral("COM  1"));
  EXPECT_EQ(entries[49], QStringLiteral("COM 50"));
  EXPECT_EQ(entries[50], QStringLiteral("FT232R USB UART (/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0)"));
  EXPECT_EQ(entries[51], QStringLiteral("/dev/ttyACM0"));
  EXPECT_EQ(box->currentIndex(), 0);

  // Picked by the keyboard as a technician does: the device reaches the link as port 0 with its path.
  box->setFocus();
  QTest::keyClick(box, Qt::Key_End);
  QTest::keyClick(box, Qt::Key_Up);
  EXPECT_EQ(box->currentIndex(), 50);
  EXPECT_EQ(w->Core().KRVCommsCfg.SerialDevice(), kUsb.path);
  EXPECT_NE(ReadAll(rig.Path("vornik.ini")).find("cboxSorosPort_Device=" + kUsb.path), std::string::npos);
  w->Core().SetConnected(true);
  ASSERT_FALSE(rig.Links.Last->Opens.empty());
  EXPECT_EQ(rig.Links.Last->Opens.back().Port, TCfgFrame::kSerialDevicePort);
  EXPECT_EQ(w->Core().KRVCommsCfg.AppliedSerialDevice(), kUsb.path);
  w->Core().SetConnected(false);

  // The next start selects it again, also while it is unplugged.
  w.reset();
  rig.SerialDevices.clear();
  w = rig.Open();
  EXPECT_EQ(w->Core().KRVCommsCfg.SerialDevice(), kUsb.path);
  EXPECT_EQ(w->KRVCommsCfg->cboxSorosPort->currentText(), QString::fromStdString(kUsb.path));

  // A COM entry again: the device is forgotten, and the next start shows COM 1 as it always did.
  QComboBox* again = w->KRVCommsCfg->cboxSorosPort;
  again->setFocus();
  QTest::keyClick(again, Qt::Key_Home);
  QTest::keyClick(again, Qt::Key_Down);
  EXPECT_EQ(w->Core().KRVCommsCfg.ComPort(), 2);
  EXPECT_EQ(w->Core().KRVCommsCfg.SerialDevice(), "");
  w->Core().SetConnected(true);
  EXPECT_EQ(rig.Links.Last->Opens.back().Port, 2);
  EXPECT_EQ(w->Core().KRVCommsCfg.AppliedSerialDevice(), "");
  w->Core().SetConnected(false);
  w.reset();
  w = rig.Open();
  EXPECT_EQ(w->KRVCommsCfg->cboxSorosPort->currentIndex(), 0);
  EXPECT_EQ(w->KRVCommsCfg->cboxSorosPort->count(), 50);
}

TEST(SerialPortList, CustomerModeSorosPortWinsOverARememberedDevice) {
  WindowRig rig;
  rig.SerialDevices = {kUsb};
  WriteAll(rig.Path("vornik.ini"), "[OPERATION]\nCustomerMode=1\nSorosPort=4\n[MainForm]\ncboxSorosPort_Device=" +
                                       kUsb.path + "\n");
  auto w = rig.Open();
  EXPECT_EQ(w->Core().KRVCommsCfg.ComPort(), 4);
  EXPECT_EQ(w->Core().KRVCommsCfg.SerialDevice(), "");
  EXPECT_EQ(w->KRVCommsCfg->cboxSorosPort->currentIndex(), 3);
}

}  // namespace
}  // namespace vornik::gui::test
