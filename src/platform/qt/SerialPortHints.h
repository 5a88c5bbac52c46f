// What a technician needs to know about a serial port on Linux beyond "it did not open":
//
// - Permission: device files of serial ports belong to a group (dialout on Debian) whose members
//   may open them. When this process may not read and write the device file, the message names
//   that group, so the fix (join it, log in again) is in the message itself.
// - Latency: a USB serial adapter holds received bytes until its latency timer runs out (16 ms by
//   default), so every answer of the device waits that long; above 1 ms the log says where to
//   lower it (sysfs "latency_timer" of the adapter's port).
//
// Plain C++ over the file system (stat, access, the group and password databases, sysfs); the
// sysfs root is a parameter so the tests can give a folder of their own.
#pragma once

#include <optional>
#include <string>

namespace vornik {

/// The name of the group that owns the file Path (its number when the group database has no
/// name for it); empty when Path cannot be examined.
std::string FileGroupName(const std::string& Path);

/// The explanation for a device file that may not be opened for lack of permission, naming the
/// group that owns it and the user to add to it ("/dev/ttyUSB0 belongs to group dialout; ...").
std::string SerialGroupHint(const std::string& DevicePath, const std::string& GroupName, const std::string& UserName);

/// SerialGroupHint for DevicePath when this process may not read and write it (access() says
/// EACCES); empty otherwise (the port is refused for another reason, e.g. held by someone else).
std::string SerialPermissionHint(const std::string& DevicePath);

/// The latency timer (ms) of the USB serial adapter behind DevicePath (symbolic links followed),
/// read from SysfsRoot/class/tty/NAME/device/latency_timer; nullopt when there is none.
std::optional<int> UsbSerialLatencyTimerMs(const std::string& DevicePath, const std::string& SysfsRoot = "/sys");

/// One log line when the adapter's latency timer is above 1 ms; empty otherwise.
std::string LatencyTimerHint(const std::string& DevicePath, const std::string& SysfsRoot = "/sys");

}  // namespace vornik
