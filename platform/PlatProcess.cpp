#include "platform/PlatProcess.h"
#include "platform/PlatIo.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

extern char** environ;

namespace plat {

namespace {

std::mutex& CommandLineMutex() {
  static std::mutex m;
  return m;
}
std::vector<std::string>& CommandLine() {
  static std::vector<std::string> args;
  return args;
}

std::atomic<bool> g_runsAsLibrary{false};

// splitmix64: cheap to seed, which matters to a program started once per
// request, and good enough for message numbers and temporary names.
std::mutex g_randomMutex;
uint64_t g_randomState = 0x853C49E6748FEA9BULL;  // fixed seed until Randomize, as the runtime

uint64_t NextRandom() {
  uint64_t z = (g_randomState += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

std::string GetEnv(const std::string& name) {
  const char* value = getenv(name.c_str());
  return value ? std::string(value) : std::string();
}

bool HasEnv(const std::string& name) { return getenv(name.c_str()) != nullptr; }

void SetEnv(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnv(const std::string& name) { unsetenv(name.c_str()); }

std::vector<std::string> EnvironmentBlock() {
  std::vector<std::string> block;
  for (char** entry = environ; entry && *entry; ++entry) block.emplace_back(*entry);
  return block;
}

void SetCommandLine(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
  SetCommandLine(args);
}

void SetCommandLine(const std::vector<std::string>& args) {
  std::lock_guard<std::mutex> lock(CommandLineMutex());
  CommandLine() = args;
}

int ParamCount() {
  std::lock_guard<std::mutex> lock(CommandLineMutex());
  const auto& args = CommandLine();
  return args.empty() ? 0 : static_cast<int>(args.size()) - 1;
}

std::string ParamStr(int index) {
  std::lock_guard<std::mutex> lock(CommandLineMutex());
  const auto& args = CommandLine();
  if (index < 0 || static_cast<size_t>(index) >= args.size()) return std::string();
  return args[static_cast<size_t>(index)];
}

std::string CurrentDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

std::string ProgramFileName() {
  // The kernel's link is already the resolved path; it never changes.
  static const std::string path = [] {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) return std::string(buf, static_cast<size_t>(n));
    if (realpath("/proc/self/exe", buf)) return std::string(buf);
    return ParamStr(0);
  }();
  return path;
}

std::string ModulePath() {
  if (!RunsAsLibrary()) return ProgramFileName();
  Dl_info info{};
  // Any function of this library names the module it was linked into.
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) && info.dli_fname) {
    char buf[PATH_MAX];
    if (realpath(info.dli_fname, buf)) return buf;
    return info.dli_fname;
  }
  return ProgramFileName();
}

bool RunsAsLibrary() { return g_runsAsLibrary.load(); }
void SetRunsAsLibrary(bool value) { g_runsAsLibrary.store(value); }

void Randomize() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t seed = static_cast<uint64_t>(ts.tv_sec) * 1000000007ULL ^ static_cast<uint64_t>(ts.tv_nsec) ^
                  (static_cast<uint64_t>(getpid()) << 32) ^
                  static_cast<uint64_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
  std::lock_guard<std::mutex> lock(g_randomMutex);
  g_randomState ^= seed;
  NextRandom();
}

int Random(int range) {
  if (range <= 1) return 0;
  const uint64_t n = static_cast<uint64_t>(range);
  const uint64_t limit = UINT64_MAX - UINT64_MAX % n;  // no modulo bias
  std::lock_guard<std::mutex> lock(g_randomMutex);
  uint64_t x;
  do x = NextRandom();
  while (x >= limit);
  return static_cast<int>(x % n);
}

void ExitProcessNow(int code) { _exit(code); }

int ProcessId() { return static_cast<int>(getpid()); }

bool SpawnDetached(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argvStore;
  argvStore.push_back(program);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Handles opened without close-on-exec (a server's sockets, a lock file)
  // must not live on in the new process either.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  // The new process starts with default signal handling and no blocked
  // signals, whatever this one changed.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGCHLD);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  // Nobody waits for the child; reap it so that it leaves no zombie behind
  // while this process lives on.
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
  }
  return true;
}

// A reader that went away must give a failed write, not end the process.
void IgnoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGPIPE, SIG_IGN);
    }
  });
}

THandleStream::THandleStream(Std which) : fd_(which == Std::Input ? 0 : 1) { IgnoreBrokenPipes(); }

THandleStream::THandleStream(int fd) : fd_(fd) { IgnoreBrokenPipes(); }

long THandleStream::Read(void* buffer, long count) {
  if (fd_ < 0 || count < 0) return -1;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool THandleStream::Write(const void* buffer, long count) {
  if (fd_ < 0 || count < 0) return false;
  return detail::WriteAll(fd_, buffer, static_cast<size_t>(count));
}

void THandleStream::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace plat
