// A resident server in ServerThreadMode inside this process, its queue
// entries written by hand: requests run on threads of their own at once,
// and each sees only its own variables, fields and output.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "adapters/CgiServer.h"
#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "platform/PlatThreads.h"

namespace {

std::atomic<int> inFlight{0}, most{0};

// Twelve entries of one kind; each handler waits until all twelve run.
void ServeTwelve(bool windowsCgi, const std::string& status) {
  InitHttpEngine();
  CgiStdEngineStartup();
  CgiWinEngineStartup();
  auto* engine = new TGeneralHttpEngine(new plat::TForm(&plat::Application()));
  engine->CGIMode = TCGIMode::ServerThreadMode;
  engine->SetOnExecRequest([](TObject*) {
    most = std::max(most.load(), ++inFlight);
    HttpWrite("<p>" + HttpGetVariable("N") + HttpGetField("f", ""));
    for (int i = 0; i < 500 && inFlight < 12; ++i) plat::SleepMs(20);
    HttpWrite(HttpGetVariable("N"));
  });
  static_cast<plat::TForm*>(engine->Owner())->LoadComponents();
  std::ofstream queue(QueueFileName(), std::ios::binary);
  const std::string name = ServerBasePath() + "_C_00";
  for (int i = 10; i < 22; ++i) {
    const std::string n = std::to_string(i), request = name + n + (windowsCgi ? ".ini" : "_REQ");
    std::ofstream file(request);
    if (windowsCgi)
      file << "[CGI]\r\nRequest Method=POST\r\nN=" << n << "\r\n[System]\r\nOutput File=" << name << n
           << "_OUT\r\n[Form Literal]\r\nf=" << n << "\r\n";
    else
      file << "N=" << n << "\r\nCONTENT_LENGTH=4\r\n\r\nf=" << n;
    queue.write(reinterpret_cast<const char*>(TQueueRecord::Make(0, request).Bytes), TQueueRecord::Size);
  }
  queue.close();
  // A request is done once its entry has left the queue.
  plat::Application().AddTimer(20, [] {
    if (std::filesystem::file_size(QueueFileName()) == 0) plat::Application().Terminate();
  });
  plat::Application().Run();
  EXPECT_EQ(most, 12);
  for (int i = 10; i < 22; ++i) {
    std::string page, n = std::to_string(i);
    plat::ReadWholeFile(name + n + "_OUT", page);
    EXPECT_EQ(page, status + "content-type:text/html\r\n\r\n<p>" + n + n + n);
  }
}

TEST(ResidentThreads, StandardRequestsKeepToThemselves) {
  plat::SetCommandLine({"test", "START_SERVER"});
  plat::SetEnv("SERVER_SOFTWARE", "T");
  ServeTwelve(false, "HTTP/1.1 200 OK\r\n");
}

TEST(ResidentThreads, WindowsCgiRequestsKeepToThemselves) {
  plat::SetCommandLine({"test"});
  plat::SetEnv("SERVER_SOFTWARE", "WebSite/1.1");
  plat::SetEnv("CGI_VERSION", "CGI/1.3a (Win95)");
  ServeTwelve(true, "");
}

}  // namespace
