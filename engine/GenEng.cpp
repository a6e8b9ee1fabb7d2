#include "engine/GenEng.h"

#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatWorkers.h"

#include <algorithm>

namespace {

TEngineFactory factories[EngineKinds] = {};

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

void RegisterEngineFactory(TEngineKind Kind, TEngineFactory Factory) {
  factories[static_cast<int>(Kind)] = Factory;
}

TEngineFactory EngineFactory(TEngineKind Kind) { return factories[static_cast<int>(Kind)]; }

const char* EngineKindName(TEngineKind Kind) {
  switch (Kind) {
    case TEngineKind::CgiStd: return "standard CGI engine";
    case TEngineKind::CgiWin: return "Windows CGI engine";
    case TEngineKind::Isapi: return "ISAPI engine";
    case TEngineKind::Nsapi: return "NSAPI engine";
    case TEngineKind::FastCgi: return "FastCGI engine";
  }
  return "engine";
}

TStartFacts CurrentStartFacts() {
  TStartFacts facts;
  facts.ServerSoftware = plat::GetEnv("SERVER_SOFTWARE");
  facts.CgiVersion = plat::GetEnv("CGI_VERSION");
  for (int i = 1; i <= plat::ParamCount(); ++i) facts.Params.push_back(plat::ParamStr(i));
  facts.Library = plat::RunsAsLibrary();
  facts.ListeningInput = !facts.Library && plat::StdInputIsListeningSocket();
  return facts;
}

namespace {

// A FastCGI start: a listening socket as standard input, or "--fastcgi
// ADDRESS"; "--threads N" may come with either. A CGI process never has a
// listening socket as its input, and no profile is named "--fastcgi".
bool PlanFastCgi(const TStartFacts& Facts, TStartPlan& plan) {
  const std::vector<std::string>& params = Facts.Params;
  const bool named = std::find(params.begin(), params.end(), "--fastcgi") != params.end();
  if (!named && !Facts.ListeningInput) return false;
  plan.FastCgi = true;
  plan.Engines = {TEngineKind::FastCgi};
  for (size_t i = 0; i < params.size(); ++i) {
    const bool hasValue = i + 1 < params.size();
    if (params[i] == "--fastcgi" && hasValue && !params[i + 1].empty()) {
      plan.FastCgiAddress = params[++i];
    } else if (params[i] == "--threads" && hasValue && plat::TryStrToInt(params[i + 1], plan.FastCgiThreads) &&
               plan.FastCgiThreads > 0 && plan.FastCgiThreads <= 1024) {
      ++i;
    } else {
      plan.StartError = "Cannot use the parameter " + params[i] +
                        " (usage: --fastcgi host:port|:port|socket-path [--threads 1-1024])";
      return true;
    }
  }
  return true;
}

}  // namespace

TStartPlan PlanStart(const TStartFacts& Facts) {
  TStartPlan plan;
  if (Facts.Library) {
    // The server's calls decide which of the two serves.
    plan.Engines = {TEngineKind::Nsapi, TEngineKind::Isapi};
    return plan;
  }
  // Before the CGI rows: they would take "--fastcgi" for a Windows CGI
  // profile and a socket on standard input for an interactive start.
  if (PlanFastCgi(Facts, plan)) return plan;
  // Some servers set a SERVER_SOFTWARE with "ZB" for programs that are not
  // theirs to serve: it counts as none.
  const bool software = !Facts.ServerSoftware.empty() && !Contains(Facts.ServerSoftware, "ZB");
  const bool windowsCgi = Contains(plat::UpperCase(Facts.CgiVersion), "WIN");
  plan.Interactive = !software && Facts.Params.empty();
  plan.ResidentServer = plan.Interactive || (!Facts.Params.empty() && Facts.Params[0] == "START_SERVER");
  plan.StdActive = !windowsCgi && (software || plan.ResidentServer);
  plan.StdStreams = plan.StdActive && !plan.ResidentServer;
  // START_SERVER asks for the standard resident server, even without a
  // server's environment: it is no profile to hand over to that very server.
  const bool stdServerOnly = plan.ResidentServer && plan.StdActive && !plan.Interactive;
  plan.WinActive = (Facts.ServerSoftware.empty() || windowsCgi) && !stdServerOnly;
  plan.WinServer = plan.WinActive && Facts.Params.empty();
  const bool stdCreated = plan.Interactive || (software && !windowsCgi) || stdServerOnly;
  if (stdCreated) plan.Engines.push_back(TEngineKind::CgiStd);
  if (!(stdCreated && plan.StdActive) || plan.Interactive) plan.Engines.push_back(TEngineKind::CgiWin);
  return plan;
}

TStartPlan StartPlan() { return PlanStart(CurrentStartFacts()); }

TGeneralHttpEngine::TGeneralHttpEngine(plat::TComponent* owner) : TGeneralHttpComponent(owner) {
  SetAutoHttpHeader(true);
  SetAutoContentType("text/html");
  SetSessionName("DefaultSession");
}

namespace {

// Stores a property and sets it on the calling thread's engine as well.
template <class T, class V>
void Forward(THttpEngineProperties& own, T THttpEngineProperties::*field, V&& value) {
  if (THttpEngine* engine = CurrentEngine()) static_cast<THttpEngineProperties&>(*engine).*field = value;
  own.*field = std::forward<V>(value);
}

}  // namespace

void TGeneralHttpEngine::SetAutoHttpHeader(bool value) {
  Forward(properties_, &THttpEngineProperties::AutoHttpHeader, value);
}
void TGeneralHttpEngine::SetAutoContentType(const std::string& value) {
  Forward(properties_, &THttpEngineProperties::AutoContentType, value);
}
void TGeneralHttpEngine::SetAutoReadInput(bool value) {
  Forward(properties_, &THttpEngineProperties::AutoReadInput, value);
}
void TGeneralHttpEngine::SetAutoReadLimit(int value) {
  Forward(properties_, &THttpEngineProperties::AutoReadLimit, value);
}
void TGeneralHttpEngine::SetBufferedOutput(bool value) {
  Forward(properties_, &THttpEngineProperties::BufferedOutput, value);
}
void TGeneralHttpEngine::SetTempDir(const std::string& value) {
  Forward(properties_, &THttpEngineProperties::TempDir, value);
}
void TGeneralHttpEngine::SetSessionName(const std::string& value) {
  Forward(properties_, &THttpEngineProperties::SessionName, value);
}
void TGeneralHttpEngine::SetNoCache(bool value) { Forward(properties_, &THttpEngineProperties::NoCache, value); }
void TGeneralHttpEngine::SetOnExecRequest(TExecRequestEvent value) {
  Forward(properties_, &THttpEngineProperties::OnExecRequest, std::move(value));
}
void TGeneralHttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent value) {
  Forward(properties_, &THttpEngineProperties::OnFirstExecRequest, std::move(value));
}
void TGeneralHttpEngine::SetOnLastExecRequest(TLastExecRequestEvent value) {
  Forward(properties_, &THttpEngineProperties::OnLastExecRequest, std::move(value));
}
void TGeneralHttpEngine::SetOnRequestError(TRequestErrorEvent value) {
  Forward(properties_, &THttpEngineProperties::OnRequestError, std::move(value));
}

TEngineConfig TGeneralHttpEngine::Config(bool interactive) const {
  TEngineConfig config;
  config.Owner = Owner();
  config.Properties = properties_;
  config.Properties.CGIMode = CGIMode;
  config.CgiAutoTerminate = CgiAutoTerminate;
  config.Interactive = interactive;
  config.OnIsapiExtensionVersion = OnIsapiExtensionVersion;
  config.OnIsapiFilterProc = OnIsapiFilterProc;
  config.OnIsapiFilterVersion = OnIsapiFilterVersion;
  return config;
}

void TGeneralHttpEngine::CreateEngine(TEngineKind kind, const TStartPlan& plan) {
  if (TEngineFactory factory = EngineFactory(kind)) {
    // A CGI engine in NormalMode serves the whole request inside its creation.
    engines_[static_cast<int>(kind)] = factory(Config(plan.Interactive));
    return;
  }
  WriteLog(std::string("Cannot serve this start: the ") + EngineKindName(kind) +
           " is not available in this program");
  if (plan.Engines.size() == 1 && !plat::RunsAsLibrary()) plat::ExitProcessNow(1);
}

void TGeneralHttpEngine::Loaded() {
  TGeneralHttpComponent::Loaded();
  plat::Application().ShowMainForm = false;
  if (auto* form = dynamic_cast<plat::TForm*>(Owner())) {
    form->Minimized = true;
    form->Hidden = true;
  }
  if (Designing()) return;
  const TStartPlan plan = StartPlan();
  for (TEngineKind kind : plan.Engines) CreateEngine(kind, plan);
}

std::string TGeneralHttpEngine::GetServerName() { return RequiredEngine().GetServerName(); }
std::string TGeneralHttpEngine::GetServerSoftware() { return RequiredEngine().GetServerSoftware(); }
std::string TGeneralHttpEngine::GetGatewayInterface() { return RequiredEngine().GetGatewayInterface(); }
std::string TGeneralHttpEngine::GetServerProtocol() { return RequiredEngine().GetServerProtocol(); }
std::string TGeneralHttpEngine::GetServerPort() { return RequiredEngine().GetServerPort(); }
bool TGeneralHttpEngine::GetServerPortSecure() { return RequiredEngine().GetServerPortSecure(); }
std::string TGeneralHttpEngine::GetRequestMethod() { return RequiredEngine().GetRequestMethod(); }
std::string TGeneralHttpEngine::GetPathInfo() { return RequiredEngine().GetPathInfo(); }
std::string TGeneralHttpEngine::GetPathTranslated() { return RequiredEngine().GetPathTranslated(); }
std::string TGeneralHttpEngine::GetScriptName() { return RequiredEngine().GetScriptName(); }
std::string TGeneralHttpEngine::GetQueryString() {
  std::string value = RequiredEngine().GetQueryString();
  return value == NotAvailable ? std::string() : value;
}
std::string TGeneralHttpEngine::GetRemoteHost() { return RequiredEngine().GetRemoteHost(); }
std::string TGeneralHttpEngine::GetRemoteAddr() { return RequiredEngine().GetRemoteAddr(); }
std::string TGeneralHttpEngine::GetAuthType() { return RequiredEngine().GetAuthType(); }
std::string TGeneralHttpEngine::GetRemoteUser() { return RequiredEngine().GetRemoteUser(); }
std::string TGeneralHttpEngine::GetRemoteIdent() { return RequiredEngine().GetRemoteIdent(); }
std::string TGeneralHttpEngine::GetContentType() { return RequiredEngine().GetContentType(); }
int TGeneralHttpEngine::GetContentLength() { return RequiredEngine().GetContentLength(); }
std::string TGeneralHttpEngine::GetUrl() { return RequiredEngine().GetUrl(); }
std::string TGeneralHttpEngine::GetUserAgent() { return RequiredEngine().GetUserAgent(); }
std::string TGeneralHttpEngine::GetHttpCookie() { return RequiredEngine().GetHttpCookie(); }
std::string TGeneralHttpEngine::GetReferer() { return RequiredEngine().GetReferer(); }
std::string TGeneralHttpEngine::GetExecutablePath() { return RequiredEngine().GetExecutablePath(); }
void TGeneralHttpEngine::Write(const std::string& Text) { RequiredEngine().Write(Text); }
void TGeneralHttpEngine::WriteData(const void* Buffer, int Count) { RequiredEngine().WriteData(Buffer, Count); }
void TGeneralHttpEngine::WriteHeaderField(const std::string& Name, const std::string& Value) {
  RequiredEngine().WriteHeaderField(Name, Value);
}
int TGeneralHttpEngine::ReadClient(void* Buffer, int Count) { return RequiredEngine().ReadClient(Buffer, Count); }
void TGeneralHttpEngine::EndHeader() { RequiredEngine().EndHeader(); }
void TGeneralHttpEngine::GetVariable(const std::string& Name, std::string& Value) {
  RequiredEngine().GetVariable(Name, Value);
}
void TGeneralHttpEngine::GetField(const std::string& Name, const std::string& Default, std::string& Value) {
  RequiredEngine().GetField(Name, Default, Value);
}
std::vector<std::string> TGeneralHttpEngine::GetFieldNames() { return RequiredEngine().GetFieldNames(); }
TLock TGeneralHttpEngine::CreateLock() { return RequiredEngine().CreateLock(); }
void TGeneralHttpEngine::EnterLock(TLock Lock) { RequiredEngine().EnterLock(Lock); }
void TGeneralHttpEngine::LeaveLock(TLock Lock) { RequiredEngine().LeaveLock(Lock); }
void TGeneralHttpEngine::FreeLock(TLock Lock) { RequiredEngine().FreeLock(Lock); }
