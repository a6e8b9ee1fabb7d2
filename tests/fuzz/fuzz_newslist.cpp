// The message list on an arbitrary data file (any size, any bytes, any reply
// links, cycles and self-replies included), compared line by line with a
// plain model of its definition: each record in file order goes directly
// after the first node from the front whose number is its ReplyId, else to
// the front.
// Input, split at line feeds: the request's field data (PAGE, NOTHREAD and
// the paging buttons), the Entries setting (not a number: 25), the form of
// the records, then the records: 'C' for compact records, three bytes each
// (number, reply number, time; small numbers so that they repeat), anything
// else for the data file's bytes as they are.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HUtils.h"
#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatExcept.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"
#include "support/FakeEngine.h"

namespace {

class PieceEngine : public FakeEngine {
 public:
  std::vector<std::string> Pieces;
  void Write(const std::string& Text) override {
    FakeEngine::Write(Text);
    Pieces.push_back(Text);
  }
};

int32_t CompactNumber(unsigned char b) {
  // Mostly 1..12; sometimes 0, negative or large.
  if (b < 0xF0) return 1 + b % 12;
  if (b < 0xF4) return 0;
  if (b < 0xF8) return -(b & 3) - 1;
  return 2147483647 - (b & 7);
}

std::string CompactRecords(std::string_view compact) {
  std::string file;
  for (size_t i = 0; i + 3 <= compact.size(); i += 3) {
    TNewsRecord r;
    r.Id = CompactNumber(static_cast<unsigned char>(compact[i]));
    r.ReplyId = CompactNumber(static_cast<unsigned char>(compact[i + 1]));
    r.Time = 40000 + static_cast<unsigned char>(compact[i + 2]) / 7.0;
    r.Subject = "s" + std::to_string(i / 3);
    r.Name = "n&lt;" + std::to_string(r.Id);
    unsigned char raw[TNewsRecord::RecordSize];
    r.Encode(raw);
    file.append(reinterpret_cast<const char*>(raw), sizeof raw);
  }
  return file;
}

struct Node {
  TNewsRecord record;
  int level;
};

// The whole output by the definition; false when it must fail on PAGE.
bool ModelList(const std::string& fields, const TForumSettings& s, const std::string& file,
               std::vector<std::string>& out) {
  auto field = [&](const char* name, const char* deflt) { return GetFieldValue(name, fields, deflt); };
  int64_t page;
  if (!field("ACTION_SEARCH_FIRST", "").empty()) {
    page = 1;
  } else {
    int p = 0;
    if (!plat::TryStrToInt(field("PAGE", "1"), p)) return false;
    page = p;
    if (!field("ACTION_SEARCH_NEXT", "").empty()) page = std::min<int64_t>(page + 1, 2147483647);
    if (page > 1 && !field("ACTION_SEARCH_PREV", "").empty()) --page;
  }
  const std::string noThread = field("NOTHREAD", "");
  const bool threaded = noThread.empty();
  const std::string pageText = std::to_string(page);
  out.push_back("<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"" + pageText + "\">\r\n");

  std::vector<Node> list;
  const size_t count = file.size() / TNewsRecord::RecordSize;
  for (size_t i = 0; i < count; ++i) {
    TNewsRecord r =
        TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(file.data()) + i * TNewsRecord::RecordSize);
    size_t at = 0;
    int level = 0;
    if (threaded && r.ReplyId >= 1) {
      for (size_t k = 0; k < list.size(); ++k) {
        if (list[k].record.Id == r.ReplyId) {
          at = k + 1;
          level = std::min(list[k].level + 1, 255);
          break;
        }
      }
    }
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), Node{r, level});
  }

  out.push_back("<div align=\"center\"><center><font face=\"" + s.Fontname + "\"><TABLE BORDER BGCOLOR=" +
                s.Tablecolor + " WIDTH=" + s.Tablewidth + ">\r\n");
  out.push_back("<TR><TH WIDTH=1></TH><TH>" + s.SubjectCaption + "</TH><TH>" + s.SenderCaption + "</TH><TH>" +
                s.TimeCaption + "</TH></TR>\r\n");
  const int64_t entries = s.Entries;
  for (size_t k = 0; k < list.size(); ++k) {
    const int64_t n = static_cast<int64_t>(k) + 1;
    if (!((page - 1) * entries < n && n <= page * entries)) continue;
    const TNewsRecord& r = list[k].record;
    std::string indent;
    for (int l = 0; l < list[k].level; ++l) indent += "&nbsp;&nbsp;&nbsp;";
    out.push_back("<TR><TD>" + std::to_string(n) + "</TD><TD BGCOLOR=\"WHITE\" WIDTH=65% NOWRAP>" + indent +
                  "<A HREF=\"/cgi-bin/parlino?VIEWID=" + std::to_string(r.Id) + "&NOTHREAD=" + UrlEncode(noThread) +
                  "&PAGE=" + pageText + "\">" + r.Subject + "</A></TD><TD BGCOLOR=\"WHITE\" NOWRAP>" + r.Name +
                  "</TD><TD BGCOLOR=\"WHITE\" NOWRAP WIDTH=10%>" + plat::DateTimeToStr(r.Time) + "</TD></TR>\r\n");
  }
  out.push_back("</TABLE></Font></center></div>\r\n");
  out.push_back("<CENTER>\r\n");
  if (page > 2) out.push_back("<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_FIRST\" VALUE=\"" + s.FirstButtonCaption + "\">\r\n");
  if (page > 1) out.push_back("<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_PREV\" VALUE=\"" + s.PrevButtonCaption + "\">\r\n");
  if (page * entries < static_cast<int64_t>(count))
    out.push_back("<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_NEXT\" VALUE=\"" + s.NextButtonCaption + "\">\r\n");
  out.push_back("</CENTER>\r\n");
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::vector<std::string> parts =
      fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 4);
  if (parts.size() < 4) return 0;
  TForumState state;
  state.FilePrefix = fuzz::ScratchDir() + "/forum";
  if (!plat::TryStrToInt(parts[1], state.Settings.Entries)) state.Settings.Entries = 25;
  state.Settings.Fontname = "F<ont>";
  state.Settings.SubjectCaption = "Subj";
  const std::string file = parts[2] == "C" ? CompactRecords(parts[3]) : parts[3];
  const std::string fileName = state.FilePrefix + "_data.dat";
  fuzz::WriteFile(fileName, file);

  PieceEngine engine;
  engine.AutoHttpHeader = false;
  engine.FieldData = parts[0];
  engine.Variables["SCRIPT_NAME"] = "/cgi-bin/parlino";
  FakeRequestScope scope(engine);
  THttpCookie cookie(nullptr);
  TNewsNavigator navigator(fileName, state, cookie);

  std::vector<std::string> want;
  const bool wantOk = ModelList(parts[0], state.Settings, file, want);
  std::string error;
  const size_t descriptors = fuzz::OpenDescriptors();
  try {
    navigator.WriteNewsList();
  } catch (const plat::EConvertError& e) {
    error = e.Message();
  }
  fuzz::Check(fuzz::OpenDescriptors() == descriptors, "writing the list leaves no file open");
  fuzz::Check(error.empty() == wantOk, "the list fails exactly on a PAGE that is no number", error);
  if (wantOk) {
    size_t at = 0;
    while (at < want.size() && at < engine.Pieces.size() && want[at] == engine.Pieces[at]) ++at;
    if (at != want.size() || at != engine.Pieces.size()) {
      fuzz::Fail("the list is written as defined",
                 "line " + std::to_string(at) + " of " + std::to_string(want.size()) + "\n    written:  " +
                     (at < engine.Pieces.size() ? fuzz::Show(engine.Pieces[at], 400) : "(nothing)") +
                     "\n    expected: " + (at < want.size() ? fuzz::Show(want[at], 400) : "(nothing)"));
    }
  }
  fuzz::Check(fuzz::ReadFile(fileName) == file, "writing the list leaves the data file as it was");
  return 0;
}
