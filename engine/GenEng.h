// The engine component an application places on its main window: it carries
// the engine configuration and the request handlers, chooses and creates the
// concrete engine for the way the program was started, and forwards every
// request operation to the calling thread's current engine.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "engine/HttpEng.h"

struct THTTP_FILTER_CONTEXT;

using THttpExtensionVersionEvent =
    std::function<void(unsigned& RequestVersion, std::string& RequestDesc, bool& ResultValue)>;
using THttpFilterProcEvent = std::function<void(THTTP_FILTER_CONTEXT& pfc, unsigned NotificationType,
                                                void* pvNotification, unsigned& ResultValue)>;
using THttpFilterVersionEvent =
    std::function<void(unsigned& ServerFilterVersion, unsigned& FilterVersion, std::string& FilterDesc,
                       unsigned& Flags, bool& ResultValue)>;

// What the component hands a concrete engine when it creates it.
struct TEngineConfig {
  plat::TComponent* Owner = nullptr;
  THttpEngineProperties Properties;
  // Standard and Windows CGI engines.
  bool CgiAutoTerminate = true;
  bool Interactive = false;
  // ISAPI engine.
  THttpExtensionVersionEvent OnIsapiExtensionVersion;
  THttpFilterProcEvent OnIsapiFilterProc;
  THttpFilterVersionEvent OnIsapiFilterVersion;
};

// The concrete engines register their factories in their start-up steps, so
// the component creates engines of the floor above without knowing them.
enum class TEngineKind { CgiStd = 0, CgiWin = 1, Isapi = 2, Nsapi = 3, FastCgi = 4 };
inline constexpr int EngineKinds = 5;
using TEngineFactory = THttpEngine* (*)(const TEngineConfig& Config);
void RegisterEngineFactory(TEngineKind Kind, TEngineFactory Factory);
TEngineFactory EngineFactory(TEngineKind Kind);
const char* EngineKindName(TEngineKind Kind);

// What a process is told when it starts.
struct TStartFacts {
  std::string ServerSoftware;  // as in the environment
  std::string CgiVersion;
  std::vector<std::string> Params;  // command-line parameters, without the program
  bool Library = false;             // loaded into a web server
  bool ListeningInput = false;      // standard input is a listening socket
};
TStartFacts CurrentStartFacts();

// What the process does with them: the one place the start is decided.
struct TStartPlan {
  bool Interactive = false;      // no server software and no parameter
  bool ResidentServer = false;   // this process is the resident server
  bool StdActive = false;        // the standard CGI engine serves this process
  bool StdStreams = false;       // ... its own request, over stdin and stdout
  bool WinActive = false;        // the Windows CGI engine may serve this process
  bool WinServer = false;        // ... as the resident Windows CGI server
  bool FastCgi = false;          // a resident FastCGI responder
  std::string FastCgiAddress;    // ... listening there; "" for standard input
  int FastCgiThreads = 0;        // ... with that many workers; 0: one per core
  std::string StartError;        // parameters the start cannot use
  std::vector<TEngineKind> Engines;  // created by the component, in this order
};
TStartPlan PlanStart(const TStartFacts& Facts);
// This process's plan.
TStartPlan StartPlan();

class TGeneralHttpComponent : public plat::TComponent {
 public:
  explicit TGeneralHttpComponent(plat::TComponent* owner) : plat::TComponent(owner) {}
};

class TGeneralHttpEngine : public TGeneralHttpComponent {
 public:
  explicit TGeneralHttpEngine(plat::TComponent* owner);

  // Published properties; the setters also set the calling thread's engine.
  bool AutoHttpHeader() const { return properties_.AutoHttpHeader; }
  void SetAutoHttpHeader(bool value);
  const std::string& AutoContentType() const { return properties_.AutoContentType; }
  void SetAutoContentType(const std::string& value);
  bool AutoReadInput() const { return properties_.AutoReadInput; }
  void SetAutoReadInput(bool value);
  int AutoReadLimit() const { return properties_.AutoReadLimit; }
  void SetAutoReadLimit(int value);
  bool BufferedOutput() const { return properties_.BufferedOutput; }
  void SetBufferedOutput(bool value);
  const std::string& TempDir() const { return properties_.TempDir; }
  void SetTempDir(const std::string& value);
  const std::string& SessionName() const { return properties_.SessionName; }
  void SetSessionName(const std::string& value);
  bool NoCache() const { return properties_.NoCache; }
  void SetNoCache(bool value);
  const TExecRequestEvent& OnExecRequest() const { return properties_.OnExecRequest; }
  void SetOnExecRequest(TExecRequestEvent value);
  const TFirstExecRequestEvent& OnFirstExecRequest() const { return properties_.OnFirstExecRequest; }
  void SetOnFirstExecRequest(TFirstExecRequestEvent value);
  const TLastExecRequestEvent& OnLastExecRequest() const { return properties_.OnLastExecRequest; }
  void SetOnLastExecRequest(TLastExecRequestEvent value);
  const TRequestErrorEvent& OnRequestError() const { return properties_.OnRequestError; }
  void SetOnRequestError(TRequestErrorEvent value);

  // Plain fields: they reach an engine only when it is created.
  TCGIMode CGIMode = TCGIMode::NormalMode;
  bool CgiAutoTerminate = true;
  THttpExtensionVersionEvent OnIsapiExtensionVersion;
  THttpFilterProcEvent OnIsapiFilterProc;
  THttpFilterVersionEvent OnIsapiFilterVersion;

  // Chooses and creates the engines.
  void Loaded() override;

  THttpEngine* Engine(TEngineKind Kind) const { return engines_[static_cast<int>(Kind)]; }

  // Request operations, forwarded to the calling thread's current engine.
  virtual std::string GetServerName();
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
  virtual std::string GetExecutablePath();
  virtual void Write(const std::string& Text);
  virtual void WriteData(const void* Buffer, int Count);
  virtual void WriteHeaderField(const std::string& Name, const std::string& Value);
  virtual int ReadClient(void* Buffer, int Count);
  virtual void EndHeader();
  virtual void GetVariable(const std::string& Name, std::string& Value);
  virtual void GetField(const std::string& Name, const std::string& Default, std::string& Value);
  virtual std::vector<std::string> GetFieldNames();
  virtual TLock CreateLock();
  virtual void EnterLock(TLock Lock);
  virtual void LeaveLock(TLock Lock);
  virtual void FreeLock(TLock Lock);

 private:
  TEngineConfig Config(bool interactive) const;
  // Creates one engine through its registered factory. A missing engine is
  // logged; when the start needs nothing else, a program ends with exit
  // status 1 (a loaded library never ends its host's process).
  void CreateEngine(TEngineKind kind, const TStartPlan& plan);

  THttpEngineProperties properties_;
  THttpEngine* engines_[EngineKinds] = {};
};
