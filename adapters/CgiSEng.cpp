#include "adapters/CgiSEng.h"

#include <algorithm>

#include "engine/HUtils.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

namespace {

const std::string CrLf = "\r\n";

// Process-wide, decided once by the start-up step.
bool isResidentServer = false;
TCGIStdEngine* stdEngine = nullptr;

// Per-thread request state of this engine.
struct TCgiThreadState {
  std::string RequestFileName;
  std::optional<plat::THandleStream> OutputStream;
  std::optional<plat::THandleStream> InputStream;
  std::optional<std::vector<std::string>> RequestVariables;
  std::string FieldData;
  std::string ClientId;
  TObject* RequestThread = nullptr;
  long BodyBytesRead = 0;  // what ReadClient delivered of this request's body
};
thread_local TCgiThreadState cgi;

bool WindowsCgi() {
  return plat::UpperCase(GetEnvVar("CGI_VERSION")).find("WIN") != std::string::npos;
}

THttpEngine* CreateStdEngine(const TEngineConfig& config) { return new TCGIStdEngine(config); }

// A CGI program must read its whole body even when it does not use it: web
// servers reset the connection (or stall) when the program exits or writes a
// large response with the body still unread.
void ConsumeBody(long announced) {
  if (!cgi.InputStream) return;
  char scratch[65536];
  while (cgi.BodyBytesRead < announced) {
    long want = std::min<long>(sizeof scratch, announced - cgi.BodyBytesRead);
    long got = cgi.InputStream->Read(scratch, want);
    if (got <= 0) break;
    cgi.BodyBytesRead += got;
  }
}

[[noreturn]] void ResidentServerMissing() {
  WriteLog("Cannot serve this start: the resident CGI server mode is not available in this program");
  plat::ExitProcessNow(1);
}

}  // namespace

bool IsResidentServer() { return isResidentServer; }

std::string ServerBasePath() {
  static const std::string path = [] {
    std::string program = plat::ProgramFileName();
    std::string dir = plat::ExtractFileDir(program) + "/Temp";
    if (!plat::DirectoryExists(dir) && !plat::CreateDir(dir)) dir = plat::ExtractFileDir(program);
    return dir + "/" + plat::ExtractFileName(program);
  }();
  return path;
}

void CgiStdEngineStartup() {
  RegisterEngineFactory(TEngineKind::CgiStd, CreateStdEngine);
  const std::string software = GetEnvVar("SERVER_SOFTWARE");
  const int params = plat::ParamCount();
  isResidentServer = (software.empty() && params == 0) ||
                     (params >= 1 && plat::ParamStr(1) == "START_SERVER");
  cgi.RequestFileName = ServerBasePath() + "_C_" + cgi.ClientId + "_REQ";
  if (plat::RunsAsLibrary() || WindowsCgi() || (software.empty() && !isResidentServer)) return;
  // The resident server's queue housekeeping and hand-over belong to its own
  // mode; with no request queue file a CGI process serves its own request.
  if (isResidentServer) return;
  cgi.OutputStream.emplace(plat::THandleStream::Std::Output);
  cgi.InputStream.emplace(plat::THandleStream::Std::Input);
}

TCGIStdEngine::TCGIStdEngine(const TEngineConfig& Config) : THttpEngine(Config.Owner) {
  OnFirstExecRequest = Config.OnFirstExecRequest;
  OnExecRequest = Config.OnExecRequest;
  OnLastExecRequest = Config.OnLastExecRequest;
  OnRequestError = Config.OnRequestError;
  AutoHttpHeader = Config.AutoHttpHeader;
  AutoContentType = Config.AutoContentType;
  AutoReadInput = Config.AutoReadInput;
  AutoReadLimit = Config.AutoReadLimit;
  SessionName = Config.SessionName;
  TempDir = Config.TempDir;
  NoCache = Config.NoCache;
  BufferedOutput = Config.BufferedOutput;
  AutoTerminate = Config.CgiAutoTerminate;
  Interactive = Config.Interactive;
  CGIMode = Interactive ? TCGIMode::ServerMode : Config.CGIMode;
  stdEngine = this;
  FirstRequest = true;
  if (Designing() || plat::RunsAsLibrary()) return;
  if (!WindowsCgi() && (!GetEnvVar("SERVER_SOFTWARE").empty() || isResidentServer)) {
    SetCurrentEngine(this);
    if (isResidentServer) ResidentServerMissing();
    DispatchRequest(ServerBasePath() + "_C_" + cgi.ClientId + "_REQ");
  }
}

void TCGIStdEngine::DispatchRequest(const std::string& Name) {
  cgi.RequestFileName = Name;
  if (CGIMode != TCGIMode::NormalMode) ResidentServerMissing();
  RunRequest(this);
  if (AutoTerminate) TerminateCgiProcess();
}

void TCGIStdEngine::ProcessRequest() {
  cgi.FieldData = ReadRequestContent();
  if (FirstRequest && OnFirstExecRequest) {
    FirstRequest = false;
    OnFirstExecRequest(this);
  }
  if (OnExecRequest) OnExecRequest(this);
  if (OnLastExecRequest && CGIMode == TCGIMode::NormalMode) OnLastExecRequest(this);
}

std::string TCGIStdEngine::ReadRequestContent() {
  cgi.BodyBytesRead = 0;
  if (!cgi.InputStream) return "";
  std::string length;
  GetVariable("CONTENT_LENGTH", length);
  const int announced = length.empty() ? 0 : plat::StrToInt(length);
  if (announced < 1) return GetQueryString();
  if (announced > AutoReadLimit) {
    WriteLog("Content length exceeds AutoReadLimit");
    ConsumeBody(announced);
    return "";
  }
  if (!AutoReadInput) {
    ConsumeBody(announced);
    return "";
  }
  std::string contentType;
  GetVariable("CONTENT_TYPE", contentType);
  std::string data;
  if (plat::UpperCase(contentType).find("MULTIPART/FORM-DATA;") != std::string::npos) {
    ReadMultipartInput(data);
    ConsumeBody(announced);
    return data;
  }
  data.resize(announced);
  long got = 0;
  while (got < announced) {
    long n = cgi.InputStream->Read(data.data() + got, announced - got);
    if (n <= 0) break;  // the body ended early: use what arrived
    got += n;
  }
  cgi.BodyBytesRead = got;
  data.resize(got);
  size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

void TCGIStdEngine::EndRequest() {
  THttpEngine::EndRequest();
  if (!AutoTerminate) return;
  // Closing standard output tells the web server the response is complete.
  if (cgi.OutputStream) cgi.OutputStream->Close();
  if (cgi.InputStream) cgi.InputStream->Close();
  cgi.OutputStream.reset();
  cgi.InputStream.reset();
  if (!isResidentServer) TerminateCgiProcess();
}

TObject* TCGIStdEngine::GetRequestThread() { return cgi.RequestThread; }

void TCGIStdEngine::WriteStatusLine() { THttpEngine::WriteStatusLine(); }

void TCGIStdEngine::Write(const std::string& Text) {
  THttpEngine::Write(Text);
  if (BufferedOutput && !RequestState().DirectOutput) return;
  if (!Text.empty() && cgi.OutputStream) cgi.OutputStream->Write(Text.data(), static_cast<long>(Text.size()));
}

void TCGIStdEngine::WriteData(const void* Buffer, int Count) {
  THttpEngine::WriteData(Buffer, Count);
  if (BufferedOutput && !RequestState().DirectOutput) return;
  if (Count > 0 && cgi.OutputStream) cgi.OutputStream->Write(Buffer, Count);
}

int TCGIStdEngine::ReadClient(void* Buffer, int Count) {
  if (Count < 1 || !cgi.InputStream) return 0;
  char* out = static_cast<char*>(Buffer);
  int got = 0;
  while (got < Count) {
    long n = cgi.InputStream->Read(out + got, Count - got);
    if (n < 0) return got > 0 ? got : -1;
    if (n == 0) break;  // the input ended before Count bytes: never wait for more
    got += static_cast<int>(n);
  }
  cgi.BodyBytesRead += got;
  return got;
}

void TCGIStdEngine::EndHeader() {
  THttpEngine::Write(CrLf);
  if (BufferedOutput && !RequestState().DirectOutput) return;
  if (cgi.OutputStream) cgi.OutputStream->Write(CrLf.data(), 2);
}

void TCGIStdEngine::GetVariable(const std::string& Name, std::string& Value) {
  std::string key = plat::UpperCase(Name);
  std::replace(key.begin(), key.end(), ' ', '_');
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
  if (cgi.RequestVariables) {
    Value.clear();
    const std::string prefix = key + "=";
    for (const std::string& line : *cgi.RequestVariables) {
      if (plat::UpperCase(line.substr(0, prefix.size())) == prefix) {
        Value = line.substr(prefix.size());
        return;
      }
    }
    return;
  }
  Value = GetEnvVar(key);
}

void TCGIStdEngine::GetField(const std::string& Name, const std::string& Default, std::string& Value) {
  Value = GetFieldValue(Name, cgi.FieldData, Default);
}

std::vector<std::string> TCGIStdEngine::GetFieldNames() { return GetFieldNamesOf(cgi.FieldData); }

bool TCGIStdEngine::IsActive() {
  return !plat::RunsAsLibrary() && !WindowsCgi() &&
         (!GetEnvVar("SERVER_SOFTWARE").empty() || isResidentServer);
}
