#include "engine/HUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatTime.h"

namespace {

const std::string Marker = NotAvailable;

struct Conversion {
  std::string input, expected;
};

TEST(UrlEncode, EscapesEverythingButLettersDigitsDotAndSlashes) {
  const std::vector<Conversion> cases = {
      {" ", "+"},
      {"a/b.c", "a/b.c"},
      {"x-y", "x%2Dy"},
      {"\xE9", "%E9"},
      {"\n", "%0A"},
      {"-_*:~", "%2D%5F%2A%3A%7E"},
      {"C:\\dir\\f.txt", "C%3A\\dir\\f.txt"},
      {"AZaz09", "AZaz09"},
      {std::string("\0\x7F\xFF", 3), "%00%7F%FF"},
      {"a+b=c&d%", "a%2Bb%3Dc%26d%25"},
      {"", ""},
  };
  for (const Conversion& c : cases) EXPECT_EQ(UrlEncode(c.input), c.expected) << c.input;
}

TEST(UrlDecode, TurnsPlusAndTwoDigitEscapesIntoBytes) {
  const std::vector<Conversion> cases = {
      {"a+b", "a b"},
      {"%41", "A"},
      {"%e9", "\xE9"},
      {"+%C3", " \xC3"},
      {"abc%4", "abc%4"},
      {"abc%", "abc%"},
      {"%zz", "%zz"},
      {"%4g", "%4g"},
      {"%%41", "%A"},
      {"%2B%25", "+%"},
      {"%00x", std::string("\0x", 2)},
      {"", ""},
  };
  for (const Conversion& c : cases) EXPECT_EQ(UrlDecode(c.input), c.expected) << c.input;
}

TEST(UrlDecode, UndoesUrlEncodeForAnyBytes) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 2000; ++round) {
    std::string text(random() % 80, '\0');
    for (char& c : text) c = static_cast<char>(random() % 256);
    ASSERT_EQ(UrlDecode(UrlEncode(text)), text);
  }
}

TEST(IsHexDigit, AcceptsDigitsAndBothCasesOfAToF) {
  for (int c = 0; c < 256; ++c) {
    const bool expected = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    EXPECT_EQ(IsHexDigit(static_cast<char>(c)), expected) << c;
  }
}

struct Lookup {
  std::string name, data, fallback, expected;
};

TEST(GetFieldValue, FindsFieldsByTrimmedCaseInsensitiveName) {
  const std::vector<Lookup> cases = {
      {"A", "a=1&b=2", "none", "1"},
      {"c", "a=1&b=2", "none", "none"},
      {"a", "a=1&a=2", "none", "1\r\n2"},
      {"a", "a=1&b=2&a=3&a=4", "none", "1\r\n3\r\n4"},
      {"a", "a=&b=2", Marker, ""},
      {"x", "a=&b=2", Marker, Marker},
      {"a", "flag&a=1", "none", "none"},
      {"flag&a", "flag&a=1", "none", "1"},
      {" a ", "+a%20=v", "none", "v"},
      {"a", "a=b=c", "none", "b=c"},
      {"a", "a=x+y%41", "none", "x yA"},
      // An empty piece joins the next name, as a piece without "=" does.
      {"a", "a=1&&a=2", "none", "1"},
      {"a", "", "d", "d"},
      {"", "=v", "d", "v"},
      {"\xE9", "%E9=1", "none", "1"},
      // Upper-casing is plain ASCII.
      {"\xE9", "%C9=1", "none", "none"},
      {"b", "a=1&b", "none", "none"},
  };
  for (const Lookup& c : cases)
    EXPECT_EQ(GetFieldValue(c.name, c.data, c.fallback), c.expected) << c.name << " in " << c.data;
}

// A later value that reads as the marker counts as absent when it ends the
// list; inside the list it is an ordinary value.
TEST(GetFieldValue, JoinsRepeatedValuesAsTheRecursiveLookupDoes) {
  const std::string m = "%231NOT_AVAILABLE%231";
  const std::vector<Lookup> cases = {
      {"a", "a=1&a=" + m, "none", "1"},
      {"a", "a=1&a=" + m + "&a=" + m, "none", "1"},
      {"a", "a=" + m + "&a=2", "none", Marker + "\r\n2"},
      {"a", "a=1&a=" + m + "&a=3", "none", "1\r\n" + Marker + "\r\n3"},
      {"a", "a=" + m + "&a=" + m, "none", Marker},
  };
  for (const Lookup& c : cases) EXPECT_EQ(GetFieldValue(c.name, c.data, c.fallback), c.expected) << c.data;
}

TEST(GetFieldValue, StaysFastForManyRepeatedPairs) {
  std::string data;
  const int count = 200000;
  for (int i = 0; i < count; ++i) data += "a=1&";
  const std::string value = GetFieldValue("a", data, "none");
  EXPECT_EQ(value.size(), static_cast<size_t>(count + 2 * (count - 1)));
  EXPECT_EQ(value.substr(0, 4), "1\r\n1");
}

TEST(GetFieldNamesOf, ListsDecodedNamesOnceWhenAdjacent) {
  struct Case {
    std::string data;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"a=1&b=2&a=3", {"a", "b", "a"}},
      {"a=1&a=2", {"a"}},
      {"flag&a=1", {"a"}},
      {"x%41=1&A=2", {"xA", "A"}},
      {"a=1&A=2", {"a", "A"}},
      {"a=1&b&a=2", {"a"}},
      {"a+b=1&", {"a b"}},
      {"=1", {""}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(GetFieldNamesOf(c.data), c.names) << c.data;
}

class EnvironmentTest : public ::testing::Test {
 protected:
  void Remember(const std::string& name) {
    saved_.push_back({name, plat::GetEnv(name), plat::HasEnv(name)});
  }
  void TearDown() override {
    for (const Saved& s : saved_) {
      if (s.present)
        plat::SetEnv(s.name, s.value);
      else
        plat::UnsetEnv(s.name);
    }
  }

 private:
  struct Saved {
    std::string name, value;
    bool present;
  };
  std::vector<Saved> saved_;
};

using HttpDateTest = EnvironmentTest;

TEST_F(HttpDateTest, GivesTheUtcTimeWithEnglishNames) {
  Remember("TZ");
  plat::SetEnv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  struct Case {
    plat::TDateParts local;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{2024, 1, 15, 12, 0, 0, 0}, "Mon, 15 Jan 2024 11:00:00 GMT"},
      {{2024, 7, 15, 12, 0, 0, 0}, "Mon, 15 Jul 2024 10:00:00 GMT"},
      {{2024, 3, 1, 0, 30, 5, 0}, "Thu, 29 Feb 2024 23:30:05 GMT"},
      {{2000, 1, 1, 0, 59, 59, 0}, "Fri, 31 Dec 1999 23:59:59 GMT"},
      {{2023, 12, 31, 1, 2, 3, 0}, "Sun, 31 Dec 2023 00:02:03 GMT"},
      {{1999, 10, 2, 8, 7, 6, 0}, "Sat, 02 Oct 1999 06:07:06 GMT"},
  };
  for (const Case& c : cases) EXPECT_EQ(HttpDate(plat::EncodeDateTime(c.local)), c.expected);
}

using GetEnvVarTest = EnvironmentTest;

TEST_F(GetEnvVarTest, ReadsVariablesAndHidesServerSoftwareWithZb) {
  Remember("SERVER_SOFTWARE");
  Remember("PARLINO_TEST_VAR");
  struct Case {
    std::string name, value, expected;
  };
  const std::string longValue(10000, 'v');
  const std::vector<Case> cases = {
      {"SERVER_SOFTWARE", "Microsoft-IIS/5.0", "Microsoft-IIS/5.0"},
      {"SERVER_SOFTWARE", "Some ZB server", ""},
      {"SERVER_SOFTWARE", "xZBy", ""},
      {"SERVER_SOFTWARE", "lower zb", "lower zb"},
      {"PARLINO_TEST_VAR", "has ZB", "has ZB"},
      {"PARLINO_TEST_VAR", longValue, longValue},
  };
  for (const Case& c : cases) {
    plat::SetEnv(c.name, c.value);
    EXPECT_EQ(GetEnvVar(c.name), c.expected) << c.name << "=" << c.value.substr(0, 40);
  }
  plat::UnsetEnv("PARLINO_TEST_VAR");
  EXPECT_EQ(GetEnvVar("PARLINO_TEST_VAR"), "");
}

TEST(ModuleFileName, IsTheRunningProgramsFullPath) {
  const std::string path = ModuleFileName();
  EXPECT_EQ(path, plat::ModulePath());
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_TRUE(plat::FileExists(path));
}

TEST(BuildFileName, ComposesDirectoryStemAndExtension) {
  struct Case {
    std::string base, dir, ext, name, expected;
  };
  const std::string base = "/opt/app/forum.cgi";
  const std::vector<Case> cases = {
      {base, "Log", "Log", "forum.cgi", "/opt/app/Log/forum.Log"},
      {base, "Log", "Log", "/var/x.y", "/var/x.y"},
      {base, "/var/log", "Log", "forum.cgi", "/var/log/forum.Log"},
      {base, "/var/log/", "Log", "forum.cgi", "/var/log/forum.Log"},
      {base, "", "Log", "forum.cgi", "/opt/app/forum.Log"},
      {base, "", "", "a.b.c", "/opt/app/a.b.c"},
      {base, "", "", "abc", "/opt/app/abc."},
      {base, "tmp", "tmp", "1234567b", "/opt/app/tmp/1234567b.tmp"},
      {base, "./x/./y", "tmp", "f", "/opt/app/x/y/f.tmp"},
      {base, "a/././b", "tmp", "f", "/opt/app/a/b/f.tmp"},
      {base, "//srv/share", "Log", "forum", "/srv/share/forum.Log"},
      {base, "../Log", "Log", "forum", "/opt/app/../Log/forum.Log"},
      // The stem keeps the directory part of Name.
      {base, "Log", "Log", "sub/f.txt", "/opt/app/Log/sub/f.Log"},
      {base, "", "", "a.b/c", "/opt/app/a.b/c."},
      {"forum", "Log", "Log", "forum", "/Log/forum.Log"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BuildFileName(c.base, c.dir, c.ext, c.name), c.expected)
        << c.base << " | " << c.dir << " | " << c.ext << " | " << c.name;
}

TEST(BuildFileName, PlacesTheLogBelowTheProgramsDirectory) {
  const std::string program = ModuleFileName();
  const std::string name = plat::ExtractFileName(program);
  const std::string stem = name.substr(0, name.find('.'));
  EXPECT_EQ(BuildFileName(program, "Log", "Log", name), plat::ExtractFilePath(program) + "Log/" + stem + ".Log");
}

TEST(FindFile, ReportsWhetherAMatchExists) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("parlino_findfile_" + std::to_string(plat::ProcessId()));
  fs::create_directories(dir / "sub");
  ASSERT_TRUE(plat::AppendToFile((dir / "data.txt").string(), "12345"));

  plat::TSearchRec record;
  EXPECT_EQ(FindFile((dir / "data.txt").string(), plat::faAnyFile, record), 0);
  EXPECT_EQ(record.Name, "data.txt");
  EXPECT_EQ(record.Size, 5);
  EXPECT_EQ(FindFile((dir / "d*.t?t").string(), plat::faAnyFile, record), 0);
  EXPECT_EQ(record.Name, "data.txt");
  EXPECT_EQ(FindFile((dir / "sub").string(), plat::faDirectory, record), 0);
  EXPECT_NE(FindFile((dir / "missing.txt").string(), plat::faAnyFile, record), 0);
  EXPECT_NE(FindFile((dir / "nodir" / "x").string(), plat::faAnyFile, record), 0);
  fs::remove_all(dir);
}

}  // namespace
