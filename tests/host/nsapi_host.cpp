// Serves one request through a loaded library, as an NSAPI server would:
// nsapi_host LIBRARY. The request's variables are the environment, its body
// standard input; HOST_SERVER names the server library the host loads for
// itself after the library's start-up (default "ns-httpd40.dll"), HOST_CWD the
// working directory, HOST_PRELOAD the body bytes already buffered,
// HOST_BUFSIZE the input buffer's size and HOST_SRVHDR one "name:value"
// already in srvhdrs. Prints what the client gets, then the service's
// result when it is not REQ_PROCEED and any read past a body that came whole.
#include <unistd.h>

#include <algorithm>

#include "tests/support/NsapiHost.h"

int main(int argc, char** argv) {
  const char* cwd = std::getenv("HOST_CWD");
  if (cwd && chdir(cwd) != 0) return 3;
  const char* server = std::getenv("HOST_SERVER");
  TNsapiHost host(server ? server : "ns-httpd40.dll", argc > 1 ? argv[1] : "", false);
  if (!host.Ready()) return 2;
  TNsapiCall call = TNsapiHost::CallFromProcess();
  if (call.Variables.count("HOST_BUFSIZE")) call.BufferSize = std::atoi(call.Variables["HOST_BUFSIZE"].c_str());
  const std::string header = call.Variables["HOST_SRVHDR"];
  if (!header.empty()) call.ServerHeaders.emplace_back(header.substr(0, header.find(':')), header.substr(header.find(':') + 1));
  const TNsapiResult result = host.Serve(call);
  std::cout << result.Output;
  if (result.Status != REQ_PROCEED) std::cout << "[status " << result.Status << "]";
  // A server would wait for bytes the client never announced.
  const bool whole = std::atol(call.Variables["CONTENT_LENGTH"].c_str()) <= static_cast<long>(call.Body.size());
  if (whole && std::count(result.Refills.begin(), result.Refills.end(), 0)) std::cout << " [read past the body]";
  return 0;
}
