// The readers of name=value text: field data, cookies and settings files.
// Fields of any bytes, written the way a browser encodes them, read back by
// name, repeated ones joined by CR LF. A cookie written by SetCookie, sent
// back among others, reads back, scrambled or not. A settings file written
// from the fields (sections and keys repeated in other cases and with blanks
// around, lines ended by CR LF, LF or CR, values quoted or not) reads back by
// its rules: the first section of a name, the first key in it, the value
// without the blanks and one pair of quotes around it, cut to 2047 bytes.
// Input: the scrambling key in decimal, then names and values alternately,
// separated by line feeds; a name led by '[' opens a section of the settings.
// All of it is also a value and a cookie string.
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
  std::string data, ini, section, read;
  std::map<std::string, std::string> want;
  std::map<std::pair<std::string, std::string>, std::string> settings;
  std::vector<std::pair<std::string, std::string>> keys;
  std::set<std::string> sections;
  bool first = false;  // the current section is the first of its name
  for (size_t i = 1; i + 1 < parts.size(); i += 2) {
    std::string name = parts[i], value = parts[i + 1], pad = i % 4 == 1 ? " \t" : "";
    std::erase_if(name, [](char c) { return !std::isalnum(static_cast<uint8_t>(c)); });
    std::erase_if(value, [](char c) { return c && std::strchr("\r\n\"'", c); });
    value.erase(0, std::min(value.find_first_not_of(" \t"), value.size())).erase(value.find_last_not_of(" \t") + 1);
    if (parts[i].starts_with("[")) section = name, first = sections.insert(key(name)).second;
    else keys.emplace_back(section, name);
    if (!parts[i].starts_with("[") && first) settings.emplace(std::pair(key(section), key(name)), value.substr(0, 2047));
    ini += parts[i].starts_with("[") ? pad + "[" + pad + name + pad + "]"
                                     : pad + name + pad + "=" + pad + (value.size() % 2 ? '"' + value + '"' : value) + pad;
    ini += std::vector<std::string>{"\r\n", "\n", "\r"}[i % 3];
    if (parts[i + 1] == NotAvailable) continue;  // the marker ends a field's values by definition
    data += (data.empty() ? "" : "&") + UrlEncode(parts[i]) + "=" + UrlEncode(parts[i + 1]);
    if (!want.emplace(key(parts[i]), parts[i + 1]).second) want[key(parts[i])] += "\r\n" + parts[i + 1];
  }
  for (size_t i = 1; i < parts.size(); i += 2)
    fuzz::Check(GetFieldValue(parts[i], data, "-") == want.try_emplace(key(parts[i]), "-").first->second, "a field", data);
  const plat::TProfileFile profile(ini);
  for (const auto& [s, k] : keys) {  // sections asked for in another case
    const auto it = settings.find({key(s), key(k)});
    const bool found = profile.Read(plat::UpperCase(s), k, read);
    fuzz::Check(found == (it != settings.end()) && (!found || read == it->second), "a setting reads back", s + "/" + k);
  }

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
