#include "adapters/FcgiEng.h"

#include <fcgiapp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/PlatComponents.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatWorkers.h"

namespace {

THttpEngine* CreateFastCgiEngine(const TEngineConfig& config) { return new TFastCgiEngine(config); }

int listenHandle = -1;
std::atomic<bool> stopping{false};
std::unique_ptr<plat::TWorkers> workers;

// Said where the person who started the process looks, and in the log.
[[noreturn]] void FailStart(const std::string& message) {
  WriteLog(message);
  std::fprintf(stderr, "%s\n", message.c_str());
  plat::ExitProcessNow(1);
}

void ServeRequests(TFastCgiEngine* engine) {
  try {
    engine->ServeConnections(listenHandle);
  } catch (const std::exception& error) {
    WriteLog("Unhandled exception : " + std::string(error.what()));
  }
}

}  // namespace

TFcgiThreadFields& FcgiThreadFields() { return ThreadContext().Parts.Get<TFcgiThreadFields>(); }

void FcgiEngineStartup() {
  RegisterEngineFactory(TEngineKind::FastCgi, CreateFastCgiEngine);
  const TStartPlan plan = StartPlan();
  if (!plan.FastCgi) return;
  if (!plan.StartError.empty()) FailStart(plan.StartError);
  if (FCGX_Init() != 0) FailStart("The FastCGI library could not start");
  plat::IgnoreBrokenPipes();
  if (plan.FastCgiAddress.empty()) {
    listenHandle = 0;
  } else {
    std::string error;
    listenHandle = plat::OpenListeningSocket(plan.FastCgiAddress, error);
    if (listenHandle < 0) FailStart(error);
  }
  // The application object is made first, so it is destroyed after the end.
  plat::Application();
  plat::InstallQuitSignals();
  std::atexit(StopFastCgi);
}

void StopFastCgi() {
  stopping = true;
  if (workers) workers->Join();
  workers.reset();
}

TFastCgiEngine::TFastCgiEngine(const TEngineConfig& Config) : THttpEngine(Config.Owner, Config.Properties) {
  // Requests of many workers run at once; none of them is serialised.
  CGIMode = TCGIMode::NormalMode;
  if (Designing() || !IsActive() || workers) return;
  const int count = StartPlan().FastCgiThreads > 0 ? StartPlan().FastCgiThreads : plat::ProcessorCount();
  // The workers start once the application runs: its window is loaded then.
  // The timer fires once; the main loop then only waits for quit signals.
  static int timer = 0;
  timer = plat::Application().AddTimer(0, [this, count] {
    plat::Application().RemoveTimer(timer);
    if (workers) return;
    workers = std::make_unique<plat::TWorkers>();
    if (workers->Start(count, [this](int) { ServeRequests(this); }) == 0)
      FailStart("No worker thread could be started");
  });
}

TFastCgiEngine::~TFastCgiEngine() { StopFastCgi(); }

void TFastCgiEngine::ServeConnections(int ListenHandle) {
  FCGX_Request request;
  if (FCGX_InitRequest(&request, ListenHandle, FCGI_FAIL_ACCEPT_ON_INTR) != 0) return;
  TFcgiThreadFields& fields = FcgiThreadFields();
  while (!stopping) {
    int accepted;
    {
      plat::TWakeable wakeable;
      if (stopping) break;
      accepted = FCGX_Accept_r(&request);
    }
    if (accepted < 0) {
      // Interrupted to stop, or the socket failed: the pause keeps a broken
      // socket from spinning.
      if (!stopping) plat::SleepMs(10);
      continue;
    }
    fields.Request = &request;
    RunRequest(this);
    fields.Request = nullptr;
    FCGX_Finish_r(&request);
  }
  FCGX_Free(&request, 1);
}

void TFastCgiEngine::ProcessRequest() { ServeRequest(false); }

void TFastCgiEngine::EndRequest() {
  THttpEngine::EndRequest();
  // A body left unread would stand between the server and our response's
  // end; the stream ends where the server's body ends.
  FCGX_Request* request = FcgiThreadFields().Request;
  if (!request) return;
  char scratch[65536];
  while (FCGX_GetStr(scratch, sizeof scratch, request->in) > 0) {
  }
}

void TFastCgiEngine::WriteHeaderField(const std::string& Name, const std::string& Value) {
  if (Name.find_first_of(" \t") == std::string::npos) THttpEngine::WriteHeaderField(Name, Value);
}

int TFastCgiEngine::ReadClient(void* Buffer, int Count) {
  FCGX_Request* request = FcgiThreadFields().Request;
  if (!request || Count < 1) return 0;
  const int got = FCGX_GetStr(static_cast<char*>(Buffer), Count, request->in);
  if (got <= 0) return FCGX_GetError(request->in) != 0 ? -1 : 0;
  CurrentRequest().BodyBytesRead += got;
  return got;
}

void TFastCgiEngine::GetVariable(const std::string& Name, std::string& Value) {
  Value.clear();
  FCGX_Request* request = FcgiThreadFields().Request;
  if (!request) return;
  std::string key = plat::UpperCase(Name);
  std::replace(key.begin(), key.end(), ' ', '_');
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
  if (const char* value = FCGX_GetParam(key.c_str(), request->envp)) Value = value;
}

bool TFastCgiEngine::IsActive() { return StartPlan().FastCgi; }

void TFastCgiEngine::SendToClient(const void* Buffer, int Count) {
  FCGX_Request* request = FcgiThreadFields().Request;
  if (request && Count > 0) FCGX_PutStr(static_cast<const char*>(Buffer), Count, request->out);
}
