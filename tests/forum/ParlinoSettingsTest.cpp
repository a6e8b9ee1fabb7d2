// The settings file and the data directory, as the next request's pages and
// files show them.
#include "tests/support/ForumFixture.h"

namespace {

class Settings : public ForumSite {};

TEST_F(Settings, WritesEverySettingIntoTheListOrFailsOnAnEntriesThatIsNoNumber) {
  Store(std::vector<TNewsRecord>(80, Message(1, 0, "m")));
  // Font, colour, width; captions of the columns and of First, Prev and Next.
  const std::vector<std::string> d = {"Arial", "#FFFFFF", "100%", "Subject", "Sender", "Time", "  |&lt; ", "  &lt;  ",
                                      "  &gt;  "};
  auto entries = [](const std::string& value) { return "[Parameters]\nEntries=" + value + "\n"; };
  const std::tuple<std::string, std::vector<std::string>, int> cases[] = {  // settings file, texts, rows on page 3
      {"", d, 25},
      // Only the Parameters section counts; names in any case, values without
      // surrounding blanks and one pair of quotation marks.
      {"[Other]\nFontname=wrong\n[parameters]\nFONTNAME=\"Times New Roman\"\nTablecolor='#000000'\nTablewidth= 80% \n"
       "entries=10\nSubjectCaption=S\nSenderCaption=F\nTimeCaption=T\nFirstButtonCaption=<<\nPrevButtonCaption=<\n"
       "NextButtonCaption=>\n",
       {"Times New Roman", "#000000", "80%", "S", "F", "T", "<<", "<", ">"}, 10},
      {"[Parameters]\r\nFontname=\r\nTablecolor=\r\nTablewidth=\r\nSubjectCaption=\r\nSenderCaption=\r\n"
       "TimeCaption=\r\nFirstButtonCaption=\r\nPrevButtonCaption=\r\nNextButtonCaption=\r\n",
       {"", "", "", "", "", "", "", "", ""}, 25},
      // Which numbers StrToInt takes is its own test's.
      {entries("0"), d, 0}, {entries("-5"), d, 0}, {entries("+7"), d, 7}, {entries("\"4\""), d, 4},
      {entries("abc"), {"abc"}, -1}, {entries(""), {""}, -1}, {entries("3000000000"), {"3000000000"}, -1}};
  for (const auto& [ini, v, rows] : cases) {
    SCOPED_TRACE(ini);
    Ini(ini);
    const std::string page = Request("PAGE=3"), button = "\">\r\n<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_";
    EXPECT_TRUE(rows >= 0 || page == Html + "<html><body>'" + v[0] + "' ist kein g\xFCltiger Integerwert" + End);
    if (rows < 0) continue;
    EXPECT_TRUE(Has(page, "<font face=\"" + v[0] + "\"><TABLE BORDER BGCOLOR=" + v[1] + " WIDTH=" + v[2] + ">\r\n<TR>"
                              "<TH WIDTH=1></TH><TH>" + v[3] + "</TH><TH>" + v[4] + "</TH><TH>" + v[5] + "</TH></TR>"));
    EXPECT_TRUE(Has(page, "<CENTER>\r\n<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_FIRST\" VALUE=\"" + v[6] + button +
                              "PREV\" VALUE=\"" + v[7] + button + "NEXT\" VALUE=\"" + v[8] + "\">\r\n</CENTER>"));
    EXPECT_EQ(Rows(page).size(), static_cast<size_t>(rows));
  }
}

TEST_F(Settings, ReadsAllowHtmlAsAWholeNumberAfterAnyByteOrderMark) {
  // A data directory beside the program wins over the one above; the base name ends at the last full stop.
  Install("bin/my.forum.cgi");
  fs::remove(root / "bin" / "parlino");
  fs::create_directory(root / "bin" / "parlino");
  data = (root / "bin" / "parlino" / "my.forum").string();
  const std::string text = "<b>\"q\" & 'a'", escaped = "&lt;b&gt;&quot;q&quot; & 'a'";
  const std::pair<const char*, bool> cases[] = {
      {"0", false},  {"00", false},  {"0x0", false},  {"0X00", false},  {"-0", false}, {"+0", false},
      {" 0 ", false}, {"\"0\"", false}, {"1", true},     {"-1", true},      {"0xa", true}, {"0x1F", true},
      {"false", true}, {"no", true},   {"yes", true},    {"", true},        {"0x", true},  {"0xZ", true},
      {"1.5", true},   {"0xffffffff", true}, {"0x100000000", true}, {"99999999999", true}};
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
}

}  // namespace
