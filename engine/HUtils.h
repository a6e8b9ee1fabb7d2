// Text and HTTP helpers, and the process-wide table of request-scope
// functions through which the template filter, the cookie component and the
// multipart reader reach the calling thread's request without knowing the
// engine classes.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PlatFiles.h"

// Stands for a missing variable or field where "" would be ambiguous.
inline constexpr const char* NotAvailable = "#1NOT_AVAILABLE#1";

std::string UrlDecode(std::string_view text);
// Every occurrence of Old in S replaced by New, in one pass.
std::string ReplaceAll(const std::string& Old, const std::string& New, std::string S);
// S without leading and trailing blanks and control characters.
std::string_view TrimView(std::string_view S);

// Calls visit(name, value) with the raw text of each name=value pair of
// Data (pairs end at "&"; a name runs to the first "=") until visit returns
// true. The one scan behind field and cookie lookups.
template <class Visit>
void ScanPairs(std::string_view Data, Visit visit) {
  for (size_t pos = 0;;) {
    const size_t eq = Data.find('=', pos);
    if (eq == std::string_view::npos) return;
    size_t amp = Data.find('&', eq + 1);
    if (amp == std::string_view::npos) amp = Data.size();
    if (visit(Data.substr(pos, eq - pos), Data.substr(eq + 1, amp - eq - 1))) return;
    pos = amp + 1;
  }
}
std::string UrlEncode(std::string_view text);
bool IsHexDigit(char c);
// Replaces & < > " by their entities, for text that must not become markup.
std::string HtmlEscape(const std::string& text);

// The value of field Name in the field-data string Data; all values of a
// repeated field joined by CR LF; Default when absent.
std::string GetFieldValue(const std::string& Name, const std::string& Data,
                          const std::string& Default);
std::vector<std::string> GetFieldNamesOf(const std::string& Data);

// RFC 1123 date in GMT of a local OLE date-time.
std::string HttpDate(double localDateTime);
// "" when absent; for SERVER_SOFTWARE a value containing "ZB" reads as "".
std::string GetEnvVar(const std::string& Name);
// The program file, or the module file inside a loaded library.
std::string ModuleFileName();
std::string BuildFileName(const std::string& Base, const std::string& Dir,
                          const std::string& Ext, const std::string& Name);
// 0 when a matching file or directory exists, else the system's error code.
int FindFile(const std::string& Path, int Attributes, plat::TSearchRec& Record);

// The twelve request-scope functions, in their fixed order (checked below).
// Filled once at start-up by the engine core.
struct THttpFunctionTable {
  void (*HttpWrite)(const std::string& Text) = nullptr;
  void (*HttpWriteLn)(const std::string& Text) = nullptr;
  void (*HttpWriteData)(const void* Buffer, int Count) = nullptr;
  int (*HttpReadClient)(void* Buffer, int Count) = nullptr;
  void (*HttpWriteHeader)(const std::string& Name, const std::string& Value) = nullptr;
  std::string (*HttpGetVariable)(const std::string& Name) = nullptr;
  std::string (*HttpGetField)(const std::string& Name, const std::string& Default) = nullptr;
  std::string (*HttpQueryString)() = nullptr;
  std::string (*HttpCookieString)() = nullptr;
  std::string (*HttpExecutablePath)() = nullptr;
  std::string (*HttpUserAgent)() = nullptr;
  void (*SetImageType)(int Kind) = nullptr;
};

#define PARLINO_SLOT(field, slot) \
  static_assert(offsetof(THttpFunctionTable, field) == (slot) * sizeof(void (*)()), #field " is slot " #slot)
PARLINO_SLOT(HttpWrite, 0);
PARLINO_SLOT(HttpWriteLn, 1);
PARLINO_SLOT(HttpWriteData, 2);
PARLINO_SLOT(HttpReadClient, 3);
PARLINO_SLOT(HttpWriteHeader, 4);
PARLINO_SLOT(HttpGetVariable, 5);
PARLINO_SLOT(HttpGetField, 6);
PARLINO_SLOT(HttpQueryString, 7);
PARLINO_SLOT(HttpCookieString, 8);
PARLINO_SLOT(HttpExecutablePath, 9);
PARLINO_SLOT(HttpUserAgent, 10);
PARLINO_SLOT(SetImageType, 11);
#undef PARLINO_SLOT

THttpFunctionTable& HttpFunctions();
