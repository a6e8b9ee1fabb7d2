// The standard CGI engine: variables from the environment, the body from
// standard input, the response to standard output. In NormalMode the whole
// request is served while the engine is created.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/GenEng.h"
#include "engine/HttpEng.h"
#include "platform/PlatProcess.h"
#include "platform/PlatWindow.h"

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
  ~TCGIStdEngine() override;

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
  // The resident server's timer handler.
  void PollQueue();
  // Runs a handed-over request on the calling thread, closes its response
  // file and marks its entry done.
  void ServeHandedOver(const std::string& Name);

 protected:
  void SendToClient(const void* Buffer, int Count) override;
  std::string ReadRequestContent() override;

 private:
  void StartPolling();
  // A CGI process in a resident mode that found no server: starts one and
  // hands the request over; returns only when every hand-over failed.
  void StartServerAndHandOver();
};

// Serves one handed-over request on its own thread (ServerThreadMode); the
// thread releases it when it ends.
class TCGIRequestThread : public TObject {
 public:
  explicit TCGIRequestThread(std::string File) : RequestFile(std::move(File)) {}
  std::string RequestFile;
  void Execute();
  // Starts a thread running Execute; false when no thread could be made.
  static bool Start(const std::string& File);
};

// The engine's start-up step: registers the engine with the component and
// prepares the standard streams of a process that serves its own request.
void CgiStdEngineStartup();
bool IsResidentServer();
// The one standard engine of the process; request threads run on it.
TCGIStdEngine* StdEngine();
// Program directory + "/Temp" (created when missing, else the program
// directory) + "/" + program file name.
std::string ServerBasePath();
