// What a web server sees of an engine: one table of requests, each with the
// exact bytes it must produce, run over the engines it names. How a request
// reaches an engine is the engine's entry in Engines; what its server makes
// different, rows of that engine alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "engine/HUtils.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatTime.h"
#include "tests/support/FcgiClient.h"
#include "tests/support/PlatRun.h"
#include "tests/support/ResidentSite.h"

namespace {

using Env = std::map<std::string, std::string>;

// The engines a case runs on: a rule of the engine core on the standard
// CGI engine alone, a rule an engine carries out itself on each of them.
enum : int { S = 1, R = 2, I = 4, N = 8, F = 16, W = 32, All = 63 };

struct EngineCase {
  std::string name;
  int engines;
  Env env;                        // request variables and PROBE_* settings; "{TMP}" is the case's own directory
  std::vector<std::string> body;  // standard input; pieces come 0.2 s apart ("" is a pause only)
  std::string expected;           // "{OK}" is the status line, "{EXPIRED}" the no-cache date
  bool overLimit = false;         // the one log line of a body over the read limit
};

const std::string Probe = std::string(PARLINO_BINARY_DIR) + "/cgi_probe";
const std::string Html = "content-type:text/html\r\n\r\n";
const std::string Page = "{OK}" + Html;

std::string Fields(const std::string& lines) { return Page + "<fields>\r\n" + lines + "</fields>"; }

std::string Joined(const std::vector<std::string>& body) {
  std::string whole;
  for (const std::string& piece : body) whole += piece;
  return whole;
}
std::string Exit(int code) { return code ? " [exit " + std::to_string(code) + "]" : ""; }

std::string Replace(std::string text, const std::string& token, const std::string& value) {
  for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
    text.replace(at, token.size(), value);
  return text;
}

// A body in pieces goes through a shell pipe whose writer tells when the
// program ended with part of the body unread.
std::string ServeWith(const std::string& program, Env env, const std::vector<std::string>& body) {
  std::string writer = "trap '' PIPE", whole = Joined(body);
  for (size_t i = 0; body.size() > 1 && i < body.size(); ++i) {
    env["PIECE" + std::to_string(i)] = body[i];
    writer += std::string(i ? " && sleep 0.2" : "") + " && printf %s \"$PIECE" + std::to_string(i) + '"';
  }
  writer = "{ (" + writer + " || echo ' [body left unread]' >&3) | \"$0\"; } 3>&1";
  env.try_emplace("CONTENT_LENGTH", std::to_string(whole.size()));
  plat::TRunResult r = body.size() < 2 ? plat::RunProgram(program, {}, env, whole)
                                       : plat::RunProgram("/bin/sh", {"-c", writer, program}, env, "");
  // Servers reset a connection whose announced body was left unread; bytes
  // beyond the announced length may be gone before they are written.
  const long announced = std::atol(env["CONTENT_LENGTH"].c_str());
  const bool unread = body.size() < 2 && r.InputWritten < std::min<size_t>(whole.size(), std::max(announced, 0L));
  return r.Output + (unread ? " [body left unread]" : "") + Exit(r.ExitCode);
}

std::string ServeCgiStd(Env env, const std::vector<std::string>& body) { return ServeWith(Probe, env, body); }

// The client finds no server, starts one with its own environment and
// hands the request over.
std::string ServeResident(Env env, const std::vector<std::string>& body) {
  ResidentSite site(Probe);
  env["PROBE_MODE"] = "1";
  return WithoutLength(ServeWith(site.self, env, body));
}

// The request as a Windows CGI web server delivers it: variables in [CGI], a
// multipart body in the Content File (its other bodies the rows leave out);
// the response is what the output file holds afterwards.
std::string ServeWinCgi(Env env, const std::vector<std::string>& body) {
  std::string whole = Joined(body), profile = "[CGI]\r\n";
  env["CGI_VERSION"] = "CGI/1.3a (Win95)";
  env.try_emplace("CONTENT_LENGTH", std::to_string(whole.size()));
  env.try_emplace("REQUEST_METHOD", whole.empty() ? "GET" : "POST");
  for (const auto& [name, value] : env) {
    if (name.starts_with("PROBE_") || name == "CGI_LOG_DIR") continue;
    std::string key = name == "SCRIPT_NAME" ? "Executable Path" : name;
    std::replace(key.begin(), key.end(), '_', ' ');
    profile += key + "=" + value + "\r\n";
  }
  if (plat::UpperCase(env["CONTENT_TYPE"]).find("MULTIPART") != std::string::npos) profile += "Content File={D}/content\r\n";
  const TProfileRun r = ServeProfile(Probe, profile + "[System]\r\nOutput File={D}/out\r\n", {{"content", whole}}, env);
  return r.file + (r.Output.empty() ? "" : " [stdout " + r.Output + "]") + Exit(r.ExitCode);
}

// A web server with the probe as its loaded library, the whole body there
// before the request (none of it preloaded for ISAPI).
std::string ServeHost(const std::string& host, const Env& env, const std::vector<std::string>& body) {
  plat::TRunResult r = plat::RunProgram(std::string(PARLINO_BINARY_DIR) + "/" + host, {Probe + ".so"}, env, Joined(body));
  return r.Output + Exit(r.ExitCode);
}
std::string ServeIsapi(Env env, const std::vector<std::string>& body) { return ServeHost("isapi_host", env, body); }
// An NSAPI server with its library: the variables become its parameters,
// the header block is what it sends from srvhdrs.
std::string ServeNsapi(Env env, const std::vector<std::string>& body) {
  env["LD_LIBRARY_PATH"] = std::string(PARLINO_BINARY_DIR) + "/nsapi/plain";
  return ServeHost("nsapi_host", env, body);
}

// A web server speaking FastCGI to the probe, resident on a socket in the
// case's directory: the probe's settings are its environment, the request's
// variables the request's parameters.
std::string ServeFastCgi(Env env, const std::vector<std::string>& body) {
  env.try_emplace("CONTENT_LENGTH", std::to_string(Joined(body).size()));
  Env own, params;
  for (const auto& [name, value] : env) (name.starts_with("PROBE_") || name == "CGI_LOG_DIR" ? own : params)[name] = value;
  fcgi::Responder responder(Probe, env["CGI_LOG_DIR"], own, {"--threads", "1"});
  const std::string reply = fcgi::Request(responder.socket, params, body);
  const plat::TRunResult end = responder.Stop();
  unlink(responder.socket.c_str());
  return reply + Exit(end.ExitCode);
}

// One engine: how a request reaches it, and whether a status line leads
// what the web server got.
struct EngineUnderTest {
  const char* name;
  std::string (*serve)(Env env, const std::vector<std::string>& body);  // what the web server got
  int bit;
  bool writesStatusLine;  // some servers write it themselves
};

void Check(const EngineCase& c, const EngineUnderTest& engine) {
  std::string dir = "/tmp/parlino-cgi-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir.data()));
  Env env{{"SERVER_SOFTWARE", "TestServer/1.0"}, {"CGI_LOG_DIR", dir}};
  for (const auto& [name, value] : c.env) env[name] = Replace(value, "{TMP}", dir);
  const double start = plat::Now();
  const std::string output = engine.serve(env, c.body);
  const std::string status = engine.writesStatusLine ? "HTTP/1.1 200 OK\r\n" : "";
  const std::string expected = Replace(Replace(c.expected, "{OK}", status), "{TMP}", dir);
  // The no-cache date may be of any second the request took.
  std::string want = Replace(expected, "{EXPIRED}", HttpDate(start - 1000));
  for (double t = start; output != want && t <= plat::Now() + 1.0 / 86400; t += 1.0 / 86400)
    want = Replace(expected, "{EXPIRED}", HttpDate(t - 1000));
  EXPECT_EQ(output, want);
  std::string log;
  plat::ReadWholeFile(dir + "/cgi_probe.Log", log);
  const std::regex stamp(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d,  \d{1,3} : )");
  EXPECT_EQ(std::regex_replace(log, stamp, ""), c.overLimit ? "Content length exceeds AutoReadLimit\r\n" : "");
  // Uploads are gone once the request has ended, whatever became of it.
  EXPECT_EQ(plat::FindFiles(dir + "/*", plat::faAnyFile).size(), log.empty() ? 0u : 1u);
  plat::RemoveTree(dir);
}

std::vector<EngineCase> CoreCases() {
  const std::string atLimit = "a=" + std::string(9998, 'x'), notANumber = " ist kein g\xFCltiger Integerwert";
  return {
      // The status line, unless the server writes it itself.
      // A handed-over response gets its length when its header block ends
      // within its first 1024 bytes.
      {"HeaderEndWithinTheFirst1024Bytes", S | R | I | N | F, {{"PROBE_AUTOHEADER", "0"}, {"PROBE_TEXT", std::string(1020, 'h') + "\r\n\r\n"}},
       {}, std::string(1020, 'h') + "\r\n\r\n"},
      // The header block and what starts it.
      {"LocationFirstInAnyCaseSuppressesTheStatusLine", S | F | W, {{"PROBE_HEADER", "LoCATION:/x"}}, {}, "LoCATION:/x\r\n" + Html},
      {"NoCacheAddsFourLinesDatedThousandDaysBack", S, {{"PROBE_NOCACHE", "1"}, {"PROBE_TEXT", "<p>"}}, {},
       "{OK}content-type:text/html\r\nPragma:no-cache\r\nCache-Control:no-cache\r\nExpires:{EXPIRED}\r\n"
       "Document Expires:{EXPIRED}\r\n\r\n<p>"},
      // A FastCGI server answers 502 to a field name with a blank.
      {"NoCacheLeavesOutTheFieldNamedWithABlank", F, {{"PROBE_NOCACHE", "1"}, {"PROBE_TEXT", "<p>"}}, {},
       "content-type:text/html\r\nPragma:no-cache\r\nCache-Control:no-cache\r\nExpires:{EXPIRED}\r\n\r\n<p>"},
      {"BufferedPage", S | I | N | F, {{"PROBE_BUFFERED", "1"}, {"PROBE_HEADER", "set-cookie:a=1"}, {"PROBE_TEXT", "<p>x</p>"}}, {},
       "{OK}set-cookie:a=1\r\ncontent-type:text/html\r\ncontent-length:8\r\n\r\n<p>x</p>"},
      // Errors, and starts this program cannot serve.
      {"NonNumericLengthGoesToTheErrorPage", S | R | N | F, {{"CONTENT_LENGTH", "12x"}}, {"a=1"},
       Page + "<html><body>'12x'" + notANumber + "</body></html>\r\n"},
      // Field data.
      {"ZeroLengthUsesTheQuery", S | R | F, {{"QUERY_STRING", "q=1"}, {"CONTENT_LENGTH", "0"}}, {"b=2"}, Fields("q=1\r\n")},
      // A POST's fields are its body only, even an empty one.
      {"ZeroLengthPostHasNoFields", N, {{"QUERY_STRING", "q=1"}, {"CONTENT_LENGTH", "0"}}, {"b=2"}, Fields("")},
      {"NegativeLengthUsesTheQuery", S | R | F, {{"QUERY_STRING", "q=1"}, {"CONTENT_LENGTH", "-5"}}, {"b"}, Fields("q=1\r\n")},
      {"BodyOfExactlyTheLimitIsRead", S | R | I | N | F, {}, {atLimit}, Fields(atLimit + "\r\n")},
      {"BodyOneByteOverTheLimitIsIgnored", S | R | I | N | F, {{"QUERY_STRING", "q=1"}}, {atLimit + "x"}, Fields(""), true},
      {"BodyOverTheLimitIsStillConsumed", S | R | F, {}, {std::string(1 << 20, 'x')}, Fields(""), true},
      {"BodyArrivingInPiecesIsReadWhole", S | R | F, {}, {"a=1", "&b=", "2"}, Fields("a=1\r\nb=2\r\n")},
      {"ShortBodyEndsWhereTheInputEnds", S | R | I | N | F, {{"CONTENT_LENGTH", "500"}}, {"a=1&b=2"}, Fields("a=1\r\nb=2\r\n")},
      {"MultipartInAnyCaseKeepsUploadsInTempDirUntilTheEnd", All,
       {{"CONTENT_TYPE", "Multipart/Form-Data; boundary=xyzxyz"}, {"PROBE_TEMPDIR", "{TMP}"}, {"PROBE_THROW", "x"}},
       {"--xyzxyz\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\ntwo words\r\n--xyzxyz\r\nContent-Disposition: "
        "form-data; name=\"f\"; filename=\"x.txt\"\r\nContent-Type: text/plain\r\n\r\nhello\r\n--xyzxyz--\r\n"},
       Fields("a=two words\r\nf_CONTENT_TYPE= text/plain\r\nf=x.txt\r\nf_FILENAME={TMP}: hello\r\n") +
           "<html><body>x</body></html>\r\n"},
      // The body as the handler reads it itself.
      {"HandlerReadAfterTheBodyWasReadGetsZero", All, {{"PROBE_READ", "4"}}, {"a=1"}, Page + "<read 0>"},
      // Variables by generic name; one the server does not have reads empty.
      {"VariablesByGenericName", S | W, {{"REMOTE_ADDR", "10.1.2.3"}, {"SCRIPT_NAME", "/cgi-bin/p"}, {"PROBE_VARS", "remote addr,EXECUTABLE PATH,no such"}}, {},
       Page + "<remote addr>10.1.2.3\r\n<EXECUTABLE PATH>/cgi-bin/p\r\n<no such>\r\n"},
  };
}

// Each engine joins the suite with one entry.
const EngineUnderTest Engines[] = {
    {"StandardCgi", ServeCgiStd, S, true},
    // A handed-over body is exactly CONTENT_LENGTH bytes long.
    {"ResidentServer", ServeResident, R, true},
    // The server redirects for a Location field; a POST's fields are its body
    // and then the query string; the body's size is the server's own count,
    // not CONTENT_LENGTH, and the whole body is there before the request.
    {"Isapi", ServeIsapi, I, true},
    // The server sends the status line, always 200, and the fields of
    // srvhdrs; a POST's fields are its body only; parameters have the
    // server's lower-case names.
    {"Nsapi", ServeNsapi, N, true},
    // Only a multipart body is read, whatever its length; form fields come
    // from the profile with upper-cased names.
    {"WindowsCgi", ServeWinCgi, W, false},
    // Never a status line, nor a field name with a blank (nginx answers 502);
    // the probe's own input is no request's body.
    {"FastCgi", ServeFastCgi, F, false},
};

std::vector<std::tuple<EngineUnderTest, EngineCase>> Runs() {
  std::vector<std::tuple<EngineUnderTest, EngineCase>> runs;
  for (const EngineUnderTest& engine : Engines)
    for (const EngineCase& c : CoreCases())
      if (c.engines & engine.bit) runs.emplace_back(engine, c);
  return runs;
}

class EngineContract : public ::testing::TestWithParam<std::tuple<EngineUnderTest, EngineCase>> {};

TEST_P(EngineContract, Serves) { Check(std::get<1>(GetParam()), std::get<0>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(All, EngineContract, ::testing::ValuesIn(Runs()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
