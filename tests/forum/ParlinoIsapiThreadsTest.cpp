// The forum library serving many server threads at once: every page is the
// page the request gets alone, every cookie its own visitor's, every post
// stored once with its text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/HUtils.h"
#include "tests/support/IsapiHost.h"

namespace {

namespace fs = std::filesystem;

TIsapiCall Call(const std::string& fields, const std::string& cookie = "", bool post = false) {
  return {{{"SERVER_SOFTWARE", "Microsoft-IIS/5.0"}, {"SCRIPT_NAME", "/scripts/p.dll"}, {"HTTP_COOKIE", cookie},
           {"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"QUERY_STRING", post ? "" : fields}},
          post ? fields : "", 40};
}

std::string Post(const std::string& name) {
  return "ACTION_NEWMESSAGE_POST=1&NEWNAME=" + name + "&NEWEMAIL=e&NEWSUBJECT=s&NEWTEXT=text+of+" + name;
}

TEST(ForumIsapiThreads, RequestsOfManyThreadsNeverMeet) {
  const fs::path root = fs::temp_directory_path() / ("parlino-isapi-threads-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "parlino");
  fs::create_directories(root / "lib");
  fs::copy_file(std::string(PARLINO_BINARY_DIR) + "/parlino.so", root / "lib/parlino.so");
  std::ofstream(root / "parlino/parlino.ini") << "[Parameters]\nEntries=4\n";
  setenv("CGI_LOG_DIR", root.c_str(), 1);
  {
    TIsapiHost host((root / "lib/parlino.so").string());
    ASSERT_TRUE(host.Handle());
    for (int i = 0; i < 6; ++i) host.Serve(Call(Post("first" + std::to_string(i)), "", true));

    std::vector<TIsapiCall> calls, posts;
    for (int i = 0; i < 400; ++i) {
      const std::string visitor = "NEWSGROUP=N%3Dv" + std::to_string(i % 16) + "%26E%3Dv%2540x";
      const std::string fields[] = {"", "NOTHREAD=yes&PAGE=2&ACTION_SEARCH_NEXT=1", "VIEWID=" + std::to_string(i % 6 + 1),
                                    "ACTION_NEWMESSAGE=1", "ACTION_REPLYMESSAGE=1&REPLYID=" + std::to_string(i % 6 + 1)};
      calls.push_back(Call(fields[i % 5], visitor));
    }
    const std::vector<TIsapiResult> alone = host.ServeAll(calls, 1), together = host.ServeAll(calls, 8);
    for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(together[i].Output, alone[i].Output) << i;
    EXPECT_NE(alone[3].Output.find("name=\"NEWNAME\" value=\"v3\""), std::string::npos) << alone[3].Output;

    for (int i = 0; i < 16; ++i) posts.push_back(Call(Post("p" + std::to_string(i)), "", true));
    const std::vector<TIsapiResult> stored = host.ServeAll(posts, 16);
    for (int i = 0; i < 16; ++i) {
      EXPECT_NE(stored[i].Output.find("set-cookie:NEWSGROUP=N%3Dp" + std::to_string(i) + "%26"), std::string::npos);
      EXPECT_NE(stored[i].Output.find("Your message have been posted !"), std::string::npos);
    }
    host.Entry<BOOL(DWORD)>("TerminateExtension")(0);
  }
  // Every post once, with its own text.
  std::multiset<std::string> texts;
  for (const auto& entry : fs::directory_iterator(root / "parlino"))
    if (entry.path().extension() == ".txt") {
      std::ifstream in(entry.path());
      texts.insert(std::string(std::istreambuf_iterator<char>(in), {}));
    }
  ASSERT_EQ(texts.size(), 22u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(texts.count("text of p" + std::to_string(i)), 1u) << i;
  fs::remove_all(root);
}

}  // namespace
