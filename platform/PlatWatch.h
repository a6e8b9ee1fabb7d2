// Wake-ups instead of polling: a watch on one file tells when its contents
// change or the file goes (inotify). Where it cannot be had, Wait simply
// pauses, so callers keep their polling as the fallback.
#pragma once
#include <string>

namespace plat {

class TFileWatch {
 public:
  TFileWatch() = default;
  ~TFileWatch();
  TFileWatch(const TFileWatch&) = delete;
  TFileWatch& operator=(const TFileWatch&) = delete;
  // False when the file cannot be watched.
  bool Watch(const std::string& path);
  bool Active() const { return fd_ >= 0; }
  // Readable while changes are pending; -1 without a watch.
  int Handle() const { return fd_; }
  // Waits up to timeoutMs; true when a change came. Consumes what is pending.
  bool Wait(int timeoutMs);
  void Drain();

 private:
  int fd_ = -1;
};

}  // namespace plat
