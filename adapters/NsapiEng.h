// The NSAPI engine: the program loaded into a server of the Netscape family,
// which calls NsapiService once per request. The engine reads and answers
// the request through functions of the server's own library, looked up by
// name at run time; what belongs to a call lives in the calling thread.
#pragma once
#include <string>

#include "adapters/NsapiRec.h"
#include "engine/GenEng.h"
#include "engine/HttpEng.h"

struct TNsapiThreadFields : TStatePart {
  pblock* NsapiParams = nullptr;  // during NsapiService only
  Session* NsapiConnection = nullptr;
  Request* NsapiRequest = nullptr;
  bool ResponseStarted = false;
};
TNsapiThreadFields& NsapiThreadFields();

class TNSAPIEngine : public THttpEngine {
 public:
  explicit TNSAPIEngine(plat::TComponent* Owner);
  explicit TNSAPIEngine(const TEngineConfig& Config);
  ~TNSAPIEngine() override;

  void ProcessRequest() override;
  std::string GetServerProtocol() override;
  std::string GetRequestMethod() override;
  std::string GetScriptName() override;
  std::string GetQueryString() override;
  std::string GetRemoteHost() override;
  std::string GetRemoteAddr() override;
  std::string GetContentType() override;
  int GetContentLength() override;
  std::string GetUserAgent() override;
  std::string GetHttpCookie() override;
  std::string GetExecutablePath() override;
  int ReadClient(void* Buffer, int Count) override;
  void WriteHeaderField(const std::string& Name, const std::string& Value) override;
  void EndHeader() override;
  void GetVariable(const std::string& Name, std::string& Value) override;
  TLock CreateLock() override;
  void EnterLock(TLock Lock) override;
  void LeaveLock(TLock Lock) override;
  void FreeLock(TLock Lock) override;
  bool IsActive() override;

 protected:
  void SendToClient(const void* Buffer, int Count) override;
  // A POST's body only, a GET's query string, nothing for other methods.
  std::string ReadRequestContent() override;
  bool ServerKeepsHeaderBlock() override { return true; }

 private:
  // Up to Count body bytes from the connection's input buffer, never past
  // the announced length. A zero byte is data: only an empty refill or an
  // error ends the read early.
  int ReadBody(char* Buffer, int Count);
};

TNSAPIEngine* TheNsapiEngine();
bool NsapiActive();
void SetNsapiActive(bool Active);

// Finds the server's library and resolves its entries; does nothing unless
// the program runs as a loaded library. Never raises.
void LoadNsapiLibrary();
// True when net_write is resolved; loads the library again, one thread at a
// time, while it is not.
bool NsapiLibraryReady();

// The NSAPI engine's part of a loaded library's start-up.
void NsapiEngineStartup();
