// What the test hosts share as a web server's side for a loaded library:
// one kind of request and result for ISAPI and NSAPI, the body handed out
// and recorded, the library loaded and requests served on threads.
#pragma once
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
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

// One request's connection, the body's bytes after the preloaded ones.
struct TConnection {
  const TLibraryCall& Call;
  TLibraryResult& Result;
  size_t Position;  // body bytes handed out so far
  size_t Read(void* buffer, size_t asked) {
    const size_t held = Call.Body.size() - Position, n = std::min(asked, held);
    Result.Reads.emplace_back(asked, held);
    std::memcpy(buffer, Call.Body.data() + Position, n);
    Position += n;
    Result.Delivered += n;
    return n;
  }
};

// A library loaded as a server loads it, kept to itself (RTLD_LOCAL).
template <class Host>
class TLibraryHost {
 public:
  // Handle() is null when the library cannot be loaded.
  explicit TLibraryHost(const std::string& module) : handle_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~TLibraryHost() {
    if (handle_) dlclose(handle_);
  }
  void* Handle() const { return handle_; }
  template <class F>
  F* Entry(const char* name) const {
    return handle_ ? reinterpret_cast<F*>(dlsym(handle_, name)) : nullptr;
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
  void* handle_;
};
