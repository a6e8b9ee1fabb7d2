// The forum library served through the fake NSAPI server library, on one
// server thread and on many (built for ThreadSanitizer too): its pages go
// out through the server's functions with their header fields in srvhdrs,
// its posts are stored, and requests of many threads never meet. Each kind
// of server library, and none, is tried in a host process of its own.
#include <numeric>

#include "tests/support/ForumFixture.h"
#include "tests/support/NsapiHost.h"

namespace {

const std::string Bin = PARLINO_BINARY_DIR, Started = "HTTP/1.1 200 OK\r\n" + Html + Head;
const fs::path root = fs::temp_directory_path() / ("parlino-nsapi-" + std::to_string(plat::ProcessId()));

class Nsapi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* dir : {"lib", "late", "cwd", "sys/nsapi-system"}) fs::create_directories(root / dir);
    plat::SetEnv("CGI_LOG_DIR", root.string());
    for (const char* dir : {"lib", "late"}) fs::copy_file(Bin + "/parlino.so", root / dir / "parlino.so");
    fs::copy_file(Bin + "/nsapi/plain/ns-httpd40.dll", root / "sys/nsapi-system/ns-httpd40.dll");
    // A copy started before the server's library was there.
    late = new TNsapiHost(Bin + "/nsapi/plain/ns-httpd40.dll", (root / "late/parlino.so").string(), false);
    forum = new TNsapiHost(Bin + "/nsapi/plain/ns-httpd40.dll", (root / "lib/parlino.so").string());
  }
  static void TearDownTestSuite() {
    delete forum;
    delete late;
    fs::remove_all(root);
  }
  void SetUp() override {
    ASSERT_TRUE(forum->Ready());
    fs::remove_all(root / "parlino");
    fs::create_directories(root / "parlino");
    fs::remove(root / "parlino.Log");
  }
  static TNsapiResult Serve(const std::string& query, const std::string& body = "", const std::string& type = "",
                            std::vector<std::pair<std::string, std::string>> headers = {}) {
    TNsapiCall call{{{"SCRIPT_NAME", "/ns/p"}, {"QUERY_STRING", query}}, body, 100, 1024, std::move(headers)};
    if (!type.empty()) call.Variables["CONTENT_TYPE"] = type;
    const TNsapiResult r = forum->Serve(call);
    // The body is read once, never past its end.
    EXPECT_EQ(std::accumulate(r.Refills.begin(), r.Refills.end(), size_t{0}), body.size() - std::min<size_t>(body.size(), 100));
    EXPECT_EQ(std::count(r.Refills.begin(), r.Refills.end(), 0), 0);
    EXPECT_EQ(r.Status, REQ_PROCEED);
    return r;
  }
  static inline TNsapiHost *forum, *late;
};

TEST_F(Nsapi, PagesGoOutAfterTheServerStartedTheResponseFromSrvhdrs) {
  Serve("", "NEWNAME=n&NEWEMAIL=e&NEWSUBJECT=first&NEWTEXT=t&ACTION_NEWMESSAGE_POST=1");
  struct Case { std::string query; std::vector<std::pair<std::string, std::string>> headers; std::string part; };
  for (const Case& c : std::vector<Case>{
           {"", {}, "<A HREF=\"/ns/p?VIEWID="},
           // A content type the server put there first is replaced, not doubled.
           {"ACTION_NEWMESSAGE=1", {{"content-type", "text/plain"}}, "<form method=\"post\" action=\"/ns/p\">"},
           {"VIEWID=abc", {}, "<html><body>'abc' ist kein g\xFCltiger Integerwert</body></html>\r\n"}}) {
    const std::string page = Serve(c.query, "", "", c.headers).Output;
    EXPECT_TRUE(page.starts_with(Started)) << page.substr(0, 200);
    EXPECT_TRUE(Has(page, c.part)) << c.query;
    EXPECT_EQ(page.find("HTTP/1.1", 1), std::string::npos);
  }
}

TEST_F(Nsapi, PostIsStoredFromItsBodyUrlEncodedOrMultipart) {
  for (int id = 1; id <= 2; ++id) {
    // The query string of a post is no field of it.
    const std::string page = Serve("NEWSUBJECT=query", PostBody(id == 2, std::to_string(id)),
                                   id == 2 ? Multipart : "application/x-www-form-urlencoded").Output;
    ExpectStored(page, root / "parlino", id - 1, std::to_string(id), "/ns/p");
  }
}

// A host process finds the server's library where the module's own search
// does: through the library path, or in the system directory.
TEST_F(Nsapi, EachKindOfServerLibraryServesAndNoneRefusesTheRequest) {
  struct Case { std::string path, cwd, server, header, expected; };
  for (const Case& c : std::vector<Case>{
           {Bin + "/nsapi/plain", "cwd", "", "", Started},
           {Bin + "/nsapi/int", "cwd", "", "", Started},
           {Bin + "/nsapi/fr", "cwd", "", "content-type:text/plain", Started},
           {"", "sys", "nsapi-system/ns-httpd40.dll", "", Started},
           {"", "cwd", "", "", "[status -1]"}}) {
    std::map<std::string, std::string> env{{"SCRIPT_NAME", "/ns/p"}, {"CGI_LOG_DIR", root.string()},
                                           {"HOST_CWD", (root / c.cwd).string()}, {"HOST_SRVHDR", c.header}};
    if (!c.path.empty()) env["LD_LIBRARY_PATH"] = c.path;
    if (!c.server.empty()) env["HOST_SERVER"] = c.server;
    const plat::TRunResult r = plat::RunProgram(Bin + "/nsapi_host", {(root / "lib/parlino.so").string()}, env, "");
    EXPECT_EQ(r.ExitCode, 0) << c.path;
    EXPECT_EQ(r.Output.substr(0, c.expected.size()), c.expected) << c.path << c.cwd;
  }
  const std::string log = ReadFile((root / "parlino.Log").string());
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_TRUE(Has(log, " : NSAPI request refused: no server library could be loaded\r\n"));
}

TEST_F(Nsapi, LibraryStartedBeforeTheServersLibraryLoadsItAtTheFirstRequests) {
  ASSERT_TRUE(late->Ready());
  for (const TNsapiResult& r : late->ServeAll(std::vector<TNsapiCall>(8, {{{"SCRIPT_NAME", "/p"}}, "", 0, 1024, {}}), 8))
    EXPECT_TRUE(r.Output.starts_with(Started)) << r.Output.substr(0, 100);
}

TEST_F(Nsapi, RequestsOfManyServerThreadsNeverMeet) {
  ExpectRequestsOfManyThreadsNeverMeet(*forum, root / "parlino", [](const std::string& query, const std::string& cookie,
                                                                    const std::string& body) {
    return TNsapiCall{{{"SCRIPT_NAME", "/p"}, {"QUERY_STRING", query}, {"HTTP_COOKIE", cookie}}, body, 40, 1024, {}};
  });
}

}  // namespace
