// What the test hosts share as a web server's side for a loaded library:
// one kind of request and result for ISAPI and NSAPI, the body handed out
// and recorded, the library loaded and requests served on threads.
#pragma once
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct TLibraryCall {
  std::map<std::string, std::string> Variables;  // CGI names: QUERY_STRING, SCRIPT_NAME, CONTENT_TYPE ...
  std::string Body = "";
  size_t Preload = 0;     // body bytes handed over with the request (NSAPI: already in the input buffer)
  int BufferSize = 1024;  // NSAPI's input buffer
  std::vector<std::pair<std::string, std::string>> ServerHeaders = {};  // NSAPI: in srvhdrs before the call
};

struct TLibraryResult {
  long Status = 0;
  std::string Output, Redirect, LogData;     // Output: what the client gets
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
using TLibrary = std::unique_ptr<void, int (*)(void*)>;

template <class Host>
class TLibraryHost {
 public:
  explicit TLibraryHost(const std::string& module) : library_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL), dlclose) {}
  void* Handle() const { return library_.get(); }
  template <class F>
  F* Entry(const char* name) const { return library_ ? reinterpret_cast<F*>(dlsym(library_.get(), name)) : nullptr; }
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
  TLibrary library_;
};
