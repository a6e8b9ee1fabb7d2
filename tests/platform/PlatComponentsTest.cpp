#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/PlatComponents.h"

namespace {

std::vector<std::string> g_log;

// Records its Loaded and destruction in the shared log.
class Probe : public plat::TComponent {
 public:
  Probe(plat::TComponent* owner, std::string name) : TComponent(owner) { SetName(std::move(name)); }
  ~Probe() override { g_log.push_back("free " + Name()); }
  void Loaded() override { g_log.push_back("loaded " + Name()); }
};

// A component whose Loaded creates another component of the same owner.
class Spawner : public Probe {
 public:
  using Probe::Probe;
  void Loaded() override {
    Probe::Loaded();
    new Probe(Owner(), Name() + "'s child");
  }
};

// A component whose Loaded frees a later sibling.
class Remover : public Probe {
 public:
  Remover(plat::TComponent* owner, std::string name, plat::TComponent** victim)
      : Probe(owner, std::move(name)), victim_(victim) {}
  void Loaded() override {
    Probe::Loaded();
    delete *victim_;
    *victim_ = nullptr;
  }

 private:
  plat::TComponent** victim_;
};

TEST(Component, OwnerFreesItsComponentsLastCreatedFirst) {
  g_log.clear();
  {
    Probe root(nullptr, "root");
    auto* a = new Probe(&root, "a");
    new Probe(a, "a1");
    new Probe(&root, "b");
    new Probe(&root, "c");
    EXPECT_EQ(root.Components().size(), 3u);
    EXPECT_EQ(a->Owner(), &root);
    EXPECT_FALSE(a->Designing());
  }
  // Each probe logs in its own destructor, before the base frees its components.
  EXPECT_EQ(g_log, (std::vector<std::string>{"free root", "free c", "free b", "free a", "free a1"}));
}

TEST(Component, FreeingOneRemovesItFromItsOwner) {
  g_log.clear();
  Probe root(nullptr, "root");
  auto* a = new Probe(&root, "a");
  auto* b = new Probe(&root, "b");
  delete a;
  ASSERT_EQ(root.Components().size(), 1u);
  EXPECT_EQ(root.Components()[0], b);

  // Moving a component to another owner takes it off the first one's list.
  Probe other(nullptr, "other");
  other.InsertComponent(b);
  EXPECT_TRUE(root.Components().empty());
  EXPECT_EQ(b->Owner(), &other);
  other.RemoveComponent(b);
  EXPECT_EQ(b->Owner(), nullptr);
  delete b;
  EXPECT_TRUE(other.Components().empty());
}

TEST(Form, LoadsComponentsInCreationOrderOnce) {
  g_log.clear();
  plat::TForm form(nullptr);
  new Probe(&form, "one");
  new Spawner(&form, "two");
  new Probe(&form, "three");
  form.LoadComponents();
  EXPECT_EQ(g_log, (std::vector<std::string>{"loaded one", "loaded two", "loaded three"}));
  EXPECT_EQ(form.Components().size(), 4u);
  EXPECT_EQ(form.Components()[3]->Name(), "two's child");
}

TEST(Form, SkipsComponentsFreedWhileLoading) {
  g_log.clear();
  plat::TForm form(nullptr);
  plat::TComponent* victim = nullptr;
  new Remover(&form, "remover", &victim);
  victim = new Probe(&form, "victim");
  new Probe(&form, "last");
  form.LoadComponents();
  EXPECT_EQ(g_log, (std::vector<std::string>{"loaded remover", "free victim", "loaded last"}));
  EXPECT_EQ(form.Components().size(), 2u);
}

class ProbeForm : public plat::TForm {
 public:
  explicit ProbeForm(plat::TComponent* owner) : TForm(owner) {
    SetName("form" + std::to_string(++count));
    new Probe(this, Name() + ".button");
  }
  ~ProbeForm() override { g_log.push_back("free " + Name()); }
  static int count;
};
int ProbeForm::count = 0;

TEST(Application, CreatesFormsLoadsThemAndFreesThemLastFirst) {
  g_log.clear();
  ProbeForm::count = 0;
  plat::TApplication app;
  app.Initialize();
  auto* first = app.CreateForm<ProbeForm>();
  auto* second = app.CreateForm<ProbeForm>();
  auto* other = new Probe(&app, "not a form");
  EXPECT_EQ(app.MainForm, first);
  EXPECT_NE(second, first);
  EXPECT_EQ(g_log, (std::vector<std::string>{"loaded form1.button", "loaded form2.button"}));
  g_log.clear();
  app.FreeForms();
  EXPECT_EQ(g_log, (std::vector<std::string>{"free form2", "free form2.button", "free form1", "free form1.button"}));
  EXPECT_EQ(app.MainForm, nullptr);
  ASSERT_EQ(app.Components().size(), 1u);
  EXPECT_EQ(app.Components()[0], other);
}

TEST(Application, IsOneObjectPerProcess) { EXPECT_EQ(&plat::Application(), &plat::Application()); }

TEST(ApplicationRun, FiresTimersUntilTerminated) {
  plat::TApplication app;
  int fast = 0, slow = 0;
  app.AddTimer(5, [&] { ++fast; });
  app.AddTimer(40, [&] {
    if (++slow == 2) app.Terminate();
  });
  const auto start = std::chrono::steady_clock::now();
  app.Run();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(slow, 2);
  EXPECT_GE(fast, 8);
  EXPECT_GE(ms, 75);
  EXPECT_LT(ms, 1000);
}

TEST(ApplicationRun, TimersMayRemoveThemselvesAndAddOthers) {
  plat::TApplication app;
  std::vector<std::string> fired;
  int once = 0;
  once = app.AddTimer(1, [&] {
    fired.push_back("once");
    app.RemoveTimer(once);
    app.AddTimer(1, [&] {
      fired.push_back("added");
      app.Terminate();
    });
  });
  app.Run();
  EXPECT_EQ(fired, (std::vector<std::string>{"once", "added"}));
}

TEST(ApplicationRun, ReportsATimerExceptionAndGoesOn) {
  plat::TApplication app;
  std::vector<std::string> reported;
  app.OnException = [&](const std::string& message) { reported.push_back(message); };
  int ticks = 0;
  app.AddTimer(1, [&] {
    if (++ticks == 3) app.Terminate();
    if (ticks == 1) throw std::runtime_error("first tick failed");
    if (ticks == 2) throw 42;
  });
  app.Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(reported, (std::vector<std::string>{"first tick failed", "Unknown exception"}));
}

TEST(ApplicationRun, EndsOnTerminateFromAnotherThreadWithoutTimers) {
  plat::TApplication app;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    app.Terminate();
  });
  app.Run();
  stopper.join();
  EXPECT_TRUE(app.Terminated());
}

TEST(ApplicationRun, EndsOnAQuitSignal) {
  plat::InstallQuitSignals();
  EXPECT_FALSE(plat::QuitSignalPending());
  plat::TApplication app;
  int ticks = 0;
  app.AddTimer(5, [&] {
    if (++ticks == 2) raise(SIGHUP);
  });
  app.Run();
  EXPECT_TRUE(plat::QuitSignalPending());
  EXPECT_EQ(ticks, 2);
  EXPECT_TRUE(app.Terminated());
  for (int sig : {SIGTERM, SIGINT}) {
    plat::InstallQuitSignals();
    EXPECT_FALSE(plat::QuitSignalPending());
    raise(sig);
    EXPECT_TRUE(plat::QuitSignalPending()) << sig;
  }
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
}

}  // namespace
