#include "tests/support/IsapiHost.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

struct Connection {
  const TIsapiCall& call;
  TIsapiResult& result;
  size_t position;  // body bytes handed out so far
};

Connection& Of(void* id) { return *static_cast<Connection*>(id); }

// The published contract: a value that does not fit fails the call.
BOOL Answer(const std::map<std::string, std::string>& variables, const char* name, void* buffer, DWORD* size) {
  auto it = variables.find(name);
  if (it == variables.end() || it->second.size() + 1 > *size) return 0;
  std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
  *size = static_cast<DWORD>(it->second.size() + 1);
  return 1;
}

BOOL GetVariable(void* id, char* name, void* buffer, DWORD* size) {
  return Answer(Of(id).call.Variables, name, buffer, size);
}

BOOL WriteClient(void* id, void* buffer, DWORD* bytes, DWORD) {
  Of(id).result.Output.append(static_cast<char*>(buffer), *bytes);
  return 1;
}

BOOL ReadClient(void* id, void* buffer, DWORD* size) {
  Connection& c = Of(id);
  const size_t left = c.call.Body.size() - c.position;
  c.result.Reads.emplace_back(*size, left);
  *size = static_cast<DWORD>(std::min<size_t>(*size, left));
  std::memcpy(buffer, c.call.Body.data() + c.position, *size);
  c.position += *size;
  c.result.Delivered += *size;
  return 1;
}

BOOL SupportFunction(void* id, DWORD request, void* buffer, DWORD*, DWORD*) {
  if (request == HSE_REQ_SEND_URL_REDIRECT_RESP) Of(id).result.Redirect = static_cast<char*>(buffer);
  return request == HSE_REQ_SEND_URL_REDIRECT_RESP;
}

char* Text(const TIsapiCall& call, const char* name) {
  auto it = call.Variables.find(name);
  return const_cast<char*>(it == call.Variables.end() ? "" : it->second.c_str());
}

}  // namespace

TIsapiHost::TIsapiHost(const std::string& module) : handle_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {}

TIsapiHost::~TIsapiHost() {
  if (handle_) dlclose(handle_);
}

TIsapiResult TIsapiHost::Serve(const TIsapiCall& call) const {
  TIsapiResult result;
  const size_t preload = std::min(call.Preload, call.Body.size());
  Connection connection{call, result, preload};
  std::vector<unsigned char> preloaded(call.Body.begin(), call.Body.begin() + static_cast<long>(preload));
  preloaded.push_back(0);
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.cbSize = sizeof ecb;
  ecb.dwVersion = IsapiVersion;
  ecb.ConnID = &connection;
  ecb.lpszMethod = Text(call, "REQUEST_METHOD");
  ecb.lpszQueryString = Text(call, "QUERY_STRING");
  ecb.lpszPathInfo = Text(call, "PATH_INFO");
  ecb.lpszPathTranslated = Text(call, "PATH_TRANSLATED");
  ecb.lpszContentType = Text(call, "CONTENT_TYPE");
  ecb.cbTotalBytes = static_cast<DWORD>(call.Body.size());
  ecb.cbAvailable = static_cast<DWORD>(preload);
  ecb.lpbData = preloaded.data();
  ecb.GetServerVariable = GetVariable;
  ecb.WriteClient = WriteClient;
  ecb.ReadClient = ReadClient;
  ecb.ServerSupportFunction = SupportFunction;
  result.Status = Entry<DWORD(EXTENSION_CONTROL_BLOCK*)>("HttpExtensionProc")(&ecb);
  result.LogData = ecb.lpszLogData;
  return result;
}

std::vector<TIsapiResult> TIsapiHost::ServeAll(const std::vector<TIsapiCall>& calls, int threads) const {
  std::vector<TIsapiResult> results(calls.size());
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      for (size_t i; (i = next++) < calls.size();) results[i] = Serve(calls[i]);
    });
  for (std::thread& thread : pool) thread.join();
  return results;
}

namespace {

struct Filter : THTTP_FILTER_CONTEXT {
  std::string sent;
};

BOOL FilterVariable(THTTP_FILTER_CONTEXT*, char*, void*, DWORD*) { return 0; }
BOOL FilterWrite(THTTP_FILTER_CONTEXT* pfc, void* buffer, DWORD* bytes, DWORD) {
  static_cast<Filter*>(pfc)->sent.append(static_cast<char*>(buffer), *bytes);
  return 1;
}

}  // namespace

std::string TIsapiHost::Notify(DWORD type, const std::string& raw, DWORD& status) const {
  Filter pfc{};
  pfc.cbSize = sizeof(THTTP_FILTER_CONTEXT);
  pfc.Revision = IsapiVersion;
  pfc.GetServerVariable = FilterVariable;
  pfc.WriteClient = FilterWrite;
  std::string data = raw;
  HTTP_FILTER_RAW_DATA record{data.data(), static_cast<DWORD>(data.size()), static_cast<DWORD>(data.size()), 0};
  status = Entry<DWORD(HTTP_FILTER_CONTEXT*, DWORD, void*)>("HttpFilterProc")(&pfc, type, &record);
  return pfc.sent;
}
