// The standard CGI engine: variables from the environment, the body from
// standard input, the response to standard output. In NormalMode the whole
// request is served while the engine is created.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "engine/GenEng.h"
#include "engine/HttpEng.h"
#include "platform/PlatProcess.h"

// What this engine keeps per thread, set before a request is run.
struct TCgiThreadFields : TStatePart {
  std::string RequestFileName;
  std::optional<plat::THandleStream> OutputStream;
  std::optional<plat::THandleStream> InputStream;
  // The variable lines of a handed-over request; none in a CGI process.
  std::optional<std::vector<std::string>> RequestVariables;
  std::string ClientId;
  TObject* RequestThread = nullptr;
};
TCgiThreadFields& CgiThreadFields();

class TCGIStdEngine : public THttpEngine {
 public:
  explicit TCGIStdEngine(const TEngineConfig& Config);

  bool Interactive = false;
  bool AutoTerminate = true;
  int PollTimer = 0;  // the resident server's timer id; 0 in a CGI process

  void ProcessRequest() override;
  void EndRequest() override;
  TObject* GetRequestThread() override;
  int ReadClient(void* Buffer, int Count) override;
  void GetVariable(const std::string& Name, std::string& Value) override;
  bool IsActive() override;

  void DispatchRequest(const std::string& Name);

 protected:
  void SendToClient(const void* Buffer, int Count) override;
  std::string ReadRequestContent() override;
};

// The engine's start-up step: registers the engine with the component and
// prepares the standard streams of a process that serves its own request.
void CgiStdEngineStartup();
bool IsResidentServer();
// Program directory + "/Temp" (created when missing, else the program
// directory) + "/" + program file name.
std::string ServerBasePath();
