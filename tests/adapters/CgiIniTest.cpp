#include "adapters/CgiIni.h"

#include <gtest/gtest.h>

namespace {

const std::string none = "#1NOT_AVAILABLE#1";

// 51 sections are kept, a 52nd's keys land nowhere (not in the 51st); a line
// is cut at 4095 bytes, its rest lost.
TEST(CGIIniFile, ReadsSectionsAndKeysByItsOwnLineRules) {
  struct Case {
    const char* why;
    std::string text, section, key, value;
  };
  std::string many;
  for (int i = 1; i <= 52; ++i) many += "[S" + std::to_string(i) + "]\r\nK=" + std::to_string(i) + "\r\n";
  const std::string value(4093, 'v'), cut = "[S]\r\nA=" + value + "xyz=1\r\nB=2\r\n";
  const std::vector<Case> cases = {
      {"names trimmed, value trimmed", "[ cgi ]]\r\n  \tRequest Method =  GET \r\n", "CGI", "REQUEST METHOD", "GET"},
      {"only CR ends a line", "[S]\nA=1\r\n", "S", "A", none},
      {"repeated header continues current", "[S]\r\n[T]\r\n[S]\r\nA=1\r\n", "T", "A", "1"},
      {"= at 32nd character", "[S]\r\n" + std::string(31, 'K') + "=v\r\n", "S", std::string(31, 'K'), "v"},
      {"= at 33rd character", "[S]\r\n" + std::string(32, 'K') + "=v\r\n", "S", std::string(32, 'K'), none},
      {"51st section kept", many, "S51", "K", "51"},
      {"52nd section dropped", many, "S52", "K", none},
      {"line cut at 4095", cut, "S", "A", value},
      {"... its rest lost", cut, "S", "XYZ", none},
      {"... the next line read", cut, "S", "B", "2"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TCGIIniFile::FromText(c.text).ReadString(c.section, c.key, none), c.value) << c.why;
}

}  // namespace
