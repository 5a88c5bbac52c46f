// Where the program keeps its settings file and its log. A copy run from a folder it may write to
// keeps them beside the executable, with the executable's base name and the extensions ".ini"
// and ".log", as every existing setup has them. An installed copy (in /usr/bin, a folder its user
// cannot write to) keeps them in the user's own folders instead:
//   $XDG_CONFIG_HOME/vornik/NAME.ini   ($XDG_CONFIG_HOME defaults to ~/.config)
//   $XDG_STATE_HOME/vornik/NAME.log    ($XDG_STATE_HOME defaults to ~/.local/state)
// where NAME is the executable's base name ("vornik"). A relative XDG value is ignored, as the
// base-directory convention asks. The two folders are created (mode 0700) when missing.
//
// The program's entries, the window and the command-line run all ask here, so the [SerialPorts]
// map, the persisted controls, the update settings and the log always come from the same place.
#pragma once

#include <functional>
#include <string>

namespace vornik {

struct TAppPaths {
  std::string IniFileName;
  std::string LogFileName;
  bool BesideExecutable = true;  ///< false: the user's configuration and state folders
};

/// What the decision looks at; the tests give their own.
struct TAppEnvironment {
  std::function<std::string(const char* Name)> GetEnv;             ///< empty text when unset
  std::function<bool(const std::string& Folder)> FolderWritable;  ///< may this process create files there
  std::string HomeFolder;  ///< used when $HOME is empty (the account's home from the password database)
};

/// The running process's environment (getenv, access(W_OK), the password database).
TAppEnvironment SystemAppEnvironment();

/// The settings and log paths for the executable ExeFileName (an absolute path) in Env.
TAppPaths AppPathsFor(const std::string& ExeFileName, const TAppEnvironment& Env);

/// AppPathsFor with SystemAppEnvironment().
TAppPaths AppPaths(const std::string& ExeFileName);

}  // namespace vornik
