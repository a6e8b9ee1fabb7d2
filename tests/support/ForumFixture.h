// A message store in a fresh directory, with a fake request whose fields the
// test sets, for tests of the store and of the message list.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatProcess.h"
#include "tests/support/FakeEngine.h"

// A new, empty directory under the system's temporary directory.
inline std::string FreshDir(const char* what) {
  static int serial = 0;
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("parlino-" + std::string(what) + "-" + std::to_string(plat::ProcessId()) + "-" + std::to_string(++serial));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

class ForumFixture : public ::testing::Test {
 protected:
  explicit ForumFixture(const char* what) : what_(what) {}
  void SetUp() override {
    dir = FreshDir(what_);
    state.FilePrefix = dir + "/forum";
    engine.AutoHttpHeader = false;
    scope = std::make_unique<FakeRequestScope>(engine);
  }
  void TearDown() override {
    navigator.reset();
    scope.reset();
    std::filesystem::remove_all(dir);
  }

  std::string DataFile() const { return state.FilePrefix + "_data.dat"; }

  std::string dir;
  TForumState state;
  FakeEngine engine;
  THttpCookie cookie{nullptr};
  std::unique_ptr<FakeRequestScope> scope;
  std::unique_ptr<TNewsNavigator> navigator;

 private:
  const char* what_;
};
