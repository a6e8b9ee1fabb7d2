#include "platform/PlatFiles.h"
#include "platform/PlatIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/PlatTime.h"

namespace plat {

namespace {

// Two lock bytes far beyond any data. Byte A: read-locked by ReadShared and
// DenyWrite, write-locked by Exclusive. Byte B: write-locked by DenyWrite
// and Exclusive. Hence ReadShared meets only Exclusive, DenyWrite meets
// DenyWrite and Exclusive, and Exclusive meets everything.
constexpr off_t kLockA = static_cast<off_t>(0x7FFFFFFF00000000LL);
constexpr off_t kLockB = kLockA + 1;

// Open-file-description locks belong to the open file, not the process, so
// two handles in one process exclude each other as on Windows.
bool LockByte(int fd, off_t offset, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  fl.l_pid = 0;
  while (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

TOpenFailure FailureOf(int err) {
  switch (err) {
    case ENOENT: return TOpenFailure::NotFound;
    case EEXIST: return TOpenFailure::Exists;
    default: return TOpenFailure::Other;
  }
}

double StatTime(const struct stat& st) {
  return UnixTimeToLocal(st.st_mtim.tv_sec, static_cast<int>(st.st_mtim.tv_nsec / 1000000));
}

// fnmatch knows more than * and ?; everything else in a name is literal.
std::string EscapeForFnmatch(const std::string& mask) {
  if (mask == "*.*") return "*";  // as on Windows: every name
  std::string out;
  for (char c : mask) {
    if (c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

TFile::~TFile() { Close(); }

TFile::TFile(TFile&& other) noexcept : fd_(other.fd_), failure_(other.failure_) { other.fd_ = -1; }

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    failure_ = other.failure_;
    other.fd_ = -1;
  }
  return *this;
}

bool TFile::Open(const std::string& path, TFileAccess access, TShareKind share, TFileCreation creation,
                 TFileLink link, TFileMode mode) {
  const mode_t perm = mode == TFileMode::OwnerOnly ? 0600 : 0666;
  Close();
  failure_ = TOpenFailure::None;

  // Non-blocking only for the open itself: a FIFO would otherwise wait for
  // a writer before it could be refused.
  int flags = O_CLOEXEC | O_NONBLOCK | (link == TFileLink::NoFollow ? O_NOFOLLOW : 0);
  switch (creation) {
    case TFileCreation::OpenExisting: break;
    case TFileCreation::OpenAlways: flags |= O_CREAT; break;
    case TFileCreation::CreateAlways: flags |= O_CREAT; break;  // truncated once locked
    case TFileCreation::CreateNew: flags |= O_CREAT | O_EXCL; break;
  }
  // A write lock needs a descriptor open for writing, so a reader that must
  // write-lock opens read-write when it may.
  const bool writer = access != TFileAccess::Read || creation == TFileCreation::CreateAlways;
  const bool wantsWriteLock = share != TShareKind::ReadShared;
  bool writable = writer || wantsWriteLock;
  int fd = ::open(path.c_str(), flags | (writable ? O_RDWR : O_RDONLY), perm);
  if (fd < 0 && writable && !writer && (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY)) {
    writable = false;
    fd = ::open(path.c_str(), flags | O_RDONLY, perm);
  }
  if (fd < 0) {
    failure_ = FailureOf(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    failure_ = TOpenFailure::Other;
    return false;
  }

  bool locked = true;
  int lockErr = 0;
  auto lock = [&](off_t offset, short type) {
    if (locked && !LockByte(fd, offset, type)) {
      locked = false;
      lockErr = errno;
    }
  };
  switch (share) {
    case TShareKind::ReadShared:
      lock(kLockA, F_RDLCK);
      break;
    case TShareKind::DenyWrite:
      lock(kLockA, F_RDLCK);
      // Without write access a read lock still keeps out writers that deny.
      lock(kLockB, writable ? F_WRLCK : F_RDLCK);
      break;
    case TShareKind::Exclusive:
      if (writable) {
        lock(kLockA, F_WRLCK);
        lock(kLockB, F_WRLCK);
      } else {
        // Read-only: the read locks still keep out Exclusive and DenyWrite.
        lock(kLockA, F_RDLCK);
        lock(kLockB, F_RDLCK);
      }
      break;
  }
  if (!locked) {
    ::close(fd);
    failure_ = (lockErr == EAGAIN || lockErr == EACCES) ? TOpenFailure::SharingViolation : TOpenFailure::Other;
    return false;
  }
  if (creation == TFileCreation::CreateAlways) {
    while (ftruncate(fd, 0) != 0) {
      if (errno != EINTR) {
        ::close(fd);
        failure_ = TOpenFailure::Other;
        return false;
      }
    }
  }
  fd_ = fd;
  return true;
}

void TFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int TFile::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool TFile::Touch() { return fd_ >= 0 && futimens(fd_, nullptr) == 0; }

long TFile::Read(void* buffer, long count) {
  if (fd_ < 0 || count < 0) return -1;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

long TFile::ReadFully(void* buffer, long count) {
  char* p = static_cast<char*>(buffer);
  long total = 0;
  while (total < count) {
    long n = Read(p + total, count - total);
    if (n <= 0) break;
    total += n;
  }
  return total;
}

bool TFile::Write(const void* buffer, long count) {
  if (fd_ < 0 || count < 0) return false;
  return detail::WriteAll(fd_, buffer, static_cast<size_t>(count));
}

bool TFile::Seek(int64_t offset) {
  return fd_ >= 0 && offset >= 0 && lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool TFile::SeekEnd() { return fd_ >= 0 && lseek(fd_, 0, SEEK_END) >= 0; }

int64_t TFile::Size() const {
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool TFile::Sync() { return fd_ >= 0 && fsync(fd_) == 0; }

bool TFile::Truncate(int64_t size) {
  return fd_ >= 0 && size >= 0 && ftruncate(fd_, static_cast<off_t>(size)) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  TFile file;
  if (!file.Open(path, TFileAccess::Read, TShareKind::ReadShared)) return false;
  const int64_t size = file.Size();
  if (size > 0) contents.reserve(static_cast<size_t>(size));
  char buffer[65536];
  for (;;) {
    long n = file.Read(buffer, sizeof buffer);
    if (n < 0) {
      contents.clear();
      return false;
    }
    if (n == 0) return true;
    contents.append(buffer, static_cast<size_t>(n));
  }
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path, TFileMode mode) {
  return !path.empty() && mkdir(path.c_str(), mode == TFileMode::OwnerOnly ? 0700 : 0777) == 0;
}

bool RegularFileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EntryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool CopyFile(const std::string& from, const std::string& to) {
  TFile source;
  if (!source.Open(from, TFileAccess::Read, TShareKind::ReadShared)) return false;
  TFile target;
  if (!target.Open(to, TFileAccess::Write, TShareKind::Exclusive, TFileCreation::CreateAlways)) return false;
  char buffer[65536];
  bool ok = true;
  for (;;) {
    long n = source.Read(buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || !target.Write(buffer, n)) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    // Leave no half copy that looks like a whole one.
    target.Close();
    ::unlink(to.c_str());
    return false;
  }
  // As on Windows, the copy keeps the source's last-write time.
  struct stat st {};
  if (fstat(source.Handle(), &st) == 0) {
    timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(target.Handle(), times);
  }
  return true;
}

bool DeleteFile(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool LinkFile(const std::string& existing, const std::string& name) {
  DeleteFile(name);
  return ::link(existing.c_str(), name.c_str()) == 0;
}

bool SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool detail::ScanDirectory(const std::string& dir, void (*visit)(void* context, const char* name), void* context) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  while (dirent* entry = readdir(d)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) visit(context, entry->d_name);
  }
  closedir(d);
  return true;
}

bool FileAge(const std::string& path, double& oleDate) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  oleDate = StatTime(st);
  return true;
}

bool TouchFile(const std::string& path) {
  if (utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0) return true;
  if (errno != ENOENT) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileDir(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  // The root (or a doubled separator) keeps its "/".
  if (slash > 0 && path[slash - 1] != '/') return path.substr(0, slash);
  return path.substr(0, slash + 1);
}

namespace {

// Lists the directory of pattern; dirMissing tells whether it exists.
std::vector<TSearchRec> Search(const std::string& pattern, int attrMask, bool& dirMissing) {
  std::vector<TSearchRec> found;
  const std::string dirPart = ExtractFilePath(pattern);
  const std::string dir = dirPart.empty() ? std::string(".") : dirPart;
  const std::string mask = EscapeForFnmatch(ExtractFileName(pattern));
  dirMissing = false;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    dirMissing = true;
    return found;
  }
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
    struct stat st {};
    if (stat((dirPart + name).c_str(), &st) != 0) continue;  // a dangling link
    TSearchRec rec;
    rec.Name = name;
    if (S_ISDIR(st.st_mode)) {
      if (!(attrMask & faDirectory)) continue;
      rec.Attr = faDirectory;
    } else {
      rec.Attr = faArchive;
      rec.Size = static_cast<int64_t>(st.st_size);
    }
    if (!(st.st_mode & S_IWUSR)) rec.Attr |= faReadOnly;
    rec.Time = StatTime(st);
    found.push_back(std::move(rec));
  }
  closedir(d);
  std::sort(found.begin(), found.end(), [](const TSearchRec& a, const TSearchRec& b) { return a.Name < b.Name; });
  return found;
}

}  // namespace

std::vector<TSearchRec> FindFiles(const std::string& pattern, int attrMask) {
  bool dirMissing = false;
  return Search(pattern, attrMask, dirMissing);
}

int FindFirstFile(const std::string& pattern, int attrMask, TSearchRec& rec) {
  bool dirMissing = false;
  std::vector<TSearchRec> found = Search(pattern, attrMask, dirMissing);
  if (dirMissing) return 3;
  if (found.empty()) return 2;
  rec = std::move(found.front());
  return 0;
}

}  // namespace plat
