#include "engine/HUtils.h"

#include <gtest/gtest.h>

#include "platform/PlatProcess.h"
#include "platform/PlatTime.h"

namespace {

TEST(FieldData, DecodesAndFindsFieldsByTrimmedCaseInsensitiveNameJoiningRepeats) {
  const std::string text("a/b.c AZaz09 C:\\d-_*~\n+=&%\0\x7F\xFF", 29);
  EXPECT_EQ(UrlEncode(text), "a/b.c+AZaz09+C%3A\\d%2D%5F%2A%7E%0A%2B%3D%26%25%00%7F%FF");
  EXPECT_EQ(UrlDecode(UrlEncode(text)), text);
  // A malformed escape stays as it is.
  EXPECT_EQ(UrlDecode("a+b%41%e9%zz%4g%4G%4a%4A%6f%6F%%41%00x%4"), std::string("a bA\xE9%zz%4g%4GJJoo%A\0x%4", 24));
  EXPECT_EQ(UrlDecode("abc%"), "abc%");
  const std::string m = "%231NOT_AVAILABLE%231", marker = NotAvailable;
  const std::vector<std::vector<std::string>> cases = {  // name, field data, value ("none" when absent)
      {"c", "a=1&b=2", "none"},   {"A", "a=1&b=2&a=3&a=4", "1\r\n3\r\n4"}, {"a", "a=&b=2", ""},
      {"a", "a=b=c", "b=c"},      {" a ", "+a%20=v", "v"},                 {"b", "a=1&b", "none"},
      {"a", "flag&a=1", "none"},  // a piece without "=" joins the next name
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
  EXPECT_EQ(HttpDate(plat::EncodeDateTime({2024, 3, 17, 12, 0, 0, 0})), "Sun, 17 Mar 2024 11:00:00 GMT");
  EXPECT_EQ(HttpDate(plat::EncodeDateTime({2024, 4, 15, 12, 0, 0, 0})), "Mon, 15 Apr 2024 10:00:00 GMT");
}

}  // namespace
