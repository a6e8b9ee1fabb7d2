// The forum's settings step: where its files lie, its settings file, and the
// page files that replace the built-in templates. Recomputed per request.
#pragma once
#include <optional>
#include <string>
#include <vector>


struct TForumSettings {
  std::string Password = "lumo";
  int Entries = 25;
  std::string Fontname = "Arial";
  std::string Tablecolor = "#FFFFFF";
  std::string Tablewidth = "100%";
  bool AllowHTML = true;
  std::string SubjectCaption = "Subject";
  std::string SenderCaption = "Sender";
  std::string TimeCaption = "Time";
  std::string FirstButtonCaption = "  |&lt; ";
  std::string PrevButtonCaption = "  &lt;  ";
  std::string NextButtonCaption = "  &gt;  ";
};

// What one request knows about its forum.
struct TForumState {
  std::string FilePrefix;  // data directory + "/" + program base name
  TForumSettings Settings;
};

// A page's lines for one request: the built-in ones, or those of the page
// file that replaces them.
struct TPageLines {
  const std::vector<std::string>* BuiltIn = nullptr;
  std::optional<std::vector<std::string>> File;
  const std::vector<std::string>& Lines() const { return File ? *File : *BuiltIn; }
};

struct TForumPages {
  TPageLines HtmlList, HtmlNew, HtmlView, HtmlNewError, HtmlNewOK, HtmlremoveOK;
};

// The lines that complete the list template, whichever lines it has.
inline const std::vector<std::string>& ListTemplateTail() {
  static const std::vector<std::string> lines = {"<BR>", "%NEWSLIST%", "</form>"};
  return lines;
}

// D/parlino/B, else D/../parlino/B, else D/B for the program file D/B.ext.
std::string ForumFilePrefix(const std::string& ProgramFile);

// Sets State from the program file's forum and takes the lines of each page
// that has a page file.
// Raises EConvertError for a bad Entries value and EFOpenError for a page
// file that exists but cannot be read.
void LoadSettings(const std::string& ProgramFile, TForumState& State, TForumPages& Pages);
