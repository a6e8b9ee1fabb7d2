// Requests delivered as profile files, as a Windows CGI web server writes
// them (CR LF lines), served by the probe program in NormalMode.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/PlatRun.h"
#include "tests/support/ResidentSite.h"

namespace {

const std::string Probe = std::string(PARLINO_BINARY_DIR) + "/cgi_probe";
const std::string Page = "content-type:text/html\r\n\r\n";

const std::string Post = "[CGI]\r\nRequest Method=POST\r\n[System]\r\nOutput File={D}/out\r\n";

TEST(WinCgiProfile, FieldsComeFromTheFormSectionsOfAPost) {
  struct Case {
    const char* why;
    std::string form, fields;
  };
  const std::string big(12000, 'x');
  const std::vector<Case> cases = {
      {"repeats joined, stopping at a gap",
       "[Form Literal]\r\nColor=r\r\nColor_1=g\r\n[Form File]\r\nColor_2=b\r\nColor_4=x\r\n", "COLOR=r\r\ng\r\nb\r\nCOLOR_2=b\r\nCOLOR_4=x\r\n"},
      {"external: count beyond the file", "[Form External]\r\nT={D}/t 100\r\n", "T=abc\r\n"},
      {"external: ends at a zero byte", "[Form External]\r\nT={D}/z 5\r\n", "T=a\r\n"},
      {"external: missing file or no count", "[Form External]\r\nT={D}/none 3\r\nU={D}/t\r\n", "T=\r\nU=\r\n"},
      {"a multipart body, read whole whatever its length",
       "Content File={D}/body\r\n[CGI]\r\nContent Type=multipart/form-data; boundary=xyzxyz\r\nContent Length=12068\r\n",
       "a=" + big + "\r\n"},
  };
  const std::map<std::string, std::string> files = {
      {"t", "abc"}, {"z", std::string("a\0bc", 4)},
      {"body", "--xyzxyz\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" + big + "\r\n--xyzxyz--\r\n"}};
  for (const Case& c : cases) {
    const TProfileRun s = ServeProfile(Probe, Post + c.form, files);
    EXPECT_EQ(s.file, Page + "<fields>\r\n" + c.fields + "</fields>") << c.why;
    EXPECT_EQ(s.Output + std::to_string(s.ExitCode), "0") << c.why;
  }
}

// A GET profile asking for query, written to dir and run by the site's
// program: its standard output and exit code, and its output file. The
// profile is the web server's to remove, whoever served it.
std::pair<std::string, std::string> RunGet(const ResidentSite& site, const std::string& dir, const std::string& query,
                                           const ResidentSite::Env& env, std::atomic<int>* pid = nullptr) {
  std::filesystem::create_directories(dir);
  const TProfileRun r = RunProfile(site.self, dir, "[CGI]\r\nRequest Method=GET\r\nQuery String=" + query +
                                                       "\r\n[System]\r\nOutput File=" + dir + "/out\r\n", env, pid);
  return {r.Output + std::to_string(r.ExitCode), r.file + (plat::FileExists(dir + "/req.ini") ? "" : " [profile gone]")};
}

// An interactive start serves standard requests and profiles from the same
// queue, each before and after the other; the client's own environment, which
// would make it write "<self>", plays no part. A Windows CGI server started
// by its client is ClientsWithoutAServer's.
TEST(WinCgiProfile, ResidentServersTakeProfilesAndStandardRequestsSideBySide) {
  const ResidentSite::Env client{{"SERVER_SOFTWARE", "WebSite/1.1"}, {"CGI_VERSION", "CGI/1.3a (Win95)"}, {"PROBE_TEXT", "<self>"}};
  ResidentSite site(Probe);
  site.Start({});
  for (const std::string round : {"0", "1"}) {
    EXPECT_EQ(WithoutLength(site.Run({{"QUERY_STRING", "s=1"}}).Output), "HTTP/1.1 200 OK\r\n" + Page + "<fields>\r\ns=1\r\n</fields>");
    const std::string dir = site.dir + "/r" + round;
    EXPECT_EQ(RunGet(site, dir, "w=" + round, client), std::make_pair(std::string("0"), Page + "<fields>\r\nw=" + round + "\r\n</fields>"));
  }
}

// A client that finds no server to take its request: a stale queue is
// cleared, with the clients' files in it, and the request served here; a
// server that dies midway, or a queue that ages while the client waits,
// leaves the client to remove the queue and end without output; in
// ServerMode the client starts a server and hands over, and a name no record
// can hold is served here after the 21 attempts. Standard clients go by the
// same queue.
TEST(WinCgiProfile, ClientsWithoutAServer) {
  // kill: 'S' the server, 'A' ages the queue instead.
  struct Case { const char* why; bool standard; int staleAge; char kill; const char* mode; size_t nameLength; bool served; long queue; };
  for (const Case& c : std::vector<Case>{{"stale queue", false, 31, 0, "", 0, true, -1},
                                         {"standard client: stale queue", true, 31, 0, "", 0, true, -1},
                                         {"server killed", false, 0, 'S', "", 0, false, -1},
                                         {"standard client: queue aged while waiting", true, 0, 'A', "", 0, false, -1},
                                         {"server started", false, 0, 0, "1", 0, true, 0},
                                         {"name too long", false, 0, 0, "1", 300, true, 0}}) {
    ResidentSite site(Probe);
    const ResidentSite::Env win{{"SERVER_SOFTWARE", "WebSite/1.1"}, {"CGI_VERSION", "CGI/1.3a (Win95)"}, {"CGI_LOG_DIR", site.dir}};
    ResidentSite::Env client = win, server = win;
    client["PROBE_MODE"] = c.mode, server["PROBE_SLEEP"] = "5000";
    if (c.standard) client = {{"QUERY_STRING", "w=1"}}, server = {{"PROBE_SLEEP", "5000"}};
    const std::string queue = site.base + "_S";
    std::filesystem::create_directories(site.dir + "/Temp");
    if (c.staleAge || c.kill == 'A') Touch(queue, c.staleAge);  // a queue no server of its own holds
    if (c.kill == 'S') site.Start(server);
    if (c.standard) plat::AppendToFile(site.base + "_C_1234_OUT", "");  // another client's, gone with a stale queue
    const std::string dir = site.dir + "/" + std::string(c.nameLength, 'd').substr(0, c.nameLength ? c.nameLength - site.dir.size() - 9 : 0);
    std::atomic<int> pid{0};
    auto run = std::async(std::launch::async, [&] {
      if (!c.standard) return RunGet(site, dir, "w=1", client, &pid);
      const plat::TRunResult r = site.Run(client);
      return std::make_pair(std::to_string(r.ExitCode), r.Output);
    });
    // The client is waiting first, however slow its start today: its entry
    // is in the queue and, a Windows CGI client, it catches quit signals.
    auto waiting = [&] {
      std::ifstream status("/proc/" + std::to_string(pid) + "/status");
      std::string line;
      while (std::getline(status, line) && !line.starts_with("SigCgt:")) {}
      const bool catches = line.size() > 7 && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1);
      return plat::FileExists(queue) && std::filesystem::file_size(queue) >= 268 && (c.standard || catches);
    };
    while (c.kill && !waiting() && run.wait_for(std::chrono::milliseconds(10)) == std::future_status::timeout) {}
    plat::SleepMs(c.kill ? 300 : 0);
    if (c.kill == 'S') kill(site.pid, SIGKILL);
    if (c.kill == 'A') Touch(queue, 40);
    const auto [exit, out] = run.get();
    const std::string page = (c.standard ? "HTTP/1.1 200 OK\r\n" : "") + Page + "<fields>\r\nw=1\r\n</fields>";
    EXPECT_EQ(c.served ? out : "", c.served ? page : "") << c.why;
    EXPECT_EQ(exit + (c.standard && !c.served ? out : ""), "0") << c.why;
    EXPECT_EQ(plat::WindowExists(site.base + "_S.window"), c.queue >= 0) << c.why;
    EXPECT_EQ(plat::FileExists(queue) ? static_cast<long>(std::filesystem::file_size(queue)) : -1, c.queue) << c.why;
    const size_t clientFiles = plat::FindFiles(site.base + "_C_*_REQ", plat::faAnyFile).size() + plat::FileExists(site.base + "_C_1234_OUT");
    EXPECT_EQ(clientFiles, c.standard && !c.staleAge ? 1u : 0u) << c.why;
  }
}

}  // namespace
