#include "adapters/CgiWEng.h"

#include <algorithm>

#include "adapters/CgiServer.h"
#include "engine/HUtils.h"
#include "platform/PlatExcept.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

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

void CgiWinEngineStartup() {
  RegisterEngineFactory(TEngineKind::CgiWin, CreateWinEngine);
  if (!WinCgiActive()) return;
  // The resident server that may take the request runs elsewhere: a
  // relative name would not lead it to the profile.
  if (plat::ParamCount() >= 1) WinCgiThreadFields().ProfileFileName = AbsolutePath(plat::ParamStr(1));
}

TCGIWinEngine::TCGIWinEngine(const TEngineConfig& Config)
    : THttpEngine(Config.Owner, Config.Properties), Interactive(Config.Interactive) {
  winEngine = this;
  if (Designing() || !WinCgiActive()) return;
  AutoTerminate = Config.CgiAutoTerminate;
  if (Interactive) CGIMode = TCGIMode::ServerMode;
  SetCurrentEngine(this);
  if (IsWinCgiServer()) return;
  DispatchRequest(WinCgiThreadFields().ProfileFileName);
}

TCGIWinEngine::~TCGIWinEngine() {
  if (winEngine == this) winEngine = nullptr;
}

void TCGIWinEngine::DispatchRequest(const std::string& Name) {
  TWinCgiThreadFields& win = WinCgiThreadFields();
  win.ProfileFileName = Name;
  win.Profile.reset();
  // Until a resident server takes them, requests of every mode are served
  // here rather than lost.
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
