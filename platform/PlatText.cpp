#include "platform/PlatText.h"

#include <cstdint>

#include "platform/PlatExcept.h"

namespace plat {

namespace {

unsigned char AnsiUpper(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  switch (c) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return c;
  }
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::string AnsiUpperCase(std::string_view s) {
  std::string result(s);
  for (char& c : result) c = static_cast<char>(AnsiUpper(static_cast<unsigned char>(c)));
  return result;
}

std::string UpperCase(std::string_view s) {
  std::string result(s);
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  return result;
}

std::string Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string TrimLeft(std::string_view s) {
  size_t start = 0;
  while (start < s.size() && IsBlank(s[start])) ++start;
  return std::string(s.substr(start));
}

std::string TrimRight(std::string_view s) {
  size_t end = s.size();
  while (end > 0 && IsBlank(s[end - 1])) --end;
  return std::string(s.substr(0, end));
}

bool TryStrToInt(std::string_view s, int& value) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  if (i >= s.size()) return false;
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  int64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    magnitude = magnitude * 10 + (s[i] - '0');
    if (magnitude > limit) return false;
  }
  value = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

int StrToInt(std::string_view s) {
  int value = 0;
  if (!TryStrToInt(s, value)) throw EConvertError(std::string(s));
  return value;
}

std::string IntToStr(long long value) { return std::to_string(value); }

}  // namespace plat
