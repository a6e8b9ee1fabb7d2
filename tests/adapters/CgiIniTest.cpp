#include "adapters/CgiIni.h"

#include <gtest/gtest.h>

namespace {

const std::string none = "#1NOT_AVAILABLE#1";

TEST(CGIIniFile, ReadsSectionsAndKeysByItsOwnLineRules) {
  struct Case {
    const char* why;
    std::string text, section, key, value;
  };
  const std::vector<Case> cases = {
      {"names trimmed, value trimmed", "[ cgi ]]\r\n  \tRequest Method =  GET \r\n", "CGI", "REQUEST METHOD", "GET"},
      {"only CR ends a line", "[S]\nA=1\r\n", "S", "A", none},
      {"repeated header continues current", "[S]\r\n[T]\r\n[S]\r\nA=1\r\n", "T", "A", "1"},
      {"... not the repeated one", "[S]\r\n[T]\r\n[S]\r\nA=1\r\n", "S", "A", none},
      {"= at 32nd character", "[S]\r\n" + std::string(31, 'K') + "=v\r\n", "S", std::string(31, 'K'), "v"},
      {"= at 33rd character", "[S]\r\n" + std::string(32, 'K') + "=v\r\n", "S", std::string(32, 'K'), none},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TCGIIniFile::FromText(c.text).ReadString(c.section, c.key, none), c.value) << c.why;
}

TEST(CGIIniFile, KeepsFiftyOneSectionsAndCutsLinesAt4095) {
  std::string text;
  for (int i = 1; i <= 52; ++i) text += "[S" + std::to_string(i) + "]\r\nK=" + std::to_string(i) + "\r\n";
  text += "[S1]\r\nL=late\r\n";
  const TCGIIniFile many = TCGIIniFile::FromText(text);
  EXPECT_EQ(many.Sections().size(), 51u);
  EXPECT_EQ(many.ReadString("S51", "K", none), "51");
  // The 52nd section's keys land nowhere, nor do those after a repeat of a kept name.
  EXPECT_EQ(many.ReadString("S51", "L", none), none);

  const std::string value(4093, 'v');
  const TCGIIniFile cut = TCGIIniFile::FromText("[S]\r\nA=" + value + "xyz=1\r\nB=2\r\n");
  EXPECT_EQ(cut.ReadString("S", "A", none), value);
  EXPECT_EQ(cut.ReadString("S", "XYZ", none), none);
  EXPECT_EQ(cut.ReadString("S", "B", none), "2");
}

}  // namespace
