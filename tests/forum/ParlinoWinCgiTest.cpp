// The forum served through Windows CGI profiles gives the pages and stored
// data that standard CGI gives (both without a status line, as behind Apache).
#include <regex>

#include "tests/support/ForumFixture.h"

namespace {

class WinForum : public ForumSite {
 protected:
  // A request as a Windows CGI server writes it; external fields go to files.
  std::string WinRequest(const std::string& query, const std::string& form = "", const std::string& cookie = "",
                         const std::map<std::string, std::string>& external = {}) {
    const std::string dir = (root / "w").string();
    fs::remove_all(dir), fs::create_directories(dir);
    std::string profile = "[CGI]\r\nRequest Method=" + std::string(form.empty() && external.empty() ? "GET" : "POST") +
                          "\r\nQuery String=" + query + "\r\nExecutable Path=/cgi-bin/parlino\r\n[System]\r\n"
                          "Output File=" + dir + "/out\r\n[Extra Headers]\r\nCookie=" + cookie + "\r\n[Form Literal]\r\n" +
                          form + "[Form External]\r\n";
    for (const auto& [name, value] : external) {
      WriteFile(dir + "/" + name, value);
      profile += name + "=" + dir + "/" + name + " " + std::to_string(value.size()) + "\r\n";
    }
    WriteFile(dir + "/req.ini", profile);
    const plat::TRunResult r = plat::RunProgram(program, {dir + "/req.ini"},
                                                {{"CGI_VERSION", "CGI/1.3a (Win95)"}, {"CGI_LOG_DIR", root.string()}}, "");
    EXPECT_EQ(r.Output + std::to_string(r.ExitCode), "0");
    return ReadFile(dir + "/out");
  }
};

std::string NoExpiry(const std::string& page) { return std::regex_replace(page, std::regex("expires=[^\r]*"), ""); }

TEST_F(WinForum, PagesAndStoredPostsAreThoseOfStandardCgi) {
  const std::string cookie = "NEWSGROUP=N%3DAnna%26E%3Da%2540b.c";
  const std::string standard = Post("Anna", "a@b.c", "Hi <all>", "l1\r\nl2");
  const std::string win = WinRequest("", "NEWNAME=Anna\r\nNEWEMAIL=a@b.c\r\nNEWSUBJECT=Hi <all>\r\n"
                                         "ACTION_NEWMESSAGE_POST=Post\r\n", "", {{"NEWTEXT", "l1\r\nl2"}});
  EXPECT_EQ(NoExpiry(win), NoExpiry(standard));
  ASSERT_EQ(Records().size(), 2u);
  const TNewsRecord a = Records()[0], b = Records()[1];
  EXPECT_EQ(a.Subject + a.Name + a.Email + std::to_string(a.ReplyId), b.Subject + b.Name + b.Email + std::to_string(b.ReplyId));
  EXPECT_EQ(ReadFile(TextFile(a.Id)), ReadFile(TextFile(b.Id)));
  for (int i = 0; i < 11; ++i) Post("n", "e", "s" + std::to_string(i), "t");
  const std::string id = std::to_string(a.Id);
  for (const std::string& query : {std::string("PAGE=2"), "VIEWID=" + id}) EXPECT_EQ(WinRequest(query), Request(query));
  EXPECT_EQ(WinRequest("", "ACTION_REPLYMESSAGE=Reply\r\nREPLYID=" + id + "\r\n", cookie),
            Request("", "ACTION_REPLYMESSAGE=Reply&REPLYID=" + id, cookie));
}

}  // namespace
