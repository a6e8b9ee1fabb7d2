#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "tests/support/PlatRun.h"
#include "platform/PlatTime.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/ForumFixture.h"

namespace {

namespace fs = std::filesystem;
constexpr size_t R = TNewsRecord::RecordSize;

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Encoded(const TNewsRecord& r) {
  unsigned char raw[R];
  r.Encode(raw);
  return std::string(reinterpret_cast<const char*>(raw), R);
}

TNewsRecord DecodedAt(const std::string& bytes, size_t index) {
  return TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(bytes.data()) + index * R);
}

std::string OpenMessage(const std::string& file) {
  return "Datei " + file + " kann nicht ge\xF6" "ffnet werden";
}

struct Post {
  std::string Subject = "Subject", Name = "Name", Email = "mail@example.org", Text = "Text";
  std::optional<std::string> ReplyId = std::nullopt;
};

class Store : public ForumFixture {
 protected:
  Store() : ForumFixture("store") {}
  void SetUp() override {
    ForumFixture::SetUp();
    cookie.CookieName = "NEWSGROUP";
  }
  TNewsNavigator& Navigator() {
    if (!navigator) navigator = std::make_unique<TNewsNavigator>(DataFile(), state, cookie);
    return *navigator;
  }
  // Stores a post and returns its record as written.
  TNewsRecord Add(const Post& post) {
    engine.FieldData = "NEWSUBJECT=" + UrlEncode(post.Subject) + "&NEWNAME=" + UrlEncode(post.Name) +
                       "&NEWEMAIL=" + UrlEncode(post.Email) + "&NEWTEXT=" + UrlEncode(post.Text);
    if (post.ReplyId) engine.FieldData += "&REPLYID=" + UrlEncode(*post.ReplyId);
    Navigator().AddMessage();
    std::string bytes = ReadBytes(DataFile());
    return DecodedAt(bytes, bytes.size() / R - 1);
  }
  size_t TextFileCount() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.path().extension() == ".txt") ++n;
    return n;
  }
};

TEST(NewsRecord, EncodesTheFileLayoutByteForByte) {
  TNewsRecord r;
  r.Subject = "Hello";
  r.Email = "a@b";
  r.Name = "Anna";
  r.Id = 0x01020304;
  r.ReplyId = -2;
  r.Time = 45000.5;
  r.Next = 77;
  r.Level = 9;

  std::string expected(R, '\0');
  expected.replace(0, 5, "Hello");
  expected.replace(65, 3, "a@b");
  expected.replace(114, 4, "Anna");
  expected.replace(148, 4, "\x04\x03\x02\x01");
  expected.replace(152, 4, "\xFE\xFF\xFF\xFF");
  expected.replace(164, 8, std::string("\x00\x00\x00\x00\x10\xF9\xE5\x40", 8));
  EXPECT_EQ(Encoded(r), expected);

  TNewsRecord back = DecodedAt(expected, 0);
  EXPECT_EQ(back.Subject, "Hello");
  EXPECT_EQ(back.Email, "a@b");
  EXPECT_EQ(back.Name, "Anna");
  EXPECT_EQ(back.Id, 0x01020304);
  EXPECT_EQ(back.ReplyId, -2);
  EXPECT_EQ(back.Time, 45000.5);
  EXPECT_EQ(back.Next, 0);
  EXPECT_EQ(back.Level, 0);
}

TEST(NewsRecord, CutsTextsToTheirFieldsAndReadsUpToTheFirstNul) {
  TNewsRecord r;
  r.Subject = std::string(70, 's');
  r.Email = std::string(60, 'e');
  r.Name = std::string(40, 'n');
  std::string raw = Encoded(r);
  EXPECT_EQ(raw.substr(0, 65), std::string(64, 's') + '\0');
  EXPECT_EQ(raw.substr(65, 49), std::string(48, 'e') + '\0');
  EXPECT_EQ(raw.substr(114, 34), std::string(32, 'n') + std::string(2, '\0'));

  // Bytes after a NUL are ignored; a field without NUL is read to its end
  // and never beyond.
  std::string filled(R, 'z');
  filled.replace(0, 4, std::string("ab\0c", 4));
  TNewsRecord d = DecodedAt(filled, 0);
  EXPECT_EQ(d.Subject, "ab");
  EXPECT_EQ(d.Email, std::string(49, 'z'));
  EXPECT_EQ(d.Name, std::string(33, 'z'));
}

TEST(NewsNavigatorText, ReplacesEveryOccurrenceWithoutCuttingTheRest) {
  struct Case {
    std::string old, replacement, text, expected;
  } cases[] = {
      {"a", "b", "aaa", "bbb"},
      {"aa", "b", "aaa", "ba"},
      {"ab", "", "xabyab", "xy"},
      {"", "x", "abc", "abc"},
      {"q", "x", "", ""},
      {"<", "&lt;", "<<x<", "&lt;&lt;x&lt;"},
      {">", "&gt;", ">" + std::string(40000, 'x') + ">",
       "&gt;" + std::string(40000, 'x') + "&gt;"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TNewsNavigator::ReplaceAll(c.old, c.replacement, c.text), c.expected) << c.text.substr(0, 20);

  EXPECT_EQ(TNewsNavigator::EscapeHtml("<a href=\"x\">&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&'&lt;/a&gt;");
  // Long texts are escaped in full and in linear time.
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "<\">";
  std::string escaped = TNewsNavigator::EscapeHtml(big);
  EXPECT_EQ(escaped.size(), 200000u * 14);
  EXPECT_EQ(escaped.substr(escaped.size() - 14), "&lt;&quot;&gt;");
}

TEST_F(Store, CreatesAMissingDataFileAndKeepsAnExistingOne) {
  EXPECT_FALSE(fs::exists(DataFile()));
  Navigator();
  EXPECT_TRUE(fs::exists(DataFile()));
  EXPECT_EQ(fs::file_size(DataFile()), 0u);

  WriteBytes(DataFile(), std::string(R, 'x'));
  TNewsNavigator again(DataFile(), state, cookie);
  EXPECT_EQ(ReadBytes(DataFile()), std::string(R, 'x'));

  const std::string unreachable = dir + "/none/forum_data.dat";
  try {
    TNewsNavigator failing(unreachable, state, cookie);
    ADD_FAILURE() << "no error";
  } catch (const plat::EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Datei " + unreachable + " kann nicht erstellt werden");
  }
}

TEST_F(Store, AppendsTheEscapedAndCutRecord) {
  struct Case {
    Post post;
    std::string subject, name, email;
  } cases[] = {
      {{"Hello", "Anna", "anna@example.org", "t", {}}, "Hello", "Anna", "anna@example.org"},
      {{std::string(70, 'S'), "N", "E", "t", {}}, std::string(64, 'S'), "N", "E"},
      {{std::string(62, 'S') + ">", "N", "E", "t", {}}, std::string(62, 'S') + "&g", "N", "E"},
      {{"S", "Anna \"Q\" & Co", "E", "t", {}}, "S", "Anna &quot;Q&quot; & Co", "E"},
      {{"S", std::string(30, 'n') + "<b>", "E", "t", {}}, "S", std::string(30, 'n') + "&l", "E"},
      {{"S", "N", std::string(50, 'e'), "t", {}}, "S", "N", std::string(48, 'e')},
      {{"S", "N", std::string(46, 'e') + "'\"", "t", {}}, "S", "N", std::string(46, 'e') + "'&"},
  };
  for (const Case& c : cases) {
    double before = plat::Now();
    TNewsRecord r = Add(c.post);
    double after = plat::Now();
    std::string raw = ReadBytes(DataFile()).substr(ReadBytes(DataFile()).size() - R);

    std::string expected(R, '\0');
    expected.replace(0, c.subject.size(), c.subject);
    expected.replace(65, c.email.size(), c.email);
    expected.replace(114, c.name.size(), c.name);
    expected.replace(148, 4, raw.substr(148, 4));    // the drawn number
    expected.replace(164, 8, raw.substr(164, 8));    // the time
    EXPECT_EQ(raw, expected) << c.subject;
    EXPECT_GE(r.Time, before);
    EXPECT_LE(r.Time, after);
    EXPECT_GE(r.Id, 1);
    EXPECT_LE(r.Id, 1147483647);
  }
  EXPECT_EQ(fs::file_size(DataFile()), std::size(cases) * R);
}

TEST_F(Store, SetsTheVisitorCookieFromTheRawFields) {
  Add({"S", "Anna Maria & Co", "a+b@example.org", "t", {}});
  const std::string value = "N=" + UrlEncode("Anna Maria & Co") + "&E=" + UrlEncode("a+b@example.org");
  const std::string start = "set-cookie:NEWSGROUP=" + UrlEncode(value) + "; Path=/; expires=";
  EXPECT_EQ(engine.Output.substr(0, start.size()), start);
  const std::string expires = HttpDate(plat::Now() + 60);
  EXPECT_EQ(engine.Output.substr(start.size(), 16), expires.substr(0, 16));  // the day, 60 days on
  EXPECT_EQ(engine.Output.substr(engine.Output.size() - 2), "\r\n");
  EXPECT_EQ(engine.Output.find("\r\n"), engine.Output.size() - 2);  // nothing else written
}

TEST_F(Store, TakesTheReplyNumberFromTheFormOrFailsBeforeStoring) {
  const std::pair<std::optional<std::string>, int> good[] = {
      {std::nullopt, 0}, {"0", 0}, {"123456", 123456}, {"-4", -4}, {"+7", 7}};
  for (const auto& [field, expected] : good) EXPECT_EQ(Add({.ReplyId = field}).ReplyId, expected);

  const size_t size = fs::file_size(DataFile());
  const size_t texts = TextFileCount();
  for (const char* bad : {"abc", "", "1.5"}) {
    engine.Output.clear();
    try {
      Add({.ReplyId = std::string(bad)});
      ADD_FAILURE() << "no error for " << bad;
    } catch (const plat::EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' ist kein g\xFCltiger Integerwert");
    }
    EXPECT_NE(engine.Output.find("set-cookie:"), std::string::npos);  // the cookie comes first
  }
  EXPECT_EQ(fs::file_size(DataFile()), size);
  EXPECT_EQ(TextFileCount(), texts);
}

TEST_F(Store, StoresTheBodyRawOrEscapedAsAllowHtmlSays) {
  const std::string text = "<b>bold</b> \"q\" & 'a'\r\nline 2\r\n";
  TNewsRecord raw = Add({.Text = text});
  EXPECT_EQ(ReadBytes(Navigator().TextFileName(raw.Id)), text);
  state.Settings.AllowHTML = false;
  TNewsRecord escaped = Add({.Text = text});
  EXPECT_EQ(ReadBytes(Navigator().TextFileName(escaped.Id)),
            "&lt;b&gt;bold&lt;/b&gt; &quot;q&quot; & 'a'\r\nline 2\r\n");
}

TEST_F(Store, GivesEveryPostItsOwnNumberAndTextFile) {
  std::set<int> ids;
  for (int i = 0; i < 40; ++i) {
    TNewsRecord r = Add({.Text = "text " + std::to_string(i)});
    EXPECT_TRUE(ids.insert(r.Id).second);
    EXPECT_EQ(ReadBytes(state.FilePrefix + "_" + std::to_string(r.Id) + ".txt"), "text " + std::to_string(i));
  }
  EXPECT_EQ(TextFileCount(), 40u);
  EXPECT_EQ(Navigator().TextFileName(123456), state.FilePrefix + "_123456.txt");
}

TEST_F(Store, OverwritesATrailingFragmentWhenAppending) {
  TNewsRecord first = Add({.Subject = "first"});
  std::string bytes = ReadBytes(DataFile());
  WriteBytes(DataFile(), bytes + std::string(50, 'G'));
  Add({.Subject = "second"});
  std::string after = ReadBytes(DataFile());
  ASSERT_EQ(after.size(), 2 * R);
  EXPECT_EQ(after.substr(0, R), bytes);
  EXPECT_EQ(DecodedAt(after, 1).Subject, "second");
  EXPECT_EQ(first.Subject, "first");
}

TEST_F(Store, WaitsForAnotherWriterAndGivesUpAfterTheLimit) {
  Navigator().WaitLimitMs = 5000;
  auto lock = std::make_unique<plat::TFile>();
  ASSERT_TRUE(lock->Open(state.FilePrefix + "_data.lck", plat::TFileAccess::ReadWrite,
                         plat::TShareKind::Exclusive, plat::TFileCreation::OpenAlways));
  std::thread release([&] {
    plat::SleepMs(150);
    lock->Close();
  });
  auto start = std::chrono::steady_clock::now();
  Add({.Subject = "waited"});
  auto waited = std::chrono::steady_clock::now() - start;
  release.join();
  EXPECT_GE(waited, std::chrono::milliseconds(140));
  EXPECT_EQ(fs::file_size(DataFile()), R);

  // A stale exclusive open of the data file itself is waited out as well.
  ASSERT_TRUE(lock->Open(DataFile(), plat::TFileAccess::Read, plat::TShareKind::Exclusive));
  std::thread release2([&] {
    plat::SleepMs(150);
    lock->Close();
  });
  Add({.Subject = "waited again"});
  release2.join();
  EXPECT_EQ(fs::file_size(DataFile()), 2 * R);

  Navigator().WaitLimitMs = 100;
  ASSERT_TRUE(lock->Open(state.FilePrefix + "_data.lck", plat::TFileAccess::ReadWrite,
                         plat::TShareKind::Exclusive, plat::TFileCreation::OpenAlways));
  for (int removal = 0; removal < 2; ++removal) {
    try {
      if (removal)
        Navigator().RemoveMessage(1);
      else
        Add({.Subject = "refused"});
      ADD_FAILURE() << "no error";
    } catch (const plat::EFOpenError& e) {
      EXPECT_EQ(e.Message(), OpenMessage(DataFile()));
    }
  }
  EXPECT_EQ(fs::file_size(DataFile()), 2 * R);
  EXPECT_EQ(TextFileCount(), 2u);
  EXPECT_FALSE(fs::exists(state.FilePrefix + "_data.old"));
}

TEST_F(Store, LoadsAMessageWithItsBody) {
  TNewsRecord a = Add({.Subject = "A", .Text = "body A"});
  TNewsRecord b = Add({.Subject = "B", .Text = "body B\r\n"});
  TNewsRecord record;
  std::string body;
  ASSERT_TRUE(Navigator().LoadMessage(b.Id, record, body));
  EXPECT_EQ(Encoded(record), Encoded(b));
  EXPECT_EQ(body, "body B\r\n");
  ASSERT_TRUE(Navigator().LoadMessage(a.Id, record, body));
  EXPECT_EQ(record.Subject, "A");
  EXPECT_EQ(body, "body A");

  // Unknown numbers leave the outputs alone.
  int unknown = a.Id == 1 ? 2 : 1;
  EXPECT_FALSE(Navigator().LoadMessage(unknown, record, body));
  EXPECT_EQ(record.Subject, "A");
  EXPECT_EQ(body, "body A");

  // A body is cut to 65000 bytes and ends at a NUL.
  WriteBytes(Navigator().TextFileName(a.Id), std::string(70000, 'x'));
  ASSERT_TRUE(Navigator().LoadMessage(a.Id, record, body));
  EXPECT_EQ(body, std::string(65000, 'x'));
  WriteBytes(Navigator().TextFileName(a.Id), std::string("before\0after", 12));
  ASSERT_TRUE(Navigator().LoadMessage(a.Id, record, body));
  EXPECT_EQ(body, "before");

  // A record without text file fails with the text file's open message.
  fs::remove(Navigator().TextFileName(a.Id));
  try {
    Navigator().LoadMessage(a.Id, record, body);
    ADD_FAILURE() << "no error";
  } catch (const plat::EFOpenError& e) {
    EXPECT_EQ(e.Message(), OpenMessage(Navigator().TextFileName(a.Id)));
  }
}

TEST_F(Store, LooksNothingUpForNumbersBelowOne) {
  Navigator();
  fs::remove(DataFile());
  TNewsRecord record;
  std::string body = "kept";
  for (int id : {0, -1, INT_MIN}) EXPECT_FALSE(Navigator().LoadMessage(id, record, body));
  EXPECT_EQ(body, "kept");
  try {
    Navigator().LoadMessage(1, record, body);
    ADD_FAILURE() << "no error";
  } catch (const plat::EFOpenError& e) {
    EXPECT_EQ(e.Message(), OpenMessage(DataFile()));
  }
}

TEST_F(Store, FindsTheFirstOfRepeatedNumbersAndIgnoresAFragment) {
  TNewsRecord one, two;
  one.Id = two.Id = 42;
  one.Subject = "first";
  two.Subject = "second";
  std::string fragment(179, '\0');
  fragment.replace(148, 4, std::string("\x07\x00\x00\x00", 4));  // would be number 7
  WriteBytes(DataFile(), Encoded(one) + Encoded(two) + fragment);
  WriteBytes(state.FilePrefix + "_42.txt", "t42");
  WriteBytes(state.FilePrefix + "_7.txt", "t7");
  TNewsRecord record;
  std::string body;
  ASSERT_TRUE(Navigator().LoadMessage(42, record, body));
  EXPECT_EQ(record.Subject, "first");
  EXPECT_FALSE(Navigator().LoadMessage(7, record, body));
  TNewsNavigator fresh(DataFile(), state, cookie);
  EXPECT_EQ(ReadBytes(DataFile()).size(), 2 * R + 179);
}

TEST_F(Store, EmptyForumHasNoMessages) {
  TNewsRecord record;
  std::string body;
  for (int id : {1, 2, 1147483647}) EXPECT_FALSE(Navigator().LoadMessage(id, record, body));
}

TEST_F(Store, RemovesAMessageAndPurgesOrphansAndAdministratorPosts) {
  TNewsRecord a = Add({.Subject = "A"});
  TNewsRecord b = Add({.Subject = "B"});
  TNewsRecord a1 = Add({.Subject = "A1", .ReplyId = std::to_string(a.Id)});
  TNewsRecord a11 = Add({.Subject = "A11", .ReplyId = std::to_string(a1.Id)});
  Add({.Subject = "admin", .Name = "tavik", .Email = "lumo"});
  TNewsRecord wrongPassword = Add({.Subject = "not admin", .Name = "tavik", .Email = "Lumo"});
  TNewsRecord orphan = Add({.Subject = "no text"});
  TNewsRecord a2 = Add({.Subject = "A2", .ReplyId = std::to_string(a.Id)});
  fs::remove(Navigator().TextFileName(orphan.Id));
  const std::string before = ReadBytes(DataFile());
  ASSERT_EQ(before.size(), 8 * R);

  Navigator().RemoveMessage(a.Id);

  auto withoutReply = [&](size_t index) {
    std::string raw = before.substr(index * R, R);
    raw.replace(152, 4, std::string(4, '\0'));
    return raw;
  };
  const std::string expected = before.substr(1 * R, R) + withoutReply(2) + before.substr(3 * R, R) +
                               before.substr(5 * R, R) + withoutReply(7);
  EXPECT_EQ(ReadBytes(DataFile()), expected);
  EXPECT_EQ(ReadBytes(state.FilePrefix + "_data.old"), before);
  EXPECT_EQ(ReadBytes(state.FilePrefix + "_data.tmp"), before);
  EXPECT_FALSE(fs::exists(Navigator().TextFileName(a.Id)));
  for (const TNewsRecord& kept : {b, a1, a11, wrongPassword, a2})
    EXPECT_TRUE(fs::exists(Navigator().TextFileName(kept.Id))) << kept.Subject;
  EXPECT_FALSE(fs::exists(state.FilePrefix + "_data.new"));

  // A number no message has: the copies follow, the data file only loses a
  // trailing fragment.
  const std::string second = ReadBytes(DataFile());
  WriteBytes(DataFile(), second + "fragment");
  Navigator().RemoveMessage(a.Id);
  EXPECT_EQ(ReadBytes(DataFile()), second);
  EXPECT_EQ(ReadBytes(state.FilePrefix + "_data.old"), second + "fragment");
  EXPECT_EQ(ReadBytes(state.FilePrefix + "_data.tmp"), second + "fragment");
}

TEST_F(Store, PurgesAdministratorPostsByTheCurrentPassword) {
  Add({.Subject = "old admin", .Name = "tavik", .Email = "lumo"});
  TNewsRecord other = Add({.Subject = "new admin", .Name = "tavik", .Email = "secret"});
  state.Settings.Password = "secret";
  Navigator().RemoveMessage(999);
  std::string after = ReadBytes(DataFile());
  ASSERT_EQ(after.size(), R);
  EXPECT_EQ(DecodedAt(after, 0).Subject, "old admin");
  EXPECT_TRUE(fs::exists(Navigator().TextFileName(other.Id)));  // only the record goes
}

// Several processes on one forum.
class StoreProcesses : public ::testing::Test {
 protected:
  void SetUp() override { dir = FreshDir("processes"); }
  void TearDown() override { fs::remove_all(dir); }

  static plat::TRunResult Run(const std::vector<std::string>& args, int timeoutMs = 60000) {
    return plat::RunProgram(std::string(PARLINO_BINARY_DIR) + "/parlino_poster", args, {}, "", timeoutMs);
  }

  std::string dir;
};

TEST_F(StoreProcesses, SimultaneousPostsAndARemovalLoseNothing) {
  const std::string prefix = dir + "/forum";
  constexpr int Posters = 8, Posts = 25;
  std::vector<plat::TRunResult> results(Posters + 1);
  std::vector<std::thread> threads;
  for (int p = 0; p < Posters; ++p)
    threads.emplace_back([&, p] { results[p] = Run({"post", prefix, std::to_string(Posts), "p" + std::to_string(p)}); });
  threads.emplace_back([&] { results[Posters] = Run({"remove-when", prefix, "60"}); });

  // Start all posters at once.
  for (int i = 0; i < 20000; ++i) {
    int ready = 0;
    for (int p = 0; p < Posters; ++p) ready += fs::exists(prefix + "_ready_p" + std::to_string(p));
    if (ready == Posters) break;
    plat::SleepMs(1);
  }
  WriteBytes(prefix + "_go", "");
  for (std::thread& t : threads) t.join();
  for (const plat::TRunResult& r : results) ASSERT_EQ(r.ExitCode, 0) << r.Output;

  std::map<std::string, int> posted;  // subject -> number
  for (int p = 0; p < Posters; ++p) {
    std::istringstream lines(results[p].Output);
    int id;
    std::string subject;
    while (lines >> id >> subject) posted[subject] = id;
  }
  ASSERT_EQ(posted.size(), size_t{Posters * Posts});
  const int removed = std::stoi(results[Posters].Output);

  const std::string bytes = ReadBytes(prefix + "_data.dat");
  ASSERT_EQ(bytes.size() % R, 0u);
  ASSERT_EQ(bytes.size() / R, size_t{Posters * Posts - 1});
  std::set<int> ids;
  std::set<std::string> subjects;
  for (size_t i = 0; i < bytes.size() / R; ++i) {
    TNewsRecord r = DecodedAt(bytes, i);
    EXPECT_TRUE(ids.insert(r.Id).second) << "number " << r.Id << " twice";
    subjects.insert(r.Subject);
    EXPECT_EQ(posted[r.Subject], r.Id) << r.Subject;
    EXPECT_EQ(ReadBytes(prefix + "_" + std::to_string(r.Id) + ".txt"), "body of " + r.Subject);
  }
  EXPECT_EQ(ids.count(removed), 0u);
  EXPECT_FALSE(fs::exists(prefix + "_" + std::to_string(removed) + ".txt"));
  for (const auto& [subject, id] : posted)
    if (id != removed) {
      EXPECT_EQ(subjects.count(subject), 1u) << subject << " lost";
    }
}

TEST_F(StoreProcesses, KilledRemovalLeavesTheOldOrTheNewDataFile) {
  const std::string prefix = dir + "/forum";
  // 2000 messages with text files; every tenth answers number 999, so the
  // first removal of 999 changes them and later ones change nothing.
  std::string before, after;
  for (int i = 1; i <= 2000; ++i) {
    TNewsRecord r;
    r.Id = 1000 + i;
    r.ReplyId = i % 10 == 0 ? 999 : 0;
    r.Subject = "message " + std::to_string(i);
    before += Encoded(r);
    r.ReplyId = 0;
    after += Encoded(r);
    WriteBytes(prefix + "_" + std::to_string(r.Id) + ".txt", "text");
  }
  WriteBytes(prefix + "_data.dat", before);

  // How long the program takes to start, and to remove.
  auto timed = [&](int times) {
    auto start = std::chrono::steady_clock::now();
    plat::TRunResult r = Run({"remove-loop", prefix, "999", std::to_string(times)});
    EXPECT_EQ(r.ExitCode, 0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  const long startup = timed(0);
  const long perRemoval = std::max<long>(1, (timed(5) - startup) / 5);

  std::mt19937 random(12345);
  int killedMidway = 0, sawOld = 0, sawNew = 0;
  for (int round = 0; round < 30; ++round) {
    WriteBytes(prefix + "_data.dat", before);
    std::uniform_int_distribution<long> when(startup * 3 / 4, startup + 4 * perRemoval);
    plat::TRunResult r = Run({"remove-loop", prefix, "999"}, static_cast<int>(when(random)));
    ASSERT_TRUE(r.TimedOut);
    if (!r.Output.empty()) ++killedMidway;
    const std::string now = ReadBytes(prefix + "_data.dat");
    if (now == before) {
      ++sawOld;
    } else if (now == after) {
      ++sawNew;
    } else {
      FAIL() << "round " << round << ": data file of " << now.size() << " bytes is neither";
    }
  }
  EXPECT_GT(killedMidway, 0);
  EXPECT_GT(sawNew, 0);
  // The store still works afterwards.
  FakeEngine engine;
  FakeRequestScope scope(engine);
  THttpCookie cookie(nullptr);
  TForumState state;
  state.FilePrefix = prefix;
  TNewsNavigator(prefix + "_data.dat", state, cookie).RemoveMessage(1001);
  EXPECT_EQ(ReadBytes(prefix + "_data.dat"), after.substr(R));
  EXPECT_EQ(sawOld + sawNew, 30);
}

}  // namespace
