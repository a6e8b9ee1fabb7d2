#include "platform/PlatProfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/PlatProcess.h"

namespace {

struct ProfileCase {
  const char* what;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> value;  // nullopt: absent
};

TEST(ProfileReader, AnswersLikeTheWindowsProfileReader) {
  const std::string longValue(3000, 'v');
  const ProfileCase cases[] = {
      {"CR LF lines", "[Parameters]\r\nPassword=abc\r\nEntries=7\r\n", "Parameters", "Entries", "7"},
      {"LF lines", "[Parameters]\nPassword=abc\nEntries=7\n", "Parameters", "Entries", "7"},
      {"CR lines", "[Parameters]\rPassword=abc\rEntries=7\r", "Parameters", "Entries", "7"},
      {"last line without end", "[Parameters]\nEntries=7", "Parameters", "Entries", "7"},
      {"names ignore case", "[PARAMETERS]\nentries=7\n", "parameters", "ENTRIES", "7"},
      {"blanks around names and value", "  [ Parameters ]  \n\t Password \t=  two words \t\n",
       "Parameters", "Password", "two words"},
      {"double quotes", "[P]\nA=\"  spaced  \"\n", "P", "A", "  spaced  "},
      {"single quotes", "[P]\nA='x'\n", "P", "A", "x"},
      {"blanks outside quotes", "[P]\nA=  \"x\"  \n", "P", "A", "x"},
      {"mixed quotes stay", "[P]\nA=\"x'\n", "P", "A", "\"x'"},
      {"one quote stays", "[P]\nA=\"\n", "P", "A", "\""},
      {"only one pair goes", "[P]\nA=\"\"x\"\"\n", "P", "A", "\"x\""},
      {"empty quotes", "[P]\nA=\"\"\n", "P", "A", ""},
      {"empty value is present", "[P]\nA=\n", "P", "A", ""},
      {"blank value is present", "[P]\nA=   \n", "P", "A", ""},
      {"value keeps further equals signs", "[P]\nA=b=c\n", "P", "A", "b=c"},
      {"line without equals sign is no key", "[P]\nA\n", "P", "A", std::nullopt},
      {"absent key", "[P]\nA=1\n", "P", "B", std::nullopt},
      {"absent section", "[Q]\nA=1\n", "P", "A", std::nullopt},
      {"key of another section", "[P]\nB=1\n[Q]\nA=1\n", "P", "A", std::nullopt},
      {"key before any section", "A=1\n[P]\nB=2\n", "P", "A", std::nullopt},
      {"first key wins", "[P]\nA=1\na=2\n", "P", "A", "1"},
      {"first section wins", "[P]\nA=1\n[p]\nA=2\nB=3\n", "P", "A", "1"},
      {"later section of the same name is not read", "[P]\nA=1\n[p]\nB=3\n", "P", "B", std::nullopt},
      {"section line may hold an equals sign", "[P]\n[Q=1]\nA=2\n", "Q=1", "A", "2"},
      {"value cut to 2047", "[P]\nA=" + longValue + "\n", "P", "A", longValue.substr(0, 2047)},
      {"quotes go before the cut", "[P]\nA=\"" + longValue + "\"\n", "P", "A", longValue.substr(0, 2047)},
      {"empty text", "", "P", "A", std::nullopt},
  };
  for (const ProfileCase& c : cases) {
    plat::TProfileFile profile(c.text);
    std::string value = "untouched";
    bool found = profile.Read(c.section, c.key, value);
    EXPECT_EQ(found, c.value.has_value()) << c.what;
    if (c.value) {
      EXPECT_EQ(value, *c.value) << c.what;
    } else {
      EXPECT_EQ(value, "untouched") << c.what;
    }
  }
}

TEST(ProfileReader, ReadsFilesAndTellsAbsentFromEmpty) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("parlino-profile-" + std::to_string(plat::ProcessId()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "forum.ini").string();
  {
    std::ofstream out(file, std::ios::binary);
    out << "[Parameters]\r\nFontname=\r\nTablecolor=#000000\r\n";
  }

  bool found = false;
  EXPECT_EQ(plat::ReadProfileString(file, "Parameters", "Tablecolor", "dflt", found), "#000000");
  EXPECT_TRUE(found);
  EXPECT_EQ(plat::ReadProfileString(file, "Parameters", "Fontname", "dflt", found), "");
  EXPECT_TRUE(found);
  EXPECT_EQ(plat::ReadProfileString(file, "Parameters", "Password", "dflt", found), "dflt");
  EXPECT_FALSE(found);
  EXPECT_EQ(plat::ReadProfileString((dir / "none.ini").string(), "Parameters", "Fontname", "dflt", found),
            "dflt");
  EXPECT_FALSE(found);
  // A directory in place of the file reads as an empty profile.
  EXPECT_EQ(plat::ReadProfileString(dir.string(), "Parameters", "Fontname", "dflt", found), "dflt");
  EXPECT_FALSE(found);

  std::filesystem::remove_all(dir);
}

}  // namespace
