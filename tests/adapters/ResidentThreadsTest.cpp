// A resident server in ServerThreadMode inside this process, its clients'
// request files written by hand: requests run on threads of their own at
// once, and each sees only its own variables, fields and output.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
  const int count = 12;
  std::vector<std::string> names;
  plat::TFile queue;
  ASSERT_TRUE(queue.Open(QueueFileName(), plat::TFileAccess::Write, plat::TShareKind::Exclusive));
  for (int i = 0; i < count; ++i) {
    char id[8];
    std::snprintf(id, sizeof id, "%04X", i);
    names.push_back(ServerBasePath() + "_C_" + id + "_");
    const std::string n = std::to_string(i);
    std::ofstream(names.back() + "REQ", std::ios::binary) << "N=" << n << "\r\nCONTENT_LENGTH=" << n.size() + 2
                                                          << "\r\nKESTREL_CGI_DEBUG=true\r\n\r\nf=" << n;
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
  // One after the other they would take count times the pause.
  EXPECT_LT(std::chrono::steady_clock::now() - start, count * std::chrono::milliseconds(300) / 2);
  for (int i = 0; i < count; ++i) {
    std::string page;
    plat::ReadWholeFile(names[i] + "OUT", page);
    const std::string n = std::to_string(i);
    EXPECT_EQ(page, "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>" + n + n + n);
  }
}
