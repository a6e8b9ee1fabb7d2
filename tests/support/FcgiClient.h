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

struct Reply {
  std::string out;
  bool ended = false;  // an end-request record came
  int appStatus = -1;
};

inline std::string Record(int type, const std::string& content) {
  const size_t n = content.size();
  return std::string{1, static_cast<char>(type), 0, 1, static_cast<char>(n >> 8), static_cast<char>(n & 255), 0, 0} +
         content;
}

inline std::string Length(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  return {static_cast<char>(0x80 | (n >> 24)), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}

inline int Connect(const std::string& path) {
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
  if (connect(s, reinterpret_cast<sockaddr*>(&name), sizeof name) == 0) return s;
  close(s);
  return -1;
}

inline void Send(int s, const std::string& data) {
  for (size_t at = 0; at < data.size();) {
    const ssize_t n = send(s, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += n;
  }
}

// The body goes in pieces 0.2 s apart, in records of at most 65535 bytes;
// hangUp leaves before the body's end.
inline Reply Request(const std::string& path, const Params& params, const std::vector<std::string>& body,
                     bool hangUp = false) {
  Reply reply;
  const int s = Connect(path);
  if (s < 0) return reply;
  std::string pairs;
  for (const auto& [name, value] : params) pairs += Length(name.size()) + Length(value.size()) + name + value;
  Send(s, Record(1, std::string{0, 1, 0, 0, 0, 0, 0, 0}) + Record(4, pairs) + Record(4, ""));
  for (size_t i = 0; i < body.size(); ++i) {
    if (i > 0) plat::SleepMs(200);
    for (size_t at = 0; at < body[i].size(); at += 65535) Send(s, Record(5, body[i].substr(at, 65535)));
  }
  if (hangUp) {
    close(s);
    return reply;
  }
  Send(s, Record(5, ""));
  std::string in;
  char buffer[65536];
  for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) in.append(buffer, n);
  close(s);
  for (size_t at = 0; at + 8 <= in.size();) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(in[at + i]); };
    const size_t n = byte(4) << 8 | byte(5), end = at + 8 + n + byte(6);
    if (byte(1) == 6) reply.out += in.substr(at + 8, n);
    if (byte(1) == 3 && n >= 4) reply.ended = true, reply.appStatus = byte(8) << 24 | byte(9) << 16 | byte(10) << 8 | byte(11);
    at = end;
  }
  return reply;
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
    if (s >= 0) close(s);
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
