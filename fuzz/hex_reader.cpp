// Any text into the Intel HEX reader: it must end with an image or with one message, never read
// past a line, and treat CR LF, LF and CR line ends alike.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "firmware/uHexfileToStr.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

std::string WithLF(std::string_view Text) {
  std::string out;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == '\r') {
      out += '\n';
      if (i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
    } else {
      out += Text[i];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  const THexReadResult r = ReadHexText(text);
  if (r.Ok) {
    Check(r.StartAddr >= 0);
    Check(!r.Image.empty());
    Check(static_cast<uint64_t>(r.StartAddr) + r.Image.size() <= kHexAddressSpace);
    Check(r.ErrorText.empty());
    if (r.InfoFound) Check(r.FWInfo.ToBytes().substr(0, 6) == "Build:");
  } else {
    Check(r.Image.empty());
    Check(!r.ErrorText.empty());
  }
  const THexReadResult lf = ReadHexText(WithLF(text));
  Check(lf.Ok == r.Ok);
  Check(lf.ErrorText == r.ErrorText);
  Check(lf.Image == r.Image);
  return 0;
}
