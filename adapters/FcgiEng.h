// The FastCGI engine: the program resident behind a web server that speaks
// FastCGI to it (nginx, Apache, lighttpd). Variables come from the request's
// parameters, the body from its input stream, the response goes to its
// output stream; worker threads each accept their own requests.
#pragma once
#include <string>

#include "engine/GenEng.h"
#include "engine/HttpEng.h"

struct FCGX_Request;

// The request the calling worker is serving.
struct TFcgiThreadFields : TStatePart {
  FCGX_Request* Request = nullptr;
};
TFcgiThreadFields& FcgiThreadFields();

class TFastCgiEngine : public THttpEngine {
 public:
  explicit TFastCgiEngine(const TEngineConfig& Config);
  ~TFastCgiEngine() override;

  void ProcessRequest() override;
  void EndRequest() override;
  // A responder answers with header lines only: the web server writes the
  // status line, and takes one from us for a broken header.
  void WriteStatusLine() override {}
  // A field name with a blank ("Document Expires" of NoCache) is left out:
  // the web server would take it for a broken header and answer 502.
  void WriteHeaderField(const std::string& Name, const std::string& Value) override;
  int ReadClient(void* Buffer, int Count) override;
  void GetVariable(const std::string& Name, std::string& Value) override;
  bool IsActive() override;

  // Serves requests accepted on the listening handle until Stop; the
  // calling thread's loop.
  void ServeConnections(int ListenHandle);

 protected:
  void SendToClient(const void* Buffer, int Count) override;
};

// The engine's start-up step: registers the engine and, for a FastCGI
// start, opens the listening socket. Ends the process with exit status 1
// when the start cannot be served.
void FcgiEngineStartup();
// Stops accepting, lets the requests in flight finish and ends the
// workers. The program's entry calls it when its loop ends: at exit, static
// objects made after the start would be destroyed before it ran.
void StopFastCgi();
