// ASYSI answers of any content and length into the identification record decoder: it must never
// fail outside its one failure (fewer than 25 bytes), and its text must be valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "firmware/KRVDataUtils.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    size_t follow = 0;
    if (b >= 0x80) {
      if ((b & 0xE0) == 0xC0) follow = 1;
      else if ((b & 0xF0) == 0xE0) follow = 2;
      else if ((b & 0xF8) == 0xF0) follow = 3;
      else return false;
    }
    if (i + follow >= s.size() && follow > 0) return false;
    for (size_t k = 1; k <= follow; ++k) {
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += follow + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view raw(reinterpret_cast<const char*>(Data), Size);
  for (const std::string& payload : {std::string(raw), "ASYSI" + std::string(raw)}) {
    TDeviceInfo info;
    info.ProjectNumber = 0xABCD;
    std::string text;
    const int failed = DecodeDeviceInfo(payload, info, text);
    std::string_view rest = payload;
    if (rest.substr(0, 5) == "ASYSI") rest.remove_prefix(5);
    const size_t used = std::min<size_t>(rest.size(), 999);
    Check(failed == (used < 25 ? 1 : 0));
    if (failed) Check(info.ProjectNumber == 0xABCD);
    else Check(info.ExtraData.size() == (used > 66 ? used - 66 : 0));
    Check(ValidUtf8(text));
    Check(text == DeviceInfoToStr(payload));
  }
  if (Size > 0) {
    const std::string_view param = raw.substr(0, std::min<size_t>(Size, 4));
    const int32_t v = ParamStrToInt(param);
    if (param.size() == 4) Check(DWordToParamStr(static_cast<uint32_t>(v)) == param);
    if (param.size() == 2) Check(WordToParamStr(static_cast<int16_t>(v)) == param);
  }
  return 0;
}
