// A copy of a program in a directory of its own, so that its resident
// server's queue, window and client files are its own too.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include "platform/PlatFiles.h"
#include "platform/PlatThreads.h"
#include "platform/PlatWindow.h"
#include "tests/support/PlatRun.h"

struct ResidentSite {
  using Env = std::map<std::string, std::string>;
  // baseLength, when given, pads the directory to that ServerBasePath length.
  explicit ResidentSite(const std::string& program, size_t baseLength = 0) {
    const std::string name = std::filesystem::path(program).filename();
    dir = std::string(PARLINO_BINARY_DIR) + "/resident-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (baseLength) dir += std::string(baseLength - dir.size() - name.size() - 6, 'x');
    std::filesystem::remove_all(dir), std::filesystem::create_directories(dir);
    self = dir + "/" + name, base = dir + "/Temp/" + name;
    std::filesystem::create_hard_link(program, self);
  }
  ~ResidentSite() { Stop(), std::filesystem::remove_all(dir); }
  // A server started as the web server's account would; ready once its window exists.
  void Start(Env env, const std::vector<std::string>& args = {}) {
    env.try_emplace("CGI_LOG_DIR", dir);
    server = std::async(std::launch::async, [=, this] { return plat::RunProgram(self, args, env, "", 60000, &pid); });
    for (int i = 0; i < 200 && !plat::WindowExists(base + "_S.window"); ++i) plat::SleepMs(20);
  }
  // Without its queue file a server ends at its next poll.
  void Stop() {
    std::filesystem::remove(base + "_S");
    for (int i = 0; i < 200 && plat::WindowExists(base + "_S.window"); ++i) plat::SleepMs(20);
    if (server.valid()) server.get();
  }
  plat::TRunResult Run(Env env, const std::string& body = "") {
    env.try_emplace("SERVER_SOFTWARE", "TestServer/1.0"), env.try_emplace("CGI_LOG_DIR", dir);
    env.try_emplace("CONTENT_LENGTH", std::to_string(body.size()));
    return plat::RunProgram(self, {}, env, body);
  }
  std::string dir, self, base;
  std::future<plat::TRunResult> server;
  std::atomic<int> pid{0};
};

// Creates the file if need be and dates it back.
inline void Touch(const std::string& path, int secondsAgo = 0) {
  std::ofstream(path, std::ios::app).flush();
  std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

// A Windows CGI request (env names the CGI version): profile written to
// dir/req.ini and served by program; its standard output and exit code, and
// what dir/out then holds.
struct TProfileRun : plat::TRunResult {
  std::string file;
};
inline TProfileRun RunProfile(const std::string& program, const std::string& dir, const std::string& profile,
                              const ResidentSite::Env& env, std::atomic<int>* pid = nullptr) {
  plat::AppendToFile(dir + "/req.ini", profile);
  TProfileRun run{plat::RunProgram(program, {dir + "/req.ini"}, env, "", 20000, pid), ""};
  if (!plat::ReadWholeFile(dir + "/out", run.file)) run.file = "[no output file]";
  return run;
}

// Writes the profile and other files ("{D}" in them is the request's own
// directory), serves it by program and returns what it wrote.
inline TProfileRun ServeProfile(const std::string& program, const std::string& profile,
                                const std::map<std::string, std::string>& files = {}, ResidentSite::Env env = {}) {
  std::string dir = "/tmp/parlino-wprofile-XXXXXX";
  if (!mkdtemp(dir.data())) return {{}, "no directory"};
  auto expand = [&dir](const std::string& text) { return std::regex_replace(text, std::regex("\\{D\\}"), dir); };
  for (const auto& [name, content] : files) plat::AppendToFile(dir + "/" + name, expand(content));
  env.insert({{"CGI_LOG_DIR", dir}, {"CGI_VERSION", "CGI/1.3a (Win95)"}});
  const TProfileRun served = RunProfile(program, dir, expand(profile), env);
  plat::RemoveTree(dir);
  return served;
}

// A handed-over page as the server wrote it: a header block that ends in
// the first 1024 bytes must carry the body's length, inserted by the
// client, which is checked and removed.
inline std::string WithoutLength(const std::string& page) {
  std::smatch m;
  if (!std::regex_search(page, m, std::regex("\r\nContent-Length: (\\d+)\r\n\r\n")))
    return std::min(page.find("\r\n\r\n"), size_t{1024}) + 4 > 1024 ? page : page + " [no Content-Length]";
  if (std::stol(m[1]) != m.suffix().length()) return page + " [wrong Content-Length]";
  return m.prefix().str() + "\r\n\r\n" + m.suffix().str();
}
