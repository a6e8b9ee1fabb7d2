// The reader of the profile files a Windows CGI web server writes for each
// request. Its rules are its own, not the settings reader's: only CR ends a
// line, "=" counts only among a line's first 32 characters, and a key that
// repeats replaces the earlier value.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

class TCGIIniFile {
 public:
  static constexpr int MaxSections = 51;
  static constexpr int MaxLine = 4095;

  // Reads the whole file; raises EFOpenError when it cannot be opened.
  explicit TCGIIniFile(const std::string& FileName);
  // The same rules over text already in memory.
  static TCGIIniFile FromText(std::string_view Text);

  std::string ReadString(std::string_view Section, std::string_view Key, const std::string& Default) const;
  // The keys of every section whose name begins with FORM, in file order of
  // the sections, each repetition NAME_n left out when NAME is there.
  std::vector<std::string> FormFieldNames() const;

  const std::vector<std::string>& Sections() const { return sections_; }

 private:
  TCGIIniFile() = default;
  void Parse(std::string_view Text);
  void ParseLine(const std::string& Line);

  std::vector<std::string> sections_;  // upper-cased, trimmed, each once
  std::vector<std::map<std::string, std::string>> keys_;  // one per section, keys upper-cased
  int current_ = -1;  // -1: key lines are ignored
};
