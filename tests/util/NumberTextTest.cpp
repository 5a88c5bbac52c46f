#include <gtest/gtest.h>

#include <clocale>
#include <optional>
#include <string>

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

TEST(NumberText, DecimalFractions) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"21.5", 21.5},      {"21,5", 21.5},      {"-0.5", -0.5},      {"+1.25", 1.25},    {" 7 ", 7.0},
      {"12", 12.0},        {"12.", 12.0},       {".5", 0.5},         {"1e3", 1000.0},    {"2.5E-1", 0.25},
      {"-0", -0.0},        {"", std::nullopt},  {".", std::nullopt}, {"-", std::nullopt}, {"1.2.3", std::nullopt},
      {"1,2,3", std::nullopt}, {"0x10", std::nullopt}, {"inf", std::nullopt}, {"nan", std::nullopt},
      {"1e", std::nullopt}, {"1e+", std::nullopt}, {"1e999", std::nullopt}, {"12a", std::nullopt},
      {"1 2", std::nullopt}, {"--1", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberText, DecimalFractionsIgnoreTheProcessLocale) {
  // The Qt programs take the C library's locale from the environment; where its separator is a
  // comma, the C library reads "21.5" as 21. The result here must not change.
  const std::string before = std::setlocale(LC_ALL, nullptr);
  const char* comma = nullptr;
  for (const char* name : {"hu_HU.UTF-8", "hu_HU.utf8", "de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      comma = name;
      break;
    }
  }
  if (comma == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_EQ(ParseDecimal("21.5"), 21.5) << comma;
  EXPECT_EQ(ParseDecimal("21,5"), 21.5) << comma;
  EXPECT_EQ(ParseDecimal("-1.25e1"), -12.5) << comma;
  std::setlocale(LC_ALL, before.c_str());
}
