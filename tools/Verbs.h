// The verbs of vornik-tool, in one table: name, whether it talks to devices (runs on the Qt loop
// of a QCoreApplication), and the function that runs it with the arguments after its name.
#pragma once

#include <QElapsedTimer>

#include <string>
#include <string_view>
#include <vector>

namespace vornik {

using TVerbArgs = std::vector<std::string>;
using TVerbFunction = int (*)(const TVerbArgs& Args, const QElapsedTimer& Clock);

struct TVerb {
  const char* Name;
  bool Device;
  TVerbFunction Run;
};

// Offline verbs (FileVerbs.cpp).
int RunHex2Qob(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunHex2Bin(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunInfo(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunFrameDecode(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunFrameEncode(const TVerbArgs& Args, const QElapsedTimer& Clock);
// Device verbs (DeviceVerbs.cpp, FleetVerb.cpp, ListenVerb.cpp).
int RunIdentify(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunRestart(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunUpdate(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunFlashRead(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunFlashWrite(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunFleet(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunListen(const TVerbArgs& Args, const QElapsedTimer& Clock);
int RunScan(const TVerbArgs& Args, const QElapsedTimer& Clock);
// The serial ports present (PortsVerb.cpp).
int RunPorts(const TVerbArgs& Args, const QElapsedTimer& Clock);

inline const std::vector<TVerb>& VerbTable() {
  static const std::vector<TVerb> verbs = {
      {"hex2qob", false, RunHex2Qob},         {"hex2bin", false, RunHex2Bin},
      {"info", false, RunInfo},               {"frame-decode", false, RunFrameDecode},
      {"frame-encode", false, RunFrameEncode}, {"identify", true, RunIdentify},
      {"restart", true, RunRestart},          {"update", true, RunUpdate},
      {"flash-read", true, RunFlashRead},     {"flash-write", true, RunFlashWrite},
      {"fleet", true, RunFleet},              {"listen", true, RunListen},
      {"scan", true, RunScan},                {"ports", false, RunPorts},
  };
  return verbs;
}

inline const TVerb* FindVerb(std::string_view Name) {
  for (const TVerb& v : VerbTable())
    if (Name == v.Name) return &v;
  return nullptr;
}

}  // namespace vornik
