// The settings reader and LoadSettings on arbitrary settings and page files,
// written into a data directory of this process's own, each compared with a
// plain model of its definition; a second LoadSettings must give the same.
// Input: parts separated by "\n%%\n": the settings file, then the page files
// _command, _newentry, _viewentry, _newentryerror, _newentryok, _removeok.
// A part that is a single NUL byte leaves its file out; a single 0x01 byte
// makes it a directory (a page file that exists but cannot be read). The
// first byte of the settings part chooses the layout: 'B' puts the data
// directory beside the program, anything else in its parent directory.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HUtilsFilter.h"
#include "forum/ParlinoFSettings.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProfile.h"
#include "platform/PlatText.h"

namespace {

const char* const PageSuffixes[6] = {"_command.htm",      "_newentry.htm",   "_viewentry.htm",
                                     "_newentryerror.htm", "_newentryok.htm", "_removeok.htm"};

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return plat::UpperCase(a) == plat::UpperCase(b);
}

std::vector<std::string> ModelLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// The profile reader's rules, read as plainly as they are written.
std::optional<std::string> ModelProfile(const std::string& text, std::string_view section, std::string_view key) {
  bool inWanted = false, seenWanted = false;
  for (const std::string& raw : ModelLines(text)) {
    std::string_view line = TrimBlanks(raw);
    if (!line.empty() && line[0] == '[') {
      std::string_view name = line.substr(1);
      name = name.substr(0, name.find(']'));
      if (seenWanted) return std::nullopt;  // only the first section of that name
      inWanted = SameName(TrimBlanks(name), TrimBlanks(section));
      seenWanted = inWanted;
      continue;
    }
    size_t eq = raw.find('=');
    if (!inWanted || eq == std::string::npos) continue;
    if (!SameName(TrimBlanks(std::string_view(raw).substr(0, eq)), TrimBlanks(key))) continue;
    std::string_view value = TrimBlanks(std::string_view(raw).substr(eq + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, 2047));
  }
  return std::nullopt;
}

bool ModelAllowHtml(const std::optional<std::string>& value) {
  if (!value) return true;
  const std::string& v = *value;
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
    bool nonZero = false;
    for (size_t i = 2; i < v.size(); ++i) {
      char c = v[i];
      bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex) return true;
      nonZero |= c != '0';
    }
    return nonZero;
  }
  int n = 0;
  return !plat::TryStrToInt(v, n) || n != 0;
}

struct Outcome {
  std::string error;  // the message, empty when LoadSettings succeeded
  TForumState state;
  std::vector<std::vector<std::string>> lines;
};

const std::vector<std::string>& BuiltIn(int i) {
  static const std::vector<std::vector<std::string>> lines = [] {
    std::vector<std::vector<std::string>> all;
    for (int k = 0; k < 6; ++k) all.push_back({"built-in " + std::to_string(k), "%PAGE%"});
    return all;
  }();
  return lines[i];
}

Outcome Load(const std::string& program) {
  std::vector<std::unique_ptr<THttpMemoFilter>> filters;
  for (int i = 0; i < 6; ++i) filters.push_back(std::make_unique<THttpMemoFilter>(nullptr));
  // Lines left from an earlier request must not survive.
  for (auto& f : filters) f->SetText({"stale"});
  TForumPages pages;
  TPageSlot* slots[6] = {&pages.HtmlList, &pages.HtmlNew, &pages.HtmlView,
                         &pages.HtmlNewError, &pages.HtmlNewOK, &pages.HtmlremoveOK};
  for (int i = 0; i < 6; ++i) *slots[i] = TPageSlot{filters[i].get(), &BuiltIn(i)};
  Outcome out;
  try {
    LoadSettings(program, out.state, pages);
  } catch (const plat::Exception& e) {
    out.error = e.Message();
  }
  for (auto& f : filters) out.lines.push_back(f->Text());
  return out;
}

void CheckSame(bool same, const char* what, const std::string& got, const std::string& want) {
  fuzz::Check(same, what, "got " + fuzz::Show(got) + "\n    want " + fuzz::Show(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::vector<std::string> parts =
      fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n%%\n", 7);
  parts.resize(7, std::string(1, '\0'));
  const std::string& ini = parts[0];
  const bool beside = !ini.empty() && ini[0] == 'B';

  // The settings reader on its own: every key the text names, and a few it
  // may not.
  const plat::TProfileFile profile(ini);
  std::vector<std::pair<std::string, std::string>> queries = {
      {"Parameters", "Entries"}, {"parameters", "PASSWORD"}, {" Parameters ", " AllowHTML "}, {"", ""}};
  std::string section;
  for (const std::string& line : ModelLines(ini)) {
    std::string_view t = TrimBlanks(line);
    if (!t.empty() && t[0] == '[') section = std::string(t.substr(1, t.find(']') == std::string_view::npos ? std::string_view::npos : t.find(']') - 1));
    else if (line.find('=') != std::string::npos && queries.size() < 40) queries.emplace_back(section, line.substr(0, line.find('=')));
  }
  for (const auto& [s, k] : queries) {
    std::string value = "<unset>";
    const bool found = profile.Read(s, k, value);
    const std::optional<std::string> want = ModelProfile(ini, s, k);
    fuzz::Check(found == want.has_value() && (!found || value == *want), "the settings reader follows its rules",
                "[" + fuzz::Show(s) + "] " + fuzz::Show(k) + ": got " + (found ? fuzz::Show(value) : "absent") +
                    ", want " + (want ? fuzz::Show(*want) : "absent"));
  }

  // The forum's files, laid out afresh.
  const std::string root = fuzz::ScratchDir() + "/site";
  fuzz::ClearDirectory(fuzz::ScratchDir());
  plat::CreateDir(root);
  plat::CreateDir(root + "/bin");
  const std::string dataDir = beside ? root + "/bin/parlino" : root + "/parlino";
  plat::CreateDir(dataDir);
  const std::string program = root + "/bin/forum.cgi";
  fuzz::WriteFile(program, "");
  const std::string prefix = dataDir + "/forum";
  const std::string wantPrefix = beside ? prefix : root + "/bin/../parlino/forum";
  fuzz::WriteFile(prefix + ".ini", ini);
  std::string openError;
  for (int i = 0; i < 6; ++i) {
    const std::string& page = parts[i + 1];
    const std::string name = prefix + PageSuffixes[i];
    if (page == std::string(1, '\0')) continue;
    if (page == "\x01") {
      plat::CreateDir(name);
      if (openError.empty()) openError = plat::EFOpenError(wantPrefix + PageSuffixes[i]).Message();
    } else {
      fuzz::WriteFile(name, page);
    }
  }

  // The model's result.
  TForumSettings want;
  auto text = [&](const char* key, std::string& target) {
    if (auto v = ModelProfile(ini, "Parameters", key)) target = *v;
  };
  text("Password", want.Password);
  text("Fontname", want.Fontname);
  text("Tablecolor", want.Tablecolor);
  text("Tablewidth", want.Tablewidth);
  text("SubjectCaption", want.SubjectCaption);
  text("SenderCaption", want.SenderCaption);
  text("TimeCaption", want.TimeCaption);
  text("FirstButtonCaption", want.FirstButtonCaption);
  text("PrevButtonCaption", want.PrevButtonCaption);
  text("NextButtonCaption", want.NextButtonCaption);
  want.AllowHTML = ModelAllowHtml(ModelProfile(ini, "Parameters", "AllowHTML"));
  std::string wantError;
  const std::string entries = ModelProfile(ini, "Parameters", "Entries").value_or("25");
  if (!plat::TryStrToInt(entries, want.Entries)) wantError = plat::EConvertError(entries).Message();
  if (wantError.empty()) wantError = openError;

  for (int run = 0; run < 2; ++run) {
    const Outcome got = Load(program);
    CheckSame(got.state.FilePrefix == wantPrefix, "the forum's files are found", got.state.FilePrefix, wantPrefix);
    CheckSame(got.error == wantError, "LoadSettings fails exactly when it must", got.error, wantError);
    if (!wantError.empty()) continue;
    const TForumSettings& s = got.state.Settings;
    const std::pair<const std::string*, const std::string*> texts[] = {
        {&s.Password, &want.Password},     {&s.Fontname, &want.Fontname},
        {&s.Tablecolor, &want.Tablecolor}, {&s.Tablewidth, &want.Tablewidth},
        {&s.SubjectCaption, &want.SubjectCaption}, {&s.SenderCaption, &want.SenderCaption},
        {&s.TimeCaption, &want.TimeCaption}, {&s.FirstButtonCaption, &want.FirstButtonCaption},
        {&s.PrevButtonCaption, &want.PrevButtonCaption}, {&s.NextButtonCaption, &want.NextButtonCaption}};
    for (const auto& [g, w] : texts) CheckSame(*g == *w, "a text setting is read", *g, *w);
    CheckSame(s.Entries == want.Entries, "Entries is read", std::to_string(s.Entries), std::to_string(want.Entries));
    CheckSame(s.AllowHTML == want.AllowHTML, "AllowHTML is read", std::to_string(s.AllowHTML),
              std::to_string(want.AllowHTML));
    for (int i = 0; i < 6; ++i) {
      const std::string& page = parts[i + 1];
      std::vector<std::string> lines = page == std::string(1, '\0') ? BuiltIn(i) : ModelLines(page);
      if (i == 0) lines.insert(lines.end(), {"<BR>", "%NEWSLIST%", "</form>"});
      std::string gotText, wantText;
      for (const auto& l : got.lines[i]) gotText += l + "|";
      for (const auto& l : lines) wantText += l + "|";
      CheckSame(got.lines[i] == lines, PageSuffixes[i], gotText, wantText);
    }
  }
  return 0;
}
