#include "app/AppPaths.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vornik {

namespace {

namespace fs = std::filesystem;

// Each missing folder along Folder, owner-only as the base-directory convention wants.
void CreateFolders(const fs::path& Folder) {
  fs::path p;
  for (const fs::path& part : Folder) {
    p /= part;
#ifndef _WIN32
    if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) return;
#else
    std::error_code ec;
    fs::create_directory(p, ec);
#endif
  }
}

// An absolute value of the variable Name, or Home / Fallback.
fs::path BaseFolder(const TAppEnvironment& Env, const char* Name, const fs::path& Home, const char* Fallback) {
  const fs::path value = Env.GetEnv ? Env.GetEnv(Name) : std::string();
  if (value.is_absolute()) return value;
  return Home / Fallback;
}

}  // namespace

TAppEnvironment SystemAppEnvironment() {
  TAppEnvironment env;
  env.GetEnv = [](const char* Name) {
    const char* v = std::getenv(Name);
    return std::string(v != nullptr ? v : "");
  };
#ifndef _WIN32
  env.FolderWritable = [](const std::string& Folder) { return ::access(Folder.c_str(), W_OK | X_OK) == 0; };
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) env.HomeFolder = pw->pw_dir;
#else
  env.FolderWritable = [](const std::string&) { return true; };
#endif
  return env;
}

TAppPaths AppPathsFor(const std::string& ExeFileName, const TAppEnvironment& Env) {
  const fs::path exe(ExeFileName);
  fs::path folder = exe.parent_path();
  if (folder.empty()) folder = ".";
  const std::string name = exe.stem().string();

  TAppPaths paths;
  paths.IniFileName = (folder / (name + ".ini")).string();
  paths.LogFileName = (folder / (name + ".log")).string();
  if (!Env.FolderWritable || Env.FolderWritable(folder.string())) return paths;

  fs::path home = Env.GetEnv ? Env.GetEnv("HOME") : std::string();
  if (!home.is_absolute()) home = Env.HomeFolder;
  // Without any home folder there is nowhere better than beside the executable.
  if (!home.is_absolute()) return paths;

  const fs::path config = BaseFolder(Env, "XDG_CONFIG_HOME", home, ".config") / "vornik";
  const fs::path state = BaseFolder(Env, "XDG_STATE_HOME", home, ".local/state") / "vornik";
  CreateFolders(config);
  CreateFolders(state);
  paths.IniFileName = (config / (name + ".ini")).string();
  paths.LogFileName = (state / (name + ".log")).string();
  paths.BesideExecutable = false;
  return paths;
}

TAppPaths AppPaths(const std::string& ExeFileName) { return AppPathsFor(ExeFileName, SystemAppEnvironment()); }

}  // namespace vornik
