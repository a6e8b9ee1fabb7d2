#include "engine/HttpEng.h"

#include <cstring>
#include <exception>

#include "engine/HUtils.h"
#include "engine/HUtilsMultipart.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"

namespace {

const std::string CrLf = "\r\n";

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Apache and Netscape servers write the status line themselves.
bool ServerWritesStatusLine(THttpEngine& engine) {
  std::string software = plat::UpperCase(engine.GetServerSoftware());
  return Contains(software, "NETSCAPE") || Contains(software, "APACHE");
}

plat::TCriticalSection& ServerModeLock() {
  static plat::TCriticalSection lock;
  return lock;
}

void ReportRequestError(THttpEngine* engine, const plat::Exception& error) {
  try {
    if (engine->OnRequestError) {
      engine->OnRequestError(engine, error);
      return;
    }
  } catch (const std::exception& inner) {
    // The error page itself failed (the client went away): the log keeps it.
    WriteLog("Unhandled exception : " + std::string(inner.what()));
  }
  WriteLog("Unhandled exception : " + error.Message());
}

}  // namespace

THttpEngine::THttpEngine(plat::TComponent* owner) : plat::TComponent(owner) {
  if (!Designing()) plat::Application().ShowMainForm = false;
}

THttpEngine::THttpEngine(plat::TComponent* owner, const THttpEngineProperties& properties)
    : plat::TComponent(owner), THttpEngineProperties(properties) {
  if (!Designing()) plat::Application().ShowMainForm = false;
}

void THttpEngine::EndRequest() {
  TRequestRecord& request = CurrentRequest();
  if (request.TempFiles) {
    for (const std::string& path : *request.TempFiles) {
      if (plat::FileExists(path)) plat::DeleteFile(path);
    }
  }
  request.TempFiles.reset();
}

void THttpEngine::ReadMultipartInput(std::string& Data) {
  TRequestRecord& request = CurrentRequest();
  if (!request.TempFiles) request.TempFiles.emplace();
  ReadMultipartData(Data, AnnouncedLength(), TempDir, *request.TempFiles);
}

int THttpEngine::AnnouncedLength() {
  TRequestRecord& request = CurrentRequest();
  return request.ContentLength ? *request.ContentLength : GetContentLength();
}

std::string THttpEngine::ReadRequestContent() {
  TRequestRecord& request = CurrentRequest();
  const std::string text = Variable("CONTENT_LENGTH");
  const int length = text.empty() ? 0 : plat::StrToInt(text);
  request.ContentLength = length;
  if (length < 1) return GetQueryString();
  if (length > AutoReadLimit) {
    WriteLog("Content length exceeds AutoReadLimit");
    return "";
  }
  if (!AutoReadInput) return "";
  std::string data;
  if (plat::UpperCase(Variable("CONTENT_TYPE")).find("MULTIPART/FORM-DATA;") != std::string::npos) {
    ReadMultipartInput(data);
    return data;
  }
  data.resize(static_cast<size_t>(length));
  // A body shorter than announced ends where the input ended.
  const int got = ReadClient(data.data(), length);
  data.resize(got > 0 ? static_cast<size_t>(got) : 0);
  const size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

void THttpEngine::ServeRequest(bool fireLast) {
  CurrentRequest().FieldData = ReadRequestContent();
  if (OnFirstExecRequest && FirstRequest.exchange(false)) OnFirstExecRequest(this);
  if (OnExecRequest) OnExecRequest(this);
  if (fireLast && OnLastExecRequest) OnLastExecRequest(this);
}

void THttpEngine::GetField(const std::string& Name, const std::string& Default, std::string& Value) {
  Value = GetFieldValue(Name, CurrentRequest().FieldData, Default);
}

std::vector<std::string> THttpEngine::GetFieldNames() { return GetFieldNamesOf(CurrentRequest().FieldData); }

std::string THttpEngine::Variable(const std::string& Name) {
  std::string value;
  GetVariable(Name, value);
  return value;
}

std::string THttpEngine::VariableOr(const std::string& First, const std::string& Second) {
  std::string value = Variable(First);
  if (value.empty()) value = Variable(Second);
  return value;
}

std::string THttpEngine::GetServerName() { return Variable("SERVER NAME"); }
std::string THttpEngine::GetServerSoftware() { return Variable("SERVER SOFTWARE"); }
std::string THttpEngine::GetGatewayInterface() { return Variable("GATEWAY INTERFACE"); }
std::string THttpEngine::GetServerProtocol() { return VariableOr("SERVER PROTOCOL", "REQUEST PROTOCOL"); }
std::string THttpEngine::GetServerPort() { return Variable("SERVER PORT"); }
bool THttpEngine::GetServerPortSecure() { return Variable("SERVER PORT SECURE") == "1"; }
std::string THttpEngine::GetRequestMethod() { return Variable("REQUEST METHOD"); }
std::string THttpEngine::GetPathInfo() { return Variable("PATH INFO"); }
std::string THttpEngine::GetPathTranslated() { return VariableOr("PATH TRANSLATED", "DOCUMENT ROOT"); }
std::string THttpEngine::GetScriptName() { return VariableOr("SCRIPT NAME", "EXECUTABLE PATH"); }
std::string THttpEngine::GetQueryString() {
  std::string value = Variable("QUERY STRING");
  return value == NotAvailable ? std::string() : value;
}
std::string THttpEngine::GetRemoteHost() { return Variable("REMOTE HOST"); }
std::string THttpEngine::GetRemoteAddr() { return VariableOr("REMOTE ADDR", "REMOTE ADDRESS"); }
std::string THttpEngine::GetAuthType() { return VariableOr("AUTH TYPE", "AUTHETICATION METHOD"); }
std::string THttpEngine::GetRemoteUser() { return Variable("REMOTE USER"); }
std::string THttpEngine::GetRemoteIdent() { return Variable("REMOTE IDENT"); }
std::string THttpEngine::GetContentType() { return Variable("CONTENT TYPE"); }
int THttpEngine::GetContentLength() {
  int length = 0;
  return plat::TryStrToInt(Variable("CONTENT LENGTH"), length) ? length : 0;
}
std::string THttpEngine::GetUrl() {
  std::string value = VariableOr("URL", "HTTP_URL");
  return value.empty() ? GetExecutablePath() : value;
}
std::string THttpEngine::GetUserAgent() { return VariableOr("HTTP USER AGENT", "USER AGENT"); }
std::string THttpEngine::GetHttpCookie() { return Variable("HTTP COOKIE"); }
std::string THttpEngine::GetReferer() { return VariableOr("HTTP REFERER", "REFERER"); }
std::string THttpEngine::GetExecutablePath() { return VariableOr("EXECUTABLE PATH", "SCRIPT NAME"); }

TObject* THttpEngine::GetRequestThread() { return nullptr; }

void THttpEngine::WriteStatusLine() {
  if (!ServerWritesStatusLine(*this)) WriteLn("HTTP/1.1 200 OK");
}

void THttpEngine::Write(const std::string& Text) {
  TRequestRecord& request = CurrentRequest();
  if (AutoHttpHeader && !request.HeaderDone &&
      (Text.compare(0, 2, CrLf) == 0 || plat::Trim(Text).compare(0, 1, "<") == 0)) {
    request.HeaderDone = true;
    WriteHeaderField("content-type", AutoContentType);
    if (NoCache) {
      std::string expired = HttpDate(plat::Now() - 1000);
      WriteHeaderField("Pragma", "no-cache");
      WriteHeaderField("Cache-Control", "no-cache");
      WriteHeaderField("Expires", expired);
      WriteHeaderField("Document Expires", expired);
    }
    EndHeader();
  }
  if (Text.empty()) return;
  if (BufferedOutput && !request.DirectOutput) {
    if (request.OutputBuffer) request.OutputBuffer->append(Text);
    return;
  }
  SendToClient(Text.data(), static_cast<int>(Text.size()));
}

void THttpEngine::WriteData(const void* Buffer, int Count) {
  TRequestRecord& request = CurrentRequest();
  if (AutoHttpHeader && !request.HeaderDone) {
    const char* type = request.ImageType == TImageType::Gif    ? "image/gif"
                       : request.ImageType == TImageType::Jpeg ? "image/jpeg"
                                                               : nullptr;
    WriteHeaderField("content-type", type ? std::string(type) : AutoContentType);
    request.HeaderDone = true;
    EndHeader();
  }
  if (Count < 1) return;
  if (BufferedOutput && !request.DirectOutput) {
    if (request.OutputBuffer) request.OutputBuffer->append(static_cast<const char*>(Buffer), Count);
    return;
  }
  SendToClient(Buffer, Count);
}

int THttpEngine::ReadClient(void*, int) { return 0; }

void THttpEngine::WriteHeaderField(const std::string& Name, const std::string& Value) {
  TRequestRecord& request = CurrentRequest();
  if (AutoHttpHeader && !request.StatusLineDone) {
    request.StatusLineDone = true;
    std::string upper = plat::UpperCase(Name);
    bool isLocation = !upper.empty() && std::string("LOCATION").find(upper) != std::string::npos;
    if (!isLocation) WriteStatusLine();
  }
  Write(Name + ":" + Value + CrLf);
}

void THttpEngine::EndHeader() { WriteLn(""); }

TLock THttpEngine::CreateLock() { return new plat::TCriticalSection; }
void THttpEngine::EnterLock(TLock Lock) {
  if (Lock) Lock->Enter();
}
void THttpEngine::LeaveLock(TLock Lock) {
  if (Lock) Lock->Leave();
}
void THttpEngine::FreeLock(TLock Lock) { delete Lock; }

void THttpEngine::WriteLn(const std::string& Text) { Write(Text + CrLf); }

void THttpEngine::Loaded() {
  plat::TComponent::Loaded();
  if (Designing() || !Owner() || !IsActive()) return;
  if (auto* form = dynamic_cast<plat::TForm*>(Owner())) {
    form->Minimized = true;
    form->Hidden = true;
  }
  ThreadContext().CurrentEngine = this;
}

void THttpEngine::FlushOutputBuffer() {
  TRequestRecord& request = CurrentRequest();
  request.DirectOutput = true;
  std::string buffer = std::move(*request.OutputBuffer);
  request.OutputBuffer.reset();
  // The header block, if any, was written while buffering: nothing written
  // here may produce it again.
  request.HeaderDone = true;
  const int size = static_cast<int>(buffer.size());
  if (!AutoHttpHeader) {
    WriteData(buffer.data(), size);
    return;
  }
  if (ServerKeepsHeaderBlock()) {
    WriteHeaderField("content-length", plat::IntToStr(size));
    EndHeader();
    WriteData(buffer.data(), size);
    return;
  }
  size_t end = buffer.find("\r\n\r\n");
  if (end == std::string::npos) {
    WriteData(buffer.data(), size);
    return;
  }
  const int p = static_cast<int>(end);
  WriteData(buffer.data(), p + 2);
  WriteHeaderField("content-length", plat::IntToStr(size - p - 4));
  EndHeader();
  WriteData(buffer.data() + p + 4, size - p - 4);
}

bool THttpEngine::ServerKeepsHeaderBlock() {
  return plat::RunsAsLibrary() && Contains(plat::UpperCase(GetServerSoftware()), "NETSCAPE");
}

void RunRequest(THttpEngine* Engine) {
  TThreadContext& context = ThreadContext();
  TRequestScope scope;
  TRequestRecord& request = scope.Record();
  if (Engine->BufferedOutput) request.OutputBuffer.emplace();
  request.DirectOutput = !Engine->BufferedOutput;
  request.LogId = plat::Random(1000);

  const bool serialised = plat::RunsAsLibrary() && Engine->CGIMode == TCGIMode::ServerMode;
  if (serialised) ServerModeLock().Enter();
  try {
    context.CurrentEngine = Engine;
    Engine->ProcessRequest();
    if (Engine->AutoHttpHeader && !request.HeaderDone) {
      Engine->WriteHeaderField("content-type", Engine->AutoContentType);
      request.HeaderDone = true;
      Engine->EndHeader();
    }
  } catch (const plat::Exception& error) {
    ReportRequestError(Engine, error);
  } catch (const std::exception& error) {
    ReportRequestError(Engine, plat::Exception(error.what()));
  }
  if (Engine->BufferedOutput && request.OutputBuffer) {
    try {
      Engine->FlushOutputBuffer();
    } catch (const std::exception& error) {
      WriteLog("Unhandled exception : " + std::string(error.what()));
    }
    request.OutputBuffer.reset();
  }
  if (serialised) ServerModeLock().Leave();
  Engine->EndRequest();
}

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (const std::string& text) {
    return text;
  } catch (const char* text) {
    return text ? text : "";
  } catch (...) {
    return "Unknown exception";
  }
}

void WriteLog(const std::string& Message) {
  try {
    const std::string module = ModuleFileName();
    const std::string programDir = plat::ExtractFileDir(module);
    std::string dir = plat::GetEnv("CGI_LOG_DIR");
    if (dir.empty()) dir = programDir + "/Log";
    std::string resolved = dir[0] == '/' ? dir : programDir + "/" + dir;
    if (!plat::DirectoryExists(resolved) && !plat::CreateDir(resolved)) dir = programDir;
    std::string file = BuildFileName(module, dir, "Log", plat::ExtractFileName(module));
    const TRequestRecord* request = ThreadContext().Request;
    const int logId = request ? request->LogId : 0;
    double now = plat::Now();
    std::string line = plat::FormatShortDate(now) + " " + plat::FormatLongTime(now) + ",  " +
                       plat::IntToStr(logId) + " : " + Message + CrLf;
    plat::AppendToFile(file, line);
  } catch (...) {
    // A log that cannot be written loses the line; it must never fail a request.
  }
}

void TerminateCgiProcess() {
  if (plat::RunsAsLibrary()) return;
  plat::Application().FreeForms();
  plat::ExitProcessNow(0);
}

void InitHttpEngine() {
  THttpFunctionTable& table = HttpFunctions();
  table.HttpWrite = HttpWrite;
  table.HttpWriteLn = HttpWriteLn;
  table.HttpWriteData = HttpWriteData;
  table.HttpReadClient = HttpReadClient;
  table.HttpWriteHeader = HttpWriteHeader;
  table.HttpGetVariable = HttpGetVariable;
  table.HttpGetField = HttpGetField;
  table.HttpQueryString = HttpQueryString;
  table.HttpCookieString = HttpCookieString;
  table.HttpExecutablePath = HttpExecutablePath;
  table.HttpUserAgent = HttpUserAgent;
  table.SetImageType = SetImageType;
  plat::Randomize();
}

THttpEngine* CurrentEngine() { return ThreadContext().CurrentEngine; }
THttpEngine& RequiredEngine() {
  THttpEngine* engine = ThreadContext().CurrentEngine;
  if (!engine) throw plat::Exception("No request is being served on this thread");
  return *engine;
}
void SetCurrentEngine(THttpEngine* Engine) { ThreadContext().CurrentEngine = Engine; }
void SetImageType(int Kind) { CurrentRequest().ImageType = static_cast<TImageType>(Kind); }
void HttpWrite(const std::string& Text) { RequiredEngine().Write(Text); }
void HttpWriteLn(const std::string& Text) { RequiredEngine().WriteLn(Text); }
void HttpWriteData(const void* Buffer, int Count) { RequiredEngine().WriteData(Buffer, Count); }
void HttpWriteHeader(const std::string& Name, const std::string& Value) {
  RequiredEngine().WriteHeaderField(Name, Value);
}
int HttpReadClient(void* Buffer, int Count) { return RequiredEngine().ReadClient(Buffer, Count); }
std::string HttpGetVariable(const std::string& Name) {
  std::string value;
  RequiredEngine().GetVariable(Name, value);
  return value;
}
std::string HttpGetField(const std::string& Name, const std::string& Default) {
  std::string value;
  RequiredEngine().GetField(Name, Default, value);
  return value;
}
std::string HttpScriptName() { return RequiredEngine().GetScriptName(); }
std::string HttpQueryString() { return RequiredEngine().GetQueryString(); }
std::string HttpUserAgent() { return RequiredEngine().GetUserAgent(); }
std::string HttpCookieString() { return RequiredEngine().GetHttpCookie(); }
std::string HttpExecutablePath() { return RequiredEngine().GetExecutablePath(); }
