#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/CommaText.h"

using namespace vornik;
using List = std::vector<std::string>;

TEST(CommaText, FileListsSplitAtCommasAndUnquotedBlanks) {
  struct Case {
    const char* text;
    List entries;
  };
  const Case cases[] = {
      {"", {}},
      {"a.bin", {"a.bin"}},
      {"a.bin,b.bin", {"a.bin", "b.bin"}},
      {"a.bin b.bin", {"a.bin", "b.bin"}},
      {"a.bin, b.bin", {"a.bin", "b.bin"}},
      {"\"/x/my file.bin\",b", {"/x/my file.bin", "b"}},
      {"\"say \"\"hi\"\".bin\" c", {"say \"hi\".bin", "c"}},
      {"a,,b", {"a", "", "b"}},
      {"  a  ", {"a"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseCommaText(c.text, true), c.entries) << c.text;
  // The address list keeps blanks inside unquoted entries.
  EXPECT_EQ(ParseCommaText("host a:1,b:2"), (List{"host a:1", "b:2"}));
  // Written and read back unchanged, whatever the names hold.
  const List names = {"/tmp/a b.bin", "c,d.bin", "q\"uote.bin", "plain.bin"};
  EXPECT_EQ(ParseCommaText(ToCommaText(names), true), names);
  EXPECT_EQ(ToCommaText(names), "\"/tmp/a b.bin\",\"c,d.bin\",\"q\"\"uote.bin\",plain.bin");
}
