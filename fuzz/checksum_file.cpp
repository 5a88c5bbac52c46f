// Any bytes as the checksum file beside a firmware file: the reader finds a digest or none, never
// reads past the end, and a digest it finds is 64 lower-case hexadecimal digits that stand in the
// file (in any case) on a line of their own form.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/FirmwareLoader.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

std::string Lower(std::string_view S) {
  std::string out(S);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view bytes(reinterpret_cast<const char*>(Data), Size);
  // The first byte picks the firmware file's name, the rest is the checksum file.
  static const char* const kNames[] = {"fw.qob", "/a/b/fw.hex", "x", ""};
  const std::string name = Size > 0 ? kNames[Data[0] % 4] : "fw.qob";
  const std::string_view content = Size > 0 ? bytes.substr(1) : bytes;
  const auto digest = RecordedSha256(content, name);
  if (!digest) return 0;
  Check(digest->size() == 64);
  for (char c : *digest) Check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  Check(Lower(content).find(*digest) != std::string::npos);
  return 0;
}
