#include <gtest/gtest.h>

#include "engine/GenEng.h"

// What a process does at start, from what it is told: the cases the program
// and library tests do not start it in.
TEST(StartPlan, FollowsTheStartTable) {
  using K = TEngineKind;
  const struct { const char* name; TStartFacts facts; std::vector<K> engines; bool resident, stdActive, stdStreams; } cases[] = {
      {"profile named on the command line", {"", "", {"/tmp/req.ini"}, false}, {K::CgiWin}, false, false, false},
      {"by hand: the resident server", {"", "", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"ZB counts as no server", {"ZB server", "CGI/1.1", {}, false}, {K::CgiStd, K::CgiWin}, true, true, false},
      {"START_SERVER under a server", {"Apache", "CGI/1.1", {"START_SERVER"}, false}, {K::CgiStd}, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TStartPlan plan = PlanStart(c.facts);
    EXPECT_EQ(std::tie(plan.Engines, plan.ResidentServer, plan.StdActive, plan.StdStreams),
              std::tie(c.engines, c.resident, c.stdActive, c.stdStreams));
  }
}
