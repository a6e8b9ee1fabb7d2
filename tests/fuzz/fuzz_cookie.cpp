// The cookie component: GetCookie on arbitrary cookie strings through a fake
// HttpCookieString, against a plain model of its definition; the scrambling
// and its inverse; and a value written by SetCookie reads back.
// Input: the cookie name, a line feed, the key in decimal, a line feed, then
// the request's cookie string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HUtils.h"
#include "engine/HUtilsCookie.h"
#include "platform/PlatText.h"

namespace {

thread_local std::string cookieString;
thread_local std::vector<std::string> headerLines;

std::string FakeCookieString() { return cookieString; }
void FakeWriteHeader(const std::string& name, const std::string& value) {
  headerLines.push_back(name + ":" + value);
}

std::string ModelCookie(const std::string& cookieName, std::string s, bool coded, int key,
                        const std::string& deflt) {
  if (plat::UpperCase(s.substr(0, 7)) == "COOKIE=") s.erase(0, 7);
  for (char& c : s)
    if (c == ';') c = '&';
  s += '&';
  const std::string wanted = plat::Trim(plat::UpperCase(cookieName));
  size_t pos = 0;
  for (;;) {
    size_t eq = s.find('=', pos);
    if (eq == std::string::npos) return deflt;
    size_t amp = s.find('&', eq + 1);
    if (plat::Trim(plat::UpperCase(UrlDecode(s.substr(pos, eq - pos)))) == wanted) {
      std::string value = UrlDecode(s.substr(eq + 1, amp - eq - 1));
      if (value.empty()) return deflt;
      return coded ? DecodeValue(value, key) : value;
    }
    pos = amp + 1;
  }
}

bool PlainName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::vector<std::string> parts =
      fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 3);
  const std::string name = parts[0];
  const int key = parts.size() > 1 ? static_cast<int>(std::strtoll(parts[1].c_str(), nullptr, 10)) : 0;
  const std::string cookie = parts.size() > 2 ? parts[2] : std::string();

  THttpFunctionTable& table = HttpFunctions();
  table.HttpCookieString = FakeCookieString;
  table.HttpWriteHeader = FakeWriteHeader;

  // The scrambling is a bijection that keeps the length.
  for (int k : {key, 0, static_cast<int>(0u - static_cast<unsigned>(key)), key ^ 0x55AA}) {
    const std::string encoded = EncodeValue(cookie, k);
    fuzz::Check(encoded.size() == cookie.size(), "EncodeValue keeps the length");
    fuzz::Check(DecodeValue(encoded, k) == cookie, "DecodeValue(EncodeValue(x, k), k) == x",
                "key " + std::to_string(k) + " text " + fuzz::Show(cookie));
    fuzz::Check(EncodeValue(DecodeValue(cookie, k), k) == cookie, "EncodeValue(DecodeValue(x, k), k) == x",
                "key " + std::to_string(k) + " text " + fuzz::Show(cookie));
  }

  THttpCookie component(nullptr);
  component.CookieName = name;
  component.CodeKey = key;
  for (bool coded : {false, true}) {
    component.Coded = coded;
    cookieString = cookie;
    std::string value;
    component.GetCookie("<none>", value);
    const std::string want = ModelCookie(name, cookie, coded, key, "<none>");
    fuzz::Check(value == want, "GetCookie follows its definition",
                "name " + fuzz::Show(name) + " cookie " + fuzz::Show(cookie) + " got " + fuzz::Show(value) +
                    " want " + fuzz::Show(want));
  }

  // What SetCookie writes, sent back by the browser, reads as the value.
  if (PlainName(name) && !cookie.empty()) {
    for (bool coded : {false, true}) {
      component.Coded = coded;
      headerLines.clear();
      component.SetCookie(cookie, 0);
      fuzz::Check(headerLines.size() == 1, "SetCookie writes one header line");
      const std::string& line = headerLines[0];
      const std::string prefix = "set-cookie:" + name + "=";
      fuzz::Check(line.compare(0, prefix.size(), prefix) == 0, "the header line names the cookie", line);
      const size_t semicolon = line.find(';');
      fuzz::Check(semicolon != std::string::npos, "the value ends at a semicolon", line);
      fuzz::Check(line.find_first_of("\r\n") == std::string::npos, "the header line holds no line break", line);
      cookieString = "%01=1; " + line.substr(11, semicolon - 11) + "; last=2";
      std::string value;
      component.GetCookie("<none>", value);
      fuzz::Check(value == cookie, "a cookie written by SetCookie reads back",
                  "coded " + std::to_string(coded) + " value " + fuzz::Show(cookie) + " read " + fuzz::Show(value));
    }
  }
  return 0;
}
