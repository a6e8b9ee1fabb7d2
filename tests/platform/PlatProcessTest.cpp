#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "tests/support/PlatRun.h"
#include "platform/PlatThreads.h"

// First in the file, while SIGPIPE still has its default action.
TEST(RunProgram, ReportsOutputExitCodeKillingSignalAndTimeout) {
  const struct { std::string script, input, output; int timeoutMs; } cases[] = {
      {"cat; echo \"$V\"", "in\n", "in\nv\nexit 0 signal 0", 20000},
      {"exit 0", std::string(1 << 20, 'x'), "exit 0 signal 0", 20000},  // unread input must not end the caller
      {"exec >&-; sleep 0.2; exit 3", "", "exit 3 signal 0", 20000},  // its output ends before it does
      {"exec >&-; sleep 0.2; kill -9 $$", "", "exit -1 signal 9", 20000},
      {"echo started; exec sleep 30", "", "started\nexit -1 signal 9 timed out", 300}};
  for (const auto& c : cases) {
    const auto r = plat::RunProgram("/bin/sh", {"-c", c.script}, {{"PATH", "/bin"}, {"V", "v"}}, c.input, c.timeoutMs);
    EXPECT_EQ(r.Output + "exit " + std::to_string(r.ExitCode) + " signal " + std::to_string(r.Signal) +
                  (r.TimedOut ? " timed out" : ""), c.output);
  }
}

TEST(HandleStream, FailsToWriteOnceTheReaderIsGoneAndReallyClosesStandardInput) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  plat::THandleStream writer(fds[1]);
  EXPECT_TRUE(writer.Write("", 0) && !writer.Write("x", 1));  // the reader is gone: a failure, not SIGPIPE
  writer.Close();
  EXPECT_EXIT({
    dup2(open("/dev/null", O_RDONLY), 0);
    plat::THandleStream(plat::THandleStream::Std::Input).Close();
    _exit(fcntl(0, F_GETFD) == -1 ? 0 : 1);
  }, testing::ExitedWithCode(0), "");
}

TEST(SpawnDetached, StartsInANewSessionWithNullHandlesAndNoInheritedDescriptors) {
  const std::string out = testing::TempDir() + "spawn" + std::to_string(getpid());
  const int leaky = fcntl(2, F_DUPFD, 3);  // without close-on-exec, as a server's socket might be
  const std::string script = "h=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); { echo \"$1\" $h; "
                             "[ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ] && echo leader; [ -e /proc/$$/fd/" +
                             std::to_string(leaky) + " ] && echo leaked; } >" + out + ".tmp; mv " + out + ".tmp " + out;
  ASSERT_TRUE(plat::SpawnDetached("/bin/sh", {"-c", script, "sh", "arg one"}));
  std::string got;
  for (int i = 0; i < 500 && !plat::ReadWholeFile(out, got); ++i) plat::SleepMs(10);
  EXPECT_EQ(got, "arg one /dev/null /dev/null /dev/null\nleader\n");
  close(leaky);
  plat::DeleteFile(out);
}

TEST(SleepMs, SleepsItsWholeTimeThroughSignals) {
  signal(SIGALRM, [](int) {});  // nanosleep is never restarted: each signal cuts it short
  const itimerval every10ms{{0, 10000}, {0, 10000}}, off{};
  setitimer(ITIMER_REAL, &every10ms, nullptr);
  const auto start = std::chrono::steady_clock::now();
  plat::SleepMs(150);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  setitimer(ITIMER_REAL, &off, nullptr);
}
