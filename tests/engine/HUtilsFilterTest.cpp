#include "engine/HUtilsFilter.h"

#include <gtest/gtest.h>

#include "tests/support/FakeEngine.h"

namespace {

class TemplateFilter : public ::testing::Test {
 protected:
  TemplateFilter() {
    engine.AutoHttpHeader = false;
    // Both handlers mark the page: an entry as [name], a condition as {name}.
    filter.OnHttpEntry = [](const std::string& name, bool&) { HttpFunctions().HttpWrite("[" + name + "]"); };
    filter.OnHttpLogicalEntry = [](const std::string& name, bool& value) {
      HttpFunctions().HttpWrite("{" + name + "}");
      if (name == "yes" || name == "no") value = name == "yes";
    };
  }

  void Check(const std::vector<std::pair<std::vector<std::string>, std::string>>& cases) {
    for (const auto& [lines, page] : cases) {
      engine.Output.clear();
      filter.Execute(lines);
      EXPECT_EQ(engine.Output, page) << lines[0].substr(0, 80);
    }
  }

  FakeEngine engine;
  THttpMemoFilter filter{nullptr};
};

// Entries, the bytes that end a name, the length caps, and branches chained,
// nested and spanning lines.
TEST_F(TemplateFilter, WritesTextEntriesAndTheBranchesItsConditionsChoose) {
  const std::string a(65000, 'a'), n(32000, 'N');
  Check({
      {{"50% (f(x)% a%b,c%d a%b.c%d %"}, "50% (f(x)% a%b,c%d a%b.c%d %\r\n"},
      {{"#F0F0F0# and %41NAME% and a%%b"}, "[F0F0F0] and [41NAME] and a[]b\r\n"},
      {{"%A#B% #C%D# %A#B#C% %IF%%ENDIFX%"}, "%A#B% #C%D# %A[B]C% [IF][ENDIFX]\r\n"},  // a scan closes its own kind
      // Blanks, controls and !"#%&(),. end a name; any other byte may stand in one.
      {{"%A\tB% %A!B% %A&B% %A\177B%%A\377B%"}, "%A\tB% %A!B% %A&B% [A\177B][A\377B]\r\n"},
      // An entry opens within 65000 characters and closes within 32000; a
      // line's tail is cut after 32000.
      {{a.substr(1) + "%X%"}, a.substr(1) + "[X]\r\n"},
      {{a + "%X%"}, a.substr(0, 32000)},
      {{"%" + n.substr(1) + "%"}, "[" + n.substr(1) + "]\r\n"},
      {{"%" + n + "%"}, "%" + n + "%\r\n"},
      {{"%IF  no%1%else%2%endif%3%IF no%4%ELSEIF%5%ENDIF%"}, "{no}23{no}5\r\n"},
      {{"a%ELSE%b%ENDIF%c%ELSEIF yes%d%ENDIF%e"}, "ace\r\n"},
      // A closed block leaves its level open; an unanswered condition is false.
      {{"%IF yes%%ENDIF%%IF unset%a%ELSE%b%ENDIF%"}, "{yes}{unset}b\r\n"},
      {{"%IF no%", "%IF yes%x%INNER%%ELSEIF yes%y%ELSE%w%ENDIF%", "%INNER2%", "%ELSE%z%ENDIF%e"}, "{no}ze\r\n"},
  });
}

TEST_F(TemplateFilter, ResolvesEntriesByHandlerVariableFieldThenBuiltInEscapingRequestValues) {
  filter.OnHttpEntry = [](const std::string& name, bool& handled) {
    if ((handled = name == "HANDLED")) HttpFunctions().HttpWrite("<b>\"&\"</b>");
  };
  engine.Variables = {{"HANDLED", "var"}, {"SCRIPT_NAME", "/cgi-bin/forum"}, {"BOTH", "var"},
                      {"MARKED", NotAvailable}, {"QUERY", "a\"><script>"}};
  engine.FieldData = "HANDLED=f&BOTH=field&EMPTYVAR=f1&MARKED=f2&TIME=t&DATE=&NAME=Tom+%26+Jerry&ESC=%26lt%3B";
  Check({
      {{"%HANDLED%|%SCRIPT_NAME%|%BOTH%|%EMPTYVAR%|%MARKED%"}, "<b>\"&\"</b>|/cgi-bin/forum|var|f1|f2\r\n"},
      {{"<%TIME%><%DATE%><%UNKNOWN%>"}, "<t><><>\r\n"},
      {{"<a href=\"?%QUERY%\">%NAME% %ESC%"}, "<a href=\"?a&quot;&gt;&lt;script&gt;\">Tom &amp; Jerry &amp;lt;\r\n"},
  });
}

}  // namespace
