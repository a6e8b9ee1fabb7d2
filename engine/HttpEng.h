// The abstract engine: the one class through which the system sees an HTTP
// request, whatever server interface delivered it. It owns the header block,
// output buffering, the per-request wrapper with its error handling, the log,
// and the request-scope functions acting on the calling thread's request.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/HttpEngContext.h"
#include "platform/PlatComponents.h"
#include "platform/PlatExcept.h"
#include "platform/PlatThreads.h"

enum class TCGIMode : uint8_t { NormalMode = 0, ServerMode = 1, ServerThreadMode = 2 };

using TObject = plat::TObject;
using TExecRequestEvent = std::function<void(TObject* Sender)>;
using TFirstExecRequestEvent = std::function<void(TObject* Sender)>;
using TLastExecRequestEvent = std::function<void(TObject* Sender)>;
using TRequestErrorEvent = std::function<void(TObject* Sender, const plat::Exception& ErrorReason)>;
using TLock = plat::TCriticalSection*;

// The engine's published properties, handed over once by the component.
struct THttpEngineProperties {
  std::string AutoContentType = "text/html";
  bool AutoReadInput = true;
  int AutoReadLimit = 10000;
  bool AutoHttpHeader = true;
  bool BufferedOutput = false;
  TCGIMode CGIMode = TCGIMode::NormalMode;
  std::string SessionName;
  std::string TempDir;
  bool NoCache = false;
  TExecRequestEvent OnExecRequest;
  TFirstExecRequestEvent OnFirstExecRequest;
  TRequestErrorEvent OnRequestError;
  TLastExecRequestEvent OnLastExecRequest;
};

// The abstract engine. An adapter supplies its sources (GetVariable,
// ReadClient) and its sink (SendToClient) and overrides only what its server
// makes different; reading the form input, the header block and buffering
// are done here once for all.
class THttpEngine : public plat::TComponent, public THttpEngineProperties {
 public:
  explicit THttpEngine(plat::TComponent* owner);
  THttpEngine(plat::TComponent* owner, const THttpEngineProperties& properties);

  // Cleared when OnFirstExecRequest has been fired; engines of a loaded
  // library serve several threads at once.
  std::atomic<bool> FirstRequest = true;

  // Virtual operations, in slot order.
  virtual void ProcessRequest() = 0;                                   // 1
  virtual void EndRequest();                                           // 2
  virtual void ReadMultipartInput(std::string& Data);                  // 3
  virtual std::string GetServerName();                                 // 4
  virtual std::string GetServerSoftware();
  virtual std::string GetGatewayInterface();
  virtual std::string GetServerProtocol();
  virtual std::string GetServerPort();
  virtual bool GetServerPortSecure();
  virtual std::string GetRequestMethod();
  virtual std::string GetPathInfo();
  virtual std::string GetPathTranslated();
  virtual std::string GetScriptName();
  virtual std::string GetQueryString();
  virtual std::string GetRemoteHost();
  virtual std::string GetRemoteAddr();
  virtual std::string GetAuthType();
  virtual std::string GetRemoteUser();
  virtual std::string GetRemoteIdent();
  virtual std::string GetContentType();
  virtual int GetContentLength();
  virtual std::string GetUrl();
  virtual std::string GetUserAgent();
  virtual std::string GetHttpCookie();
  virtual std::string GetReferer();
  virtual std::string GetExecutablePath();                             // 26
  virtual TObject* GetRequestThread();                                 // 27
  virtual void WriteStatusLine();                                      // 28
  virtual void Write(const std::string& Text);                         // 29
  virtual void WriteData(const void* Buffer, int Count);               // 30
  virtual int ReadClient(void* Buffer, int Count);                     // 31
  virtual void WriteHeaderField(const std::string& Name, const std::string& Value);  // 32
  virtual void EndHeader();                                            // 33
  virtual void GetVariable(const std::string& Name, std::string& Value) = 0;  // 34
  virtual void GetField(const std::string& Name, const std::string& Default,
                        std::string& Value);                           // 35
  virtual std::vector<std::string> GetFieldNames();                    // 36
  virtual TLock CreateLock();                                          // 37
  virtual void EnterLock(TLock Lock);                                  // 38
  virtual void LeaveLock(TLock Lock);                                  // 39
  virtual void FreeLock(TLock Lock);                                   // 40
  virtual bool IsActive() = 0;                                         // 41

  void WriteLn(const std::string& Text);
  void Loaded() override;

 protected:
  // The sink: bytes that leave for the client, called for whatever is not
  // held by the output buffer.
  virtual void SendToClient(const void* Buffer, int Count) = 0;
  // The request's field data by the reference steps: the query string when
  // there is no body, nothing for a body over AutoReadLimit or with
  // AutoReadInput off, else the multipart or url-encoded body read through
  // ReadClient. Raises the conversion error for a non-numeric length.
  virtual std::string ReadRequestContent();
  // Reads the field data into the request, then fires OnFirstExecRequest
  // (first request of this engine), OnExecRequest and, when fireLast,
  // OnLastExecRequest.
  void ServeRequest(bool fireLast);
  // True where the server sends the header block itself from the fields it
  // was given: a buffered response's fields then go to the server before
  // its body, not into the output.
  virtual bool ServerKeepsHeaderBlock();
  // The announced body length; a non-numeric one counts as 0 here.
  int AnnouncedLength();

  // The variable asked for by name, "" when the engine has none.
  std::string Variable(const std::string& Name);
  std::string VariableOr(const std::string& First, const std::string& Second);
  // Flushes the output buffer (BufferedOutput) with its content length.
  void FlushOutputBuffer();

  friend void RunRequest(THttpEngine* Engine);
};

// The per-request wrapper every engine hands each request to.
void RunRequest(THttpEngine* Engine);

// Appends one line to the program's log; never raises.
void WriteLog(const std::string& Message);
// The message of the exception being handled, whatever its type (for the
// entry points a server calls, which must let nothing escape).
std::string CurrentExceptionMessage();
// Frees the application's forms and ends the process (CGI engines).
void TerminateCgiProcess();

// The engine core's start-up: fills the request-scope function table and
// seeds the random generator. Runs before any engine exists.
void InitHttpEngine();

// Request-scope functions, acting on the calling thread's current engine.
THttpEngine* CurrentEngine();
// The current engine; raises when no request is being served on this thread.
THttpEngine& RequiredEngine();
void SetCurrentEngine(THttpEngine* Engine);
// Kind: a TImageType value.
void SetImageType(int Kind);
void HttpWrite(const std::string& Text);
void HttpWriteLn(const std::string& Text);
void HttpWriteData(const void* Buffer, int Count);
void HttpWriteHeader(const std::string& Name, const std::string& Value);
int HttpReadClient(void* Buffer, int Count);
std::string HttpGetVariable(const std::string& Name);
std::string HttpGetField(const std::string& Name, const std::string& Default);
std::string HttpScriptName();
std::string HttpQueryString();
std::string HttpUserAgent();
std::string HttpCookieString();
std::string HttpExecutablePath();
