#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatThreads.h"

namespace {

TEST(Environment, SetsReadsAndRemovesVariables) {
  plat::UnsetEnv("PLAT_TEST_VAR");
  EXPECT_FALSE(plat::HasEnv("PLAT_TEST_VAR"));
  EXPECT_EQ(plat::GetEnv("PLAT_TEST_VAR"), "");
  plat::SetEnv("PLAT_TEST_VAR", "");
  EXPECT_TRUE(plat::HasEnv("PLAT_TEST_VAR"));
  EXPECT_EQ(plat::GetEnv("PLAT_TEST_VAR"), "");
  plat::SetEnv("PLAT_TEST_VAR", "a=b \xFC");
  EXPECT_EQ(plat::GetEnv("PLAT_TEST_VAR"), "a=b \xFC");
  plat::UnsetEnv("PLAT_TEST_VAR");
  EXPECT_FALSE(plat::HasEnv("PLAT_TEST_VAR"));
}

TEST(CommandLine, CountsParametersWithoutTheProgram) {
  char prog[] = "/x/forum.cgi", a1[] = "-d", a2[] = "";
  char* argv[] = {prog, a1, a2, nullptr};
  plat::SetCommandLine(3, argv);
  EXPECT_EQ(plat::ParamCount(), 2);
  EXPECT_EQ(plat::ParamStr(0), "/x/forum.cgi");
  EXPECT_EQ(plat::ParamStr(1), "-d");
  EXPECT_EQ(plat::ParamStr(2), "");
  EXPECT_EQ(plat::ParamStr(3), "");
  EXPECT_EQ(plat::ParamStr(-1), "");
  plat::SetCommandLine(std::vector<std::string>{"prog"});
  EXPECT_EQ(plat::ParamCount(), 0);
  plat::SetCommandLine(std::vector<std::string>{});
  EXPECT_EQ(plat::ParamCount(), 0);
  EXPECT_EQ(plat::ParamStr(0), "");
}

TEST(ProgramFileName, IsTheRealPathOfTheRunningExecutable) {
  const std::string self = plat::ProgramFileName();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self[0], '/');
  EXPECT_EQ(plat::ExtractFileName(self), "test_PlatProcessTest");
  EXPECT_EQ(std::filesystem::canonical(self).string(), self);
  EXPECT_FALSE(plat::RunsAsLibrary());
  EXPECT_EQ(plat::ModulePath(), self);
  // Linked statically into this program, the library's symbols name it too.
  plat::SetRunsAsLibrary(true);
  EXPECT_EQ(plat::ModulePath(), self);
  plat::SetRunsAsLibrary(false);
}

TEST(Random, StaysInRangeAndVaries) {
  plat::Randomize();
  std::set<int> seen;
  for (int i = 0; i < 2000; ++i) {
    const int r = plat::Random(10);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 10);
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 10u);
  EXPECT_EQ(plat::Random(1), 0);
  EXPECT_EQ(plat::Random(0), 0);
  EXPECT_EQ(plat::Random(-5), 0);
}

TEST(Random, IsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      plat::Randomize();
      for (int i = 0; i < 5000; ++i) {
        const int r = plat::Random(1000);
        if (r < 0 || r >= 1000) std::abort();
      }
    });
  for (auto& t : threads) t.join();
}

TEST(ProcessId, IsThisProcess) { EXPECT_EQ(plat::ProcessId(), static_cast<int>(getpid())); }

TEST(HandleStream, ReadsAndWritesPipesAndReportsTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  plat::THandleStream reader(fds[0]), writer(fds[1]);
  const std::string data(100000, 'q');
  std::thread feeder([&] {
    EXPECT_TRUE(writer.Write(data.data(), static_cast<long>(data.size())));
    writer.Close();
  });
  std::string got;
  char buf[4096];
  for (;;) {
    const long n = reader.Read(buf, sizeof buf);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  feeder.join();
  EXPECT_EQ(got, data);
  reader.Close();
  EXPECT_EQ(reader.Read(buf, 1), -1);
  EXPECT_FALSE(writer.Write("x", 1));
}

TEST(HandleStream, WritingToAClosedPipeFailsInsteadOfKillingTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  plat::THandleStream writer(fds[1]);
  close(fds[0]);
  EXPECT_FALSE(writer.Write("lost", 4));
  writer.Close();
}

TEST(SpawnDetached, StartsTheProgramInItsOwnSessionWithNullHandles) {
  char tmpl[] = "/tmp/platspawn.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string out = dir + "/out";
  plat::SetEnv("PLAT_SPAWN_MARK", "inherited");
  // A handle without close-on-exec, as a server's socket might be.
  const int leaky = dup(2);
  ASSERT_GE(leaky, 3);
  const std::string leakyPath = "/proc/$$/fd/" + std::to_string(leaky);
  // The shell reports its session, its standard handles and the variable.
  const std::string script =
      "echo \"$PLAT_SPAWN_MARK $1\" > " + out + ".tmp; "
      "ps -o sid= -p $$ >> " + out + ".tmp 2>/dev/null || echo nops >> " + out + ".tmp; "
      "h=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$h\" >> " + out + ".tmp; "
      "if [ -e " + leakyPath + " ]; then echo leaked; else echo closed; fi >> " + out + ".tmp; "
      "mv " + out + ".tmp " + out;
  ASSERT_TRUE(plat::SpawnDetached("/bin/sh", {"-c", script, "sh", "arg one"}));
  std::string contents;
  for (int i = 0; i < 200 && !plat::ReadWholeFile(out, contents); ++i) plat::SleepMs(10);
  plat::UnsetEnv("PLAT_SPAWN_MARK");
  close(leaky);
  std::filesystem::remove_all(dir);
  ASSERT_FALSE(contents.empty());
  EXPECT_EQ(contents.substr(0, contents.find('\n')), "inherited arg one");
  EXPECT_NE(contents.find("/dev/null\n/dev/null\n/dev/null\nclosed\n"), std::string::npos) << contents;
  const std::string mySession = std::to_string(getsid(0));
  const size_t line2 = contents.find('\n') + 1;
  std::string sid = contents.substr(line2, contents.find('\n', line2) - line2);
  sid.erase(0, sid.find_first_not_of(' '));
  if (sid != "nops") {
    EXPECT_NE(sid, mySession);
  }
}

TEST(SpawnDetached, FailsForAMissingProgram) {
  EXPECT_FALSE(plat::SpawnDetached("/nonexistent/program", {}));
}

TEST(ExitProcessNow, EndsWithTheCodeAndFlushesNothing) {
  EXPECT_EXIT(
      {
        std::printf("buffered");
        plat::ExitProcessNow(7);
      },
      ::testing::ExitedWithCode(7), "");
}

TEST(SleepMs, PausesAboutThatLong) {
  const auto start = std::chrono::steady_clock::now();
  plat::SleepMs(20);
  plat::SleepMs(0);
  plat::SleepMs(-5);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 20);
  EXPECT_LT(ms, 1000);
}

TEST(CriticalSection, IsReentrantOnOneThread) {
  plat::TCriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  bool otherGot = true;
  std::thread([&] { otherGot = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGot);
  cs.Leave();
  cs.Leave();
  std::thread([&] {
    otherGot = cs.TryEnter();
    if (otherGot) cs.Leave();
  }).join();
  EXPECT_TRUE(otherGot);
}

}  // namespace
