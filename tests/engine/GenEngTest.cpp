// The engine component: which engines it creates for each way the program
// can be started, and forwarding to the calling thread's engine.
#include <gtest/gtest.h>

#include "engine/GenEng.h"
#include "platform/PlatProcess.h"
#include "tests/support/FakeEngine.h"

namespace {

struct Created {
  TEngineKind kind;
  bool interactive;
};
std::vector<Created> created;

// Stands for a concrete engine: the standard CGI engine makes itself the
// thread's engine when the environment is a CGI request, as the real one does.
template <TEngineKind Kind>
THttpEngine* Factory(const TEngineConfig& config) {
  created.push_back({Kind, config.Interactive});
  auto* engine = new FakeEngine(config.Owner);
  engine->NoCache = config.NoCache;
  engine->AutoReadLimit = config.AutoReadLimit;
  if (Kind == TEngineKind::CgiStd && !config.Interactive) SetCurrentEngine(engine);
  if (Kind == TEngineKind::CgiWin) SetCurrentEngine(engine);
  return engine;
}

struct EngineChoice : ::testing::Test {
  void SetUp() override {
    RegisterEngineFactory(TEngineKind::CgiStd, Factory<TEngineKind::CgiStd>);
    RegisterEngineFactory(TEngineKind::CgiWin, Factory<TEngineKind::CgiWin>);
    RegisterEngineFactory(TEngineKind::Isapi, Factory<TEngineKind::Isapi>);
    RegisterEngineFactory(TEngineKind::Nsapi, Factory<TEngineKind::Nsapi>);
    created.clear();
    SetCurrentEngine(nullptr);
    plat::UnsetEnv("SERVER_SOFTWARE");
    plat::UnsetEnv("CGI_VERSION");
    plat::SetCommandLine({"program"});
    plat::SetRunsAsLibrary(false);
  }
  void TearDown() override {
    SetCurrentEngine(nullptr);
    plat::SetRunsAsLibrary(false);
    plat::UnsetEnv("SERVER_SOFTWARE");
    plat::UnsetEnv("CGI_VERSION");
  }
  std::vector<Created> Load() {
    plat::TForm form(nullptr);
    auto* component = new TGeneralHttpEngine(&form);
    component->SetAutoReadLimit(1234);
    form.LoadComponents();
    EXPECT_TRUE(form.Minimized);
    EXPECT_TRUE(form.Hidden);
    EXPECT_FALSE(plat::Application().ShowMainForm);
    // The engines belong to the window, not to the component.
    for (const Created& c : created) {
      THttpEngine* engine = component->Engine(c.kind);
      EXPECT_NE(engine, nullptr);
      if (engine) {
        EXPECT_EQ(engine->Owner(), &form);
        EXPECT_EQ(engine->AutoReadLimit, 1234);
      }
    }
    SetCurrentEngine(nullptr);
    return created;
  }
};

std::string Kinds(const std::vector<Created>& list) {
  std::string text;
  for (const Created& c : list) text += std::string(EngineKindName(c.kind)) + (c.interactive ? "(interactive)" : "") + ";";
  return text;
}

}  // namespace

TEST_F(EngineChoice, FollowsTheEnvironmentAndCommandLine) {
  struct Case {
    const char* software;
    const char* cgiVersion;
    std::vector<std::string> params;
    std::string expected;
  } cases[] = {
      {"Apache/2.4", "CGI/1.1", {}, "standard CGI engine;"},
      {"Apache/2.4", nullptr, {"x"}, "standard CGI engine;"},
      {"Apache/2.4", "CGI/1.3a (win)", {}, "Windows CGI engine;"},
      {"Apache/2.4", "WINCGI", {}, "Windows CGI engine;"},
      {nullptr, nullptr, {"C:/temp/profile.ini"}, "Windows CGI engine;"},
      {"OmniZBServer", nullptr, {"profile.ini"}, "Windows CGI engine;"},
      {nullptr, nullptr, {}, "standard CGI engine(interactive);Windows CGI engine(interactive);"},
      {"ZB", nullptr, {}, "standard CGI engine(interactive);Windows CGI engine(interactive);"},
  };
  for (const Case& c : cases) {
    SetUp();
    if (c.software) plat::SetEnv("SERVER_SOFTWARE", c.software);
    if (c.cgiVersion) plat::SetEnv("CGI_VERSION", c.cgiVersion);
    std::vector<std::string> args{"program"};
    args.insert(args.end(), c.params.begin(), c.params.end());
    plat::SetCommandLine(args);
    EXPECT_EQ(Kinds(Load()), c.expected) << (c.software ? c.software : "-") << " / " << (c.cgiVersion ? c.cgiVersion : "-");
  }
}

TEST_F(EngineChoice, LoadedLibraryCreatesBothPluginEngines) {
  plat::SetRunsAsLibrary(true);
  plat::SetEnv("SERVER_SOFTWARE", "Apache");
  EXPECT_EQ(Kinds(Load()), "NSAPI engine;ISAPI engine;");
}

TEST_F(EngineChoice, AMissingEngineIsLoggedAndEndsTheProgramWithStatusOne) {
  RegisterEngineFactory(TEngineKind::CgiWin, nullptr);
  plat::SetCommandLine({"program", "profile.ini"});
  const std::string logDir = "/tmp/parlino-genengtest-" + std::to_string(plat::ProcessId());
  plat::SetEnv("CGI_LOG_DIR", logDir);
  plat::CreateDir(logDir);
  EXPECT_EXIT(Load(), ::testing::ExitedWithCode(1), "");
  std::string log;
  plat::ReadWholeFile(logDir + "/test_GenEngTest.Log", log);
  EXPECT_NE(log.find("Windows CGI engine is not available"), std::string::npos) << log;
  plat::UnsetEnv("CGI_LOG_DIR");
  plat::RemoveTree(logDir);
}

TEST(EngineComponent, ForwardsToTheCallingThreadsEngine) {
  InitHttpEngine();
  FakeEngine engine;
  engine.Variables["QUERY_STRING"] = NotAvailable;
  engine.Variables["SERVER_NAME"] = "example";
  engine.FieldData = "a=1&b=2";
  TGeneralHttpEngine component(nullptr);
  FakeRequestScope scope(engine);
  EXPECT_EQ(component.GetQueryString(), "");
  EXPECT_EQ(component.GetServerName(), "example");
  std::string value;
  component.GetField("B", "none", value);
  EXPECT_EQ(value, "2");
  EXPECT_EQ(component.GetFieldNames(), (std::vector<std::string>{"a", "b"}));

  // Setters change the stored value and the serving engine's property.
  component.SetNoCache(true);
  component.SetAutoContentType("text/plain");
  EXPECT_TRUE(component.NoCache());
  EXPECT_TRUE(engine.NoCache);
  EXPECT_EQ(engine.AutoContentType, "text/plain");
  component.Write("x");
  EXPECT_EQ(engine.Output, "x");
}

TEST(EngineComponent, HasItsDefaults) {
  TGeneralHttpEngine component(nullptr);
  EXPECT_TRUE(component.AutoHttpHeader());
  EXPECT_EQ(component.AutoContentType(), "text/html");
  EXPECT_TRUE(component.AutoReadInput());
  EXPECT_EQ(component.AutoReadLimit(), 10000);
  EXPECT_FALSE(component.BufferedOutput());
  EXPECT_EQ(component.SessionName(), "DefaultSession");
  EXPECT_FALSE(component.NoCache());
  EXPECT_TRUE(component.CgiAutoTerminate);
  EXPECT_EQ(component.CGIMode, TCGIMode::NormalMode);
}
