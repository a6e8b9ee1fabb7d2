#include "tests/support/PlatRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace plat {

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const std::string& stdinData, int timeoutMs,
                      std::atomic<int>* pidOut) {
  TRunResult result;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0) return close(in[0]), close(in[1]), result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> argStrings{program}, envStrings;
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  auto pointers = [](std::vector<std::string>& strings) {  // NULL-ended, as exec wants them
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
  };
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, pointers(argStrings).data(),
                             pointers(envStrings).data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) return close(in[1]), close(out[0]), result;
  if (pidOut) *pidOut = pid;
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  bool inOpen = !stdinData.empty();
  if (!inOpen) close(in[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    const int ready = poll(fds, inOpen ? 2 : 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (inOpen && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t w = write(in[1], stdinData.data() + written, stdinData.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN) || written >= stdinData.size()) close(in[1]), inOpen = false;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t r = read(out[0], buffer, sizeof buffer);
      if (r > 0) result.Output.append(buffer, static_cast<size_t>(r));
      else if (r == 0 || errno != EINTR) break;
    }
  }
  if (inOpen) close(in[1]);
  close(out[0]);
  result.InputWritten = written;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  return result;
}

}  // namespace plat
