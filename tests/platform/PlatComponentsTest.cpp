#include <gtest/gtest.h>

#include <thread>

#include "platform/PlatComponents.h"

// The resident servers' polling covers timers that remove and add timers,
// and the quit signals; here what they do not reach.
TEST(ApplicationRun, WakesForATerminateFromAnotherThreadAndOutlivesThrowingTimers) {
  plat::TApplication idle;  // without timers the loop still wakes up for a Terminate from another thread
  std::thread stopper([&] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); idle.Terminate(); });
  idle.Run();
  stopper.join();
  plat::TApplication app;
  std::vector<std::string> log;
  app.OnException = [&](const std::string& message) { log.push_back(message); };
  int ticks = 0;
  app.AddTimer(1, [&] {
    if (++ticks == 1) throw std::runtime_error("failed");
    if (ticks == 2) throw 42;
    app.Terminate();
  });
  app.Run();
  EXPECT_EQ(log, (std::vector<std::string>{"failed", "Unknown exception"}));
}
