#include "engine/HUtils.h"

#include <gtest/gtest.h>

#include "platform/PlatProcess.h"
#include "platform/PlatTime.h"

namespace {

TEST(UrlCoding, EncodesAllButLettersDigitsDotAndSlashesAndDecodesBack) {
  const std::vector<std::pair<std::string, std::string>> encoded = {
      {" ", "+"}, {"a/b.c", "a/b.c"}, {"AZaz09", "AZaz09"}, {"C:\\d\\f.txt", "C%3A\\d\\f.txt"},
      {"-_*~\n", "%2D%5F%2A%7E%0A"}, {"a+b=c&d%", "a%2Bb%3Dc%26d%25"}, {std::string("\0\x7F\xFF", 3), "%00%7F%FF"},
  };
  for (const auto& [text, url] : encoded) EXPECT_EQ(UrlEncode(text), url) << text;
  // A malformed escape stays as it is.
  const std::vector<std::pair<std::string, std::string>> decoded = {
      {"a+b", "a b"}, {"%41%e9", "A\xE9"}, {"+%C3", " \xC3"}, {"abc%4", "abc%4"}, {"abc%", "abc%"},
      {"%zz%4g%4G%4a%4A%6f%6F", "%zz%4g%4GJJoo"}, {"%%41", "%A"}, {"%00x", std::string("\0x", 2)},
  };
  for (const auto& [url, text] : decoded) EXPECT_EQ(UrlDecode(url), text) << url;
}

TEST(GetFieldValue, FindsFieldsByTrimmedCaseInsensitiveNameAndJoinsRepeats) {
  const std::string m = "%231NOT_AVAILABLE%231", marker = NotAvailable;
  const std::vector<std::vector<std::string>> cases = {  // name, field data, value ("none" when absent)
      {"A", "a=1&b=2", "1"},        {"c", "a=1&b=2", "none"},  {"a", "a=1&b=2&a=3&a=4", "1\r\n3\r\n4"},
      {"a", "a=&b=2", ""},          {"a", "a=b=c", "b=c"},     {"a", "a=x+y%41", "x yA"},
      {" a ", "+a%20=v", "v"},      {"b", "a=1&b", "none"},
      {"a", "flag&a=1", "none"},    // a piece without "=" joins the next name
      // A trailing run of marker values counts as absent, never the first.
      {"a", "a=1&a=" + m + "&a=" + m, "1"},
      {"a", "a=1&a=" + m + "&a=3", "1\r\n" + marker + "\r\n3"},
      {"a", "a=" + m + "&a=" + m, marker},
  };
  for (const auto& c : cases) EXPECT_EQ(GetFieldValue(c[0], c[1], "none"), c[2]) << c[0] << " in " << c[1];
  EXPECT_EQ(GetFieldNamesOf("a=1&a=2&flag&x%41=3&a=4"), (std::vector<std::string>{"a", "xA", "a"}));
}

TEST(HttpDate, GivesTheUtcTimeWithEnglishNames) {
  plat::SetEnv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");  // for this test program only
  EXPECT_EQ(HttpDate(plat::EncodeDateTime({2024, 3, 15, 12, 0, 0, 0})), "Fri, 15 Mar 2024 11:00:00 GMT");
  EXPECT_EQ(HttpDate(plat::EncodeDateTime({2024, 4, 15, 12, 0, 0, 0})), "Mon, 15 Apr 2024 10:00:00 GMT");
}

TEST(BuildFileName, ComposesDirectoryStemAndExtension) {
  const std::vector<std::vector<std::string>> cases = {  // directory, extension, name, file name
      {"Log", "Log", "forum.cgi", "/opt/app/Log/forum.Log"},  {"Log", "Log", "/var/x.y", "/var/x.y"},
      {"/var/log/", "Log", "forum", "/var/log/forum.Log"},    {"", "", "a.b.c", "/opt/app/a.b.c"},
      {"./x/./y", "tmp", "f", "/opt/app/x/y/f.tmp"},         {"//srv/share", "", "f", "/srv/share/f."},
      {"Log", "Log", "sub/f.txt", "/opt/app/Log/sub/f.Log"},  {"", "", "a.b/c", "/opt/app/a.b/c."},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildFileName("/opt/app/forum.cgi", c[0], c[1], c[2]), c[3]) << c[0] << c[2];
}

}  // namespace
