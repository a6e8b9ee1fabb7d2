#include "engine/HUtilsCookie.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/PlatTime.h"
#include "tests/support/FakeEngine.h"

namespace {

class Cookie : public ::testing::Test {
 protected:
  Cookie() {
    engine.AutoHttpHeader = false;
    cookie.CookieName = "NEWSGROUP";
  }

  // What one SetCookie call writes.
  std::string Header(const std::string& value, double expires) {
    engine.Output.clear();
    cookie.SetCookie(value, expires);
    return engine.Output;
  }

  std::string Read(const std::string& request) {
    engine.Variables["HTTP_COOKIE"] = request;
    std::string value = "unset";
    cookie.GetCookie("none", value);
    return value;
  }

  FakeEngine engine;
  THttpCookie cookie{nullptr};
};

TEST_F(Cookie, WritesItsLineAsConfigured) {
  // Value, domain, path, secure, days from now (within 20 seconds a session
  // cookie), the line with <date> for the expiry.
  const std::tuple<const char*, const char*, const char*, bool, double, const char*> cases[] = {
      {"N=Anna Maria&E=a@b.c", "", "", false, 60, "NEWSGROUP=N%3DAnna+Maria%26E%3Da%40b.c; Path=/; expires=<date>"},
      {"v", "", "", false, -10.0 / 86400, "NEWSGROUP=v; Path=/;"},
      {"v", "", "", false, -30.0 / 86400, "NEWSGROUP=v; Path=/; expires=<date>"},
      {"v", " example.org ", " /forum ", false, 1, "NEWSGROUP=v; Path=/forum; Domain=example.org; expires=<date>"},
      {"v", "example.org", "", true, 0, "NEWSGROUP=v; Path=/; Domain=example.org; secure"},
      {"v", "", "", true, 60, "NEWSGROUP=v; Path=/; expires=<date>; secure"},
  };
  for (const auto& [value, domain, path, secure, ahead, expected] : cases) {
    cookie.Domain = domain, cookie.Path = path, cookie.Secure = secure;
    const double expires = plat::Now() + ahead;
    std::string line = expected;
    if (size_t at = line.find("<date>"); at != std::string::npos) line.replace(at, 6, HttpDate(expires));
    EXPECT_EQ(Header(value, expires), "set-cookie:" + line + "\r\n");
  }
}

TEST_F(Cookie, ReadsTheFirstMatchingPairAndScramblesItsValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"a=1; NEWSGROUP=N%3DAnna%26E%3Da%40b.c", "N=Anna&E=a@b.c"}, {"NEWSGROUP=first; NEWSGROUP=second", "first"},
      {"cookie=a=1; newsgroup=y", "y"},     {"a=1;  NEWS%47ROUP =coded+name", "coded name"},
      {"NEWSGROUPX=1; XNEWSGROUP=2", "none"}, {"NEWSGROUP=; a=1", "none"}, {"NEWSGROUP", "none"},
  };
  for (const auto& [request, value] : cases) EXPECT_EQ(Read(request), value) << request;
  // Scrambled, byte k (from 1) is xor-ed with key + k and rotated right by
  // (|key| mod 2483 + k) mod 8, after neighbouring bytes swap from the end.
  cookie.Coded = true;
  EXPECT_EQ(Header("AB", plat::Now()), "set-cookie:NEWSGROUP=%A1%D0; Path=/;\r\n");
  EXPECT_EQ(Header("ABC", plat::Now()), "set-cookie:NEWSGROUP=+P%28; Path=/;\r\n");
  EXPECT_EQ(EncodeValue("A", -1) + EncodeValue("A", INT_MIN), "P\x08");  // |INT_MIN| is 2^31
  EXPECT_EQ(Read("a=b; NEWSGROUP=+P%28"), "ABC");
}

}  // namespace
