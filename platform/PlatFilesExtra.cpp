#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/PlatFiles.h"

namespace plat {

bool AppendToFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const char* data = text.data();
  size_t left = text.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
  return ok;
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
