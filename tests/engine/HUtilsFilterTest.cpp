#include "engine/HUtilsFilter.h"

#include <gtest/gtest.h>

#include <barrier>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/HUtils.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

// The fake request of the calling thread: what was written, call by call,
// and the variables and fields it answers.
thread_local std::vector<std::string> writes;
thread_local std::map<std::string, std::string> variables;
thread_local std::map<std::string, std::string> fields;

void FakeWrite(const std::string& text) { writes.push_back(text); }
std::string FakeGetVariable(const std::string& name) {
  auto it = variables.find(name);
  return it == variables.end() ? std::string() : it->second;
}
std::string FakeGetField(const std::string& name, const std::string& fallback) {
  auto it = fields.find(name);
  return it == fields.end() ? fallback : it->second;
}

std::string Output() {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

class TemplateFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = HttpFunctions();
    HttpFunctions().HttpWrite = FakeWrite;
    HttpFunctions().HttpGetVariable = FakeGetVariable;
    HttpFunctions().HttpGetField = FakeGetField;
    writes.clear();
    variables.clear();
    fields.clear();
  }
  void TearDown() override { HttpFunctions() = saved_; }

  // Runs the lines as one template and returns the page.
  std::string Run(const std::vector<std::string>& lines) {
    writes.clear();
    filter.SetText(lines);
    filter.Execute();
    return Output();
  }

  // Entries answered by the handler are written as [name].
  void AnswerEveryEntry() {
    filter.OnHttpEntry = [this](const std::string& name, bool&) {
      entries.push_back(name);
      HttpFunctions().HttpWrite("[" + name + "]");
    };
  }
  // Conditions "yes" and "no" answer themselves; others leave Value as is.
  void AnswerConditions() {
    filter.OnHttpLogicalEntry = [this](const std::string& name, bool& value) {
      conditions.push_back(name);
      if (name == "yes") value = true;
      if (name == "no") value = false;
    };
  }

  THttpMemoFilter filter{nullptr};
  std::vector<std::string> entries;
  std::vector<std::string> conditions;

 private:
  THttpFunctionTable saved_;
};

struct LineCase {
  const char* line;
  const char* page;  // without the CR LF that ends every line
};

TEST_F(TemplateFilter, KeepsDelimitersThatOpenNoEntry) {
  const LineCase cases[] = {
      {"plain text", "plain text"},
      {"<TABLE WIDTH=\"100%\">", "<TABLE WIDTH=\"100%\">"},
      {"<TD WIDTH=\"33%\">x</TD><TD WIDTH=\"33%\">", "<TD WIDTH=\"33%\">x</TD><TD WIDTH=\"33%\">"},
      {"5 % of 10 % more", "5 % of 10 % more"},
      {"<TD BGCOLOR=\"#F0F0F0\">", "<TD BGCOLOR=\"#F0F0F0\">"},
      {"<TD BGCOLOR=\"#F0F0F0\"><FONT COLOR=\"#FF0000\">", "<TD BGCOLOR=\"#F0F0F0\"><FONT COLOR=\"#FF0000\">"},
      {"50% (f(x)%", "50% (f(x)%"},
      {"a%b,c%d", "a%b,c%d"},
      {"a%b.c%d", "a%b.c%d"},
      {"%", "%"},
      {"##", ""},  // an empty entry, answered by nothing
      {"a%%b", "ab"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(Run({c.line}), std::string(c.page) + "\r\n") << c.line;
}

TEST_F(TemplateFilter, AcceptsEntryNamesOfEveryByteOutsideTheRejectedSet) {
  AnswerEveryEntry();
  const std::string rejected = "!\"#%&(),.";
  for (int c = 0; c < 256; ++c) {
    if (c == '%') continue;
    entries.clear();
    std::string name = std::string("A") + static_cast<char>(c) + "B";
    std::string line = "x%" + name + "%y";
    bool accepted = c > 32 && rejected.find(static_cast<char>(c)) == std::string::npos;
    EXPECT_EQ(Run({line}), (accepted ? "x[" + name + "]y" : line) + "\r\n") << "byte " << c;
    EXPECT_EQ(entries.size(), accepted ? 1u : 0u) << "byte " << c;
  }
}

TEST_F(TemplateFilter, ResolvesNumberSignEntriesLikePercentEntries) {
  AnswerEveryEntry();
  EXPECT_EQ(Run({"#F0F0F0# and %F0F0F0% and %41NAME% and %%"}),
            "[F0F0F0] and [F0F0F0] and [41NAME] and []\r\n");
  EXPECT_EQ(Run({"%A#B% #C%D#"}), "%A#B% #C%D#\r\n");
  // The delimiter of a scan closes only its own kind.
  EXPECT_EQ(Run({"%A#B#C%"}), "%A[B]C%\r\n");
}

TEST_F(TemplateFilter, WritesTheBranchThatItsConditionsChoose) {
  AnswerConditions();
  const LineCase cases[] = {
      {"a%IF yes%b%ELSE%c%ENDIF%d", "abd"},
      {"a%IF no%b%ELSE%c%ENDIF%d", "acd"},
      {"a#IF yes#b#ENDIF#d", "abd"},
      {"%IF no%1%ELSEIF yes%2%ELSEIF yes%3%ELSE%4%ENDIF%", "2"},
      {"%IF no%1%ELSEIF no%2%ELSE%4%ENDIF%", "4"},
      {"%IF yes%1%ELSEIF yes%2%ELSE%4%ENDIF%", "1"},
      {"%IF  yes%1%ENDIF%", "1"},
      {"%ELSEIF yes%1%ENDIF%2", "2"},
      {"%IF no%1%ELSEWHERE%2%ENDIF%", "2"},
      {"%IF no%1%ELSEIF%2%ENDIF%", "2"},
      {"%IF no%1%else%2%endif%3", "23"},
      {"%IF no%1%Else%2%EndIf%3", "23"},
      {"a%ENDIF%b", "ab"},
      {"a%ELSE%b%ENDIF%c", "ac"},
      {"a%ELSEIF yes%b%ENDIF%c", "ac"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(Run({c.line}), std::string(c.page) + "\r\n") << c.line;
}

TEST_F(TemplateFilter, EvaluatesNoConditionAfterTheTakenBranch) {
  AnswerConditions();
  Run({"%IF no%1%ELSEIF yes%2%ELSEIF yes%3%ENDIF%", "%ELSEIF yes%x%ENDIF%"});
  EXPECT_EQ(conditions, (std::vector<std::string>{"no", "yes"}));
}

TEST_F(TemplateFilter, TakesTheElseBranchWithoutLogicalHandler) {
  AnswerEveryEntry();
  EXPECT_EQ(Run({"a%IF x%b%ELSEIF y%%E%%ELSE%c%ENDIF%d"}), "acd\r\n");
  EXPECT_TRUE(entries.empty());
}

TEST_F(TemplateFilter, TreatsAnUnansweredConditionAsFalse) {
  AnswerConditions();
  // The closed block leaves its level active; the next IF must not inherit it.
  EXPECT_EQ(Run({"%IF yes%%ENDIF%%IF unset%a%ELSE%b%ENDIF%"}), "b\r\n");
}

TEST_F(TemplateFilter, WritesMalformedTagsAsText) {
  AnswerEveryEntry();
  AnswerConditions();
  const LineCase cases[] = {
      {"%if yes% text", "%if yes% text"},
      {"%If yes% text", "%If yes% text"},
      {"%IF a b% text", "%IF a b% text"},
      {"% IF yes% text", "% IF yes% text"},
      {"%IF yes %x", "%IF yes %x"},
      {"%ELSEIF x y%", "%ELSEIF x y%"},
      {"%elseif x%", "%elseif x%"},
      {"%IF%", "[IF]"},
      {"%ENDIFX%", "[ENDIFX]"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(Run({c.line}), std::string(c.page) + "\r\n") << c.line;
  EXPECT_TRUE(conditions.empty());
}

TEST_F(TemplateFilter, SkipsNestedBlocksWholeWithoutEvaluatingThem) {
  AnswerEveryEntry();
  AnswerConditions();
  EXPECT_EQ(Run({"%IF no%", "%IF yes%x%INNER%%ELSEIF yes%y%ELSE%w%ENDIF%", "%INNER2%", "%ELSE%z%ENDIF%e"}),
            "ze\r\n");
  EXPECT_EQ(conditions, (std::vector<std::string>{"no"}));
  EXPECT_TRUE(entries.empty());
}

TEST_F(TemplateFilter, LetsBlocksSpanLines) {
  AnswerConditions();
  EXPECT_EQ(Run({"%IF no%", "hidden", "%ELSE%", "shown", "%ENDIF%", "after"}), "\r\nshown\r\n\r\nafter\r\n");
  EXPECT_EQ(Run({"%IF yes%", "in", "%ENDIF%"}), "\r\nin\r\n\r\n");
}

TEST_F(TemplateFilter, StartsEveryRunWithAllLevelsOpen) {
  AnswerConditions();
  Run({"%IF no%", "left open"});
  EXPECT_EQ(Run({"visible"}), "visible\r\n");
}

TEST_F(TemplateFilter, NestsDeeperThanThirtyOneLevels) {
  AnswerConditions();
  std::string open, close;
  for (int i = 0; i < 100; ++i) open += "%IF yes%", close += "%ENDIF%";
  EXPECT_EQ(Run({open + "x" + close + "y"}), "xy\r\n");
  EXPECT_EQ(Run({open + "%IF no%x%ELSE%z%ENDIF%" + close + "y"}), "zy\r\n");
  conditions.clear();
  EXPECT_EQ(Run({"%IF no%" + open + "x" + close + "%ENDIF%y", "after"}), "y\r\nafter\r\n");
  EXPECT_EQ(conditions, (std::vector<std::string>{"no"}));
  // Deeper than before, level by level over many lines.
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) lines.push_back("%IF yes%" + std::to_string(i % 10));
  for (int i = 0; i < 300; ++i) lines.push_back("%ENDIF%");
  std::string page = Run(lines);
  EXPECT_EQ(page.size(), 300u * 3 + 300u * 2);
}

TEST_F(TemplateFilter, ResolvesEntriesInOrderHandlerVariableFieldBuiltIn) {
  filter.OnHttpEntry = [](const std::string& name, bool& handled) {
    if (name == "HANDLED") HttpFunctions().HttpWrite("by handler");
    else handled = false;
  };
  variables = {{"HANDLED", "var"}, {"SCRIPT_NAME", "/cgi-bin/forum"}, {"BOTH", "var"},
               {"EMPTYVAR", ""}, {"MARKED", NotAvailable}};
  fields = {{"HANDLED", "field"}, {"BOTH", "field"}, {"EMPTYVAR", "f1"}, {"MARKED", "f2"},
            {"THREAD", "12"}, {"TIME", "t"}, {"DATE", ""}};
  const LineCase cases[] = {
      {"%HANDLED%", "by handler"}, {"%SCRIPT_NAME%", "/cgi-bin/forum"}, {"%BOTH%", "var"},
      {"%EMPTYVAR%", "f1"},        {"%MARKED%", "f2"},                  {"%THREAD%", "12"},
      {"<%TIME%>", "<t>"},         {"<%DATE%>", "<>"},                   {"<%time%>", "<>"},
      {"<%UNKNOWN%>", "<>"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(Run({c.line}), std::string(c.page) + "\r\n") << c.line;
}

TEST_F(TemplateFilter, WritesTheBuiltInEntries) {
  fields = {{"RANDOM_HIDDEN_INPUT", "field"}};
  double before = plat::Now();
  std::string page = Run({"%TIME%|%DATE%|%RANDOM_HIDDEN_INPUT%"});
  double after = plat::Now();
  std::string time = page.substr(0, page.find('|'));
  EXPECT_TRUE(time == plat::FormatLongTime(before) || time == plat::FormatLongTime(after)) << page;
  std::string date = page.substr(time.size() + 1, page.find('|', time.size() + 1) - time.size() - 1);
  EXPECT_TRUE(date == plat::FormatShortDate(before) || date == plat::FormatShortDate(after)) << page;

  const std::string head = "<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"";
  ASSERT_EQ(writes.size(), 6u);  // time, "|", date, "|", the input in one piece, CR LF
  const std::string& input = writes[4];
  ASSERT_EQ(input.substr(0, head.size()), head);
  ASSERT_EQ(input.substr(input.size() - 2), "\">");
  std::string digits = input.substr(head.size(), input.size() - head.size() - 2);
  int seconds = -1;
  ASSERT_TRUE(plat::TryStrToInt(digits, seconds)) << digits;
  EXPECT_EQ(plat::IntToStr(seconds), digits);  // no leading zeros
  EXPECT_TRUE(seconds == plat::SecondsOfDay(before) || seconds == plat::SecondsOfDay(after)) << seconds;
}

TEST_F(TemplateFilter, EscapesMarkupInRequestValuesOnly) {
  filter.OnHttpEntry = [](const std::string& name, bool& handled) {
    if (name == "RAW") HttpFunctions().HttpWrite("<b>\"&\"</b>");
    else handled = false;
  };
  variables = {{"QUERY", "a\"><script>alert(1)</script>"}};
  fields = {{"NAME", "Tom & Jerry"}, {"ESCAPED", "&lt;b&gt; &amp; &quot;"}, {"PLAIN", "it's fine"}};
  const LineCase cases[] = {
      {"<a href=\"?%QUERY%\">", "<a href=\"?a&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\">"},
      {"%NAME%", "Tom &amp; Jerry"},
      {"%ESCAPED%", "&amp;lt;b&amp;gt; &amp;amp; &amp;quot;"},
      {"%PLAIN%", "it's fine"},
      {"%RAW%", "<b>\"&\"</b>"},
  };
  for (const LineCase& c : cases) EXPECT_EQ(Run({c.line}), std::string(c.page) + "\r\n") << c.line;
}

TEST_F(TemplateFilter, StreamsEveryPieceAsItsOwnWrite) {
  variables = {{"X", "1"}};
  fields = {{"Y", ""}};
  Run({"ab%X%cd%Y%ef", "a%b c%d", "%X%", "plain"});
  EXPECT_EQ(writes, (std::vector<std::string>{"ab", "1", "cd", "ef\r\n", "a", "%", "b c", "%", "d\r\n", "1",
                                              "\r\n", "plain\r\n"}));
}

TEST_F(TemplateFilter, CutsTheLineTailAfter32000Characters) {
  AnswerEveryEntry();
  std::string longText(40000, 'a');
  writes.clear();
  filter.FilterLine(longText + "\r\n");
  EXPECT_EQ(Output(), std::string(32000, 'a'));
  writes.clear();
  filter.FilterLine("%X%" + longText + "\r\n");
  EXPECT_EQ(Output(), "[X]" + std::string(32000, 'a'));
  // The cut applies to the tail only, not to text before an entry.
  writes.clear();
  filter.FilterLine(longText + "%X%b\r\n");
  EXPECT_EQ(Output(), longText + "[X]b\r\n");
}

TEST_F(TemplateFilter, LooksForAnEntryWithin65000Characters) {
  AnswerEveryEntry();
  writes.clear();
  filter.FilterLine(std::string(64999, 'a') + "%X%\r\n");
  EXPECT_EQ(Output(), std::string(64999, 'a') + "[X]\r\n");
  writes.clear();
  entries.clear();
  filter.FilterLine(std::string(65000, 'a') + "%X%\r\n");
  EXPECT_EQ(Output(), std::string(32000, 'a'));
  EXPECT_TRUE(entries.empty());
}

TEST_F(TemplateFilter, LooksForTheClosingDelimiterWithin32000Characters) {
  AnswerEveryEntry();
  std::string name(31999, 'N');
  writes.clear();
  filter.FilterLine("%" + name + "%\r\n");
  EXPECT_EQ(Output(), "[" + name + "]\r\n");
  entries.clear();
  writes.clear();
  std::string tooLong = "%" + name + "N%\r\n";
  filter.FilterLine(tooLong);
  EXPECT_EQ(Output(), tooLong);
  EXPECT_TRUE(entries.empty());
}

TEST_F(TemplateFilter, KeepsOneBlockStackPerThread) {
  // One component on two threads: each thread's IF governs its own lines.
  filter.OnHttpLogicalEntry = [](const std::string& name, bool& value) { value = name == "on"; };
  std::barrier sync(2);
  std::string pages[2];
  auto run = [&](int i, const char* condition) {
    writes.clear();
    filter.FilterLine(std::string("%IF ") + condition + "%\r\n");
    sync.arrive_and_wait();
    filter.FilterLine("text\r\n");
    sync.arrive_and_wait();
    filter.FilterLine("%ELSE%other\r\n");
    sync.arrive_and_wait();
    filter.FilterLine("%ENDIF%end\r\n");
    pages[i] = Output();
  };
  std::thread a(run, 0, "on"), b(run, 1, "off");
  a.join();
  b.join();
  EXPECT_EQ(pages[0], "\r\ntext\r\nend\r\n");
  EXPECT_EQ(pages[1], "other\r\nend\r\n");
}

}  // namespace
