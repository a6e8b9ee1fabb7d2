// What the test hosts share as a web server's side for a loaded library:
// requests served on threads, and a host program's request taken from its
// environment and standard input.
#pragma once
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

template <class Host, class Call, class Result>
class TLibraryHost {
 public:
  // Every call, on that many threads at once; results in the calls' order.
  std::vector<Result> ServeAll(const std::vector<Call>& calls, int threads) const {
    std::vector<Result> results(calls.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&] {
        for (size_t i; (i = next++) < calls.size();) results[i] = static_cast<const Host*>(this)->Serve(calls[i]);
      });
    for (std::thread& thread : pool) thread.join();
    return results;
  }
  // The variables are the environment, the body standard input, of which
  // HOST_PRELOAD bytes come already buffered.
  static Call CallFromProcess() {
    Call call;
    for (char** entry = environ; *entry; ++entry) {
      const std::string pair = *entry;
      call.Variables[pair.substr(0, pair.find('='))] = pair.substr(pair.find('=') + 1);
    }
    call.Body.assign(std::istreambuf_iterator<char>(std::cin), {});
    call.Preload = std::strtoul(call.Variables["HOST_PRELOAD"].c_str(), nullptr, 10);
    return call;
  }
};
