// The readers of name=value text: field data and cookies, and the settings
// file reader on the same bytes for the sanitizers (its rules are the profile
// reader test's table). Fields of any bytes, written the way a browser
// encodes them, read back by name, repeated ones joined by CR LF. A cookie
// written by SetCookie, sent back among others, reads back, scrambled or not.
// Input: the scrambling key in decimal, then names and values alternately,
// separated by line feeds. All of it is also a value, a cookie string and a
// settings file.
#include "FuzzSupport.h"
#include "engine/HUtilsCookie.h"
#include "platform/PlatProfile.h"
#include "platform/PlatText.h"

static thread_local std::string cookieString, header;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size), encoded = UrlEncode(input);
  fuzz::Check(encoded.find_first_of("&=; \r\n") == encoded.npos && UrlDecode(encoded) == input, "decoding undoes encoding");
  const auto parts = fuzz::Split(input, "\n", 64);
  auto key = [](const std::string& name) { return plat::Trim(plat::UpperCase(name)); };  // how field names match
  std::string data, read;
  std::map<std::string, std::string> want;
  for (size_t i = 1; i + 1 < parts.size(); i += 2) {
    if (parts[i + 1] == NotAvailable) continue;  // the marker ends a field's values by definition
    data += (data.empty() ? "" : "&") + UrlEncode(parts[i]) + "=" + UrlEncode(parts[i + 1]);
    if (!want.emplace(key(parts[i]), parts[i + 1]).second) want[key(parts[i])] += "\r\n" + parts[i + 1];
  }
  for (size_t i = 1; i < parts.size(); i += 2)
    fuzz::Check(GetFieldValue(parts[i], data, "-") == want.try_emplace(key(parts[i]), "-").first->second, "a field", data);
  plat::TProfileFile(input).Read(plat::UpperCase(parts.back()), parts[0], read);

  THttpCookie cookie(nullptr);
  cookie.CodeKey = static_cast<int>(std::strtol(parts[0].c_str(), nullptr, 10));
  cookie.CookieName = "Parlino";
  fuzz::Check(DecodeValue(EncodeValue(input, cookie.CodeKey), cookie.CodeKey) == input, "the scrambling is undone");
  HttpFunctions().HttpCookieString = [] { return cookieString; };
  HttpFunctions().HttpWriteHeader = [](const std::string& name, const std::string& line) { header = name + ":" + line; };
  for (bool coded : {false, true}) {
    cookie.Coded = coded;
    cookie.SetCookie(input, 0);
    fuzz::Check(header.starts_with("set-cookie:Parlino=") && header.find_first_of("\r\n") == header.npos, "one line");
    // Sent back among others, the name in another case; any bytes as a cookie string.
    for (const std::string& sent : {"%01=1; a=; parlino" + header.substr(18, header.find(';') - 18) + "; b=2", input}) {
      cookieString = sent, cookie.GetCookie("-", read);
      fuzz::Check(sent == input || read == (input.empty() ? "-" : input), "a cookie reads back", sent);
    }
  }
  return 0;
}
