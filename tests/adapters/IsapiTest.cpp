// The ISAPI engine through the test host, with the engine's probe built as
// a library: its handlers answer the filter's calls and raise on demand.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>

#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "tests/support/IsapiHost.h"

namespace {

namespace fs = std::filesystem;

class Isapi : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("parlino-isapi-" + std::to_string(plat::ProcessId()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    fs::copy_file(std::string(PARLINO_BINARY_DIR) + "/cgi_probe.so", root / "cgi_probe.so");
    plat::SetEnv("CGI_LOG_DIR", root.string());
    host = std::make_unique<TIsapiHost>((root / "cgi_probe.so").string());
    ASSERT_TRUE(host->Handle()) << dlerror();
  }
  void TearDown() override {
    host.reset();
    fs::remove_all(root);
  }
  // The log without the start-up's line on the engine this program lacks.
  std::string Log() {
    std::string log;
    plat::ReadWholeFile((root / "cgi_probe.Log").string(), log);
    return log.substr(log.find("\r\n") + 2);
  }
  TIsapiResult Serve(const std::string& body, size_t preload, const std::map<std::string, std::string>& probe = {}) {
    for (const auto& [name, value] : probe) plat::SetEnv(name, value);
    TIsapiResult result = host->Serve({{{"SERVER_SOFTWARE", "Apache"}}, body, preload});
    for (const auto& [name, value] : probe) plat::UnsetEnv(name);
    return result;
  }
  fs::path root;
  std::unique_ptr<TIsapiHost> host;
};

TEST_F(Isapi, VersionHandlersAnswerTheServer) {
  HTTP_FILTER_VERSION filter{6u << 16, 0, "server's", 0};
  EXPECT_TRUE(host->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFlags, SF_NOTIFY_READ_RAW_DATA | SF_NOTIFY_SEND_RAW_DATA);
  EXPECT_STREQ(filter.lpszFilterDesc, "probe filter");
  HSE_VERSION_INFO version{};
  plat::SetEnv("PROBE_EXTVERSION", "mine");
  EXPECT_TRUE(host->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&version));
  EXPECT_STREQ(version.lpszExtensionDesc, "mine");
  // A handler that fails refuses the load.
  plat::SetEnv("PROBE_EXTVERSION", "throw");
  EXPECT_FALSE(host->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&version));
  plat::UnsetEnv("PROBE_EXTVERSION");
  EXPECT_NE(Log().find(" : no version\r\n"), std::string::npos);
}

TEST_F(Isapi, RawRequestGivesTheNotificationItsFieldsAndCookie) {
  const std::string post = "POST /p.dll?q=1 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n";
  struct Case { DWORD type; std::string raw, sent; };
  for (const Case& c : std::vector<Case>{
           {SF_NOTIFY_READ_RAW_DATA, post + "Cookie: N=1\r\n\r\na=2", "<fields>\r\na=2\r\nq=1\r\n</fields><cookie>N=1"},
           // Only a POST's headers are read.
           {SF_NOTIFY_READ_RAW_DATA, "GET /p.dll?q=1 HTTP/1.1\r\nCookie: N=1\r\n\r\n", "<fields>\r\nq=1\r\n</fields><cookie>"},
           {SF_NOTIFY_READ_RAW_DATA, post + "\r\na=2", "<fields>\r\na=2\r\nq=1\r\n</fields><cookie>"},
           // Fields and cookie belong to the notification that read them.
           {SF_NOTIFY_PREPROC_HEADERS, post + "Cookie: N=1\r\n\r\na=2", "<fields>\r\n</fields><cookie>"},
           // Text written while the server sends is not sent.
           {SF_NOTIFY_SEND_RAW_DATA, "HTTP/1.1 200 OK\r\n\r\n", ""}}) {
    DWORD status = 0;
    EXPECT_EQ(host->Notify(c.type, c.raw, status), c.sent) << c.raw;
    EXPECT_EQ(status, SF_STATUS_REQ_NEXT_NOTIFICATION);
  }
}

TEST_F(Isapi, ReadLimitCountsTheBytesNotPreloaded) {
  struct Case { size_t size, preload; bool read; };
  for (const Case& c : std::vector<Case>{{10000, 0, true}, {10001, 0, false}, {10100, 100, true}, {10101, 100, false}}) {
    const std::string body = "a=" + std::string(c.size - 2, 'x');
    // Over the limit, the preloaded part is the field data.
    const std::string fields = c.read ? body : body.substr(0, c.preload);
    const TIsapiResult r = Serve(body, c.preload);
    EXPECT_EQ(r.Output, "content-type:text/html\r\n\r\n<fields>\r\n" + (fields.empty() ? "" : fields + "\r\n") +
                            "</fields>") << c.size;
    EXPECT_EQ(r.Delivered, c.read ? c.size - c.preload : 0) << c.size;
  }
  const std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_NE(log.find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos);
}

TEST_F(Isapi, ServerIsToldOfRedirectsAndEscapingErrors) {
  TIsapiResult r = Serve("", 0, {{"PROBE_HEADER", "LoCation:/x"}});
  EXPECT_EQ(r.Redirect, "/x");
  EXPECT_EQ(r.Output, "");
  const std::string message = std::string(70, 'm') + "0123456789" + std::string(20, 'n');
  for (const std::string& text : {message, message.substr(0, 10)}) {
    r = Serve("", 0, {{"PROBE_SILENT", "1"}, {"PROBE_ESCAPE", text}});
    EXPECT_EQ(r.Status, HSE_STATUS_ERROR);
    EXPECT_EQ(r.LogData, text.substr(0, 79));
  }
  EXPECT_NE(Log().find(" : " + message + "\r\n"), std::string::npos);
}

}  // namespace
