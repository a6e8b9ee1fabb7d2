#include <gtest/gtest.h>

#include <string>

#include "platform/PlatExcept.h"
#include "platform/PlatText.h"

namespace {

TEST(StrToInt, AcceptsOnlySignAndDigitsWithinRange) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"+5", true, 5},
      {"-0", true, 0},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"00000000002147483647", true, 2147483647},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"+-1", false, 0},
      {"0x10", false, 0},
      {"$10", false, 0},
      {"1e3", false, 0},
      {"12a", false, 0},
      {"1.0", false, 0},
  };
  for (const Case& c : cases) {
    int value = 12345;
    EXPECT_EQ(plat::TryStrToInt(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
      EXPECT_EQ(plat::StrToInt(c.text), c.value) << c.text;
    } else {
      EXPECT_EQ(value, 12345) << "untouched on failure: " << c.text;
      EXPECT_THROW(plat::StrToInt(c.text), plat::EConvertError) << c.text;
    }
  }
}

TEST(StrToInt, StopsAtEmbeddedZeroByte) {
  int value = 0;
  EXPECT_FALSE(plat::TryStrToInt(std::string("12\0" "3", 4), value));
}

TEST(StrToInt, RaisesGermanMessageWithTextAsGiven) {
  try {
    plat::StrToInt(" x\xFC");
    FAIL() << "no exception";
  } catch (const plat::EConvertError& e) {
    EXPECT_EQ(e.Message(), std::string("' x\xFC' ist kein g\xFC" "ltiger Integerwert"));
    EXPECT_STREQ(e.what(), e.Message().c_str());
  }
}

TEST(FileErrors, CarryTheirExactGermanMessages) {
  EXPECT_EQ(plat::EFOpenError("/d/a b.txt").Message(),
            std::string("Datei /d/a b.txt kann nicht ge\xF6" "ffnet werden"));
  EXPECT_EQ(plat::EFCreateError("/d/x").Message(), std::string("Datei /d/x kann nicht erstellt werden"));
  // All three are runtime exceptions callers can catch alike.
  const plat::Exception& base = plat::EFCreateError("f");
  EXPECT_EQ(base.Message(), "Datei f kann nicht erstellt werden");
}

TEST(AnsiUpperCase, MapsEveryByteAsWindows1252) {
  for (int c = 0; c < 256; ++c) {
    int expected = c;
    if (c >= 'a' && c <= 'z') expected = c - 0x20;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) expected = c - 0x20;
    if (c == 0x9A) expected = 0x8A;
    if (c == 0x9C) expected = 0x8C;
    if (c == 0x9E) expected = 0x8E;
    if (c == 0xFF) expected = 0x9F;
    const std::string in(1, static_cast<char>(c));
    EXPECT_EQ(static_cast<unsigned char>(plat::AnsiUpperCase(in)[0]), expected) << "byte " << c;
  }
}

TEST(AnsiUpperCase, SpotChecksAndKeepsLength) {
  EXPECT_EQ(plat::AnsiUpperCase("caf\xE9 \xF7 \xFF \x9A\xFC"), "CAF\xC9 \xF7 \x9F \x8A\xDC");
  EXPECT_EQ(plat::AnsiUpperCase(std::string("a\0b", 3)), std::string("A\0B", 3));
  EXPECT_EQ(plat::AnsiUpperCase(""), "");
}

TEST(UpperCase, TouchesOnlyAsciiLetters) {
  EXPECT_EQ(plat::UpperCase("abc xyz {`} \xE9\xFF"), "ABC XYZ {`} \xE9\xFF");
}

TEST(Trim, RemovesControlBytesAndBlanksOnly) {
  const std::string padded = std::string("\0\t\r\n \x1F", 6) + "a b\xA0" + std::string(" \x01\0", 3);
  EXPECT_EQ(plat::Trim(padded), "a b\xA0");
  EXPECT_EQ(plat::TrimLeft(padded), "a b\xA0" + std::string(" \x01\0", 3));
  EXPECT_EQ(plat::TrimRight(padded), std::string("\0\t\r\n \x1F", 6) + "a b\xA0");
  EXPECT_EQ(plat::Trim("   "), "");
  EXPECT_EQ(plat::TrimLeft(""), "");
  EXPECT_EQ(plat::Trim("!"), "!");
}

TEST(IntToStr, WritesPlainDecimal) {
  EXPECT_EQ(plat::IntToStr(0), "0");
  EXPECT_EQ(plat::IntToStr(-2147483648LL), "-2147483648");
  EXPECT_EQ(plat::IntToStr(1234567890123LL), "1234567890123");
}

}  // namespace
