// A copy of a program in a directory of its own, so that its resident
// server's queue, window and client files are its own too.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <regex>

#include "platform/PlatThreads.h"
#include "platform/PlatWindow.h"
#include "tests/support/PlatRun.h"

struct ResidentSite {
  explicit ResidentSite(const std::string& program, size_t baseLength = 0) {
    namespace fs = std::filesystem;
    dir = std::string(PARLINO_BINARY_DIR) + "/resident-" + std::to_string(getpid()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string name = fs::path(program).filename();
    // Padded so that ServerBasePath is baseLength characters long.
    if (baseLength) dir += std::string(baseLength - dir.size() - name.size() - 6, 'x');
    fs::remove_all(dir);
    fs::create_directories(dir);
    self = dir + "/" + name;
    base = dir + "/Temp/" + name;
    fs::create_hard_link(program, self);
  }
  ~ResidentSite() {
    Stop();
    std::filesystem::remove_all(dir);
  }
  // The server of this site, started as the web server's account would
  // start it; returns once its window exists.
  void Start(std::map<std::string, std::string> env, const std::vector<std::string>& args = {}) {
    env.try_emplace("CGI_LOG_DIR", dir);
    server = std::async(std::launch::async, [=, this] { return plat::RunProgram(self, args, env, "", 60000, false, &pid); });
    for (int i = 0; i < 200 && !plat::WindowExists(base + "_S.window"); ++i) plat::SleepMs(20);
  }
  // Deletes the queue file: a server ends at its next poll.
  void Stop() {
    std::filesystem::remove(base + "_S");
    for (int i = 0; i < 200 && plat::WindowExists(base + "_S.window"); ++i) plat::SleepMs(20);
    if (server.valid()) exit = server.get().ExitCode;
  }
  plat::TRunResult Run(std::map<std::string, std::string> env, const std::string& body = "") {
    env.try_emplace("SERVER_SOFTWARE", "TestServer/1.0");
    env.try_emplace("CGI_LOG_DIR", dir);
    env.try_emplace("CONTENT_LENGTH", std::to_string(body.size()));
    return plat::RunProgram(self, {}, env, body);
  }

  std::string dir, self, base;
  std::future<plat::TRunResult> server;
  std::atomic<int> pid{0};
  int exit = -2;
};

// A handed-over page as the server wrote it: the Content-Length the client
// inserted is checked against the body and removed.
inline std::string WithoutLength(const std::string& page) {
  static const std::regex length("\r\nContent-Length: (\\d+)\r\n\r\n");
  std::smatch m;
  if (!std::regex_search(page, m, length))
    return page.find("\r\n\r\n") == std::string::npos ? page : page + " [no Content-Length]";
  const size_t at = static_cast<size_t>(m.position(0)), header = m.length(0) - 4;
  if (std::stoul(m[1]) != page.size() - at - m.length(0)) return page + " [wrong Content-Length]";
  return page.substr(0, at) + page.substr(at + header);
}
