// The Windows CGI engine: the web server writes each request into a profile
// file named as the first command-line parameter and reads the response from
// the output file the profile names, once the program has ended.
#pragma once
#include <optional>
#include <string>

#include "adapters/CgiIni.h"
#include "engine/GenEng.h"
#include "engine/HttpEng.h"
#include "platform/PlatFiles.h"

// What this engine keeps per thread, set before a request is run.
struct TWinCgiThreadFields : TStatePart {
  std::string ProfileFileName;
  std::optional<TCGIIniFile> Profile;
  std::string OutputFileName;
  std::optional<plat::TFile> OutputFile;
  std::optional<plat::TFile> ContentFile;  // only for a multipart body
  TObject* RequestThread = nullptr;
};
TWinCgiThreadFields& WinCgiThreadFields();

class TCGIWinEngine : public THttpEngine {
 public:
  explicit TCGIWinEngine(const TEngineConfig& Config);
  ~TCGIWinEngine() override;

  bool Interactive = false;
  bool AutoTerminate = true;
  int PollTimer = 0;

  void ProcessRequest() override;
  void EndRequest() override;
  std::string GetHttpCookie() override;
  TObject* GetRequestThread() override;
  int ReadClient(void* Buffer, int Count) override;
  void WriteHeaderField(const std::string& Name, const std::string& Value) override;
  void GetVariable(const std::string& Name, std::string& Value) override;
  void GetField(const std::string& Name, const std::string& Default, std::string& Value) override;
  std::vector<std::string> GetFieldNames() override;
  bool IsActive() override;

  void DispatchRequest(const std::string& Name);
  // The resident server's timer handler.
  void PollQueue();
  // Serves a handed-over profile on the calling thread, closes its output
  // file and marks its entry done.
  void ServeProfile(const std::string& Name);

 protected:
  void SendToClient(const void* Buffer, int Count) override;

 private:
  // A form field from the profile's Form sections; NotAvailable when absent.
  std::string ProfileField(const std::string& Name);
};

// The engine's start-up step: registers the engine with the component and
// notes the profile named on the command line.
void CgiWinEngineStartup();
bool WinCgiActive();
bool IsWinCgiServer();
// A relative path made absolute against the working directory.
std::string AbsolutePath(const std::string& Path);
