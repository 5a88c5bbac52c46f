// Any argument list into the unattended run's parser (arguments separated by NUL bytes): it must
// end with a complete request or a usage message, switches are found as described (first
// character "-", "/" or "\", the rest without regard to case), and numbers are non-negative and
// read back as written.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/uCmdLineArgs.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

bool IsSwitch(std::string_view Arg, std::string_view Name) {
  if (Arg.empty() || (Arg[0] != '-' && Arg[0] != '/' && Arg[0] != '\\')) return false;
  Arg.remove_prefix(1);
  if (Arg.size() != Name.size()) return false;
  for (std::size_t i = 0; i < Arg.size(); ++i) {
    char a = Arg[i], b = Name[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 2048) return 0;
  std::vector<std::string> args;
  std::string cur;
  for (std::size_t i = 0; i < Size; ++i) {
    if (Data[i] == 0) {
      args.push_back(cur);
      cur.clear();
      if (args.size() >= 40) break;
    } else {
      cur.push_back(static_cast<char>(Data[i]));
    }
  }
  if (args.size() < 40) args.push_back(cur);

  for (const char* name : {"start", "?", "fw", "ip", "port", "baud", "address"}) {
    bool any = false;
    for (const auto& a : args) any = any || IsSwitch(a, name);
    Check(HasCmdLineSwitch(args, name) == any);
  }
  Check(IsCommandLineMode(args) == (HasCmdLineSwitch(args, "start") || HasCmdLineSwitch(args, "?")));

  for (const auto& a : args) {
    if (const auto n = CmdLineNumber(a)) {
      Check(*n >= 0);
      Check(CmdLineNumber(std::to_string(*n)) == n);
    }
  }

  const TCmdLineRequest r = ParseCmdLineRequest(args);
  if (r.UsageMessage.empty()) {
    Check(!HasCmdLineSwitch(args, "?"));
    Check(!r.FWFile.empty());
    Check(r.Address >= 0 && r.Port >= 0 && r.Baud >= 0);
    Check(r.TCPIP == !r.Host.empty());
    if (r.TCPIP) Check(r.Baud == 0);
  } else {
    Check(r.UsageMessage.size() < 1000);
  }
  Check(UsageLines().size() == 6);
  return 0;
}
