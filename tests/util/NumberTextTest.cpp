#include <gtest/gtest.h>

#include <optional>

#include "util/NumberText.h"

using namespace vornik;

TEST(NumberText, DecimalAndDollarHexadecimal) {
  struct Case {
    const char* text;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"0", 0},           {"178556", 178556},    {" 42 ", 42},          {"-7", -7},
      {"+7", 7},          {"$10", 16},           {"$ff", 255},          {"$FFFFFFFF", -1},
      {"-$10", -16},      {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt}, {"$123456789", std::nullopt}, {"", std::nullopt},
      {"$", std::nullopt}, {"-", std::nullopt},   {"12a", std::nullopt}, {"0x10", std::nullopt},
      {"1 2", std::nullopt}, {"$1G", std::nullopt}, {"99999999999999999999", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberText, UnsignedUpTo32Bits) {
  struct Case {
    const char* text;
    std::optional<uint32_t> value;
  };
  const Case cases[] = {
      {"0", 0u},           {" 255 ", 255u},          {"4294967295", 4294967295u}, {"$FFFFFFFF", 4294967295u},
      {"$2B97C", 178556u}, {"4294967296", std::nullopt}, {"-1", std::nullopt},     {"+1", std::nullopt},
      {"-$1", std::nullopt}, {"", std::nullopt},        {"$", std::nullopt},        {"1e3", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseUnsigned(c.text), c.value) << '"' << c.text << '"';
}
