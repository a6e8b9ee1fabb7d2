// A resident server in ServerThreadMode inside this process, its clients'
// request files written by hand: requests run on threads of their own at
// once, and each sees only its own variables, fields and output.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "adapters/CgiServer.h"
#include "adapters/CgiSEng.h"
#include "platform/PlatThreads.h"

TEST(ResidentThreads, RequestsKeepToThemselves) {
  plat::SetCommandLine({"test", "START_SERVER"});
  plat::SetEnv("SERVER_SOFTWARE", "T");
  InitHttpEngine();
  CgiStdEngineStartup();
  auto* engine = new TGeneralHttpEngine(new plat::TForm(&plat::Application()));
  engine->CGIMode = TCGIMode::ServerThreadMode;
  engine->SetOnExecRequest([](TObject*) {
    HttpWrite("<p>" + HttpGetVariable("N") + HttpGetField("f", ""));
    plat::SleepMs(300);
    HttpWrite(HttpGetVariable("N"));
  });
  static_cast<plat::TForm*>(engine->Owner())->LoadComponents();
  std::ofstream queue(QueueFileName(), std::ios::binary);
  const std::string name = ServerBasePath() + "_C_00";
  for (int i = 10; i < 22; ++i) {
    std::ofstream(name + std::to_string(i) + "_REQ") << "N=" << i << "\r\nCONTENT_LENGTH=4\r\n\r\nf=" << i;
    queue.write(reinterpret_cast<const char*>(TQueueRecord::Make(0, name + std::to_string(i) + "_REQ").Bytes), 268);
  }
  queue.close();
  const auto start = std::chrono::steady_clock::now();
  // A request is done once its request file is gone.
  plat::Application().AddTimer(20, [&] {
    if (plat::FindFiles(name + "*_REQ", plat::faAnyFile).empty()) plat::Application().Terminate();
  });
  plat::Application().Run();
  // One after the other they would take twelve pauses.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300 * 12 / 2));
  for (int i = 10; i < 22; ++i) {
    std::string page, n = std::to_string(i);
    plat::ReadWholeFile(name + n + "_OUT", page);
    EXPECT_EQ(page, "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>" + n + n + n);
  }
}
