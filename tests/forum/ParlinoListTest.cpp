// The message list: threads newest first with replies beneath their parent,
// or flat, newest first; a page at a time with its paging buttons. And the
// settings file and the data directory, as the next request's pages and
// files show them.
#include <random>

#include "tests/support/ForumFixture.h"

namespace {

class List : public ForumSite {};

// The list as first described: each reply goes directly after the first
// message, counted from the front, with the number it answers.
std::vector<std::string> FrontSearch(const std::vector<TNewsRecord>& records) {
  std::vector<std::pair<const TNewsRecord*, int>> list;  // message, indentation
  for (const TNewsRecord& r : records) {
    auto parent = std::find_if(list.begin(), list.end(), [&](const auto& n) { return n.first->Id == r.ReplyId; });
    const int level = r.ReplyId < 1 || parent == list.end() ? 0 : std::min(255, parent->second + 1);
    list.insert(level ? parent + 1 : list.begin(), {&r, level});
  }
  std::vector<std::string> rows;
  for (const auto& [r, level] : list) rows.push_back(r->Subject + "/" + std::to_string(level));
  return rows;
}

TEST_F(List, FollowsTheSettingsAndMatchesTheFrontSearchOnRandomForumsWithRepeatedNumbers) {
  // A data directory beside the program wins over the one above; the base name ends at the last full stop.
  fs::rename(program, root / "bin" / "my.forum.cgi");
  program = (root / "bin" / "my.forum.cgi").string();
  fs::create_directory(root / "bin" / "parlino");
  data = (root / "bin" / "parlino" / "my.forum").string();
  const std::string text = "<b>\"q\" & 'a'", escaped = "&lt;b&gt;&quot;q&quot; & 'a'";
  // Decimals as StrToInt's own test takes them, blanks and quotes as below.
  const std::pair<const char*, bool> allow[] = {
      {"0", false}, {"0X00", false}, {"-1", true}, {"0xa", true}, {"0x", true}, {"0xZ", true}, {"0x100000000", true}};
  for (const auto& [value, allowed] : allow) {  // after a byte order mark, which is skipped
    WriteFile(data + ".ini", std::string("\xEF\xBB\xBF[Parameters]\nPassword=\nAllowHTML=") + value + "\n");
    Post("n", "e", "s", text);
    EXPECT_EQ(ReadFile(TextFile(Records().back().Id)), allowed ? text : escaped) << "AllowHTML=" << value;
  }
  // With an empty password nobody administers.
  Post("tavik", "", "remove", "x", "&REPLYID=" + std::to_string(Records().back().Id));
  EXPECT_EQ(Records().size(), std::size(allow));

  std::vector<TNewsRecord> sixty;
  for (int i = 0; i < 60; ++i) sixty.push_back(Message(i + 1, i % 3 == 2 ? i : 0, "m" + std::to_string(i)));
  Store(sixty);
  // Only the Parameters section counts; names in any case, values without
  // surrounding blanks and one pair of quotation marks.
  WriteFile(data + ".ini", "[Other]\nFontname=wrong\n[parameters]\nFONTNAME=\"Times New Roman\"\nTablecolor='#000000'\n"
            "Tablewidth= 80% \nentries=20\nSubjectCaption=S\nSenderCaption=F\nTimeCaption=T\nFirstButtonCaption=<<\n"
            "PrevButtonCaption=<\nNextButtonCaption=>\n");
  const std::vector<std::string> all = FrontSearch(sixty);
  // Page 2 of three, and the next page of the last number there is: that number again, empty. Which buttons each
  // page shows is the browser's to check; their captions come from the settings.
  const std::string second = Request("PAGE=2"), last = Request("PAGE=2147483647&ACTION_SEARCH_NEXT=x");
  EXPECT_EQ(Rows(second), std::vector<std::string>(all.begin() + 20, all.begin() + 40));
  EXPECT_TRUE(Has(last, "<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"2147483647\">") && Rows(last).empty()) << last;
  EXPECT_TRUE(Has(second, "PREV\" VALUE=\"<\"") && Has(second, "NEXT\" VALUE=\">\"") &&
              Has(last, "FIRST\" VALUE=\"<<\""));
  EXPECT_FALSE(Has(Request("PAGE=3"), "ACTION_SEARCH_NEXT"));  // the last page, exactly full
  EXPECT_TRUE(Has(second, "<font face=\"Times New Roman\"><TABLE BORDER BGCOLOR=#000000 WIDTH=80%>\r\n<TR><TH "
                          "WIDTH=1></TH><TH>S</TH><TH>F</TH><TH>T</TH></TR>"));

  // Random forums, many numbers repeated, replies to themselves, to later, missing or negative numbers, some
  // threads deep (beyond 255 steps of indentation, too): the list equals the front search's, row for row.
  WriteFile(data + ".ini", "[Parameters]\nEntries=100000\n");
  // A large page file is read first: its buffer, once freed, moves the list's large buffers onto the heap, where
  // running past one corrupts the heap and ends the program even without a sanitizer.
  WriteFile(data + "_command.htm", std::string(200000, ' '));
  std::mt19937 random(20240506);
  auto draw = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
  const int shapes[][3] = {  // records, numbers drawn from 1 to this, percent answering the record just before
      {1, 1, 0}, {5, 2, 0}, {40, 3, 0}, {300, 5, 0}, {600, 40, 0}, {1500, 8, 0}, {2000, 1000, 0}, {3000, 3, 0},
      {60, 4, 80}, {800, 6, 70}, {2500, 30, 90}, {2500, 2500, 95}, {2000, 1 << 30, 0}, {300, 1 << 30, 100}};
  for (const auto& [count, numbers, chain] : shapes) {
    std::vector<TNewsRecord> records;
    for (int i = 0; i < count; ++i) {
      const int id = draw(1, numbers), kind = draw(0, 99);
      int reply = id;  // itself
      if (i > 0 && draw(0, 99) < chain) reply = records[i - 1].Id;
      else if (kind < 25) reply = kind < 5 ? -kind : 0;
      else if (kind < 85 && i > 0) reply = records[draw(0, i - 1)].Id;
      else if (kind < 92) reply = draw(1, numbers);  // perhaps a later one
      records.push_back(Message(id, reply, "s" + std::to_string(i)));
    }
    Store(records);
    ASSERT_EQ(Rows(Request("")), FrontSearch(records)) << count << "/" << numbers;
  }
}

}  // namespace
