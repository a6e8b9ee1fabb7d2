// The ISAPI engine: the program loaded into a web server as its extension
// (one RunRequest per HttpExtensionProc) and its filter (notifications handed
// to the application's event). One engine serves every server thread; what
// belongs to a call lives in the calling thread's fields.
#pragma once
#include <atomic>
#include <string>

#include "adapters/IsapiRec.h"
#include "engine/GenEng.h"
#include "engine/HttpEng.h"

struct TIsapiThreadFields : TStatePart {
  EXTENSION_CONTROL_BLOCK* ControlBlock = nullptr;  // during HttpExtensionProc only
  THTTP_FILTER_CONTEXT* FilterContext = nullptr;    // during HttpFilterProc only
  DWORD FilterNotification = 0;
  DWORD ReadPosition = 0;      // preloaded bytes handed out
  long long RemainingBytes = 0;  // body bytes still with the server
  std::string RawSendText;     // collected during a send-raw-data notification, then dropped
  std::string RawCookie;       // of the raw headers of this thread's last read-raw-data notification
};
TIsapiThreadFields& IsapiThreadFields();

class TISAPIEngine : public THttpEngine {
 public:
  explicit TISAPIEngine(plat::TComponent* Owner);
  explicit TISAPIEngine(const TEngineConfig& Config);
  ~TISAPIEngine() override;

  THttpExtensionVersionEvent OnHttpExtensionVersion;
  THttpFilterProcEvent OnHttpFilterProc;
  THttpFilterVersionEvent OnHttpFilterVersion;

  void ProcessRequest() override;
  int GetContentLength() override;
  std::string GetExecutablePath() override;
  void Write(const std::string& Text) override;
  void WriteData(const void* Buffer, int Count) override;
  int ReadClient(void* Buffer, int Count) override;
  void WriteHeaderField(const std::string& Name, const std::string& Value) override;
  void GetVariable(const std::string& Name, std::string& Value) override;
  bool IsActive() override;

  // The raw request of a read-raw-data notification: its fields into the
  // calling thread's request record, its cookie into RawCookie.
  static void ParseRawRequest(const char* Data, DWORD Count);

 protected:
  void SendToClient(const void* Buffer, int Count) override;
  // The field data: preloaded bytes, then the rest of the body, then the
  // query string.
  std::string ReadRequestContent() override;

 private:
  // Reads up to Count bytes of the body the server did not preload; Failed
  // when the server's read failed or ended before.
  int ReadFromServer(char* Buffer, int Count, bool& Failed);
  std::atomic<bool> loaded_{false};
};

// The engine the entry points use; none before the library's start-up.
TISAPIEngine* TheIsapiEngine();

// A drive path "C:\dir\file" as the URL path "/dir/file"; others unchanged.
std::string ExecutablePathOf(const std::string& ScriptName);

// The start-up of a library loaded by a web server, run inside dlopen:
// marks the process, starts the engine core, registers the ISAPI and NSAPI
// engines (loading the NSAPI server's library) and lets createForms make
// the application's forms. Never raises.
void IsapiLibraryStartup(const char* Title, void (*createForms)());
