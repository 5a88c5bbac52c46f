// The connection settings as the technician chooses them: a serial port (COM 1 … COM 50, or one
// of the serial devices present on the machine, picked by its path) with a baud rate from a fixed
// list, or a TCP/IP "host:port" text with a remembered, sorted list of
// such addresses, plus the device's KRV address. This is the window-independent model of the
// connection settings frame: it holds exactly what the frame's controls hold (the selected list
// entries, the address text and list, the address spinner, the connection type) and the typed
// properties read and write those values with the frame's rules. A widget binds to it through
// OnChange and forwards user edits to the setters; the command line and the tests use it alone.
//
// The serial port list holds the COM entries and after them the devices last listed
// (SetSerialDevices). A chosen device is the link's COM number kSerialDevicePort, which its
// path stands for (AppliedSerialDevice of the bound settings); ComPort then reads 0 as for no
// selection. Choosing a COM entry forgets the device.
//
// The remembered address list lives in the INI file IniFile, section Name + "_IPLIST", keys
// IPS (comma text) and SELECTED (index). That file is read as a plain INI file: reading never
// writes defaults back.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "loop/PortLink.h"

namespace vornik {

enum class TConnType { ConnTypeSerial = 0, ConnTypeTCPIP = 1 };

class TCfgFrame {
 public:
  static constexpr int kComPortCount = 50;
  static constexpr std::array<int, 11> kBaudrates = {150, 300, 600, 1200, 2400, 4800,
                                                      9600, 19200, 38400, 57600, 115200};
  /// The address every fresh list holds.
  static constexpr const char* kDefaultIPEntry = "localhost:1001";
  static constexpr int kDefaultTCPPort = 1001;

  explicit TCfgFrame(std::string Name = "KRVCommsCfg");
  virtual ~TCfgFrame() = default;

  const std::string& Name() const { return FName; }

  /// Serial port list entry index + 1; 0 when no entry is selected. A value outside 1–50
  /// selects none.
  int ComPort() const { return FComPortIndex + 1; }
  void SetComPort(int Value);

  /// The selected baud rate; 115200 when none is selected. A rate that is not in the list
  /// selects the first entry, 150.
  int Baudrate() const;
  void SetBaudrate(int Value);
  /// Index of the selected baud-rate entry, -1 for none (which reads as 115200).
  int BaudIndex() const { return FBaudIndex; }
  /// Selects an entry by index; out of range selects none.
  void SetBaudIndex(int Index);
  /// Index of the selected serial-port entry, -1 for none.
  int ComPortIndex() const { return FComPortIndex; }

  /// The COM number the link gets for a chosen device; no COM entry has it.
  static constexpr int kSerialDevicePort = 0;
  /// The devices offered after the COM entries. The chosen device stays among them when it is
  /// not present (unplugged), so the choice is not lost.
  const std::vector<SerialDeviceInfo>& SerialDevices() const { return FSerialDevices; }
  void SetSerialDevices(std::vector<SerialDeviceInfo> Value);
  /// The chosen device's path; empty when a COM entry (or nothing) is selected.
  const std::string& SerialDevice() const { return FSerialDevice; }
  /// Chooses a device by path (listed if it is not yet); empty chooses nothing.
  void SetSerialDevice(std::string Path);
  /// Index in the serial port list of the selected entry, COM entries first; -1 for none.
  int SerialPortListIndex() const;
  /// The list entry of a device: its description followed by its path in parentheses, or the
  /// path alone.
  static std::string SerialDeviceCaption(const SerialDeviceInfo& Device);

  /// The host part of the address text: before the first colon (empty without a colon). An
  /// IPv6 literal is held in brackets ("[::1]:1001") so that its colons do not split it.
  std::string IP() const;
  void SetIP(std::string_view Value);

  /// The port part of the address text (after the first colon, or the whole text without a
  /// colon); 1001 when that is not a number.
  int TCPPort() const;
  void SetTCPPort(int Value);

  int KRVAddress() const { return FKRVAddress; }
  void SetKRVAddress(int Value);

  const std::vector<std::string>& IPList() const { return FIPItems; }
  void SetIPList(std::vector<std::string> Value);
  /// Index of the selected address list entry, -1 for none.
  int IPItemIndex() const { return FIPItemIndex; }
  /// Selects a list entry; its text becomes the address text. Out of range selects nothing.
  void SetIPItemIndex(int Index);

  /// The raw address text ("host:port") as the edit field holds it.
  const std::string& AddressText() const { return FAddressText; }
  void SetAddressText(std::string Value);

  const std::string& IniFile() const { return FIniFile; }
  void SetIniFile(std::string Value) { FIniFile = std::move(Value); }

  TConnType ConnType() const { return FConnType; }
  /// Selecting the other type runs rgConnTypeClick.
  void SetConnType(TConnType Value);

  bool KRVAddrVisible() const { return FKRVAddrVisible; }
  /// Showing sets the address to 0, hiding to 1.
  void SetKRVAddrVisible(bool Value);

  bool Enabled() const { return FEnabled; }
  /// Enables or disables the frame with every control inside it.
  virtual void SetEnabled(bool Value);

  /// Shows the page of the selected type; for TCP/IP loads the remembered list from IniFile.
  void rgConnTypeClick();
  /// Adds the address text to the list, normalises it, selects it and stores the list.
  void buttAddIPClick();
  /// Removes the list entry equal to the address text (the file keeps it until the next add).
  void buttRemoveIPClick();

  /// Normalises a comma text of addresses: sorted, duplicates (ignoring case) dropped keeping
  /// the first, entries trimmed, empties dropped; an empty result is the default entry.
  static std::string ValidateIPList(std::string_view Text);

  /// Comma text as the address list is stored: entries split at commas, "…" quoting with ""
  /// for a quote inside; entries with a blank, comma or quote are quoted when written.
  static std::vector<std::string> ParseCommaText(std::string_view Text);
  static std::string ToCommaText(const std::vector<std::string>& Items);

  /// Fired after any property or control value changed, so a widget can refresh itself.
  std::function<void(TCfgFrame& Sender)> OnChange;

  std::string IPListSection() const { return FName + "_IPLIST"; }

 private:
  void Changed();
  /// Splits the address text into host and port text (brackets around an IPv6 host removed).
  void SplitAddress(std::string& Host, std::string& PortText, bool& HasColon) const;
  static std::string JoinAddress(std::string_view Host, std::string_view PortText);

  std::string FName;
  int FComPortIndex = -1;
  std::vector<SerialDeviceInfo> FSerialDevices;
  std::string FSerialDevice;
  int FBaudIndex = -1;
  std::string FAddressText;
  std::vector<std::string> FIPItems;
  int FIPItemIndex = -1;
  int FKRVAddress = 0;
  std::string FIniFile;
  TConnType FConnType = TConnType::ConnTypeSerial;
  bool FKRVAddrVisible = true;
  bool FEnabled = true;
};

}  // namespace vornik
