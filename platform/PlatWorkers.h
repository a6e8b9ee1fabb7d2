// Threads of a resident server that wait for connections on a listening
// socket handed over by whoever started the process.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// True when standard input is a socket that listens for connections (a web
// server or the service manager handed it over); a pipe, a file, a terminal
// or a connected socket is not.
bool StdInputIsListeningSocket();
// Processors this process may run on; at least 1.
int ProcessorCount();
// Whether an open handle listens for connections.
bool IsListeningSocket(int handle);

// A fixed set of threads running one body each. The quit signals go to the
// main thread, never to a worker. A worker marks the blocking call it may
// be woken from with TWakeable; InterruptWaiting makes that call fail with
// EINTR, and leaves every other call (a request being served) alone.
class TWorkers {
 public:
  TWorkers();
  ~TWorkers();
  // Starts count threads running body(index); the number started.
  int Start(int count, const std::function<void(int)>& body);
  // Wakes each worker that is inside a TWakeable scope now.
  void InterruptWaiting();
  // Workers whose body has not returned yet.
  int Running() const { return running_; }
  // Waits for every body to return; those blocked in a TWakeable call are
  // woken every 50 ms, as a wake-up may come just before they block.
  void Join();

 private:
  struct Worker;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<int> running_{0};
};

// Marks the calling worker as waiting in a call it may be woken from.
class TWakeable {
 public:
  TWakeable();
  ~TWakeable();
  TWakeable(const TWakeable&) = delete;
  TWakeable& operator=(const TWakeable&) = delete;
};

}  // namespace plat

namespace plat {

// Opens a socket listening on ADDRESS: "host:port" (a numeric address,
// "[v6]:port" or "localhost"), ":port" (every address), or the path of a
// Unix socket (a stale socket file there is replaced, a live one is not).
// The handle, or -1 with the reason in error.
int OpenListeningSocket(const std::string& address, std::string& error);

}  // namespace plat
