#include "adapters/CgiSEng.h"

#include <algorithm>

#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

namespace {

THttpEngine* CreateStdEngine(const TEngineConfig& config) { return new TCGIStdEngine(config); }

// A CGI program must read its whole body even when it does not use it: web
// servers reset the connection (or stall) when the program exits with the
// body still unread. Done after the handler, which may read it itself.
void DrainBody(TRequestRecord& request, int announced) {
  TCgiThreadFields& cgi = CgiThreadFields();
  if (!cgi.InputStream) return;
  char scratch[65536];
  while (request.BodyBytesRead < announced) {
    long want = std::min<long>(sizeof scratch, announced - request.BodyBytesRead);
    long got = cgi.InputStream->Read(scratch, want);
    if (got <= 0) break;
    request.BodyBytesRead += got;
  }
}

[[noreturn]] void ResidentServerMissing() {
  WriteLog("Cannot serve this start: the resident CGI server mode is not available in this program");
  plat::ExitProcessNow(1);
}

}  // namespace

TCgiThreadFields& CgiThreadFields() { return ThreadContext().Parts.Get<TCgiThreadFields>(); }

bool IsResidentServer() { return StartPlan().ResidentServer; }

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
  TCgiThreadFields& cgi = CgiThreadFields();
  cgi.RequestFileName = ServerBasePath() + "_C_" + cgi.ClientId + "_REQ";
  // The resident server's queue housekeeping and hand-over belong to its own
  // mode; with no request queue file a CGI process serves its own request.
  if (!StartPlan().StdStreams) return;
  cgi.OutputStream.emplace(plat::THandleStream::Std::Output);
  cgi.InputStream.emplace(plat::THandleStream::Std::Input);
}

TCGIStdEngine::TCGIStdEngine(const TEngineConfig& Config)
    : THttpEngine(Config.Owner, Config.Properties),
      Interactive(Config.Interactive),
      AutoTerminate(Config.CgiAutoTerminate) {
  if (Interactive) CGIMode = TCGIMode::ServerMode;
  if (Designing() || !IsActive()) return;
  SetCurrentEngine(this);
  if (IsResidentServer()) ResidentServerMissing();
  DispatchRequest(ServerBasePath() + "_C_" + CgiThreadFields().ClientId + "_REQ");
}

void TCGIStdEngine::DispatchRequest(const std::string& Name) {
  CgiThreadFields().RequestFileName = Name;
  if (CGIMode != TCGIMode::NormalMode) ResidentServerMissing();
  RunRequest(this);
  if (AutoTerminate) TerminateCgiProcess();
}

void TCGIStdEngine::ProcessRequest() { ServeRequest(CGIMode == TCGIMode::NormalMode); }

std::string TCGIStdEngine::ReadRequestContent() {
  if (!CgiThreadFields().InputStream) return "";
  return THttpEngine::ReadRequestContent();
}

void TCGIStdEngine::EndRequest() {
  THttpEngine::EndRequest();
  TRequestRecord& request = CurrentRequest();
  if (request.ContentLength) DrainBody(request, *request.ContentLength);
  if (!AutoTerminate) return;
  // Closing standard output tells the web server the response is complete.
  TCgiThreadFields& cgi = CgiThreadFields();
  if (cgi.OutputStream) cgi.OutputStream->Close();
  if (cgi.InputStream) cgi.InputStream->Close();
  cgi.OutputStream.reset();
  cgi.InputStream.reset();
  if (!IsResidentServer()) TerminateCgiProcess();
}

TObject* TCGIStdEngine::GetRequestThread() { return CgiThreadFields().RequestThread; }

void TCGIStdEngine::SendToClient(const void* Buffer, int Count) {
  TCgiThreadFields& cgi = CgiThreadFields();
  if (cgi.OutputStream) cgi.OutputStream->Write(Buffer, Count);
}

int TCGIStdEngine::ReadClient(void* Buffer, int Count) {
  TCgiThreadFields& cgi = CgiThreadFields();
  if (Count < 1 || !cgi.InputStream) return 0;
  char* out = static_cast<char*>(Buffer);
  int got = 0;
  while (got < Count) {
    long n = cgi.InputStream->Read(out + got, Count - got);
    if (n < 0) {
      if (got == 0) return -1;
      break;
    }
    if (n == 0) break;  // the input ended before Count bytes: never wait for more
    got += static_cast<int>(n);
  }
  CurrentRequest().BodyBytesRead += got;
  return got;
}

void TCGIStdEngine::GetVariable(const std::string& Name, std::string& Value) {
  std::string key = plat::UpperCase(Name);
  std::replace(key.begin(), key.end(), ' ', '_');
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
  const TCgiThreadFields& cgi = CgiThreadFields();
  if (!cgi.RequestVariables) {
    Value = GetEnvVar(key);
    return;
  }
  Value.clear();
  const std::string prefix = key + "=";
  for (const std::string& line : *cgi.RequestVariables) {
    if (plat::UpperCase(line.substr(0, prefix.size())) == prefix) {
      Value = line.substr(prefix.size());
      return;
    }
  }
}

bool TCGIStdEngine::IsActive() { return StartPlan().StdActive; }
