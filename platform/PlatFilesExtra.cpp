#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/PlatFiles.h"
#include "platform/PlatIo.h"

namespace plat {

bool AppendToFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = detail::WriteAll(fd, text.data(), text.size());
  ::close(fd);
  return ok;
}

bool detail::WriteAll(int fd, const void* buffer, size_t count) {
  const char* p = static_cast<const char*>(buffer);
  while (count > 0) {
    ssize_t n = ::write(fd, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool RemoveDir(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool RemoveTree(const std::string& path) {
  auto remove = [](const char* name, const struct stat*, int, struct FTW*) { return ::remove(name); };
  return ::nftw(path.c_str(), remove, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

bool SetExecutable(const std::string& path) { return ::chmod(path.c_str(), 0755) == 0; }

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace plat
