// The template filter. A template generated from the input, blocks nested
// and chained in any way, writes exactly the text of the branches taken, its
// own markup as it is and the request's value escaped, the same on each run.
// The input's bytes as a template are filtered too, for the sanitizers.
// Input: the value of field V, a line feed, then the template's bytes.
#include "FuzzSupport.h"
#include "engine/HttpEngContext.h"
#include "engine/HUtilsFilter.h"

static thread_local std::string value, out;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto parts = fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 2);
  value = parts[0];
  HttpFunctions().HttpWrite = [](const std::string& text) { out += text; };
  HttpFunctions().HttpGetVariable = [](const std::string&) { return std::string(); };
  HttpFunctions().HttpGetField = [](const std::string& name, const std::string& deflt) { return name == "V" ? value : deflt; };
  TRequestScope request;  // the filter's block stack lives in the request
  THttpMemoFilter filter(nullptr);
  filter.OnHttpLogicalEntry = [](const std::string& name, bool& holds) { holds = name == "T"; };
  filter.SetText(fuzz::Split(parts.back(), "\n"));
  filter.Execute();

  // Shown while every level is on; a block takes its first branch that holds.
  const char* const tokens[] = {"<p>&amp;", "%IF T%", "#IF F#", "%ELSEIF T%", "%ELSEIF F%", "#ELSE#", "%ENDIF%", "%V%", "\n", "%NO%"};
  std::vector<std::pair<bool, bool>> levels{{true, true}};  // on, a branch taken
  std::string text, want;
  auto shown = [&] { return std::all_of(levels.begin(), levels.end(), [](auto level) { return level.first; }); };
  for (const uint8_t b : parts.back().substr(0, 3000)) {  // lines within the filter's 32000 bytes
    const int t = b % 10;
    if (t >= 3 && t <= 6 && levels.size() == 1) continue;  // no block to go on with
    text += tokens[t];
    auto& [on, taken] = levels.back();
    if (t == 3 || t == 4) on = !taken && t == 3, taken = taken || on;
    if (t == 5) on = !taken, taken = true;
    if (t == 1 || t == 2) levels.emplace_back(t == 1, t == 1);
    if (t == 6) levels.pop_back();
    if (shown() && (t == 0 || t == 8)) want += t ? "\r\n" : tokens[0];
    for (char c : shown() && t == 7 && value != NotAvailable ? value : "")
      want += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
  }
  want += shown() ? "\r\n" : "";
  filter.SetText(fuzz::Split(text, "\n"));
  out.clear();
  filter.Execute();
  filter.Execute();
  fuzz::Check(out == want + want, "the filter writes the branches taken, the value escaped", want);
  return 0;
}
