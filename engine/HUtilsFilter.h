// The template filter: writes a page from template lines with entries
// between "%" or "#" and IF/ELSEIF/ELSE/ENDIF blocks, streaming every piece
// to HttpWrite through the request-scope function table.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/PlatComponents.h"

using THttpEntryEvent = std::function<void(const std::string& EntryName, bool& Handled)>;
using THttpLogicalEntryEvent = std::function<void(const std::string& EntryName, bool& Value)>;

class THttpTextFilterComponent : public plat::TComponent {
 public:
  explicit THttpTextFilterComponent(plat::TComponent* owner) : plat::TComponent(owner) {}
  THttpEntryEvent OnHttpEntry;
  THttpLogicalEntryEvent OnHttpLogicalEntry;
  // Expands one line; the caller has appended the line end.
  void FilterLine(const std::string& Line);
};

class THttpMemoFilter : public THttpTextFilterComponent {
 public:
  explicit THttpMemoFilter(plat::TComponent* owner) : THttpTextFilterComponent(owner) {}
  const std::vector<std::string>& Text() const { return text_; }
  void SetText(const std::vector<std::string>& lines) { text_ = lines; }
  // Resets the request's block stack and filters every line with CR LF
  // added: the component's own lines, or lines the request made.
  void Execute();
  void Execute(const std::vector<std::string>& Lines);

 private:
  std::vector<std::string> text_;
};
