// The whole forum as a web server runs it: the program is copied into a
// fresh site (bin/parlino beside the data directory parlino/) and each
// request is a child process with a CGI environment.
#include <gtest/gtest.h>

#include "engine/HUtils.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "tests/support/PlatRun.h"

namespace {

const std::string Html = "content-type:text/html\r\n\r\n";
const std::string Head =
    "<html><head><title>Orvane Parlino</title><meta http-equiv=\"Content-Type\" "
    "content=\"text/html; charset=windows-1252\"></head>\r\n<body>\r\n";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Forum : public ::testing::Test {
 protected:
  void SetUp() override {
    root = "/tmp/parlino-forum-" + std::to_string(plat::ProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    plat::RemoveTree(root);
    plat::CreateDir(root);
    plat::CreateDir(root + "/bin");
    plat::CreateDir(root + "/parlino");
    program = root + "/bin/parlino";
    ASSERT_TRUE(plat::CopyFile(std::string(PARLINO_BINARY_DIR) + "/parlino", program));
    ASSERT_TRUE(plat::SetExecutable(program));
    data = root + "/parlino/parlino";
  }
  void TearDown() override { plat::RemoveTree(root); }

  std::string Request(const std::string& query, const std::string& body = "", const std::string& cookie = "",
                      const std::string& type = "application/x-www-form-urlencoded") {
    std::map<std::string, std::string> env{{"SERVER_SOFTWARE", "Apache/2.4"},
                                           {"SCRIPT_NAME", "/cgi-bin/parlino"},
                                           {"QUERY_STRING", query},
                                           {"CGI_LOG_DIR", root},
                                           {"REQUEST_METHOD", body.empty() ? "GET" : "POST"}};
    if (!body.empty()) {
      env["CONTENT_LENGTH"] = std::to_string(body.size());
      env["CONTENT_TYPE"] = type;
    }
    if (!cookie.empty()) env["HTTP_COOKIE"] = cookie;
    plat::TRunResult result = plat::RunProgram(program, {}, env, body);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.Output;
  }
  std::string Post(const std::string& name, const std::string& email, const std::string& subject,
                   const std::string& text, const std::string& extra = "") {
    return Request("", "NEWNAME=" + UrlEncode(name) + "&NEWEMAIL=" + UrlEncode(email) + "&NEWSUBJECT=" +
                           UrlEncode(subject) + "&NEWTEXT=" + UrlEncode(text) + extra +
                           "&ACTION_NEWMESSAGE_POST=Post");
  }
  std::vector<TNewsRecord> Records() {
    std::string bytes;
    plat::ReadWholeFile(data + "_data.dat", bytes);
    std::vector<TNewsRecord> records;
    for (size_t i = 0; i + 180 <= bytes.size(); i += 180)
      records.push_back(TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(bytes.data() + i)));
    return records;
  }
  void Write(const std::string& suffix, const std::string& text) {
    plat::DeleteFile(data + suffix);
    ASSERT_TRUE(plat::AppendToFile(data + suffix, text));
  }

  std::string root, program, data;
};

}  // namespace

TEST_F(Forum, RequestWithoutFieldsShowsTheThreadedListPageOne) {
  std::string page = Request("");
  EXPECT_EQ(page.rfind(Html + Head + "<form method=\"post\" action=\"/cgi-bin/parlino\">\r\n", 0), 0u) << page;
  EXPECT_TRUE(Has(page, "<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"1\">\r\n"));
  EXPECT_TRUE(Has(page, "</CENTER>\r\n\r\n</form>\r\n</body></html>\r\n"));
  EXPECT_TRUE(plat::FileExists(data + "_data.dat"));
}

TEST_F(Forum, PostViewAndReplyCarryTheMessage) {
  std::string posted = Post("Anna & Bo", "anna@example.org", "Hello \"world\"", "line1\r\nline2");
  EXPECT_TRUE(Has(posted, "set-cookie:NEWSGROUP=N%3DAnna%2B%2526%2BBo%26E%3Danna%2540example.org; Path=/; expires="));
  EXPECT_TRUE(Has(posted, "Your message have been posted !"));
  ASSERT_EQ(Records().size(), 1u);
  TNewsRecord message = Records()[0];
  EXPECT_EQ(message.Subject, "Hello &quot;world&quot;");
  EXPECT_EQ(message.Name, "Anna & Bo");

  const std::string id = std::to_string(message.Id);
  std::string view = Request("VIEWID=" + id);
  EXPECT_TRUE(Has(view, "<b>From:</b> Anna & Bo</font>"));
  EXPECT_TRUE(Has(view, "line1\r<BR>line2<BR><BR><BR> </font>"));
  EXPECT_TRUE(Has(view, "name=\"REPLYID\" value=\"" + id + "\""));

  std::string cookie = "NEWSGROUP=N%3DAnna%2B%2526%2BBo%26E%3Danna%2540example.org";
  std::string reply = Request("", "ACTION_REPLYMESSAGE=Reply&REPLYID=" + id, cookie);
  EXPECT_TRUE(Has(reply, "value=\"RE: Hello &quot;world&quot;\""));
  EXPECT_TRUE(Has(reply, "wrap=\"soft\">>line1\r\n>line2\r\n</textarea>"));
  // The remembered name is escaped where it lands in an attribute.
  EXPECT_TRUE(Has(reply, "name=\"NEWNAME\" value=\"Anna &amp; Bo\""));
  EXPECT_TRUE(Has(reply, "name=\"NEWEMAIL\" value=\"anna@example.org \""));

  Post("Bo", "bo@example.org", "RE: Hello", "answer", "&REPLYID=" + id);
  std::string list = Request("");
  size_t first = list.find("<TR><TD>1</TD>"), second = list.find("<TR><TD>2</TD>");
  ASSERT_NE(second, std::string::npos);
  EXPECT_TRUE(Has(list.substr(first, second - first), "VIEWID=" + id));
  EXPECT_TRUE(Has(list.substr(second), "NOWRAP>&nbsp;&nbsp;&nbsp;<A HREF"));
}

TEST_F(Forum, ViewOfNoMessageShowsTheList) {
  Post("a", "b", "c", "d");
  const std::string id = std::to_string(Records()[0].Id);
  for (std::string query : {"VIEWID=0", "VIEWID=-5", "VIEWID=12345"}) {
    EXPECT_TRUE(Has(Request(query), "<INPUT TYPE=HIDDEN NAME=\"PAGE\"")) << query;
  }
}

TEST_F(Forum, IncompletePostIsNotStoredAndSetsNoCookie) {
  for (int empty = 0; empty < 4; ++empty) {
    std::string fields[4] = {"n", "e", "s", "t"};
    fields[empty] = "";
    std::string page = Post(fields[0], fields[1], fields[2], fields[3]);
    EXPECT_TRUE(Has(page, "Message not stored !")) << empty;
    EXPECT_FALSE(Has(page, "set-cookie")) << empty;
  }
  EXPECT_TRUE(Records().empty());
}

TEST_F(Forum, AdministratorRemovesThroughTheReplyForm) {
  Post("a", "b", "first", "text");
  const int id = Records()[0].Id;
  Post("c", "d", "reply", "text", "&REPLYID=" + std::to_string(id));

  // A wrong password makes an ordinary message named tavik.
  Post("tavik", "wrong", "hi", "text");
  EXPECT_EQ(Records().size(), 3u);
  EXPECT_EQ(Records()[2].Name, "tavik");

  // Any other subject, or no REPLYID, changes nothing.
  EXPECT_TRUE(Has(Post("tavik", "lumo", "delete", "x", "&REPLYID=" + std::to_string(id)), "Message not stored !"));
  EXPECT_TRUE(Has(Post("tavik", "lumo", "remove", "x"), "Message not stored !"));
  EXPECT_EQ(Records().size(), 3u);

  std::string removed = Post("tavik", "lumo", "remove", "x", "&REPLYID=" + std::to_string(id));
  EXPECT_TRUE(Has(removed, "The message has been removed !"));
  ASSERT_EQ(Records().size(), 2u);
  EXPECT_EQ(Records()[0].Name, "c");
  EXPECT_EQ(Records()[0].ReplyId, 0);  // the direct reply now starts a thread
  EXPECT_FALSE(plat::FileExists(data + "_" + std::to_string(id) + ".txt"));

  // A number no message has still shows the removed page.
  EXPECT_TRUE(Has(Post("tavik", "lumo", "remove", "x", "&REPLYID=77"), "The message has been removed !"));
}

TEST_F(Forum, ReplyToAMissingMessageStartsAThread) {
  std::string form = Request("", "ACTION_REPLYMESSAGE=Reply&REPLYID=4242");
  EXPECT_TRUE(Has(form, "name=\"REPLYID\" value=\"0\""));
  EXPECT_TRUE(Has(form, "name=\"NEWSUBJECT\" value=\"RE: \""));
  EXPECT_TRUE(Has(form, "wrap=\"soft\">>\r\n</textarea>"));
}

TEST_F(Forum, NewMessageButtonWinsButThePostIsStored) {
  std::string page = Post("a", "b", "c", "d", "&ACTION_NEWMESSAGE=New");
  EXPECT_TRUE(Has(page, "name=\"NEWNAME\""));
  EXPECT_TRUE(Has(page, "name=\"REPLYID\" value=\"0\""));
  EXPECT_EQ(Records().size(), 1u);
}

TEST_F(Forum, OversizedBodyReachesTheForumWithoutFields) {
  std::string page = Post("a", "b", "c", std::string(11000, 'x'));
  EXPECT_TRUE(Has(page, "<INPUT TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"1\">"));
  EXPECT_TRUE(Records().empty());
}

TEST_F(Forum, ErrorBeforeOutputIsTheHeaderAndTheErrorLineAlone) {
  Write(".ini", "[Parameters]\r\nEntries=abc\r\n");
  EXPECT_EQ(Request(""), Html + "<html><body>'abc' ist kein g\xFCltiger Integerwert</body></html>\r\n");
}

TEST_F(Forum, ErrorPageEscapesTheMessage) {
  std::string page = Request("VIEWID=%3Cscript%3Ealert(1)%3C/script%3E");
  EXPECT_TRUE(Has(page, "<html><body>'&lt;script&gt;alert(1)&lt;/script&gt;' ist kein g\xFCltiger Integerwert"));
  EXPECT_FALSE(Has(page, "<script>"));
}

TEST_F(Forum, MissingTextFileShowsHeaderThenErrorWithoutFooter) {
  Write("_top.htm", "<p>TOP</p>");
  Write("_bottom.htm", "<p>BOTTOM</p>");
  Post("a", "b", "c", "d");
  const int id = Records()[0].Id;
  const std::string textFile = root + "/bin/../parlino/parlino_" + std::to_string(id) + ".txt";
  plat::DeleteFile(data + "_" + std::to_string(id) + ".txt");
  EXPECT_EQ(Request("VIEWID=" + std::to_string(id)),
            Html + "<p>TOP</p><html><body>Datei " + textFile + " kann nicht ge\xF6" "ffnet werden</body></html>\r\n");
}

TEST_F(Forum, PageFilesFrameEveryPage) {
  Write("_top.htm", "<html><p>TOP</p>");
  Write("_bottom.htm", "<p>BOTTOM</p></html>");
  Write("_command.htm", "Hello");
  std::string page = Request("");
  EXPECT_EQ(page.rfind(Html + "<html><p>TOP</p>Hello\r\n<BR>\r\n<INPUT TYPE=HIDDEN", 0), 0u) << page;
  EXPECT_EQ(page.substr(page.size() - 42), "</CENTER>\r\n\r\n</form>\r\n<p>BOTTOM</p></html>");
}

TEST_F(Forum, CraftedFieldsCannotInjectMarkup) {
  std::string page = Request("", "ACTION_NEWMESSAGE=1&thread=%22%3E%3Cscript%3E");
  EXPECT_TRUE(Has(page, "name=\"thread\" value=\"&quot;&gt;&lt;script&gt;\""));
  std::string cookie = "NEWSGROUP=N%3D%2522%253E%253Cscript%253E";
  EXPECT_TRUE(Has(Request("ACTION_NEWMESSAGE=1", "", cookie), "value=\"&quot;&gt;&lt;script&gt;\""));
}

TEST_F(Forum, MultipartPostEqualsTheUrlEncodedOne) {
  std::string body, type;
  const std::string dir = std::string(PARLINO_SOURCE_DIR) + "/tests/data/multipart/";
  ASSERT_TRUE(plat::ReadWholeFile(dir + "forum_post.body", body));
  ASSERT_TRUE(plat::ReadWholeFile(dir + "forum_post.type", type));
  type = type.substr(type.find(':') + 2);
  while (!type.empty() && (type.back() == '\n' || type.back() == '\r')) type.pop_back();
  EXPECT_TRUE(Has(Request("", body, "", type), "Your message have been posted !"));
  EXPECT_TRUE(Has(Post("Anna Beispiel", "anna@example.org", "Hello & welcome", "Hi all,\r\n\r\nthis is my first post.\r\nBye\r\n"),
                  "Your message have been posted !"));
  std::vector<TNewsRecord> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Subject, records[1].Subject);
  EXPECT_EQ(records[0].Name, records[1].Name);
  EXPECT_EQ(records[0].Email, records[1].Email);
  std::string first, second;
  ASSERT_TRUE(plat::ReadWholeFile(data + "_" + std::to_string(records[0].Id) + ".txt", first));
  ASSERT_TRUE(plat::ReadWholeFile(data + "_" + std::to_string(records[1].Id) + ".txt", second));
  EXPECT_EQ(first, second);
}
