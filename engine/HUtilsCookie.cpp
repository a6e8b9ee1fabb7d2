#include "engine/HUtilsCookie.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "engine/HUtils.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

// An expiry this close to now means a session cookie.
constexpr double kSessionMargin = 20.0 / 86400.0;

bool SameTextAscii(const std::string& a, const std::string& b) {
  return plat::UpperCase(a) == plat::UpperCase(b);
}

// The rotation of position i (from 1). The key's absolute value is taken in
// 64 bits, so that the most negative key has one as well.
unsigned RotationOf(int key, uint64_t i) {
  uint64_t magnitude = static_cast<uint64_t>(std::llabs(static_cast<long long>(key)));
  return static_cast<unsigned>((magnitude % 2483 + i) % 8);
}

unsigned char XorOf(int key, uint64_t i) {
  return static_cast<unsigned char>((static_cast<uint64_t>(static_cast<uint32_t>(key)) + i) & 0xFF);
}

unsigned char RotateRight(unsigned char b, unsigned r) {
  return r == 0 ? b : static_cast<unsigned char>((b >> r) | (b << (8 - r)));
}

unsigned char RotateLeft(unsigned char b, unsigned r) {
  return r == 0 ? b : static_cast<unsigned char>((b << r) | (b >> (8 - r)));
}

// Swaps neighbouring bytes, pairs counted from the end; with an odd length
// the first byte stays. Its own inverse.
void SwapPairsFromEnd(std::string& s) {
  for (size_t j = s.size(); j >= 2; j -= 2) std::swap(s[j - 2], s[j - 1]);
}

}  // namespace

void THttpCookie::SetName(const std::string& name) {
  if (SameTextAscii(CookieName, nameTakenOver_) || (Designing() && CookieName.empty()))
    CookieName = name;
  nameTakenOver_ = name;
  plat::TComponent::SetName(name);
}

void THttpCookie::SetCookie(const std::string& Value, double Expires) {
  std::string value = UrlEncode(Coded ? EncodeValue(Value, CodeKey) : Value);
  if (plat::Trim(CookieName).empty()) return;
  // Trimmed here, not in the fields: the component is shared by requests.
  const std::string domain = plat::Trim(Domain);
  std::string path = plat::Trim(Path);
  if (path.empty()) path.push_back('/');

  std::string line = CookieName + "=" + value + "; Path=" + path + ";";
  if (!domain.empty()) line += " Domain=" + domain + ";";
  bool expiryWritten = std::fabs(Expires - plat::Now()) > kSessionMargin;
  if (expiryWritten) line += " expires=" + HttpDate(Expires);
  if (Secure) line += expiryWritten ? "; secure" : " secure";
  HttpFunctions().HttpWriteHeader("set-cookie", line);
}

void THttpCookie::GetCookie(const std::string& Default, std::string& Value) {
  std::string s = HttpFunctions().HttpCookieString();
  if (plat::UpperCase(s.substr(0, 7)) == "COOKIE=") s.erase(0, 7);
  for (char& c : s)
    if (c == ';') c = '&';

  const std::string key = plat::Trim(plat::UpperCase(CookieName));
  std::string found;
  ScanPairs(s, [&](std::string_view name, std::string_view value) {
    if (plat::Trim(plat::UpperCase(UrlDecode(name))) != key) return false;
    found = UrlDecode(value);
    return true;
  });

  if (found.empty())
    Value = Default;
  else
    Value = Coded ? DecodeValue(found, CodeKey) : found;
}

std::string EncodeValue(const std::string& Text, int Key) {
  std::string s = Text;
  SwapPairsFromEnd(s);
  for (size_t k = 0; k < s.size(); ++k) {
    uint64_t i = k + 1;
    unsigned char b = static_cast<unsigned char>(s[k]) ^ XorOf(Key, i);
    s[k] = static_cast<char>(RotateRight(b, RotationOf(Key, i)));
  }
  return s;
}

std::string DecodeValue(const std::string& Text, int Key) {
  std::string s = Text;
  for (size_t k = 0; k < s.size(); ++k) {
    uint64_t i = k + 1;
    unsigned char b = RotateLeft(static_cast<unsigned char>(s[k]), RotationOf(Key, i));
    s[k] = static_cast<char>(b ^ XorOf(Key, i));
  }
  SwapPairsFromEnd(s);
  return s;
}
