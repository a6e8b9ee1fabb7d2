// Libraries a web server loads, served through the ISAPI test host on one
// server thread and on many (built for ThreadSanitizer too): the forum gives
// the pages and files its CGI program gives, and its requests never meet;
// the engine's probe, with handlers of its own, answers the filter calls and
// raises on demand.
#include <cstring>

#include "tests/support/ForumFixture.h"
#include "tests/support/IsapiHost.h"

namespace {

const std::string Ok = "HTTP/1.1 200 OK\r\n";
const fs::path root = fs::temp_directory_path() / ("parlino-isapi-" + std::to_string(plat::ProcessId()));

// Each library is loaded once, as a server loads it, from a directory of
// its own: beside the program build/parlino, a plain file, the forum would
// take that for its data directory.
class Isapi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::create_directories(root / "lib");
    fs::create_directories(root / "cwd");
    fs::current_path(root / "cwd");
    plat::SetEnv("CGI_LOG_DIR", root.string());
    for (const char* name : {"parlino.so", "cgi_probe.so"})
      fs::copy_file(std::string(PARLINO_BINARY_DIR) + "/" + name, root / "lib" / name);
    forum = new TIsapiHost((root / "lib/parlino.so").string());
    probe = new TIsapiHost((root / "lib/cgi_probe.so").string());
  }
  static void TearDownTestSuite() {
    for (TIsapiHost* host : {forum, probe}) {
      EXPECT_FALSE(host->Entry<BOOL(DWORD)>("TerminateExtension")(0));
      delete host;
    }
    EXPECT_TRUE(fs::is_empty(root / "cwd"));  // nothing written to the working directory
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(root);
  }
  void SetUp() override {
    ASSERT_TRUE(forum->Handle() && probe->Handle());
    fs::remove_all(root / "parlino");
    fs::create_directories(root / "parlino");
    fs::remove(root / "cgi_probe.Log");
  }
  static TIsapiResult Serve(const TIsapiHost* host, const std::string& query, const std::string& body = "",
                            size_t preload = 0, const std::string& type = "x-www-form-urlencoded",
                            const std::string& software = "Microsoft-IIS/5.0", const std::string& script = "/p.dll") {
    const TIsapiResult r = host->Serve(
        {{{"SERVER_SOFTWARE", software}, {"SCRIPT_NAME", script}, {"CONTENT_TYPE", type}, {"QUERY_STRING", query}},
         body, preload});
    // Every body byte within the limit is read once, and no read asks for
    // more than remains.
    const size_t left = body.size() - std::min(body.size(), preload);
    EXPECT_EQ(r.Delivered, r.Status == HSE_STATUS_SUCCESS && left <= 10000 ? left : 0);
    for (auto [asked, left] : r.Reads) EXPECT_LE(asked, left);
    return r;
  }
  static std::string Log() { return ReadFile((root / "cgi_probe.Log").string()); }
  static inline TIsapiHost *forum, *probe;
};

TEST_F(Isapi, VersionsWithAndWithoutHandlers) {
  HSE_VERSION_INFO extension;
  std::memset(&extension, 'x', sizeof extension);
  HTTP_FILTER_VERSION filter{6u << 16, 0, "server's", 0xFFFF};
  EXPECT_TRUE(forum->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&extension));
  EXPECT_EQ(extension.dwExtensionVersion, 0x20000u);
  EXPECT_STREQ(extension.lpszExtensionDesc, "TELVAR 4.0.1");
  // Without a handler the filter asks for no notification.
  EXPECT_TRUE(forum->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFilterVersion, 0x20000u);
  EXPECT_EQ(filter.dwFlags, 0u);
  EXPECT_STREQ(filter.lpszFilterDesc, "server's");
  EXPECT_TRUE(probe->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFlags, SF_NOTIFY_READ_RAW_DATA | SF_NOTIFY_SEND_RAW_DATA);
  EXPECT_STREQ(filter.lpszFilterDesc, "probe filter");
  // A failing handler refuses the load.
  plat::SetEnv("PROBE_EXTVERSION", "throw");
  EXPECT_FALSE(probe->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&extension));
  EXPECT_FALSE(probe->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  plat::UnsetEnv("PROBE_EXTVERSION");
  EXPECT_TRUE(Has(Log(), " : no version\r\n"));
}

TEST_F(Isapi, ForumPagesCarryTheScriptNameAsAUrlPath) {
  ASSERT_TRUE(Serve(forum, "", "NEWNAME=n&NEWEMAIL=e&NEWSUBJECT=first&NEWTEXT=t&ACTION_NEWMESSAGE_POST=1").Status);
  struct Case { std::string software, script, query, status, part; };
  for (const Case& c : std::vector<Case>{
           {"Microsoft-IIS/5.0", "/scripts/p.dll", "", Ok, "<A HREF=\"/scripts/p.dll?VIEWID="},
           {"Apache/2.4", "/scripts/p.dll", "", "", "<form method=\"post\" action=\"/scripts/p.dll\">"},
           {"IIS", "C:\\inetpub\\scripts\\p.dll", "", Ok, "<A HREF=\"/scripts/p.dll?VIEWID="},
           {"IIS", "C:\\inetpub\\scripts\\p.dll", "", Ok, "<form method=\"post\" action=\"/scripts/p.dll\">"},
           {"IIS", "C:\\p.dll", "", Ok, "<A HREF=\"C:\\p.dll?VIEWID="},
           // The error page is a successful response.
           {"IIS", "/p", "VIEWID=abc", Ok, "<html><body>'abc' ist kein g\xFCltiger Integerwert</body></html>\r\n"}}) {
    const TIsapiResult r = Serve(forum, c.query, "", 0, "", c.software, c.script);
    EXPECT_EQ(r.Status, HSE_STATUS_SUCCESS);
    EXPECT_TRUE(r.Output.starts_with(c.status + Html + Head)) << c.script;
    EXPECT_TRUE(Has(r.Output, c.part)) << c.script;
  }
}

TEST_F(Isapi, PostIsStoredWhateverPartOfItsBodyCamePreloaded) {
  for (int id = 1; id <= 6; ++id) {
    const TIsapiResult r = Serve(forum, "", PostBody(id > 3, std::to_string(id)), id % 3 == 0 ? SIZE_MAX : id % 3 == 1 ? 0 : 100,
                                 id > 3 ? Multipart : "x-www-form-urlencoded");
    ExpectStored(r.Output, root / "parlino", id - 1, std::to_string(id), "/p.dll");
  }
}

TEST_F(Isapi, ProbeReadsTheBodyWithinTheLimitOfBytesNotPreloaded) {
  struct Case { size_t size, preload; bool read; };
  for (const Case& c : std::vector<Case>{{10000, 0, true}, {10001, 0, false}, {10100, 100, true}, {10101, 100, false}}) {
    const std::string body = "a=" + std::string(c.size - 2, 'x');
    // Over the limit, the preloaded part is the field data.
    const std::string fields = c.read ? body : body.substr(0, c.preload);
    EXPECT_EQ(Serve(probe, "", body, c.preload, "", "Apache").Output,
              Html + "<fields>\r\n" + (fields.empty() ? "" : fields + "\r\n") + "</fields>") << c.size;
  }
  const std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_TRUE(Has(log, " : Content length exceeds AutoReadLimit\r\n"));
}

TEST_F(Isapi, ProbeFilterGetsTheFieldsAndCookieOfItsOwnRawRequest) {
  Serve(probe, "a", "b");  // a request before on this thread leaves nothing behind
  const std::string post = "POST /p.dll?q=1 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  struct Case { DWORD type; std::string raw, sent; };
  for (const Case& c : std::vector<Case>{
           {SF_NOTIFY_READ_RAW_DATA, post + "Cookie: N=1\r\n\r\na=2", "<fields>\r\na=2\r\nq=1\r\n</fields><cookie>N=1"},
           {SF_NOTIFY_READ_RAW_DATA, post + "\r\na=2", "<fields>\r\na=2\r\nq=1\r\n</fields><cookie>"},
           // Of a GET only the request line is read.
           {SF_NOTIFY_READ_RAW_DATA, "GET /p.dll?q=1 HTTP/1.1\r\nCookie: N=1\r\n\r\n", "<fields>\r\nq=1\r\n</fields><cookie>"},
           // Another notification never sees them.
           {SF_NOTIFY_PREPROC_HEADERS, post + "Cookie: N=1\r\n\r\na=2", "<fields>\r\n</fields><cookie>"},
           // What the filter writes while the server sends is dropped.
           {SF_NOTIFY_SEND_RAW_DATA, "HTTP/1.1 200 OK\r\n\r\n", ""}}) {
    DWORD status = 0;
    EXPECT_EQ(probe->Notify(c.type, c.raw, status), c.sent) << c.raw;
    EXPECT_EQ(status, SF_STATUS_REQ_NEXT_NOTIFICATION);
  }
}

TEST_F(Isapi, ProbeReadRedirectAndEscapingErrorAsTheServerSeesThem) {
  // The handler's read: the preloaded bytes again, nothing past the body.
  plat::SetEnv("PROBE_READ", "20");
  EXPECT_EQ(Serve(probe, "", "a=1&b=2&c=3456", 4).Output, Ok + Html + "<read 4>a=1&");
  plat::UnsetEnv("PROBE_READ");
  plat::SetEnv("PROBE_HEADER", "LoCation:/x");
  TIsapiResult r = Serve(probe, "");
  plat::UnsetEnv("PROBE_HEADER");
  EXPECT_EQ(r.Redirect, "/x");
  EXPECT_EQ(r.Output, "");
  const std::string message = std::string(70, 'm') + "0123456789" + std::string(20, 'n');
  for (const std::string& text : {message, message.substr(0, 10)}) {
    plat::SetEnv("PROBE_ESCAPE", text);
    r = Serve(probe, "");
    EXPECT_EQ(r.Status, HSE_STATUS_ERROR);
    EXPECT_EQ(r.LogData, text.substr(0, 79));
  }
  plat::UnsetEnv("PROBE_ESCAPE");
  EXPECT_TRUE(Has(Log(), " : " + message + "\r\n"));
}

TEST_F(Isapi, RequestsOfManyServerThreadsNeverMeet) {
  ExpectRequestsOfManyThreadsNeverMeet(*forum, root / "parlino", [](const std::string& query, const std::string& cookie,
                                                                    const std::string& body) {
    return TIsapiCall{{{"SERVER_SOFTWARE", "IIS"}, {"SCRIPT_NAME", "/p.dll"}, {"QUERY_STRING", query},
                       {"HTTP_COOKIE", cookie}, {"CONTENT_TYPE", "x-www-form-urlencoded"}}, body, body.empty() ? 0u : 40u};
  });
}

}  // namespace
