// The serial devices present on the machine, for the technician to pick by name beside the
// numbered COM entries: a USB-RS485 adapter appears as /dev/ttyUSB0 or /dev/ttyACM0 and may get
// another number after the next plug-in, so where the system keeps a stable name for it under
// /dev/serial/by-id/ that name is offered instead. A device that a COM entry already opens
// (COM n is /dev/ttyS<n-1> or the path of [SerialPorts]) is left out: it is in the list once.
//
// SerialDevicesFrom is the plain rule over a list of ports (testable with a folder of links of
// its own); PresentSerialDevices feeds it what QSerialPortInfo finds now.
#pragma once

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

/// The offer made of Ports: the stable name in ByIdDir of each port where one leads to it (else
/// its own path), labelled with its description (or maker), ports a COM entry of ComMap already
/// opens left out, sorted by path.
std::vector<SerialDeviceInfo> SerialDevicesFrom(const std::vector<TFoundSerialPort>& Ports, const TSerialPortMap& ComMap,
                                                const std::string& ByIdDir = "/dev/serial/by-id");

/// SerialDevicesFrom over the ports QSerialPortInfo lists now.
std::vector<SerialDeviceInfo> PresentSerialDevices(const TSerialPortMap& ComMap);

}  // namespace vornik
