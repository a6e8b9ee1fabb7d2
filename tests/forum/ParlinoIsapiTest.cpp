// The forum as a library a web server loads, served through the ISAPI test
// host: the pages and files the CGI program gives, through the server's calls.
#include <dlfcn.h>

#include <cstring>

#include "tests/support/ForumFixture.h"
#include "tests/support/IsapiHost.h"

namespace {

const std::string Ok = "HTTP/1.1 200 OK\r\n";

class ForumIsapi : public ForumSite {
 protected:
  void SetUp() override {
    ForumSite::SetUp();
    // A directory of its own: beside the program bin/parlino, a plain file,
    // the module would take that for its data directory.
    fs::create_directory(root / "lib");
    fs::copy_file(std::string(PARLINO_BINARY_DIR) + "/parlino.so", root / "lib/parlino.so");
    fs::create_directory(root / "cwd");
    fs::current_path(root / "cwd");
    plat::SetEnv("CGI_LOG_DIR", root.string());
    host = std::make_unique<TIsapiHost>((root / "lib/parlino.so").string());
    ASSERT_TRUE(host->Handle()) << dlerror();
  }
  void TearDown() override {
    EXPECT_FALSE(host->Entry<BOOL(DWORD)>("TerminateExtension")(0));
    host.reset();
    EXPECT_TRUE(fs::is_empty(root / "cwd"));
    fs::current_path(fs::temp_directory_path());
    ForumSite::TearDown();
  }
  TIsapiResult Serve(const std::string& query, const std::string& body = "", size_t preload = 0,
                     const std::string& type = "application/x-www-form-urlencoded",
                     const std::string& software = "Microsoft-IIS/5.0", const std::string& script = "/scripts/p.dll") {
    const TIsapiResult r = host->Serve({{{"SERVER_SOFTWARE", software}, {"SCRIPT_NAME", script}, {"CONTENT_TYPE", type},
                                         {"QUERY_STRING", query}, {"REQUEST_METHOD", body.empty() ? "GET" : "POST"}},
                                        body, preload});
    EXPECT_EQ(r.Status, HSE_STATUS_SUCCESS);
    // Every body byte is read once, and no read asks for more than remains.
    EXPECT_EQ(r.Delivered, body.size() - std::min(preload, body.size()));
    for (auto [asked, left] : r.Reads) EXPECT_LE(asked, left);
    return r;
  }
  std::unique_ptr<TIsapiHost> host;
};

TEST_F(ForumIsapi, LoadsWithoutHandlersAndAsksForNoNotification) {
  HSE_VERSION_INFO extension;
  std::memset(&extension, 'x', sizeof extension);
  EXPECT_TRUE(host->Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&extension));
  EXPECT_EQ(extension.dwExtensionVersion, 0x20000u);
  EXPECT_STREQ(extension.lpszExtensionDesc, "TELVAR 4.0.1");
  HTTP_FILTER_VERSION filter{6u << 16, 0, "server's", 0xFFFF};
  EXPECT_TRUE(host->Entry<BOOL(HTTP_FILTER_VERSION*)>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFilterVersion, 0x20000u);
  EXPECT_EQ(filter.dwFlags, 0u);
  EXPECT_STREQ(filter.lpszFilterDesc, "server's");
}

TEST_F(ForumIsapi, ListPageCarriesTheScriptNameAsAUrlPath) {
  Store({Message(1, 0, "first")});
  struct Case { std::string software, script, status, url; };
  for (const Case& c : std::vector<Case>{{"Microsoft-IIS/5.0", "/scripts/p.dll", Ok, "/scripts/p.dll"},
                                         {"Apache/2.4", "/scripts/p.dll", "", "/scripts/p.dll"},
                                         {"Microsoft-IIS/5.0", "C:\\inetpub\\scripts\\p.dll", Ok, "/scripts/p.dll"},
                                         {"Microsoft-IIS/5.0", "C:\\p.dll", Ok, "C:\\p.dll"}}) {
    const std::string page = Serve("", "", 0, "", c.software, c.script).Output;
    EXPECT_EQ(page.substr(0, c.status.size() + Html.size() + Head.size()), c.status + Html + Head) << c.script;
    EXPECT_TRUE(Has(page, "<form method=\"post\" action=\"" + c.url + "\">")) << c.script;
    EXPECT_TRUE(Has(page, "<A HREF=\"" + c.url + "?VIEWID=1&NOTHREAD=&PAGE=1\">first</A>")) << c.script;
  }
}

TEST_F(ForumIsapi, ErrorPageIsASuccessfulResponse) {
  EXPECT_EQ(Serve("VIEWID=abc").Output,
            Ok + Html + Head + "<html><body>'abc' ist kein g\xFCltiger Integerwert</body></html>\r\n");
}

TEST_F(ForumIsapi, PostIsStoredWhateverPartOfItsBodyCamePreloaded) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += std::to_string(i) + " words\r\n";
  const std::map<std::string, std::string> fields = {{"NEWNAME", "Ann"}, {"NEWEMAIL", "a@x"}, {"NEWTEXT", text},
                                                     {"ACTION_NEWMESSAGE_POST", "Post"}};
  int id = 0;
  for (bool multipart : {false, true}) {
    for (size_t preload : {size_t(0), size_t(100), SIZE_MAX}) {
      const std::string subject = "s" + std::to_string(++id);
      std::string body;
      for (auto [name, value] : fields) {
        body += multipart ? "--boundary42\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n"
                          : UrlEncode(name) + "=" + UrlEncode(value) + "&";
      }
      body += multipart ? "--boundary42\r\nContent-Disposition: form-data; name=\"NEWSUBJECT\"\r\n\r\n" + subject +
                              "\r\n--boundary42--\r\n"
                        : "NEWSUBJECT=" + subject;
      const std::string page =
          Serve("", body, preload, multipart ? "multipart/form-data; boundary=boundary42" : "application/x-www-form-urlencoded")
              .Output;
      SCOPED_TRACE(subject);
      EXPECT_TRUE(page.starts_with(Ok + "set-cookie:NEWSGROUP=N%3DAnn%26E%3Da%2540x;")) << page.substr(0, 200);
      EXPECT_TRUE(Has(page, "\r\n" + Html + Head)) << page.substr(0, 200);
      ASSERT_EQ(Records().size(), static_cast<size_t>(id));
      EXPECT_EQ(Records().back().Subject, subject);
      EXPECT_EQ(ReadFile(TextFile(Records().back().Id)), text);
    }
  }
}

}  // namespace
