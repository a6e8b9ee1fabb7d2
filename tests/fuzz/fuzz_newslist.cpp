// The message list of messages generated from the input: numbers repeat,
// replies go to earlier, later or missing numbers or to themselves. Read page
// by page it holds each message once, numbered on. A reply goes directly
// after the front-most message of its number as the list stood when the
// reply came, one level deeper; anything else, and everything without
// threads, goes first. So the older messages above one are exactly its
// parent and those above the parent.
// Input: a flag byte (bit 0 no threads, bits 1-2 the page size), then per
// message its number byte and the byte of the number it replies to; a byte
// left over ends the data file as a partial record.
#include "FuzzSupport.h"
#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "support/FakeEngine.h"

// Mostly 1 to 12; also 0, negative, the largest, and (from 0xFC on) 100 + the record's index, for deep threads.
static int32_t Number(uint8_t b, int i) {
  return b < 0xF0 ? 1 + b % 12 : b < 0xF8 ? -(b & 7) : b < 0xFC ? INT32_MAX - (b & 3) : 100 + i;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const int n = static_cast<int>((size - 1) / 2), threaded = !(bytes[0] & 1);
  TForumState state{fuzz::scratchDir + "/forum", {}};
  state.Settings.Entries = std::max(std::vector{1, 7, 25, 1000}[(bytes[0] >> 1) & 3], n / 4);  // at most 6 pages
  std::string file(bytes + 1 + 2 * n, bytes + size);
  std::vector<int32_t> id(n), reply(n);
  for (int i = 0; i < n; ++i) {
    TNewsRecord r;
    r.Id = id[i] = Number(bytes[1 + 2 * i], i), r.ReplyId = reply[i] = Number(bytes[2 + 2 * i], i - 1), r.Subject = std::to_string(i);
    file.insert(i * TNewsRecord::RecordSize, TNewsRecord::RecordSize, '\0');  // before the partial record
    r.Encode(reinterpret_cast<unsigned char*>(file.data()) + i * TNewsRecord::RecordSize);
  }
  fuzz::WriteFile(state.FilePrefix + "_data.dat", file);
  FakeEngine engine;
  FakeRequestScope scope(engine);
  THttpCookie cookie(nullptr);
  TNewsNavigator navigator(state.FilePrefix + "_data.dat", state, cookie);
  std::vector<int> pos(n, -1), depth(n, -1);
  const std::string& out = engine.Output;
  for (int page = 1, listed = 0; page <= n / state.Settings.Entries + 2; ++page) {
    engine.FieldData = "PAGE=" + std::to_string(page) + (threaded ? "" : "&NOTHREAD=1");
    const long open = fuzz::OpenFiles();
    navigator.WriteNewsList();
    fuzz::Check(fuzz::OpenFiles() == open, "the list leaves no file open");
    for (size_t row = out.find("<TR><TD>"); row != std::string::npos; row = out.find("<TR><TD>", row + 1)) {
      const size_t link = out.find("<A HREF", row);
      const int i = std::stoi(out.substr(out.find("\">", link) + 2, 12));
      fuzz::Check(std::stoi(out.substr(row + 8, 12)) == ++listed && i < n && pos[i] < 0, "listed once, numbered on");
      pos[i] = listed, depth[i] = static_cast<int>(link - out.find("NOWRAP>", row) - 7) / 18;
    }
    engine.Output.clear();
  }
  for (int i = 0; i < n; ++i) {
    int parent = -1;
    for (int k = 0; k < i; ++k)
      if (threaded && reply[i] >= 1 && id[k] == reply[i] && (parent < 0 || pos[k] < pos[parent])) parent = k;
    for (int k = 0; k < i; ++k)
      fuzz::Check(pos[i] > 0 && (pos[k] < pos[i]) == (parent >= 0 && pos[k] <= pos[parent]), "placed by its reply number");
    fuzz::Check(depth[i] == (parent < 0 ? 0 : std::min(depth[parent] + 1, 255)), "one level deeper, at most 255");
  }
  return 0;
}
