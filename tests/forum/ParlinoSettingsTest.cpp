// The settings file and the data directory, as the next request's pages and
// files show them.
#include "tests/support/ForumFixture.h"

namespace {

class Settings : public ForumSite {};

TEST_F(Settings, ReadsAllowHtmlAsAWholeNumberAfterAnyByteOrderMarkAndEntriesAsANumber) {
  // A data directory beside the program wins over the one above; the base name ends at the last full stop.
  Install("bin/my.forum.cgi");
  fs::remove(root / "bin" / "parlino");
  fs::create_directory(root / "bin" / "parlino");
  data = (root / "bin" / "parlino" / "my.forum").string();
  const std::string text = "<b>\"q\" & 'a'", escaped = "&lt;b&gt;&quot;q&quot; & 'a'";
  const std::pair<const char*, bool> cases[] = {
      {"0", false}, {"0x0", false}, {"0X00", false}, {"-0", false}, {" 0 ", false}, {"\"0\"", false}, {"-1", true},
      {"0xa", true}, {"no", true}, {"0x", true}, {"0xZ", true}, {"0x100000000", true}, {"99999999999", true}};
  for (const auto& [value, allowed] : cases) {
    Ini(std::string("[Parameters]\nAllowHTML=") + value + "\n");
    Post("n", "e", "s", text);
    EXPECT_EQ(ReadFile(TextFile(Records().back().Id)), allowed ? text : escaped) << "AllowHTML=" << value;
  }
  // A byte order mark is skipped; with an empty password nobody administers.
  Ini("\xEF\xBB\xBF[Parameters]\nAllowHTML=0\nPassword=\n");
  Post("n", "e", "s", text);
  EXPECT_EQ(ReadFile(TextFile(Records().back().Id)), escaped);
  Post("tavik", "", "remove", "x", "&REPLYID=" + std::to_string(Records().back().Id));
  EXPECT_EQ(Records().size(), std::size(cases) + 1);
  // Which numbers StrToInt takes is its own test's.
  Ini("[Parameters]\nEntries=abc\n");
  EXPECT_EQ(Request(""), Html + "<html><body>'abc' ist kein g\xFCltiger Integerwert" + End);
}

}  // namespace
