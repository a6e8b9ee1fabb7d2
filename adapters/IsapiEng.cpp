#include "adapters/IsapiEng.h"

#include "adapters/NsapiEng.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

namespace {

std::atomic<TISAPIEngine*> theEngine{nullptr};

constexpr int ServerReadSize = 32386;
constexpr size_t VariableSize = 8192;

THttpEngine* CreateIsapiEngine(const TEngineConfig& config) { return new TISAPIEngine(config); }

// Bytes as text up to the first zero byte.
std::string TextOf(const void* data, size_t count) {
  if (!data) return "";
  const char* text = static_cast<const char*>(data);
  return std::string(text, strnlen(text, count));
}

// The preloaded bytes a server really handed over.
DWORD Preloaded(const EXTENSION_CONTROL_BLOCK& ecb) {
  return ecb.lpbData ? std::min(ecb.cbAvailable, ecb.cbTotalBytes) : 0;
}

bool StartsWith(const std::string& text, const char* part) { return text.compare(0, strlen(part), part) == 0; }

}  // namespace

TIsapiThreadFields& IsapiThreadFields() { return ThreadContext().Parts.Get<TIsapiThreadFields>(); }

TISAPIEngine* TheIsapiEngine() { return theEngine; }

TISAPIEngine::TISAPIEngine(plat::TComponent* Owner) : THttpEngine(Owner) {
  if (!Designing()) theEngine = this;
}

TISAPIEngine::TISAPIEngine(const TEngineConfig& Config)
    : THttpEngine(Config.Owner, Config.Properties),
      OnHttpExtensionVersion(Config.OnIsapiExtensionVersion),
      OnHttpFilterProc(Config.OnIsapiFilterProc),
      OnHttpFilterVersion(Config.OnIsapiFilterVersion) {
  // Requests of many server threads run at once: the server's calls keep
  // the engine in NormalMode, never serialised.
  CGIMode = TCGIMode::NormalMode;
  if (!Designing()) theEngine = this;
}

TISAPIEngine::~TISAPIEngine() {
  TISAPIEngine* self = this;
  theEngine.compare_exchange_strong(self, nullptr);
}

void TISAPIEngine::ProcessRequest() {
  if (IsActive() && !loaded_.exchange(true)) THttpEngine::Loaded();
  ServeRequest(false);
}

std::string TISAPIEngine::ReadRequestContent() {
  TIsapiThreadFields& fields = IsapiThreadFields();
  if (!fields.ControlBlock) return "";
  const EXTENSION_CONTROL_BLOCK& ecb = *fields.ControlBlock;
  fields.ReadPosition = 0;
  fields.RemainingBytes = static_cast<long long>(ecb.cbTotalBytes) - Preloaded(ecb);
  CurrentRequest().ContentLength = static_cast<int>(std::min<DWORD>(ecb.cbTotalBytes, INT_MAX));
  const bool overLimit = fields.RemainingBytes > AutoReadLimit;
  std::string data;
  if (plat::UpperCase(Variable("CONTENT_TYPE")).find("MULTIPART/FORM-DATA;") != std::string::npos) {
    if (AutoReadInput && overLimit) WriteLog("Content length exceeds AutoReadLimit");
    else if (AutoReadInput) ReadMultipartInput(data);
  } else {
    data = TextOf(ecb.lpbData, Preloaded(ecb));
    if (overLimit) {
      WriteLog("Content length exceeds AutoReadLimit");
      return data;
    }
    if (fields.RemainingBytes > 0 && AutoReadInput) {
      std::string rest(static_cast<size_t>(fields.RemainingBytes), '\0');
      // A server may deliver a body in several reads: every one is taken.
      bool failed = false;
      const int got = ReadFromServer(rest.data(), static_cast<int>(rest.size()), failed);
      data += TextOf(rest.data(), static_cast<size_t>(got));
    }
  }
  const std::string query = GetQueryString();
  if (!query.empty()) data += data.empty() ? query : "&" + query;
  return data;
}

int TISAPIEngine::ReadFromServer(char* Buffer, int Count, bool& Failed) {
  TIsapiThreadFields& fields = IsapiThreadFields();
  EXTENSION_CONTROL_BLOCK& ecb = *fields.ControlBlock;
  int delivered = 0;
  Failed = false;
  // Never more than the body holds: a server read past its end would wait
  // for bytes that never come.
  while (delivered < Count && fields.RemainingBytes > 0) {
    DWORD size = static_cast<DWORD>(std::min<long long>({Count - delivered, ServerReadSize, fields.RemainingBytes}));
    const DWORD asked = size;
    if (!ecb.ReadClient || !ecb.ReadClient(ecb.ConnID, Buffer + delivered, &size) || size == 0) {
      Failed = true;
      break;
    }
    size = std::min(size, asked);
    delivered += static_cast<int>(size);
    fields.RemainingBytes -= size;
  }
  return delivered;
}

int TISAPIEngine::ReadClient(void* Buffer, int Count) {
  TIsapiThreadFields& fields = IsapiThreadFields();
  if (!fields.ControlBlock || Count < 1) return 0;
  const EXTENSION_CONTROL_BLOCK& ecb = *fields.ControlBlock;
  char* out = static_cast<char*>(Buffer);
  int delivered = 0;
  while (fields.ReadPosition < Preloaded(ecb) && delivered < Count) out[delivered++] = ecb.lpbData[fields.ReadPosition++];
  bool failed = false;
  delivered += ReadFromServer(out + delivered, Count - delivered, failed);
  // A failed server read still hands out what came before it.
  return failed && delivered == 0 ? -1 : delivered;
}

int TISAPIEngine::GetContentLength() {
  const TRequestRecord* request = ThreadContext().Request;
  return request && request->ContentLength ? *request->ContentLength : 0;
}

std::string ExecutablePathOf(const std::string& ScriptName) {
  if (ScriptName.size() < 3 || ScriptName.compare(1, 2, ":\\") != 0) return ScriptName;
  const size_t last = ScriptName.rfind('\\');
  if (last == 0 || last == std::string::npos) return ScriptName;
  const size_t second = ScriptName.rfind('\\', last - 1);
  if (second == std::string::npos) return ScriptName;
  std::string path = ScriptName.substr(second, 512);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string TISAPIEngine::GetExecutablePath() { return Variable("SCRIPT NAME"); }

void TISAPIEngine::Write(const std::string& Text) {
  TIsapiThreadFields& fields = IsapiThreadFields();
  if (fields.ControlBlock) {
    THttpEngine::Write(Text);
  } else if (fields.FilterNotification == SF_NOTIFY_SEND_RAW_DATA) {
    // Collected and dropped: the outgoing data are the server's.
    fields.RawSendText += Text;
  } else {
    SendToClient(Text.data(), static_cast<int>(Text.size()));
  }
}

void TISAPIEngine::WriteData(const void* Buffer, int Count) {
  // A filter writes raw bytes: no header block belongs to a notification.
  if (IsapiThreadFields().ControlBlock) THttpEngine::WriteData(Buffer, Count);
  else SendToClient(Buffer, Count);
}

void TISAPIEngine::SendToClient(const void* Buffer, int Count) {
  TIsapiThreadFields& fields = IsapiThreadFields();
  DWORD bytes = static_cast<DWORD>(std::max(Count, 0));
  if (bytes == 0) return;
  void* data = const_cast<void*>(Buffer);
  if (EXTENSION_CONTROL_BLOCK* ecb = fields.ControlBlock) {
    if (ecb->WriteClient) ecb->WriteClient(ecb->ConnID, data, &bytes, 0);
  } else if (THTTP_FILTER_CONTEXT* pfc = fields.FilterContext) {
    if (pfc->WriteClient) pfc->WriteClient(pfc, data, &bytes, 0);
  }
}

void TISAPIEngine::WriteHeaderField(const std::string& Name, const std::string& Value) {
  EXTENSION_CONTROL_BLOCK* ecb = IsapiThreadFields().ControlBlock;
  if (!ecb) return;
  if (plat::UpperCase(Name) != "LOCATION") {
    THttpEngine::WriteHeaderField(Name, Value);
    return;
  }
  std::string url = Value.substr(0, 1024);
  DWORD size = static_cast<DWORD>(url.size());
  if (ecb->ServerSupportFunction)
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, url.data(), &size, nullptr);
  // The server has sent the whole redirect response: an automatic header
  // block after it would reach the client as garbage.
  TRequestRecord& request = CurrentRequest();
  request.StatusLineDone = request.HeaderDone = true;
}

void TISAPIEngine::GetVariable(const std::string& Name, std::string& Value) {
  Value.clear();
  std::string name = plat::UpperCase(Name).substr(0, 255);
  std::replace(name.begin(), name.end(), ' ', '_');
  if (name == "EXECUTABLE_PATH") name = "SCRIPT_NAME";
  const TIsapiThreadFields& fields = IsapiThreadFields();
  char buffer[VariableSize + 1];
  DWORD size = sizeof buffer;
  if (EXTENSION_CONTROL_BLOCK* ecb = fields.ControlBlock) {
    const char* field = name == "QUERY_STRING"      ? ecb->lpszQueryString
                        : name == "PATH_INFO"       ? ecb->lpszPathInfo
                        : name == "PATH_TRANSLATED" ? ecb->lpszPathTranslated
                                                    : nullptr;
    if (field) Value = field;
    else if (ecb->GetServerVariable && ecb->GetServerVariable(ecb->ConnID, name.data(), buffer, &size) && size > 0)
      Value = TextOf(buffer, std::min<size_t>(size, sizeof buffer));
  } else if (THTTP_FILTER_CONTEXT* pfc = fields.FilterContext) {
    if (pfc->GetServerVariable && pfc->GetServerVariable(pfc, name.data(), buffer, &size) && size > 0)
      Value = TextOf(buffer, std::min<size_t>(size, sizeof buffer));
    // The raw headers' cookie is offered in the notification that read it,
    // never to a later one, which may belong to another visitor.
    if (Value.empty() && name == "HTTP_COOKIE" && fields.FilterNotification == SF_NOTIFY_READ_RAW_DATA)
      Value = plat::TrimLeft(fields.RawCookie);
  }
  // The forum writes its own URL from the script name: a server's file path
  // becomes a URL path.
  if (name == "SCRIPT_NAME") Value = ExecutablePathOf(Value);
}

bool TISAPIEngine::IsActive() { return plat::RunsAsLibrary(); }

void TISAPIEngine::ParseRawRequest(const char* Data, DWORD Count) {
  TIsapiThreadFields& thread = IsapiThreadFields();
  const std::string data = TextOf(Data, Count);
  std::string fields;
  bool post = false, urlEncoded = false;
  size_t position = 0;
  thread.RawCookie.clear();
  do {
    size_t end = data.find('\n', position);
    if (end == std::string::npos) end = data.size();
    if (end == position) break;
    const std::string line = plat::Trim(data.substr(position, end - position));
    const std::string upper = plat::UpperCase(line);
    if (!post) {
      post = StartsWith(upper, "POST");
      const size_t query = line.find('?');
      if (query != std::string::npos && query > 0) {
        fields = line.substr(query + 1);
        const size_t blank = fields.find(' ');
        if (blank != std::string::npos && blank > 0) fields.resize(blank);
      }
    } else if (StartsWith(upper, "CONTENT-TYPE:")) {
      urlEncoded = upper.find("URLENCODED") != std::string::npos;
    }
    if (StartsWith(upper, "COOKIE:")) thread.RawCookie = line.substr(7, 4096);
    position = end < data.size() ? end + 1 : end;
  } while (post && position < data.size() && data[position] != '\r' && data[position] != '\n');
  if (post && urlEncoded) fields = plat::Trim(data.substr(position)) + "&" + fields;
  CurrentRequest().FieldData = fields;
}

void IsapiLibraryStartup(const char* Title, void (*createForms)()) {
  try {
    plat::SetRunsAsLibrary(true);
    InitHttpEngine();
    RegisterEngineFactory(TEngineKind::Isapi, CreateIsapiEngine);
    NsapiEngineStartup();
    plat::TApplication& application = plat::Application();
    application.Initialize();
    application.Title = Title;
    createForms();
  } catch (const std::exception& error) {
    WriteLog("The library could not start: " + std::string(error.what()));
  } catch (...) {
    WriteLog("The library could not start");
  }
}
