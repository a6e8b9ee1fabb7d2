#include <gtest/gtest.h>

#include "engine/GenEng.h"

// What a process does at start, from what it is told: the cases the program
// and library tests do not start it in.
TEST(StartPlan, FollowsTheStartTableAndReadsTheFastCgiParameters) {
  using K = TEngineKind;
  const struct { const char* name; TStartFacts facts; std::vector<K> engines; bool resident, stdActive, stdStreams; } cases[] = {
      {"profile named on the command line", {"", "", {"/tmp/req.ini"}, false}, {K::CgiWin}, false, false, false},
      {"by hand: the resident server", {"", "", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"ZB counts as no server", {"ZB server", "CGI/1.1", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"START_SERVER under a server", {"Apache", "CGI/1.1", {"START_SERVER"}, false}, {K::CgiStd}, true, true, false},
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
  // Where a FastCGI start listens, with how many workers; what it cannot use.
  const struct { std::vector<std::string> params; std::string address; int threads; } fastCgi[] = {
      {{}, "", 0}, {{"--threads", "1024", "--fastcgi", ":90"}, ":90", 1024}, {{"--fastcgi"}, "", -1},
      {{"--threads", "0"}, "", -1}, {{"--threads", "1025"}, "", -1}, {{"--fastcgi", ":1", "extra"}, ":1", -1}};
  for (const auto& c : fastCgi) {
    const TStartPlan plan = PlanStart({"", "", c.params, false, true});
    EXPECT_EQ(std::tie(plan.FastCgiAddress, plan.FastCgiThreads), std::tie(c.address, c.threads == -1 ? plan.FastCgiThreads : c.threads));
    EXPECT_EQ(plan.StartError.empty(), c.threads != -1) << c.params.size();
  }
}
