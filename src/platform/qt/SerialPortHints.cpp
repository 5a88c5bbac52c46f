#include "platform/qt/SerialPortHints.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vornik {

namespace {

namespace fs = std::filesystem;

// The sysfs attribute file of the tty behind DevicePath (the real node's name, links followed).
fs::path LatencyTimerFile(const std::string& DevicePath, const std::string& SysfsRoot) {
  std::error_code ec;
  fs::path node = fs::weakly_canonical(DevicePath, ec);
  if (ec || node.empty()) node = DevicePath;
  const std::string name = node.filename().string();
  if (name.empty()) return {};
  return fs::path(SysfsRoot) / "class" / "tty" / name / "device" / "latency_timer";
}

std::string CurrentUserName() {
#ifndef _WIN32
  if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
#endif
  return "$USER";
}

}  // namespace

std::string FileGroupName(const std::string& Path) {
#ifndef _WIN32
  struct stat st {};
  if (::stat(Path.c_str(), &st) != 0) return {};
  std::vector<char> buffer(16384);
  group g{};
  group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &g, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->gr_name != nullptr && found->gr_name[0] != '\0')
    return found->gr_name;
  return std::to_string(st.st_gid);
#else
  (void)Path;
  return {};
#endif
}

std::string SerialGroupHint(const std::string& DevicePath, const std::string& GroupName, const std::string& UserName) {
  return DevicePath + " belongs to group " + GroupName + "; add the user to that group (sudo adduser " + UserName +
         " " + GroupName + ") and log in again";
}

std::string SerialPermissionHint(const std::string& DevicePath) {
#ifndef _WIN32
  if (::access(DevicePath.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return {};
  const std::string group = FileGroupName(DevicePath);
  if (group.empty()) return {};
  return SerialGroupHint(DevicePath, group, CurrentUserName());
#else
  (void)DevicePath;
  return {};
#endif
}

std::optional<int> UsbSerialLatencyTimerMs(const std::string& DevicePath, const std::string& SysfsRoot) {
  const fs::path file = LatencyTimerFile(DevicePath, SysfsRoot);
  if (file.empty()) return std::nullopt;
  std::ifstream in(file);
  int ms = 0;
  if (!(in >> ms) || ms < 0) return std::nullopt;
  return ms;
}

std::string LatencyTimerHint(const std::string& DevicePath, const std::string& SysfsRoot) {
  const std::optional<int> ms = UsbSerialLatencyTimerMs(DevicePath, SysfsRoot);
  if (!ms || *ms <= 1) return {};
  const std::string file = LatencyTimerFile(DevicePath, SysfsRoot).string();
  return "Serial port " + DevicePath + ": the USB adapter's latency timer is " + std::to_string(*ms) +
         " ms, every answer waits for it; 1 ms is faster: echo 1 | sudo tee " + file;
}

}  // namespace vornik
