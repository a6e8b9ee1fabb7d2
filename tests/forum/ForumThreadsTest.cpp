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

struct Request {
  std::string fields;
  std::string cookie = "";
};

std::string Serve(FakeEngine& engine, const Request& request) {
  engine.FieldData = request.fields;
  engine.Variables["QUERY_STRING"] = request.fields;
  engine.Variables["HTTP_COOKIE"] = request.cookie;
  engine.Variables["SCRIPT_NAME"] = "/cgi-bin/parlino";
  engine.Variables["SERVER_SOFTWARE"] = "Apache";
  return std::regex_replace(engine.Run(), std::regex("expires=[^;\r\n]*"), "expires=...");
}

class ForumThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    InitHttpEngine();
    // The program's forum: D/../parlino for this test program D/test_....
    const std::filesystem::path dir =
        std::filesystem::path(ModuleFileName()).parent_path().parent_path() / "parlino";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / (std::filesystem::path(ModuleFileName()).stem().string() + ".ini"))
        << "[Parameters]\nEntries=4\nAllowHTML=0\n";
    form = std::make_unique<TForm1>(nullptr);
  }

  void Connect(FakeEngine& engine) {
    engine.OnExecRequest = form->GeneralHttpEngine1->OnExecRequest();
    engine.OnRequestError = form->GeneralHttpEngine1->OnRequestError();
  }

  std::unique_ptr<TForm1> form;
};

TEST_F(ForumThreads, EveryPageIsThePageOfTheRequestAlone) {
  FakeEngine alone;
  Connect(alone);
  for (int i = 0; i < 6; ++i)
    Serve(alone, {"ACTION_NEWMESSAGE_POST=1&NEWNAME=n" + std::to_string(i) +
                      "&NEWEMAIL=e&NEWSUBJECT=%3Cs%3E&NEWTEXT=line%0D%0Aline&REPLYID=0"});
  const std::string list = Serve(alone, {""});
  std::vector<std::string> ids;
  const std::regex viewId("VIEWID=([0-9]+)");
  for (std::sregex_iterator it(list.begin(), list.end(), viewId), end; it != end; ++it) ids.push_back((*it)[1]);
  ASSERT_EQ(ids.size(), 4u);

  const std::vector<Request> requests = {
      {""},
      {"NOTHREAD=yes&PAGE=1&ACTION_SEARCH_NEXT=1"},
      {"VIEWID=" + ids[0]},
      {"VIEWID=" + ids[3] + "&NOTHREAD=yes"},
      {"ACTION_NEWMESSAGE=1", "NEWSGROUP=N%3DAnn%26E%3Da%2540x"},
      {"ACTION_REPLYMESSAGE=1&REPLYID=" + ids[1]},
      {"ACTION_NEWMESSAGE_POST=1&NEWNAME=only"},
      {"VIEWID=abc"},
  };
  std::vector<std::string> expected;
  for (const Request& request : requests) expected.push_back(Serve(alone, request));

  // Eight threads at once, each through its own engine: first the pages
  // above, then posts, whose confirmation page is fixed too.
  const int threads = 8, rounds = 24, posts = 5;
  const std::string posted = "Your message have been posted !";
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
      const size_t k = static_cast<size_t>(t + i) % requests.size();
      if (Serve(engine, requests[k]) != expected[k]) ++mismatches[t];
    }
  });
  inParallel([&](FakeEngine& engine, int t) {
    for (int i = 0; i < posts; ++i) {
      const std::string page = Serve(engine, {"ACTION_NEWMESSAGE_POST=1&NEWNAME=t&NEWEMAIL=e&NEWSUBJECT=s&"
                                              "NEWTEXT=x&REPLYID=" + ids[2]});
      if (page.find(posted) == std::string::npos) ++mismatches[t];
    }
  });
  for (int t = 0; t < threads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;

  // No post of the threads is lost.
  const std::filesystem::path program(ModuleFileName());
  const auto data = program.parent_path().parent_path() / "parlino" / (program.stem().string() + "_data.dat");
  EXPECT_EQ(std::filesystem::file_size(data), static_cast<uintmax_t>(6 + threads * posts) * TNewsRecord::RecordSize);
}

}  // namespace
