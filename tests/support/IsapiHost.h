// A web server's side of the ISAPI interface for tests: loads a library,
// hands it extension requests and filter notifications through control
// blocks and filter contexts of its own, and records what comes back.
#pragma once
#include <dlfcn.h>

#include <map>
#include <string>
#include <vector>

#include "adapters/IsapiRec.h"

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

class TIsapiHost {
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
  TIsapiResult Serve(const TIsapiCall& call) const;
  // Every call, on that many threads at once; results in the calls' order.
  std::vector<TIsapiResult> ServeAll(const std::vector<TIsapiCall>& calls, int threads) const;
  // One notification with raw as its raw data; what the filter sent.
  std::string Notify(DWORD type, std::string raw, DWORD& status) const;

 private:
  void* handle_;
};
