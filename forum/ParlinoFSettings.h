// The forum's settings step: where its files lie, its settings file, and the
// page files that replace the built-in templates. Recomputed per request.
#pragma once
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

// The lines of the forum's pages for one request: built-in lines or those
// of the page files that replace them.
struct TForumPages {
  std::vector<std::string> HtmlList, HtmlNew, HtmlView, HtmlNewError, HtmlNewOK, HtmlremoveOK;
};

// D/parlino/B, else D/../parlino/B, else D/B for the program file D/B.ext.
std::string ForumFilePrefix(const std::string& ProgramFile);

// Sets State from the program file's forum, replaces the lines of each page
// that has a page file (Pages holds the built-in lines on entry), then
// completes the list template.
// Raises EConvertError for a bad Entries value and EFOpenError for a page
// file that exists but cannot be read.
void LoadSettings(const std::string& ProgramFile, TForumState& State, TForumPages& Pages);
