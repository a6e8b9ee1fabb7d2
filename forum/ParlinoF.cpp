#include "forum/ParlinoF.h"

#include "engine/HUtils.h"

TForm1::TForm1(plat::TComponent* owner) : plat::TForm(owner) {
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
  GeneralHttpEngine1->SetOnExecRequest([this](TObject* Sender) { GeneralHttpEngine1ExecRequest(Sender); });
  GeneralHttpEngine1->SetOnRequestError(
      [this](TObject* Sender, const plat::Exception& e) { GeneralHttpEngine1RequestError(Sender, e); });
}

namespace {
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}
}  // namespace

// Until the forum's pages exist, the program shows what the request carried.
void TForm1::GeneralHttpEngine1ExecRequest(TObject*) {
  HttpWriteLn("<html><body><h1>Orvane Parlino</h1><table border=1>");
  for (const std::string& name : GeneralHttpEngine1->GetFieldNames()) {
    std::string value;
    GeneralHttpEngine1->GetField(name, "", value);
    HttpWriteLn("<tr><td>" + Escape(name) + "</td><td>" + Escape(value) + "</td></tr>");
  }
  HttpWriteLn("</table></body></html>");
}

void TForm1::GeneralHttpEngine1RequestError(TObject*, const plat::Exception& ErrorReason) {
  HttpWriteLn("<html><body>" + Escape(ErrorReason.Message()) + "</body></html>");
}
