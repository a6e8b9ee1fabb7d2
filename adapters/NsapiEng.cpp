#include "adapters/NsapiEng.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

namespace {

constexpr int NsapiEntryCount = 88;
constexpr std::array<const char*, NsapiEntryCount> EntryNames = {
    "system_version", "MAGNUS_VERSION", "system_version_set", "magnus_atrestart", "system_free", "sem_init",
    "sem_terminate", "sem_grab", "sem_tgrab", "sem_release", "crit_init", "crit_enter", "crit_exit",
    "crit_terminate", "net_socket", "net_getsockopt", "net_setsockopt", "net_listen", "net_create_listener",
    "net_select", "net_connect", "net_ioctl", "net_getpeername", "net_close", "net_bind", "net_accept", "net_read",
    "net_write", "net_isalive", "net_ip2host", "netbuf_open", "netbuf_next", "netbuf_close", "netbuf_grap",
    "netbuf_buf2sd", "param_create", "param_free", "pblock_create", "pblock_free", "pblock_findval",
    "pblock_nvinsert", "pblock_nninsert", "pblock_pinsert", "pblock_str2pblock", "pblock_pblock2str",
    "pblock_copy", "pblock_dup", "_pblock_fr", "pblock_pb2env", "request_create", "request_free",
    "request_restart_internal", "request_header", "request_stat_path", "request_handle", "request_handle",
    "request_handle", "request_translate_uri", "http_find_request", "protocol_parse_request", "http_parse_request",
    "protocol_scan_headers", "protocol_start_response", "http_start_response", "http_hdrs2env", "protocol_status",
    "http_status", "protocol_set_finfo", "http_set_finfo", "protocol_finish_request", "http_finish_request",
    "protocol_handle_session", "http_handle_session", "protocol_uri2url", "protocol_uri2url_dynamic",
    "http_uri2url", "http_uri2url_dynamic", "protocol_set_keepalive_timeout", "http_set_keepalive_timeout",
    "http_dump82", "func_init", "func_find", "func_exec", "func_insert", "NSstr2String", "ereport_init",
    "ereport_terminate", "ereport_getfd"};

constexpr int Index(std::string_view name) {
  for (int i = 0; i < NsapiEntryCount; ++i)
    if (EntryNames[i] == name) return i;
  throw "no such entry";
}

constexpr const char* LibraryNames[] = {"ns-httpd50.dll", "ns-httpd40.dll", "ns-httpd35.dll", "ns-httpd30.dll",
                                        "ns-httpd20.dll"};

// Read by every server thread while a reload may write it.
std::atomic<void*> entries[NsapiEntryCount];
std::atomic<TNSAPIEngine*> theEngine{nullptr};
std::atomic<bool> active{false};
// Set once the whole table is in place: a request must not go ahead on
// net_write while the entries after it are still being stored.
std::atomic<bool> tableReady{false};

template <int I, class F>
F Fn() {
  return reinterpret_cast<F>(entries[I].load(std::memory_order_acquire));
}
#define NS(name) Fn<Index(#name), name##_t>()
#define NS_AS(name, type) Fn<Index(#name), type>()

THttpEngine* CreateNsapiEngine(const TEngineConfig& config) { return new TNSAPIEngine(config); }

void* Resolve(void* library, const std::string& name) {
  void* entry = plat::LibraryEntry(library, name);
  return entry ? entry : plat::LibraryEntry(library, "INT" + name);
}

// The value of a parameter named exactly Name, if the block holds one.
bool Lookup(const std::string& name, pblock* pb, std::string& value) {
  auto find = NS_AS(_pblock_fr, pblock_fr_t);
  auto findval = NS(pblock_findval);
  if (!pb || !find || !findval || !find(name.c_str(), pb, 0)) return false;
  const char* text = findval(name.c_str(), pb);
  value = text ? text : "";
  return true;
}

std::string Parameter(const char* name, pblock* pb) {
  std::string value;
  Lookup(name, pb, value);
  return value;
}

pblock* RequestBlock(pblock* Request::*block) {
  const Request* rq = NsapiThreadFields().NsapiRequest;
  return rq ? rq->*block : nullptr;
}

// A lock of the server's, or of our own while the server offers none.
struct TServerLock {
  CRITICAL critical = nullptr;
  plat::TCriticalSection own;
};
TServerLock* ServerLock(TLock lock) { return reinterpret_cast<TServerLock*>(lock); }

}  // namespace

void LoadNsapiLibrary() {
  if (!plat::RunsAsLibrary()) return;
  try {
    void* library = nullptr;
    for (const char* name : LibraryNames) {
      library = plat::LoadLibraryByName(name);
      if (!library) library = plat::LoadLibraryByName(plat::SystemDirectory() + "/" + name);
      if (library) break;
    }
    if (!library) return;
    for (int i = 0; i < NsapiEntryCount; ++i) {
      void* entry = Resolve(library, EntryNames[i]);
      if (!entry && i == Index("_pblock_fr")) entry = Resolve(library, "pblock_fr");
      entries[i].store(entry, std::memory_order_release);
    }
    tableReady.store(NS(net_write) != nullptr, std::memory_order_release);
  } catch (...) {
    // A server library that cannot be loaded leaves its entries empty.
  }
}

bool NsapiLibraryReady() {
  if (tableReady.load(std::memory_order_acquire)) return true;
  static std::mutex reload;
  std::lock_guard<std::mutex> lock(reload);
  if (!tableReady.load(std::memory_order_acquire)) LoadNsapiLibrary();
  return tableReady.load(std::memory_order_acquire);
}

TNsapiThreadFields& NsapiThreadFields() { return ThreadContext().Parts.Get<TNsapiThreadFields>(); }

TNSAPIEngine* TheNsapiEngine() { return theEngine; }
bool NsapiActive() { return active; }
void SetNsapiActive(bool Active) { active = Active; }

TNSAPIEngine::TNSAPIEngine(plat::TComponent* Owner) : THttpEngine(Owner) {
  theEngine = this;
  if (!Designing() && active) ThreadContext().CurrentEngine = this;
}

TNSAPIEngine::TNSAPIEngine(const TEngineConfig& Config) : THttpEngine(Config.Owner, Config.Properties) {
  // The server's threads run requests at once: never serialised.
  CGIMode = TCGIMode::NormalMode;
  theEngine = this;
  if (!Designing() && active) ThreadContext().CurrentEngine = this;
}

TNSAPIEngine::~TNSAPIEngine() {
  TNSAPIEngine* self = this;
  theEngine.compare_exchange_strong(self, nullptr);
}

void TNSAPIEngine::ProcessRequest() {
  NsapiLibraryReady();
  ServeRequest(false);
}

std::string TNSAPIEngine::GetServerProtocol() { return Parameter("protocol", RequestBlock(&Request::reqpb)); }
std::string TNSAPIEngine::GetRequestMethod() { return Parameter("method", RequestBlock(&Request::reqpb)); }
std::string TNSAPIEngine::GetQueryString() { return Parameter("query", RequestBlock(&Request::reqpb)); }
std::string TNSAPIEngine::GetExecutablePath() { return Parameter("uri", RequestBlock(&Request::reqpb)); }
std::string TNSAPIEngine::GetScriptName() { return GetExecutablePath(); }
std::string TNSAPIEngine::GetRemoteHost() {
  const Session* sn = NsapiThreadFields().NsapiConnection;
  return sn ? Parameter("dns", sn->client) : "";
}
std::string TNSAPIEngine::GetRemoteAddr() {
  const Session* sn = NsapiThreadFields().NsapiConnection;
  return sn ? Parameter("ip", sn->client) : "";
}
std::string TNSAPIEngine::GetUserAgent() { return Parameter("user-agent", RequestBlock(&Request::headers)); }
std::string TNSAPIEngine::GetHttpCookie() { return Parameter("cookie", RequestBlock(&Request::headers)); }
std::string TNSAPIEngine::GetContentType() { return Parameter("content-type", RequestBlock(&Request::headers)); }
int TNSAPIEngine::GetContentLength() {
  int length = 0;
  return plat::TryStrToInt(Variable("content-length"), length) ? length : 0;
}

void TNSAPIEngine::GetVariable(const std::string& Name, std::string& Value) {
  Value.clear();
  std::string name = plat::UpperCase(Name);
  std::replace(name.begin(), name.end(), ' ', '_');
  if (name == "SCRIPT_NAME" || name == "EXECUTABLE_PATH") {
    Value = GetScriptName();
    return;
  }
  const TNsapiThreadFields& fields = NsapiThreadFields();
  Request* rq = fields.NsapiRequest;
  Session* sn = fields.NsapiConnection;
  if (!rq || !sn) return;
  for (pblock* pb : {rq->reqpb, rq->vars, rq->headers, rq->srvhdrs, sn->client, fields.NsapiParams})
    if (Lookup(Name, pb, Value)) return;
  if (auto header = NS(request_header)) {
    std::string asked = Name;
    char* value = nullptr;
    header(asked.data(), &value, sn, rq);
    if (value) Value = value;
  }
}

std::string TNSAPIEngine::ReadRequestContent() {
  TRequestRecord& request = CurrentRequest();
  const std::string method = GetRequestMethod();
  if (method == "GET") return GetQueryString();
  if (method != "POST") return "";
  // No length at all is no body, not a conversion error.
  const std::string text = Variable("content-length");
  const int length = text.empty() ? 0 : plat::StrToInt(text);
  request.ContentLength = std::max(length, 0);
  if (length > AutoReadLimit) {
    WriteLog("Content length exceeds AutoReadLimit");
    return "";
  }
  if (length < 1 || !AutoReadInput) return "";
  // The server names the request's headers in lower case: a multipart post
  // is known by its "content-type" header when no CONTENT_TYPE is given.
  std::string type = Variable("CONTENT_TYPE");
  if (type.empty()) type = GetContentType();
  std::string data;
  if (plat::UpperCase(type).find("MULTIPART/FORM-DATA;") != std::string::npos) {
    int announced = 0;
    if (plat::TryStrToInt(Variable("CONTENT_LENGTH"), announced) && announced >= 0) request.ContentLength = announced;
    ReadMultipartInput(data);
    return data;
  }
  data.resize(static_cast<size_t>(length));
  data.resize(static_cast<size_t>(ReadBody(data.data(), length)));
  const size_t zero = data.find('\0');
  if (zero != std::string::npos) data.resize(zero);
  return data;
}

int TNSAPIEngine::ReadBody(char* Buffer, int Count) {
  TRequestRecord& request = CurrentRequest();
  const Session* sn = NsapiThreadFields().NsapiConnection;
  netbuf* buf = sn ? sn->inbuf : nullptr;
  auto next = NS(netbuf_next);
  // A read past the body would wait for bytes the client never sends.
  const long announced = request.ContentLength ? *request.ContentLength : GetContentLength();
  const long left = std::max(0L, announced - request.BodyBytesRead);
  const int wanted = static_cast<int>(std::min<long>(Count, left));
  int delivered = 0;
  while (buf && delivered < wanted) {
    int byte;
    if (buf->pos < buf->cursize && buf->inbuf) {
      byte = buf->inbuf[buf->pos++];
    } else {
      byte = next ? next(buf, 1) : IO_ERROR;
      // A refill that brings nothing is the end of the input.
      if (byte <= IO_EOF) break;
    }
    Buffer[delivered++] = static_cast<char>(byte);
  }
  request.BodyBytesRead += delivered;
  return delivered;
}

int TNSAPIEngine::ReadClient(void* Buffer, int Count) {
  return Count < 1 ? 0 : ReadBody(static_cast<char*>(Buffer), Count);
}

void TNSAPIEngine::SendToClient(const void* Buffer, int Count) {
  const Session* sn = NsapiThreadFields().NsapiConnection;
  auto write = NS(net_write);
  if (sn && write && Count > 0) write(sn->csd, static_cast<char*>(const_cast<void*>(Buffer)), Count);
}

void TNSAPIEngine::WriteHeaderField(const std::string& Name, const std::string& Value) {
  pblock* headers = RequestBlock(&Request::srvhdrs);
  auto insert = NS(pblock_nvinsert);
  if (!headers || !insert) return;
  auto remove = NS_AS(_pblock_fr, pblock_fr_t);
  auto release = NS(param_free);
  // A header of that name already there is replaced, never doubled.
  while (pb_param* old = remove ? remove(Name.c_str(), headers, 1) : nullptr)
    if (release) release(old);
  insert(Name.c_str(), Value.c_str(), headers);
}

void TNSAPIEngine::EndHeader() {
  TRequestRecord& request = CurrentRequest();
  TNsapiThreadFields& fields = NsapiThreadFields();
  if ((BufferedOutput && !request.DirectOutput) || !fields.NsapiRequest || fields.ResponseStarted) return;
  // The server sends the status line and the fields of srvhdrs, once.
  fields.ResponseStarted = true;
  if (auto status = NS(http_status)) status(fields.NsapiConnection, fields.NsapiRequest, 200, nullptr);
  if (auto start = NS(http_start_response)) start(fields.NsapiConnection, fields.NsapiRequest);
}

TLock TNSAPIEngine::CreateLock() {
  auto* lock = new TServerLock;
  if (auto init = NS(crit_init)) lock->critical = init();
  return reinterpret_cast<TLock>(lock);
}

void TNSAPIEngine::EnterLock(TLock Lock) {
  TServerLock* lock = ServerLock(Lock);
  if (!lock) return;
  auto enter = NS_AS(crit_enter, crit_call_t);
  if (lock->critical && enter) enter(lock->critical);
  else lock->own.Enter();
}

void TNSAPIEngine::LeaveLock(TLock Lock) {
  TServerLock* lock = ServerLock(Lock);
  if (!lock) return;
  auto exit = NS_AS(crit_exit, crit_call_t);
  if (lock->critical && exit) exit(lock->critical);
  else lock->own.Leave();
}

void TNSAPIEngine::FreeLock(TLock Lock) {
  TServerLock* lock = ServerLock(Lock);
  if (!lock) return;
  auto terminate = NS_AS(crit_terminate, crit_call_t);
  if (lock->critical && terminate) terminate(lock->critical);
  delete lock;
}

bool TNSAPIEngine::IsActive() { return active; }

void NsapiEngineStartup() {
  LoadNsapiLibrary();
  RegisterEngineFactory(TEngineKind::Nsapi, CreateNsapiEngine);
}
