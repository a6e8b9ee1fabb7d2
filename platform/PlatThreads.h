// Critical sections and pauses.
#pragma once
#include <mutex>

namespace plat {

// Re-entrant on the same thread, as a Windows critical section.
class TCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

void SleepMs(int milliseconds);

}  // namespace plat
