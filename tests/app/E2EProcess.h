// Running the real programs in end-to-end tests: a child process with its output captured and
// a deadline (killed by its pid when it runs over), and a background process (the simulator)
// whose output goes to a file and which is stopped by its pid. Loopback only.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace vornik::test {

struct TProcessResult {
  int ExitCode = -1;  ///< -1 when killed or not started
  bool TimedOut = false;
  std::string Stdout;
  std::string Stderr;
};

/// Runs Argv[0] with the arguments in WorkDir (empty: the current one); waits at most TimeoutMs.
TProcessResult RunProcess(const std::vector<std::string>& Argv, int TimeoutMs, const std::string& WorkDir = "");

class TBackgroundProcess {
 public:
  /// Starts Argv with stdout and stderr going to OutFile.
  TBackgroundProcess(const std::vector<std::string>& Argv, const std::string& OutFile);
  ~TBackgroundProcess();
  TBackgroundProcess(const TBackgroundProcess&) = delete;
  TBackgroundProcess& operator=(const TBackgroundProcess&) = delete;

  pid_t Pid() const { return FPid; }
  bool Running();
  /// SIGTERM, then SIGKILL after 3 s; returns the exit status word (or -1).
  int Stop();
  /// Waits until OutFile contains Text (at most TimeoutMs); true when it does.
  bool WaitForOutput(const std::string& Text, int TimeoutMs);
  std::string Output() const;

 private:
  pid_t FPid = -1;
  std::string FOutFile;
};

/// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();
/// True once something accepts connections on 127.0.0.1:Port (tries for at most TimeoutMs).
bool WaitForTcpListener(int Port, int TimeoutMs);

/// The built programs' folder (VORNIK_BIN_DIR, set by the test registration).
std::string BinDir();
std::string SourceDir();

}  // namespace vornik::test
