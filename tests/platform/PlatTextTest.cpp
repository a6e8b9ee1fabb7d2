#include <gtest/gtest.h>

#include "platform/PlatExcept.h"
#include "platform/PlatText.h"

TEST(StrToInt, AcceptsOnlySignAndDigitsWithinTheSigned32BitRange) {
  EXPECT_EQ(plat::StrToInt("+00000000002147483647"), 2147483647);
  EXPECT_EQ(plat::StrToInt("-2147483648"), -2147483647 - 1);
  const std::string bad[] = {"2147483648", "-2147483649", "99999999999999999999", " 1", "1 ", "", "+", "-", "+-1",
                             "0x10", "1e3", std::string("12\0" "3", 4)};
  for (const std::string& text : bad) {
    int value = 12345;
    EXPECT_FALSE(plat::TryStrToInt(text, value) || value != 12345) << text;
    EXPECT_THROW(plat::StrToInt(text), plat::EConvertError) << text;
  }
}
