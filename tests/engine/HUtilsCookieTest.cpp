#include "engine/HUtilsCookie.h"

#include <gtest/gtest.h>

#include "tests/support/FakeEngine.h"

// The line the forum writes is its page test's; its domain, path, secure and
// scrambling settings are never set by a caller.
TEST(Cookie, ReadsTheFirstMatchingPairOfTheRequest) {
  FakeEngine engine;
  FakeRequestScope scope{engine};
  THttpCookie cookie{nullptr};
  cookie.CookieName = "NEWSGROUP";
  const std::pair<const char*, const char*> cases[] = {
      {"a=1; NEWSGROUP=N%3DAnna%26E%3Da%40b.c", "N=Anna&E=a@b.c"}, {"NEWSGROUP=first; NEWSGROUP=second", "first"},
      {"cookie=a=1; newsgroup=y", "y"},     {"a=1;  NEWS%47ROUP =coded+name", "coded name"},
      {"NEWSGROUPX=1; XNEWSGROUP=2", "none"}, {"NEWSGROUP=; a=1", "none"}, {"NEWSGROUP", "none"},
  };
  for (const auto& [request, expected] : cases) {
    engine.Variables["HTTP_COOKIE"] = request;
    std::string value = "unset";
    cookie.GetCookie("none", value);
    EXPECT_EQ(value, expected) << request;
  }
}
