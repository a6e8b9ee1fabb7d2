// The main window: it holds the forum's components with their property
// values, and the handlers that connect them: the request dispatcher, the
// page entries and the error page.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/GenEng.h"
#include "engine/HttpEngContext.h"
#include "engine/HUtilsCookie.h"
#include "engine/HUtilsFilter.h"
#include "forum/ParlinoFSettings.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatComponents.h"

// The built-in page templates.
struct TBuiltInPages {
  static const std::vector<std::string>& HtmlList();
  static const std::vector<std::string>& HtmlView();
  static const std::vector<std::string>& HtmlNew();
  static const std::vector<std::string>& HtmlNewOK();
  static const std::vector<std::string>& HtmlNewError();
  static const std::vector<std::string>& HtmlremoveOK();
};

// What one request of the forum works on: its settings, its pages' lines,
// its store and the message it shows. Kept in the engine's request record.
struct TForumRequest : TStatePart {
  TForumState State;
  TForumPages Pages;
  std::unique_ptr<TNewsNavigator> Navigator;
  TNewsRecord CurrentMessage;
  std::string CurrentText;
};
TForumRequest& ForumRequest();

class TForm1 : public plat::TForm {
 public:
  explicit TForm1(plat::TComponent* owner);

  TGeneralHttpEngine* GeneralHttpEngine1 = nullptr;
  THttpMemoFilter* HtmlList = nullptr;
  THttpMemoFilter* HtmlView = nullptr;
  THttpCookie* HttpCookie1 = nullptr;
  THttpMemoFilter* HtmlNewError = nullptr;
  THttpMemoFilter* HtmlNewOK = nullptr;
  THttpMemoFilter* HtmlNew = nullptr;
  THttpMemoFilter* HtmlremoveOK = nullptr;

  void GeneralHttpEngine1ExecRequest(TObject* Sender);
  void HtmlListHttpEntry(const std::string& EntryName, bool& Handled);
  void GeneralHttpEngine1RequestError(TObject* Sender, const plat::Exception& ErrorReason);

 private:
  THttpMemoFilter* NewTemplate(const char* name, const std::vector<std::string>& lines);
  // The value of a cookie pair (N or E) of the visitor cookie.
  std::string Remembered(const std::string& pair);
};
