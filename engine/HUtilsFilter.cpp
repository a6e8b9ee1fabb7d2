#include "engine/HUtilsFilter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HttpEngContext.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

// How far one scan looks: for the opening delimiter, for the closing one,
// and how much of a line's tail is written.
constexpr size_t kDelimiterWindow = 65000;
constexpr size_t kEntryWindow = 32000;
constexpr size_t kTailLimit = 32000;

// One IF level: whether its text is written, and whether a later ELSEIF or
// ELSE of the block may still be taken.
struct BlockLevel {
  bool active = true;
  bool pending = true;
};

// Shared by every filter of the request, so that a page written by several
// filters keeps one block structure. Grows on demand: nesting has no limit.
struct BlockStack : TStatePart {
  std::vector<BlockLevel> levels = std::vector<BlockLevel>(32);
  size_t level = 0;

  void Reset() {
    level = 0;
    levels[0] = BlockLevel{};
  }
  BlockLevel& Current() { return levels[level]; }
  // Level 0 has no enclosing level; it counts as not active.
  bool EnclosingActive() const { return level > 0 && levels[level - 1].active; }
  BlockLevel& Push() {
    ++level;
    if (level == levels.size()) levels.emplace_back();
    return levels[level];
  }
};

BlockStack& Blocks() { return CurrentRequest().Parts.Get<BlockStack>(); }

// Bytes that may stand inside an entry name (a space only after IF/ELSEIF,
// checked separately).
struct NameCharTable {
  bool accepted[256];
  constexpr NameCharTable() : accepted() {
    for (int c = 0; c < 256; ++c) accepted[c] = c > 32;
    for (unsigned char c : {'!', '"', '#', '%', '&', '(', ')', ',', '.'}) accepted[c] = false;
  }
};
constexpr NameCharTable kNameChars;

// The earliest '%' or '#' in [p, end), or end. Eight bytes at a time: a
// long run of page text is the common case.
const char* FindDelimiter(const char* p, const char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  constexpr uint64_t kPercents = kOnes * '%';
  constexpr uint64_t kHashes = kOnes * '#';
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    uint64_t a = word ^ kPercents;
    uint64_t b = word ^ kHashes;
    // Exact for "some byte is zero", so a hit is always within these 8.
    if ((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs) break;
    p += 8;
  }
  for (; p < end; ++p)
    if (*p == '%' || *p == '#') return p;
  return end;
}

// True when the text between two delimiters may be an entry or tag.
bool IsValidCandidate(std::string_view candidate) {
  size_t wordEnd = 0;  // end of the text before the current run of blanks
  for (size_t i = 0; i < candidate.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(candidate[i]);
    if (kNameChars.accepted[c]) {
      wordEnd = i + 1;
      continue;
    }
    if (c != ' ') return false;
    // A blank only separates the IF/ELSEIF keyword from its condition.
    std::string_view keyword = candidate.substr(0, wordEnd);
    if (keyword != "IF" && keyword != "ELSEIF") return false;
  }
  return true;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Values taken from the request are visitor input: they must not bring
// markup into the page.
bool NeedsEscape(const std::string& s) {
  for (char c : s)
    if (c == '&' || c == '<' || c == '>' || c == '"') return true;
  return false;
}

void WriteRequestValue(const std::string& value) {
  if (value.empty()) return;
  if (NeedsEscape(value))
    HttpFunctions().HttpWrite(HtmlEscape(value));
  else
    HttpFunctions().HttpWrite(value);
}

// Sets the new state of the current level from the condition. The level is
// addressed by index: a handler that runs another filter may grow the stack.
void RaiseCondition(BlockStack& blocks, const THttpLogicalEntryEvent& handler,
                    std::string_view condition) {
  size_t index = blocks.level;
  // An unanswered condition is false.
  bool value = false;
  if (handler) handler(std::string(condition), value);
  BlockLevel& level = blocks.levels[index];
  level.active = value;
  level.pending = !value;
}

// Handler first, then request variable, form field and the built-ins.
void ResolveEntry(const THttpEntryEvent& handler, const std::string& name) {
  if (handler) {
    bool handled = true;
    handler(name, handled);
    if (handled) return;
  }
  const THttpFunctionTable& http = HttpFunctions();
  std::string variable = http.HttpGetVariable(name);
  if (!variable.empty() && variable != NotAvailable) {
    WriteRequestValue(variable);
    return;
  }
  std::string field = http.HttpGetField(name, NotAvailable);
  if (name == "RANDOM_HIDDEN_INPUT") {
    http.HttpWrite("<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"" +
                   plat::IntToStr(plat::SecondsOfDay(plat::Now())) + "\">");
  } else if (field != NotAvailable) {
    WriteRequestValue(field);
  } else if (name == "TIME") {
    http.HttpWrite(plat::FormatLongTime(plat::Now()));
  } else if (name == "DATE") {
    http.HttpWrite(plat::FormatShortDate(plat::Now()));
  }
}

}  // namespace

// Everything the filter writes goes out at once through HttpWrite, one call
// per piece; nothing of the page is collected here.
void THttpTextFilterComponent::FilterLine(const std::string& Line) {
  const THttpFunctionTable& http = HttpFunctions();
  BlockStack& blocks = Blocks();
  const char* const begin = Line.data();
  const char* const end = begin + Line.size();
  const char* p = begin;
  std::string piece;  // reused for every literal run of this line

  auto write = [&](const char* from, const char* to) {
    if (from == to) return;
    piece.assign(from, to);
    http.HttpWrite(piece);
  };

  for (;;) {
    const char* windowEnd = end - p > static_cast<std::ptrdiff_t>(kDelimiterWindow)
                                ? p + kDelimiterWindow
                                : end;
    const char* q = FindDelimiter(p, windowEnd);
    if (q == windowEnd) break;

    const char d = *q;
    if (blocks.Current().active) write(p, q);

    const char* searchFrom = q + 1;
    size_t searchLen = std::min<size_t>(kEntryWindow, end - searchFrom);
    const char* close = static_cast<const char*>(std::memchr(searchFrom, d, searchLen));
    std::string_view candidate;
    if (close) candidate = std::string_view(searchFrom, close - searchFrom);
    if (!close || !IsValidCandidate(candidate)) {
      if (blocks.Current().active) {
        piece.assign(1, d);
        http.HttpWrite(piece);
      }
      p = q + 1;
      continue;
    }
    p = close + 1;

    std::string_view t = TrimView(candidate);
    std::string upper = plat::AnsiUpperCase(t);
    if (StartsWith(upper, "IF ")) {
      bool enclosingActive = blocks.Current().active;
      BlockLevel& level = blocks.Push();
      level.pending = true;
      if (enclosingActive)
        RaiseCondition(blocks, OnHttpLogicalEntry, TrimView(t.substr(2)));
      else
        level.active = false;
    } else if (StartsWith(t, "ELSEIF ")) {
      BlockLevel& level = blocks.Current();
      if (level.pending && blocks.EnclosingActive())
        RaiseCondition(blocks, OnHttpLogicalEntry, TrimView(t.substr(6)));
      else
        level.active = false;
    } else if (StartsWith(upper, "ELSE")) {
      BlockLevel& level = blocks.Current();
      if (level.pending && blocks.EnclosingActive()) {
        level.active = true;
        level.pending = false;
      } else {
        level.active = false;
      }
    } else if (upper == "ENDIF") {
      BlockLevel& level = blocks.Current();
      level.active = true;
      level.pending = true;
      if (blocks.level > 0) --blocks.level;
    } else if (blocks.Current().active) {
      ResolveEntry(OnHttpEntry, std::string(t));
    }
  }

  if (!blocks.Current().active) return;
  if (p == begin && Line.size() <= kTailLimit) {
    if (!Line.empty()) http.HttpWrite(Line);  // the common line: no copy
    return;
  }
  write(p, p + std::min<size_t>(kTailLimit, end - p));
}

void THttpMemoFilter::Execute() { Execute(text_); }

void THttpMemoFilter::Execute(const std::vector<std::string>& Lines) {
  Blocks().Reset();
  std::string line;
  // By index: an entry handler that adds lines leaves no dangling iterator.
  for (size_t i = 0; i < Lines.size(); ++i) {
    line.reserve(Lines[i].size() + 2);
    line.assign(Lines[i]);
    line += "\r\n";
    FilterLine(line);
  }
}
