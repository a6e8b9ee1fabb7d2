#include "adapters/CgiWEng.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "adapters/CgiServer.h"
#include "engine/HUtils.h"
#include "platform/PlatExcept.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatThreads.h"
#include "platform/PlatTime.h"
#include "platform/PlatWindow.h"

namespace {

THttpEngine* CreateWinEngine(const TEngineConfig& config) { return new TCGIWinEngine(config); }

TCGIWinEngine* winEngine = nullptr;

void CloseFiles(TWinCgiThreadFields& win) {
  win.OutputFile.reset();
  win.ContentFile.reset();
}

}  // namespace

TWinCgiThreadFields& WinCgiThreadFields() { return ThreadContext().Parts.Get<TWinCgiThreadFields>(); }

bool WinCgiActive() { return StartPlan().WinActive; }
bool IsWinCgiServer() { return StartPlan().WinServer; }

std::string AbsolutePath(const std::string& Path) {
  if (Path.empty() || Path[0] == '/') return Path;
  const std::string dir = plat::CurrentDirectory();
  return dir.empty() ? Path : dir + "/" + Path;
}

namespace {

constexpr int kHandOverAttempts = 21;
constexpr int kNameRoom = TQueueRecord::NameSize - 1;

std::unique_ptr<plat::TWindow> winServerWindow;

// A process that runs the standard resident server too shares its queue
// file and window.
bool SharesStdServer() {
  const TStartPlan plan = StartPlan();
  return plan.StdActive && plan.ResidentServer;
}

void EndWinServer() {
  if (!winServerWindow) return;
  // The main thread's ServerData, gone before this runs, took the queue
  // file with it once the request threads were done.
  WaitForRequestThreads();
  try {
    plat::DeleteFile(WindowFileName());
  } catch (...) {
  }
  winServerWindow.reset();
}

// Appends the record naming the profile; the profile itself is the request.
bool HandOverProfile(const std::string& Profile) {
  // A name the record cannot hold whole is served by this process.
  if (Profile.size() > static_cast<size_t>(kNameRoom) || !plat::EntryExists(QueueFileName())) return false;
  TServerData& data = ServerData();
  for (int attempt = 0; attempt < 11; ++attempt) {
    plat::TFile queue;
    if (!queue.Open(QueueFileName(), plat::TFileAccess::Write, plat::TShareKind::Exclusive,
                    plat::TFileCreation::OpenExisting, plat::TFileLink::NoFollow)) {
      if (queue.Failure() != plat::TOpenFailure::SharingViolation) return false;
      plat::SleepMs(50);
      continue;
    }
    const TQueueRecord record = TQueueRecord::Make(plat::Now(), Profile);
    if (!queue.SeekEnd() || !queue.Write(record.Bytes, TQueueRecord::Size)) return false;
    data.QueueOwner = false;
    data.RecordName = Profile;
    queue.Touch();
    return true;
  }
  return false;
}

// Waits until the server has written the output file; the web server reads
// it once this process has ended.
[[noreturn]] void WaitForCompletion() {
  static bool ServerWindowSeen = false;
  plat::InstallQuitSignals();
  const double start = plat::Now();
  try {
    while (start + 180.0 / 86400 > plat::Now() && !plat::QuitSignalPending()) {
      const bool window = ServerWindowExists();
      const int status = GetRequestStatus();
      if (status >= 2) break;
      // The age is taken now, not when the wait began: a busy server keeps
      // touching the queue, and its other clients' entries must survive.
      if ((ServerWindowSeen && !window) || QueueStale()) {
        plat::DeleteFile(QueueFileName());
        break;
      }
      if (window) ServerWindowSeen = true;
      plat::SleepMs(60);
    }
  } catch (...) {
  }
  TerminateCgiProcess();
  plat::ExitProcessNow(0);
}

}  // namespace

void CgiWinEngineStartup() {
  RegisterEngineFactory(TEngineKind::CgiWin, CreateWinEngine);
  if (!WinCgiActive()) return;
  TWinCgiThreadFields& win = WinCgiThreadFields();
  // The resident server that may take the request runs elsewhere: a
  // relative name would not lead it to the profile.
  if (plat::ParamCount() >= 1) win.ProfileFileName = AbsolutePath(plat::ParamStr(1));
  ServerData();
  if (!ServerWindowExists() && QueueStale()) plat::DeleteFile(QueueFileName());
  if (IsWinCgiServer()) {
    if (SharesStdServer()) return;
    plat::Application();
    std::atexit(EndWinServer);
    CreateQueueFile(false);
    return;
  }
  if (HandOverProfile(win.ProfileFileName)) WaitForCompletion();
}

TCGIWinEngine::TCGIWinEngine(const TEngineConfig& Config)
    : THttpEngine(Config.Owner, Config.Properties), Interactive(Config.Interactive) {
  winEngine = this;
  if (Designing() || !WinCgiActive()) return;
  AutoTerminate = Config.CgiAutoTerminate;
  if (Interactive) CGIMode = TCGIMode::ServerMode;
  SetCurrentEngine(this);
  if (!IsWinCgiServer()) {
    DispatchRequest(WinCgiThreadFields().ProfileFileName);
    return;
  }
  plat::TApplication& application = plat::Application();
  application.Title = plat::ExtractFileName(plat::ProgramFileName()) + "_S";
  if (!SharesStdServer()) {
    plat::InstallQuitSignals();
    winServerWindow = std::make_unique<plat::TWindow>();
    if (!winServerWindow->Create(WindowFileName())) WriteLog("Can not create file " + WindowFileName());
  }
  PollTimer = application.AddTimer(60, [this] { PollQueue(); });
}

void TCGIWinEngine::PollQueue() {
  plat::TApplication& application = plat::Application();
  application.RemoveTimer(PollTimer);
  PollTimer = 0;
  try {
    TQueueRecord record;
    const TTaken taken = TakeNextRequest(record, true, SharesStdServer());
    if (taken == TTaken::Other) {
      WriteLog("A standard CGI request is waiting in the queue: this server takes no further request");
      return;
    }
    if (taken == TTaken::Own) {
      const std::string name = record.RecordName();
      if (plat::RegularFileExists(name))
        DispatchRequest(name);
      else
        FinishRequest(name);
    }
  } catch (...) {
  }
  if (plat::EntryExists(QueueFileName())) {
    PollTimer = application.AddTimer(60, [this] { PollQueue(); });
    return;
  }
  if (SharesStdServer()) return;
  ServerData().QueueOwner = false;
  winServerWindow.reset();
  TerminateCgiProcess();
}

void TCGIWinEngine::ServeProfile(const std::string& Name) {
  TWinCgiThreadFields& win = WinCgiThreadFields();
  win.ProfileFileName = Name;
  win.Profile.reset();
  try {
    RunRequest(this);
  } catch (const std::exception& error) {
    WriteLog("Unhandled exception : " + std::string(error.what()));
  }
  // The web server may read the output only once it is closed.
  CloseFiles(win);
  try {
    FinishRequest(Name);
  } catch (...) {
  }
}

TCGIWinEngine::~TCGIWinEngine() {
  if (winEngine == this) winEngine = nullptr;
}

void TCGIWinEngine::DispatchRequest(const std::string& Name) {
  TWinCgiThreadFields& win = WinCgiThreadFields();
  win.ProfileFileName = Name;
  win.Profile.reset();
  if (IsWinCgiServer()) {
    if (CGIMode == TCGIMode::ServerThreadMode) {
      ++RunningRequestThreads();
      try {
        std::thread([this, Name] {
          WinCgiThreadFields().RequestThread = this;
          ServerData();
          ServeProfile(Name);
          WinCgiThreadFields().RequestThread = nullptr;
          --RunningRequestThreads();
        }).detach();
        return;
      } catch (...) {
        --RunningRequestThreads();
      }
    }
    ServeProfile(Name);
    return;
  }
  if (CGIMode != TCGIMode::NormalMode) {
    // No server took the request at start-up: one is started and given it.
    if (plat::SpawnDetached(plat::ProgramFileName(), {})) {
      for (int attempt = 0; attempt < kHandOverAttempts; ++attempt) {
        plat::SleepMs(200);
        if (HandOverProfile(Name)) WaitForCompletion();
      }
    }
    // Every hand-over failed: the request is served here rather than lost.
  }
  RunRequest(this);
  if (AutoTerminate) TerminateCgiProcess();
}

void TCGIWinEngine::ProcessRequest() {
  TWinCgiThreadFields& win = WinCgiThreadFields();
  win.Profile.emplace(win.ProfileFileName);
  win.OutputFileName = win.Profile->ReadString("System", "OUTPUT FILE", "");
  if (win.OutputFileName.empty()) return;
  // An existing output file is written from its start and not shortened.
  win.OutputFile.emplace();
  if (!win.OutputFile->Open(win.OutputFileName, plat::TFileAccess::Write, plat::TShareKind::ReadShared,
                            plat::TFileCreation::OpenAlways)) {
    win.OutputFile.reset();
    throw plat::EFCreateError(win.OutputFileName);
  }
  try {
    const std::string content = Variable("Content File");
    if (!content.empty() && plat::UpperCase(Variable("CONTENT_TYPE")).find("MULTIPART/FORM-DATA;") != std::string::npos) {
      win.ContentFile.emplace();
      if (!win.ContentFile->Open(content, plat::TFileAccess::Read, plat::TShareKind::ReadShared))
        throw plat::EFOpenError(content);
      std::string data;
      ReadMultipartInput(data);
      CurrentRequest().FieldData = data;
    }
    if (OnFirstExecRequest && FirstRequest.exchange(false)) OnFirstExecRequest(this);
    if (OnExecRequest) OnExecRequest(this);
    if (!IsWinCgiServer() && OnLastExecRequest) OnLastExecRequest(this);
  } catch (...) {
    win.ContentFile.reset();
    throw;
  }
}

void TCGIWinEngine::EndRequest() {
  THttpEngine::EndRequest();
  CloseFiles(WinCgiThreadFields());
}

std::string TCGIWinEngine::GetHttpCookie() {
  const TWinCgiThreadFields& win = WinCgiThreadFields();
  return win.Profile ? win.Profile->ReadString("Extra Headers", "Cookie", "") : "";
}

TObject* TCGIWinEngine::GetRequestThread() { return WinCgiThreadFields().RequestThread; }

int TCGIWinEngine::ReadClient(void* Buffer, int Count) {
  TWinCgiThreadFields& win = WinCgiThreadFields();
  if (Count < 1 || !win.ContentFile) return 0;
  return static_cast<int>(win.ContentFile->Read(Buffer, Count));
}

void TCGIWinEngine::WriteHeaderField(const std::string& Name, const std::string& Value) {
  // The web server makes the status line from the header fields.
  Write(Name + ":" + Value + "\r\n");
}

void TCGIWinEngine::SendToClient(const void* Buffer, int Count) {
  TWinCgiThreadFields& win = WinCgiThreadFields();
  if (!win.OutputFile) return;
  const char* bytes = static_cast<const char*>(Buffer);
  for (int done = 0; done < Count; done += 1024) {
    if (!win.OutputFile->Write(bytes + done, std::min(1024, Count - done)))
      throw plat::Exception("Stream-Schreibfehler");
  }
}

void TCGIWinEngine::GetVariable(const std::string& Name, std::string& Value) {
  std::string key = plat::UpperCase(Name);
  std::replace(key.begin(), key.end(), '_', ' ');
  if (key == "SCRIPT NAME") key = "EXECUTABLE PATH";
  Value.clear();
  const TWinCgiThreadFields& win = WinCgiThreadFields();
  if (!win.Profile) return;
  for (const char* section : {"CGI", "SYSTEM", "EXTRA HEADERS", "ACCEPT"}) {
    Value = win.Profile->ReadString(section, key, NotAvailable);
    if (Value != NotAvailable) return;
  }
  Value.clear();
}

std::string TCGIWinEngine::ProfileField(const std::string& Name) {
  const TCGIIniFile& profile = *WinCgiThreadFields().Profile;
  std::string value = profile.ReadString("Form Literal", Name, NotAvailable);
  if (value == NotAvailable) value = profile.ReadString("Form File", Name, NotAvailable);
  if (value != NotAvailable) return value;
  const std::string external = profile.ReadString("Form External", Name, NotAvailable);
  const size_t blank = external.find(' ');
  int count = 0;
  if (external == NotAvailable || blank == std::string::npos ||
      !plat::TryStrToInt(plat::TrimLeft(std::string_view(external).substr(blank, 10)), count) || count < 0)
    return NotAvailable;
  plat::TFile file;
  if (!file.Open(external.substr(0, blank), plat::TFileAccess::Read, plat::TShareKind::ReadShared))
    return NotAvailable;
  // Read as far as the file goes, never more than the count: a count far
  // beyond the file must not reserve memory for it.
  std::string data;
  char piece[2048];
  while (static_cast<int>(data.size()) < count) {
    const long got = file.Read(piece, std::min<long>(sizeof piece, count - static_cast<long>(data.size())));
    if (got <= 0) break;
    data.append(piece, static_cast<size_t>(got));
  }
  const size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

void TCGIWinEngine::GetField(const std::string& Name, const std::string& Default, std::string& Value) {
  const std::string& data = CurrentRequest().FieldData;
  if (!data.empty()) {
    Value = GetFieldValue(Name, data, Default);
    return;
  }
  if (GetRequestMethod() == "GET") {
    Value = GetFieldValue(Name, GetQueryString(), Default);
    return;
  }
  if (!WinCgiThreadFields().Profile) {
    Value = Default;
    return;
  }
  std::string value = ProfileField(Name);
  if (value == NotAvailable) {
    Value = Default;
    return;
  }
  for (int n = 1;; ++n) {
    const std::string more = ProfileField(Name + "_" + std::to_string(n));
    if (more == NotAvailable) break;
    value += "\r\n" + more;
  }
  Value = value;
}

std::vector<std::string> TCGIWinEngine::GetFieldNames() {
  const std::string& data = CurrentRequest().FieldData;
  if (!data.empty()) return GetFieldNamesOf(data);
  if (GetRequestMethod() != "POST") return GetFieldNamesOf(GetQueryString());
  const TWinCgiThreadFields& win = WinCgiThreadFields();
  return win.Profile ? win.Profile->FormFieldNames() : std::vector<std::string>();
}

bool TCGIWinEngine::IsActive() { return WinCgiActive(); }
