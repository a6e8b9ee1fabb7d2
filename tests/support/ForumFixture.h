// A forum site as a web server runs it: the program copied to bin/parlino
// beside its data directory parlino/, every request a child process with a
// CGI environment. The tests see what visitors see: pages and files.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "engine/HUtils.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatProcess.h"
#include "tests/support/PlatRun.h"
#include "platform/PlatTime.h"

namespace fs = std::filesystem;

inline const std::string Html = "content-type:text/html\r\n\r\n";
inline const std::string Head =
    "<!DOCTYPE html>\r\n<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
    "<title>Orvane Parlino</title>\r\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\r\n"
    "<style>\r\nhtml{-webkit-text-size-adjust:100%;text-size-adjust:100%}\r\n"
    "a,td[colspan],td[nowrap]:not([width=\"10%\"]){overflow-wrap:anywhere}\r\nimg{max-width:100%;height:auto}\r\n"
    "pre{white-space:pre-wrap}\r\n@media (max-width:640px){\r\ntable{width:100%}\r\ntd,th{white-space:normal}\r\n"
    "input,textarea{font-size:16px}\r\ninput[type=text],textarea{width:100%;box-sizing:border-box}\r\n}\r\n"
    "</style></head>\r\n<body>\r\n";
inline const std::string Form = "<form method=\"post\" action=\"/cgi-bin/parlino\">\r\n", End = "</body></html>\r\n";
constexpr size_t R = TNewsRecord::RecordSize;

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
inline TNewsRecord Message(int id, int reply, const std::string& subject,
                           double time = plat::EncodeDateTime({2024, 5, 6, 7, 8, 9, 0})) {
  return {subject, "", "From " + subject, id, reply, time, 0, 0};
}
// The rows of a list page as "subject/indentation steps".
inline std::vector<std::string> Rows(const std::string& page) {
  std::vector<std::string> rows;
  const std::string cell = "WIDTH=65% NOWRAP>";
  for (size_t at = page.find(cell); at != std::string::npos; at = page.find(cell, at + 1)) {
    size_t link = page.find("<A HREF", at), subject = page.find("\">", link) + 2;
    rows.push_back(page.substr(subject, page.find("</A>", subject) - subject) + "/" +
                   std::to_string((link - at - cell.size()) / 18));
  }
  return rows;
}

inline std::vector<TNewsRecord> ReadRecords(const fs::path& file) {
  const std::string bytes = ReadFile(file);
  std::vector<TNewsRecord> records;
  for (size_t at = 0; at + R <= bytes.size(); at += R)
    records.push_back(TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(bytes.data() + at)));
  return records;
}

// What the tests of the forum served by a server's library share: a post by
// Ann of a text longer than any preload, url-encoded or multipart,
inline const std::string Multipart = "multipart/form-data; boundary=b0undary", LongText = [] {
  std::string text;
  for (int i = 0; i < 300; ++i) text += std::to_string(i) + " words\r\n";
  return text;
}();
inline std::string PostBody(bool multipart, const std::string& subject) {
  const std::string fields[][2] = {{"NEWNAME", "Ann"}, {"NEWEMAIL", "a@x"}, {"NEWTEXT", LongText},
                                   {"ACTION_NEWMESSAGE_POST", "1"}, {"NEWSUBJECT", subject}};
  std::string body;
  for (const auto& [name, value] : fields)
    body += multipart ? "--b0undary\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n"
                      : (body.empty() ? "" : "&") + name + "=" + UrlEncode(value);
  return multipart ? body + "--b0undary--\r\n" : body;
}
// its page, and the n-th record of the forum in dir it stored,
inline void ExpectStored(const std::string& page, const fs::path& dir, size_t n, const std::string& subject,
                         const std::string& script) {
  // The cookie's header line comes before the content type's.
  EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\nset-cookie:NEWSGROUP=N%3DAnn%26E%3Da%2540x;")) << page.substr(0, 200);
  EXPECT_TRUE(Has(page, "\r\n" + Html + Head + "<form method=\"post\" action=\"" + script + "\">")) << subject;
  const std::vector<TNewsRecord> records = ReadRecords(dir / "parlino_data.dat");
  ASSERT_EQ(records.size(), n + 1);
  EXPECT_EQ(records[n].Subject, subject);
  EXPECT_EQ(ReadFile(dir / ("parlino_" + std::to_string(records[n].Id) + ".txt")), LongText);
}
// and requests of many server threads, which never meet: each of 400 on 8
// threads gets the page it gets alone, then 16 posts at once are all stored.
// call(query, cookie, body) makes the server's request.
template <class Host, class MakeCall>
void ExpectRequestsOfManyThreadsNeverMeet(const Host& host, const fs::path& dir, MakeCall call) {
  const std::string post = "ACTION_NEWMESSAGE_POST=1&NEWEMAIL=e&NEWSUBJECT=s&NEWNAME=";
  WriteFile(dir / "parlino.ini", "[Parameters]\nEntries=4\nAllowHTML=0\n");  // read by every request
  for (int i = 0; i < 6; ++i) host.Serve(call("", "", post + "n&NEWTEXT=t"));
  const std::vector<TNewsRecord> seeded = ReadRecords(dir / "parlino_data.dat");
  std::vector<decltype(call("", "", ""))> calls, posts;
  for (int i = 0; i < 400; ++i) {
    const std::string id = std::to_string(seeded.at(i % 6).Id), fields[] = {"", "NOTHREAD=yes&PAGE=2&ACTION_SEARCH_NEXT=1",
        "VIEWID=" + id, "ACTION_NEWMESSAGE=1", "ACTION_REPLYMESSAGE=1&REPLYID=" + id, "VIEWID=x" + id, post + "only"};
    calls.push_back(call(fields[i % 7], "NEWSGROUP=N%3Dv" + std::to_string(i % 16) + "%26E%3Dv%2540x", ""));
  }
  const auto alone = host.ServeAll(calls, 1), together = host.ServeAll(calls, 8);
  for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(together[i].Output, alone[i].Output) << i;
  EXPECT_TRUE(Has(alone[3].Output, "name=\"NEWNAME\" value=\"v3\"")) << alone[3].Output;
  for (int i = 0; i < 16; ++i) posts.push_back(call("", "", post + "p" + std::to_string(i) + "&NEWTEXT=of+p" + std::to_string(i)));
  const auto stored = host.ServeAll(posts, 16);
  const std::vector<TNewsRecord> records = ReadRecords(dir / "parlino_data.dat");
  const auto text = [&](const TNewsRecord& r) { return ReadFile(dir / ("parlino_" + std::to_string(r.Id) + ".txt")); };
  for (int i = 0; i < 16; ++i) {
    EXPECT_TRUE(Has(stored[i].Output, "set-cookie:NEWSGROUP=N%3Dp" + std::to_string(i) + "%26")) << i;
    EXPECT_TRUE(Has(stored[i].Output, "Your message have been posted !")) << i;
    EXPECT_EQ(std::ranges::count(records, "of p" + std::to_string(i), text), 1) << i;
  }
}

class ForumSite : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("parlino-" + std::to_string(plat::ProcessId()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "parlino");
    fs::create_directories(root / "bin");
    program = (root / "bin" / "parlino").string();
    fs::copy_file(std::string(PARLINO_BINARY_DIR) + "/parlino", program);
    data = (root / "parlino" / "parlino").string();
  }
  void TearDown() override { fs::remove_all(root); }

  // A request killed after killAfterMs, when given, may end without a page.
  std::string Request(const std::string& query, const std::string& body = "", const std::string& cookie = "",
                      int killAfterMs = 0) {
    std::vector<std::string> args(tracer.begin() + !tracer.empty(), tracer.end());
    if (!tracer.empty()) args.push_back(program);
    plat::TRunResult r = plat::RunProgram(tracer.empty() ? program : tracer[0], args, {{"SERVER_SOFTWARE", "Apache/2.4"}, {"QUERY_STRING", query},
        {"SCRIPT_NAME", "/cgi-bin/parlino"}, {"HTTP_COOKIE", cookie}, {"CGI_LOG_DIR", root.string()},
        {"REQUEST_METHOD", body.empty() ? "GET" : "POST"}, {"CONTENT_LENGTH", std::to_string(body.size())},
        {"CONTENT_TYPE", "application/x-www-form-urlencoded"}}, body, killAfterMs ? killAfterMs : 30000);
    EXPECT_TRUE(r.ExitCode == 0 || killAfterMs) << r.Output;
    return r.Output;
  }
  std::string Post(const std::string& name, const std::string& email, const std::string& subject,
                   const std::string& text, const std::string& extra = "") {
    return Request("", "NEWNAME=" + UrlEncode(name) + "&NEWEMAIL=" + UrlEncode(email) + "&NEWSUBJECT=" +
                           UrlEncode(subject) + "&NEWTEXT=" + UrlEncode(text) + extra + "&ACTION_NEWMESSAGE_POST=Post");
  }
  std::vector<TNewsRecord> Records() const { return ReadRecords(data + "_data.dat"); }
  void Store(const std::vector<TNewsRecord>& records) const {
    std::string bytes(records.size() * R, '\0');
    for (size_t i = 0; i < records.size(); ++i) records[i].Encode(reinterpret_cast<unsigned char*>(&bytes[i * R]));
    WriteFile(data + "_data.dat", bytes);
  }
  std::string TextFile(int id) const { return data + "_" + std::to_string(id) + ".txt"; }

  fs::path root;
  std::string program, data;
  std::vector<std::string> tracer;  // a program that runs each request's program, and its arguments
};
