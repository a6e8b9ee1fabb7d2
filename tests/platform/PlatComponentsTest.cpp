#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "platform/PlatComponents.h"

TEST(ApplicationRun, WakesForTerminateFiresDueTimersReportsTheirExceptionsAndEndsOnAQuitSignal) {
  plat::InstallQuitSignals();
  plat::TApplication idle;  // without timers the loop still wakes up for a Terminate from another thread
  std::thread stopper([&] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); idle.Terminate(); });
  idle.Run();
  stopper.join();
  plat::TApplication app;
  std::vector<std::string> log;
  app.OnException = [&](const std::string& message) { log.push_back(message); };
  app.AddTimer(60000, [&] { app.Terminate(); });  // never due
  int ticks = 0, id = app.AddTimer(1, [&] {
    log.push_back("tick");
    if (++ticks == 1) throw std::runtime_error("failed");
    if (ticks == 2) throw 42;
    app.RemoveTimer(id);  // a handler may remove and add timers
    app.AddTimer(0, [] { raise(SIGHUP); });
  });
  app.Run();
  EXPECT_EQ(log, (std::vector<std::string>{"tick", "failed", "tick", "Unknown exception", "tick"}));
  for (int sig : {SIGINT, SIGTERM}) {
    plat::InstallQuitSignals();
    EXPECT_TRUE(!plat::QuitSignalPending() && raise(sig) == 0 && plat::QuitSignalPending()) << sig;
  }
}
