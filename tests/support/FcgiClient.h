// A web server's side of FastCGI for the tests: a responder process started
// on a socket of its own, and requests sent to it as records.
#pragma once
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "platform/PlatThreads.h"
#include "tests/support/PlatRun.h"

namespace fcgi {

using Params = std::map<std::string, std::string>;

inline std::string Record(int type, const std::string& content) {
  const size_t n = content.size();
  return std::string{1, char(type), 0, 1, char(n >> 8), char(n & 255), 0, 0} + content;
}

inline int Connect(const std::string& path) {
  sockaddr_un name{AF_UNIX, {}};
  std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(s, reinterpret_cast<sockaddr*>(&name), sizeof name) == 0) return s;
  return close(s), -1;
}

// The body goes in pieces 0.2 s apart, in records of at most 65535 bytes;
// parameter names and values stay under 128 bytes. The reply is the
// response's bytes, marked when no end-request record came.
inline std::string Request(const std::string& path, const Params& params, const std::vector<std::string>& body) {
  const int s = Connect(path);
  if (s < 0) return "[no connection]";
  std::string pairs, in, out;
  bool ended = false;
  for (const auto& [name, value] : params) pairs += std::string{char(name.size()), char(value.size())} + name + value;
  std::vector<std::string> sends{Record(1, {0, 1, 0, 0, 0, 0, 0, 0}) + Record(4, pairs) + Record(4, "")};
  for (const std::string& piece : body) {
    sends.emplace_back();
    for (size_t at = 0; at < piece.size(); at += 65535) sends.back() += Record(5, piece.substr(at, 65535));
  }
  sends.back() += Record(5, "");
  for (size_t i = 0; i < sends.size(); ++i) {
    if (i > 1) plat::SleepMs(200);
    send(s, sends[i].data(), sends[i].size(), MSG_NOSIGNAL);
  }
  char buffer[65536];
  for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) in.append(buffer, n);
  close(s);
  for (size_t at = 0; at + 8 <= in.size(); at += 8 + (uint8_t(in[at + 4]) << 8 | uint8_t(in[at + 5])) + uint8_t(in[at + 6])) {
    if (in[at + 1] == 6) out += in.substr(at + 8, uint8_t(in[at + 4]) << 8 | uint8_t(in[at + 5]));
    ended |= in[at + 1] == 3;
  }
  return ended ? out : out + " [no end]";
}

// The program as a responder on DIR/socket, started with env and args.
struct Responder {
  Responder(const std::string& program, const std::string& dir, Params env, std::vector<std::string> args = {})
      : socket(dir + "/socket") {
    args.insert(args.begin(), {"--fastcgi", socket});
    // A sanitized program keeps the test's sanitizer settings.
    if (const char* options = getenv("TSAN_OPTIONS")) env.try_emplace("TSAN_OPTIONS", options);
    run = std::async(std::launch::async, [=, this] { return plat::RunProgram(program, args, env, "", 120000, &pid); });
    int s = -1;
    for (int i = 0; i < 500 && (s = Connect(socket)) < 0; ++i) plat::SleepMs(10);
    close(s);
  }
  // SIGTERM, then what the process left.
  plat::TRunResult Stop() {
    if (pid > 0) kill(pid, SIGTERM);
    return run.get();
  }
  ~Responder() {
    if (run.valid()) Stop();
  }
  std::string socket;
  std::atomic<int> pid{0};
  std::future<plat::TRunResult> run;
};

}  // namespace fcgi
