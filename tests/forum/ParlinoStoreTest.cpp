// The message store as its files show it: the data file of 180-byte records,
// one text file per message, each on disk before the page says so, the
// copies a removal leaves, requests killed midway, and files planted in the
// store's place.
#include <sys/stat.h>

#include <random>

#include "tests/support/ForumFixture.h"

namespace {

class MessageStore : public ForumSite {};

TEST_F(MessageStore, KeepsEachPostAndRemovalWholeOnDiskBeforeItIsAcknowledgedAndNeverThroughAPlantedFile) {
  WriteFile(data + ".ini", "[Parameters]\nPassword=secret\n");
  Store({Message(5, 0, "five")});
  WriteFile(TextFile(5), "t");
  const std::string log = (root / "trace").string();
  tracer = {"/usr/bin/strace", "-f", "-qq", "-y", "-e", "trace=fsync,rename", "-o", log};
  auto steps = [&] {  // the renames, and the data directory or the file extension each fsync reached, in order
    std::ifstream in(log);
    std::string seen;
    for (std::string line; std::getline(in, line);)
      seen += Has(line, "rename(") ? " rename" : Has(line, (root / "parlino>").string()) ? " directory"
              : " " + line.substr(line.rfind('.') + 1, line.find('>') - line.rfind('.') - 1);
    return seen;
  };
  const std::string e(46, 'e'), s(62, 'S'), n(30, 'n'), zero(4, '\0');
  const std::string cases[][8] = {  // posted name, e-mail, subject, REPLYID; stored name, e-mail, subject, ReplyId
      {"Anna \"Q\" & Co", e + "eeee", s + "SSSSSSSS", "", "Anna &quot;Q&quot; & Co", e + "ee", s + "SS", zero},
      // The cuts count the escaped text, entities included.
      {n + "<b>", e + "'\"", s + ">", "&REPLYID=16909060", n + "&l", e + "'&", s + "&g", "\x04\x03\x02\x01"},
      {{"N\0n", 3}, {"E\0e", 3}, {"S\0s", 3}, "", "N", "E", "S", zero},  // zeros after a text's first NUL
  };
  for (const auto& c : cases) {
    Post(c[0], c[1], c[2], "text of " + c[2], c[3]);
    EXPECT_EQ(steps(), " txt directory dat");
    const double now = plat::Now();
    const std::string file = ReadFile(data + "_data.dat"), raw = file.substr(file.size() - R);
    auto field = [](std::string text, size_t size) { text.resize(size, '\0'); return text; };  // NUL-padded
    EXPECT_EQ(raw, field(c[6], 65) + field(c[5], 49) + field(c[4], 34) + raw.substr(148, 4) /* number */ + c[7] +
                       std::string(8, '\0') + raw.substr(164, 8) /* the time */ + std::string(8, '\0'));
    const TNewsRecord r = Records().back();  // the number and time where the layout above leaves them
    EXPECT_EQ(ReadFile(TextFile(r.Id)), "text of " + c[2]);
    EXPECT_TRUE(r.Id >= 1 && r.Id <= 1147483647 && r.Time <= now && r.Time > now - 1.0 / 1440) << r.Id << " " << r.Time;
  }
  EXPECT_TRUE(Has(Post("tavik", "secret", "remove", "x", "&REPLYID=" + std::to_string(Records()[1].Id)), "removed"));
  EXPECT_EQ(steps(), " new rename directory");
  tracer.clear();

  const std::string outside = (root / "outside").string(), open = " kann nicht ge\xF6" "ffnet werden";
  const std::string removeFive = "NEWNAME=tavik&NEWEMAIL=secret&NEWSUBJECT=remove&REPLYID=5&NEWTEXT=x&ACTION_NEWMESSAGE_POST=1",
                    post = "NEWNAME=n&NEWEMAIL=e&NEWSUBJECT=s&NEWTEXT=x&ACTION_NEWMESSAGE_POST=1";
  enum { Link, Fifo, Directory };
  // Each gives the open error naming it, but links to the removal's files: they are replaced, not followed. A
  // directory also stands for a file this account may not read.
  const std::tuple<int, std::string, std::string> planted[] = {  // kind, in place of, request
      {Fifo, "_5.txt", "VIEWID=5"}, {Fifo, "_data.dat", ""}, {Fifo, ".ini", ""}, {Directory, ".ini", ""},
      {Fifo, "_data.lck", post}, {Directory, "_data.lck", post}, {Link, "_data.lck", removeFive},
      {Link, "_data.old", removeFive}, {Link, "_data.tmp", removeFive}, {Link, "_data.new", removeFive}};
  for (const auto& [kind, name, query] : planted) {
    SCOPED_TRACE(name);
    const std::string saved = ReadFile(data + name);
    WriteFile(outside, "keep");
    fs::remove(data + name);
    if (kind == Link) fs::create_symlink(outside, data + name);
    if (kind == Fifo) mkfifo((data + name).c_str(), 0600);
    if (kind == Directory) fs::create_directory(data + name);
    const bool replaced = kind == Link && name != "_data.lck";
    EXPECT_TRUE(Has(Request(query), replaced ? "has been removed" : "/parlino" + name + open));
    EXPECT_EQ(ReadFile(outside), "keep");
    fs::remove(data + name);
    if (!saved.empty()) WriteFile(data + name, saved);
  }

  // Every tenth message answers 999, the one removed: those become thread starts, the others keep their link.
  std::vector<TNewsRecord> records{Message(999, 0, "gone")}, kept;
  for (int i = 1000; i < 3000; ++i) records.push_back(Message(i, i % 10 ? i - 1 : 999, "m"));
  for (const TNewsRecord& r : records) WriteFile(TextFile(r.Id), "t");
  records[501].Name = records[502].Name = "tavik";
  records[501].Email = "secret";  // tavik with the password in force: an administrator's post, which goes too;
  records[502].Email = "lumo";    // with the default password it is an ordinary message
  fs::remove(TextFile(1502));  // and so does a message whose text was deleted by hand
  for (TNewsRecord r : records) {
    r.ReplyId = r.ReplyId == 999 ? 0 : r.ReplyId;
    if (r.Id != 999 && r.Id != 1500 && r.Id != 1502) kept.push_back(r);
  }
  Store(kept);
  const std::string after = ReadFile(data + "_data.dat");
  Store(records);
  const std::string before = ReadFile(data + "_data.dat") + "fragment";
  // Leftovers of killed requests go; other forums' files and names that only look alike stay.
  for (const std::string orphan : {"_5.txt", "_data.new"}) WriteFile(data + orphan, "left");
  for (const std::string other : {"_05.txt", "_6.txt.bak", "x_7.txt"}) WriteFile(data + other, "other");
  auto removal = [&](int killAfterMs) {
    WriteFile(data + "_data.dat", before);
    return Request("", "NEWNAME=tavik&NEWEMAIL=secret&NEWSUBJECT=remove&NEWTEXT=x&ACTION_NEWMESSAGE_POST=1&REPLYID=999",
                   "", killAfterMs);
  };
  fs::create_hard_link(data + "_data.dat", data + "_held");  // as a reader holding the data file open sees it
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Has(removal(0), "has been removed"));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(ReadFile(data + "_data.dat") == after && ReadFile(data + "_held") == before);  // replaced whole
  EXPECT_TRUE(ReadFile(data + "_data.old") == before && ReadFile(data + "_data.tmp") == before);
  EXPECT_FALSE(fs::exists(TextFile(999)) || fs::exists(data + "_data.new"));
  EXPECT_TRUE(!fs::exists(TextFile(5)) && fs::exists(TextFile(1500)) && fs::exists(TextFile(1501)));
  EXPECT_TRUE(fs::exists(data + "_05.txt") && fs::exists(data + "_6.txt.bak") && fs::exists(data + "x_7.txt"));

  // The text of 999 is gone now, which drops its record just the same.
  // The kill time closes in on the removal's window, however slow this machine is today.
  std::mt19937 random(12345);
  int early = 0, late = static_cast<int>(took.count()) + 1, midway = 0;
  for (int round = 0; round < 60 && midway < 5; ++round) {
    const int at = std::uniform_int_distribution<int>(early, late)(random);
    const std::string page = removal(at);
    const bool head = Has(page, "<body>"), done = Has(page, "has been removed");
    midway += head && !done;  // the head comes before the removal
    if (done) late = at;
    if (!head) early = at;
    if (late - early < 4) early = std::max(0, early - 10), late += 10;
    const std::string now = ReadFile(data + "_data.dat");
    ASSERT_TRUE(now == before || now == after) << "round " << round << ": " << now.size() << " bytes";
  }
  EXPECT_GT(midway, 0);
  EXPECT_TRUE(Has(removal(0), "has been removed"));  // the store still works
  EXPECT_TRUE(ReadFile(data + "_data.dat") == after);
}

}  // namespace
