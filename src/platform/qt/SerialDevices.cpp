#include "platform/qt/SerialDevices.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

namespace vornik {

namespace {

namespace fs = std::filesystem;

constexpr int kComEntries = 50;  ///< COM 1 ... COM 50, as the connection settings offer them

/// The file a path finally leads to; the path itself when it cannot be followed.
std::string Canonical(const std::string& Path) {
  std::error_code ec;
  const fs::path p = fs::canonical(Path, ec);
  return ec ? Path : p.string();
}

}  // namespace

std::vector<SerialDeviceInfo> SerialDevicesFrom(const std::vector<TFoundSerialPort>& Ports, const TSerialPortMap& ComMap,
                                                const std::string& ByIdDir) {
  std::set<std::string> reachedByCom;
  for (int n = 1; n <= kComEntries; ++n) reachedByCom.insert(Canonical(SerialPortPath(n, ComMap)));

  // Stable name -> device, for the names that lead somewhere.
  std::vector<std::pair<std::string, std::string>> byId;
  std::error_code ec;
  for (fs::directory_iterator it(ByIdDir, ec), end; !ec && it != end; it.increment(ec))
    byId.emplace_back(it->path().string(), Canonical(it->path().string()));
  std::sort(byId.begin(), byId.end());

  std::vector<SerialDeviceInfo> out;
  std::set<std::string> seen;
  for (const TFoundSerialPort& port : Ports) {
    const std::string target = Canonical(port.SystemLocation);
    if (reachedByCom.count(target) != 0 || !seen.insert(target).second) continue;
    std::string path = port.SystemLocation;
    for (const auto& [name, device] : byId)
      if (device == target) {
        path = name;
        break;
      }
    out.push_back({path, port.Description.empty() ? port.Manufacturer : port.Description});
  }
  std::sort(out.begin(), out.end(), [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) { return a.path < b.path; });
  return out;
}

std::vector<SerialDeviceInfo> PresentSerialDevices(const TSerialPortMap& ComMap) {
  std::vector<TFoundSerialPort> ports;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
    ports.push_back({info.systemLocation().toStdString(), info.description().toStdString(),
                     info.manufacturer().toStdString()});
  return SerialDevicesFrom(ports, ComMap);
}

}  // namespace vornik
