// The standard CGI engine: variables from the environment, the body from
// standard input, the response to standard output. In NormalMode the whole
// request is served while the engine is created.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "engine/GenEng.h"
#include "engine/HttpEng.h"

class TCGIStdEngine : public THttpEngine {
 public:
  explicit TCGIStdEngine(const TEngineConfig& Config);

  bool Interactive = false;
  bool FirstRequest = true;
  bool AutoTerminate = true;
  int PollTimer = 0;  // the resident server's timer id; 0 in a CGI process

  void ProcessRequest() override;
  void EndRequest() override;
  TObject* GetRequestThread() override;
  void WriteStatusLine() override;
  void Write(const std::string& Text) override;
  void WriteData(const void* Buffer, int Count) override;
  int ReadClient(void* Buffer, int Count) override;
  void EndHeader() override;
  void GetVariable(const std::string& Name, std::string& Value) override;
  void GetField(const std::string& Name, const std::string& Default, std::string& Value) override;
  std::vector<std::string> GetFieldNames() override;
  bool IsActive() override;

  void DispatchRequest(const std::string& Name);
  // The request's field data from the query string or the body.
  std::string ReadRequestContent();
};

// The engine's start-up step: decides IsResidentServer, prepares the
// standard streams, and registers the engine with the component.
void CgiStdEngineStartup();
bool IsResidentServer();
// Program directory + "/Temp" (created when missing, else the program
// directory) + "/" + program file name.
std::string ServerBasePath();
