#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatExcept.h"
#include "platform/PlatProcess.h"
#include "platform/PlatTime.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/ForumFixture.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
constexpr size_t R = TNewsRecord::RecordSize;

// Computed on use: the date functions may not be ready while globals are
// initialised.
double Morning() { return plat::EncodeDateTime({2024, 5, 6, 7, 8, 9, 0}); }   // 06.05.2024 07:08:09
double Midnight() { return plat::EncodeDateTime({2024, 5, 7, 0, 0, 0, 0}); }  // 07.05.2024

TNewsRecord Message(int id, int replyId, const std::string& subject, double time = Morning()) {
  TNewsRecord r;
  r.Id = id;
  r.ReplyId = replyId;
  r.Subject = subject;
  r.Name = "From " + subject;
  r.Email = "mail";
  r.Time = time;
  return r;
}

Lines SplitLines(const std::string& output) {
  Lines lines;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t end = output.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(output.substr(pos) + "<no line end>");
      break;
    }
    lines.push_back(output.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

// The list as first described: a linked list searched from the front for
// each reply's parent. Quadratic, and the measure of the real one.
struct ReferenceNode {
  const TNewsRecord* record;
  int level;
};
std::vector<ReferenceNode> ReferenceList(const std::vector<TNewsRecord>& records, bool threaded) {
  std::vector<ReferenceNode> list;
  for (const TNewsRecord& r : records) {
    size_t parent = list.size();
    if (threaded && r.ReplyId >= 1) {
      for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].record->Id == r.ReplyId) {
          parent = i;
          break;
        }
      }
    }
    if (parent == list.size()) {
      list.insert(list.begin(), ReferenceNode{&r, 0});
    } else {
      int level = std::min(255, list[parent].level + 1);
      list.insert(list.begin() + static_cast<long>(parent) + 1, ReferenceNode{&r, level});
    }
  }
  return list;
}

std::string Row(long n, const TNewsRecord& r, int level, const std::string& noThread, int page) {
  std::string indent;
  for (int i = 0; i < level; ++i) indent += "&nbsp;&nbsp;&nbsp;";
  return "<TR><TD>" + std::to_string(n) + "</TD><TD BGCOLOR=\"WHITE\" WIDTH=65% NOWRAP>" + indent +
         "<A HREF=\"/cgi-bin/forum?VIEWID=" + std::to_string(r.Id) + "&NOTHREAD=" + noThread +
         "&PAGE=" + std::to_string(page) + "\">" + r.Subject + "</A></TD><TD BGCOLOR=\"WHITE\" NOWRAP>" +
         r.Name + "</TD><TD BGCOLOR=\"WHITE\" NOWRAP WIDTH=10%>" + plat::DateTimeToStr(r.Time) + "</TD></TR>";
}

Lines Head(int page) {
  return {"<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"" + std::to_string(page) + "\">",
          "<div align=\"center\"><center><font face=\"Arial\"><TABLE BORDER BGCOLOR=#FFFFFF WIDTH=100%>",
          "<TR><TH WIDTH=1></TH><TH>Subject</TH><TH>Sender</TH><TH>Time</TH></TR>"};
}

const std::string FirstButton = "<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_FIRST\" VALUE=\"  |&lt; \">";
const std::string PrevButton = "<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_PREV\" VALUE=\"  &lt;  \">";
const std::string NextButton = "<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_NEXT\" VALUE=\"  &gt;  \">";

// The whole expected list page, from the reference list.
Lines ExpectedPage(const std::vector<ReferenceNode>& list, int page, int entries,
                   const std::string& noThreadInLink = "") {
  Lines lines = Head(page);
  for (size_t i = 0; i < list.size(); ++i) {
    long n = static_cast<long>(i) + 1;
    if (static_cast<long>(page - 1) * entries < n && n <= static_cast<long>(page) * entries)
      lines.push_back(Row(n, *list[i].record, list[i].level, noThreadInLink, page));
  }
  lines.insert(lines.end(), {"</TABLE></Font></center></div>", "<CENTER>"});
  if (page > 2) lines.push_back(FirstButton);
  if (page > 1) lines.push_back(PrevButton);
  if (static_cast<long>(page) * entries < static_cast<long>(list.size())) lines.push_back(NextButton);
  lines.push_back("</CENTER>");
  return lines;
}

Lines ExpectedPage(const std::vector<TNewsRecord>& records, bool threaded, int page, int entries,
                   const std::string& noThreadInLink = "") {
  return ExpectedPage(ReferenceList(records, threaded), page, entries, noThreadInLink);
}

class NewsList : public ForumFixture {
 protected:
  NewsList() : ForumFixture("list") {}
  void SetUp() override {
    ForumFixture::SetUp();
    engine.Variables["SCRIPT_NAME"] = "/cgi-bin/forum";
    navigator = std::make_unique<TNewsNavigator>(DataFile(), state, cookie);
  }
  void Store(const std::vector<TNewsRecord>& records, const std::string& extra = "") {
    std::string bytes;
    for (const TNewsRecord& r : records) {
      unsigned char raw[R];
      r.Encode(raw);
      bytes.append(reinterpret_cast<const char*>(raw), R);
    }
    std::ofstream(DataFile(), std::ios::binary | std::ios::trunc) << bytes << extra;
  }
  Lines List(const std::string& fields) {
    engine.FieldData = fields;
    engine.Output.clear();
    navigator->WriteNewsList();
    return SplitLines(engine.Output);
  }
};

TEST_F(NewsList, EmptyForumWritesOnlyTheFrame) {
  EXPECT_EQ(List(""), (Lines{"<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"1\">",
                             "<div align=\"center\"><center><font face=\"Arial\"><TABLE BORDER BGCOLOR=#FFFFFF "
                             "WIDTH=100%>",
                             "<TR><TH WIDTH=1></TH><TH>Subject</TH><TH>Sender</TH><TH>Time</TH></TR>",
                             "</TABLE></Font></center></div>", "<CENTER>", "</CENTER>"}));
}

TEST_F(NewsList, ShowsThreadsNewestFirstWithRepliesIndented) {
  Store({Message(11, 0, "A"), Message(22, 0, "B", Midnight()), Message(33, 11, "A1"), Message(44, 11, "A2"),
         Message(55, 33, "A11")});
  const std::string cells = "<TD BGCOLOR=\"WHITE\" WIDTH=65% NOWRAP>";
  const std::string time = "</A></TD><TD BGCOLOR=\"WHITE\" NOWRAP>";
  const std::string at = "</TD><TD BGCOLOR=\"WHITE\" NOWRAP WIDTH=10%>";
  Lines expected = Head(1);
  expected.insert(
      expected.end(),
      {"<TR><TD>1</TD>" + cells + "<A HREF=\"/cgi-bin/forum?VIEWID=22&NOTHREAD=&PAGE=1\">B" + time + "From B" +
           at + "07.05.2024</TD></TR>",
       "<TR><TD>2</TD>" + cells + "<A HREF=\"/cgi-bin/forum?VIEWID=11&NOTHREAD=&PAGE=1\">A" + time + "From A" +
           at + "06.05.2024 07:08:09</TD></TR>",
       "<TR><TD>3</TD>" + cells + "&nbsp;&nbsp;&nbsp;<A HREF=\"/cgi-bin/forum?VIEWID=44&NOTHREAD=&PAGE=1\">A2" +
           time + "From A2" + at + "06.05.2024 07:08:09</TD></TR>",
       "<TR><TD>4</TD>" + cells + "&nbsp;&nbsp;&nbsp;<A HREF=\"/cgi-bin/forum?VIEWID=33&NOTHREAD=&PAGE=1\">A1" +
           time + "From A1" + at + "06.05.2024 07:08:09</TD></TR>",
       "<TR><TD>5</TD>" + cells +
           "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;<A HREF=\"/cgi-bin/forum?VIEWID=55&NOTHREAD=&PAGE=1\">A11" + time +
           "From A11" + at + "06.05.2024 07:08:09</TD></TR>",
       "</TABLE></Font></center></div>", "<CENTER>", "</CENTER>"});
  EXPECT_EQ(List(""), expected);
  EXPECT_EQ(List("NOTHREAD="), expected);  // present but empty is still threaded
}

TEST_F(NewsList, ShowsAFlatListNewestFirstWithTheModeInEveryLink) {
  std::vector<TNewsRecord> records = {Message(11, 0, "A"), Message(22, 0, "B"), Message(33, 11, "A1"),
                                      Message(44, 11, "A2"), Message(55, 33, "A11")};
  Store(records);
  Lines expected = Head(1);
  for (int i = 0; i < 5; ++i) expected.push_back(Row(i + 1, records[4 - i], 0, "yes", 1));
  expected.insert(expected.end(), {"</TABLE></Font></center></div>", "<CENTER>", "</CENTER>"});
  EXPECT_EQ(List("NOTHREAD=yes"), expected);
  EXPECT_NE(expected[3].find("?VIEWID=55&NOTHREAD=yes&PAGE=1\">A11</A>"), std::string::npos);
  // The mode's value travels URL-encoded.
  Lines odd = List("NOTHREAD=a+b%26c%3Dd");
  EXPECT_NE(odd[3].find("&NOTHREAD=a+b%26c%3Dd&PAGE=1\""), std::string::npos) << odd[3];
}

TEST_F(NewsList, WritesTheSettingsIntoTheTable) {
  state.Settings.Fontname = "";
  state.Settings.Tablecolor = "red";
  state.Settings.Tablewidth = "50";
  state.Settings.SubjectCaption = "Betreff";
  state.Settings.SenderCaption = "Von";
  state.Settings.TimeCaption = "Zeit";
  state.Settings.PrevButtonCaption = "zur\xFC" "ck";
  Lines lines = List("PAGE=2");
  EXPECT_EQ(lines[1], "<div align=\"center\"><center><font face=\"\"><TABLE BORDER BGCOLOR=red WIDTH=50>");
  EXPECT_EQ(lines[2], "<TR><TH WIDTH=1></TH><TH>Betreff</TH><TH>Von</TH><TH>Zeit</TH></TR>");
  EXPECT_EQ(lines[5], "<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_PREV\" VALUE=\"zur\xFC" "ck\">");
}

TEST_F(NewsList, PagesThroughTheListWithTheRightButtons) {
  std::vector<TNewsRecord> sixty;
  for (int i = 1; i <= 60; ++i) sixty.push_back(Message(i, 0, "m" + std::to_string(i)));
  Store(sixty);
  struct Case {
    const char* fields;
    int page;
    long firstRow, lastRow;
    bool first, prev, next;
  } cases[] = {
      {"", 1, 1, 25, false, false, true},
      {"PAGE=2", 2, 26, 50, false, true, true},
      {"PAGE=3", 3, 51, 60, true, true, false},
      {"PAGE=1&ACTION_SEARCH_NEXT=%3E", 2, 26, 50, false, true, true},
      {"PAGE=3&ACTION_SEARCH_FIRST=x", 1, 1, 25, false, false, true},
      {"PAGE=4", 4, 0, -1, true, true, false},
      {"PAGE=0", 0, 0, -1, false, false, true},
      {"PAGE=-2", -2, 0, -1, false, false, true},
  };
  for (const Case& c : cases) {
    Lines lines = List(c.fields);
    EXPECT_EQ(lines, ExpectedPage(sixty, true, c.page, 25)) << c.fields;
    long rows = c.lastRow - c.firstRow + 1;
    ASSERT_EQ(lines.size(), static_cast<size_t>(3 + rows + 3 + c.first + c.prev + c.next)) << c.fields;
    if (rows > 0) {
      const std::string first = "<TR><TD>" + std::to_string(c.firstRow) + "</TD>";
      const std::string last = "<TR><TD>" + std::to_string(c.lastRow) + "</TD>";
      EXPECT_EQ(lines[3].substr(0, first.size()), first) << c.fields;
      EXPECT_EQ(lines[3 + rows - 1].substr(0, last.size()), last) << c.fields;
    }
    Lines buttons;
    if (c.first) buttons.push_back(FirstButton);
    if (c.prev) buttons.push_back(PrevButton);
    if (c.next) buttons.push_back(NextButton);
    buttons.push_back("</CENTER>");
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(buttons.size()), lines.end()), buttons) << c.fields;
  }

  sixty.resize(50);
  Store(sixty);
  Lines lines = List("PAGE=2");
  EXPECT_EQ(lines, ExpectedPage(sixty, true, 2, 25));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), NextButton), 0);
}

TEST_F(NewsList, ShowsNoRowsForEntriesZeroOrPagesBelowOne) {
  EXPECT_EQ(List("PAGE=0"), ExpectedPage({}, true, 0, 25));
  Lines negative = List("PAGE=-1");
  EXPECT_EQ(negative, ExpectedPage({}, true, -1, 25));
  EXPECT_EQ(negative[negative.size() - 2], NextButton);  // even in an empty forum

  std::vector<TNewsRecord> one = {Message(5, 0, "only")};
  Store(one);
  state.Settings.Entries = 0;
  for (const char* page : {"PAGE=1", "PAGE=2", "PAGE=0"}) {
    Lines lines = List(page);
    EXPECT_EQ(lines, ExpectedPage(one, true, std::stoi(page + 5), 0)) << page;
    EXPECT_EQ(lines[lines.size() - 2], NextButton) << page;
  }
  state.Settings.Entries = -3;
  EXPECT_EQ(List("PAGE=-1"), ExpectedPage(one, true, -1, -3));
}

TEST_F(NewsList, ComputesTheCurrentPageFromTheButtons) {
  struct Case {
    const char* fields;
    int page;
  } cases[] = {
      {"", 1},
      {"PAGE=3", 3},
      {"PAGE=7&ACTION_SEARCH_FIRST=x", 1},
      {"PAGE=abc&ACTION_SEARCH_FIRST=x", 1},
      {"PAGE=1&ACTION_SEARCH_NEXT=x", 2},
      {"PAGE=1&ACTION_SEARCH_PREV=x", 1},
      {"PAGE=3&ACTION_SEARCH_PREV=x", 2},
      {"PAGE=1&ACTION_SEARCH_NEXT=x&ACTION_SEARCH_PREV=x", 1},
      {"PAGE=5&ACTION_SEARCH_NEXT=x&ACTION_SEARCH_PREV=x", 5},
      {"PAGE=0&ACTION_SEARCH_PREV=x", 0},
      {"PAGE=-3", -3},
      {"PAGE=2&ACTION_SEARCH_NEXT=", 2},
      {"PAGE=2147483647&ACTION_SEARCH_NEXT=x", INT_MAX},
      {"PAGE=2147483647&ACTION_SEARCH_NEXT=x&ACTION_SEARCH_PREV=x", INT_MAX},
  };
  for (const Case& c : cases) {
    engine.FieldData = c.fields;
    EXPECT_EQ(navigator->CurrentPage(), c.page) << c.fields;
  }
  for (const char* bad : {"abc", "", "1.0"}) {
    engine.FieldData = std::string("PAGE=") + bad;
    engine.Output.clear();
    try {
      navigator->WriteNewsList();
      ADD_FAILURE() << bad;
    } catch (const plat::EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' ist kein g\xFCltiger Integerwert");
    }
    EXPECT_EQ(engine.Output, "");
  }
}

TEST_F(NewsList, ShowsRepliesWithoutParentAsThreadStarts) {
  // A reply to a number no record has, one to a later record, one to
  // itself, one with a negative link, and a cycle.
  std::vector<TNewsRecord> records = {Message(1, 99, "orphan"), Message(2, 3, "to later"), Message(3, 0, "later"),
                                      Message(4, 4, "self"),    Message(5, -1, "negative"), Message(6, 7, "cycle a"),
                                      Message(7, 6, "cycle b")};
  Store(records);
  Lines lines = List("");
  EXPECT_EQ(lines, ExpectedPage(records, true, 1, 25));
  EXPECT_EQ(lines[3], Row(1, records[5], 0, "", 1));
  EXPECT_EQ(lines[4], Row(2, records[6], 1, "", 1));
  EXPECT_EQ(lines[9], Row(7, records[0], 0, "", 1));
}

TEST_F(NewsList, KeepsIndentingAt255StepsInDeepThreads) {
  std::vector<TNewsRecord> chain;
  for (int i = 1; i <= 300; ++i) chain.push_back(Message(i, i - 1, "d" + std::to_string(i)));
  Store(chain);
  state.Settings.Entries = 1000;
  Lines lines = List("");
  EXPECT_EQ(lines, ExpectedPage(chain, true, 1, 1000));
  auto steps = [](const std::string& line) {
    size_t n = 0;
    for (size_t p = line.find("&nbsp;&nbsp;&nbsp;"); p != std::string::npos; p = line.find("&nbsp;&nbsp;&nbsp;", p + 18))
      ++n;
    return n;
  };
  EXPECT_EQ(steps(lines[3 + 254]), 254u);
  EXPECT_EQ(steps(lines[3 + 255]), 255u);
  EXPECT_EQ(steps(lines[3 + 299]), 255u);
}

TEST_F(NewsList, IgnoresATrailingFragmentAndFailsWithoutDataFile) {
  std::vector<TNewsRecord> two = {Message(1, 0, "a"), Message(2, 1, "b")};
  Store(two, std::string(100, '\x01'));
  EXPECT_EQ(List(""), ExpectedPage(two, true, 1, 25));
  EXPECT_EQ(List("NOTHREAD=x"), ExpectedPage(two, false, 1, 25, "x"));

  std::filesystem::remove(DataFile());
  engine.FieldData = "";
  engine.Output.clear();
  try {
    navigator->WriteNewsList();
    ADD_FAILURE() << "no error";
  } catch (const plat::EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Datei " + DataFile() + " kann nicht ge\xF6" "ffnet werden");
  }
  EXPECT_EQ(engine.Output, "<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"1\">\r\n");
}

// Random forums, many numbers repeated: the list equals the one built by
// searching from the front, row for row, on every page. Deep threads make
// comparing places by walking the threads too costly, so those forums also
// take the other way of comparing.
TEST_F(NewsList, MatchesTheFrontSearchOnRandomForumsWithRepeatedNumbers) {
  std::mt19937 random(20240506);
  struct Shape {
    int records;
    int idRange;       // numbers drawn from 1..idRange
    int chainPercent;  // answers to the record just before
  } shapes[] = {{1, 1, 0},        {5, 2, 0},     {40, 3, 0},     {300, 5, 0},   {600, 40, 0},
                {1500, 8, 0},     {2000, 1000, 0}, {2000, 1000000000, 0}, {3000, 3, 0}, {60, 4, 80},
                {800, 6, 70},     {2500, 30, 90}, {2500, 2500, 95}};
  for (const Shape& shape : shapes) {
    std::vector<TNewsRecord> records;
    for (int i = 0; i < shape.records; ++i) {
      int id = std::uniform_int_distribution<int>(1, shape.idRange)(random);
      int kind = std::uniform_int_distribution<int>(0, 99)(random);
      int reply = 0;
      if (i > 0 && std::uniform_int_distribution<int>(0, 99)(random) < shape.chainPercent) {
        reply = records[i - 1].Id;
      } else if (kind < 25) {
        reply = kind < 5 ? -kind : 0;  // thread start
      } else if (kind < 85 && i > 0) {
        reply = records[std::uniform_int_distribution<int>(0, i - 1)(random)].Id;  // an earlier record
      } else if (kind < 92) {
        reply = std::uniform_int_distribution<int>(1, shape.idRange)(random);  // perhaps a later one
      } else {
        reply = id;  // itself
      }
      records.push_back(Message(id, reply, "s" + std::to_string(i)));
    }
    Store(records);
    const std::vector<ReferenceNode> reference = ReferenceList(records, true);
    state.Settings.Entries = shape.records;
    ASSERT_EQ(List(""), ExpectedPage(reference, 1, shape.records)) << shape.records << "/" << shape.idRange;
    state.Settings.Entries = 7;
    int lastPage = (shape.records + 6) / 7;
    for (int page : {1, 2, lastPage / 2 + 1, lastPage, lastPage + 1}) {
      ASSERT_EQ(List("PAGE=" + std::to_string(page)), ExpectedPage(reference, page, 7))
          << shape.records << "/" << shape.idRange << " page " << page;
    }
    ASSERT_EQ(List("NOTHREAD=1&PAGE=2"), ExpectedPage(records, false, 2, 7, "1"));
  }
}

}  // namespace
