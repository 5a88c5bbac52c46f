#include "app/uCfgFrame.h"

#include <algorithm>

#include "app/CreateMissingValuesIni.h"
#include "util/CommaText.h"
#include "util/NumberText.h"

namespace vornik {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trimmed(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int CompareText(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(LowerAscii(a[i]));
    const unsigned char y = static_cast<unsigned char>(LowerAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

TCfgFrame::TCfgFrame(std::string Name) : FName(std::move(Name)) {
  // The frame as designed: COM 1, 115200 baud, the default address list, serial.
  FComPortIndex = 0;
  FBaudIndex = static_cast<int>(kBaudrates.size()) - 1;
  FIPItems = {kDefaultIPEntry};
}

void TCfgFrame::Changed() {
  if (OnChange) OnChange(*this);
}

void TCfgFrame::SetComPort(int Value) {
  FComPortIndex = (Value >= 1 && Value <= kComPortCount) ? Value - 1 : -1;
  FSerialDevice.clear();
  Changed();
}

void TCfgFrame::SetSerialDevices(std::vector<SerialDeviceInfo> Value) {
  if (!FSerialDevice.empty() &&
      std::none_of(Value.begin(), Value.end(), [this](const SerialDeviceInfo& d) { return d.path == FSerialDevice; }))
    Value.push_back({FSerialDevice, ""});
  FSerialDevices = std::move(Value);
  Changed();
}

void TCfgFrame::SetSerialDevice(std::string Path) {
  FSerialDevice = std::move(Path);
  FComPortIndex = -1;
  if (!FSerialDevice.empty() && std::none_of(FSerialDevices.begin(), FSerialDevices.end(),
                                              [this](const SerialDeviceInfo& d) { return d.path == FSerialDevice; }))
    FSerialDevices.push_back({FSerialDevice, ""});
  Changed();
}

int TCfgFrame::SerialPortListIndex() const {
  if (FSerialDevice.empty()) return FComPortIndex;
  for (std::size_t i = 0; i < FSerialDevices.size(); ++i)
    if (FSerialDevices[i].path == FSerialDevice) return kComPortCount + static_cast<int>(i);
  return -1;
}

std::string TCfgFrame::SerialDeviceCaption(const SerialDeviceInfo& Device) {
  if (Device.description.empty()) return Device.path;
  return Device.description + " (" + Device.path + ")";
}

void TCfgFrame::SetBaudIndex(int Index) {
  FBaudIndex = (Index >= 0 && Index < static_cast<int>(kBaudrates.size())) ? Index : -1;
  Changed();
}

int TCfgFrame::Baudrate() const {
  if (FBaudIndex < 0 || FBaudIndex >= static_cast<int>(kBaudrates.size())) return 115200;
  return kBaudrates[static_cast<std::size_t>(FBaudIndex)];
}

void TCfgFrame::SetBaudrate(int Value) {
  const auto it = std::find(kBaudrates.begin(), kBaudrates.end(), Value);
  FBaudIndex = it == kBaudrates.end() ? 0 : static_cast<int>(it - kBaudrates.begin());
  Changed();
}

void TCfgFrame::SplitAddress(std::string& Host, std::string& PortText, bool& HasColon) const {
  const std::string& t = FAddressText;
  if (!t.empty() && t.front() == '[') {
    const std::size_t close = t.find(']');
    if (close != std::string::npos) {
      Host = t.substr(1, close - 1);
      const std::size_t colon = t.find(':', close);
      HasColon = colon != std::string::npos;
      PortText = HasColon ? t.substr(colon + 1, 999) : std::string();
      return;
    }
  }
  const std::size_t colon = t.find(':');
  HasColon = colon != std::string::npos;
  Host = HasColon ? t.substr(0, colon) : std::string();
  PortText = HasColon ? t.substr(colon + 1, 999) : t;
}

std::string TCfgFrame::JoinAddress(std::string_view Host, std::string_view PortText) {
  std::string out;
  if (Host.find(':') != std::string_view::npos) {
    out = "[" + std::string(Host) + "]";
  } else {
    out = std::string(Host);
  }
  out += ":";
  out += PortText;
  return out;
}

std::string TCfgFrame::IP() const {
  std::string host, port;
  bool colon = false;
  SplitAddress(host, port, colon);
  return host;
}

void TCfgFrame::SetIP(std::string_view Value) {
  FAddressText = JoinAddress(Value, std::to_string(TCPPort()));
  FIPItemIndex = -1;
  Changed();
}

int TCfgFrame::TCPPort() const {
  std::string host, port;
  bool colon = false;
  SplitAddress(host, port, colon);
  return ParseInteger(port).value_or(kDefaultTCPPort);
}

void TCfgFrame::SetTCPPort(int Value) {
  FAddressText = JoinAddress(IP(), std::to_string(Value));
  FIPItemIndex = -1;
  Changed();
}

void TCfgFrame::SetKRVAddress(int Value) {
  FKRVAddress = Value;
  Changed();
}

void TCfgFrame::SetIPList(std::vector<std::string> Value) {
  FIPItems = std::move(Value);
  FIPItemIndex = -1;
  Changed();
}

void TCfgFrame::SetIPItemIndex(int Index) {
  if (Index >= 0 && Index < static_cast<int>(FIPItems.size())) {
    FIPItemIndex = Index;
    FAddressText = FIPItems[static_cast<std::size_t>(Index)];
  } else {
    FIPItemIndex = -1;
  }
  Changed();
}

void TCfgFrame::SetAddressText(std::string Value) {
  FAddressText = std::move(Value);
  const auto it = std::find(FIPItems.begin(), FIPItems.end(), FAddressText);
  FIPItemIndex = it == FIPItems.end() ? -1 : static_cast<int>(it - FIPItems.begin());
  Changed();
}

void TCfgFrame::SetConnType(TConnType Value) {
  if (Value == FConnType) return;
  FConnType = Value;
  rgConnTypeClick();
  Changed();
}

void TCfgFrame::SetKRVAddrVisible(bool Value) {
  FKRVAddrVisible = Value;
  FKRVAddress = Value ? 0 : 1;
  Changed();
}

void TCfgFrame::SetEnabled(bool Value) {
  FEnabled = Value;
  Changed();
}

void TCfgFrame::rgConnTypeClick() {
  if (FConnType != TConnType::ConnTypeTCPIP || FIniFile.empty()) return;
  TIniFile ini(FIniFile);
  FIPItems = ParseCommaText(ValidateIPList(ini.ReadString(IPListSection(), "IPS", kDefaultIPEntry)));
  int selected = ini.ReadInteger(IPListSection(), "SELECTED", 0);
  if (selected < 0) selected = 0;
  FIPItemIndex = -1;
  SetIPItemIndex(selected);
}

void TCfgFrame::buttAddIPClick() {
  if (FAddressText.empty()) return;
  std::vector<std::string> items = FIPItems;
  items.push_back(FAddressText);
  FIPItems = ParseCommaText(ValidateIPList(ToCommaText(items)));
  const auto it = std::find(FIPItems.begin(), FIPItems.end(), FAddressText);
  FIPItemIndex = it == FIPItems.end() ? -1 : static_cast<int>(it - FIPItems.begin());
  Changed();
  if (!FIniFile.empty()) {
    TIniFile ini(FIniFile);
    ini.WriteString(IPListSection(), "IPS", ToCommaText(FIPItems));
    ini.WriteInteger(IPListSection(), "SELECTED", FIPItemIndex);
  }
}

void TCfgFrame::buttRemoveIPClick() {
  const auto it = std::find(FIPItems.begin(), FIPItems.end(), FAddressText);
  if (it == FIPItems.end()) return;
  FIPItems.erase(it);
  FIPItemIndex = -1;
  Changed();
}

std::vector<std::string> TCfgFrame::ParseCommaText(std::string_view Text) { return vornik::ParseCommaText(Text); }

std::string TCfgFrame::ToCommaText(const std::vector<std::string>& Items) { return vornik::ToCommaText(Items); }

std::string TCfgFrame::ValidateIPList(std::string_view Text) {
  std::vector<std::string> list;
  if (!Text.empty()) {
    for (const std::string& raw : ParseCommaText(Text)) {
      std::string e = Trimmed(raw);
      if (e.empty()) continue;
      const auto pos = std::lower_bound(list.begin(), list.end(), e,
                                        [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
      if (pos != list.end() && CompareText(*pos, e) == 0) continue;  // first one given stays
      list.insert(pos, std::move(e));
    }
  }
  if (list.empty()) list.emplace_back(kDefaultIPEntry);
  return ToCommaText(list);
}

}  // namespace vornik
