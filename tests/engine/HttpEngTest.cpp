// The engine core in-process, for what a CGI process cannot show: the
// getters' fallback names. The response bytes are the process suite's
// (tests/adapters); the per-thread request state the threads suites'.
#include <gtest/gtest.h>

#include "tests/support/FakeEngine.h"

TEST(EngineVariables, GettersAskTheFallbackNameOnlyWhenTheFirstIsEmpty) {
  using E = THttpEngine;
  const auto length = [](E& e) { return std::to_string(e.GetContentLength()); };
  const auto secure = [](E& e) { return std::to_string(e.GetServerPortSecure()); };
  const std::tuple<std::function<std::string(E&)>, std::map<std::string, std::string>, std::string> cases[] = {
      {&E::GetPathTranslated, {{"DOCUMENT_ROOT", "/srv"}}, "/srv"}, {&E::GetUserAgent, {{"USER_AGENT", "ua"}}, "ua"},
      {&E::GetRemoteAddr, {{"REMOTE_ADDRESS", "10.0.0.1"}}, "10.0.0.1"}, {&E::GetReferer, {{"REFERER", "r"}}, "r"},
      {&E::GetAuthType, {{"AUTHETICATION_METHOD", "Basic"}}, "Basic"}, {&E::GetScriptName, {{"EXECUTABLE_PATH", "/e"}}, "/e"},
      {&E::GetServerProtocol, {{"REQUEST_PROTOCOL", "HTTP/1.0"}}, "HTTP/1.0"},
      {&E::GetUrl, {{"SCRIPT_NAME", "/cgi"}}, "/cgi"}, {&E::GetUrl, {{"HTTP_URL", "/u"}, {"SCRIPT_NAME", "/cgi"}}, "/u"},
      {&E::GetQueryString, {{"QUERY_STRING", NotAvailable}}, ""},
      {length, {{"CONTENT_LENGTH", "12"}}, "12"}, {length, {{"CONTENT_LENGTH", "x"}}, "0"},
      {secure, {{"SERVER_PORT_SECURE", "1"}}, "1"}, {secure, {{"SERVER_PORT_SECURE", "01"}}, "0"},
  };
  for (const auto& [get, variables, expected] : cases) {
    FakeEngine engine;
    engine.Variables = variables;
    EXPECT_EQ(get(engine), expected) << variables.begin()->first;
  }
}
