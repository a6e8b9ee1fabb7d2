// The message list: the records of the data file arranged as threads (or
// newest first), written a page at a time with its paging buttons.
#include <algorithm>
#include <memory>
#include <climits>
#include <cstring>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

constexpr int RecordSize = TNewsRecord::RecordSize;
constexpr int IdOffset = TNewsRecord::IdOffset;
constexpr int ReplyIdOffset = TNewsRecord::ReplyIdOffset;
constexpr auto GetInt32 = TNewsRecord::GetInt32;

// Message number -> node, open addressing. Sized once for all records.
class TIdIndex {
 public:
  explicit TIdIndex(int32_t records) {
    size_t capacity = 16;
    while (capacity < static_cast<size_t>(records) * 2) capacity *= 2;
    mask_ = capacity - 1;
    slots_.assign(capacity, Entry{0, -1});
  }
  // The node stored for id, -1 when none.
  int32_t Find(int32_t id) const {
    for (size_t s = Hash(id);; s = (s + 1) & mask_) {
      if (slots_[s].node < 0) return -1;
      if (slots_[s].id == id) return slots_[s].node;
    }
  }
  void Prefetch(int32_t id, int32_t otherId) const {
    __builtin_prefetch(&slots_[Hash(id)]);
    __builtin_prefetch(&slots_[Hash(otherId)]);
  }
  // The place of id's node, -1 in it when id is new.
  int32_t& Slot(int32_t id) {
    size_t s = Hash(id);
    while (slots_[s].node >= 0 && slots_[s].id != id) s = (s + 1) & mask_;
    slots_[s].id = id;
    return slots_[s].node;
  }

 private:
  struct Entry {
    int32_t id;
    int32_t node;
  };
  size_t Hash(int32_t id) const {
    return static_cast<size_t>((static_cast<uint64_t>(static_cast<uint32_t>(id)) * 0x9E3779B97F4A7C15ull) >> 32) &
           mask_;
  }
  size_t mask_ = 0;
  std::vector<Entry> slots_;
};

// The threaded list. A record goes directly after the first node, counted
// from the front, whose number is its ReplyId, or to the front when there is
// none; so the list is the forest of replies in preorder, later thread
// starts and later replies first. The index keeps, per number, the node that
// is front-most at the moment, so finding a parent costs nothing. Only when
// numbers repeat must the places of two nodes be compared: by walking up the
// forest to where their paths meet or, once such walks have cost more than a
// few steps per record (deep threads full of repeated numbers), by labels
// that grow along the list (an order-maintenance list, relabelled in ever
// larger blocks as gaps run out).
class TThreadedList {
 public:
  explicit TThreadedList(int32_t count)
      : head_(count), nodes_(static_cast<size_t>(count) + 1, Node{-1, 0}), up_(static_cast<size_t>(count), -1),
        index_(count), walkBudget_(4 * int64_t{count} + 64) {}

  // Places the next record of the data file.
  void Add(int32_t id, int32_t replyId) {
    const int32_t node = listed_++;
    int32_t parent = replyId >= 1 ? index_.Find(replyId) : -1;
    if (parent < 0) {
      InsertAfter(head_, node);
    } else {
      nodes_[node].depth = nodes_[parent].depth + 1;
      up_[node] = parent;
      InsertAfter(parent, node);
    }
    int32_t& frontMost = index_.Slot(id);
    if (frontMost < 0 || parent < 0) {
      frontMost = node;  // new number, or placed at the very front
    } else if (frontMost != parent && Precedes(parent, frontMost)) {
      frontMost = node;  // directly after a parent that came before the former one
    }
  }

  // Ask the memory early for what Add will need for a record a little
  // later: first the index entries, then the parent's node.
  void PrefetchIndex(int32_t id, int32_t replyId) const { index_.Prefetch(id, replyId); }
  void PrefetchParent(int32_t replyId) const {
    int32_t parent = replyId >= 1 ? index_.Find(replyId) : -1;
    if (parent >= 0) __builtin_prefetch(&nodes_[parent]);
  }

  int32_t First() const { return nodes_[head_].next; }
  int32_t Next(int32_t node) const { return nodes_[node].next; }
  // Indentation steps: the depth in the thread, at most 255.
  int Level(int32_t node) const { return std::min(nodes_[node].depth, 255); }

 private:
  struct Node {
    int32_t next;
    int32_t depth;
  };
  static constexpr uint64_t Universe = uint64_t{1} << 62;
  static constexpr uint64_t FrontStep = uint64_t{1} << 32;

  // Whether a comes before b; a != b.
  bool Precedes(int32_t a, int32_t b) {
    if (ordered_) return label_[a] < label_[b];
    int32_t x = a, y = b;
    int64_t steps = 0;
    while (nodes_[x].depth > nodes_[y].depth) x = up_[x], ++steps;
    const bool aWasDeeper = steps > 0;
    while (nodes_[y].depth > nodes_[x].depth) y = up_[y], ++steps;
    bool before;
    if (x == y) {
      before = !aWasDeeper;  // one is the other's ancestor, which comes first
    } else {
      while (up_[x] != up_[y]) x = up_[x], y = up_[y], steps += 2;
      before = x > y;  // siblings or thread starts: the later one comes first
    }
    walkBudget_ -= steps;
    if (walkBudget_ < 0) StartOrder();
    return before;
  }

  void InsertAfter(int32_t at, int32_t node) {
    int32_t after = nodes_[at].next;
    if (ordered_) {
      uint64_t label;
      if (at == head_ && after >= 0 && label_[after] > FrontStep) {
        label = label_[after] - FrontStep;  // thread starts: the front grows downwards
      } else {
        MakeRoomAfter(at);
        uint64_t lo = label_[at], hi = after >= 0 ? label_[after] : Universe;
        label = lo + (hi - lo) / 2;
      }
      label_[node] = label;
      prev_[node] = at;
      if (after >= 0) prev_[after] = node;
    }
    nodes_[node].next = after;
    nodes_[at].next = node;
  }

  // Labels the list as it stands, evenly spread over the upper half, which
  // leaves the lower half to thread starts; the head keeps 0.
  void StartOrder() {
    ordered_ = true;
    label_.assign(nodes_.size(), 0);
    prev_.assign(nodes_.size(), -1);
    uint64_t step = Universe / 2 / (static_cast<uint64_t>(listed_) + 1);
    uint64_t label = Universe / 2;
    for (int32_t prev = head_, node = First(); node >= 0; prev = node, node = Next(node)) {
      label_[node] = label += step;
      prev_[node] = prev;
    }
  }

  // Makes a gap of at least 2 between at and its successor: finds the
  // smallest aligned block of labels around at that is sparse enough and
  // spreads its nodes evenly over it.
  void MakeRoomAfter(int32_t at) {
    int32_t after = Next(at);
    uint64_t hi = after >= 0 ? label_[after] : Universe;
    if (hi - label_[at] >= 2) return;
    int32_t first = at, last = at;
    uint64_t inBlock = 1;
    double density = 1;
    for (int bits = 1; bits <= 62; ++bits) {
      density *= 4.0 / 3.0;
      uint64_t width = uint64_t{1} << bits;
      uint64_t base = label_[at] & ~(width - 1);
      while (prev_[first] >= 0 && label_[prev_[first]] >= base) {
        first = prev_[first];
        ++inBlock;
      }
      while (Next(last) >= 0 && label_[Next(last)] < base + width) {
        last = Next(last);
        ++inBlock;
      }
      if (bits < 62 && static_cast<double>(inBlock + 1) > density) continue;
      uint64_t step = width / (inBlock + 1);
      uint64_t k = 0;
      for (int32_t node = first;; node = Next(node)) {
        label_[node] = base + k++ * step;
        if (node == last) break;
      }
      return;
    }
  }

  int32_t head_;
  int32_t listed_ = 0;
  std::vector<Node> nodes_;
  std::vector<int32_t> up_;  // the parent in the forest, -1 for thread starts
  TIdIndex index_;
  int64_t walkBudget_;
  bool ordered_ = false;
  std::vector<uint64_t> label_;
  std::vector<int32_t> prev_;
};

std::string Repeat(const char* piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

}  // namespace

int TNewsNavigator::CurrentPage() {
  if (!HttpGetField("ACTION_SEARCH_FIRST", "").empty()) return 1;
  int64_t page = plat::StrToInt(HttpGetField("PAGE", "1"));
  if (!HttpGetField("ACTION_SEARCH_NEXT", "").empty()) ++page;
  if (page > 1 && !HttpGetField("ACTION_SEARCH_PREV", "").empty()) --page;
  return static_cast<int>(std::min<int64_t>(page, INT_MAX));
}

void TNewsNavigator::WriteNewsList() {
  const std::string noThread = HttpGetField("NOTHREAD", "");
  const bool threaded = noThread.empty();
  const int page = CurrentPage();
  const std::string pageText = plat::IntToStr(page);
  HttpWriteLn("<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"" + pageText + "\">");

  // Only the numbers and links of all records are needed; the rows of the
  // page are read again from the same open file, which a removal never
  // changes (it puts a new file in its place).
  plat::TFile data;
  OpenDataFile(data);
  const int64_t size = data.Size();
  const int32_t count = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(size, 0) / RecordSize, INT32_MAX - 1));

  const TForumSettings& s = state_.Settings;
  HttpWriteLn("<div align=\"center\"><center><font face=\"" + s.Fontname +
              "\"><TABLE BORDER BGCOLOR=" + s.Tablecolor + " WIDTH=" + s.Tablewidth + ">");
  HttpWriteLn("<TR><TH WIDTH=1></TH><TH>" + s.SubjectCaption + "</TH><TH>" + s.SenderCaption +
              "</TH><TH>" + s.TimeCaption + "</TH></TR>");

  // Rows (page-1)*Entries < N <= page*Entries of the whole list.
  const int64_t entries = s.Entries;
  const int64_t firstRow = std::max<int64_t>((page - int64_t{1}) * entries + 1, 1);
  const int64_t lastRow = std::min<int64_t>(page * entries, count);
  if (firstRow <= lastRow) {
    const std::string linkStart = "<A HREF=\"" + HttpScriptName() + "?VIEWID=";
    const std::string linkEnd = "&NOTHREAD=" + UrlEncode(noThread) + "&PAGE=" + pageText + "\">";
    auto writeRow = [&](int64_t row, int32_t node, int level) {
      unsigned char raw[RecordSize] = {};
      if (data.Seek(static_cast<int64_t>(node) * RecordSize)) data.ReadFully(raw, RecordSize);
      TNewsRecord r = TNewsRecord::Decode(raw);
      HttpWriteLn("<TR><TD>" + plat::IntToStr(row) + "</TD>" +
                  "<TD BGCOLOR=\"WHITE\" WIDTH=65% NOWRAP>" + Repeat("&nbsp;&nbsp;&nbsp;", level) +
                  linkStart + plat::IntToStr(r.Id) + linkEnd + r.Subject + "</A></TD>" +
                  "<TD BGCOLOR=\"WHITE\" NOWRAP>" + r.Name + "</TD>" +
                  "<TD BGCOLOR=\"WHITE\" NOWRAP WIDTH=10%>" + plat::DateTimeToStr(r.Time) +
                  "</TD>" + "</TR>");
    };
    if (threaded) {
      TThreadedList list(count);
      // Uninitialised: zero-filling 180 KB cost more than building the list.
      const size_t chunkRecords = static_cast<size_t>(std::min<int64_t>(count, 1024));
      auto chunk = std::make_unique_for_overwrite<unsigned char[]>(chunkRecords * RecordSize + 1);
      for (int32_t done = 0; done < count;) {
        long want = static_cast<long>(std::min<int64_t>(count - done, 1024)) * RecordSize;
        long got = data.ReadFully(chunk.get(), want);
        if (got != want) throw plat::EFOpenError(FileName);
        const unsigned char* end = chunk.get() + got;
        constexpr long Far = 12 * RecordSize, Near = 6 * RecordSize;
        for (const unsigned char* raw = chunk.get(); raw < end; raw += RecordSize) {
          if (raw + Far < end) list.PrefetchIndex(GetInt32(raw + Far + IdOffset), GetInt32(raw + Far + ReplyIdOffset));
          if (raw + Near < end) list.PrefetchParent(GetInt32(raw + Near + ReplyIdOffset));
          list.Add(GetInt32(raw + IdOffset), GetInt32(raw + ReplyIdOffset));
        }
        done += static_cast<int32_t>(got / RecordSize);
      }
      int32_t node = list.First();
      for (int64_t row = 1; row < firstRow; ++row) node = list.Next(node);
      for (int64_t row = firstRow; row <= lastRow; ++row, node = list.Next(node))
        writeRow(row, node, list.Level(node));
    } else {
      // Newest first: row N is the N-th record from the end.
      for (int64_t row = firstRow; row <= lastRow; ++row)
        writeRow(row, static_cast<int32_t>(count - row), 0);
    }
  }

  HttpWriteLn("</TABLE></Font></center></div>");
  HttpWriteLn("<CENTER>");
  if (page > 2)
    HttpWriteLn("<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_FIRST\" VALUE=\"" + s.FirstButtonCaption + "\">");
  if (page > 1)
    HttpWriteLn("<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_PREV\" VALUE=\"" + s.PrevButtonCaption + "\">");
  if (page * entries < count)
    HttpWriteLn("<INPUT TYPE=SUBMIT NAME=\"ACTION_SEARCH_NEXT\" VALUE=\"" + s.NextButtonCaption + "\">");
  HttpWriteLn("</CENTER>");
}
