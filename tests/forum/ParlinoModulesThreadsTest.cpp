// Libraries a web server loads, served through the ISAPI and NSAPI test
// hosts on one server thread and on many (built for ThreadSanitizer too):
// the forum gives the pages and files its CGI program gives, through each
// interface's calls, and its requests never meet; the engine's probe, with
// handlers of its own, answers the ISAPI filter calls and raises on demand.
// Each kind of NSAPI server library, and none, is tried in a host process
// of its own.
#include <cstring>

#include "tests/support/ForumFixture.h"
#include "tests/support/LibraryHost.h"

namespace {

const std::string Bin = PARLINO_BINARY_DIR, Ok = "HTTP/1.1 200 OK\r\n";
const fs::path root = fs::temp_directory_path() / ("parlino-modules-" + std::to_string(plat::ProcessId()));

// Each library is loaded once, as a server loads it, from a directory of
// its own: beside the program build/parlino, a plain file, the forum would
// take that for its data directory. Every copy of the forum shares root's.
class Modules : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* dir : {"lib", "ns", "cwd", "sys/nsapi-system"}) fs::create_directories(root / dir);
    fs::current_path(root / "cwd");
    plat::SetEnv("CGI_LOG_DIR", root.string());
    for (const char* copy : {"lib/parlino.so", "lib/cgi_probe.so", "ns/parlino.so"})
      fs::copy_file(Bin + "/" + fs::path(copy).filename().string(), root / copy);
    fs::copy_file(Bin + "/nsapi/plain/ns-httpd40.dll", root / "sys/nsapi-system/ns-httpd40.dll");
    isapi = new TIsapiHost((root / "lib/parlino.so").string());
    probe = new TIsapiHost((root / "lib/cgi_probe.so").string());
    // Started before the server's library was there, as the host programs start it.
    nsapi = new TNsapiHost(Bin + "/nsapi/plain/ns-httpd40.dll", (root / "ns/parlino.so").string());
  }
  static void TearDownTestSuite() {
    for (TIsapiHost* host : {isapi, probe}) {
      EXPECT_FALSE(host->Entry<BOOL(DWORD)>("TerminateExtension")(0));
      delete host;
    }
    delete nsapi;
    EXPECT_TRUE(fs::is_empty(root / "cwd"));  // nothing written to the working directory
    fs::remove_all(root);
  }
  void SetUp() override {
    ASSERT_TRUE(isapi->Entry<void>("HttpExtensionProc") && probe->Entry<void>("HttpExtensionProc") && nsapi->Entry<void>("NsapiService"));
    fs::remove_all(root / "parlino");
    fs::create_directories(root / "parlino");
    for (const char* log : {"cgi_probe.Log", "parlino.Log"}) fs::remove(root / log);
  }
  // Every body byte within the limit is read once, never past its end, and
  // no ISAPI read asks for more than remains.
  template <class Host>
  static TLibraryResult Serve(const Host& host, const TLibraryCall& call) {
    const TLibraryResult r = host.Serve(call);
    const size_t left = call.Body.size() - std::min(call.Body.size(), call.Preload);
    EXPECT_EQ(r.Delivered, r.Status == Host::Success && left <= 10000 ? left : 0);
    for (auto [asked, held] : r.Reads) EXPECT_TRUE(held > 0 && (asked <= held || std::is_same_v<Host, TNsapiHost>)) << asked;
    return r;
  }
  static TLibraryResult Serve(bool ns, const TLibraryCall& call) { return ns ? Serve(*nsapi, call) : Serve(*isapi, call); }
  static inline TIsapiHost *isapi, *probe;
  static inline TNsapiHost* nsapi;
};

TEST_F(Modules, PostsAreStoredAndPagesCarryTheScriptNameAsEachServerSendsThem) {
  // A post is stored whatever part of its body came preloaded.
  struct Case { bool ns, multipart; size_t preload; };
  int id = 0;
  for (const Case& c : std::vector<Case>{{false, false, 0}, {false, false, 100}, {false, false, SIZE_MAX}, {false, true, 0},
                                         {false, true, 100}, {false, true, SIZE_MAX}, {true, false, 100}, {true, true, 100}}) {
    const std::string subject = std::to_string(++id), script = c.ns ? "/ns/p" : "/p.dll";
    // The query string of an NSAPI post is no field of it.
    const TLibraryCall call{{{"SERVER_SOFTWARE", "IIS"}, {"SCRIPT_NAME", script}, {"QUERY_STRING", c.ns ? "NEWSUBJECT=query" : ""},
                             {"CONTENT_TYPE", c.multipart ? Multipart : "application/x-www-form-urlencoded"}},
                            PostBody(c.multipart, subject), c.preload};
    ExpectStored(Serve(c.ns, call).Output, root / "parlino", id - 1, subject, script);
  }
  // Pages: the script name as each server sends it, an IIS file path made a URL path (the Apache rule on the
  // status line is the engine core's, checked on the standard engine).
  const std::string error = "<html><body>'abc' ist kein g\xFCltiger Integerwert</body></html>\r\n";
  struct Page { bool ns; std::string script, query; std::vector<std::pair<std::string, std::string>> headers; std::string part; };
  for (const Page& c : std::vector<Page>{
           {false, "C:\\inetpub\\scripts\\p.dll", "", {}, "<A HREF=\"/scripts/p.dll?VIEWID="},
           {false, "C:\\p.dll", "", {}, "<A HREF=\"C:\\p.dll?VIEWID="},
           {false, "", "", {}, "<A HREF=\"?VIEWID="},
           // The error page is a successful response.
           {false, "/p", "VIEWID=abc", {}, error},
           // NSAPI: the server's status line, then srvhdrs as the forum left it; a content type the server put
           // there first is replaced, not doubled.
           {true, "/ns/p", "ACTION_NEWMESSAGE=1", {{"content-type", "text/plain"}}, "<form method=\"post\" action=\"/ns/p\">"}}) {
    const TLibraryCall call{{{"SERVER_SOFTWARE", "IIS"}, {"SCRIPT_NAME", c.script}, {"QUERY_STRING", c.query}}, "", 0, 1024, c.headers};
    const std::string page = Serve(c.ns, call).Output;
    EXPECT_TRUE(page.starts_with(Ok + Html + Head)) << c.script << page.substr(0, 200);
    EXPECT_TRUE(Has(page, c.part)) << c.script;
    EXPECT_EQ(page.find("HTTP/1.1", 1), std::string::npos);
  }
}

// A host process finds the server's library where the module's own search
// does: through the library path, or in the system directory. (The plain
// library on the path serves the engine contract's table.)
// Run alone (as ctest runs each test), the in-process host's requests here are the library's first.
TEST_F(Modules, EachKindOfNsapiServerLibraryServesAndNoneRefusesTheRequest) {
  for (const TLibraryResult& r : nsapi->ServeAll(std::vector<TLibraryCall>(8, {{{"SCRIPT_NAME", "/p"}}}), 8))
    EXPECT_TRUE(r.Output.starts_with(Ok + Html + Head)) << r.Output.substr(0, 100);
  struct Case { std::string path, cwd, server, header, expected; };
  for (const Case& c : std::vector<Case>{
           {Bin + "/nsapi/int", "cwd", "ns-httpd40.dll", "", Ok + Html + Head},
           {Bin + "/nsapi/fr", "cwd", "ns-httpd40.dll", "content-type:text/plain", Ok + Html + Head},
           {"", "sys", "nsapi-system/ns-httpd40.dll", "", Ok + Html + Head},
           {"", "cwd", "ns-httpd40.dll", "", "[status -1]"}}) {
    const std::map<std::string, std::string> env{{"SCRIPT_NAME", "/ns/p"}, {"CGI_LOG_DIR", root.string()}, {"LD_LIBRARY_PATH", c.path},
        {"HOST_CWD", (root / c.cwd).string()}, {"HOST_SERVER", c.server}, {"HOST_SRVHDR", c.header}};
    const plat::TRunResult r = plat::RunProgram(Bin + "/nsapi_host", {(root / "ns/parlino.so").string()}, env, "");
    EXPECT_EQ(r.Output.substr(0, c.expected.size()), c.expected) << c.path << c.cwd;
  }
  // One line, from its time stamp on: nothing else was logged.
  const std::string log = ReadFile((root / "parlino.Log").string());
  EXPECT_EQ(log.substr(log.find(" : ")), " : NSAPI request refused: no server library could be loaded\r\n") << log;
}

// The engine's probe as the server sees it. Its read limit counts the bytes
// not preloaded (without a preload the engine contract's table has the
// limit's cases); over it, the preloaded part is the field data. (A handler's
// own read of preloaded bytes is the multipart posts' read above.)
TEST_F(Modules, IsapiVersionsFilterReadsRedirectsAndEscapesAsTheServerSeesThem) {
  HSE_VERSION_INFO extension;
  std::memset(&extension, 'x', sizeof extension);
  HTTP_FILTER_VERSION filter{6u << 16, 0, "server's", 0xFFFF};
  EXPECT_TRUE(isapi->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&extension));
  EXPECT_EQ(extension.dwExtensionVersion, 0x20000u);
  EXPECT_STREQ(extension.lpszExtensionDesc, "TELVAR 4.0.1");
  // Without a handler the filter asks for no notification.
  EXPECT_TRUE(isapi->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFlags, 0u);
  EXPECT_TRUE(probe->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFlags, SF_NOTIFY_READ_RAW_DATA | SF_NOTIFY_SEND_RAW_DATA);
  // A failing handler refuses the load (and logs why: two of the four lines counted below).
  plat::SetEnv("PROBE_EXTVERSION", "throw");
  EXPECT_FALSE(probe->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&extension));
  EXPECT_FALSE(probe->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  plat::UnsetEnv("PROBE_EXTVERSION");
  // Notifications.
  DWORD status = 0;
  EXPECT_EQ(probe->Notify(SF_NOTIFY_READ_RAW_DATA, "POST /p.dll?q=1 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded"
                          "\r\nCookie: N=1\r\n\r\na=2", status), "<fields>\r\na=2\r\nq=1\r\n</fields><cookie>N=1");
  EXPECT_EQ(status, SF_STATUS_REQ_NEXT_NOTIFICATION);
  const std::string big = "a=" + std::string(10098, 'x'), message = std::string(70, 'm') + "0123456789" + std::string(20, 'n');
  struct Case { std::string setting, value, body; long status; std::string output, logData = "", redirect = ""; };
  for (const Case& c : std::vector<Case>{
           {"", "", big, HSE_STATUS_SUCCESS, Ok + Html + "<fields>\r\n" + big + "\r\n</fields>"},
           {"", "", big + "x", HSE_STATUS_SUCCESS, Ok + Html + "<fields>\r\n" + big.substr(0, 100) + "\r\n</fields>"},
           // The server sends the whole redirect: no header block follows.
           {"PROBE_HEADER", "LoCation:/x", "", HSE_STATUS_SUCCESS, "", "", "/x"},
           // An escaping error's message goes to the server's log, cut to its field.
           {"PROBE_ESCAPE", message, "", HSE_STATUS_ERROR, Ok + Html + "<fields>\r\n</fields>", message.substr(0, 79)}}) {
    if (!c.setting.empty()) plat::SetEnv(c.setting, c.value);
    const TLibraryResult r = Serve(*probe, {{{"SERVER_SOFTWARE", "IIS"}, {"SCRIPT_NAME", "/p.dll"}}, c.body, 100});
    if (!c.setting.empty()) plat::UnsetEnv(c.setting);
    EXPECT_EQ(r.Status, c.status) << c.value;
    EXPECT_EQ(r.Output, c.output) << c.value;
    EXPECT_EQ(r.LogData, c.logData);
    EXPECT_EQ(r.Redirect, c.redirect);
  }
  // The limit's line (its text is the engine contract's) and the message whole, last.
  const std::string log = ReadFile((root / "cgi_probe.Log").string());
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_TRUE(log.ends_with(" : " + message + "\r\n")) << log;
}

// Each server's forum in turn, on data of its own.
TEST_F(Modules, RequestsOfManyServerThreadsNeverMeet) {
  const auto call = [](const std::string& query, const std::string& cookie, const std::string& body) {
    return TLibraryCall{{{"SERVER_SOFTWARE", "IIS"}, {"SCRIPT_NAME", "/p"}, {"QUERY_STRING", query}, {"HTTP_COOKIE", cookie},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"}}, body, body.empty() ? 0u : 40u};
  };
  ExpectRequestsOfManyThreadsNeverMeet(*isapi, root / "parlino", call);
  SetUp();
  ExpectRequestsOfManyThreadsNeverMeet(*nsapi, root / "parlino", call);
}

}  // namespace
