// A web server's side of the ISAPI interface for tests: loads a library,
// hands it extension requests and filter notifications through control
// blocks and filter contexts of its own, and records what comes back.
#pragma once
#include "adapters/IsapiRec.h"
#include "tests/support/LibraryHost.h"

// GCC 12's leak checker takes a loaded library's thread-local block that
// starts 16 bytes into a page for a glibc 2.19 one, reads a bogus range
// from before it and crashes scanning that. A host's thread-locals need no
// scan: they are destroyed before the check at exit.
extern "C" __attribute__((weak)) const char* __lsan_default_options() { return "use_tls=0"; }
// The loader's own blocks for a loaded library's thread-locals are no leak;
// without the C library's debug symbols only its module name tells them.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() { return "leak:ld-linux-x86-64.so.2\n"; }

class TIsapiHost : public TLibraryHost<TIsapiHost> {
 public:
  static constexpr long Success = HSE_STATUS_SUCCESS;
  using TLibraryHost::TLibraryHost;
  TLibraryResult Serve(const TLibraryCall& call) const {
    TConnection connection{call, std::min(call.Preload, call.Body.size())};
    std::string preloaded = call.Body.substr(0, connection.Position);
    EXTENSION_CONTROL_BLOCK ecb{sizeof ecb, IsapiVersion, &connection, 0, {}, Text(call, "REQUEST_METHOD"),
                                Text(call, "QUERY_STRING"), Text(call, "PATH_INFO"), Text(call, "PATH_TRANSLATED"),
                                static_cast<DWORD>(call.Body.size()), static_cast<DWORD>(preloaded.size()),
                                reinterpret_cast<unsigned char*>(preloaded.data()), Text(call, "CONTENT_TYPE"),
                                // The published contract: a value that does not fit fails the call.
                                [](void* id, char* name, void* buffer, DWORD* size) -> BOOL {
                                  auto it = Of(id).Call.Variables.find(name);
                                  if (it == Of(id).Call.Variables.end() || it->second.size() + 1 > *size) return 0;
                                  *size = static_cast<DWORD>(it->second.size() + 1);
                                  std::memcpy(buffer, it->second.c_str(), *size);
                                  return 1;
                                },
                                [](void* id, void* buffer, DWORD* bytes, DWORD) -> BOOL {
                                  Of(id).Result.Output.append(static_cast<char*>(buffer), *bytes);
                                  return 1;
                                },
                                [](void* id, void* buffer, DWORD* size) -> BOOL {
                                  *size = static_cast<DWORD>(Of(id).Read(buffer, *size));
                                  return 1;
                                },
                                [](void* id, DWORD request, void* buffer, DWORD*, DWORD*) -> BOOL {
                                  if (request == HSE_REQ_SEND_URL_REDIRECT_RESP) Of(id).Result.Redirect = static_cast<char*>(buffer);
                                  return request == HSE_REQ_SEND_URL_REDIRECT_RESP;
                                }};
    connection.Result.Status = Entry<DWORD(EXTENSION_CONTROL_BLOCK*)>("HttpExtensionProc")(&ecb);
    connection.Result.LogData = ecb.lpszLogData;
    return connection.Result;
  }

  // One notification with raw as its raw data; what the filter sent.
  std::string Notify(DWORD type, std::string raw, DWORD& status) const {
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

 private:
  static TConnection& Of(void* id) { return *static_cast<TConnection*>(id); }
  static char* Text(const TLibraryCall& call, const char* name) {
    auto it = call.Variables.find(name);
    return const_cast<char*>(it == call.Variables.end() ? "" : it->second.c_str());
  }
};
