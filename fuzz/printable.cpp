// Log text helpers on arbitrary bytes: MakePrintable leaves no control character and only
// grows by its codes; DecimalDump reads back to the input; ToConsoleText leaves no control
// character and never grows the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "logging/logUnit.h"
#include "util/MorvelUtils.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

bool HasControl(std::string_view Text) {
  for (const char c : Text)
    if (static_cast<unsigned char>(c) < 32) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);

  const std::string codes = MakePrintable(input, true);
  Check(!HasControl(codes));
  Check(codes.size() >= input.size() && codes.size() <= 3 * input.size());
  const std::string dots = MakePrintable(input, false);
  Check(dots.size() == input.size() && !HasControl(dots));
  for (size_t k = 0; k < input.size(); ++k)
    Check(static_cast<unsigned char>(input[k]) < 32 ? dots[k] == '.' : dots[k] == input[k]);

  const std::string dump = DecimalDump(input);
  Check(dump.size() == 4 * input.size());
  for (size_t k = 0; k < input.size(); ++k) {
    const std::string_view field = std::string_view(dump).substr(4 * k, 4);
    Check(field[3] == ' ');
    const int v = (field[0] - '0') * 100 + (field[1] - '0') * 10 + (field[2] - '0');
    Check(v == static_cast<unsigned char>(input[k]));
  }

  const std::string console = ToConsoleText(input);
  Check(!HasControl(console));
  Check(console.size() <= input.size());
  return 0;
}
