// Field data: URL decoding and encoding, GetFieldValue and GetFieldNamesOf
// on arbitrary bytes, each against a plain model of its definition.
// Input: the field name to look up, a line feed, then the field data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HUtils.h"

namespace {

bool Hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int HexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

std::string ModelDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) && Hex(s[i + 2])) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string ModelUpperTrim(const std::string& s) {
  std::string up = s;
  for (char& c : up)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  size_t b = 0, e = up.size();
  while (b < e && static_cast<unsigned char>(up[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(up[e - 1]) <= 32) --e;
  return up.substr(b, e - b);
}

// The definition as written: the first value, then the rest of the data
// searched again with the marker as default. (Searching the rest again
// appends one more "&" to it, which changes nothing, so the rest is searched
// in place.)
std::string ModelValue(const std::string& key, const std::string& work, size_t pos,
                       const std::string& deflt) {
  for (;;) {
    size_t eq = work.find('=', pos);
    if (eq == std::string::npos) return deflt;
    size_t amp = work.find('&', eq + 1);
    if (ModelUpperTrim(ModelDecode(work.substr(pos, eq - pos))) == key) {
      std::string value = ModelDecode(work.substr(eq + 1, amp - eq - 1));
      std::string rest = ModelValue(key, work, amp + 1, NotAvailable);
      if (rest != NotAvailable) value += "\r\n" + rest;
      return value;
    }
    pos = amp + 1;
  }
}

std::vector<std::string> ModelNames(const std::string& data) {
  std::vector<std::string> names;
  const std::string work = data + "&";
  size_t pos = 0;
  for (size_t amp; (amp = work.find('&', pos)) != std::string::npos; pos = amp + 1) {
    std::string piece = work.substr(pos, amp - pos);
    size_t eq = piece.find('=');
    if (eq == std::string::npos) continue;
    std::string name = ModelDecode(piece.substr(0, eq));
    if (names.empty() || names.back() != name) names.push_back(name);
  }
  return names;
}

bool EncodedByteOk(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '/' || c == '\\' || c == '+' || c == '%';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const std::vector<std::string> parts = fuzz::Split(input, "\n", 2);
  const std::string name = parts[0];
  const std::string data = parts.size() > 1 ? parts[1] : std::string();

  // Encoding: a closed alphabet, and decoding undoes it.
  for (const std::string* text : {&name, &data, &input}) {
    const std::string encoded = UrlEncode(*text);
    for (char c : encoded) fuzz::Check(EncodedByteOk(c), "UrlEncode writes only its alphabet", fuzz::Show(encoded));
    fuzz::Check(UrlDecode(encoded) == *text, "UrlDecode(UrlEncode(x)) == x", fuzz::Show(*text));
    fuzz::Check(UrlDecode(*text) == ModelDecode(*text), "UrlDecode follows its definition", fuzz::Show(*text));
  }

  // Lookups against the definition, with the marker and with another default.
  const std::string key = ModelUpperTrim(name);
  for (const char* deflt : {NotAvailable, "<absent>"}) {
    const std::string got = GetFieldValue(name, data, deflt);
    const std::string want = ModelValue(key, data + "&", 0, deflt);
    fuzz::Check(got == want, "GetFieldValue follows its definition",
                "name " + fuzz::Show(name) + " data " + fuzz::Show(data) + " got " + fuzz::Show(got) +
                    " want " + fuzz::Show(want));
  }
  fuzz::Check(GetFieldNamesOf(data) == ModelNames(data), "GetFieldNamesOf follows its definition",
              fuzz::Show(data));

  // A pair written the way a form sends it reads back whole, and a repeated
  // field reads as both values joined by CR LF.
  const std::string pair = UrlEncode(name) + "=" + UrlEncode(data);
  fuzz::Check(GetFieldValue(name, pair, "") == data, "an encoded pair reads back",
              fuzz::Show(name) + " = " + fuzz::Show(data));
  if (key != "X" && data != NotAvailable) {
    const std::string twice = "x=1&" + pair + "&" + pair;
    fuzz::Check(GetFieldValue(name, twice, "") == data + "\r\n" + data, "a repeated field joins its values",
                fuzz::Show(twice));
  }
  return 0;
}
