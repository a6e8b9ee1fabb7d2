#include "platform/PlatWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/PlatThreads.h"

namespace plat {

TFileWatch::~TFileWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool TFileWatch::Watch(const std::string& path) {
  if (fd_ < 0) fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return false;
  // Contents only: the touches that keep a queue alive change no byte, and
  // waking on them would make every scan wake the scanner again.
  if (inotify_add_watch(fd_, path.c_str(), IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW) >= 0)
    return true;
  ::close(fd_);
  fd_ = -1;
  return false;
}

bool TFileWatch::Wait(int timeoutMs) {
  if (fd_ < 0) {
    SleepMs(timeoutMs);
    return false;
  }
  pollfd ready{fd_, POLLIN, 0};
  const bool changed = poll(&ready, 1, timeoutMs) > 0;
  Drain();
  return changed;
}

void TFileWatch::Drain() {
  alignas(inotify_event) char events[4096];
  while (fd_ >= 0 && ::read(fd_, events, sizeof events) > 0) {
  }
}

}  // namespace plat
