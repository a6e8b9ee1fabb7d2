#include "engine/HUtils.h"

#include <cstdio>

#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

const char HexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

void AsciiUpperInPlace(std::string& s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void UrlDecodeInto(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < n && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::string_view TrimView(std::string_view S) {
  size_t begin = 0, end = S.size();
  while (begin < end && IsBlankOrControl(S[begin])) ++begin;
  while (end > begin && IsBlankOrControl(S[end - 1])) --end;
  return S.substr(begin, end - begin);
}

std::string ReplaceAll(const std::string& Old, const std::string& New, std::string S) {
  if (Old.empty()) return S;
  size_t found = S.find(Old);
  if (found == std::string::npos) return S;
  std::string out;
  out.reserve(S.size());
  size_t from = 0;
  for (; found != std::string::npos; found = S.find(Old, from)) {
    out.append(S, from, found - from);
    out += New;
    from = found + Old.size();
  }
  out.append(S, from, std::string::npos);
  return out;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  UrlDecodeInto(text, out);
  return out;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '.' ||
        b == '/' || b == '\\') {
      out += c;
    } else if (b == ' ') {
      out += '+';
    } else {
      out += '%';
      out += HexDigits[b >> 4];
      out += HexDigits[b & 15];
    }
  }
  return out;
}

// One left-to-right pass collects every value of the field. The repeated
// lookup is defined as "first value, then the rest searched again with the
// marker as default", which amounts to joining the values while leaving out
// a trailing run of values that equal the marker (never the first value).
std::string GetFieldValue(const std::string& Name, const std::string& Data,
                          const std::string& Default) {
  std::string key = plat::UpperCase(Name);
  const std::string_view trimmedKey = TrimView(key);
  std::vector<std::string> values;
  std::string decoded;
  ScanPairs(Data, [&](std::string_view name, std::string_view value) {
    UrlDecodeInto(name, decoded);
    AsciiUpperInPlace(decoded);
    if (TrimView(decoded) == trimmedKey) values.push_back(UrlDecode(value));
    return false;
  });
  if (values.empty()) return Default;
  size_t count = values.size();
  while (count > 1 && values[count - 1] == NotAvailable) --count;
  std::string result = values[0];
  for (size_t i = 1; i < count; ++i) {
    result += "\r\n";
    result += values[i];
  }
  return result;
}

std::vector<std::string> GetFieldNamesOf(const std::string& Data) {
  std::vector<std::string> names;
  const std::string_view data(Data);
  size_t pos = 0;
  while (pos <= data.size()) {
    size_t amp = data.find('&', pos);
    if (amp == std::string_view::npos) amp = data.size();
    const std::string_view piece = data.substr(pos, amp - pos);
    const size_t eq = piece.find('=');
    if (eq != std::string_view::npos) {
      std::string name = UrlDecode(piece.substr(0, eq));
      if (names.empty() || names.back() != name) names.push_back(std::move(name));
    }
    pos = amp + 1;
  }
  return names;
}

std::string HttpDate(double localDateTime) {
  static const char DayNames[] = "SunMonTueWedThuFriSat";
  static const char MonthNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const plat::TDateParts u = plat::DecodeDateTime(plat::LocalToUtc(localDateTime));
  // Day of the week of the civil date (Sakamoto's method), 0 = Sunday.
  static const int MonthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  int y = u.Year - (u.Month < 3 ? 1 : 0);
  int weekday = (y + y / 4 - y / 100 + y / 400 + MonthOffsets[(u.Month - 1) % 12] + u.Day) % 7;
  if (weekday < 0) weekday += 7;
  char text[64];
  std::snprintf(text, sizeof text, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", DayNames + 3 * weekday,
                u.Day, MonthNames + 3 * ((u.Month - 1) % 12), u.Year, u.Hour, u.Minute, u.Second);
  return text;
}

std::string GetEnvVar(const std::string& Name) {
  std::string value = plat::GetEnv(Name);
  if (Name == "SERVER_SOFTWARE" && value.find("ZB") != std::string::npos) return "";
  return value;
}

std::string ModuleFileName() { return plat::ModulePath(); }

std::string BuildFileName(const std::string& Base, const std::string& Dir, const std::string& Ext,
                          const std::string& Name) {
  if (!Name.empty() && Name[0] == '/') return Name;
  std::string dir;
  if (!Dir.empty() && Dir[0] == '/')
    dir = Dir + "/";
  else
    dir = plat::ExtractFilePath(Base) + "/" + Dir + "/";

  // The stem keeps any directory part of Name; only the dot test looks at
  // the name part alone.
  const std::string namePart = plat::ExtractFileName(Name);
  std::string stem = Name;
  std::string extension = Ext;
  if (namePart.find('.') != std::string::npos) {
    stem = Name.substr(0, Name.find('.'));
    if (Ext.empty()) extension = namePart.substr(namePart.find('.') + 1);
  }
  std::string result = dir + stem + "." + extension;

  for (std::string previous; previous != result;) {
    previous = result;
    result = ReplaceAll("//", "/", ReplaceAll("/./", "/", result));
  }
  return result;
}

int FindFile(const std::string& Path, int Attributes, plat::TSearchRec& Record) {
  return plat::FindFirstFile(Path, Attributes, Record);
}
