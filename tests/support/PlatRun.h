// Runs a program to completion with a given environment and standard input,
// collecting its standard output: what a web server does with a CGI program.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace plat {

struct TRunResult {
  std::string Output;
  int ExitCode = -1;        // -1 when it did not exit normally
  size_t InputWritten = 0;  // bytes of stdinData the program took before it closed its input
};

// env replaces the whole environment. stdinData is written and then the
// pipe closed. pid, when given, receives the program's process id as soon
// as it runs.
inline TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env, const std::string& stdinData,
                             int timeoutMs = 20000, std::atomic<int>* pidOut = nullptr) {
  TRunResult result;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0) return close(in[0]), close(in[1]), result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp(envStrings.size() + 1);  // NULL-ended for exec
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (size_t i = 0; i < envStrings.size(); ++i) envp[i] = envStrings[i].data();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) return close(in[1]), close(out[0]), result;
  if (pidOut) *pidOut = pid;
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  // The input, closed once written (an empty one at the first turn), is -1:
  // poll passes over a negative descriptor.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    // Unready descriptors (a timeout, a signal) keep their zero revents.
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) {
      const ssize_t w = write(in[1], stdinData.data() + result.InputWritten, stdinData.size() - result.InputWritten);
      if (w > 0) result.InputWritten += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN) || result.InputWritten >= stdinData.size()) close(in[1]), in[1] = -1;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t r = read(out[0], buffer, sizeof buffer);
      if (r > 0) result.Output.append(buffer, static_cast<size_t>(r));
      else if (r == 0 || errno != EINTR) break;
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace plat
