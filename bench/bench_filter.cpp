// Template filter throughput: a forum page, and a large template of long
// lines. The request behind the filter only counts the bytes written.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HttpEngContext.h"
#include "engine/HUtilsFilter.h"

namespace {

size_t bytesWritten = 0;

void CountWrite(const std::string& text) { bytesWritten += text.size(); }
std::string Variable(const std::string& name) {
  if (name == "SCRIPT_NAME") return "/cgi-bin/forum";
  if (name == "SERVER_NAME") return "forum.example.org";
  return std::string();
}
std::string Field(const std::string& name, const std::string& fallback) {
  if (name == "THREAD") return "yes";
  if (name == "PAGE") return "3";
  return fallback;
}

void InstallFakeRequest() {
  // The filter keeps its block stack in the request record.
  static thread_local TRequestScope request;
  HttpFunctions().HttpWrite = CountWrite;
  HttpFunctions().HttpGetVariable = Variable;
  HttpFunctions().HttpGetField = Field;
}

// The forum's view and new-message forms, one after the other.
const std::vector<std::string> kForumPage = {
    "<form method=\"post\" action=\"%SCRIPT_NAME%\">",
    "<input type=\"hidden\" name=\"REPLYID\" value=\"%REPLYID%\">",
    "<input type=\"hidden\" name=\"PAGE\" value=\"%PAGE%\">",
    "<input type=\"hidden\" name=\"thread\" value=\"%THREAD%\">",
    "<table width=\"100%\" border=\"1\" bgcolor=\"#C0C0C0\" cellspacing=\"0\" cellpadding=\"0\">",
    "<tr><td bgcolor=\"#F0F0F0\"><font face=\"Arial\"><b>From:</b> %VIEWNAME%</font></td>",
    "<td bgcolor=\"#F0F0F0\"><font face=\"Arial\"><b>Email:</b> <a href=\"MAILTO:%VIEWEMAIL%\">%VIEWEMAIL%</a></font></td></tr>",
    "<tr><td colspan=\"2\"><font face=\"Arial\"><b>Subject:</b> %VIEWSUBJECT%</font></td></tr>",
    "<tr><td colspan=\"2\" bgcolor=\"WHITE\"><font face=\"Arial\">%VIEWTEXT% </font></td></tr>",
    "</table>",
    "<p align=\"center\"><input type=\"submit\" value=\"Back\">",
    "<input type=\"submit\" name=\"ACTION_REPLYMESSAGE\" value=\"Reply\"></p>",
    "</form>",
    "",
    "<form method=\"post\" action=\"%SCRIPT_NAME%\">",
    "<input type=\"hidden\" name=\"REPLYID\" value=\"%REPLYID%\">",
    "<input type=\"hidden\" name=\"thread\" value=\"%THREAD%\">",
    "<input type=\"hidden\" name=\"PAGE\" value=\"%PAGE%\">",
    "%RANDOM_HIDDEN_INPUT%",
    "<center><table border=\"0\" width=\"100%\">",
    "<tr><td><font face=\"Arial\">Name:</font></td><td><input type=\"text\" name=\"NEWNAME\" value=\"%LASTNAME%\" size=\"28\"></td></tr>",
    "<tr><td><font face=\"Arial\">Email:</font></td><td><input type=\"text\" name=\"NEWEMAIL\" value=\"%LASTEMAIL% \" size=\"48\"></td></tr>",
    "<tr><td><font face=\"Arial\">Subject:</font></td><td><input type=\"text\" name=\"NEWSUBJECT\" value=\"%REPLYSUBJECT%\" size=\"44\"></td></tr>",
    "%IF REPLY%",
    "<tr><td colspan=\"2\"><textarea name=\"NEWTEXT\" cols=\"80\" rows=\"12\" wrap=\"soft\">%REPLYTEXT%</textarea></td></tr>",
    "%ELSE%",
    "<tr><td colspan=\"2\"><textarea name=\"NEWTEXT\" cols=\"80\" rows=\"12\" wrap=\"soft\"></textarea></td></tr>",
    "%ENDIF%",
    "<tr><td colspan=\"2\" align=\"center\"><input type=\"submit\" name=\"ACTION_SEARCH_FIRST\" value=\"&nbsp;&nbsp;Back&nbsp;&nbsp;\">",
    "<input type=\"submit\" name=\"ACTION_NEWMESSAGE_POST\" value=\"&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;Post&nbsp;&nbsp;&nbsp;&nbsp;\">",
    "<input type=\"reset\" value=\"&nbsp;&nbsp;Reset&nbsp;\"></td></tr>",
    "</table></center></form>",
    "",
};

// The forum's entries, answered as its handler would.
void ForumEntry(const std::string& name, bool& handled) {
  if (name == "VIEWNAME") HttpFunctions().HttpWrite("Anna Maria");
  else if (name == "VIEWEMAIL") HttpFunctions().HttpWrite("anna@example.org");
  else if (name == "VIEWSUBJECT") HttpFunctions().HttpWrite("RE: About the meeting");
  else if (name == "VIEWTEXT") HttpFunctions().HttpWrite("See you on Monday.<BR>Anna<BR><BR><BR>");
  else if (name == "REPLYID") HttpFunctions().HttpWrite("1234");
  else if (name == "LASTNAME" || name == "LASTEMAIL") HttpFunctions().HttpWrite("");
  else handled = false;
}

size_t TemplateSize(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 2;
  return size;
}

void RunTemplate(benchmark::State& state, const std::vector<std::string>& lines) {
  InstallFakeRequest();
  THttpMemoFilter filter(nullptr);
  filter.OnHttpEntry = ForumEntry;
  filter.OnHttpLogicalEntry = [](const std::string& name, bool& value) { value = name == "REPLY"; };
  filter.SetText(lines);
  for (auto _ : state) {
    bytesWritten = 0;
    filter.Execute();
    benchmark::DoNotOptimize(bytesWritten);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * TemplateSize(lines));
}

void BM_FilterForumPage(benchmark::State& state) { RunTemplate(state, kForumPage); }
BENCHMARK(BM_FilterForumPage);

// About 1 MB of 4 KB lines, an entry or a colour every kilobyte or so.
std::vector<std::string> LongLineTemplate() {
  const std::string text =
      "<td class=\"cell\" style=\"width: 33%\">Lorem ipsum dolor sit amet, consectetur adipiscing elit, "
      "sed do eiusmod tempor incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis "
      "nostrud exercitation ullamco laboris nisi ut aliquip ex ea commodo consequat.</td>\n";
  std::vector<std::string> lines;
  size_t total = 0;
  int n = 0;
  while (total < (1u << 20)) {
    std::string line;
    while (line.size() < 4096) {
      line += text;
      switch (n++ % 4) {
        case 0: line += "<a href=\"%SCRIPT_NAME%?PAGE=%PAGE%\">next</a>"; break;
        case 1: line += "<font color=\"#F0F0F0\">"; break;
        case 2: line += "%VIEWSUBJECT%"; break;
        default: break;
      }
    }
    total += line.size() + 2;
    lines.push_back(line);
  }
  return lines;
}

void BM_FilterLongLines(benchmark::State& state) {
  static const std::vector<std::string> lines = LongLineTemplate();
  RunTemplate(state, lines);
}
BENCHMARK(BM_FilterLongLines);

// Long lines of text alone: the scan for delimiters.
void BM_FilterPlainLongLines(benchmark::State& state) {
  std::vector<std::string> lines(256, std::string(4094, 'x'));
  RunTemplate(state, lines);
}
BENCHMARK(BM_FilterPlainLongLines);

}  // namespace

BENCHMARK_MAIN();
