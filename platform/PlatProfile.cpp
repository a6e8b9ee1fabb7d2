#include "platform/PlatProfile.h"

#include "platform/PlatFiles.h"

namespace plat {

namespace {

constexpr size_t MaxValueLength = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  size_t first = 0;
  while (first < s.size() && IsBlank(s[first])) ++first;
  size_t last = s.size();
  while (last > first && IsBlank(s[last - 1])) --last;
  return s.substr(first, last - first);
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

}  // namespace

TProfileFile::TProfileFile(std::string_view text) {
  // Editors that save UTF-8 may put a byte-order mark before the first section.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  Section* current = nullptr;  // lines before the first section belong to none
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end;
    if (pos < text.size()) {
      if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
      ++pos;
    }

    std::string_view trimmed = TrimBlanks(line);
    if (!trimmed.empty() && trimmed[0] == '[') {
      std::string_view name = trimmed.substr(1);
      size_t close = name.find(']');
      if (close != std::string_view::npos) name = name.substr(0, close);
      sections_.push_back(Section{std::string(TrimBlanks(name)), {}});
      current = &sections_.back();
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || !current) continue;
    current->Entries.push_back(
        Entry{std::string(TrimBlanks(line.substr(0, eq))), std::string(line.substr(eq + 1))});
  }
}

TProfileFile TProfileFile::Load(const std::string& path) {
  std::string contents;
  if (!ReadWholeFile(path, contents)) return TProfileFile();
  return TProfileFile(contents);
}

bool TProfileFile::Read(std::string_view section, std::string_view key, std::string& value) const {
  std::string_view wantedSection = TrimBlanks(section);
  std::string_view wantedKey = TrimBlanks(key);
  for (const Section& s : sections_) {
    if (!SameName(s.Name, wantedSection)) continue;
    for (const Entry& e : s.Entries) {
      if (!SameName(e.Key, wantedKey)) continue;
      std::string_view v = TrimBlanks(e.Value);
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      value.assign(v.substr(0, MaxValueLength));
      return true;
    }
    return false;  // only the first section of that name counts
  }
  return false;
}

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& deflt, bool& found) {
  std::string value;
  found = TProfileFile::Load(file).Read(section, key, value);
  return found ? value : deflt;
}

}  // namespace plat
