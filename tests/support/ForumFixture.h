// A forum site as a web server runs it: the program copied to bin/parlino
// beside its data directory parlino/, every request a child process with a
// CGI environment. The tests see what visitors see: pages and files.
#pragma once
#include <gtest/gtest.h>

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
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
inline TNewsRecord Message(int id, int reply, const std::string& subject,
                           double time = plat::EncodeDateTime({2024, 5, 6, 7, 8, 9, 0})) {
  TNewsRecord r;
  r.Subject = subject, r.Name = "From " + subject, r.Id = id, r.ReplyId = reply, r.Time = time;
  return r;
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

class ForumSite : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("parlino-" + std::to_string(plat::ProcessId()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "parlino");
    Install("bin/parlino");
    data = (root / "parlino" / "parlino").string();
  }
  void TearDown() override { fs::remove_all(root); }

  // Later requests run the program copied to root/path.
  void Install(const std::string& path) {
    program = (root / path).string();
    fs::create_directories(fs::path(program).parent_path());
    fs::copy_file(std::string(PARLINO_BINARY_DIR) + "/parlino", program, fs::copy_options::overwrite_existing);
  }
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
  std::vector<TNewsRecord> Records() const {
    const std::string bytes = ReadFile(data + "_data.dat");
    std::vector<TNewsRecord> records;
    for (size_t at = 0; at + R <= bytes.size(); at += R)
      records.push_back(TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(bytes.data() + at)));
    return records;
  }
  void Store(const std::vector<TNewsRecord>& records) const {
    std::string bytes(records.size() * R, '\0');
    for (size_t i = 0; i < records.size(); ++i) records[i].Encode(reinterpret_cast<unsigned char*>(&bytes[i * R]));
    WriteFile(data + "_data.dat", bytes);
  }
  void Ini(const std::string& text) const { WriteFile(data + ".ini", text); }
  std::string TextFile(int id) const { return data + "_" + std::to_string(id) + ".txt"; }

  fs::path root;
  std::string program, data;
  std::vector<std::string> tracer;  // a program that runs each request's program, and its arguments
};
