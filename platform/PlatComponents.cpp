#include "platform/PlatComponents.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <csignal>
#include <exception>

namespace plat {

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  while (!components_.empty()) {
    TComponent* component = components_.back();
    components_.pop_back();
    component->owner_ = nullptr;
    delete component;
  }
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component || component == this || component->owner_ == this) return;
  if (component->owner_) component->owner_->RemoveComponent(component);
  component->owner_ = this;
  components_.push_back(component);
}

void TComponent::RemoveComponent(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it == components_.end()) return;
  components_.erase(it);
  component->owner_ = nullptr;
}

void TForm::LoadComponents() {
  // A Loaded step may create or free components of this form: work on the
  // list as it was, skipping those gone meanwhile.
  const std::vector<TComponent*> snapshot = Components();
  for (TComponent* component : snapshot) {
    const auto& now = Components();
    if (std::find(now.begin(), now.end(), component) == now.end()) continue;
    component->Loaded();
  }
}

void TApplication::FreeForms() {
  for (size_t i = Components().size(); i > 0; --i) {
    if (i > Components().size()) continue;  // a destructor freed others too
    TForm* form = dynamic_cast<TForm*>(Components()[i - 1]);
    if (!form) continue;
    if (form == MainForm) MainForm = nullptr;
    try {
      delete form;
    } catch (...) {
    }
  }
}

namespace {

double MonotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

volatile std::sig_atomic_t g_quitSignal = 0;

extern "C" void OnQuitSignal(int) { g_quitSignal = 1; }

// Longest single pause of the loop, so that Terminate from another thread
// and signals taken by other threads are noticed soon.
constexpr double kMaxPause = 0.05;

}  // namespace

int TApplication::AddTimer(int intervalMs, std::function<void()> onTimer) {
  std::lock_guard<std::mutex> lock(timerMutex_);
  if (intervalMs < 1) intervalMs = 1;
  const int id = nextTimerId_++;
  timers_.push_back(Timer{id, intervalMs, MonotonicSeconds() + intervalMs / 1000.0, std::move(onTimer)});
  return id;
}

void TApplication::RemoveTimer(int id) {
  std::lock_guard<std::mutex> lock(timerMutex_);
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
                timers_.end());
}

void TApplication::SetWakeHandle(int handle, std::function<void()> onReady) {
  wakeHandle_ = handle;
  onWake_ = std::move(onReady);
}

void TApplication::Run() {
  while (!terminated_) {
    if (QuitSignalPending()) {
      terminated_ = true;
      break;
    }
    // Fire what is due; a handler may add or remove timers, so each one is
    // looked up again before it fires.
    std::vector<int> due;
    {
      std::lock_guard<std::mutex> lock(timerMutex_);
      const double now = MonotonicSeconds();
      for (const Timer& t : timers_)
        if (t.due <= now) due.push_back(t.id);
    }
    for (int id : due) {
      if (terminated_) break;
      std::function<void()> handler;
      {
        std::lock_guard<std::mutex> lock(timerMutex_);
        auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
        if (it == timers_.end()) continue;
        it->due = MonotonicSeconds() + it->intervalMs / 1000.0;
        handler = it->onTimer;
      }
      if (!handler) continue;
      try {
        handler();
      } catch (const std::exception& e) {
        if (OnException) OnException(e.what());
      } catch (...) {
        if (OnException) OnException("Unknown exception");
      }
    }
    if (terminated_) break;

    double pause = kMaxPause;
    {
      std::lock_guard<std::mutex> lock(timerMutex_);
      const double now = MonotonicSeconds();
      for (const Timer& t : timers_) pause = std::min(pause, t.due - now);
    }
    if (pause > 0 && wakeHandle_ >= 0) {
      pollfd ready{wakeHandle_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(pause * 1000) + 1) > 0 && onWake_) {
        try {
          onWake_();
        } catch (const std::exception& e) {
          if (OnException) OnException(e.what());
        }
      }
    } else if (pause > 0) {
      timespec ts{static_cast<time_t>(pause), static_cast<long>((pause - static_cast<time_t>(pause)) * 1e9)};
      nanosleep(&ts, nullptr);  // a signal ends the pause early
    }
  }
}

TApplication& Application() {
  static TApplication application;
  return application;
}

void InstallQuitSignals() {
  g_quitSignal = 0;
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

bool QuitSignalPending() { return g_quitSignal != 0; }

}  // namespace plat
