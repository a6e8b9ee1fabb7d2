// The engine component: which engines it creates for each way the program
// can be started, and forwarding to the calling thread's engine.
#include <gtest/gtest.h>

#include "engine/GenEng.h"
#include "platform/PlatProcess.h"
#include "tests/support/FakeEngine.h"

namespace {

std::string created;  // the engines made, in order

// Stands for a concrete engine: like the real ones, the engine that serves a
// CGI request makes itself the thread's engine.
template <TEngineKind Kind>
THttpEngine* Factory(const TEngineConfig& config) {
  created += std::string(EngineKindName(Kind)) + (config.Interactive ? "(interactive)" : "") + ";";
  auto* engine = new FakeEngine(config.Owner);
  if (Kind == TEngineKind::CgiWin || (Kind == TEngineKind::CgiStd && !config.Interactive)) SetCurrentEngine(engine);
  return engine;
}

}  // namespace

TEST(EngineChoice, FollowsTheStart) {
  RegisterEngineFactory(TEngineKind::CgiStd, Factory<TEngineKind::CgiStd>);
  RegisterEngineFactory(TEngineKind::CgiWin, Factory<TEngineKind::CgiWin>);
  RegisterEngineFactory(TEngineKind::Isapi, Factory<TEngineKind::Isapi>);
  RegisterEngineFactory(TEngineKind::Nsapi, Factory<TEngineKind::Nsapi>);
  const std::tuple<bool, const char*, const char*, const char*, std::string> cases[] = {
      {true, "Apache", nullptr, nullptr, "NSAPI engine;ISAPI engine;"},
      {false, "Apache/2.4", "CGI/1.1", nullptr, "standard CGI engine;"},
      {false, "Apache/2.4", nullptr, "x", "standard CGI engine;"},
      {false, "Apache/2.4", "CGI/1.3a (win)", nullptr, "Windows CGI engine;"},
      {false, "Apache/2.4", "WINCGI", nullptr, "Windows CGI engine;"},
      {false, nullptr, nullptr, "C:/temp/profile.ini", "Windows CGI engine;"},
      {false, "OmniZBServer", nullptr, "profile.ini", "Windows CGI engine;"},
      {false, nullptr, nullptr, nullptr, "standard CGI engine(interactive);Windows CGI engine(interactive);"},
      {false, "ZB", nullptr, nullptr, "standard CGI engine(interactive);Windows CGI engine(interactive);"},
  };
  for (const auto& [library, software, cgiVersion, param, expected] : cases) {
    created.clear();
    plat::SetRunsAsLibrary(library);
    software ? plat::SetEnv("SERVER_SOFTWARE", software) : plat::UnsetEnv("SERVER_SOFTWARE");
    cgiVersion ? plat::SetEnv("CGI_VERSION", cgiVersion) : plat::UnsetEnv("CGI_VERSION");
    plat::SetCommandLine(param ? std::vector<std::string>{"program", param} : std::vector<std::string>{"program"});
    plat::TForm form(nullptr);
    auto* component = new TGeneralHttpEngine(&form);
    form.LoadComponents();
    EXPECT_EQ(created, expected) << (software ? software : "-") << " " << (param ? param : "-");
    EXPECT_TRUE(form.Minimized && form.Hidden && !plat::Application().ShowMainForm);
    // The engines belong to the window, not to the component.
    for (TEngineKind kind : {TEngineKind::CgiStd, TEngineKind::CgiWin, TEngineKind::Isapi, TEngineKind::Nsapi})
      EXPECT_TRUE(!component->Engine(kind) || component->Engine(kind)->Owner() == &form);
    SetCurrentEngine(nullptr);
  }
}

TEST(EngineComponent, ForwardsToTheCallingThreadsEngine) {
  FakeEngine engine;
  engine.Variables["QUERY_STRING"] = NotAvailable;
  TGeneralHttpEngine component(nullptr);
  EXPECT_EQ(component.SessionName(), "DefaultSession");
  FakeRequestScope scope(engine);
  EXPECT_EQ(component.GetQueryString(), "");
  // A setter changes the serving engine too.
  component.SetNoCache(true);
  component.SetAutoContentType("text/plain");
  EXPECT_TRUE(component.NoCache() && engine.NoCache);
  EXPECT_EQ(engine.AutoContentType, "text/plain");
  component.Write("x");
  EXPECT_EQ(engine.Output, "x");
}
