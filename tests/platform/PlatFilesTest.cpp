#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatFiles.h"
#include "platform/PlatTime.h"

namespace {

using plat::TFile;
using plat::TFileAccess;
using plat::TFileCreation;
using plat::TOpenFailure;
using plat::TShareKind;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/platfiles.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void Put(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
  }
  std::string Get(const std::string& name) const {
    std::string contents;
    EXPECT_TRUE(plat::ReadWholeFile(Path(name), contents)) << name;
    return contents;
  }

  std::string dir_;
};

struct Kind {
  const char* name;
  TFileAccess access;
  TShareKind share;
};
const Kind kKinds[] = {
    {"read shared", TFileAccess::Read, TShareKind::ReadShared},
    {"write shared", TFileAccess::ReadWrite, TShareKind::ReadShared},
    {"read deny-write", TFileAccess::Read, TShareKind::DenyWrite},
    {"write deny-write", TFileAccess::Write, TShareKind::DenyWrite},
    {"read exclusive", TFileAccess::Read, TShareKind::Exclusive},
    {"write exclusive", TFileAccess::ReadWrite, TShareKind::Exclusive},
};

// Whether an open of kind b fails while one of kind a is held.
bool Conflicts(TShareKind a, TShareKind b) {
  if (a == TShareKind::Exclusive || b == TShareKind::Exclusive) return true;
  return a == TShareKind::DenyWrite && b == TShareKind::DenyWrite;
}

TEST_F(FilesTest, SharingKindsExcludeEachOtherWithinOneThread) {
  Put("f", "data");
  for (const Kind& held : kKinds) {
    TFile holder;
    ASSERT_TRUE(holder.Open(Path("f"), held.access, held.share)) << held.name;
    for (const Kind& next : kKinds) {
      TFile other;
      const bool opened = other.Open(Path("f"), next.access, next.share);
      EXPECT_EQ(opened, !Conflicts(held.share, next.share)) << held.name << " then " << next.name;
      EXPECT_EQ(other.Failure(), opened ? TOpenFailure::None : TOpenFailure::SharingViolation);
      EXPECT_EQ(other.IsOpen(), opened);
    }
  }
}

TEST_F(FilesTest, SharingKindsExcludeEachOtherAcrossThreads) {
  Put("f", "data");
  for (const Kind& held : kKinds) {
    TFile holder;
    std::thread([&] { ASSERT_TRUE(holder.Open(Path("f"), held.access, held.share)); }).join();
    for (const Kind& next : kKinds) {
      bool opened = false;
      std::thread([&] {
        TFile other;
        opened = other.Open(Path("f"), next.access, next.share);
      }).join();
      EXPECT_EQ(opened, !Conflicts(held.share, next.share)) << held.name << " then " << next.name;
    }
  }
}

// A child process holds one handle until told to go; the parent tries the
// other kinds meanwhile.
TEST_F(FilesTest, SharingKindsExcludeEachOtherAcrossProcesses) {
  Put("f", "data");
  for (const Kind& held : kKinds) {
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(release[1]);
      TFile holder;
      const char ok = holder.Open(Path("f"), held.access, held.share) ? 'y' : 'n';
      (void)!write(ready[1], &ok, 1);
      char c;
      (void)!read(release[0], &c, 1);
      _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y') << held.name;
    for (const Kind& next : kKinds) {
      TFile other;
      EXPECT_EQ(other.Open(Path("f"), next.access, next.share), !Conflicts(held.share, next.share))
          << held.name << " in child, then " << next.name;
    }
    close(release[1]);
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    close(ready[1]);
    close(release[0]);
  }
}

TEST_F(FilesTest, LocksVanishWhenTheHolderDies) {
  Put("f", "data");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TFile holder;
    holder.Open(Path("f"), TFileAccess::ReadWrite, TShareKind::Exclusive);
    (void)!write(ready[1], "y", 1);
    pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  TFile other;
  EXPECT_FALSE(other.Open(Path("f"), TFileAccess::Read, TShareKind::ReadShared));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(other.Open(Path("f"), TFileAccess::Read, TShareKind::ReadShared));
  close(ready[0]);
  close(ready[1]);
}

TEST_F(FilesTest, ClosingReleasesTheLocks) {
  Put("f", "x");
  TFile a, b;
  ASSERT_TRUE(a.Open(Path("f"), TFileAccess::ReadWrite, TShareKind::Exclusive));
  EXPECT_FALSE(b.Open(Path("f"), TFileAccess::Read, TShareKind::ReadShared));
  a.Close();
  EXPECT_TRUE(b.Open(Path("f"), TFileAccess::Read, TShareKind::ReadShared));
  // A moved handle keeps its locks; the moved-from one holds nothing.
  TFile c(std::move(b));
  EXPECT_FALSE(b.IsOpen());
  EXPECT_TRUE(c.IsOpen());
  EXPECT_FALSE(a.Open(Path("f"), TFileAccess::ReadWrite, TShareKind::Exclusive));
  c = TFile();
  EXPECT_TRUE(a.Open(Path("f"), TFileAccess::ReadWrite, TShareKind::Exclusive));
}

TEST_F(FilesTest, CreationModesReportWhyTheyFail) {
  TFile f;
  EXPECT_FALSE(f.Open(Path("missing"), TFileAccess::Read, TShareKind::ReadShared));
  EXPECT_EQ(f.Failure(), TOpenFailure::NotFound);
  EXPECT_FALSE(plat::FileExists(Path("missing")));

  ASSERT_TRUE(f.Open(Path("new"), TFileAccess::Write, TShareKind::Exclusive, TFileCreation::CreateNew));
  ASSERT_TRUE(f.Write("abc"));
  f.Close();
  EXPECT_FALSE(f.Open(Path("new"), TFileAccess::Write, TShareKind::Exclusive, TFileCreation::CreateNew));
  EXPECT_EQ(f.Failure(), TOpenFailure::Exists);
  EXPECT_EQ(Get("new"), "abc");

  ASSERT_TRUE(f.Open(Path("new"), TFileAccess::Write, TShareKind::DenyWrite, TFileCreation::OpenAlways));
  EXPECT_EQ(f.Size(), 3);
  f.Close();
  ASSERT_TRUE(f.Open(Path("other"), TFileAccess::Write, TShareKind::DenyWrite, TFileCreation::OpenAlways));
  EXPECT_EQ(f.Size(), 0);
  ASSERT_TRUE(f.Open(Path("new"), TFileAccess::Write, TShareKind::DenyWrite, TFileCreation::CreateAlways));
  EXPECT_EQ(f.Size(), 0);
  f.Close();

  EXPECT_FALSE(f.Open(dir_, TFileAccess::Read, TShareKind::ReadShared));
  EXPECT_EQ(f.Failure(), TOpenFailure::Other);
  EXPECT_FALSE(f.Open(Path("nodir/x"), TFileAccess::Write, TShareKind::DenyWrite, TFileCreation::CreateAlways));
  EXPECT_EQ(f.Failure(), TOpenFailure::NotFound);
}

TEST_F(FilesTest, CreateAlwaysLeavesAFileHeldByOthersIntact) {
  Put("f", "precious");
  TFile holder;
  ASSERT_TRUE(holder.Open(Path("f"), TFileAccess::ReadWrite, TShareKind::Exclusive));
  TFile other;
  EXPECT_FALSE(other.Open(Path("f"), TFileAccess::Write, TShareKind::DenyWrite, TFileCreation::CreateAlways));
  EXPECT_EQ(other.Failure(), TOpenFailure::SharingViolation);
  holder.Close();
  EXPECT_EQ(Get("f"), "precious");
}

TEST_F(FilesTest, NewFilesGetMode0666LessUmask) {
  const mode_t old = umask(022);
  TFile f;
  ASSERT_TRUE(f.Open(Path("m"), TFileAccess::Write, TShareKind::DenyWrite, TFileCreation::CreateNew));
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat(Path("m").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FilesTest, ReadsWritesAndSeeksWithoutTouchingTheLockBytes) {
  TFile f;
  ASSERT_TRUE(f.Open(Path("d"), TFileAccess::ReadWrite, TShareKind::Exclusive, TFileCreation::CreateNew));
  const std::string big(200000, '\xAB');
  ASSERT_TRUE(f.Write(big));
  ASSERT_TRUE(f.Write(std::string("\0tail", 5)));
  EXPECT_EQ(f.Size(), 200005);
  ASSERT_TRUE(f.Seek(199999));
  char buf[16] = {};
  EXPECT_EQ(f.ReadFully(buf, 16), 6);
  EXPECT_EQ(std::string(buf, 6), std::string("\xAB\0tail", 6));
  EXPECT_EQ(f.Read(buf, 16), 0);
  ASSERT_TRUE(f.Seek(0));
  ASSERT_TRUE(f.Write("xy"));
  ASSERT_TRUE(f.SeekEnd());
  ASSERT_TRUE(f.Write("!"));
  EXPECT_TRUE(f.Sync());
  f.Close();
  std::string contents;
  ASSERT_TRUE(plat::ReadWholeFile(Path("d"), contents));
  EXPECT_EQ(contents.size(), 200006u);
  EXPECT_EQ(contents.substr(0, 3), "xy\xAB");
  EXPECT_EQ(contents.substr(200000), std::string("\0tail!", 6));
  EXPECT_EQ(f.Read(buf, 1), -1);
  EXPECT_FALSE(f.Write("x"));
}

TEST_F(FilesTest, ReadWholeFileSharesWithWritersButNotWithExclusive) {
  Put("f", std::string("a\0b\r\n", 5));
  std::string contents;
  TFile writer;
  ASSERT_TRUE(writer.Open(Path("f"), TFileAccess::Write, TShareKind::DenyWrite));
  ASSERT_TRUE(plat::ReadWholeFile(Path("f"), contents));
  EXPECT_EQ(contents, std::string("a\0b\r\n", 5));
  writer.Close();
  ASSERT_TRUE(writer.Open(Path("f"), TFileAccess::ReadWrite, TShareKind::Exclusive));
  EXPECT_FALSE(plat::ReadWholeFile(Path("f"), contents));
  EXPECT_FALSE(plat::ReadWholeFile(Path("none"), contents));
}

TEST_F(FilesTest, CopyFileReplacesTheTargetAndKeepsTheTime) {
  Put("src", "new contents");
  Put("dst", "old and longer contents");
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("src").c_str(), times, 0), 0);
  ASSERT_TRUE(plat::CopyFile(Path("src"), Path("dst")));
  EXPECT_EQ(Get("dst"), "new contents");
  EXPECT_EQ(Get("src"), "new contents");
  double srcAge = 0, dstAge = 0;
  ASSERT_TRUE(plat::FileAge(Path("src"), srcAge));
  ASSERT_TRUE(plat::FileAge(Path("dst"), dstAge));
  EXPECT_DOUBLE_EQ(srcAge, dstAge);

  EXPECT_FALSE(plat::CopyFile(Path("none"), Path("dst")));
  EXPECT_EQ(Get("dst"), "new contents");
  TFile holder;
  ASSERT_TRUE(holder.Open(Path("dst"), TFileAccess::Read, TShareKind::ReadShared));
  EXPECT_FALSE(plat::CopyFile(Path("src"), Path("dst")));
  EXPECT_FALSE(plat::CopyFile(Path("src"), Path("src")));
  EXPECT_EQ(Get("src"), "new contents");
}

TEST_F(FilesTest, RenameDeleteAndExistence) {
  Put("a", "1");
  Put("b", "2");
  ASSERT_TRUE(plat::CreateDir(Path("sub")));
  EXPECT_FALSE(plat::CreateDir(Path("sub")));
  EXPECT_TRUE(plat::FileExists(Path("sub")));
  EXPECT_TRUE(plat::DirectoryExists(Path("sub")));
  EXPECT_TRUE(plat::FileExists(Path("a")));
  EXPECT_FALSE(plat::DirectoryExists(Path("a")));
  EXPECT_FALSE(plat::FileExists(""));

  ASSERT_TRUE(plat::RenameFile(Path("a"), Path("b")));
  EXPECT_FALSE(plat::FileExists(Path("a")));
  EXPECT_EQ(Get("b"), "1");
  EXPECT_FALSE(plat::RenameFile(Path("a"), Path("c")));

  EXPECT_TRUE(plat::DeleteFile(Path("b")));
  EXPECT_FALSE(plat::DeleteFile(Path("b")));
  EXPECT_FALSE(plat::DeleteFile(Path("sub")));
  EXPECT_TRUE(plat::DirectoryExists(Path("sub")));
}

TEST_F(FilesTest, FileAgeAndTouchFile) {
  double age = 0;
  EXPECT_FALSE(plat::FileAge(Path("t"), age));
  ASSERT_TRUE(plat::TouchFile(Path("t")));
  ASSERT_TRUE(plat::FileAge(Path("t"), age));
  EXPECT_NEAR(age, plat::Now(), 5.0 / 86400.0);

  Put("old", "keep");
  struct timespec times[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("old").c_str(), times, 0), 0);
  ASSERT_TRUE(plat::FileAge(Path("old"), age));
  EXPECT_DOUBLE_EQ(age, plat::UnixTimeToLocal(946684800, 0));
  ASSERT_TRUE(plat::TouchFile(Path("old")));
  ASSERT_TRUE(plat::FileAge(Path("old"), age));
  EXPECT_NEAR(age, plat::Now(), 5.0 / 86400.0);
  EXPECT_EQ(Get("old"), "keep");
  EXPECT_FALSE(plat::FileAge(dir_, age));
}

TEST(FileNames, SplitAtTheLastSlash) {
  struct Case {
    const char* path;
    const char* filePath;
    const char* name;
    const char* dir;
  };
  const Case cases[] = {
      {"/var/www/forum.ini", "/var/www/", "forum.ini", "/var/www"},
      {"forum.ini", "", "forum.ini", ""},
      {"/forum.ini", "/", "forum.ini", "/"},
      {"/var/www/", "/var/www/", "", "/var/www"},
      {"a//b", "a//", "b", "a//"},  // a doubled separator stays whole
      {"", "", "", ""},
      {"rel/dir/x.y.z", "rel/dir/", "x.y.z", "rel/dir"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plat::ExtractFilePath(c.path), c.filePath) << c.path;
    EXPECT_EQ(plat::ExtractFileName(c.path), c.name) << c.path;
    EXPECT_EQ(plat::ExtractFileDir(c.path), c.dir) << c.path;
  }
}

std::vector<std::string> Names(const std::vector<plat::TSearchRec>& recs) {
  std::vector<std::string> names;
  for (const auto& r : recs) names.push_back(r.Name);
  return names;
}

TEST_F(FilesTest, FindFilesMatchesWildcardsInNameOrder) {
  for (const char* n : {"srv_C_2_REQ", "srv_C_10_REQ", "srv_S", "srv_c_3_req", "readme", "a.txt", "b.TXT",
                        "[x].txt", ".hidden"})
    Put(n, "12345");
  ASSERT_TRUE(plat::CreateDir(Path("srv_C_dir")));
  struct Case {
    const char* mask;
    int attr;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"srv_C_*", plat::faAnyFile & ~plat::faDirectory, {"srv_C_10_REQ", "srv_C_2_REQ"}},
      {"srv_C_*", plat::faAnyFile, {"srv_C_10_REQ", "srv_C_2_REQ", "srv_C_dir"}},
      {"srv_C_?_REQ", 0, {"srv_C_2_REQ"}},
      {"*.txt", 0, {"[x].txt", "a.txt"}},
      {"[x].txt", 0, {"[x].txt"}},
      {"*.*", 0, {".hidden", "[x].txt", "a.txt", "b.TXT", "readme", "srv_C_10_REQ", "srv_C_2_REQ", "srv_S",
                  "srv_c_3_req"}},
      {"readme", 0, {"readme"}},
      {"nothing*", plat::faAnyFile, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Names(plat::FindFiles(Path(c.mask), c.attr)), c.names) << c.mask;
  }
  const auto recs = plat::FindFiles(Path("srv_*"), plat::faAnyFile);
  ASSERT_EQ(recs.size(), 5u);
  EXPECT_EQ(recs[0].Size, 5);
  EXPECT_EQ(recs[0].Attr & plat::faDirectory, 0);
  EXPECT_EQ(recs[2].Name, "srv_C_dir");
  EXPECT_NE(recs[2].Attr & plat::faDirectory, 0);
  EXPECT_NEAR(recs[0].Time, plat::Now(), 5.0 / 86400.0);
}

TEST_F(FilesTest, FindFirstFileTellsNotFoundFromNoDirectory) {
  Put("x1", "");
  Put("x0", "");
  plat::TSearchRec rec;
  EXPECT_EQ(plat::FindFirstFile(Path("x*"), 0, rec), 0);
  EXPECT_EQ(rec.Name, "x0");
  EXPECT_EQ(plat::FindFirstFile(Path("y*"), plat::faAnyFile, rec), 2);
  EXPECT_EQ(plat::FindFirstFile(Path("nodir/x*"), plat::faAnyFile, rec), 3);
  EXPECT_EQ(plat::FindFirstFile(Path("x0/x*"), plat::faAnyFile, rec), 3);
}

}  // namespace
