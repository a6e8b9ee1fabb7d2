// Profile (ini) files read the way the Windows profile reader reads them:
// lines end in CR LF, LF or CR; "[name]" opens a section; "key=value" lines
// give values; section and key names match without regard to ASCII case;
// the first matching section and the first matching key in it win.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace plat {

class TProfileFile {
 public:
  TProfileFile() = default;
  // Parses the text of a profile file; a UTF-8 byte-order mark is skipped.
  explicit TProfileFile(std::string_view text);
  // A file that is missing or cannot be read reads as an empty profile.
  static TProfileFile Load(const std::string& path);

  // True when the key is present, even with an empty value. The value comes
  // trimmed, without one pair of enclosing quotation marks (double or
  // single), cut to 2047 characters.
  bool Read(std::string_view section, std::string_view key, std::string& value) const;

 private:
  struct Entry {
    std::string Key;
    std::string Value;  // raw, as written after the "="
  };
  struct Section {
    std::string Name;
    std::vector<Entry> Entries;
  };
  std::vector<Section> sections_;
};

// One value of a profile file; Default when the file, section or key is
// missing. Found tells a missing key from one present with an empty value.
std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& deflt, bool& found);

}  // namespace plat
