// Serves requests through a loaded library, as a web server would, built
// once for each interface: isapi_host LIBRARY [THREADS REQUESTS] and
// nsapi_host LIBRARY. Server variables are the environment, the body is
// standard input. Alone it prints what the client gets, then anything else
// the server saw; with THREADS and REQUESTS it serves the request that often
// on that many threads and prints the requests per second.
// For NSAPI, HOST_SERVER names the server library the host loads for itself
// after the library's start-up (default "ns-httpd40.dll"), HOST_CWD the
// working directory and HOST_SRVHDR one "name:value" already in srvhdrs.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <iterator>

#include "tests/support/LibraryHost.h"

int main(int argc, char** argv) {
  TLibraryCall call;
  std::map<std::string, std::string>& v = call.Variables;
  for (char** e = environ; *e; ++e) v.emplace(std::string(*e, std::strchr(*e, '=')), std::strchr(*e, '=') + 1);
  call.Body.assign(std::istreambuf_iterator<char>(std::cin), {});
#ifdef HOST_NSAPI
  if (v.count("HOST_CWD") && chdir(v["HOST_CWD"].c_str()) != 0) return 3;
  TNsapiHost host(v.count("HOST_SERVER") ? v["HOST_SERVER"] : "ns-httpd40.dll", argc > 1 ? argv[1] : "");
  if (!host.Entry<void>("NsapiService")) return 2;
  const std::string header = v["HOST_SRVHDR"];
  if (!header.empty()) call.ServerHeaders.emplace_back(header.substr(0, header.find(':')), header.substr(header.find(':') + 1));
#else
  TIsapiHost host(argc > 1 ? argv[1] : "");
  HSE_VERSION_INFO version{};
  if (!host.Entry<void>("HttpExtensionProc") || !host.Entry<BOOL(HSE_VERSION_INFO*)>("GetExtensionVersion")(&version)) return 2;
#endif
  if (argc > 3) {
    const std::vector<TLibraryCall> calls(std::strtoul(argv[3], nullptr, 10), call);
    const auto start = std::chrono::steady_clock::now();
    host.ServeAll(calls, std::atoi(argv[2]));
    std::cout << calls.size() / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() << "\n";
  } else {
    const TLibraryResult result = host.Serve(call);
    std::cout << result.Output;
    if (result.Status != host.Success) std::cout << "[status " << result.Status << (result.LogData.empty() ? "" : " ") << result.LogData << "]";
    // A server would wait for bytes the client never announced.
    const bool whole = std::atol(v["CONTENT_LENGTH"].c_str()) <= static_cast<long>(call.Body.size());
    if (whole && std::any_of(result.Reads.begin(), result.Reads.end(), [](auto r) { return r.second == 0; }))
      std::cout << " [read past the body]";
  }
#ifndef HOST_NSAPI
  host.Entry<BOOL(DWORD)>("TerminateExtension")(0);
#endif
  return 0;
}
