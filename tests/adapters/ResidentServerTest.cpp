// The resident server with real processes: servers started by the test or
// by a client, clients (the real programs) handing their requests over.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "adapters/CgiServer.h"
#include "tests/support/ResidentSite.h"

namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;
const std::string Bin = PARLINO_BINARY_DIR, Probe = Bin + "/cgi_probe";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Posts, the list and a message as visitors get them through the server,
// then from processes serving themselves on the same data.
TEST(ResidentServer, ForumPagesAreTheSelfServedPagesPlusTheirLength) {
  ResidentSite site(Bin + "/parlino");
  const std::string part = Bin + "/../../tests/data/multipart/forum_post", type = Read(part + ".type");
  const Env form{{"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"SERVER_SOFTWARE", "Apache/2.4"}},
      multipart{{"CONTENT_TYPE", type.substr(14, type.find_last_not_of("\r\n") - 13)}};
  const std::vector<std::tuple<Env, std::string, std::string>> requests{
      {form, "", "NEWNAME=A&NEWEMAIL=e&NEWSUBJECT=S&NEWTEXT=T&ACTION_NEWMESSAGE_POST=Post"},
      {multipart, "", Read(part + ".body")}, {form, "", ""}, {form, "VIEWID=", ""}};
  std::smatch id;
  // The pages in request order; a cookie's expiry moves with the clock.
  auto pages = [&](bool handedOver, std::vector<int> order) {
    std::vector<std::string> out(requests.size());
    for (int i : order) {
      auto [env, query, body] = requests[i];
      env["QUERY_STRING"] = query + (query.empty() ? "" : id.str(1));
      env["SCRIPT_NAME"] = "/cgi-bin/parlino";
      const std::string page = site.Run(env, body).Output;
      out[i] = std::regex_replace(handedOver ? WithoutLength(page) : page, std::regex("expires=[^\r]*"), "");
      if (i == 2) std::regex_search(out[i], id, std::regex("VIEWID=(\\d+)"));
    }
    return out;
  };
  site.Start({});
  const std::vector<std::string> through = pages(true, {0, 1, 2, 3});
  site.Stop();
  EXPECT_EQ(site.exit, 0);
  EXPECT_EQ(through, pages(false, {2, 3, 0, 1}));
}

}  // namespace
