// The forum's pages and how a request's fields choose among them; through
// Windows CGI profiles the same pages and stored data as through standard CGI
// (both without a status line, as behind Apache).
#include <regex>

#include "tests/support/ForumFixture.h"
#include "tests/support/ResidentSite.h"

namespace {

class Forum : public ForumSite {};

const std::string Hidden = "<input type=\"hidden\" name=\"", Arial = "<font face=\"Arial\">";

std::string Confirmation(const std::string& thread, const std::string& text) {
  return Html + Head + Form + Hidden + "thread\" value=\"" + thread + "\">\r\n" + Hidden + "PAGE\" value=\"2\">\r\n"
         "<center><font face=\"Arial\" size=\"5\">" + text + "</font>\r\n<br><br>\r\n<input type=\"submit\" "
         "value=\"&nbsp;&nbsp;&nbsp;OK&nbsp;&nbsp;&nbsp;\"></center>\r\n</form>\r\n" + End;
}
std::string NewForm(const std::string& id, const std::string& thread, const std::string& name,
                    const std::string& email, const std::string& subject, const std::string& text) {
  return Html + Head + Form + Hidden + "REPLYID\" value=\"" + id + "\">\r\n" + Hidden + "thread\" value=\"" + thread +
         "\">\r\n" + Hidden + "PAGE\" value=\"2\">\r\n<center>\r\n<table border=\"0\">\r\n<tr><td>" + Arial + "Name:<"
         "/font></td><td><input type=\"text\" name=\"NEWNAME\" value=\"" + name + "\" size=\"28\"></td></tr>\r\n<tr>"
         "<td>" + Arial + "Email:</font></td><td><input type=\"text\" name=\"NEWEMAIL\" value=\"" + email + " \" "
         "size=\"48\"></td></tr>\r\n<tr><td>" + Arial + "Subject:</font></td><td><input type=\"text\" "
         "name=\"NEWSUBJECT\" value=\"" + subject + "\" size=\"44\"></td></tr>\r\n<tr><td colspan=\"2\"><textarea "
         "name=\"NEWTEXT\" cols=\"80\" rows=\"12\" wrap=\"soft\">" + text + "</textarea></td></tr>\r\n<tr><td "
         "colspan=\"2\" align=\"center\"><input type=\"submit\" name=\"ACTION_SEARCH_FIRST\" "
         "value=\"&nbsp;&nbsp;Back&nbsp;&nbsp;\"> <input type=\"submit\" name=\"ACTION_NEWMESSAGE_POST\" "
         "value=\"&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;Post&nbsp;&nbsp;&nbsp;&nbsp;\"> <input type=\"reset\" "
         "value=\"&nbsp;&nbsp;Reset&nbsp;\"></td></tr>\r\n</table>\r\n</center>\r\n</form>\r\n\r\n" + End;
}

std::string NoExpiry(const std::string& page) { return std::regex_replace(page, std::regex("expires=[^\r]*"), ""); }

TEST_F(Forum, WritesEveryPageByteForByteAndPageFilesReplaceTheBuiltInOnes) {
  // The hidden fields travel through every form, escaped: no markup gets in.
  const std::string state = "&PAGE=2&thread=t%22%3E%3Cs", thread = "t&quot;&gt;&lt;s";
  const std::string cookie = "NEWSGROUP=N%3DAnna%2B%2522B%2522%2B%2526%2BCo%26E%3Danna%2540example.org";
  const std::string sent = "set-cookie:" + cookie + "; Path=/; expires=" + HttpDate(plat::Now() + 60).substr(0, 16);
  const std::string posted = Post("Anna \"B\" & Co", "anna@example.org", "Hi <all>", "l1\r\nl2\n<b>", state);
  EXPECT_EQ(posted.substr(0, sent.size()), sent);  // kept 60 days
  EXPECT_EQ(posted.substr(posted.find("\r\n") + 2), Confirmation(thread, "Your message have been posted !"));
  // A request as a Windows CGI server writes it; external fields go to files.
  auto winRequest = [&](const std::string& query, const std::string& form = "", const std::string& cookies = "",
                        const std::map<std::string, std::string>& external = {}) {
    std::string profile = "[CGI]\r\nRequest Method=" + std::string(form.empty() && external.empty() ? "GET" : "POST") +
                          "\r\nQuery String=" + query + "\r\nExecutable Path=/cgi-bin/parlino\r\n[System]\r\n"
                          "Output File={D}/out\r\n[Extra Headers]\r\nCookie=" + cookies + "\r\n[Form Literal]\r\n" +
                          form + "[Form External]\r\n";
    for (const auto& [name, value] : external)
      profile += name + "={D}/" + name + " " + std::to_string(value.size()) + "\r\n";
    const TProfileRun r = ServeProfile(program, profile, external);
    EXPECT_EQ(r.Output + std::to_string(r.ExitCode), "0");
    return r.file;
  };
  // The same post through a Windows CGI profile, the text in Form External: the same page and text file.
  const std::string win = winRequest("", "NEWNAME=Anna \"B\" & Co\r\nNEWEMAIL=anna@example.org\r\nNEWSUBJECT=Hi <all>"
                                     "\r\nPAGE=2\r\nthread=t\"><s\r\nACTION_NEWMESSAGE_POST=Post\r\n", "",
                                     {{"NEWTEXT", "l1\r\nl2\n<b>"}});
  EXPECT_EQ(NoExpiry(win), NoExpiry(posted));
  EXPECT_EQ(ReadFile(TextFile(Records().at(1).Id)), "l1\r\nl2\n<b>");  // the count of the external file, exactly

  const std::string id = std::to_string(Records().at(0).Id);
  EXPECT_EQ(Request("VIEWID=" + id + state), Html + Head + Form + Hidden + "REPLYID\" value=\"" + id + "\">\r\n" +
            Hidden + "PAGE\" value=\"2\">\r\n" + Hidden + "thread\" value=\"" + thread + "\">\r\n<table "
            "width=\"100%\" border=\"1\" bgcolor=\"#C0C0C0\" cellspacing=\"0\" cellpadding=\"0\">\r\n<tr>\r\n<td "
            "bgcolor=\"#F0F0F0\"><font face=\"Arial\"><b>From:</b> Anna &quot;B&quot; & Co</font></td>\r\n<td "
            "bgcolor=\"#F0F0F0\"><font face=\"Arial\"><b>Email:</b> <a href=\"MAILTO:anna@example.org\">"
            "anna@example.org</a></font></td>\r\n</tr>\r\n<tr><td colspan=\"2\"><font face=\"Arial\"><b>Subject:</b> "
            "Hi &lt;all&gt;</font></td></tr>\r\n<tr><td colspan=\"2\" bgcolor=\"WHITE\"><font face=\"Arial\">l1\r<BR>"
            "l2<BR><b><BR><BR><BR> </font></td></tr>\r\n</table>\r\n<p align=\"center\"><input type=\"submit\" "
            "value=\"Back\"> <input type=\"submit\" name=\"ACTION_REPLYMESSAGE\" value=\"Reply\"></p>\r\n</form>\r\n"
            "\r\n" + End);
  EXPECT_EQ(winRequest("", "ACTION_REPLYMESSAGE=Reply\r\nREPLYID=" + id + "\r\n", cookie),
            Request("", "ACTION_REPLYMESSAGE=Reply&REPLYID=" + id, cookie));
  // The reply form quotes the message; the visitor's cookie fills name and e-mail.
  EXPECT_EQ(Request("", "ACTION_REPLYMESSAGE=Reply&REPLYID=" + id + state, cookie),
            NewForm(id, thread, "Anna &quot;B&quot; &amp; Co", "anna@example.org", "RE: Hi &lt;all&gt;",
                    ">l1\r\n>l2\n<b>\r\n"));
  EXPECT_EQ(Request("ACTION_NEWMESSAGE=New" + state), NewForm("0", thread, "", "", "", ""));
  // The administrator's post of a number, but not to remove it, stores nothing either.
  EXPECT_EQ(Post("tavik", "lumo", "x", "y", state + "&REPLYID=" + id), Html + Head + "<p align=\"center\"><font "
            "face=\"Arial\" size=\"5\">Message not stored !</font></p>\r\n<p align=\"center\"><font face=\"Arial\" "
            "size=\"2\">All fields must be entered to allow posting\r\nthe message.<br>Use the Back Button of your "
            "Browser to complete the message.</font></p>\r\n\r\n" + End);
  EXPECT_EQ(Post("tavik", "lumo", "remove", "y", state + "&REPLYID=" + id),
            Confirmation(thread, "The message has been removed !"));
  // Refused, storing nothing and setting no cookie: a post missing a field, and the administrator's without a number.
  for (const std::string body : {"NEWEMAIL=e&NEWSUBJECT=s&NEWTEXT=t", "NEWNAME=n&NEWEMAIL=&NEWSUBJECT=s&NEWTEXT=t",
                                 "NEWNAME=n&NEWEMAIL=e&NEWSUBJECT=&NEWTEXT=t", "NEWNAME=n&NEWEMAIL=e&NEWSUBJECT=s",
                                 "NEWNAME=tavik&NEWEMAIL=lumo&NEWSUBJECT=remove&NEWTEXT=t"}) {
    const std::string page = Request("", "ACTION_NEWMESSAGE_POST=1&" + body);
    EXPECT_TRUE(Has(page, "Message not stored !") && !Has(page, "set-cookie:")) << body;
    EXPECT_EQ(Records().size(), 1u) << body;
  }

  // Threads newest first, each reply beneath its parent, newest first; or all flat, newest first.
  Store({Message(11, 0, "A"), Message(22, 0, "B", plat::EncodeDateTime({2024, 5, 7, 0, 0, 0, 0})),
         Message(33, 11, "A1"), Message(44, 11, "A2"), Message(55, 33, "A11")});
  WriteFile(data + "_data.dat", ReadFile(data + "_data.dat") + std::string(100, '\x01'));  // a torn append
  auto row = [](int n, int id, const std::string& indent, const std::string& subject, const std::string& mode) {
    return "<TR><TD>" + std::to_string(n) + "</TD><TD BGCOLOR=\"WHITE\" WIDTH=65% NOWRAP>" + indent + "<A "
           "HREF=\"/cgi-bin/parlino?VIEWID=" + std::to_string(id) + "&NOTHREAD=" + mode + "&PAGE=1\">" + subject +
           "</A></TD><TD BGCOLOR=\"WHITE\" NOWRAP>From " + subject + "</TD><TD BGCOLOR=\"WHITE\" NOWRAP WIDTH=10%>" +
           (subject == "B" ? "07.05.2024" : "06.05.2024 07:08:09") + "</TD></TR>\r\n";  // midnight: the date alone
  };
  const std::string step = "&nbsp;&nbsp;&nbsp;", mode = "a+b%26c%3Dd";  // the mode's value travels URL-encoded
  const std::string threaded = row(1, 22, "", "B", "") + row(2, 11, "", "A", "") + row(3, 44, step, "A2", "") +
                               row(4, 33, step, "A1", "") + row(5, 55, step + step, "A11", "");
  const std::string flat = row(1, 55, "", "A11", mode) + row(2, 44, "", "A2", mode) + row(3, 33, "", "A1", mode) +
                           row(4, 22, "", "B", mode) + row(5, 11, "", "A", mode);
  for (const std::string query : {"", "NOTHREAD=", "NOTHREAD=a+b%26c%3Dd"})
    EXPECT_EQ(Request(query), Html + Head + Form + "<table border=\"1\" width=\"100%\" bgcolor=\"#F2F2F2\" "
              "cellspacing=\"0\" cellpadding=\"0\">\r\n<tr>\r\n<td width=\"33%\" align=\"center\"><input "
              "type=\"submit\" name=\"ACTION_SEARCH_FIRST\" value=\"&nbsp;&nbsp;&nbsp;Refresh&nbsp;&nbsp;&nbsp;\"> "
              "<input type=\"checkbox\" name=\"nothread\" value=\"yes\" " + (query.size() > 9 ? "CHECKED" : "") +
              ">" + Arial + "No Replies </font></td>\r\n<td width=\"33%\" align=\"center\"><input type=\"submit\" "
              "name=\"ACTION_NEWMESSAGE\" value=\"New Message\"></td>\r\n</tr>\r\n</table>\r\n\r\n<BR>\r\n<INPUT "
              "TYPE=HIDDEN NAME=\"PAGE\" VALUE=\"1\">\r\n<div align=\"center\"><center>" + Arial + "<TABLE BORDER "
              "BGCOLOR=#FFFFFF WIDTH=100%>\r\n<TR><TH WIDTH=1></TH><TH>Subject</TH><TH>Sender</TH><TH>Time</TH></TR>"
              "\r\n" + (query.size() > 9 ? flat : threaded) + "</TABLE></Font></center></div>\r\n<CENTER>\r\n"
              "</CENTER>\r\n\r\n</form>\r\n" + End);
  Post("n", "e", "after", "t");  // over the torn record: the five before it stay whole
  EXPECT_TRUE(Records().size() == 6 && Records()[4].Id == 55 && Records()[5].Subject == "after");

  // Page files replace the built-in pages.
  const std::pair<const char*, const char*> files[] = {{"_top.htm", "<html>TOP "}, {"_bottom.htm", " BOTTOM</html>"},
      {"_command.htm", "L1\r\nL2"}, {"_newentry.htm", "N1\nN2 %REPLYID%\n"}, {"_viewentry.htm", "V1\rV2 %VIEWSUBJECT%\r\r\n"}};
  for (const auto& [suffix, text] : files) WriteFile(data + suffix, text);
  const std::string top = Html + "<html>TOP ", bottom = " BOTTOM</html>";
  EXPECT_EQ(Request("ACTION_NEWMESSAGE=1"), top + "N1\r\nN2 0\r\n" + bottom);
  EXPECT_EQ(Request("VIEWID=" + std::to_string(Records()[5].Id)), top + "V1\r\nV2 after\r\n\r\n" + bottom);
  // The error's message, escaped, ends the page: no footer follows.
  const std::string number = "' ist kein g\xFCltiger Integerwert" + End, open = " kann nicht ge\xF6" "ffnet werden";
  EXPECT_EQ(Request("VIEWID=%3Cb%3E"), top + "<html><body>'&lt;b&gt;" + number);
  EXPECT_EQ(Request("PAGE=x"), top + "L1\r\nL2\r\n<BR>\r\n<html><body>'x" + number);
  fs::remove(data + "_viewentry.htm");
  fs::create_directory(data + "_viewentry.htm");  // fails the settings step, before anything is written
  EXPECT_EQ(Request(""), Html + "<html><body>Datei " + root.string() + "/bin/../parlino/parlino_viewentry.htm" + open +
                             End);
}

}  // namespace
