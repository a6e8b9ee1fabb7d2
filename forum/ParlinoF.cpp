#include "forum/ParlinoF.h"

#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "platform/PlatFiles.h"
#include "platform/PlatText.h"

namespace {

std::string Field(const std::string& name) { return HttpGetField(name, ""); }

// The head of a page without "_top.htm". Texts are stored as windows-1252
// bytes and the header names no charset, so the page must. The style lets
// the built-in pages, written for a desktop browser, fit a phone: below
// 640 px tables take the screen's width (whatever WIDTH or Tablewidth says),
// NOWRAP cells wrap and fields fill their cells. Links and the cells that
// hold visitors' words break long words anywhere; the list's time cells
// (WIDTH=10%) and the captions keep theirs, or a narrow table would squeeze
// them to a letter a line.
constexpr const char* PageHead =
    "<!DOCTYPE html>\r\n<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
    "<title>Orvane Parlino</title>\r\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\r\n"
    "<style>\r\n"
    "html{-webkit-text-size-adjust:100%;text-size-adjust:100%}\r\n"
    "a,td[colspan],td[nowrap]:not([width=\"10%\"]){overflow-wrap:anywhere}\r\n"
    "img{max-width:100%;height:auto}\r\n"
    "pre{white-space:pre-wrap}\r\n"
    "@media (max-width:640px){\r\n"
    "table{width:100%}\r\n"
    "td,th{white-space:normal}\r\n"
    "input,textarea{font-size:16px}\r\n"
    "input[type=text],textarea{width:100%;box-sizing:border-box}\r\n"
    "}\r\n"
    "</style></head>\r\n<body>\r\n";

// The page header or footer file, copied to the response as it stands.
bool CopyPageFile(const std::string& fileName) {
  if (!plat::FileExists(fileName)) return false;
  std::string contents;
  if (!plat::ReadWholeFile(fileName, contents)) throw plat::EFOpenError(fileName);
  HttpWrite(contents);
  return true;
}

// Every line of the body becomes ">" + the line + CR LF.
std::string QuoteBody(const std::string& body) {
  std::string rest = body;
  rest.append("\r\n");
  std::string quoted;
  size_t start = 0;
  for (size_t end; (end = rest.find("\r\n", start)) != std::string::npos; start = end + 2) {
    quoted.push_back('>');
    quoted.append(rest, start, end + 2 - start);
  }
  return quoted;
}

std::string ReplaceLineFeeds(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '\n') out += "<BR>";
    else out += c;
  }
  return out;
}

}  // namespace

TForumRequest& ForumRequest() { return CurrentRequest().Parts.Get<TForumRequest>(); }

TForm1::TForm1(plat::TComponent* owner) : plat::TForm(owner) {
  SetName("Form1");
  Caption = "Orvane Parlino";
  Minimized = true;

  GeneralHttpEngine1 = new TGeneralHttpEngine(this);
  GeneralHttpEngine1->SetName("GeneralHttpEngine1");
  GeneralHttpEngine1->SetAutoContentType("text/html");
  GeneralHttpEngine1->SetAutoReadLimit(10000);
  GeneralHttpEngine1->SetBufferedOutput(false);
  GeneralHttpEngine1->CGIMode = TCGIMode::NormalMode;
  GeneralHttpEngine1->CgiAutoTerminate = true;
  GeneralHttpEngine1->SetSessionName("DefaultSession");
  GeneralHttpEngine1->SetNoCache(false);
  GeneralHttpEngine1->SetOnExecRequest([this](TObject* sender) { GeneralHttpEngine1ExecRequest(sender); });
  GeneralHttpEngine1->SetOnRequestError(
      [this](TObject* sender, const plat::Exception& error) { GeneralHttpEngine1RequestError(sender, error); });

  HtmlList = NewTemplate("HtmlList", TBuiltInPages::HtmlList());
  HtmlView = NewTemplate("HtmlView", TBuiltInPages::HtmlView());
  HttpCookie1 = new THttpCookie(this);
  HttpCookie1->SetName("HttpCookie1");
  HttpCookie1->CookieName = "NEWSGROUP";
  HttpCookie1->Secure = false;
  HttpCookie1->Coded = false;
  HtmlNewError = NewTemplate("HtmlNewError", TBuiltInPages::HtmlNewError());
  HtmlNewOK = NewTemplate("HtmlNewOK", TBuiltInPages::HtmlNewOK());
  HtmlNew = NewTemplate("HtmlNew", TBuiltInPages::HtmlNew());
  HtmlremoveOK = NewTemplate("HtmlremoveOK", TBuiltInPages::HtmlremoveOK());
}

THttpMemoFilter* TForm1::NewTemplate(const char* name, const std::vector<std::string>& lines) {
  auto* filter = new THttpMemoFilter(this);
  filter->SetName(name);
  filter->SetText(lines);
  filter->OnHttpEntry = [this](const std::string& entry, bool& handled) { HtmlListHttpEntry(entry, handled); };
  return filter;
}

void TForm1::GeneralHttpEngine1ExecRequest(TObject*) {
  TForumRequest& request = ForumRequest();
  const TForumState& state = request.State;
  TForumPages& pages = request.Pages;
  pages.HtmlList.BuiltIn = &HtmlList->Text();
  pages.HtmlNew.BuiltIn = &HtmlNew->Text();
  pages.HtmlView.BuiltIn = &HtmlView->Text();
  pages.HtmlNewError.BuiltIn = &HtmlNewError->Text();
  pages.HtmlNewOK.BuiltIn = &HtmlNewOK->Text();
  pages.HtmlremoveOK.BuiltIn = &HtmlremoveOK->Text();
  // The settings step comes first: nothing has been written yet.
  LoadSettings(ModuleFileName(), request.State, pages);
  request.Navigator = std::make_unique<TNewsNavigator>(state.FilePrefix + "_data.dat", state, *HttpCookie1);

  const bool post = !Field("ACTION_NEWMESSAGE_POST").empty();
  // An empty password turns administration off rather than granting it to an empty e-mail field.
  const bool admin = !state.Settings.Password.empty() && Field("NEWNAME") == AdminName &&
                     Field("NEWEMAIL") == state.Settings.Password;
  const bool complete = !Field("NEWSUBJECT").empty() && !Field("NEWNAME").empty() &&
                        !Field("NEWEMAIL").empty() && !Field("NEWTEXT").empty();
  // Storing sets the visitor cookie, a header line: before any page text.
  if (post && !admin && complete) request.Navigator->AddMessage();

  if (!CopyPageFile(state.FilePrefix + "_top.htm")) {
    HttpWrite(PageHead);
  }

  if (!Field("ACTION_NEWMESSAGE").empty()) {
    HtmlNew->Execute(pages.HtmlNew.Lines());
  } else if (!Field("ACTION_REPLYMESSAGE").empty()) {
    request.Navigator->LoadMessage(plat::StrToInt(HttpGetField("REPLYID", "0")), request.CurrentMessage,
                                   request.CurrentText);
    HtmlNew->Execute(pages.HtmlNew.Lines());
  } else if (post) {
    if (!Field("REPLYID").empty() && Field("NEWSUBJECT") == "remove" && admin) {
      request.Navigator->RemoveMessage(plat::StrToInt(Field("REPLYID")));
      HtmlremoveOK->Execute(pages.HtmlremoveOK.Lines());
    } else if (admin || !complete) {
      HtmlNewError->Execute(pages.HtmlNewError.Lines());
    } else {
      HtmlNewOK->Execute(pages.HtmlNewOK.Lines());
    }
  } else {
    const int id = plat::StrToInt(HttpGetField("VIEWID", "0"));
    if (request.Navigator->LoadMessage(id, request.CurrentMessage, request.CurrentText)) {
      HtmlView->Execute(pages.HtmlView.Lines());
    } else {
      HtmlList->Execute(pages.HtmlList.Lines());
      // The list follows the template's own lines, in the same blocks.
      for (const std::string& line : ListTemplateTail()) HtmlList->FilterLine(line + "\r\n");
    }
  }
  request.Navigator.reset();

  if (!CopyPageFile(state.FilePrefix + "_bottom.htm")) HttpWrite("</body></html>\r\n");
}

std::string TForm1::Remembered(const std::string& pair) {
  std::string cookie;
  HttpCookie1->GetCookie("", cookie);
  return GetFieldValue(pair, cookie, "");
}

void TForm1::HtmlListHttpEntry(const std::string& EntryName, bool& Handled) {
  TForumRequest& request = ForumRequest();
  const TNewsRecord& message = request.CurrentMessage;
  const std::string name = plat::AnsiUpperCase(EntryName);
  if (name == "NEWSLIST") {
    if (request.Navigator) request.Navigator->WriteNewsList();
  } else if (name == "LASTEMAIL") {
    // The cookie is the visitor's own input: never markup.
    HttpWrite(HtmlEscape(Remembered("E")));
  } else if (name == "LASTNAME") {
    HttpWrite(HtmlEscape(Remembered("N")));
  } else if (name == "VIEWTEXT") {
    HttpWrite(ReplaceLineFeeds(request.CurrentText) + "<BR><BR><BR>");
  } else if (name == "VIEWSUBJECT") {
    HttpWrite(message.Subject);
  } else if (name == "VIEWNAME") {
    HttpWrite(message.Name);
  } else if (name == "VIEWEMAIL") {
    HttpWrite(message.Email);
  } else if (name == "NOTHREAD_CHECKED") {
    if (!Field("NOTHREAD").empty()) HttpWrite("CHECKED");
  } else if (name == "REPLYID") {
    HttpWrite(plat::IntToStr(message.Id));
  } else if (name == "PAGE") {
    if (request.Navigator) HttpWrite(plat::IntToStr(request.Navigator->CurrentPage()));
  } else if (Field("ACTION_REPLYMESSAGE").empty()) {
    Handled = false;
  } else if (name == "REPLYSUBJECT") {
    HttpWrite("RE: " + message.Subject);
  } else if (name == "REPLYTEXT") {
    HttpWrite(QuoteBody(request.CurrentText));
  } else {
    Handled = false;
  }
}

void TForm1::GeneralHttpEngine1RequestError(TObject*, const plat::Exception& ErrorReason) {
  // Messages quote the offending input (a crafted VIEWID, say): escape it.
  HttpWriteLn("<html><body>" + HtmlEscape(ErrorReason.Message()) + "</body></html>");
}
