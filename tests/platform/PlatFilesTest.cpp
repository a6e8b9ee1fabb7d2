#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/PlatFiles.h"

using namespace plat;
using A = TFileAccess;
using S = TShareKind;
using C = TFileCreation;
using F = TOpenFailure;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CreateDir(dir_)); }
  void TearDown() override { RemoveTree(dir_); }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  std::string Get(const std::string& name) const { std::string text; return ReadWholeFile(P(name), text) ? text : "?"; }
  const std::string dir_ = testing::TempDir() + "platfiles" + std::to_string(getpid());
};

TEST_F(FilesTest, SharingKindsExcludeEachOtherAcrossProcesses) {
  struct Kind { A access; S share; };
  const Kind kinds[] = {{A::Read, S::ReadShared}, {A::ReadWrite, S::ReadShared}, {A::Read, S::DenyWrite},
                        {A::Write, S::DenyWrite}, {A::Read, S::Exclusive},       {A::ReadWrite, S::Exclusive}};
  auto expectSharing = [&](const Kind& held) {
    for (const Kind& next : kinds) {
      const bool clash = int(held.share) + int(next.share) >= 2;  // ReadShared 0, DenyWrite 1, Exclusive 2
      TFile file;  // a clashing open also asks to create the file anew: refused, it must leave the data
      EXPECT_EQ(file.Open(P("f"), next.access, next.share, clash ? C::CreateAlways : C::OpenExisting), !clash)
          << int(held.share) << int(next.share);
      EXPECT_EQ(file.Failure(), clash ? F::SharingViolation : F::None);
    }
  };
  ASSERT_TRUE(AppendToFile(P("f"), "data"));
  for (const Kind& held : kinds) {
    TFile holder;
    const pid_t child = fork();
    if (child == 0) _exit(holder.Open(P("f"), held.access, held.share) && raise(SIGSTOP) == 0 ? 0 : 1);  // till killed
    ASSERT_EQ(waitpid(child, nullptr, WUNTRACED), child);
    expectSharing(held);
    kill(child, SIGKILL);  // a holder that dies leaves no locks behind
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(holder.Open(P("f"), A::ReadWrite, S::Exclusive));
  }
  EXPECT_EQ(Get("f"), "data");
}

TEST_F(FilesTest, OpenTellsWhyItFailed) {
  ASSERT_TRUE(AppendToFile(P("f"), "abc") && CreateDir(P("dir")));
  const struct { const char* name; A access; C creation; F failure; int64_t size; } cases[] = {
      {"missing", A::Read, C::OpenExisting, F::NotFound, -1}, {"f", A::Write, C::CreateNew, F::Exists, -1},
      {"dir", A::Read, C::OpenExisting, F::Other, -1},        {"f", A::Write, C::OpenAlways, F::None, 3},
      {"g", A::Write, C::OpenAlways, F::None, 0},             {"f", A::Read, C::CreateAlways, F::None, 0}};
  for (const auto& c : cases) {
    TFile file;
    EXPECT_EQ(file.Open(P(c.name), c.access, S::DenyWrite, c.creation), c.failure == F::None) << c.name;
    EXPECT_EQ(file.Failure(), c.failure) << c.name;
    EXPECT_EQ(file.Size(), c.size) << c.name;
  }
  double age = 0;  // no age for a missing file or a directory: a missing queue file is never stale
  EXPECT_FALSE(FileAge(P("missing"), age) || FileAge(P("dir"), age));
}
