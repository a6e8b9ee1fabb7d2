// The built-in page templates, used where no page file replaces them.
#include "forum/ParlinoF.h"

const std::vector<std::string>& TBuiltInPages::HtmlList() {
  static const std::vector<std::string> lines = {
      R"(<form method="post" action="%SCRIPT_NAME%">)",
      R"(<table border="1" width="100%" bgcolor="#F2F2F2" cellspacing="0" cellpadding="0">)",
      R"(<tr>)",
      R"(<td width="33%" align="center"><input type="submit" name="ACTION_SEARCH_FIRST" value="&nbsp;&nbsp;&nbsp;Refresh&nbsp;&nbsp;&nbsp;"> <input type="checkbox" name="nothread" value="yes" %NOTHREAD_CHECKED%><font face="Arial">No Replies </font></td>)",
      R"(<td width="33%" align="center"><input type="submit" name="ACTION_NEWMESSAGE" value="New Message"></td>)",
      R"(</tr>)",
      R"(</table>)",
      "",
  };
  return lines;
}

const std::vector<std::string>& TBuiltInPages::HtmlView() {
  static const std::vector<std::string> lines = {
      R"(<form method="post" action="%SCRIPT_NAME%">)",
      R"(<input type="hidden" name="REPLYID" value="%REPLYID%">)",
      R"(<input type="hidden" name="PAGE" value="%PAGE%">)",
      R"(<input type="hidden" name="thread" value="%THREAD%">)",
      R"(<table width="100%" border="1" bgcolor="#C0C0C0" cellspacing="0" cellpadding="0">)",
      R"(<tr>)",
      R"(<td bgcolor="#F0F0F0"><font face="Arial"><b>From:</b> %VIEWNAME%</font></td>)",
      R"(<td bgcolor="#F0F0F0"><font face="Arial"><b>Email:</b> <a href="MAILTO:%VIEWEMAIL%">%VIEWEMAIL%</a></font></td>)",
      R"(</tr>)",
      R"(<tr><td colspan="2"><font face="Arial"><b>Subject:</b> %VIEWSUBJECT%</font></td></tr>)",
      R"(<tr><td colspan="2" bgcolor="WHITE"><font face="Arial">%VIEWTEXT% </font></td></tr>)",
      R"(</table>)",
      R"(<p align="center"><input type="submit" value="Back"> <input type="submit" name="ACTION_REPLYMESSAGE" value="Reply"></p>)",
      R"(</form>)",
      "",
  };
  return lines;
}

const std::vector<std::string>& TBuiltInPages::HtmlNew() {
  static const std::vector<std::string> lines = {
      R"(<form method="post" action="%SCRIPT_NAME%">)",
      R"(<input type="hidden" name="REPLYID" value="%REPLYID%">)",
      R"(<input type="hidden" name="thread" value="%THREAD%">)",
      R"(<input type="hidden" name="PAGE" value="%PAGE%">)",
      R"(<center>)",
      R"(<table border="0">)",
      R"(<tr><td><font face="Arial">Name:</font></td><td><input type="text" name="NEWNAME" value="%LASTNAME%" size="28"></td></tr>)",
      R"(<tr><td><font face="Arial">Email:</font></td><td><input type="text" name="NEWEMAIL" value="%LASTEMAIL% " size="48"></td></tr>)",
      R"(<tr><td><font face="Arial">Subject:</font></td><td><input type="text" name="NEWSUBJECT" value="%REPLYSUBJECT%" size="44"></td></tr>)",
      R"(<tr><td colspan="2"><textarea name="NEWTEXT" cols="80" rows="12" wrap="soft">%REPLYTEXT%</textarea></td></tr>)",
      R"(<tr><td colspan="2" align="center"><input type="submit" name="ACTION_SEARCH_FIRST" value="&nbsp;&nbsp;Back&nbsp;&nbsp;"> <input type="submit" name="ACTION_NEWMESSAGE_POST" value="&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;Post&nbsp;&nbsp;&nbsp;&nbsp;"> <input type="reset" value="&nbsp;&nbsp;Reset&nbsp;"></td></tr>)",
      R"(</table>)",
      R"(</center>)",
      R"(</form>)",
      "",
  };
  return lines;
}

namespace {

std::vector<std::string> Confirmation(const char* text) {
  return {
      R"(<form method="post" action="%SCRIPT_NAME%">)",
      R"(<input type="hidden" name="thread" value="%THREAD%">)",
      R"(<input type="hidden" name="PAGE" value="%PAGE%">)",
      std::string(R"(<center><font face="Arial" size="5">)") + text + "</font>",
      R"(<br><br>)",
      R"(<input type="submit" value="&nbsp;&nbsp;&nbsp;OK&nbsp;&nbsp;&nbsp;"></center>)",
      R"(</form>)",
  };
}

}  // namespace

const std::vector<std::string>& TBuiltInPages::HtmlNewOK() {
  static const std::vector<std::string> lines = Confirmation("Your message have been posted !");
  return lines;
}

const std::vector<std::string>& TBuiltInPages::HtmlremoveOK() {
  static const std::vector<std::string> lines = Confirmation("The message has been removed !");
  return lines;
}

const std::vector<std::string>& TBuiltInPages::HtmlNewError() {
  static const std::vector<std::string> lines = {
      R"(<p align="center"><font face="Arial" size="5">Message not stored !</font></p>)",
      R"(<p align="center"><font face="Arial" size="2">All fields must be entered to allow posting)",
      R"(the message.<br>Use the Back Button of your Browser to complete the message.</font></p>)",
      "",
  };
  return lines;
}
