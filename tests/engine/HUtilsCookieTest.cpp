#include "engine/HUtilsCookie.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

// The fake request: header lines written, and the cookie string it carries.
struct HeaderLine {
  std::string name, value;
};
thread_local std::vector<HeaderLine> headers;
thread_local std::string cookieString;

void FakeWriteHeader(const std::string& name, const std::string& value) { headers.push_back({name, value}); }
std::string FakeCookieString() { return cookieString; }

constexpr double kMinute = 1.0 / 1440;

class Cookie : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = HttpFunctions();
    HttpFunctions().HttpWriteHeader = FakeWriteHeader;
    HttpFunctions().HttpCookieString = FakeCookieString;
    headers.clear();
    cookieString.clear();
    cookie.SetName("HttpCookie1");
    cookie.CookieName = "NEWSGROUP";
  }
  void TearDown() override { HttpFunctions() = saved_; }

  // The set-cookie value of one SetCookie call; "" when nothing was written.
  std::string LineOf(const std::string& value, double expires) {
    headers.clear();
    cookie.SetCookie(value, expires);
    if (headers.empty()) return "";
    EXPECT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers[0].name, "set-cookie");
    return headers[0].value;
  }

  std::string Read(const std::string& request, const std::string& fallback = "none") {
    cookieString = request;
    std::string value = "unset";
    cookie.GetCookie(fallback, value);
    return value;
  }

  THttpCookie cookie{nullptr};

 private:
  THttpFunctionTable saved_;
};

TEST_F(Cookie, WritesTheForumsLine) {
  double expires = plat::Now() + 60;
  EXPECT_EQ(LineOf("N=Anna Maria&E=anna@example.org", expires),
            "NEWSGROUP=N%3DAnna+Maria%26E%3Danna%40example.org; Path=/; expires=" + HttpDate(expires));
}

TEST_F(Cookie, WritesAttributesAsConfigured) {
  struct Case {
    const char* domain;
    const char* path;
    bool secure;
    double ahead;  // days from now
    const char* expected;  // "<date>" stands for the expiry
  } cases[] = {
      {"", "", false, 0, "NEWSGROUP=v; Path=/;"},
      {"", "", false, 10.0 / 86400, "NEWSGROUP=v; Path=/;"},
      {"", "", false, -10.0 / 86400, "NEWSGROUP=v; Path=/;"},
      {"", "", false, kMinute, "NEWSGROUP=v; Path=/; expires=<date>"},
      {"", "", false, -1, "NEWSGROUP=v; Path=/; expires=<date>"},
      {" example.org ", " /forum ", false, kMinute,
       "NEWSGROUP=v; Path=/forum; Domain=example.org; expires=<date>"},
      {"example.org", "", true, 0, "NEWSGROUP=v; Path=/; Domain=example.org; secure"},
      {"", "", true, 0, "NEWSGROUP=v; Path=/; secure"},
      {"", "", true, 60, "NEWSGROUP=v; Path=/; expires=<date>; secure"},
  };
  for (const Case& c : cases) {
    cookie.Domain = c.domain;
    cookie.Path = c.path;
    cookie.Secure = c.secure;
    double expires = plat::Now() + c.ahead;
    std::string expected = c.expected;
    size_t at = expected.find("<date>");
    if (at != std::string::npos) expected.replace(at, 6, HttpDate(expires));
    EXPECT_EQ(LineOf("v", expires), expected) << c.expected;
    EXPECT_EQ(cookie.Path, plat::Trim(c.path).empty() ? "/" : plat::Trim(c.path));
    EXPECT_EQ(cookie.Domain, plat::Trim(c.domain));
  }
}

TEST_F(Cookie, WritesTheScrambledValueUrlEncoded) {
  cookie.Coded = true;
  cookie.CodeKey = 0;
  const std::pair<const char*, const char*> cases[] = {
      {"A", "NEWSGROUP=+; Path=/;"},            // 0x41 xor 1, rotated right by 1: a blank
      {"AB", "NEWSGROUP=%A1%D0; Path=/;"},      // swapped to BA first
      {"ABC", "NEWSGROUP=+P%28; Path=/;"},      // the first byte keeps its place
  };
  for (const auto& [value, line] : cases) EXPECT_EQ(LineOf(value, plat::Now()), line) << value;
}

TEST_F(Cookie, WritesNothingWithoutName) {
  for (const char* name : {"", "  "}) {
    cookie.CookieName = name;
    EXPECT_EQ(LineOf("v", plat::Now() + 60), "") << '"' << name << '"';
  }
}

TEST_F(Cookie, ReadsTheFirstMatchingPairOfTheRequest) {
  const std::pair<const char*, const char*> cases[] = {
      {"a=1; NEWSGROUP=N%3DAnna%26E%3Da%40b.c", "N=Anna&E=a@b.c"},
      {"NEWSGROUP=first; NEWSGROUP=second", "first"},
      {"COOKIE=NEWSGROUP=x", "x"},
      {"cookie=a=1; NEWSGROUP=y", "y"},
      {"CoOkIe=NEWSGROUP=z", "z"},
      {"newsgroup=lower", "lower"},
      {"a=1;  NEWS%47ROUP =coded+name", "coded name"},
      {"NEWSGROUPX=1; XNEWSGROUP=2", "none"},
      {"NEWSGROUP=; a=1", "none"},
      {"", "none"},
      {"NEWSGROUP", "none"},
  };
  for (const auto& [request, value] : cases) EXPECT_EQ(Read(request), value) << request;
}

TEST_F(Cookie, ReadsBackWhatItWrote) {
  cookie.Coded = true;
  for (int key : {0, 17, -5, INT_MIN}) {
    cookie.CodeKey = key;
    std::string value = "N=J\xFCrgen & Co;&E=j%40x";
    std::string line = LineOf(value, plat::Now() + 60);
    EXPECT_EQ(Read("a=b; " + line.substr(0, line.find(';'))), value) << key;
  }
}

TEST_F(Cookie, FollowsTheComponentNameUntilGivenItsOwn) {
  THttpCookie fresh(nullptr);
  fresh.SetName("HttpCookie1");
  EXPECT_EQ(fresh.CookieName, "HttpCookie1");
  fresh.SetName("HttpCookie2");
  EXPECT_EQ(fresh.CookieName, "HttpCookie2");
  fresh.CookieName = "HTTPCOOKIE2";  // equal ignoring case: still follows
  fresh.SetName("Visitor");
  EXPECT_EQ(fresh.CookieName, "Visitor");
  fresh.CookieName = "NEWSGROUP";
  fresh.SetName("Other");
  EXPECT_EQ(fresh.CookieName, "NEWSGROUP");
  EXPECT_EQ(fresh.Name(), "Other");
  fresh.CookieName = "Other";  // taken over again once it matches
  fresh.SetName("Last");
  EXPECT_EQ(fresh.CookieName, "Last");
}

TEST(CookieValueCoding, RoundTripsEveryLengthAndKey) {
  std::mt19937 random(20240601);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> anyKey(INT_MIN, INT_MAX);
  for (size_t length = 0; length <= 300; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>(byte(random));
    for (int key : {0, 1, -1, 2483, -2483, INT_MAX, INT_MIN, anyKey(random), -(anyKey(random) & INT_MAX)}) {
      std::string coded = EncodeValue(text, key);
      ASSERT_EQ(coded.size(), length);
      ASSERT_EQ(DecodeValue(coded, key), text) << "length " << length << " key " << key;
    }
  }
}

TEST(CookieValueCoding, ScramblesOneByteByKeyAndPosition) {
  for (int b = 0; b < 256; ++b) {
    unsigned char x = static_cast<unsigned char>(b ^ 1);
    unsigned char expected = static_cast<unsigned char>((x >> 1) | (x << 7));
    EXPECT_EQ(EncodeValue(std::string(1, static_cast<char>(b)), 0), std::string(1, static_cast<char>(expected)))
        << b;
  }
  // Key -1: xor with 0, rotation (1 + 1) mod 8 = 2.
  EXPECT_EQ(EncodeValue("A", -1), "P");
  // The most negative key has the absolute value 2^31: xor 1, rotation 3.
  EXPECT_EQ(EncodeValue("A", INT_MIN), "\x08");
}

// A real client library reads the line: the expiry parses and the value
// comes back unchanged in the Cookie header it sends.
TEST_F(Cookie, IsAcceptedByARealClient) {
  if (std::system("python3 -c '' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is missing";
  struct Case {
    const char* domain;
    bool secure;
    const char* url;
  } cases[] = {
      {"", false, "http://forum.example.org/cgi-bin/forum"},
      {"forum.example.org", true, "https://forum.example.org/cgi-bin/forum"},
  };
  const std::string value = "N=Anna Maria+\xE9&E=anna@example.org; x=\"1\"";
  for (const Case& c : cases) {
    cookie.Domain = c.domain;
    cookie.Secure = c.secure;
    cookie.Path = "";
    auto sent = std::chrono::system_clock::now() + std::chrono::hours(24 * 60);
    double expires = plat::Now() + 60;
    std::string line = LineOf(value, expires);
    plat::SetEnv("PARLINO_SET_COOKIE", line);
    std::string command =
        std::string("python3 ") + PARLINO_SOURCE_DIR + "/tests/engine/cookie_client_check.py " + c.url;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> out;
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, pipe)) {
      std::string text = buffer;
      if (!text.empty() && text.back() == '\n') text.pop_back();
      out.push_back(text);
    }
    ASSERT_EQ(pclose(pipe), 0) << line;
    ASSERT_EQ(out.size(), 7u) << line;
    EXPECT_EQ(out[0], "NEWSGROUP");
    EXPECT_EQ(out[1], UrlEncode(value));
    // The date carries the expiry's UTC second; 25569 is 1 January 1970.
    long long exact = static_cast<long long>((plat::LocalToUtc(expires) - 25569.0) * 86400.0 + 1e-6);
    EXPECT_EQ(std::stoll(out[2]), exact) << line;
    // And it lies 60 days ahead, give or take a change of summer time.
    long long ahead = std::chrono::duration_cast<std::chrono::seconds>(sent.time_since_epoch()).count();
    EXPECT_NEAR(std::stoll(out[2]), ahead, 3602) << line;
    EXPECT_EQ(out[3], "/");
    EXPECT_NE(out[4].find("forum.example.org"), std::string::npos);
    EXPECT_EQ(out[5], c.secure ? "secure" : "plain");
    EXPECT_EQ(Read(out[6]), value) << out[6];
  }
}

}  // namespace
