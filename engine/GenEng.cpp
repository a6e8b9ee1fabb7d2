#include "engine/GenEng.h"

#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

namespace {

TEngineFactory factories[4] = {nullptr, nullptr, nullptr, nullptr};

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
  }
  return "engine";
}

TGeneralHttpEngine::TGeneralHttpEngine(plat::TComponent* owner) : TGeneralHttpComponent(owner) {
  SetAutoHttpHeader(true);
  SetAutoContentType("text/html");
  SetSessionName("DefaultSession");
}


void TGeneralHttpEngine::SetAutoHttpHeader(bool value) {
  autoHttpHeader_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoHttpHeader = value;
}
void TGeneralHttpEngine::SetAutoContentType(const std::string& value) {
  autoContentType_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoContentType = value;
}
void TGeneralHttpEngine::SetAutoReadInput(bool value) {
  autoReadInput_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoReadInput = value;
}
void TGeneralHttpEngine::SetAutoReadLimit(int value) {
  autoReadLimit_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->AutoReadLimit = value;
}
void TGeneralHttpEngine::SetBufferedOutput(bool value) {
  bufferedOutput_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->BufferedOutput = value;
}
void TGeneralHttpEngine::SetTempDir(const std::string& value) {
  tempDir_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->TempDir = value;
}
void TGeneralHttpEngine::SetSessionName(const std::string& value) {
  sessionName_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SessionName = value;
}
void TGeneralHttpEngine::SetNoCache(bool value) {
  noCache_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->NoCache = value;
}
void TGeneralHttpEngine::SetOnExecRequest(TExecRequestEvent value) {
  onExecRequest_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->OnExecRequest = std::move(value);
}
void TGeneralHttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent value) {
  onFirstExecRequest_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->OnFirstExecRequest = std::move(value);
}
void TGeneralHttpEngine::SetOnLastExecRequest(TLastExecRequestEvent value) {
  onLastExecRequest_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->OnLastExecRequest = std::move(value);
}
void TGeneralHttpEngine::SetOnRequestError(TRequestErrorEvent value) {
  onRequestError_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->OnRequestError = std::move(value);
}

TEngineConfig TGeneralHttpEngine::Config(bool interactive) const {
  TEngineConfig config;
  config.Owner = Owner();
  config.OnFirstExecRequest = onFirstExecRequest_;
  config.OnExecRequest = onExecRequest_;
  config.OnLastExecRequest = onLastExecRequest_;
  config.OnRequestError = onRequestError_;
  config.AutoHttpHeader = autoHttpHeader_;
  config.AutoContentType = autoContentType_;
  config.AutoReadInput = autoReadInput_;
  config.AutoReadLimit = autoReadLimit_;
  config.SessionName = sessionName_;
  config.TempDir = tempDir_;
  config.NoCache = noCache_;
  config.BufferedOutput = bufferedOutput_;
  config.CgiAutoTerminate = CgiAutoTerminate;
  config.CGIMode = CGIMode;
  config.Interactive = interactive;
  config.OnIsapiExtensionVersion = OnIsapiExtensionVersion;
  config.OnIsapiFilterProc = OnIsapiFilterProc;
  config.OnIsapiFilterVersion = OnIsapiFilterVersion;
  return config;
}

void TGeneralHttpEngine::CreateEngine(TEngineKind kind, bool interactive) {
  TEngineFactory factory = EngineFactory(kind);
  if (!factory) {
    WriteLog(std::string("Cannot serve this start: the ") + EngineKindName(kind) +
             " is not available in this program");
    plat::ExitProcessNow(1);
  }
  // A CGI engine in NormalMode serves the whole request inside its creation.
  engines_[static_cast<int>(kind)] = factory(Config(interactive));
}

void TGeneralHttpEngine::Loaded() {
  TGeneralHttpComponent::Loaded();
  plat::Application().ShowMainForm = false;
  if (auto* form = dynamic_cast<plat::TForm*>(Owner())) {
    form->Minimized = true;
    form->Hidden = true;
  }
  if (Designing()) return;
  if (plat::RunsAsLibrary()) {
    CreateEngine(TEngineKind::Nsapi, false);
    CreateEngine(TEngineKind::Isapi, false);
    return;
  }
  const std::string software = GetEnvVar("SERVER_SOFTWARE");
  const bool interactive = software.empty() && plat::ParamCount() == 0;
  if (!CurrentEngine()) {
    const bool windowsCgi =
        plat::UpperCase(GetEnvVar("CGI_VERSION")).find("WIN") != std::string::npos;
    if (interactive || (!software.empty() && !windowsCgi)) CreateEngine(TEngineKind::CgiStd, interactive);
  }
  if (!CurrentEngine() || interactive) CreateEngine(TEngineKind::CgiWin, interactive);
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
