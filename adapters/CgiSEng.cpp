#include "adapters/CgiSEng.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "adapters/CgiServer.h"

#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatThreads.h"
#include "platform/PlatWatch.h"

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

// Request threads still serving; the server's normal end waits for them.
std::atomic<TCGIStdEngine*> stdEngine{nullptr};

void CloseStreams(TCgiThreadFields& cgi) {
  if (cgi.OutputStream) cgi.OutputStream->Close();
  if (cgi.InputStream) cgi.InputStream->Close();
  cgi.OutputStream.reset();
  cgi.InputStream.reset();
}

}  // namespace

TCgiThreadFields& CgiThreadFields() { return ThreadContext().Parts.Get<TCgiThreadFields>(); }

bool IsResidentServer() { return StartPlan().ResidentServer; }

TCGIStdEngine* StdEngine() { return stdEngine; }

std::string ServerBasePath() {
  static const std::string path = [] {
    std::string program = plat::ProgramFileName();
    std::string dir = plat::ExtractFileDir(program) + "/Temp";
    if (!plat::DirectoryExists(dir) && !plat::CreateDir(dir, plat::TFileMode::OwnerOnly)) dir = plat::ExtractFileDir(program);
    return dir + "/" + plat::ExtractFileName(program);
  }();
  return path;
}

namespace {

// The resident server's normal end (its loop ended by a quit message): it
// deletes its own files.
std::unique_ptr<plat::TWindow> serverWindow;
plat::TFileWatch queueWatch;

void EndResidentServer() {
  if (!serverWindow) return;
  try {
    // Requests still being served keep their files until they are done.
    WaitForRequestThreads();
    DeleteServerFiles();
  } catch (...) {
  }
  serverWindow.reset();
}

}  // namespace

void CgiStdEngineStartup() {
  RegisterEngineFactory(TEngineKind::CgiStd, CreateStdEngine);
  TCgiThreadFields& cgi = CgiThreadFields();
  cgi.RequestFileName = ServerBasePath() + "_C_" + cgi.ClientId + "_REQ";
  ServerData();
  const TStartPlan plan = StartPlan();
  if (!plan.StdActive) return;
  QueueHousekeeping();
  if (plan.ResidentServer) {
    // A second server would replace the running one's queue file, and with
    // it the entries of the clients waiting there: it ends at once.
    if (ServerWindowExists()) {
      WriteLog("A resident server is running already");
      plat::ExitProcessNow(0);
    }
    // The application object is made first, so it is destroyed after the end.
    plat::Application();
    std::atexit(EndResidentServer);
    CreateQueueFile();
    return;
  }
  cgi.OutputStream.emplace(plat::THandleStream::Std::Output);
  cgi.InputStream.emplace(plat::THandleStream::Std::Input);
  // Once a queue file exists, a resident server takes every request.
  if (HandOverRequest()) WaitForResponse();
}

TCGIStdEngine::TCGIStdEngine(const TEngineConfig& Config)
    : THttpEngine(Config.Owner, Config.Properties),
      Interactive(Config.Interactive),
      AutoTerminate(Config.CgiAutoTerminate) {
  if (Interactive) CGIMode = TCGIMode::ServerMode;
  stdEngine = this;
  if (Designing() || !IsActive()) return;
  SetCurrentEngine(this);
  if (IsResidentServer()) {
    StartPolling();
    return;
  }
  DispatchRequest(ServerBasePath() + "_C_" + CgiThreadFields().ClientId + "_REQ");
}

TCGIStdEngine::~TCGIStdEngine() {
  if (stdEngine == this) stdEngine = nullptr;
}

void TCGIStdEngine::StartPolling() {
  plat::Application().Title = plat::ExtractFileName(plat::ProgramFileName()) + "_S";
  plat::InstallQuitSignals();
  // The window shows clients a server that polls.
  serverWindow = std::make_unique<plat::TWindow>();
  if (!serverWindow->Create(WindowFileName())) WriteLog("Can not create file " + WindowFileName());
  PollTimer = plat::Application().AddTimer(50, [this] { PollQueue(); });
  // A client's entry wakes the server at once; the timer stays the fallback.
  if (WakeUps() && queueWatch.Watch(QueueFileName()))
    plat::Application().SetWakeHandle(queueWatch.Handle(), [this] {
      queueWatch.Drain();
      if (PollTimer) PollQueue();
    });
}

void TCGIStdEngine::PollQueue() {
  plat::TApplication& application = plat::Application();
  application.RemoveTimer(PollTimer);
  PollTimer = 0;
  try {
    TQueueRecord record;
    // A process that is the Windows CGI server too leaves such entries to it.
    const TTaken taken = TakeNextRequest(record, false, StartPlan().WinServer);
    if (taken == TTaken::Other) {
      WriteLog("A Windows CGI request is waiting in the queue: this server takes no further request");
      return;
    }
    if (taken == TTaken::Own) {
      const std::string name = record.RecordName();
      if (IsClientRequestFile(name) && plat::RegularFileExists(name))
        DispatchRequest(name);
      else
        FinishRequest(name);
    }
  } catch (...) {
  }
  if (plat::EntryExists(QueueFileName())) {
    PollTimer = application.AddTimer(50, [this] { PollQueue(); });
    return;
  }
  // The queue file is gone, and with it whatever is named after it: the
  // files left now may already be a new server's.
  ServerData().QueueOwner = false;
  serverWindow.reset();
  TerminateCgiProcess();
}

void TCGIStdEngine::DispatchRequest(const std::string& Name) {
  CgiThreadFields().RequestFileName = Name;
  if (IsResidentServer()) {
    if (CGIMode != TCGIMode::ServerThreadMode || !TCGIRequestThread::Start(Name)) ServeHandedOver(Name);
    return;
  }
  if (CGIMode != TCGIMode::NormalMode) StartServerAndHandOver();
  RunRequest(this);
  if (AutoTerminate) TerminateCgiProcess();
}

void TCGIStdEngine::ServeHandedOver(const std::string& Name) {
  TCgiThreadFields& cgi = CgiThreadFields();
  cgi.RequestFileName = Name;
  try {
    OpenRequestFiles(Name);
    RunRequest(this);
  } catch (const std::exception& error) {
    WriteLog("Unhandled exception : " + std::string(error.what()));
  }
  // The client may read the response only once it is closed.
  CloseStreams(cgi);
  try {
    FinishRequest(Name);
  } catch (...) {
  }
}

void TCGIStdEngine::StartServerAndHandOver() {
  try {
    if (!plat::EntryExists(QueueFileName())) {
      plat::TFile queue;
      queue.Open(QueueFileName(), plat::TFileAccess::Write, plat::TShareKind::Exclusive,
                 plat::TFileCreation::CreateNew, plat::TFileLink::NoFollow, plat::TFileMode::OwnerOnly);
    }
    if (!plat::SpawnDetached(plat::ProgramFileName(), {"START_SERVER"})) TerminateCgiProcess();
    for (int attempt = 0; attempt < 6; ++attempt) {
      plat::SleepMs(500);
      if (HandOverRequest()) WaitForResponse();
    }
  } catch (...) {
    TerminateCgiProcess();
  }
  // No hand-over succeeded: the request is served here rather than lost.
}

void TCGIRequestThread::Execute() {
  TCgiThreadFields& cgi = CgiThreadFields();
  cgi.RequestThread = this;
  ServerData();
  if (TCGIStdEngine* engine = StdEngine()) engine->ServeHandedOver(RequestFile);
  cgi.RequestThread = nullptr;
}

bool TCGIRequestThread::Start(const std::string& File) {
  auto* thread = new TCGIRequestThread(File);
  ++RunningRequestThreads();
  try {
    std::thread([thread] {
      thread->Execute();
      delete thread;
      --RunningRequestThreads();
    }).detach();
    return true;
  } catch (...) {
    delete thread;
    --RunningRequestThreads();
    return false;
  }
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
  CloseStreams(CgiThreadFields());
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
