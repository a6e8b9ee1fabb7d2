// The start decision, the engine component's creation of engines, and its
// setters reaching the calling thread's engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/GenEng.h"
#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "tests/support/FakeEngine.h"

// What a process does at start, from what it is told.
TEST(StartPlan, FollowsTheStartTable) {
  using K = TEngineKind;
  const struct { const char* name; TStartFacts facts; std::vector<K> engines; bool resident, stdActive, stdStreams; } cases[] = {
      {"loaded by a server", {"Apache", "", {}, true}, {K::Nsapi, K::Isapi}, false, false, false},
      {"standard CGI", {"Apache/2.4", "CGI/1.1", {}, false}, {K::CgiStd}, false, true, true},
      {"Windows CGI", {"WebSite", "CGI/1.3a (Win95)", {}, false}, {K::CgiWin}, false, false, false},
      {"win in lower case", {"httpd", "cgi/win", {}, false}, {K::CgiWin}, false, false, false},
      {"profile named on the command line", {"", "", {"/tmp/req.ini"}, false}, {K::CgiWin}, false, false, false},
      {"by hand: the resident server", {"", "", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"ZB counts as no server", {"ZB server", "CGI/1.1", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"START_SERVER without server", {"", "", {"START_SERVER"}, false}, {K::CgiStd}, true, true, false},
      {"START_SERVER under a server", {"Apache", "CGI/1.1", {"START_SERVER"}, false}, {K::CgiStd}, true, true, false},
      {"START_SERVER is case-sensitive", {"", "", {"start_server"}, false}, {K::CgiWin}, false, false, false},
      {"listening socket as input", {"", "", {}, false, true}, {K::FastCgi}, false, false, false},
      {"socket under a CGI environment", {"Apache", "CGI/1.1", {}, false, true}, {K::FastCgi}, false, false, false},
      {"--fastcgi is no profile", {"", "", {"--threads", "2", "--fastcgi", ":9000"}, false}, {K::FastCgi}, false, false, false},
      {"--threads alone is a profile", {"", "", {"--threads"}, false}, {K::CgiWin}, false, false, false},
      {"a library never", {"", "", {"--fastcgi", ":9000"}, true, true}, {K::Nsapi, K::Isapi}, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TStartPlan plan = PlanStart(c.facts);
    EXPECT_EQ(std::tie(plan.Engines, plan.ResidentServer, plan.StdActive, plan.StdStreams),
              std::tie(c.engines, c.resident, c.stdActive, c.stdStreams));
  }
}

// Where a FastCGI start listens, with how many workers; what it cannot use.
TEST(StartPlan, ReadsTheFastCgiParameters) {
  const struct { std::vector<std::string> params; std::string address; int threads; } cases[] = {
      {{}, "", 0}, {{"--threads", "1024", "--fastcgi", ":90"}, ":90", 1024}, {{"--fastcgi"}, "", -1},
      {{"--threads", "0"}, "", -1}, {{"--threads", "1025"}, "", -1}, {{"--fastcgi", ":1", "extra"}, ":1", -1}};
  for (const auto& c : cases) {
    const TStartPlan plan = PlanStart({"", "", c.params, false, true});
    EXPECT_EQ(std::tie(plan.FastCgiAddress, plan.FastCgiThreads), std::tie(c.address, c.threads == -1 ? plan.FastCgiThreads : c.threads));
    EXPECT_EQ(plan.StartError.empty(), c.threads != -1) << c.params.size();
  }
}

THttpEngine* FakeFactory(const TEngineConfig& config) { return new FakeEngine(config.Owner); }

// The component creates what the plan names, owned by the window, which it
// keeps minimized and hidden.
TEST(EngineComponent, CreatesThePlannedEnginesForTheWindow) {
  RegisterEngineFactory(TEngineKind::CgiWin, FakeFactory);
  plat::SetCommandLine({"program", "/tmp/profile.ini"});
  plat::TForm form(nullptr);
  auto* component = new TGeneralHttpEngine(&form);
  form.LoadComponents();
  plat::SetCommandLine({"program"});
  RegisterEngineFactory(TEngineKind::CgiWin, nullptr);
  ASSERT_NE(component->Engine(TEngineKind::CgiWin), nullptr);
  EXPECT_EQ(component->Engine(TEngineKind::CgiWin)->Owner(), &form);
  EXPECT_EQ(component->Engine(TEngineKind::CgiStd), nullptr);
  EXPECT_TRUE(form.Minimized && form.Hidden && !plat::Application().ShowMainForm);
}

// A library whose engines are missing logs them and lives on: ending the
// process would take the web server down with it.
TEST(EngineComponent, MissingEnginesInALibraryLeaveTheProcessRunning) {
  const std::string logDir = ::testing::TempDir() + "parlino-liblog";
  std::filesystem::remove_all(logDir);
  setenv("CGI_LOG_DIR", logDir.c_str(), 1);
  plat::SetRunsAsLibrary(true);
  {
    plat::TForm form(nullptr);
    new TGeneralHttpEngine(&form);
    form.LoadComponents();
  }
  plat::SetRunsAsLibrary(false);
  unsetenv("CGI_LOG_DIR");
  std::ifstream in(logDir + "/" + std::filesystem::path(ModuleFileName()).stem().string() + ".Log");
  const std::string log((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(log.find("the NSAPI engine is not available"), std::string::npos) << log;
  EXPECT_NE(log.find("the ISAPI engine is not available"), std::string::npos) << log;
}

// A setter during a request reaches the serving engine too. (Getters reach
// it from the probe's handler on the resident server's threads.)
TEST(EngineComponent, SettersReachTheCallingThreadsEngine) {
  FakeEngine engine;
  TGeneralHttpEngine component(nullptr);
  FakeRequestScope scope(engine);
  component.SetNoCache(true);
  component.SetAutoContentType("text/plain");
  EXPECT_TRUE(component.NoCache() && engine.NoCache && engine.AutoContentType == "text/plain");
}
