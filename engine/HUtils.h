// Text and HTTP helpers, and the process-wide table of request-scope
// functions through which the template filter, the cookie component and the
// multipart reader reach the calling thread's request without knowing the
// engine classes.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/PlatFiles.h"

// Stands for a missing variable or field where "" would be ambiguous.
inline constexpr const char* NotAvailable = "#1NOT_AVAILABLE#1";

std::string UrlDecode(std::string_view text);
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

// The twelve request-scope functions, in their fixed order. Filled once at
// start-up by the engine core.
struct THttpFunctionTable {
  void (*HttpWrite)(const std::string& Text) = nullptr;                       // 0
  void (*HttpWriteLn)(const std::string& Text) = nullptr;                     // 1
  void (*HttpWriteData)(const void* Buffer, int Count) = nullptr;             // 2
  int (*HttpReadClient)(void* Buffer, int Count) = nullptr;                   // 3
  void (*HttpWriteHeader)(const std::string& Name, const std::string& Value) = nullptr;  // 4
  std::string (*HttpGetVariable)(const std::string& Name) = nullptr;          // 5
  std::string (*HttpGetField)(const std::string& Name, const std::string& Default) = nullptr;  // 6
  std::string (*HttpQueryString)() = nullptr;                                 // 7
  std::string (*HttpCookieString)() = nullptr;                                // 8
  std::string (*HttpExecutablePath)() = nullptr;                              // 9
  std::string (*HttpUserAgent)() = nullptr;                                   // 10
  void (*SetImageType)(int Kind) = nullptr;                                   // 11
};

THttpFunctionTable& HttpFunctions();
