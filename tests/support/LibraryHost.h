// A web server's side for a loaded library, in tests: one kind of request
// and result for ISAPI and NSAPI, the body handed out and recorded, the
// library loaded and requests served on threads.
// The ISAPI host hands the library extension requests and filter
// notifications through control blocks and filter contexts of its own.
// The NSAPI host builds a request's records from CGI-style variables for the
// library's NsapiService; the fake server library (tests/nsapi/ns_httpd.cpp)
// records on the calling thread's trace what the library sends back.
#pragma once
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "adapters/IsapiRec.h"
#include "adapters/NsapiRec.h"

struct TLibraryCall {
  std::map<std::string, std::string> Variables;  // CGI names: QUERY_STRING, SCRIPT_NAME, CONTENT_TYPE ...
  std::string Body = "";
  size_t Preload = 0;     // body bytes handed over with the request (NSAPI: already in the input buffer)
  int BufferSize = 100;   // NSAPI's input buffer: small, so that bodies cross refills
  std::vector<std::pair<std::string, std::string>> ServerHeaders = {};  // NSAPI: in srvhdrs before the call
};

struct TLibraryResult {
  long Status = 0;
  std::string Output, LogData, Redirect;         // Output: what the client gets
  std::vector<std::pair<size_t, size_t>> Reads;  // each read: bytes asked, bytes the body still held
  size_t Delivered = 0;                          // body bytes read
};

// One request's connection: the body's bytes after the preloaded ones, and
// what the library made of the request.
struct TConnection {
  const TLibraryCall& Call;
  size_t Position;  // body bytes handed out so far, the preloaded ones first
  TLibraryResult Result = {};
  size_t Read(void* buffer, size_t asked) {
    Result.Reads.emplace_back(asked, Call.Body.size() - Position);
    const size_t n = Call.Body.copy(static_cast<char*>(buffer), asked, Position);
    Position += n;
    Result.Delivered += n;
    return n;
  }
};

// A library loaded as a server loads it, kept to itself (RTLD_LOCAL); null
// when it cannot be loaded.
template <class Host>
class TLibraryHost {
 public:
  explicit TLibraryHost(const std::string& module) : library_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose) {}
  // Entry<void>: whether it has that entry at all.
  template <class F>
  F* Entry(const char* name) const {
    return library_ ? reinterpret_cast<F*>(dlsym(library_.get(), name)) : nullptr;
  }
  // Every call, on that many threads at once; results in the calls' order.
  std::vector<TLibraryResult> ServeAll(const std::vector<TLibraryCall>& calls, int threads) const {
    std::vector<TLibraryResult> results(calls.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&] {
        for (size_t i; (i = next++) < calls.size();) results[i] = static_cast<const Host*>(this)->Serve(calls[i]);
      });
    for (std::thread& thread : pool) thread.join();
    return results;
  }

 private:
  std::unique_ptr<void, int (*)(void*)> library_;
};

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
    std::map<std::string, std::string> v = call.Variables;  // the block's own fields, "" when not given
    EXTENSION_CONTROL_BLOCK ecb{sizeof ecb, IsapiVersion, &connection, 0, {}, v["REQUEST_METHOD"].data(),
                                v["QUERY_STRING"].data(), v["PATH_INFO"].data(), v["PATH_TRANSLATED"].data(),
                                static_cast<DWORD>(call.Body.size()), static_cast<DWORD>(preloaded.size()),
                                reinterpret_cast<unsigned char*>(preloaded.data()), v["CONTENT_TYPE"].data(),
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
                                // The one support function the library asks for.
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
    // The server offers no variables here; what the filter writes is recorded.
    THTTP_FILTER_CONTEXT pfc{sizeof pfc, IsapiVersion, nullptr, 0, 0, &sent, nullptr, nullptr,
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
};

// Parameter blocks as one chain in insertion order; no name finds its end.
inline pb_entry** NsLink(pblock* pb, const char* name) {
  pb_entry** link = &pb->ht[0];
  while (*link && (!name || std::strcmp((*link)->param->name, name) != 0)) link = &(*link)->next;
  return link;
}
// A parameter and its name and value are one block, for free().
inline pb_param* NsAdd(pblock* pb, const char* name, const char* value) {
  const size_t size = std::strlen(name) + 1;
  auto* p = static_cast<pb_param*>(std::malloc(sizeof(pb_param) + size + std::strlen(value) + 1));
  *p = {static_cast<char*>(std::memcpy(p + 1, name, size)), std::strcpy(reinterpret_cast<char*>(p + 1) + size, value)};
  return (*NsLink(pb, nullptr) = new pb_entry{p, nullptr})->param;
}
// Takes the parameter at link out of its chain.
inline pb_param* NsTake(pb_entry** link) {
  std::unique_ptr<pb_entry> e(*link);
  *link = e->next;
  return e->param;
}
struct TNsBlock {
  pb_entry* chain = nullptr;
  pblock pb{1, &chain};
  ~TNsBlock() { while (chain) std::free(NsTake(&chain)); }
};

class TNsapiHost : public TLibraryHost<TNsapiHost> {
 public:
  static constexpr long Success = REQ_PROCEED;
  // The fake server library kept to itself (RTLD_LOCAL), loaded after the
  // module's start-up: the module finds it by its soname at a request.
  TNsapiHost(const std::string& server, const std::string& module)
      : TLibraryHost(module), server_(dlopen(server.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose),
        bind_(server_ ? reinterpret_cast<void (*)(TConnection*)>(dlsym(server_.get(), "nsfake_bind")) : nullptr) {}

  TLibraryResult Serve(const TLibraryCall& call) const {
    TNsBlock params, client, vars, reqpb, headers, srvhdrs;
    NsAdd(&params.pb, "fn", "parlino");
    std::map<std::string, std::string> v = call.Variables;
    const bool post = v.try_emplace("REQUEST_METHOD", call.Body.empty() ? "GET" : "POST").first->second == "POST";
    if (post) v.try_emplace("CONTENT_LENGTH", std::to_string(call.Body.size()));
    for (auto [block, param, name] : {std::tuple{&reqpb, "method", "REQUEST_METHOD"}, {&reqpb, "query", "QUERY_STRING"},
             {&reqpb, "uri", "SCRIPT_NAME"}, {&headers, "content-type", "CONTENT_TYPE"},
             {&headers, "content-length", "CONTENT_LENGTH"}, {&headers, "cookie", "HTTP_COOKIE"}})
      if (v.count(name)) NsAdd(&block->pb, param, v[name].c_str());
    for (const auto& [name, value] : call.ServerHeaders) NsAdd(&srvhdrs.pb, name.c_str(), value.c_str());
    TConnection connection{call, std::min({call.Preload, call.Body.size(), static_cast<size_t>(call.BufferSize)})};
    std::vector<unsigned char> input(call.BufferSize);
    call.Body.copy(reinterpret_cast<char*>(input.data()), connection.Position);
    netbuf buffer{7, 0, static_cast<int>(connection.Position), call.BufferSize, 30, "10.0.0.1", input.data(), nullptr};
    Session sn{&client.pb, 7, &buffer, 1};
    Request rq{&vars.pb, &reqpb.pb, 1, &headers.pb, 0, &srvhdrs.pb};
    if (bind_) bind_(&connection);
    connection.Result.Status = Entry<int(pblock*, Session*, Request*)>("NsapiService")(&params.pb, &sn, &rq);
    if (bind_) bind_(nullptr);
    return connection.Result;
  }

 private:
  std::unique_ptr<void, int (*)(void*)> server_;
  void (*bind_)(TConnection*);
};
