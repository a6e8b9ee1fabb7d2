// Serves requests through a loaded library, as a web server speaking ISAPI
// would: isapi_host LIBRARY [THREADS REQUESTS]. Server variables are the
// environment, the body is standard input, HOST_PRELOAD body bytes come
// preloaded. Alone it prints what the client gets, then anything else the
// server saw; with THREADS and REQUESTS it serves the request that often on
// that many threads and prints the requests per second.
#include <chrono>

#include "tests/support/IsapiHost.h"

int main(int argc, char** argv) {
  TIsapiHost host(argc > 1 ? argv[1] : "");
  HSE_VERSION_INFO version{};
  if (!host.Handle() || !host.Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&version)) return 2;
  const TIsapiCall call = TIsapiHost::CallFromProcess();
  if (argc > 3) {
    const std::vector<TIsapiCall> calls(std::strtoul(argv[3], nullptr, 10), call);
    const auto start = std::chrono::steady_clock::now();
    host.ServeAll(calls, std::atoi(argv[2]));
    std::cout << calls.size() / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << "\n";
  } else {
    const TIsapiResult result = host.Serve(call);
    std::cout << result.Output;
    if (!result.Redirect.empty()) std::cout << "[redirect " << result.Redirect << "]";
    if (result.Status != HSE_STATUS_SUCCESS) std::cout << "[status " << result.Status << " " << result.LogData << "]";
  }
  host.Entry<BOOL(DWORD)>("TerminateExtension")(0);
  return 0;
}
