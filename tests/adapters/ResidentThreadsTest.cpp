// A resident server in ServerThreadMode inside this process, its clients'
// request files written by hand: requests run on threads of their own at
// once, and each sees only its own variables, fields and output.
#include <gtest/gtest.h>

#include <algorithm>
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
  auto* form = new plat::TForm(&plat::Application());
  auto* engine = new TGeneralHttpEngine(form);
  engine->CGIMode = TCGIMode::ServerThreadMode;
  engine->SetOnExecRequest([](TObject*) {
    HttpWrite("<p>" + HttpGetVariable("N") + HttpGetField("f", ""));
    plat::SleepMs(300);
    HttpWrite(HttpGetVariable("N"));
  });
  form->LoadComponents();
  std::vector<std::string> names;
  plat::TFile queue;
  ASSERT_TRUE(queue.Open(QueueFileName(), plat::TFileAccess::Write, plat::TShareKind::Exclusive));
  for (int i = 10; i < 22; ++i) {
    names.push_back(ServerBasePath() + "_C_00" + std::to_string(i) + "_");
    std::ofstream(names.back() + "REQ") << "N=" << i << "\r\nCONTENT_LENGTH=4\r\nX=\r\n\r\nf=" << i;
    queue.Write(TQueueRecord::Make(0, names.back() + "REQ").Bytes, TQueueRecord::Size);
  }
  queue.Close();
  const auto start = std::chrono::steady_clock::now();
  // A request is done once its request file is gone.
  plat::Application().AddTimer(20, [&] {
    if (std::none_of(names.begin(), names.end(), [](auto& name) { return plat::FileExists(name + "REQ"); }))
      plat::Application().Terminate();
  });
  plat::Application().Run();
  // One after the other they would take twelve pauses.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300 * 12 / 2));
  for (size_t i = 0; i < names.size(); ++i) {
    std::string page, n = std::to_string(i + 10);
    plat::ReadWholeFile(names[i] + "OUT", page);
    EXPECT_EQ(page, "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>" + n + n + n);
  }
}
