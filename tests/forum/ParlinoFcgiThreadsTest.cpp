// The forum resident behind a FastCGI web server on four workers (built for
// ThreadSanitizer too): concurrent posts, removals and pages lose nothing
// and number uniquely, and SIGTERM under load keeps every acknowledged post.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "tests/support/FcgiClient.h"
#include "tests/support/ForumFixture.h"

namespace {

class FastCgiForum : public ForumSite {
 protected:
  std::string Send(const std::string& body, const std::string& query = "") {
    return fcgi::Request(server->socket, {{"SCRIPT_NAME", "/cgi-bin/parlino"}, {"QUERY_STRING", query},
        {"SERVER_SOFTWARE", "nginx/1.22"}, {"CONTENT_LENGTH", std::to_string(body.size())}}, {body});
  }
  bool Post(const std::string& subject, const std::string& reply = "0", const std::string& name = "v") {
    const std::string r = Send("NEWNAME=" + name + "&NEWEMAIL=secret&NEWSUBJECT=" + subject + "&NEWTEXT=t&REPLYID=" +
                               reply + "&ACTION_NEWMESSAGE_POST=Post");
    return (Has(r, "have been posted") || Has(r, "has been removed")) && !Has(r, "HTTP/") && !Has(r, " [no end]");
  }
  // Runs body(client) on n clients at once.
  template <class F>
  static void Clients(int n, F body) {
    std::vector<std::thread> threads;
    for (int c = 0; c < n; ++c) threads.emplace_back(body, c);
    for (std::thread& t : threads) t.join();
  }
  std::unique_ptr<fcgi::Responder> server;
};

TEST_F(FastCgiForum, ConcurrentClientsLoseNothingAndSigtermKeepsAcknowledgedPosts) {
  WriteFile(data + ".ini", "[Parameters]\nPassword=secret\nEntries=5\n");
  server = std::make_unique<fcgi::Responder>(program, root.string(), fcgi::Params{{"CGI_LOG_DIR", root.string()}},
                                             std::vector<std::string>{"--threads", "4"});
  std::atomic<int> failures{0};
  Clients(8, [&](int c) {
    for (int i = 0; i < 5; ++i)
      failures += !Post("c" + std::to_string(c) + "m" + std::to_string(i)) + !Has(Send("", "PAGE=1"), "</html>");
  });
  const std::vector<TNewsRecord> posted = Records();
  ASSERT_EQ(posted.size(), 40u);
  // Each client's first message goes, by the administrator's removal.
  Clients(8, [&](int c) {
    for (const TNewsRecord& r : posted)
      if (r.Subject == "c" + std::to_string(c) + "m0") failures += !Post("remove", std::to_string(r.Id), "tavik");
  });
  std::set<std::string> ids;  // subjects and numbers, each unique
  for (const TNewsRecord& r : Records()) ids.insert(r.Subject), ids.insert(std::to_string(r.Id));
  EXPECT_EQ(ids.size(), 64u);
  EXPECT_FALSE(ids.count("c3m0"));
  EXPECT_EQ(failures, 0);

  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::set<std::string> acknowledged;
  std::thread load([&] {
    Clients(6, [&](int c) {
      for (int i = 0; !stop; ++i)
        if (const std::string s = "s" + std::to_string(c) + "n" + std::to_string(i); Post(s)) {
          std::lock_guard<std::mutex> lock(mutex);
          acknowledged.insert(s);
        }
    });
  });
  plat::SleepMs(1000);
  EXPECT_EQ(server->Stop().ExitCode, 0);
  stop = true;
  load.join();
  std::set<std::string> lost = acknowledged;
  for (const TNewsRecord& r : Records()) lost.erase(r.Subject);
  EXPECT_GT(acknowledged.size(), 0u);
  EXPECT_EQ(lost, std::set<std::string>{});
}

}  // namespace
