// The engine core in-process: request variables with their fallbacks, the
// header decision, the request wrapper's error handling, and the per-thread
// request state.
#include <gtest/gtest.h>

#include <thread>

#include "engine/HttpEng.h"
#include "platform/PlatProcess.h"
#include "tests/support/FakeEngine.h"

namespace {

const std::string Ok = "HTTP/1.1 200 OK\r\n";
const std::string Html = "content-type:text/html\r\n\r\n";

struct EngineTest : ::testing::Test {
  void SetUp() override {
    InitHttpEngine();
    engine.Variables["SERVER_SOFTWARE"] = "TestServer";
  }
  FakeEngine engine;
};

}  // namespace

TEST_F(EngineTest, GettersAskTheFallbackNameOnlyWhenTheFirstIsEmpty) {
  FakeRequestScope scope(engine);
  engine.Variables["DOCUMENT_ROOT"] = "/srv";
  engine.Variables["REMOTE_ADDRESS"] = "10.0.0.1";
  engine.Variables["AUTHETICATION_METHOD"] = "Basic";
  engine.Variables["USER_AGENT"] = "ua";
  engine.Variables["REFERER"] = "r";
  engine.Variables["REQUEST_PROTOCOL"] = "HTTP/1.0";
  EXPECT_EQ(engine.GetPathTranslated(), "/srv");
  EXPECT_EQ(engine.GetRemoteAddr(), "10.0.0.1");
  EXPECT_EQ(engine.GetAuthType(), "Basic");
  EXPECT_EQ(engine.GetUserAgent(), "ua");
  EXPECT_EQ(engine.GetReferer(), "r");
  EXPECT_EQ(engine.GetServerProtocol(), "HTTP/1.0");
  engine.Variables["PATH_TRANSLATED"] = "/x";
  EXPECT_EQ(engine.GetPathTranslated(), "/x");

  // The URL falls back to HTTP_URL, then to the executable path, which
  // itself falls back to the script name.
  engine.Variables["SCRIPT_NAME"] = "/cgi-bin/forum";
  EXPECT_EQ(engine.GetUrl(), "/cgi-bin/forum");
  EXPECT_EQ(engine.GetExecutablePath(), "/cgi-bin/forum");
  engine.Variables["HTTP_URL"] = "/u";
  EXPECT_EQ(engine.GetUrl(), "/u");

  engine.Variables["QUERY_STRING"] = NotAvailable;
  EXPECT_EQ(engine.GetQueryString(), "");
  for (auto [text, length] : std::vector<std::pair<std::string, int>>{{"", 0}, {"x", 0}, {"12", 12}, {"-3", -3}}) {
    engine.Variables["CONTENT_LENGTH"] = text;
    EXPECT_EQ(engine.GetContentLength(), length) << text;
  }
  engine.Variables["SERVER_PORT_SECURE"] = "1";
  EXPECT_TRUE(engine.GetServerPortSecure());
  engine.Variables["SERVER_PORT_SECURE"] = "01";
  EXPECT_FALSE(engine.GetServerPortSecure());
}

TEST_F(EngineTest, FirstHeaderFieldDecidesTheStatusLine) {
  struct Case {
    std::string field;
    bool statusLine;
  } cases[] = {{"set-cookie", true}, {"Location", false}, {"LOCATION", false}, {"location", false},
               {"X-Other", true}};
  for (const Case& c : cases) {
    engine.Handler = [&] {
      HttpWriteHeader(c.field, "v");
      HttpWrite("<p>");
    };
    EXPECT_EQ(engine.Run(), (c.statusLine ? Ok : "") + c.field + ":v\r\n" + Html + "<p>") << c.field;
  }
}

TEST_F(EngineTest, ProtectsTheClientFromHandlerErrors) {
  engine.Handler = [] {
    HttpWrite("<p>before</p>");
    throw plat::Exception("broken");
  };
  std::string seen;
  engine.OnRequestError = [&](TObject* sender, const plat::Exception& e) {
    EXPECT_EQ(sender, &engine);
    seen = e.Message();
    HttpWriteLn("<b>" + e.Message() + "</b>");
  };
  EXPECT_EQ(engine.Run(), Ok + Html + "<p>before</p><b>broken</b>\r\n");
  EXPECT_EQ(seen, "broken");

  // A standard exception is handled the same way.
  engine.Handler = [] { throw std::runtime_error("std failure"); };
  EXPECT_EQ(engine.Run(), Ok + Html + "<b>std failure</b>\r\n");

  // An error page that fails itself does not escape the wrapper either.
  engine.OnRequestError = [](TObject*, const plat::Exception&) { throw plat::Exception("page failed"); };
  EXPECT_NO_THROW(engine.Run());
}

TEST_F(EngineTest, ErrorBeforeAnyOutputGetsNoAutomaticHeader) {
  engine.Handler = [] { throw plat::Exception("early"); };
  engine.OnRequestError = [](TObject*, const plat::Exception&) {};
  EXPECT_EQ(engine.Run(), "");
}

TEST_F(EngineTest, EndRequestDeletesTheRequestsTemporaryFiles) {
  const std::string path = "/tmp/parlino-engine-temp-" + std::to_string(plat::ProcessId());
  engine.Handler = [&] {
    ASSERT_TRUE(plat::AppendToFile(path, "upload"));
    RequestState().TempFiles.emplace().push_back(path);
    throw plat::Exception("handler failed after upload");
  };
  engine.OnRequestError = [](TObject*, const plat::Exception&) {};
  engine.Run();
  EXPECT_FALSE(plat::FileExists(path));
  EXPECT_FALSE(RequestState().TempFiles.has_value());
}

TEST_F(EngineTest, BufferedResponseWithoutHeaderEndIsSentUnchanged) {
  engine.BufferedOutput = true;
  engine.AutoHttpHeader = false;
  engine.Handler = [] { HttpWrite("raw\r\n\r\nbody"); };
  EXPECT_EQ(engine.Run(), "raw\r\n\r\nbody");
}

TEST_F(EngineTest, HeaderBlockOfAnEightByteBufferedBody) {
  engine.BufferedOutput = true;
  engine.Handler = [] { HttpWrite("<p>x</p>"); };
  EXPECT_EQ(engine.Run(), Ok + "content-type:text/html\r\ncontent-length:8\r\n\r\n<p>x</p>");
  EXPECT_FALSE(RequestState().OutputBuffer.has_value());
}

TEST_F(EngineTest, LocksAreReentrantAndNilIsHarmless) {
  TLock lock = engine.CreateLock();
  engine.EnterLock(lock);
  engine.EnterLock(lock);
  engine.LeaveLock(lock);
  engine.LeaveLock(lock);
  engine.FreeLock(lock);
  engine.EnterLock(nullptr);
  engine.LeaveLock(nullptr);
  engine.FreeLock(nullptr);
}

TEST(EngineThreads, TwoRequestsNeverSeeEachOthersState) {
  InitHttpEngine();
  std::string outputs[2];
  std::atomic<int> arrived{0};
  auto serve = [&](int i) {
    FakeEngine engine;
    engine.BufferedOutput = (i == 1);
    engine.Variables["SERVER_SOFTWARE"] = i == 0 ? "Apache" : "Other";
    engine.Handler = [&, i] {
      HttpWrite("<p>" + std::to_string(i) + "</p>");
      EXPECT_EQ(CurrentEngine(), &engine);
      EXPECT_TRUE(RequestState().HeaderDone);
      EXPECT_EQ(RequestState().OutputBuffer.has_value(), i == 1);
      // Both requests are mid-way at the same moment.
      ++arrived;
      while (arrived < 2) std::this_thread::yield();
      HttpWrite("<p>again " + std::to_string(i) + "</p>");
      EXPECT_EQ(CurrentEngine(), &engine);
    };
    outputs[i] = engine.Run();
  };
  std::thread a(serve, 0), b(serve, 1);
  a.join();
  b.join();
  EXPECT_EQ(outputs[0], Html + "<p>0</p><p>again 0</p>");
  EXPECT_EQ(outputs[1], Ok + "content-type:text/html\r\ncontent-length:22\r\n\r\n<p>1</p><p>again 1</p>");
}
