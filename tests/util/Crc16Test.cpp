#include <gtest/gtest.h>

#include "util/MorvelUtils.h"

using namespace vornik;

TEST(Crc16, CheckValueAndEmpty) {
  EXPECT_EQ(Crc16("123456789"), 0x4B37);
  EXPECT_EQ(Crc16(""), 0xFFFF);
}

TEST(IsBitSet, BitsAboveFifteenAreClear) {
  EXPECT_TRUE(IsBitSet(0x8001, 0));
  EXPECT_TRUE(IsBitSet(0x8001, 15));
  EXPECT_FALSE(IsBitSet(0x8001, 1));
  EXPECT_FALSE(IsBitSet(0xFFFF, 16));
}
