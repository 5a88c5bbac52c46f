// Parses a value with a date pattern: the input up to the first newline is the pattern, the
// rest is the value. The result is either -1 or a date-time that decodes into valid fields and
// encodes back to itself.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/MorvelUtils.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);
  const size_t cut = input.find('\n');
  const std::string_view format = input.substr(0, cut);
  const std::string_view value = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

  const TDateTime r = StrToDateTimeByFormat(format, value, 2026);
  if (r == -1.0) return 0;
  Check(std::isfinite(r));
  Check(r >= -693594.0 && r < 2958466.0);  // years 1 to 9999
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(r, y, mo, d, h, mi, s, ms);
  TDateTime back = 0;
  Check(TryEncodeDateTime(y, mo, d, h, mi, s, ms, back));
  Check(std::fabs(back - r) < 1e-8);
  return 0;
}
