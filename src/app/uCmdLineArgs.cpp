#include "app/uCmdLineArgs.h"

#include "app/CreateMissingValuesIni.h"
#include "util/NumberText.h"
#include "app/VornikTexts.h"
#include "util/MorvelUtils.h"

namespace vornik {

namespace {

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Value(const std::vector<std::string>& params, std::string_view name) {
  return GetCmdLineParam(params, name, kSwitchChars);
}

}  // namespace

bool HasCmdLineSwitch(const std::vector<std::string>& Params, std::string_view Name) {
  for (const std::string& p : Params) {
    if (p.empty() || kSwitchChars.find(p.front()) == std::string_view::npos) continue;
    if (SameTextAscii(std::string_view(p).substr(1), Name)) return true;
  }
  return false;
}

bool IsCommandLineMode(const std::vector<std::string>& Params) {
  return HasCmdLineSwitch(Params, "start") || HasCmdLineSwitch(Params, "?");
}

bool IsHelpRequest(const std::vector<std::string>& Params) {
  if (HasCmdLineSwitch(Params, "?")) return false;
  for (const std::string& p : Params)
    if (p == "--help" || p == "-h") return true;
  return false;
}

std::optional<int32_t> CmdLineNumber(std::string_view Text) {
  const auto v = ParseInteger(Text);
  if (!v || *v < 0) return std::nullopt;
  return v;
}

TCmdLineRequest ParseCmdLineRequest(const std::vector<std::string>& Params) {
  TCmdLineRequest r;
  if (HasCmdLineSwitch(Params, "?")) {
    r.UsageMessage = texts::kUsageExample;
    return r;
  }
  r.FWFile = Value(Params, "fw");
  if (r.FWFile.empty()) {
    r.UsageMessage = texts::kMissingFirmware;
    return r;
  }
  r.Host = Value(Params, "ip");
  const auto address = CmdLineNumber(Value(Params, "address"));
  if (!address) {
    r.UsageMessage = texts::kMissingAddress;
    return r;
  }
  r.Address = *address;
  r.TCPIP = !r.Host.empty();
  const auto port = CmdLineNumber(Value(Params, "port"));
  if (!port) {
    r.UsageMessage = r.TCPIP ? texts::kMissingTcpPort : texts::kMissingSerialPort;
    return r;
  }
  r.Port = *port;
  if (!r.TCPIP) {
    const auto baud = CmdLineNumber(Value(Params, "baud"));
    if (!baud) {
      r.UsageMessage = texts::kMissingBaudrate;
      return r;
    }
    r.Baud = *baud;
  }
  return r;
}

std::vector<std::string> UsageLines() {
  return {"", texts::kUsageTcpHeader, texts::kUsageTcpLine, "", texts::kUsageSerialHeader, texts::kUsageSerialLine};
}

}  // namespace vornik
