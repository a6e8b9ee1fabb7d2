#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "forum/ParlinoFSettings.h"
#include "platform/PlatExcept.h"
#include "platform/PlatProcess.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// A program bin/forum.cgi inside a fresh directory, with its six templates.
class ForumSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    root = fs::temp_directory_path() /
           ("parlino-settings-" + std::to_string(plat::ProcessId()) + "-" + std::to_string(++serial));
    fs::create_directories(root / "bin");
    program = (root / "bin" / "forum.cgi").string();
    for (size_t i = 0; i < 6; ++i) {
      builtIn[i] = {"built-in " + std::to_string(i)};
      *slots()[i] = TPageSlot{&filters[i], &builtIn[i]};
    }
  }
  void TearDown() override { fs::remove_all(root); }

  std::vector<TPageSlot*> slots() {
    return {&pages.HtmlList, &pages.HtmlNew, &pages.HtmlView,
            &pages.HtmlNewError, &pages.HtmlNewOK, &pages.HtmlremoveOK};
  }
  // The settings file of a program beside its data.
  void Ini(const std::string& text) { WriteFile(root / "bin" / "forum.ini", text); }
  TForumSettings Load() {
    LoadSettings(program, state, pages);
    return state.Settings;
  }

  fs::path root;
  std::string program;
  THttpMemoFilter filters[6]{THttpMemoFilter(nullptr), THttpMemoFilter(nullptr), THttpMemoFilter(nullptr),
                             THttpMemoFilter(nullptr), THttpMemoFilter(nullptr), THttpMemoFilter(nullptr)};
  Lines builtIn[6];
  TForumPages pages;
  TForumState state;
};

TEST_F(ForumSettings, FindsTheDataDirectoryBesideThenAboveTheProgram) {
  const std::string bin = (root / "bin").string();
  EXPECT_EQ(ForumFilePrefix(program), bin + "/forum");
  fs::create_directories(root / "parlino");
  EXPECT_EQ(ForumFilePrefix(program), bin + "/../parlino/forum");
  fs::create_directories(root / "bin" / "parlino");
  EXPECT_EQ(ForumFilePrefix(program), bin + "/parlino/forum");
  // Any entry of that name counts, a plain file too.
  fs::remove_all(root / "bin" / "parlino");
  fs::remove_all(root / "parlino");
  WriteFile(root / "bin" / "parlino", "");
  EXPECT_EQ(ForumFilePrefix(program), bin + "/parlino/forum");
}

TEST_F(ForumSettings, TakesTheBaseNameUpToTheLastFullStop) {
  const std::string bin = (root / "bin").string();
  const std::pair<const char*, const char*> cases[] = {
      {"forum.cgi", "forum"}, {"forum", "forum"}, {"forum.cgi.x", "forum.cgi"}, {"my.forum.exe", "my.forum"}};
  for (const auto& [file, base] : cases)
    EXPECT_EQ(ForumFilePrefix(bin + "/" + file), bin + "/" + base) << file;
}

TEST_F(ForumSettings, UsesTheDefaultsWithoutSettingsFile) {
  TForumSettings s = Load();
  EXPECT_EQ(state.FilePrefix, (root / "bin" / "forum").string());
  EXPECT_EQ(s.Password, "lumo");
  EXPECT_EQ(s.Entries, 25);
  EXPECT_EQ(s.Fontname, "Arial");
  EXPECT_EQ(s.Tablecolor, "#FFFFFF");
  EXPECT_EQ(s.Tablewidth, "100%");
  EXPECT_TRUE(s.AllowHTML);
  EXPECT_EQ(s.SubjectCaption, "Subject");
  EXPECT_EQ(s.SenderCaption, "Sender");
  EXPECT_EQ(s.TimeCaption, "Time");
  EXPECT_EQ(s.FirstButtonCaption, "  |&lt; ");
  EXPECT_EQ(s.PrevButtonCaption, "  &lt;  ");
  EXPECT_EQ(s.NextButtonCaption, "  &gt;  ");
}

TEST_F(ForumSettings, ReadsEveryKeyOfTheParametersSection) {
  Ini("[Other]\r\nPassword=wrong\r\n[parameters]\r\nPASSWORD=secret\r\nEntries= 10 \r\n"
      "Fontname=\"Times New Roman\"\r\nTablecolor='#000000'\r\nTablewidth=80%\r\nAllowHTML=0\r\n"
      "SubjectCaption=Betreff\r\nSenderCaption=Von\r\nTimeCaption=Zeit\r\n"
      "FirstButtonCaption=<<\r\nPrevButtonCaption=<\r\nNextButtonCaption=>\r\n");
  TForumSettings s = Load();
  EXPECT_EQ(s.Password, "secret");
  EXPECT_EQ(s.Entries, 10);
  EXPECT_EQ(s.Fontname, "Times New Roman");
  EXPECT_EQ(s.Tablecolor, "#000000");
  EXPECT_EQ(s.Tablewidth, "80%");
  EXPECT_FALSE(s.AllowHTML);
  EXPECT_EQ(s.SubjectCaption, "Betreff");
  EXPECT_EQ(s.SenderCaption, "Von");
  EXPECT_EQ(s.TimeCaption, "Zeit");
  EXPECT_EQ(s.FirstButtonCaption, "<<");
  EXPECT_EQ(s.PrevButtonCaption, "<");
  EXPECT_EQ(s.NextButtonCaption, ">");
}

TEST_F(ForumSettings, GivesEmptyTextForKeysPresentWithoutValue) {
  Ini("[Parameters]\nPassword=\nFontname=\nTablecolor=\nTablewidth=\nAllowHTML=\nSubjectCaption=\n"
      "SenderCaption=\nTimeCaption=\nFirstButtonCaption=\nPrevButtonCaption=\nNextButtonCaption=\n");
  TForumSettings s = Load();
  for (const std::string* text : {&s.Password, &s.Fontname, &s.Tablecolor, &s.Tablewidth, &s.SubjectCaption,
                                  &s.SenderCaption, &s.TimeCaption, &s.FirstButtonCaption,
                                  &s.PrevButtonCaption, &s.NextButtonCaption})
    EXPECT_EQ(*text, "");
  EXPECT_EQ(s.Entries, 25);
  EXPECT_TRUE(s.AllowHTML);
}

TEST_F(ForumSettings, ReadsAllowHtmlAsWholeNumberWithDefaultForNonNumbers) {
  const std::pair<const char*, bool> cases[] = {
      {"0", false},    {"00", false},   {"0x0", false},  {"0X00", false}, {"-0", false},
      {"+0", false},   {" 0 ", false},  {"\"0\"", false}, {"1", true},    {"-1", true},
      {"0x1F", true},  {"0xffffffff", true}, {"false", true}, {"no", true}, {"yes", true},
      {"", true},      {"0x", true},    {"0xZ", true},   {"1.5", true},   {"0x100000000", true},
      {"99999999999", true},
  };
  for (const auto& [value, expected] : cases) {
    Ini(std::string("[Parameters]\nAllowHTML=") + value + "\n");
    EXPECT_EQ(Load().AllowHTML, expected) << "AllowHTML=" << value;
  }
}

TEST_F(ForumSettings, ConvertsEntriesOrFailsWithTheConversionMessage) {
  const std::pair<const char*, int> good[] = {{"10", 10}, {"0", 0}, {"-5", -5}, {"+7", 7}, {" 3 ", 3}};
  for (const auto& [value, expected] : good) {
    Ini(std::string("[Parameters]\nEntries=") + value + "\n");
    EXPECT_EQ(Load().Entries, expected) << value;
  }
  const std::pair<const char*, const char*> bad[] = {
      {"abc", "'abc' ist kein g\xFCltiger Integerwert"},
      {"", "'' ist kein g\xFCltiger Integerwert"},
      {"1 0", "'1 0' ist kein g\xFCltiger Integerwert"},
      {"0x10", "'0x10' ist kein g\xFCltiger Integerwert"},
      {"3000000000", "'3000000000' ist kein g\xFCltiger Integerwert"},
  };
  for (const auto& [value, message] : bad) {
    Ini(std::string("[Parameters]\nEntries=") + value + "\n");
    try {
      Load();
      ADD_FAILURE() << "no error for Entries=" << value;
    } catch (const plat::EConvertError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST_F(ForumSettings, StartsEveryRequestFromTheDefaults) {
  Ini("[Parameters]\nPassword=secret\nAllowHTML=0\n");
  Load();
  fs::remove(root / "bin" / "forum.ini");
  TForumSettings s = Load();
  EXPECT_EQ(s.Password, "lumo");
  EXPECT_TRUE(s.AllowHTML);
}

TEST_F(ForumSettings, PageFilesReplaceTheirTemplatesAndTheListIsCompleted) {
  const char* suffixes[] = {"_command.htm", "_newentry.htm", "_viewentry.htm",
                            "_newentryerror.htm", "_newentryok.htm", "_removeok.htm"};
  const Lines tail = {"<BR>", "%NEWSLIST%", "</form>"};

  Load();
  EXPECT_EQ(filters[0].Text(), (Lines{"built-in 0", "<BR>", "%NEWSLIST%", "</form>"}));
  for (size_t i = 1; i < 6; ++i) EXPECT_EQ(filters[i].Text(), builtIn[i]) << suffixes[i];

  for (size_t i = 0; i < 6; ++i)
    WriteFile(root / "bin" / (std::string("forum") + suffixes[i]), "page " + std::to_string(i));
  Load();
  EXPECT_EQ(filters[0].Text(), (Lines{"page 0", "<BR>", "%NEWSLIST%", "</form>"}));
  for (size_t i = 1; i < 6; ++i) EXPECT_EQ(filters[i].Text(), Lines{"page " + std::to_string(i)}) << suffixes[i];

  // A deleted page file brings the built-in lines back; nothing accumulates.
  for (size_t i = 0; i < 6; ++i) fs::remove(root / "bin" / (std::string("forum") + suffixes[i]));
  Load();
  Load();
  EXPECT_EQ(filters[0].Text(), (Lines{"built-in 0", "<BR>", "%NEWSLIST%", "</form>"}));
  for (size_t i = 1; i < 6; ++i) EXPECT_EQ(filters[i].Text(), builtIn[i]) << suffixes[i];
}

TEST_F(ForumSettings, SplitsPageFilesAtEveryKindOfLineEnd) {
  const std::pair<std::string, Lines> cases[] = {
      {"Hello", {"Hello"}},
      {"Hello\r\n", {"Hello"}},
      {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\r\r\n", {"a", ""}},
      {"a\n\r", {"a", ""}},
      {"\r\n", {""}},
      {"", {}},
      {"tab\tand  blanks ", {"tab\tand  blanks "}},
  };
  for (const auto& [bytes, lines] : cases) {
    WriteFile(root / "bin" / "forum_newentry.htm", bytes);
    WriteFile(root / "bin" / "forum_command.htm", bytes);
    Load();
    EXPECT_EQ(filters[1].Text(), lines);
    Lines list = lines;
    list.insert(list.end(), {"<BR>", "%NEWSLIST%", "</form>"});
    EXPECT_EQ(filters[0].Text(), list);
  }
}

TEST_F(ForumSettings, FailsWithTheOpenMessageForAPageFileThatCannotBeRead) {
  // A directory of that name exists but cannot be read as a file.
  const fs::path page = root / "bin" / "forum_viewentry.htm";
  fs::create_directories(page);
  try {
    Load();
    ADD_FAILURE() << "no error";
  } catch (const plat::EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Datei " + page.string() + " kann nicht ge\xF6" "ffnet werden");
  }
}

TEST_F(ForumSettings, ReadsSettingsAndPagesFromTheChosenDataDirectory) {
  fs::create_directories(root / "parlino");
  WriteFile(root / "parlino" / "forum.ini", "[Parameters]\nFontname=Above\n");
  WriteFile(root / "parlino" / "forum_command.htm", "Above");
  WriteFile(root / "bin" / "forum.ini", "[Parameters]\nFontname=Beside\n");
  TForumSettings s = Load();
  EXPECT_EQ(state.FilePrefix, (root / "bin").string() + "/../parlino/forum");
  EXPECT_EQ(s.Fontname, "Above");
  EXPECT_EQ(filters[0].Text(), (Lines{"Above", "<BR>", "%NEWSLIST%", "</form>"}));
}

}  // namespace
