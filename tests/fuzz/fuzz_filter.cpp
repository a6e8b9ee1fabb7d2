// The template filter: arbitrary template lines with arbitrary entry and
// condition answers, the pieces written compared with a plain model of the
// filter's definition (values taken from the request are written escaped).
// Input, split at line feeds: the request's field data, its variables (in
// the same name=value form), the answers, then the template's lines. The
// first answer byte says which handlers are assigned (bit 0 entries, bit 1
// conditions); the others are used in turn by the handlers. In template
// lines a byte 0x7F followed by a byte n stands for (n + 1) * 1000 'x', so
// that lines longer than the scan windows are reachable.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HUtils.h"
#include "engine/HUtilsFilter.h"
#include "platform/PlatText.h"

namespace {

thread_local std::string fieldData;
thread_local std::string variableData;
thread_local std::vector<std::string> pieces;

void FakeWrite(const std::string& text) { pieces.push_back(text); }
std::string FakeVariable(const std::string& name) { return GetFieldValue(name, variableData, ""); }
std::string FakeField(const std::string& name, const std::string& deflt) {
  return GetFieldValue(name, fieldData, deflt);
}

// Answers shared by the filter's handlers and the model's, in call order.
struct Answers {
  std::string bytes;
  size_t next = 0;
  unsigned char Take() {
    if (bytes.empty()) return 0;
    unsigned char b = static_cast<unsigned char>(bytes[next % bytes.size()]);
    ++next;
    return b;
  }
};

// What an answering entry handler writes: markup on purpose, so that only
// request values are expected escaped.
std::string HandlerText(const std::string& name, unsigned char b) {
  return (b & 2) ? "<" + name + ">" : std::string();
}


std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool Rejected(unsigned char c) {
  return c < 32 || c == '!' || c == '"' || c == '#' || c == '%' || c == '&' || c == '(' || c == ')' ||
         c == ',' || c == '.';
}

std::string TrimLow(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return std::string(s.substr(b, e - b));
}

bool ValidCandidate(const std::string& c) {
  for (size_t i = 0; i < c.size(); ++i) {
    unsigned char ch = static_cast<unsigned char>(c[i]);
    if (ch == ' ') {
      std::string head = TrimLow(std::string_view(c).substr(0, i + 1));
      if (head != "IF" && head != "ELSEIF") return false;
    } else if (Rejected(ch)) {
      return false;
    }
  }
  return true;
}

bool Starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The filter as its definition reads, one level record per open block.
class Model {
 public:
  Model(Answers& answers, bool entryHandler, bool conditionHandler)
      : answers_(answers), entryHandler_(entryHandler), conditionHandler_(conditionHandler) {}

  std::vector<std::string> out;
  std::vector<bool> clock;  // pieces the model cannot know: the clock's


  void Execute(const std::vector<std::string>& lines) {
    levels_.assign(1, Level{});
    for (const std::string& line : lines) FilterLine(line + "\r\n");
  }

 private:
  struct Level {
    bool active = true;
    bool pending = true;
  };

  void Write(const std::string& s) {
    if (s.empty()) return;
    out.push_back(s);
    clock.push_back(false);
  }
  void WriteClock() {
    out.emplace_back();
    clock.push_back(true);
  }
  Level& Current() { return levels_.back(); }
  bool EnclosingActive() const { return levels_.size() > 1 && levels_[levels_.size() - 2].active; }

  void FilterLine(const std::string& line) {
    size_t p = 0;
    for (;;) {
      const size_t windowEnd = std::min(line.size(), p + 65000);
      size_t q = p;
      while (q < windowEnd && line[q] != '%' && line[q] != '#') ++q;
      if (q == windowEnd) break;
      const char d = line[q];
      if (Current().active) Write(line.substr(p, q - p));
      const size_t searchEnd = std::min(line.size(), q + 1 + 32000);
      size_t close = q + 1;
      while (close < searchEnd && line[close] != d) ++close;
      const bool found = close < searchEnd;
      const std::string candidate = found ? line.substr(q + 1, close - q - 1) : std::string();
      if (!found || !ValidCandidate(candidate)) {
        if (Current().active) Write(std::string(1, d));
        p = q + 1;
        continue;
      }
      p = close + 1;
      const std::string t = TrimLow(candidate);
      const std::string u = plat::AnsiUpperCase(t);
      if (Starts(u, "IF ")) {
        const bool enclosing = Current().active;
        levels_.push_back(Level{});
        if (enclosing) Condition(TrimLow(std::string_view(t).substr(2)));
        else Current().active = false;
      } else if (Starts(t, "ELSEIF ")) {
        if (Current().pending && EnclosingActive()) Condition(TrimLow(std::string_view(t).substr(6)));
        else Current().active = false;
      } else if (Starts(u, "ELSE")) {
        if (Current().pending && EnclosingActive()) {
          Current().active = true;
          Current().pending = false;
        } else {
          Current().active = false;
        }
      } else if (u == "ENDIF") {
        Current() = Level{};
        if (levels_.size() > 1) levels_.pop_back();
      } else if (Current().active) {
        Entry(t);
      }
    }
    if (Current().active) Write(line.substr(p, std::min<size_t>(32000, line.size() - p)));
  }

  void Condition(const std::string&) {
    bool value = conditionHandler_ ? (answers_.Take() & 4) != 0 : false;
    Current().active = value;
    Current().pending = !value;
  }

  void Entry(const std::string& t) {
    if (entryHandler_) {
      unsigned char b = answers_.Take();
      if (b & 1) {
        Write(HandlerText(t, b));
        return;
      }
    }
    std::string v = FakeVariable(t);
    if (!v.empty() && v != NotAvailable) {
      Write(Escape(v));
      return;
    }
    std::string f = FakeField(t, NotAvailable);
    if (t == "RANDOM_HIDDEN_INPUT") WriteClock();
    else if (f != NotAvailable) Write(Escape(f));
    else if (t == "TIME" || t == "DATE") WriteClock();
  }

  Answers& answers_;
  bool entryHandler_;
  bool conditionHandler_;
  std::vector<Level> levels_;
};

bool Digits(std::string_view s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// The clock pieces: the hidden input with the seconds of the day, the time
// hh:nn:ss, the date dd.mm.yyyy.
bool ClockText(const std::string& s) {
  const std::string input = "<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"";
  if (Starts(s, input.c_str()) && s.size() > input.size() + 2 && s.compare(s.size() - 2, 2, "\">") == 0)
    return Digits(s, input.size(), s.size() - 2) && std::stol(s.substr(input.size())) < 86400;
  if (s.size() == 8 && s[2] == ':' && s[5] == ':') return Digits(s, 0, 2) && Digits(s, 3, 5) && Digits(s, 6, 8);
  if (s.size() == 10 && s[2] == '.' && s[5] == '.') return Digits(s, 0, 2) && Digits(s, 3, 5) && Digits(s, 6, 10);
  return false;
}

std::vector<std::string> TemplateLines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      lines.emplace_back();
    } else if (c == 0x7F && i + 1 < text.size()) {
      lines.back().append((static_cast<unsigned char>(text[i + 1]) + 1u) * 1000u, 'x');
      ++i;
    } else {
      lines.back() += static_cast<char>(c);
    }
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::vector<std::string> parts =
      fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 4);
  if (parts.size() < 4) return 0;
  fieldData = parts[0];
  variableData = parts[1];
  const std::string answerBytes = parts[2];
  const std::vector<std::string> lines = TemplateLines(parts[3]);
  const unsigned char mode = answerBytes.empty() ? 0 : static_cast<unsigned char>(answerBytes[0]);
  const bool entryHandler = mode & 1, conditionHandler = mode & 2;

  THttpFunctionTable& table = HttpFunctions();
  table.HttpWrite = FakeWrite;
  table.HttpGetVariable = FakeVariable;
  table.HttpGetField = FakeField;

  Answers answers{answerBytes.size() > 1 ? answerBytes.substr(1) : std::string()};
  THttpMemoFilter filter(nullptr);
  filter.SetText(lines);
  if (entryHandler) {
    filter.OnHttpEntry = [&answers](const std::string& name, bool& handled) {
      fuzz::Check(handled, "the entry handler is called with Handled true");
      unsigned char b = answers.Take();
      handled = b & 1;
      if (handled) {
        std::string text = HandlerText(name, b);
        if (!text.empty()) HttpFunctions().HttpWrite(text);
      }
    };
  }
  if (conditionHandler) {
    filter.OnHttpLogicalEntry = [&answers](const std::string&, bool& value) { value = answers.Take() & 4; };
  }

  Answers modelAnswers{answers.bytes};
  Model model(modelAnswers, entryHandler, conditionHandler);
  model.Execute(lines);

  // Twice: each run starts from a fresh block stack.
  for (int run = 0; run < 2; ++run) {
    pieces.clear();
    answers.next = 0;
    filter.Execute();
    bool same = pieces.size() == model.out.size();
    size_t at = 0;
    for (; same && at < pieces.size(); ++at) {
      same = model.clock[at] ? ClockText(pieces[at]) : pieces[at] == model.out[at];
      if (!same) break;
    }
    if (!same) {
      std::string detail = "run " + std::to_string(run) + ": " + std::to_string(pieces.size()) +
                           " pieces written, " + std::to_string(model.out.size()) + " expected; first difference at " +
                           std::to_string(at);
      if (at < pieces.size()) detail += "\n    written:  " + fuzz::Show(pieces[at]);
      if (at < model.out.size()) detail += "\n    expected: " + fuzz::Show(model.out[at]);
      for (size_t k = 0; k < std::max(pieces.size(), model.out.size()); ++k)
        detail += "\n    " + std::to_string(k) + ": " + (k < pieces.size() ? fuzz::Show(pieces[k], 60) : "-") +
                  "  |  " + (k < model.out.size() ? fuzz::Show(model.out[k], 60) : "-");
      fuzz::Fail("the filter writes what its definition says", detail);
    }
  }
  return 0;
}
