// COM port numbers and the device paths behind them. The program keeps COM 1..50 as the user
// sees them; on Linux COM n opens the path given in the INI section [SerialPorts] under key
// COM<n>, and without such a key /dev/ttyS<n-1>. The application reads the map once and hands
// it to the port links it creates; the INI file is only read here, never written.
#pragma once

#include <map>
#include <string>

namespace vornik {

/// COM number -> device path.
using TSerialPortMap = std::map<int, std::string>;

/// The device path of COM port n: the mapped path if the map has n, otherwise the platform's
/// default ("/dev/ttyS<n-1>" on Linux, "COM<n>" on Windows). Empty for n < 1 (no such port).
std::string SerialPortPath(int n, const TSerialPortMap& map);

/// Reads the keys COM<n> of section [SerialPorts] from an INI file. Section and key names are
/// matched without regard to case; values are trimmed (and a pair of surrounding double quotes
/// removed). Keys that are not COM followed by a number 1..255, and empty values, are ignored;
/// of two equal keys the first counts. A missing or unreadable file gives an empty map.
TSerialPortMap ReadSerialPortMap(const std::string& iniPath);

/// The same, from the INI text itself.
TSerialPortMap ParseSerialPortMap(const std::string& iniText);

}  // namespace vornik
