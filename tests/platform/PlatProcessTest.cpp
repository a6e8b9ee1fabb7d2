#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatThreads.h"

TEST(HandleStream, FailsToWriteOnceTheReaderIsGone) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  plat::THandleStream writer(fds[1]);
  EXPECT_TRUE(writer.Write("", 0) && !writer.Write("x", 1));  // the reader is gone: a failure, not SIGPIPE
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
