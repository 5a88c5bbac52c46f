// Any text into TextToFWInfo, any bytes as a packed record: reading never fails, and after one
// pass through the text form (which drops what it cannot hold: milliseconds, numbers above
// 2^31) the text form is stable.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view raw(reinterpret_cast<const char*>(Data), Size);
  TFWInfo info;
  TextToFWInfo(raw, info);
  Check(TFWInfo::FromBytes(info.ToBytes()) == info);
  const std::string text1 = FWInfoToText(info);
  TFWInfo info2;
  Check(TextToFWInfo(text1, info2));
  const std::string text2 = FWInfoToText(info2);
  TFWInfo info3;
  TextToFWInfo(text2, info3);
  Check(FWInfoToText(info3) == text2);

  // The same bytes as a packed record.
  const TFWInfo packed = TFWInfo::FromBytes(raw);
  Check(packed.ToBytes().size() == kFWInfoSize);
  TFWInfo fromText;
  TextToFWInfo(FWInfoToText(packed), fromText);
  Check(fromText.BuildStr.size() == 11);
  PackedToDateTime(raw, 1);
  return 0;
}
