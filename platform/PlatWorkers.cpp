#include "platform/PlatWorkers.h"

#include <pthread.h>
#include <signal.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <mutex>
#include <thread>

#include "platform/PlatThreads.h"

namespace plat {

namespace {

// The signal that wakes a worker; its handler does nothing, and as it is
// installed without SA_RESTART the call it lands in fails with EINTR.
constexpr int WakeSignal = SIGUSR2;

void OnWake(int) {}

void InstallWakeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = OnWake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(WakeSignal, &action, nullptr);
  });
}

thread_local std::atomic<bool>* waitingFlag = nullptr;

}  // namespace

bool IsListeningSocket(int handle) {
  int listening = 0;
  socklen_t size = sizeof listening;
  return getsockopt(handle, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

bool StdInputIsListeningSocket() { return IsListeningSocket(0); }

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? static_cast<int>(count) : 1;
}

struct TWorkers::Worker {
  std::thread thread;
  std::atomic<bool> waiting{false};
};

TWorkers::TWorkers() = default;
TWorkers::~TWorkers() { Join(); }

int TWorkers::Start(int count, const std::function<void(int)>& body) {
  InstallWakeSignal();
  // Threads inherit the signal mask: the quit signals stay with the main
  // thread, whose loop looks for them.
  sigset_t quit, previous;
  sigemptyset(&quit);
  sigaddset(&quit, SIGTERM);
  sigaddset(&quit, SIGINT);
  sigaddset(&quit, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &quit, &previous);
  int started = 0;
  for (int i = 0; i < count; ++i) {
    auto worker = std::make_unique<Worker>();
    std::atomic<bool>* flag = &worker->waiting;
    ++running_;
    try {
      worker->thread = std::thread([this, flag, body, i] {
        waitingFlag = flag;
        body(i);
        waitingFlag = nullptr;
        --running_;
      });
    } catch (...) {
      --running_;
      break;
    }
    workers_.push_back(std::move(worker));
    ++started;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

void TWorkers::InterruptWaiting() {
  for (auto& worker : workers_)
    if (worker->waiting && worker->thread.joinable()) pthread_kill(worker->thread.native_handle(), WakeSignal);
}

void TWorkers::Join() {
  while (running_ > 0) {
    InterruptWaiting();
    SleepMs(50);
  }
  for (auto& worker : workers_)
    if (worker->thread.joinable()) worker->thread.join();
  workers_.clear();
}

TWakeable::TWakeable() {
  if (waitingFlag) *waitingFlag = true;
}

TWakeable::~TWakeable() {
  if (waitingFlag) *waitingFlag = false;
}

namespace {

int Fail(std::string& error, const std::string& what) {
  error = what + ": " + std::strerror(errno);
  return -1;
}

// A socket file nobody listens on is left over from an earlier process.
bool StaleSocketFile(const sockaddr_un& name) {
  struct stat info {};
  if (lstat(name.sun_path, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool refused = connect(probe, reinterpret_cast<const sockaddr*>(&name), sizeof name) != 0 && errno == ECONNREFUSED;
  close(probe);
  return refused;
}

int Listen(int handle, const sockaddr* name, socklen_t size, const std::string& address, std::string& error) {
  const int yes = 1;
  if (name->sa_family != AF_UNIX) setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(handle, name, size) != 0 || listen(handle, 128) != 0) {
    Fail(error, "Cannot listen on " + address);
    close(handle);
    return -1;
  }
  return handle;
}

}  // namespace

int OpenListeningSocket(const std::string& address, std::string& error) {
  const size_t colon = address.rfind(':');
  if (address.empty() || address[0] == '/' || address[0] == '.' || colon == std::string::npos) {
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    if (address.empty() || address.size() >= sizeof name.sun_path) {
      error = "Cannot listen on " + address + ": no usable socket path";
      return -1;
    }
    std::memcpy(name.sun_path, address.data(), address.size());
    if (StaleSocketFile(name)) unlink(name.sun_path);
    const int handle = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) return Fail(error, "Cannot open a socket");
    return Listen(handle, reinterpret_cast<sockaddr*>(&name), sizeof name, address, error);
  }
  std::string host = address.substr(0, colon);
  const std::string portText = address.substr(colon + 1);
  char* end = nullptr;
  const long port = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end || port < 1 || port > 65535) {
    error = "Cannot listen on " + address + ": no port number";
    return -1;
  }
  if (host == "localhost") host = "127.0.0.1";
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    sockaddr_in6 name{};
    name.sin6_family = AF_INET6;
    name.sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &name.sin6_addr) != 1) {
      error = "Cannot listen on " + address + ": not a numeric address";
      return -1;
    }
    const int handle = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) return Fail(error, "Cannot open a socket");
    return Listen(handle, reinterpret_cast<sockaddr*>(&name), sizeof name, address, error);
  }
  sockaddr_in name{};
  name.sin_family = AF_INET;
  name.sin_port = htons(static_cast<uint16_t>(port));
  if (host.empty()) {
    name.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, host.c_str(), &name.sin_addr) != 1) {
    error = "Cannot listen on " + address + ": not a numeric address";
    return -1;
  }
  const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) return Fail(error, "Cannot open a socket");
  return Listen(handle, reinterpret_cast<sockaddr*>(&name), sizeof name, address, error);
}

}  // namespace plat
