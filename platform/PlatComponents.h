// The minimal component model standing in for the GUI toolkit: components
// with an owner and a name, forms holding components, and the application
// object with its main-thread loop. There is no window system.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

namespace plat {

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  // Destroys the owned components, last created first.
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name) { name_ = name; }
  // Called once the owner and all its components have been created and
  // their properties set.
  virtual void Loaded() {}
  // Never designing at run time.
  bool Designing() const { return false; }

  const std::vector<TComponent*>& Components() const { return components_; }
  // Takes ownership of a component created without owner.
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

 private:
  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
};

class TForm : public TComponent {
 public:
  explicit TForm(TComponent* owner) : TComponent(owner) {}
  std::string Caption;
  bool Minimized = false;
  bool Hidden = false;
  // The form loader's last step: Loaded on each component, in creation order.
  void LoadComponents();
};

class TApplication : public TComponent {
 public:
  TApplication() : TComponent(nullptr) {}
  std::string Title;
  bool ShowMainForm = true;
  TForm* MainForm = nullptr;

  void Initialize() {}
  // Creates a form owned by the application (the first becomes the main
  // form), then loads its components. A request served while loading may
  // end the process.
  template <class T>
  T* CreateForm() {
    T* form = new T(this);
    if (!MainForm) MainForm = form;
    form->LoadComponents();
    return form;
  }
  // Frees every form, last to first; an exception while freeing one is
  // ignored and the next is freed.
  void FreeForms();

  // The main-thread loop: due timers fire, then it sleeps until the next
  // one. Ends when Terminate is called or a quit signal (SIGTERM, SIGINT,
  // SIGHUP) arrives.
  // An exception escaping a timer handler does not end the loop: it goes to
  // OnException (when set) with its message, as the runtime's default
  // handler would show it, and the loop goes on.
  void Run();
  std::function<void(const std::string& message)> OnException;
  // May be called from any thread.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // A main-thread timer; returns its id. An interval below 1 ms counts as
  // 1 ms. After firing, a timer is next due one interval later.
  int AddTimer(int intervalMs, std::function<void()> onTimer);
  void RemoveTimer(int id);
  // The loop's pauses also end when handle becomes readable; onReady then
  // runs on the main thread. A handle of -1 removes it.
  void SetWakeHandle(int handle, std::function<void()> onReady);

 private:
  struct Timer {
    int id;
    int intervalMs;
    double due;  // monotonic seconds
    std::function<void()> onTimer;
  };
  std::vector<Timer> timers_;
  int nextTimerId_ = 1;
  int wakeHandle_ = -1;
  std::function<void()> onWake_;
  std::mutex timerMutex_;
  std::atomic<bool> terminated_{false};
};

// The process's one application object.
TApplication& Application();

// True once a quit or close signal (SIGTERM, SIGINT, SIGHUP) arrived since
// InstallQuitSignals.
void InstallQuitSignals();
bool QuitSignalPending();

}  // namespace plat
