// The standard CGI engine driven the way a web server drives it: the
// program runs as a child process with a prepared environment and body, and
// the bytes it writes are compared.
#include <gtest/gtest.h>

#include <regex>

#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "tests/support/PlatRun.h"

namespace {

const std::string Probe = std::string(PARLINO_BINARY_DIR) + "/cgi_probe";
const std::string Program = std::string(PARLINO_BINARY_DIR) + "/parlino";
const std::string Ok = "HTTP/1.1 200 OK\r\n";
const std::string Html = "content-type:text/html\r\n\r\n";

using Env = std::map<std::string, std::string>;

class TempDir {
 public:
  TempDir() {
    path = "/tmp/parlino-cgi-" + std::to_string(plat::ProcessId()) + "-" + std::to_string(counter++);
    plat::CreateDir(path);
  }
  ~TempDir() { plat::RemoveTree(path); }
  std::string path;

 private:
  static inline int counter = 0;
};

struct Cgi {
  Env env;
  std::string body;
  std::string logDir;

  Cgi() : env{{"SERVER_SOFTWARE", "TestServer/1.0"}, {"REQUEST_METHOD", "GET"}} {}
  Cgi& Set(const std::string& k, const std::string& v) {
    env[k] = v;
    return *this;
  }
  Cgi& Post(const std::string& data, const std::string& type = "application/x-www-form-urlencoded") {
    env["REQUEST_METHOD"] = "POST";
    env["CONTENT_TYPE"] = type;
    env["CONTENT_LENGTH"] = std::to_string(data.size());
    body = data;
    return *this;
  }
  plat::TRunResult Run(const std::string& program = Probe) {
    if (!logDir.empty()) env["CGI_LOG_DIR"] = logDir;
    return plat::RunProgram(program, {}, env, body);
  }
  std::string Output(const std::string& program = Probe) {
    plat::TRunResult r = Run(program);
    EXPECT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_FALSE(r.TimedOut);
    return r.Output;
  }
};

std::string ReadFile(const std::string& path) {
  std::string text;
  plat::ReadWholeFile(path, text);
  return text;
}

std::string Fields(const std::string& lines) { return "<fields>\r\n" + lines + "</fields>"; }

}  // namespace

TEST(CgiHeaderBlock, StatusLineUnlessTheServerWritesItItself) {
  struct Case {
    std::string software;
    bool statusLine;
  } cases[] = {{"TestServer/1.0", true},       {"Apache/2.4.57 (Debian)", false},
               {"my-apache-proxy", false},     {"Netscape-Enterprise/6.0", false},
               {"lighttpd/1.4.69", true},      {"nginx", true}};
  for (const Case& c : cases) {
    std::string out = Cgi().Set("SERVER_SOFTWARE", c.software).Set("QUERY_STRING", "a=1").Output();
    EXPECT_EQ(out, (c.statusLine ? Ok : "") + Html + Fields("a=1\r\n")) << c.software;
  }
}

TEST(CgiHeaderBlock, IsTriggeredByTagsAndLineEndsButNotByLetters) {
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "nothing").Output(), Ok + Html);
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "blanks").Output(), Ok + Html + "  \t<p>x</p>");
  // Text that begins with a letter reaches the client before the header.
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "letter").Output(), "plain text" + Ok + Html);
}

TEST(CgiHeaderBlock, HandlerHeaderLinesComeBeforeTheContentType) {
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "cookie").Output(), Ok + "set-cookie:a=1\r\n" + Html + "<p>x</p>");
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "ownheader").Output(),
            Ok + "X-Probe:1\r\n" + Html + "\r\n<p>x</p>");
}

TEST(CgiHeaderBlock, LocationSuppressesTheStatusLine) {
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "location").Output(), "Location:/elsewhere\r\n" + Html + "\r\n");
}

TEST(CgiHeaderBlock, NoCacheAddsFourLinesDatedThousandDaysBack) {
  std::string out = Cgi().Set("PROBE_NOCACHE", "1").Set("PROBE_MODE", "blanks").Output();
  std::regex shape(
      "HTTP/1\\.1 200 OK\r\ncontent-type:text/html\r\nPragma:no-cache\r\nCache-Control:no-cache\r\n"
      "Expires:([A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT)\r\n"
      "Document Expires:([^\r]*)\r\n\r\n  \t<p>x</p>");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, shape)) << out;
  EXPECT_EQ(m[1].str(), m[2].str());
}

TEST(CgiHeaderBlock, ImageDataGetsItsOwnTypeAndNoCacheLines) {
  EXPECT_EQ(Cgi().Set("PROBE_MODE", "gif").Set("PROBE_NOCACHE", "1").Output(),
            Ok + "content-type:image/gif\r\n\r\nGIF89a");
}

TEST(CgiBufferedOutput, PutsTheExactBodyLengthLast) {
  std::string out = Cgi().Set("PROBE_BUFFERED", "1").Set("PROBE_MODE", "cookie").Output();
  EXPECT_EQ(out, Ok + "set-cookie:a=1\r\ncontent-type:text/html\r\ncontent-length:8\r\n\r\n<p>x</p>");
  std::string big = Cgi().Set("PROBE_BUFFERED", "1").Set("PROBE_MODE", "big").Output();
  EXPECT_NE(big.find("content-length:200007\r\n\r\n<p>"), std::string::npos);
  EXPECT_EQ(big.size(), Ok.size() + 24 + 23 + 2 + 200007);
}

TEST(CgiBufferedOutput, IsSentUnchangedWithoutAutomaticHeaderOrHeaderEnd) {
  EXPECT_EQ(Cgi().Set("PROBE_BUFFERED", "1").Set("PROBE_AUTOHEADER", "0").Set("PROBE_MODE", "blanks").Output(),
            "  \t<p>x</p>");
  // An error before any header: the buffer holds no blank line.
  EXPECT_EQ(Cgi().Set("PROBE_BUFFERED", "1").Set("PROBE_MODE", "letterthrow").Set("PROBE_NOERRORHANDLER", "1").Output(),
            "plain text");
}

TEST(CgiFieldData, PostBodyReplacesTheQueryString) {
  EXPECT_EQ(Cgi().Set("QUERY_STRING", "q=1").Post("b=2&c=%C3+x").Output(), Ok + Html + Fields("b=2\r\nc=\xC3 x\r\n"));
  for (std::string length : {"", "0", "-5"}) {
    Cgi cgi;
    cgi.Set("QUERY_STRING", "q=1").Post("b=2");
    cgi.env["CONTENT_LENGTH"] = length;
    EXPECT_EQ(cgi.Output(), Ok + Html + Fields("q=1\r\n")) << "length '" << length << "'";
  }
}

TEST(CgiFieldData, ReadsExactlyTheLimitAndLogsAnythingBeyond) {
  TempDir logs;
  std::string atLimit = "a=" + std::string(9998, 'x');
  Cgi exact;
  exact.logDir = logs.path;
  EXPECT_EQ(exact.Post(atLimit).Output(), Ok + Html + Fields(atLimit + "\r\n"));
  EXPECT_FALSE(plat::FileExists(logs.path + "/cgi_probe.Log"));

  Cgi over;
  over.logDir = logs.path;
  over.Set("QUERY_STRING", "q=1").Post(atLimit + "x");
  EXPECT_EQ(over.Output(), Ok + Html + Fields(""));
  std::string log = ReadFile(logs.path + "/cgi_probe.Log");
  EXPECT_TRUE(std::regex_match(
      log, std::regex("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d,  \\d{1,3} : Content length exceeds AutoReadLimit\r\n")))
      << log;
}

TEST(CgiFieldData, ABodyItDoesNotUseIsStillConsumed) {
  std::string large(1 << 20, 'x');
  Cgi over;
  over.Post(large);
  plat::TRunResult r = over.Run();
  EXPECT_EQ(r.Output, Ok + Html + Fields(""));
  EXPECT_EQ(r.InputWritten, large.size());

  Cgi unread;
  unread.Set("PROBE_AUTOREAD", "0").Set("PROBE_LIMIT", "2000000").Post(large);
  r = unread.Run();
  EXPECT_EQ(r.Output, Ok + Html + Fields(""));
  EXPECT_EQ(r.InputWritten, large.size());
}

TEST(CgiFieldData, ZeroByteEndsTheBodyAndAShortBodyEndsWhereInputEnds) {
  EXPECT_EQ(Cgi().Post(std::string("a=1\0b=2", 7)).Output(), Ok + Html + Fields("a=1\r\n"));
  Cgi shortBody;
  shortBody.Post("a=1&b=2");
  shortBody.env["CONTENT_LENGTH"] = "500";
  plat::TRunResult r = shortBody.Run();
  EXPECT_FALSE(r.TimedOut);
  EXPECT_EQ(r.Output, Ok + Html + Fields("a=1\r\nb=2\r\n"));
}

TEST(CgiFieldData, NonNumericLengthReachesTheErrorHandlerOrTheLog) {
  Cgi cgi;
  cgi.Post("a=1");
  cgi.env["CONTENT_LENGTH"] = "12x";
  EXPECT_EQ(cgi.Output(), Ok + Html + "<html><body>'12x' ist kein g\xFCltiger Integerwert</body></html>\r\n");

  TempDir logs;
  Cgi unhandled;
  unhandled.logDir = logs.path;
  unhandled.Set("PROBE_NOERRORHANDLER", "1").Post("a=1");
  unhandled.env["CONTENT_LENGTH"] = "abc";
  // No header: the request failed before writing anything.
  EXPECT_EQ(unhandled.Output(), "");
  std::string log = ReadFile(logs.path + "/cgi_probe.Log");
  EXPECT_NE(log.find(" : Unhandled exception : 'abc' ist kein g\xFCltiger Integerwert\r\n"), std::string::npos) << log;
}

TEST(CgiLog, FallsBackToTheProgramDirectoryWhenLogIsNoDirectory) {
  TempDir dir;
  const std::string copy = dir.path + "/forum.cgi";
  ASSERT_TRUE(plat::CopyFile(Probe, copy));
  ASSERT_TRUE(plat::SetExecutable(copy));

  Cgi first;
  first.Post(std::string(10001, 'x'));
  first.Output(copy);
  EXPECT_TRUE(plat::DirectoryExists(dir.path + "/Log"));
  EXPECT_NE(ReadFile(dir.path + "/Log/forum.Log").find("Content length exceeds AutoReadLimit"), std::string::npos);

  plat::DeleteFile(dir.path + "/Log/forum.Log");
  plat::RemoveDir(dir.path + "/Log");
  ASSERT_TRUE(plat::AppendToFile(dir.path + "/Log", "not a directory"));
  Cgi second;
  second.Post(std::string(10001, 'x'));
  second.Output(copy);
  EXPECT_NE(ReadFile(dir.path + "/forum.Log").find("Content length exceeds AutoReadLimit"), std::string::npos);
}

TEST(CgiMultipart, UploadsReachTheHandlerAndVanishAfterAFailedRequest) {
  const std::string data = std::string(PARLINO_SOURCE_DIR) + "/tests/data/multipart/";
  std::string body, type;
  ASSERT_TRUE(plat::ReadWholeFile(data + "curl_form.body", body));
  ASSERT_TRUE(plat::ReadWholeFile(data + "curl_form.type", type));
  type = type.substr(type.find(':') + 2);
  while (!type.empty() && (type.back() == '\n' || type.back() == '\r')) type.pop_back();
  TempDir uploads;
  Cgi cgi;
  cgi.Set("PROBE_MODE", "files").Set("PROBE_TEMPDIR", uploads.path).Set("PROBE_LIMIT", "10000000").Post(body, type);
  plat::TRunResult r = cgi.Run();
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_NE(r.Output.find("a=two words\r\n"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("_FILENAME=" + uploads.path + "/"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("after files"), std::string::npos);
  EXPECT_TRUE(plat::FindFiles(uploads.path + "/*", plat::faAnyFile).empty());
}

TEST(CgiVariables, NamesMapToEnvironmentVariables) {
  // SCRIPT_NAME answers both the script name and the executable path.
  EXPECT_EQ(Cgi().Set("QUERY_STRING", "x=%25SCRIPT_NAME%25").Output(), Ok + Html + Fields("x=%SCRIPT_NAME%\r\n"));
}

TEST(ParlinoProgram, AnswersAStandardCgiRequest) {
  plat::TRunResult r =
      plat::RunProgram(Program, {}, {{"SERVER_SOFTWARE", "X"}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "a=1"}}, "");
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(r.Output.rfind(Ok + Html, 0), 0u) << r.Output;
  EXPECT_NE(r.Output.find("<html>"), std::string::npos);

  r = plat::RunProgram(Program, {}, {{"SERVER_SOFTWARE", "Apache/2.4"}, {"REQUEST_METHOD", "GET"}}, "");
  EXPECT_EQ(r.ExitCode, 0);
  EXPECT_EQ(r.Output.rfind(Html, 0), 0u) << r.Output;
}
