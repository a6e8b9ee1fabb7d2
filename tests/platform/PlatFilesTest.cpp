#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/PlatFiles.h"
#include "platform/PlatTime.h"

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

TEST_F(FilesTest, SharingKindsExcludeEachOtherAcrossThreadsAndProcesses) {
  struct Kind { A access; S share; };
  const Kind kinds[] = {{A::Read, S::ReadShared}, {A::ReadWrite, S::ReadShared}, {A::Read, S::DenyWrite},
                        {A::Write, S::DenyWrite}, {A::Read, S::Exclusive},       {A::ReadWrite, S::Exclusive}};
  auto expectSharing = [&](const Kind& held) {
    for (const Kind& next : kinds) {
      const bool clash = int(held.share) + int(next.share) >= 2;  // ReadShared 0, DenyWrite 1, Exclusive 2
      TFile file;
      EXPECT_EQ(file.Open(P("f"), next.access, next.share), !clash) << int(held.share) << int(next.share);
      EXPECT_EQ(file.Failure(), clash ? F::SharingViolation : F::None);
    }
  };
  ASSERT_TRUE(AppendToFile(P("f"), "data"));
  for (const Kind& held : kinds) {
    TFile holder;  // opened by another thread: the locks go with the open file
    std::thread([&] { ASSERT_TRUE(holder.Open(P("f"), held.access, held.share)); }).join();
    expectSharing(held);
    holder.Close();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(holder.Open(P("f"), held.access, held.share) && raise(SIGSTOP) == 0 ? 0 : 1);  // till killed
    ASSERT_EQ(waitpid(child, nullptr, WUNTRACED), child);
    expectSharing(held);
    kill(child, SIGKILL);  // a holder that dies leaves no locks behind
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(holder.Open(P("f"), A::ReadWrite, S::Exclusive));
  }
}

TEST_F(FilesTest, OpenTellsWhyItFailedAndAMovedFileKeepsTheReason) {
  ASSERT_TRUE(AppendToFile(P("f"), "abc") && CreateDir(P("dir")));
  const struct { const char* name; A access; C creation; F failure; int64_t size; } cases[] = {
      {"missing", A::Read, C::OpenExisting, F::NotFound, -1}, {"nodir/x", A::Write, C::CreateAlways, F::NotFound, -1},
      {"f", A::Write, C::CreateNew, F::Exists, -1},           {"dir", A::Read, C::OpenExisting, F::Other, -1},
      {"f", A::Write, C::OpenAlways, F::None, 3},             {"g", A::Write, C::OpenAlways, F::None, 0},
      {"f", A::Read, C::CreateAlways, F::None, 0},            {"h", A::Write, C::CreateNew, F::None, 0}};
  for (const auto& c : cases) {
    TFile file, assigned;
    EXPECT_EQ(file.Open(P(c.name), c.access, S::DenyWrite, c.creation), c.failure == F::None) << c.name;
    assigned = TFile(std::move(file));  // moved twice: constructed, then assigned
    EXPECT_EQ(assigned.Failure(), c.failure) << c.name;
    EXPECT_EQ(assigned.Size(), c.size) << c.name;
  }
}

TEST_F(FilesTest, FileServicesFailWithoutHarmingData) {
  for (const char* name : {"new", "longer", "held"}) ASSERT_TRUE(AppendToFile(P(name), name));
  const timespec old[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, P("new").c_str(), old, 0) + utimensat(AT_FDCWD, P("held").c_str(), old, 0), 0);
  TFile holder, other;
  ASSERT_TRUE(holder.Open(P("held"), A::Read, S::ReadShared));
  EXPECT_FALSE(other.Open(P("held"), A::Write, S::Exclusive, C::CreateAlways));
  EXPECT_FALSE(CopyFile(P("new"), P("held")) || CopyFile(P("none"), P("longer")) || CopyFile(P("new"), P("new")));
  double age = 0;  // a copy replaces the target and keeps the last-write time
  EXPECT_TRUE(CopyFile(P("new"), P("longer")) && FileAge(P("longer"), age) && age == UnixTimeToLocal(946684800, 0));
  EXPECT_EQ(Get("new") + Get("longer") + Get("held"), "newnewheld");
  ASSERT_TRUE(CreateDir(P("sub")) && FileExists(P("sub")) && DirectoryExists(P("sub")) && FileExists(P("new")));
  EXPECT_FALSE(CreateDir(P("sub")) || DirectoryExists(P("new")) || DirectoryExists(P("none")) || FileExists("") ||
               FileAge(P("none"), age) || FileAge(P("sub"), age));
  EXPECT_TRUE(RenameFile(P("new"), P("longer")) && Get("longer") == "new" && !FileExists(P("new")));
  EXPECT_FALSE(RenameFile(P("new"), P("x")) || DeleteFile(P("sub")) || DeleteFile(P("none")));
  EXPECT_TRUE(DeleteFile(P("longer")) && !FileExists(P("longer")) && DirectoryExists(P("sub")));
  EXPECT_TRUE(TouchFile(P("held")) && FileAge(P("held"), age) && age > UnixTimeToLocal(946684800, 0) + 1);
}

TEST(FileNames, SplitAtTheLastSlash) {
  const char* cases[][2] = {{"/var/www/forum.ini", "/var/www/|forum.ini|/var/www"}, {"f.ini", "|f.ini|"}, {"", "||"},
                            {"/f.ini", "/|f.ini|/"}, {"/var/www/", "/var/www/||/var/www"}, {"a//b", "a//|b|a//"}};
  for (const auto& c : cases)
    EXPECT_EQ(ExtractFilePath(c[0]) + "|" + ExtractFileName(c[0]) + "|" + ExtractFileDir(c[0]), c[1]) << c[0];
}

TEST_F(FilesTest, FindFilesMatchesOnlyStarAndQuestionMarkInNameOrder) {
  for (const char* name : {"s_2", "s_10", "S_3", "[x].txt", ".hidden"}) ASSERT_TRUE(AppendToFile(P(name), name));
  ASSERT_TRUE(CreateDir(P("s_dir")));
  const struct { const char* mask; int attr; std::string names; } cases[] = {
      {"s_*", 0, "s_10 s_2 "}, {"s_*", faAnyFile, "s_10 s_2 s_dir/ "}, {"s_?", faAnyFile, "s_2 "},
      {"[x].txt", 0, "[x].txt "}, {"*.*", 0, ".hidden S_3 [x].txt s_10 s_2 "}, {"none*", faAnyFile, ""}};
  for (const auto& c : cases) {
    std::string names;
    for (const TSearchRec& r : FindFiles(P(c.mask), c.attr)) names += r.Name + (r.Attr & faDirectory ? "/ " : " ");
    EXPECT_EQ(names, c.names) << c.mask;
  }
  TSearchRec rec;  // 2: nothing found, 3: no such directory
  EXPECT_TRUE(FindFirstFile(P("y*"), faAnyFile, rec) == 2 && FindFirstFile(P("no/x*"), 0, rec) == 3);
  EXPECT_TRUE(FindFirstFile(P("s_*"), 0, rec) == 0 && rec.Name == "s_10" && rec.Size == 4);
}
