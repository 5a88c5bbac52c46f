// The serial devices present on the machine, for the technician to pick by name beside the
// numbered COM entries: a USB-RS485 adapter appears as /dev/ttyUSB0 or /dev/ttyACM0 and may get
// another number after the next plug-in, so where the system keeps a stable name for it under
// /dev/serial/by-id/ that name is offered instead. A device that a COM entry already opens
// (COM n is /dev/ttyS<n-1> or the path of [SerialPorts]) is left out: it is in the list once.
//
// SerialDevicesFrom is the plain rule over a list of ports (testable with a folder of links of
// its own); PresentSerialDevices feeds it what QSerialPortInfo finds now.
//
// SerialPortReports describes every port found for `vornik-tool ports`: its stable name, what
// the adapter says about itself, whether this user may open it (and the group to join when not)
// and the latency timer of a USB adapter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loop/PortLink.h"
#include "platform/qt/SerialPortMap.h"

namespace vornik {

/// One port as the platform's port information gives it.
struct TFoundSerialPort {
  std::string SystemLocation;  ///< e.g. /dev/ttyUSB0
  std::string Description;     ///< e.g. "FT232R USB UART"; may be empty
  std::string Manufacturer;    ///< used when there is no description
};

/// A port with what its USB adapter tells besides.
struct TSerialPortFacts {
  TFoundSerialPort Port;
  std::string SerialNumber;
  std::optional<uint16_t> VendorId;
  std::optional<uint16_t> ProductId;
};

/// One port as `vornik-tool ports` lists it.
struct TSerialPortReport {
  std::string Path;        ///< the device file, e.g. /dev/ttyUSB0
  std::string StableName;  ///< the name under /dev/serial/by-id/ that leads to it; empty when none
  std::string Description;
  std::string Manufacturer;
  std::string SerialNumber;
  std::optional<uint16_t> VendorId;
  std::optional<uint16_t> ProductId;
  bool MayOpen = false;        ///< this process may read and write the device file
  std::string Group;           ///< the group that owns the device file
  std::string PermissionHint;  ///< the group to join, when permission is what is missing
  std::optional<int> LatencyTimerMs;  ///< USB adapters
};

/// Reports on Ports (each device file once, sorted by path), stable names from ByIdDir and
/// latency timers from SysfsRoot.
std::vector<TSerialPortReport> SerialPortReports(const std::vector<TSerialPortFacts>& Ports,
                                                 const std::string& ByIdDir = "/dev/serial/by-id",
                                                 const std::string& SysfsRoot = "/sys");

/// SerialPortReports over the ports QSerialPortInfo lists now.
std::vector<TSerialPortReport> PresentSerialPorts();

/// The offer made of Ports: the stable name in ByIdDir of each port where one leads to it (else
/// its own path), labelled with its description (or maker), ports a COM entry of ComMap already
/// opens left out, sorted by path.
std::vector<SerialDeviceInfo> SerialDevicesFrom(const std::vector<TFoundSerialPort>& Ports, const TSerialPortMap& ComMap,
                                                const std::string& ByIdDir = "/dev/serial/by-id");

/// SerialDevicesFrom over the ports QSerialPortInfo lists now.
std::vector<SerialDeviceInfo> PresentSerialDevices(const TSerialPortMap& ComMap);

}  // namespace vornik
