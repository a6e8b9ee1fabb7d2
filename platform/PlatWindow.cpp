#include "platform/PlatWindow.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

namespace {

// Only a regular file counts: a FIFO planted under the name must not block
// the open, a link must not lead elsewhere.
int OpenWindowFile(const std::string& file, int flags) {
  int fd = ::open(file.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool Lock(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

bool TWindow::Create(const std::string& file) {
  Destroy();
  int fd = OpenWindowFile(file, O_RDWR | O_CREAT);
  if (fd < 0) return false;
  // Clients that look for the window hold it shared for a moment.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (Lock(fd, LOCK_EX)) {
      fd_ = fd;
      file_ = file;
      return true;
    }
    usleep(10000);
  }
  ::close(fd);
  return false;
}

void TWindow::Destroy(bool deleteFile) {
  if (fd_ < 0) return;
  if (deleteFile) ::unlink(file_.c_str());
  ::close(fd_);
  fd_ = -1;
}

bool WindowExists(const std::string& file) {
  int fd = OpenWindowFile(file, O_RDONLY);
  if (fd < 0) return false;
  const bool refused = !Lock(fd, LOCK_SH);
  ::close(fd);
  return refused;
}

}  // namespace plat
