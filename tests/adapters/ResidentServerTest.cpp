// The resident server with real processes: servers started by the test or
// by a client, clients (the real programs) handing their requests over.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "platform/PlatFiles.h"
#include "tests/support/ResidentSite.h"

namespace {

namespace fs = std::filesystem;
const std::string Probe = PARLINO_BINARY_DIR "/cgi_probe", Page = "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n";

std::string Fields(const std::string& lines) { return Page + "<fields>\r\n" + lines + "</fields>"; }

// Sixteen clients at once, served one after the other or on threads: each
// gets its own page, once. A second server leaves the running one alone.
// Then the server ends: at a quit message it deletes exactly its own files;
// when its queue file is gone it just ends.
TEST(ResidentServer, ConcurrentClientsGetTheirOwnPagesAndTheServerEndsCleanly) {
  const std::vector<std::string> own{"_C_0A1F_REQ", "_C_FFFF_OUT", "_S.window"},
      others{"_C_xyz", "_C_0a1f_REQ", "_C_0A1F_REQX", "_data.dat", "_x_C_0000_REQ"};
  for (const bool quit : {false, true}) {
    ResidentSite site(Probe);
    site.Start({{"SERVER_SOFTWARE", "T"}, {"PROBE_MODE", quit ? "2" : "1"}, {"PROBE_SLEEP", "30"}}, {"START_SERVER"});
    EXPECT_EQ(plat::RunProgram(site.self, {}, {{"CGI_LOG_DIR", site.dir}}, "").ExitCode, 0);
    std::vector<std::future<plat::TRunResult>> clients;
    for (int i = 0; i < 16; ++i)
      clients.push_back(std::async(std::launch::async, [&site, i] { return site.Run({}, "n=" + std::to_string(i)); }));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(WithoutLength(clients[i].get().Output), Fields("n=" + std::to_string(i) + "\r\n"));
    EXPECT_EQ(fs::file_size(site.base + "_S"), 0u);
    for (const auto& names : {own, others})
      for (const std::string& name : names) Touch(site.base + name);
    quit ? kill(site.pid, SIGTERM) : fs::remove(site.base + "_S");
    EXPECT_EQ(site.server.get().ExitCode, 0);
    EXPECT_FALSE(plat::WindowExists(site.base + "_S.window") || fs::exists(site.base + "_S"));
    for (const std::string& name : own) EXPECT_EQ(fs::exists(site.base + name), !quit) << name;
    for (const std::string& name : others) EXPECT_TRUE(fs::exists(site.base + name)) << name;
  }
}

// A client that cannot hand its request over serves it itself: every
// ClientId taken (a planted link counts, and is left alone) or a request
// file name longer than a record holds. 255 characters are handed over.
TEST(ResidentServer, ClientsThatCannotHandOverServeThemselves) {
  for (const auto& [nameLength, allTaken] : std::vector<std::pair<size_t, bool>>{{255, false}, {256, false}, {0, true}}) {
    ResidentSite site(Probe, nameLength ? nameLength - 11 : 0);
    site.Start({});
    char id[8] = "0000";
    for (int i = 0; allTaken && i < 65535; ++i, std::snprintf(id, sizeof id, "%04X", i))
      fs::create_symlink(site.dir + "/target", site.base + "_C_" + id + (i % 2 ? "_REQ" : "_OUT"));
    const std::string page = site.Run({{"QUERY_STRING", "a=1"}}).Output;
    EXPECT_EQ(nameLength == 255 ? WithoutLength(page) : page, Fields("a=1\r\n")) << nameLength;
    EXPECT_FALSE(fs::exists(site.dir + "/target"));
  }
}

}  // namespace
