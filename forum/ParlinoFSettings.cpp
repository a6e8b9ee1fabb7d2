#include "forum/ParlinoFSettings.h"

#include <cstdint>

#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProfile.h"
#include "platform/PlatText.h"

namespace {

// Whole number as the Windows ini reader takes it: "0x"/"0X" and more is
// hexadecimal, anything else decimal. False when it is not a number.
bool ProfileInteger(const std::string& text, int64_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint64_t v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      char c = text[i];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return false;
      v = v * 16 + static_cast<uint64_t>(digit);
      if (v > 0xFFFFFFFFu) return false;
    }
    value = static_cast<int64_t>(v);
    return true;
  }
  int decimal = 0;
  if (!plat::TryStrToInt(text, decimal)) return false;
  value = decimal;
  return true;
}

// Lines of a page file; CR LF, LF and CR all end a line, and the last line
// needs none.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

void LoadPage(const std::string& fileName, TPageLines& page) {
  page.File.reset();
  if (!plat::FileExists(fileName)) return;
  std::string contents;
  if (!plat::ReadWholeFile(fileName, contents)) throw plat::EFOpenError(fileName);
  page.File = SplitLines(contents);
}

}  // namespace

std::string ForumFilePrefix(const std::string& ProgramFile) {
  size_t slash = ProgramFile.rfind('/');
  std::string dir = slash == std::string::npos ? "." : ProgramFile.substr(0, slash);
  std::string name = slash == std::string::npos ? ProgramFile : ProgramFile.substr(slash + 1);
  size_t dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);

  for (const char* candidate : {"/parlino", "/../parlino"}) {
    std::string dataDir = dir + candidate;
    // A program named like the data directory must not take itself for it.
    if (plat::FileExists(dataDir) && !plat::SameFile(dataDir, ProgramFile)) return dataDir + "/" + base;
  }
  return dir + "/" + base;
}

void LoadSettings(const std::string& ProgramFile, TForumState& State, TForumPages& Pages) {
  State.FilePrefix = ForumFilePrefix(ProgramFile);
  State.Settings = TForumSettings();
  TForumSettings& s = State.Settings;

  // Only a missing file gives the defaults: one this account may not read
  // must not hand out the published password.
  const std::string iniName = State.FilePrefix + ".ini";
  std::string iniText;
  if (plat::FileExists(iniName) && !plat::ReadWholeFile(iniName, iniText)) throw plat::EFOpenError(iniName);
  const plat::TProfileFile ini(iniText);
  auto text = [&](const char* key, std::string& target) {
    std::string value;
    if (ini.Read("Parameters", key, value)) target = value;
  };

  text("Password", s.Password);
  std::string entries = "25";
  text("Entries", entries);
  s.Entries = plat::StrToInt(entries);
  text("Fontname", s.Fontname);
  text("Tablecolor", s.Tablecolor);
  text("Tablewidth", s.Tablewidth);
  std::string allowHtml;
  int64_t allowValue = 0;
  if (ini.Read("Parameters", "AllowHTML", allowHtml) && ProfileInteger(allowHtml, allowValue))
    s.AllowHTML = allowValue != 0;
  text("SubjectCaption", s.SubjectCaption);
  text("SenderCaption", s.SenderCaption);
  text("TimeCaption", s.TimeCaption);
  text("FirstButtonCaption", s.FirstButtonCaption);
  text("PrevButtonCaption", s.PrevButtonCaption);
  text("NextButtonCaption", s.NextButtonCaption);

  LoadPage(State.FilePrefix + "_command.htm", Pages.HtmlList);
  LoadPage(State.FilePrefix + "_newentry.htm", Pages.HtmlNew);
  LoadPage(State.FilePrefix + "_viewentry.htm", Pages.HtmlView);
  LoadPage(State.FilePrefix + "_newentryerror.htm", Pages.HtmlNewError);
  LoadPage(State.FilePrefix + "_newentryok.htm", Pages.HtmlNewOK);
  LoadPage(State.FilePrefix + "_removeok.htm", Pages.HtmlremoveOK);

}
