#include <gtest/gtest.h>

#include "platform/PlatExcept.h"
#include "platform/PlatText.h"

TEST(StrToInt, AcceptsOnlySignAndDigitsWithinTheSigned32BitRange) {
  const struct { std::string text; int value; } good[] = {
      {"0", 0}, {"+5", 5}, {"-0", 0}, {"007", 7}, {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
      {"00000000002147483647", 2147483647}};
  for (const auto& c : good) EXPECT_EQ(plat::StrToInt(c.text), c.value) << c.text;
  const std::string bad[] = {"2147483648", "-2147483649", "99999999999999999999", " 1", "1 ", "", "+", "-", "+-1",
                             "0x10", "1e3", std::string("12\0" "3", 4)};
  for (const std::string& text : bad) {
    int value = 12345;
    EXPECT_FALSE(plat::TryStrToInt(text, value) || value != 12345) << text;
    EXPECT_THROW(plat::StrToInt(text), plat::EConvertError) << text;
  }
}

TEST(Text, UpperCasesAsWindows1252TrimsControlBytesAndWordsACreateError) {
  // The edges of each mapped range, and the bytes between them that stay.
  EXPECT_EQ(plat::AnsiUpperCase(std::string("`az{\xDF\xE0\xF6\xF7\xF8\xFE\xFF\x99\x9A\x9B\x9C\x9D\x9E\x9F\0", 19)),
            std::string("`AZ{\xDF\xC0\xD6\xF7\xD8\xDE\x9F\x99\x8A\x9B\x8C\x9D\x8E\x9F\0", 19));
  const std::string left = std::string("\0\t\r\n \x1F", 6), right = std::string(" \x01\0", 3);
  EXPECT_EQ(plat::Trim(left + "a b\xA0" + right) + plat::TrimLeft(left + "!" + right) + plat::TrimRight(left + "!"),
            "a b\xA0!" + right + left + "!");
  EXPECT_STREQ(plat::EFCreateError("/d/x").what(), "Datei /d/x kann nicht erstellt werden");
}
