// A web server's side of the ISAPI interface for tests: loads a library,
// hands it extension requests and filter notifications through control
// blocks and filter contexts of its own, and records what comes back.
#pragma once
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
  std::string Output;    // what WriteClient sent
  std::string Redirect;  // the URL of a redirect asked for
  std::string LogData;
  std::vector<std::pair<DWORD, size_t>> Reads;  // each ReadClient: bytes asked, bytes the body still held
  size_t Delivered = 0;                         // body bytes ReadClient delivered
};

class TIsapiHost {
 public:
  // Loads the library; Handle() is null when it cannot be loaded.
  explicit TIsapiHost(const std::string& module);
  ~TIsapiHost();
  void* Handle() const { return handle_; }
  template <class F>
  F* Entry(const char* name) const;

  TIsapiResult Serve(const TIsapiCall& call) const;
  // Every call, on threads threads at once; results in the calls' order.
  std::vector<TIsapiResult> ServeAll(const std::vector<TIsapiCall>& calls, int threads) const;
  // One filter notification; raw is its HTTP_FILTER_RAW_DATA. Returns what
  // the filter sent through WriteClient.
  std::string Notify(DWORD type, const std::string& raw, DWORD& status) const;

 private:
  void* handle_ = nullptr;
};

#include <dlfcn.h>
template <class F>
F* TIsapiHost::Entry(const char* name) const {
  return reinterpret_cast<F*>(dlsym(handle_, name));
}
