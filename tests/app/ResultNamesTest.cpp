// Scripts read vornik-tool's result names: every name a device verb can print is in the manual
// page, under RESULTS, beside its exit status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/DeviceOperations.h"
#include "app/ListenRun.h"
#include "app/UpdateSession.h"

namespace vornik {
namespace {

std::string ManPage() {
  const char* d = std::getenv("VORNIK_SOURCE_DIR");
  std::ifstream in(std::string(d ? d : VORNIK_DEFAULT_SOURCE_DIR) + "/docs/man/vornik-tool.1");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// As roff writes it: a hyphen in a name is "\-".
std::string Roff(std::string Name) {
  for (std::size_t p = Name.find('-'); p != std::string::npos; p = Name.find('-', p + 2)) Name.replace(p, 1, "\\-");
  return Name;
}

TEST(ResultNames, EveryNameIsInTheManualPage) {
  const std::string page = ManPage();
  const std::size_t results = page.find(".SH RESULTS");
  ASSERT_NE(results, std::string::npos);
  const std::string section = page.substr(results, page.find(".SH ", results + 1) - results);
  std::vector<std::string> names = {"ok",       "failed",  "usage",        "no-link",
                                    "no-answer", "current", "write-failed", "unexpected-answer",
                                    TListenRun::kNotSeenResult};
  for (int r = 0; r <= static_cast<int>(TFWUploadResult::fwrUnknownErrorCode); ++r)
    names.push_back(UploadResultName(static_cast<TFWUploadResult>(r)));
  for (int r = 0; r <= static_cast<int>(TFlashRWResult::freInvalidAnswer); ++r)
    names.push_back(FlashResultName(static_cast<TFlashRWResult>(r)));
  for (const std::string& n : names) {
    const std::string roff = Roff(n);
    // A whole word of the section: a bold name ends its line or comes before a comma.
    const bool found = section.find(".B " + roff + "\n") != std::string::npos ||
                       section.find(".BR " + roff + " ") != std::string::npos ||
                       section.find(".BR " + roff + "\n") != std::string::npos;
    EXPECT_TRUE(found) << n;
  }
}

}  // namespace
}  // namespace vornik
