// The process: environment, command line, own file name, random numbers,
// streams over the standard handles, spawning and ending.
#pragma once
#include <string>
#include <vector>

namespace plat {

// Environment. GetEnv gives "" for an absent variable.
std::string GetEnv(const std::string& name);
bool HasEnv(const std::string& name);
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
// The whole environment, NAME=VALUE entries in the block's order.
std::vector<std::string> EnvironmentBlock();

// The command line as the program's entry received it; set once by the
// entry before anything else runs (and by tests).
void SetCommandLine(int argc, char** argv);
void SetCommandLine(const std::vector<std::string>& args);  // args[0] is the program
int ParamCount();
std::string ParamStr(int index);  // 0: program as invoked

// Real path of the running executable.
std::string ProgramFileName();
// The working directory; empty when it cannot be found.
std::string CurrentDirectory();
// Inside a loaded module, the module's own path; otherwise the program's.
std::string ModulePath();
// Set only by the loaded library's start-up code.
bool RunsAsLibrary();
void SetRunsAsLibrary(bool value);

// Libraries loaded at run time and never unloaded. The name goes to the
// system's loader as given (a bare name is searched for); null when it
// cannot be loaded or has no such entry.
void* LoadLibraryByName(const std::string& name);
void* LibraryEntry(void* library, const std::string& name);
// Where system libraries live.
std::string SystemDirectory();

// Seeds the generator from the clock (and the process and thread).
void Randomize();
// Uniform in 0 .. range-1; thread-safe.
int Random(int range);

// End the process at once, without further clean-up.
[[noreturn]] void ExitProcessNow(int code);
int ProcessId();

// Start the program again without waiting (argv[0] is program, args follow;
// the child is reaped in the background): new session, standard handles on
// /dev/null, environment inherited. False when it cannot be started.
bool SpawnDetached(const std::string& program, const std::vector<std::string>& args);

// Writes to a closed pipe or socket fail instead of ending the process
// (unless someone handles SIGPIPE already).
void IgnoreBrokenPipes();

// An unbuffered stream over a standard handle.
class THandleStream {
 public:
  enum class Std { Input, Output };
  // Both constructors make writes to a closed pipe fail instead of ending
  // the process (SIGPIPE is ignored unless someone handles it already).
  explicit THandleStream(Std which);
  explicit THandleStream(int fd);
  // Up to count bytes; 0 at the end, -1 on error. Retries on EINTR.
  long Read(void* buffer, long count);
  // All bytes, retrying partial writes; false on error.
  bool Write(const void* buffer, long count);
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace plat
