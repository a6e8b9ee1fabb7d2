#include "engine/HUtilsMultipart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/HUtils.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"

namespace {

namespace fs = std::filesystem;

const std::string DataDir = PARLINO_SOURCE_DIR "/tests/data/multipart/";

// The fake client: the body, how many bytes one read may deliver, and an
// offset at which reads start to fail.
struct FakeClient {
  std::string body;
  size_t pos = 0;
  size_t readSize = SIZE_MAX;
  size_t failAt = SIZE_MAX;
  int failResult = 0;
  std::string contentLength;
  int reads = 0;
};
thread_local FakeClient client;

int FakeReadClient(void* buffer, int count) {
  ++client.reads;
  if (client.pos >= client.failAt) return client.failResult;
  size_t n = std::min({static_cast<size_t>(count), client.readSize, client.body.size() - client.pos,
                       client.failAt - client.pos});
  std::memcpy(buffer, client.body.data() + client.pos, n);
  client.pos += n;
  return static_cast<int>(n);
}

std::string FakeGetVariable(const std::string& name) {
  return name == "CONTENT_LENGTH" ? client.contentLength : std::string();
}

std::string ReadFile(const std::string& path) {
  std::string contents;
  EXPECT_TRUE(plat::ReadWholeFile(path, contents)) << path;
  return contents;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

struct Parsed {
  std::string data;
  std::vector<std::string> tempFiles;
  std::vector<std::string> contents;  // of the temporary files, in order
  long read = 0;

  // The field data with each temporary path replaced by <tmpN>, so that
  // parses with different random names compare equal.
  std::string Normalized() const {
    std::string text = data;
    for (size_t i = 0; i < tempFiles.size(); ++i)
      text = Replaced(text, UrlEncode(tempFiles[i]), "<tmp" + std::to_string(i) + ">");
    return text;
  }
};

std::string Part(const std::string& boundary, const std::string& disposition, const std::string& content,
                 const std::string& type = "") {
  std::string part = "--" + boundary + "\r\nContent-Disposition: form-data; " + disposition + "\r\n";
  if (!type.empty()) part += "Content-Type: " + type + "\r\n";
  return part + "\r\n" + content + "\r\n";
}

std::string Close(const std::string& boundary) { return "--" + boundary + "--\r\n"; }

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() % 256);
  return bytes;
}

class MultipartReader : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = HttpFunctions();
    HttpFunctions().HttpReadClient = FakeReadClient;
    HttpFunctions().HttpGetVariable = FakeGetVariable;
    tempDir = (fs::temp_directory_path() /
               ("parlino_multipart_" + std::to_string(plat::ProcessId()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                  .string();
    fs::create_directories(tempDir);
  }
  void TearDown() override {
    HttpFunctions() = saved_;
    client = FakeClient{};
    fs::remove_all(tempDir);
  }

  // Parses body (CONTENT_LENGTH = its size unless given), reads and deletes
  // the temporary files.
  Parsed Parse(const std::string& body, size_t readSize = SIZE_MAX, const std::string& initialData = "",
               const std::string* contentLength = nullptr) {
    client = FakeClient{};
    client.body = body;
    client.readSize = readSize;
    client.contentLength = contentLength ? *contentLength : std::to_string(body.size());
    Parsed result;
    result.data = initialData;
    result.read = ReadMultipartData(result.data, tempDir, result.tempFiles);
    for (const std::string& path : result.tempFiles) {
      result.contents.push_back(plat::FileExists(path) ? ReadFile(path) : "<missing>");
      plat::DeleteFile(path);
    }
    return result;
  }

  std::string tempDir;

 private:
  THttpFunctionTable saved_;
};

const std::vector<size_t> ReadSizes = [] {
  std::vector<size_t> sizes;
  for (size_t n = 1; n <= 64; ++n) sizes.push_back(n);
  for (size_t n : {100, 255, 997, 4096, 65536, 131071, 131072, 200000}) sizes.push_back(n);
  sizes.push_back(SIZE_MAX);
  return sizes;
}();

TEST_F(MultipartReader, ReadsRecordedCurlFormWithFilesAndEmptyFileField) {
  const std::string body = ReadFile(DataDir + "curl_form.body");
  const std::string expected =
      "a=two+words&"
      "multi=line1%0D%0Aline2%0D%0A&"
      "bin_CONTENT_TYPE=+application/octet%2Dstream&bin=binary.bin&bin_FILENAME=<tmp0>&"
      "nofile_CONTENT_TYPE=+text/plain&nofile=&"
      "emptyfile_CONTENT_TYPE=+text/plain&emptyfile=empty.txt&emptyfile_FILENAME=<tmp1>&"
      "files_CONTENT_TYPE=+text/plain&files=a.txt&files_FILENAME=<tmp2>&"
      "files_CONTENT_TYPE=+image/gif&files=b.gif&files_FILENAME=<tmp3>&"
      "last=end&";
  const std::vector<std::string> files = {ReadFile(DataDir + "binary.bin"), "", ReadFile(DataDir + "a.txt"),
                                          ReadFile(DataDir + "b.gif")};
  const std::vector<std::string> stems = {"binary", "empty", "a", "b"};
  for (size_t readSize : ReadSizes) {
    SCOPED_TRACE("read size " + std::to_string(readSize));
    const Parsed parsed = Parse(body, readSize);
    ASSERT_EQ(parsed.Normalized(), expected);
    ASSERT_EQ(parsed.contents, files);
    EXPECT_EQ(parsed.read, static_cast<long>(body.size()));
    for (size_t i = 0; i < stems.size(); ++i) {
      const std::string name = plat::ExtractFileName(parsed.tempFiles[i]);
      EXPECT_EQ(plat::ExtractFilePath(parsed.tempFiles[i]), tempDir + "/");
      EXPECT_EQ(name.substr(name.size() - stems[i].size() - 4), stems[i] + ".tmp");
    }
    EXPECT_EQ(GetFieldValue("FILES", parsed.data, "none"), "a.txt\r\nb.gif");
    EXPECT_EQ(GetFieldValue("files_CONTENT_TYPE", parsed.data, "none"), " text/plain\r\n image/gif");
    EXPECT_EQ(GetFieldValue("nofile", parsed.data, NotAvailable), "");
  }
}

TEST_F(MultipartReader, KeepsFileLargerThanTheRingByteIdentical) {
  const std::string body = ReadFile(DataDir + "curl_big.body");
  const std::string big = ReadFile(DataDir + "big.bin");
  ASSERT_GT(big.size(), static_cast<size_t>(2 * MultipartRingSize));
  for (size_t readSize : {size_t{1}, size_t{7}, size_t{64}, size_t{4096}, size_t{131072}, SIZE_MAX}) {
    SCOPED_TRACE("read size " + std::to_string(readSize));
    const Parsed parsed = Parse(body, readSize);
    EXPECT_EQ(parsed.Normalized(),
              "before=1&big_CONTENT_TYPE=+application/octet%2Dstream&big=big.bin&big_FILENAME=<tmp0>&after=2&");
    ASSERT_EQ(parsed.contents.size(), 1u);
    EXPECT_TRUE(parsed.contents[0] == big) << "file differs, size " << parsed.contents[0].size();
  }
}

TEST_F(MultipartReader, ReadsBodyOfPythonEmailToolingWithContentTypeFirst) {
  const std::string body = ReadFile(DataDir + "python_email.body");
  const Parsed parsed = Parse(body, 13);
  EXPECT_EQ(parsed.Normalized(),
            "greeting_CONTENT_TYPE=+text/plain&greeting=two%0D%0Alines&"
            "upload_CONTENT_TYPE=+application/octet%2Dstream&upload=data.bin&upload_FILENAME=<tmp0>&");
  EXPECT_EQ(parsed.contents, std::vector<std::string>{ReadFile(DataDir + "crlf_only.bin")});
}

TEST_F(MultipartReader, ReadsRecordedForumPost) {
  const std::string type = ReadFile(DataDir + "forum_post.type");
  EXPECT_EQ(type.rfind("Content-Type: multipart/form-data; boundary=", 0), 0u);
  const Parsed parsed = Parse(ReadFile(DataDir + "forum_post.body"));
  EXPECT_TRUE(parsed.tempFiles.empty());
  EXPECT_EQ(GetFieldNamesOf(parsed.data),
            (std::vector<std::string>{"NEWNAME", "NEWEMAIL", "NEWSUBJECT", "NEWTEXT", "ACTION_NEWMESSAGE_POST"}));
  EXPECT_EQ(GetFieldValue("newname", parsed.data, "none"), "Anna Beispiel");
  EXPECT_EQ(GetFieldValue("NEWEMAIL", parsed.data, "none"), "anna@example.org");
  EXPECT_EQ(GetFieldValue("NEWSUBJECT", parsed.data, "none"), "Hello & welcome");
  EXPECT_EQ(GetFieldValue("NEWTEXT", parsed.data, "none"), ReadFile(DataDir + "forum_text.txt"));
  EXPECT_EQ(GetFieldValue("ACTION_NEWMESSAGE_POST", parsed.data, "none"), "Send");
}

struct BodyCase {
  const char* behaviour;
  std::string body;
  std::string expected;                // normalized field data
  std::vector<std::string> contents;  // of the temporary files
};

TEST_F(MultipartReader, HandlesPartsAsBrowsersAndOddClientsSendThem) {
  const std::string b = "----b0undary42";
  const std::string zero("a\0b", 3);
  // Any occurrence of the boundary is a delimiter; everything short of it
  // is content.
  const std::string tricky = "x\r\n--" + b.substr(0, b.size() - 1) + "\r\n--" + b.substr(0, 9) + "Y" +
                             b.substr(10) + "\r\n--" + b.substr(0, b.size() - 1) + "X\n--\r\n--\r\n";
  const std::vector<BodyCase> cases = {
      {"text field ending in CR LF loses only that CR LF",
       Part(b, "name=\"t\"", "one\r\n\r\ntwo\r\n") + Close(b), "t=one%0D%0A%0D%0Atwo%0D%0A&", {}},
      {"text value is cut at its first zero byte", Part(b, "name=\"z\"", zero) + Close(b), "z=a&", {}},
      {"part without a name is dropped",
       Part(b, "label=\"x\"", "data", "text/plain") + Part(b, "name=\"k\"", "v") + Close(b), "k=v&", {}},
      {"content type keeps its leading blank and loses its parameters",
       Part(b, "name=\"t\"", "v", "text/plain; charset=utf-8") + Close(b),
       "t_CONTENT_TYPE=+text/plain&t=v&", {}},
      {"file without content type is stored all the same",
       Part(b, "name=\"f\"; filename=\"f.txt\"", "hello") + Close(b), "f=f.txt&f_FILENAME=<tmp0>&", {"hello"}},
      {"empty client file name gives an ordinary empty field",
       Part(b, "name=\"f\"; filename=\"\"", "", "application/octet-stream") + Close(b),
       "f_CONTENT_TYPE=+application/octet%2Dstream&f=&", {}},
      {"file content keeps CR LF, dashes and near-copies of the boundary",
       Part(b, "name=\"f\"; filename=\"t.bin\"", tricky, "x") + Close(b),
       "f_CONTENT_TYPE=+x&f=t.bin&f_FILENAME=<tmp0>&", {tricky}},
      {"a delimiter preceded by a bare line feed ends the content there",
       "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"n.txt\"\n\nab\r\r\n\n--" + b +
           "--",
       "f=n.txt&f_FILENAME=<tmp0>&", {"ab\r\r\n"}},
      {"names and values are trimmed inside the quotes",
       Part(b, "name=\" sp \"; filename=\" f.txt \"", "1") + Close(b), "sp=f.txt&sp_FILENAME=<tmp0>&", {"1"}},
      {"raw names are not encoded, values are",
       Part(b, "name=\"a b+c\"", "x&y=z") + Close(b), "a b+c=x%26y%3Dz&", {}},
      {"a missing closing delimiter drops only the incomplete part",
       Part(b, "name=\"a\"", "1") + Part(b, "name=\"f\"; filename=\"f.txt\"", "partial", "text/plain"),
       "a=1&", {""}},  // listed so that it is deleted with the request
      {"an incomplete header block drops the part",
       Part(b, "name=\"a\"", "1") + "--" + b + "\r\nContent-Disposition: form-data; name=\"x\"\r\n", "a=1&", {}},
      {"a closing delimiter without line end completes the body",
       Part(b, "name=\"a\"", "1") + "--" + b + "--", "a=1&", {}},
      {"bytes after the closing delimiter are ignored",
       Part(b, "name=\"a\"", "1") + Close(b) + "epilogue\r\n\r\nmore", "a=1&", {}},
      {"preamble before the first delimiter line belongs to nothing",
       "--" + b + "\r\n\r\n\r\npreamble\r\n" + Part(b, "name=\"a\"", "1") + Close(b), "a=1&", {}},
      {"name attribute must come first in the line",
       Part(b, "filename=\"f.txt\"; name=\"late\"", "1") + Close(b), "f.txt=f.txt&f.txt_FILENAME=<tmp0>&",
       {"1"}},
      {"empty part content", Part(b, "name=\"e\"", "") + Close(b), "e=&", {}},
      {"lines ended by line feeds only",
       "--" + b + "\nContent-Disposition: form-data; name=\"lf\"\n\nv\n--" + b + "--\n", "lf=v&", {}},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.behaviour);
    for (size_t readSize : {size_t{1}, size_t{2}, size_t{5}, size_t{64}, SIZE_MAX}) {
      const Parsed parsed = Parse(c.body, readSize);
      EXPECT_EQ(parsed.Normalized(), c.expected) << "read size " << readSize;
      EXPECT_EQ(parsed.contents, c.contents) << "read size " << readSize;
    }
  }
}

TEST_F(MultipartReader, AppendsToExistingFieldData) {
  const Parsed parsed = Parse(Part("bbbbbb", "name=\"a\"", "1") + Close("bbbbbb"), SIZE_MAX, "q=0&");
  EXPECT_EQ(parsed.data, "q=0&a=1&");
}

TEST_F(MultipartReader, TreatsBoundaryLineShorterThanSixAsMalformed) {
  for (const std::string boundary : {"", "-", "ab", "bbb"}) {
    SCOPED_TRACE("boundary \"" + boundary + "\"");
    const Parsed parsed =
        Parse(Part(boundary, "name=\"f\"; filename=\"f.txt\"", "x") + Close(boundary), SIZE_MAX, "q=0&");
    EXPECT_EQ(parsed.data, "q=0&");
    EXPECT_TRUE(parsed.tempFiles.empty());
  }
  const Parsed six = Parse(Part("bbbb", "name=\"a\"", "1") + Close("bbbb"));
  EXPECT_EQ(six.data, "a=1&");
}

TEST_F(MultipartReader, EmptiesFieldDataWhenAReadFails) {
  const std::string b = "----fail";
  const std::string body = Part(b, "name=\"a\"", "1") + Part(b, "name=\"f\"; filename=\"f.bin\"",
                                                             RandomBytes(300000, 3), "x") + Close(b);
  for (int result : {0, -1}) {
    for (size_t failAt : {size_t{0}, size_t{10}, size_t{200}, size_t{150000}, body.size() - 1}) {
      SCOPED_TRACE("result " + std::to_string(result) + " at " + std::to_string(failAt));
      client = FakeClient{};
      client.body = body;
      client.readSize = 1000;
      client.failAt = failAt;
      client.failResult = result;
      client.contentLength = std::to_string(body.size());
      std::string data = "q=0&";
      std::vector<std::string> tempFiles;
      EXPECT_EQ(ReadMultipartData(data, tempDir, tempFiles), static_cast<long>(failAt));
      EXPECT_EQ(data, "");
      // The first refill fills the whole ring before parsing starts.
      EXPECT_EQ(tempFiles.size(), failAt >= static_cast<size_t>(MultipartRingSize) ? 1u : 0u);
      for (const std::string& path : tempFiles) {
        // Closed: an exclusive open succeeds at once.
        plat::TFile file;
        EXPECT_TRUE(file.Open(path, plat::TFileAccess::ReadWrite, plat::TShareKind::Exclusive));
        file.Close();
        plat::DeleteFile(path);
      }
    }
  }
}

TEST_F(MultipartReader, CountsMissingBodyBytesAsAFailedRead) {
  const std::string body = Part("bbbbbb", "name=\"a\"", "1") + Close("bbbbbb");
  const std::string longer = std::to_string(body.size() + 10);
  const Parsed parsed = Parse(body, SIZE_MAX, "q=0&", &longer);
  EXPECT_EQ(parsed.data, "");
  EXPECT_EQ(parsed.read, static_cast<long>(body.size()));
}

TEST_F(MultipartReader, ReadsOnlyTheAnnouncedLength) {
  const std::string body = Part("bbbbbb", "name=\"a\"", "1") + Part("bbbbbb", "name=\"b\"", "2") + Close("bbbbbb");
  const std::string cut = std::to_string(body.find("name=\"b\""));
  const Parsed parsed = Parse(body, SIZE_MAX, "", &cut);
  EXPECT_EQ(parsed.data, "a=1&");
  EXPECT_EQ(parsed.read, std::stol(cut));
}

TEST_F(MultipartReader, ReadsNothingWithoutANumericContentLength) {
  const std::string body = Part("bbbbbb", "name=\"a\"", "1") + Close("bbbbbb");
  for (const std::string length : {"", "abc", "-5", "0", " 12", "99999999999"}) {
    const Parsed parsed = Parse(body, SIZE_MAX, "q=0&", &length);
    EXPECT_EQ(parsed.data, "q=0&") << length;
    EXPECT_EQ(parsed.read, 0) << length;
    EXPECT_EQ(client.reads, 0) << length;
  }
}

TEST_F(MultipartReader, KeepsTemporaryFilesInsideTheTempDirForHostileNames) {
  struct Case {
    std::string clientName, stem;
  };
  const std::vector<Case> cases = {
      {"../../b.gif", "b"},
      {"C:\\Users\\a\\b.gif", "b"},
      {"..", ""},
      {".hidden", ""},
      {"a/../../../etc/passwd", "passwd"},
      {"x\\..\\..\\y.z", "y"},
      {"....", ""},
      {"/etc/passwd", "passwd"},
      {"dir/", ""},
      {"..\\..", ""},
      {"%2e%2e%2fevil", "%2e%2e%2fevil"},
      {"na me.tar.gz", "na me"},
      {std::string(300, 'n') + ".txt", std::string(200, 'n')},
  };
  const std::string b = "--hostile--";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clientName);
    const Parsed parsed = Parse(Part(b, "name=\"f\"; filename=\"" + c.clientName + "\"", "x") + Close(b));
    ASSERT_EQ(parsed.tempFiles.size(), 1u);
    const std::string& path = parsed.tempFiles[0];
    EXPECT_EQ(plat::ExtractFilePath(path), tempDir + "/");
    const std::string name = plat::ExtractFileName(path);
    const size_t digits = name.find_first_not_of("0123456789");
    EXPECT_GE(digits, 1u);
    EXPECT_LE(digits, 7u);
    EXPECT_EQ(name.substr(digits), c.stem + ".tmp");
    EXPECT_EQ(parsed.contents, std::vector<std::string>{"x"});
    EXPECT_EQ(GetFieldValue("f", parsed.data, "none"), c.clientName);
  }
}

TEST_F(MultipartReader, RaisesCreateErrorWhenTheTempDirIsMissing) {
  const std::string missing = tempDir + "/missing";
  client = FakeClient{};
  client.body = Part("bbbbbb", "name=\"f\"; filename=\"f.txt\"", "x") + Close("bbbbbb");
  client.contentLength = std::to_string(client.body.size());
  std::string data;
  std::vector<std::string> tempFiles;
  try {
    ReadMultipartData(data, missing, tempFiles);
    ADD_FAILURE() << "no exception";
  } catch (const plat::EFCreateError& error) {
    const std::string message = error.Message();
    EXPECT_EQ(message.rfind("Datei " + missing + "/", 0), 0u) << message;
    EXPECT_NE(message.find(".tmp kann nicht erstellt werden"), std::string::npos) << message;
  }
  EXPECT_TRUE(tempFiles.empty());
}

TEST_F(MultipartReader, StreamsHeaderLinesLongerThanTheRing) {
  const std::string b = "bbbbbbbb";
  const std::string hugeLine = "X-Padding: " + std::string(300000, 'p') + "\r\n";
  const std::string body = "--" + b + "\r\n" + hugeLine + "Content-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" +
                           Part(b, "name=\"c\"", "3") + Close(b);
  EXPECT_EQ(Parse(body, 4096).data, "a=1&c=3&");
}

TEST_F(MultipartReader, CutsHeaderLinesAt2047Characters) {
  const std::string b = "bbbbbbbb";
  const std::string prefix = "Content-Disposition: form-data; ";
  auto bodyWithNameAt = [&](size_t column) {
    const std::string line = prefix + std::string(column - prefix.size(), ' ') + "name=\"abc\"";
    return "--" + b + "\r\n" + line + "\r\n\r\nv\r\n" + Close(b);
  };
  // The name's closing quote is the 2047th character: the name is whole.
  EXPECT_EQ(Parse(bodyWithNameAt(2047 - 10)).data, "abc=v&");
  // Cut inside the name: the text up to the cut is the name.
  EXPECT_EQ(Parse(bodyWithNameAt(2047 - 8)).data, "ab=v&");
  // Cut before the attribute: the part has no name and is dropped.
  EXPECT_EQ(Parse(bodyWithNameAt(2047 - 3)).data, "");
}

TEST_F(MultipartReader, EndsAtTextPartThatDoesNotFitTheRing) {
  const std::string b = "----text-limit";
  const size_t fits = MultipartRingSize - 4 - (b.size());
  for (size_t size : {fits, fits + 1}) {
    SCOPED_TRACE(size);
    const std::string value(size, 'v');
    const std::string body = Part(b, "name=\"a\"", "1") + Part(b, "name=\"big\"", value) +
                             Part(b, "name=\"c\"", "3") + Close(b);
    const Parsed parsed = Parse(body, 1000);
    if (size == fits) {
      EXPECT_EQ(parsed.data, "a=1&big=" + value + "&c=3&");
      EXPECT_EQ(parsed.read, static_cast<long>(body.size()));
    } else {
      EXPECT_EQ(parsed.data, "a=1&");
      EXPECT_LT(parsed.read, static_cast<long>(body.size()));
    }
  }
}

// Whatever boundary length, a delimiter that the ring's refill splits is
// still found and none of it reaches the file.
TEST_F(MultipartReader, FindsDelimiterSplitAtTheSpillPoint) {
  for (const std::string& b : {std::string("------------------------4b58dcb079875853"), std::string(252, 'L')}) {
    SCOPED_TRACE("boundary length " + std::to_string(b.size()));
    const std::string head = "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"s.bin\"\r\n\r\n";
    const std::string tail = "\r\n--" + b + "--\r\n";
    const std::string random = RandomBytes(MultipartRingSize + 1000, 9);
    const size_t contentStart = head.size();
    // The ring is refilled when it holds 131072 bytes and again after the
    // first spill; a delimiter starting at D straddles a refill at T when
    // D < T < D + 4 + boundary length.
    std::vector<size_t> sizes;
    for (size_t refill : {size_t(MultipartRingSize), size_t(MultipartRingSize) + contentStart})
      for (size_t size = refill - contentStart - b.size() - 6; size <= refill - contentStart + 2; ++size)
        sizes.push_back(size);
    for (size_t size : sizes) {
      std::string content = random.substr(0, size);
      if (size >= 3) content.replace(size - 3, 3, "\r\n-");
      const Parsed parsed = Parse(head + content + tail);
      ASSERT_EQ(parsed.contents.size(), 1u);
      ASSERT_TRUE(parsed.contents[0] == content) << "content size " << size << ", file size "
                                                 << parsed.contents[0].size();
    }
  }
}

TEST_F(MultipartReader, GivesSameResultForEveryReadSize) {
  const std::string b = "---------------------------7d91b03a20128";
  const std::string body = Part(b, "name=\"text\"", "line\r\nline\r\n") +
                           Part(b, "name=\"f1\"; filename=\"one.bin\"", RandomBytes(200000, 1), "application/x") +
                           Part(b, "name=\"f2\"; filename=\"two.bin\"", RandomBytes(70000, 2)) +
                           Part(b, "name=\"after\"", "x") + Close(b);
  const Parsed reference = Parse(body);
  EXPECT_EQ(reference.Normalized(),
            "text=line%0D%0Aline%0D%0A&f1_CONTENT_TYPE=+application/x&f1=one.bin&f1_FILENAME=<tmp0>&"
            "f2=two.bin&f2_FILENAME=<tmp1>&after=x&");
  ASSERT_EQ(reference.contents.size(), 2u);
  EXPECT_TRUE(reference.contents[0] == RandomBytes(200000, 1));
  EXPECT_TRUE(reference.contents[1] == RandomBytes(70000, 2));
  for (size_t readSize : {size_t{1}, size_t{3}, size_t{17}, size_t{64}, size_t{1000}, size_t{65537}}) {
    const Parsed parsed = Parse(body, readSize);
    EXPECT_EQ(parsed.Normalized(), reference.Normalized()) << readSize;
    EXPECT_TRUE(parsed.contents == reference.contents) << readSize;
  }
}

}  // namespace
