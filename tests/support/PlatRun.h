// Runs a program to completion with a given environment and standard input,
// collecting its standard output: what a web server does with a CGI program.
#pragma once
#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace plat {

struct TRunResult {
  std::string Output;
  int ExitCode = -1;   // -1 when it did not exit normally
  size_t InputWritten = 0;  // bytes of stdinData the program took before it closed its input
};

// env replaces the whole environment. stdinData is written and then the
// pipe closed. pid, when given, receives the program's process id as soon
// as it runs.
TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const std::string& stdinData,
                      int timeoutMs = 20000, std::atomic<int>* pid = nullptr);

}  // namespace plat
