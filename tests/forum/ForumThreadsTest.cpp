// Forum requests of eight threads in one process, each thread with its own
// engine, as resident and plug-in engines serve them: every page must be
// byte for byte the page the same request gets when it runs alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "forum/ParlinoF.h"
#include "tests/support/FakeEngine.h"

namespace {

std::string Serve(FakeEngine& engine, const std::string& fields, const std::string& cookie = "") {
  engine.FieldData = engine.Variables["QUERY_STRING"] = fields;
  engine.Variables["HTTP_COOKIE"] = cookie;
  engine.Variables["SCRIPT_NAME"] = "/cgi-bin/parlino";
  engine.Variables["SERVER_SOFTWARE"] = "Apache";
  return std::regex_replace(engine.Run(), std::regex("expires=[^;\r\n]*"), "expires=...");
}

class ForumThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    InitHttpEngine();
    // The program's forum: D/../parlino for this test program D/test_....
    std::filesystem::remove_all(prefix.parent_path());
    std::filesystem::create_directories(prefix.parent_path());
    std::ofstream(prefix.string() + ".ini") << "[Parameters]\nEntries=4\nAllowHTML=0\n";
    form = std::make_unique<TForm1>(nullptr);
  }

  void Connect(FakeEngine& engine) {
    engine.OnExecRequest = form->GeneralHttpEngine1->OnExecRequest();
    engine.OnRequestError = form->GeneralHttpEngine1->OnRequestError();
  }

  const std::filesystem::path program{ModuleFileName()},
      prefix = program.parent_path().parent_path() / "parlino" / program.stem();
  std::unique_ptr<TForm1> form;
};

TEST_F(ForumThreads, EveryPageIsThePageOfTheRequestAlone) {
  FakeEngine alone;
  Connect(alone);
  for (int i = 0; i < 6; ++i)
    Serve(alone, "ACTION_NEWMESSAGE_POST=1&NEWNAME=n" + std::to_string(i) +
                     "&NEWEMAIL=e&NEWSUBJECT=%3Cs%3E&NEWTEXT=line%0D%0Aline&REPLYID=0");
  const std::string list = Serve(alone, "");
  std::vector<std::string> ids;
  const std::regex viewId("VIEWID=([0-9]+)");
  for (std::sregex_iterator it(list.begin(), list.end(), viewId), end; it != end; ++it) ids.push_back((*it)[1]);
  ASSERT_EQ(ids.size(), 4u);

  const std::pair<std::string, std::string> requests[] = {  // fields, cookie
      {"", ""}, {"NOTHREAD=yes&PAGE=1&ACTION_SEARCH_NEXT=1", ""}, {"VIEWID=" + ids[0], ""},
      {"VIEWID=" + ids[3] + "&NOTHREAD=yes", ""}, {"ACTION_NEWMESSAGE=1", "NEWSGROUP=N%3DAnn%26E%3Da%2540x"},
      {"ACTION_REPLYMESSAGE=1&REPLYID=" + ids[1], ""}, {"ACTION_NEWMESSAGE_POST=1&NEWNAME=only", ""}, {"VIEWID=abc", ""}};
  std::vector<std::string> expected;
  for (const auto& [fields, cookie] : requests) expected.push_back(Serve(alone, fields, cookie));

  // Eight threads at once, each through its own engine: first the pages
  // above, then posts, whose confirmation page is fixed too.
  const int threads = 8, rounds = 24, posts = 5;
  std::vector<int> mismatches(threads, 0);
  // Engines are made at start-up, before requests, as servers make them.
  std::vector<std::unique_ptr<FakeEngine>> engines;
  for (int t = 0; t < threads; ++t) Connect(*engines.emplace_back(std::make_unique<FakeEngine>()));
  auto inParallel = [&](auto body) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back([&, t] { body(*engines[t], t); });
    for (std::thread& thread : pool) thread.join();
  };
  inParallel([&](FakeEngine& engine, int t) {
    for (int i = 0; i < rounds; ++i) {
      const size_t k = static_cast<size_t>(t + i) % expected.size();
      if (Serve(engine, requests[k].first, requests[k].second) != expected[k]) ++mismatches[t];
    }
  });
  inParallel([&](FakeEngine& engine, int t) {
    for (int i = 0; i < posts; ++i) {
      const std::string page =
          Serve(engine, "ACTION_NEWMESSAGE_POST=1&NEWNAME=t&NEWEMAIL=e&NEWSUBJECT=s&NEWTEXT=x&REPLYID=" + ids[2]);
      if (page.find("Your message have been posted !") == std::string::npos) ++mismatches[t];
    }
  });
  for (int t = 0; t < threads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;

  // No post of the threads is lost.
  EXPECT_EQ(std::filesystem::file_size(prefix.string() + "_data.dat"), (6u + threads * posts) * TNewsRecord::RecordSize);
}

}  // namespace
