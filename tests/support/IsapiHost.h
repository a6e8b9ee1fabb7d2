// A web server's side of the ISAPI interface for tests: loads a library,
// hands it extension requests and filter notifications through control
// blocks and filter contexts of its own, and records what comes back.
#pragma once
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "adapters/IsapiRec.h"
#include "tests/support/LibraryHost.h"

struct TIsapiCall {
  std::map<std::string, std::string> Variables;  // QUERY_STRING, PATH_INFO ... fill the block's fields
  std::string Body;
  size_t Preload = 0;  // body bytes handed over with the block
};

struct TIsapiResult {
  DWORD Status = 0;
  std::string Output, Redirect, LogData;
  std::vector<std::pair<DWORD, size_t>> Reads;  // each ReadClient: bytes asked, bytes the body still held
  size_t Delivered = 0;                         // body bytes ReadClient delivered
};

class TIsapiHost : public TLibraryHost<TIsapiHost, TIsapiCall, TIsapiResult> {
 public:
  // Handle() is null when the library cannot be loaded.
  explicit TIsapiHost(const std::string& module) : handle_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~TIsapiHost() {
    if (handle_) dlclose(handle_);
  }
  void* Handle() const { return handle_; }
  template <class F>
  F* Entry(const char* name) const {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }
  inline TIsapiResult Serve(const TIsapiCall& call) const;
  // One notification with raw as its raw data; what the filter sent.
  inline std::string Notify(DWORD type, std::string raw, DWORD& status) const;

 private:
  void* handle_;
};

// GCC 12's leak checker takes a loaded library's thread-local block that
// starts 16 bytes into a page for a glibc 2.19 one, reads a bogus range
// from before it and crashes scanning that. A host's thread-locals need no
// scan: they are destroyed before the check at exit.
extern "C" __attribute__((weak)) const char* __lsan_default_options() { return "use_tls=0"; }
// The loader's own blocks for a loaded library's thread-locals are no leak;
// without the C library's debug symbols only its module name tells them.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() { return "leak:ld-linux-x86-64.so.2\n"; }

namespace isapi_host {

struct Connection {
  const TIsapiCall& call;
  TIsapiResult& result;
  size_t position;  // body bytes handed out so far
};

inline Connection& Of(void* id) { return *static_cast<Connection*>(id); }

// The published contract: a value that does not fit fails the call.
inline BOOL GetVariable(void* id, char* name, void* buffer, DWORD* size) {
  auto it = Of(id).call.Variables.find(name);
  if (it == Of(id).call.Variables.end() || it->second.size() + 1 > *size) return 0;
  *size = static_cast<DWORD>(it->second.size() + 1);
  std::memcpy(buffer, it->second.c_str(), *size);
  return 1;
}

inline BOOL ReadClient(void* id, void* buffer, DWORD* size) {
  Connection& c = Of(id);
  c.result.Reads.emplace_back(*size, c.call.Body.size() - c.position);
  *size = static_cast<DWORD>(std::min<size_t>(*size, c.call.Body.size() - c.position));
  std::memcpy(buffer, c.call.Body.data() + c.position, *size);
  c.position += *size;
  c.result.Delivered += *size;
  return 1;
}

inline char* Text(const TIsapiCall& call, const char* name) {
  auto it = call.Variables.find(name);
  return const_cast<char*>(it == call.Variables.end() ? "" : it->second.c_str());
}

}  // namespace isapi_host

TIsapiResult TIsapiHost::Serve(const TIsapiCall& call) const {
  using namespace isapi_host;
  TIsapiResult result;
  const size_t preload = std::min(call.Preload, call.Body.size());
  Connection connection{call, result, preload};
  std::string preloaded = call.Body.substr(0, preload);
  EXTENSION_CONTROL_BLOCK ecb{sizeof ecb, IsapiVersion, &connection, 0, {}, Text(call, "REQUEST_METHOD"),
                              Text(call, "QUERY_STRING"), Text(call, "PATH_INFO"), Text(call, "PATH_TRANSLATED"),
                              static_cast<DWORD>(call.Body.size()), static_cast<DWORD>(preload),
                              reinterpret_cast<unsigned char*>(preloaded.data()), Text(call, "CONTENT_TYPE"),
                              GetVariable,
                              [](void* id, void* buffer, DWORD* bytes, DWORD) -> BOOL {
                                isapi_host::Of(id).result.Output.append(static_cast<char*>(buffer), *bytes);
                                return 1;
                              },
                              ReadClient,
                              [](void* id, DWORD request, void* buffer, DWORD*, DWORD*) -> BOOL {
                                if (request == HSE_REQ_SEND_URL_REDIRECT_RESP) Of(id).result.Redirect = static_cast<char*>(buffer);
                                return request == HSE_REQ_SEND_URL_REDIRECT_RESP;
                              }};
  result.Status = Entry<DWORD(EXTENSION_CONTROL_BLOCK*)>("HttpExtensionProc")(&ecb);
  result.LogData = ecb.lpszLogData;
  return result;
}

std::string TIsapiHost::Notify(DWORD type, std::string raw, DWORD& status) const {
  std::string sent;
  // The server knows no variables here; what the filter writes is recorded.
  THTTP_FILTER_CONTEXT pfc{sizeof pfc, IsapiVersion, nullptr, 0, 0, &sent,
                           [](THTTP_FILTER_CONTEXT*, char*, void*, DWORD*) -> BOOL { return 0; }, nullptr,
                           [](THTTP_FILTER_CONTEXT* pfc, void* buffer, DWORD* bytes, DWORD) -> BOOL {
                             static_cast<std::string*>(pfc->pFilterContext)->append(static_cast<char*>(buffer), *bytes);
                             return 1;
                           },
                           nullptr, nullptr};
  HTTP_FILTER_RAW_DATA record{raw.data(), static_cast<DWORD>(raw.size()), static_cast<DWORD>(raw.size()), 0};
  status = Entry<DWORD(HTTP_FILTER_CONTEXT*, DWORD, void*)>("HttpFilterProc")(&pfc, type, &record);
  return sent;
}
