// The resident server with real processes: servers started by the test or
// by a client, clients (the real programs) handing their requests over.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "adapters/CgiServer.h"
#include "tests/support/ResidentSite.h"

namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;
const std::string Bin = PARLINO_BINARY_DIR, Probe = Bin + "/cgi_probe";

std::string Fields(const std::string& lines) {
  return "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<fields>\r\n" + lines + "</fields>";
}
std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Posts, the list and a message as visitors get them through the server,
// then from processes serving themselves on the same data.
TEST(ResidentServer, ForumPagesAreTheSelfServedPagesPlusTheirLength) {
  ResidentSite site(Bin + "/parlino");
  const std::string part = Bin + "/../../tests/data/multipart/forum_post", type = Read(part + ".type");
  const Env form{{"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"SERVER_SOFTWARE", "Apache/2.4"}},
      multipart{{"CONTENT_TYPE", type.substr(14, type.find_last_not_of("\r\n") - 13)}};
  const std::vector<std::tuple<Env, std::string, std::string>> requests{
      {form, "", "NEWNAME=A&NEWEMAIL=e&NEWSUBJECT=S&NEWTEXT=T&ACTION_NEWMESSAGE_POST=Post"},
      {multipart, "", Read(part + ".body")}, {form, "", ""}, {form, "VIEWID=", ""}};
  std::smatch id;
  // The pages in request order; a cookie's expiry moves with the clock.
  auto pages = [&](bool handedOver, std::vector<int> order) {
    std::vector<std::string> out(requests.size());
    for (int i : order) {
      auto [env, query, body] = requests[i];
      env["QUERY_STRING"] = query + (query.empty() ? "" : id.str(1));
      env["SCRIPT_NAME"] = "/cgi-bin/parlino";
      const std::string page = site.Run(env, body).Output;
      out[i] = std::regex_replace(handedOver ? WithoutLength(page) : page, std::regex("expires=[^\r]*"), "");
      if (i == 2) std::regex_search(out[i], id, std::regex("VIEWID=(\\d+)"));
    }
    return out;
  };
  site.Start({});
  const std::vector<std::string> through = pages(true, {0, 1, 2, 3});
  site.Stop();
  EXPECT_EQ(site.exit, 0);
  EXPECT_EQ(through, pages(false, {2, 3, 0, 1}));
}

void Touch(const std::string& path, int secondsAgo = 0) {
  std::ofstream(path, std::ios::app).flush();
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

// At a quit message the server deletes exactly its own files, wherever they
// lie; when its queue file is gone it just ends.
TEST(ResidentServer, EndsCleanly) {
  for (bool quit : {false, true})
    for (bool tempIsFile : {false, true}) {
      SCOPED_TRACE(std::to_string(quit) + std::to_string(tempIsFile));
      ResidentSite site(Probe);
      if (tempIsFile) Touch(site.dir + "/Temp"), site.base = site.dir + "/cgi_probe";
      site.Start({});
      const std::vector<std::string> own{"_C_0A1F_REQ", "_C_FFFF_OUT", "_S.window"},
          others{"_C_xyz", "_C_0a1f_REQ", "_C_0A1F_REQX", "_data.dat", "_x_C_0000_REQ"};
      for (const auto& names : {own, others})
        for (const std::string& name : names) Touch(site.base + name);
      quit ? kill(site.pid, SIGTERM) : fs::remove(site.base + "_S");
      EXPECT_EQ(site.server.get().ExitCode, 0);
      EXPECT_FALSE(plat::WindowExists(site.base + "_S.window"));
      EXPECT_FALSE(fs::exists(site.base + "_S"));
      for (const std::string& name : own) EXPECT_EQ(fs::exists(site.base + name), !quit) << name;
      for (const std::string& name : others) EXPECT_TRUE(fs::exists(site.base + name)) << name;
    }
}

// A queue whose server is gone: the next process clears it and serves its
// request itself; a waiting client gives up without output.
TEST(ResidentServer, AbandonedQueues) {
  struct Case { const char* name; bool server, stale; int killAfterMs, ageAfterMs; };
  for (const Case& c : std::vector<Case>{{"StaleQueueAndLeftovers", false, true, 0, 0},
                                          {"ServerKilledWhileWaiting", true, false, 800, 0},
                                          {"QueueAgesWhileWaiting", false, false, 0, 500}}) {
    SCOPED_TRACE(c.name);
    ResidentSite site(Probe);
    if (c.server) site.Start({{"PROBE_SLEEP", "5000"}});
    fs::create_directories(site.dir + "/Temp");
    if (!c.server) Touch(site.base + "_S", c.stale ? 31 : 0);
    Touch(site.base + "_C_1234_OUT");
    auto client = std::async(std::launch::async, [&] { return site.Run({{"QUERY_STRING", "a=1"}}); });
    plat::SleepMs(c.killAfterMs + c.ageAfterMs);
    if (c.killAfterMs) kill(site.pid, SIGKILL);
    if (c.ageAfterMs) Touch(site.base + "_S", 40);
    const plat::TRunResult r = client.get();
    EXPECT_EQ(r.Output, c.stale ? Fields("a=1\r\n") : "");
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_FALSE(fs::exists(site.base + "_S"));
    EXPECT_EQ(plat::FindFiles(site.base + "_C_*_REQ", plat::faAnyFile).size(), 0u);
    EXPECT_EQ(fs::exists(site.base + "_C_1234_OUT"), !c.stale);
  }
}

// Sixteen clients at once, served one after the other or on threads: each
// gets its own page, once.
TEST(ResidentServer, ConcurrentClientsGetTheirOwnPages) {
  for (const char* mode : {"server", "thread"}) {
    SCOPED_TRACE(mode);
    ResidentSite site(Probe);
    site.Start({{"SERVER_SOFTWARE", "T"}, {"PROBE_MODE", mode}, {"PROBE_SLEEP", "30"}}, {"START_SERVER"});
    std::vector<std::future<plat::TRunResult>> clients;
    for (int i = 0; i < 16; ++i)
      clients.push_back(std::async(std::launch::async, [&site, i] { return site.Run({}, "n=" + std::to_string(i)); }));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(WithoutLength(clients[i].get().Output), Fields("n=" + std::to_string(i) + "\r\n"));
    EXPECT_EQ(fs::file_size(site.base + "_S"), 0u);
  }
}

std::string Hex(int id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", id);
  return text;
}
std::string Entry(const std::string& name, uint8_t status = 0, uint8_t spare = 0) {
  TQueueRecord record = TQueueRecord::Make(46000.5, name);
  record.Bytes[0] = status, record.Bytes[2] = spare;
  return std::string(reinterpret_cast<const char*>(record.Bytes), TQueueRecord::Size);
}

// Entries as the server meets them. Taken ones stay byte for byte, however
// many; one whose request file is gone is dropped, and so is a name that is
// not a client file of this server, whose file stays. A Windows CGI entry
// stops the server's polling for good, every entry left in place.
TEST(ResidentServer, QueueEntries) {
  ResidentSite site(Probe);
  site.Start({});
  auto append = [&](const std::string& entries) {
    plat::TFile queue;
    while (!queue.Open(site.base + "_S", plat::TFileAccess::ReadWrite, plat::TShareKind::Exclusive)) plat::SleepMs(5);
    queue.SeekEnd(), queue.Write(entries);
    queue.Close();
    plat::SleepMs(400);
  };
  std::string taken;
  for (int i = 0; i < 70; ++i) taken += Entry(site.base + "_C_" + Hex(i) + "_REQ", 1, i);
  Touch(site.dir + "/victim_REQ");
  append(taken + Entry(site.base + "_C_FFFF_REQ") + Entry(site.dir + "/victim_REQ"));
  EXPECT_EQ(Read(site.base + "_S"), taken);
  EXPECT_TRUE(fs::exists(site.dir + "/victim_REQ"));
  EXPECT_FALSE(fs::exists(site.base + "_C_FFFF_OUT"));
  Touch(site.base + "_C_0100_REQ");
  const std::string windows = Entry("/srv/cgi/profile.ini") + Entry(site.base + "_C_0100_REQ");
  append(windows);
  EXPECT_EQ(Read(site.base + "_S"), taken + windows);
  EXPECT_FALSE(fs::exists(site.base + "_C_0100_OUT"));
  kill(site.pid, SIGTERM);
}

// A client that cannot hand its request over serves it itself: every
// ClientId taken (a planted link counts, and is left alone), a request file
// name longer than a record holds, or a server it started that never takes
// one. 255 characters are handed over.
TEST(ResidentServer, ClientsThatCannotHandOverServeThemselves) {
  struct Case { size_t nameLength; bool allTaken; const char* mode; bool handedOver; };
  for (const Case& c : std::vector<Case>{{255, false, "", true}, {256, false, "", false}, {0, true, "", false},
                                         {256, false, "server", false}}) {
    SCOPED_TRACE(c.nameLength + c.allTaken);
    ResidentSite site(Probe, c.nameLength ? c.nameLength - 11 : 0);
    if (!*c.mode) site.Start({});
    for (int i = 0; c.allTaken && i < 65535; ++i) fs::create_symlink(site.dir + "/target", site.base + "_C_" + Hex(i) + (i % 2 ? "_REQ" : "_OUT"));
    const plat::TRunResult r = site.Run({{"QUERY_STRING", "a=1"}, {"PROBE_MODE", c.mode}});
    EXPECT_EQ(c.handedOver ? WithoutLength(r.Output) : r.Output, Fields("a=1\r\n"));
    EXPECT_FALSE(fs::exists(site.dir + "/target"));
  }
}

// The client adds the body's length only when the header block ends within
// the response file's first 1024 bytes.
TEST(ResidentServer, CopiesTheResponseWithItsLengthOnlyForAnEarlyHeaderEnd) {
  const std::string head = "HTTP/1.1 200 OK\r\nx:", end = "\r\n\r\n";
  auto response = [&](size_t endAt, size_t size) {
    return head + std::string(endAt - head.size(), 'h') + end + std::string(size - endAt - 4, 'b');
  };
  const std::string path = "/tmp/parlino-response-" + std::to_string(getpid());
  for (const auto& [page, lengthAt] : std::vector<std::pair<std::string, size_t>>{
           {response(100, 5000), 100}, {response(1020, 1024), 1020}, {response(1020, 3000), 1020},
           {response(1021, 3000), 0}, {response(1024, 3000), 0}, {std::string(2048, 'x'), 0},
           {head + std::string(1, '\0') + end + "b", 0}, {"", 0}}) {
    SCOPED_TRACE(page.size());
    Touch(path);
    std::ofstream(path, std::ios::binary) << page;
    plat::TFile in, out;
    ASSERT_TRUE(in.Open(path, plat::TFileAccess::Read, plat::TShareKind::ReadShared));
    ASSERT_TRUE(out.Open(path + ".out", plat::TFileAccess::Write, plat::TShareKind::ReadShared,
                         plat::TFileCreation::CreateAlways));
    plat::THandleStream stream(out.Release());
    EXPECT_TRUE(CopyResponse(in, stream));
    stream.Close();
    const std::string length = "\r\nContent-Length: " + std::to_string(page.size() - lengthAt - 4);
    EXPECT_EQ(Read(path + ".out"), lengthAt ? std::string(page).insert(lengthAt, length) : page);
    fs::remove(path), fs::remove(path + ".out");
  }
}

}  // namespace
