#include "platform/qt/SerialDevices.h"

#include "platform/qt/SerialPortHints.h"

#include <QSerialPortInfo>

#include <unistd.h>

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

/// Stable name -> device file, for the names in ByIdDir that lead somewhere; sorted by name.
std::vector<std::pair<std::string, std::string>> StableNames(const std::string& ByIdDir) {
  std::vector<std::pair<std::string, std::string>> byId;
  std::error_code ec;
  for (fs::directory_iterator it(ByIdDir, ec), end; !ec && it != end; it.increment(ec))
    byId.emplace_back(it->path().string(), Canonical(it->path().string()));
  std::sort(byId.begin(), byId.end());
  return byId;
}

/// The first stable name that leads to Target, or empty.
std::string StableNameOf(const std::string& Target, const std::vector<std::pair<std::string, std::string>>& ById) {
  for (const auto& [name, device] : ById)
    if (device == Target) return name;
  return {};
}

}  // namespace

std::vector<TSerialPortReport> SerialPortReports(const std::vector<TSerialPortFacts>& Ports, const std::string& ByIdDir,
                                                 const std::string& SysfsRoot) {
  const auto byId = StableNames(ByIdDir);
  std::vector<TSerialPortReport> out;
  std::set<std::string> seen;
  for (const TSerialPortFacts& f : Ports) {
    const std::string& path = f.Port.SystemLocation;
    if (!seen.insert(Canonical(path)).second) continue;
    TSerialPortReport r;
    r.Path = path;
    r.StableName = StableNameOf(Canonical(path), byId);
    r.Description = f.Port.Description;
    r.Manufacturer = f.Port.Manufacturer;
    r.SerialNumber = f.SerialNumber;
    r.VendorId = f.VendorId;
    r.ProductId = f.ProductId;
    r.MayOpen = ::access(path.c_str(), R_OK | W_OK) == 0;
    r.Group = FileGroupName(path);
    if (!r.MayOpen) r.PermissionHint = SerialPermissionHint(path);
    r.LatencyTimerMs = UsbSerialLatencyTimerMs(path, SysfsRoot);
    out.push_back(std::move(r));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.Path < b.Path; });
  return out;
}

std::vector<TSerialPortReport> PresentSerialPorts() {
  std::vector<TSerialPortFacts> ports;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    TSerialPortFacts f;
    f.Port = {info.systemLocation().toStdString(), info.description().toStdString(), info.manufacturer().toStdString()};
    f.SerialNumber = info.serialNumber().toStdString();
    if (info.hasVendorIdentifier()) f.VendorId = info.vendorIdentifier();
    if (info.hasProductIdentifier()) f.ProductId = info.productIdentifier();
    ports.push_back(std::move(f));
  }
  return SerialPortReports(ports);
}

std::vector<SerialDeviceInfo> SerialDevicesFrom(const std::vector<TFoundSerialPort>& Ports, const TSerialPortMap& ComMap,
                                                const std::string& ByIdDir) {
  std::set<std::string> reachedByCom;
  for (int n = 1; n <= kComEntries; ++n) reachedByCom.insert(Canonical(SerialPortPath(n, ComMap)));

  const auto byId = StableNames(ByIdDir);

  std::vector<SerialDeviceInfo> out;
  std::set<std::string> seen;
  for (const TFoundSerialPort& port : Ports) {
    const std::string target = Canonical(port.SystemLocation);
    if (reachedByCom.count(target) != 0 || !seen.insert(target).second) continue;
    std::string path = StableNameOf(target, byId);
    if (path.empty()) path = port.SystemLocation;
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
