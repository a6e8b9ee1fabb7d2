#include <gtest/gtest.h>

#include "engine/GenEng.h"

// What a process does at start, from what it is told: the cases the program
// and library tests do not start it in.
TEST(StartPlan, FollowsTheStartTableAndRefusesABadFastCgiStart) {
  using K = TEngineKind;
  const struct {
    const char* name; TStartFacts facts; std::vector<K> engines; bool resident, stdActive, stdStreams, refused = false;
  } cases[] = {
      {"profile named on the command line", {"", "", {"/tmp/req.ini"}, false}, {K::CgiWin}, false, false, false},
      {"by hand: the resident server", {"", "", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"ZB counts as no server", {"ZB server", "CGI/1.1", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"START_SERVER under a server", {"Apache", "CGI/1.1", {"START_SERVER"}, false}, {K::CgiStd}, true, true, false},
      {"listening socket as input", {"", "", {}, false, true}, {K::FastCgi}, false, false, false},
      {"socket under a CGI environment", {"Apache", "CGI/1.1", {}, false, true}, {K::FastCgi}, false, false, false},
      {"--fastcgi is no profile", {"", "", {"--threads", "2", "--fastcgi", ":9000"}, false}, {K::FastCgi}, false, false, false},
      {"--threads alone is a profile", {"", "", {"--threads"}, false}, {K::CgiWin}, false, false, false},
      // A bad FastCGI start is refused, not taken for another kind of start.
      {"--threads over 1024", {"", "", {"--threads", "1025"}, false, true}, {K::FastCgi}, false, false, false, true},
      {"--fastcgi without address", {"", "", {"--fastcgi"}, false}, {K::FastCgi}, false, false, false, true},
      {"a library never", {"", "", {"--fastcgi", ":9000"}, true, true}, {K::Nsapi, K::Isapi}, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TStartPlan plan = PlanStart(c.facts);
    EXPECT_EQ(std::tie(plan.Engines, plan.ResidentServer, plan.StdActive, plan.StdStreams),
              std::tie(c.engines, c.resident, c.stdActive, c.stdStreams));
    EXPECT_EQ(plan.StartError.empty(), !c.refused);
  }
}
