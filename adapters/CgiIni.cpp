#include "adapters/CgiIni.h"

#include <algorithm>

#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatText.h"

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

TCGIIniFile::TCGIIniFile(const std::string& FileName) {
  std::string text;
  if (!plat::ReadWholeFile(FileName, text)) throw plat::EFOpenError(FileName);
  Parse(text);
}

TCGIIniFile TCGIIniFile::FromText(std::string_view Text) {
  TCGIIniFile profile;
  profile.Parse(Text);
  return profile;
}

void TCGIIniFile::Parse(std::string_view Text) {
  std::string line;
  bool cut = false;
  for (char c : Text) {
    if (c == '\r') {
      ParseLine(line);
      line.clear();
      cut = false;
    } else if (line.empty() && !cut && IsBlank(c)) {
      // Leading blanks and the LF after a CR belong to no line.
    } else if (static_cast<int>(line.size()) < MaxLine) {
      line += c;
    } else {
      // The rest of an overlong line is dropped, not read as a line of its own.
      cut = true;
    }
  }
  ParseLine(line);
}

void TCGIIniFile::ParseLine(const std::string& Line) {
  if (Line.empty()) return;
  if (Line[0] == '[') {
    std::string_view rest(Line);
    rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ']' || IsBlank(rest.back()))) rest.remove_suffix(1);
    const std::string name = plat::Trim(plat::UpperCase(rest));
    if (std::find(sections_.begin(), sections_.end(), name) != sections_.end()) return;
    if (static_cast<int>(sections_.size()) >= MaxSections) {
      // Sections beyond the first 51 are not kept; their key lines must not
      // land in the section above them.
      current_ = -1;
      return;
    }
    sections_.push_back(name);
    keys_.emplace_back();
    current_ = static_cast<int>(sections_.size()) - 1;
    return;
  }
  const size_t eq = Line.find('=');
  if (eq == std::string::npos || eq >= 32 || current_ < 0) return;
  std::string key = plat::Trim(plat::UpperCase(std::string_view(Line).substr(0, eq)));
  if (key.empty()) return;
  keys_[current_][std::move(key)] = plat::Trim(std::string_view(Line).substr(eq + 1));
}

std::string TCGIIniFile::ReadString(std::string_view Section, std::string_view Key,
                                    const std::string& Default) const {
  const std::string section = plat::UpperCase(Section);
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i] != section) continue;
    auto found = keys_[i].find(plat::UpperCase(Key));
    return found == keys_[i].end() ? Default : found->second;
  }
  return Default;
}

namespace {

// NAME_n with n a whole number, where NAME is a key of the same section.
bool IsRepetition(const std::map<std::string, std::string>& keys, const std::string& key) {
  const size_t us = key.rfind('_');
  int n;
  return us != std::string::npos && plat::TryStrToInt(std::string_view(key).substr(us + 1), n) &&
         keys.count(key.substr(0, us)) > 0;
}

}  // namespace

std::vector<std::string> TCGIIniFile::FormFieldNames() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (!sections_[i].starts_with("FORM")) continue;
    for (const auto& [key, value] : keys_[i])
      if (!IsRepetition(keys_[i], key)) names.push_back(key);
  }
  return names;
}
