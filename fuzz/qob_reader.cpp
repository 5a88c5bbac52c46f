// Any bytes as a QOB package: the reader either loads them or leaves the loaded firmware as it
// was, never reading past the end. A package written from what it loaded reads back the same,
// provided the loaded image holds none of the markers (the format cannot tell them apart).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "firmware/PackageFiles.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

bool HoldsMarker(std::string_view S) {
  return S.find("Build:") != std::string_view::npos || S.find("StartAddr:") != std::string_view::npos ||
         S.find("FWInfo:") != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string content(reinterpret_cast<const char*>(Data), Size);
  TLoadedFirmware fw;
  fw.FWImage = "previous";
  fw.FWStartAddr = 12345;
  std::string checksum, error;
  if (!ReadQOBBytes(content, fw, checksum, error)) {
    Check(!error.empty());
    Check(fw.FWImage == "previous" && fw.FWStartAddr == 12345);
    return 0;
  }
  Check(fw.FWImage.size() <= content.size());
  Check(checksum.empty() == (fw.FWStartAddr != 0));
  if (fw.FWBuildStr.size() == kBuildStrLength && !HoldsMarker(fw.FWImage) && fw.FWStartAddr >= 0) {
    TLoadedFirmware back;
    std::string checksum2, error2;
    Check(ReadQOBBytes(MakeQOBContent(fw), back, checksum2, error2));
    Check(back.FWImage == fw.FWImage);
    Check(back.FWStartAddr == fw.FWStartAddr);
    Check(back.FWBuildStr == fw.FWBuildStr);
    Check(checksum2 == checksum);
  }
  return 0;
}
