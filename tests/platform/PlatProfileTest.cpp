#include "platform/PlatProfile.h"

#include <gtest/gtest.h>


TEST(ProfileReader, AnswersLikeTheWindowsProfileReader) {
  const std::string longValue(3000, 'v'), quotedLong = "[P]\nA=\"" + longValue + "\"\n";
  const char* const cases[][4] = {  // text, section, key, value (nullptr: absent)
      {"[P]\r\nB=x\r\nA=7\r\n", "P", "A", "7"}, {"[P]\rB=x\rA=7", "P", "A", "7"}, {"[PQ]\nab=7\n", " pq ", "AB", "7"},
      {"  [ P ]  \n\t A \t=  two words \t\n", "P", "A", "two words"}, {"[P]\nA=  \"  x  \"  \n", "P", "A", "  x  "},
      {"[P]\nA='x'\n", "P", "A", "x"}, {"[P]\nA=\"x'\n", "P", "A", "\"x'"}, {"[P]\nA=\"\n", "P", "A", "\""},
      {"[P]\nA=\"\"x\"\"", "P", "A", "\"x\""}, {"[P]\nA=   \n", "P", "A", ""}, {"[P]\nA=b=c\n", "P", "A", "b=c"},
      {"[P]\nA\n", "P", "A", nullptr}, {"[Q]\nA=1\n", "P", "A", nullptr}, {"[P]\nB=1\n[Q]\nA=1\n", "P", "A", nullptr},
      {"A=1\n[P]\nB=2\n", "P", "A", nullptr}, {"[P]\nA=1\na=2\n", "P", "A", "1"}, {"", "P", "A", nullptr},
      {"[P]\n[Q=1]\nA=2\n", "Q=1", "A", "2"}, {"[P]\nA=1\n[p]\nB=3\n", "P", "B", nullptr},  // the first [P] only
      {quotedLong.c_str(), "P", "A", longValue.c_str() + 3000 - 2047}};  // unquoted, then cut to 2047
  for (const auto& c : cases) {
    std::string value = "<absent>";
    EXPECT_EQ(plat::TProfileFile(c[0]).Read(c[1], c[2], value), c[3] != nullptr) << c[0];
    EXPECT_EQ(value, c[3] ? c[3] : "<absent>") << c[0];
  }
}
