// Text services of the runtime: Windows-1252 upper-casing, trimming and
// whole-number conversion. Strings are 8-bit bytes and never re-encoded.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// The locale's mapping (Windows-1252): a-z, 0xE0-0xFE except 0xF7,
// 0x9A, 0x9C, 0x9E and 0xFF.
std::string AnsiUpperCase(std::string_view s);
// Plain ASCII upper-casing.
std::string UpperCase(std::string_view s);

// Remove leading and/or trailing bytes with codes 0..32.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// An optional sign and one or more decimal digits within the signed 32-bit
// range, nothing else. StrToInt raises EConvertError with the text as given.
bool TryStrToInt(std::string_view s, int& value);
int StrToInt(std::string_view s);

std::string IntToStr(long long value);

}  // namespace plat
