#include "engine/HUtilsMultipart.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/PlatExcept.h"
#include "platform/PlatProcess.h"
#include "tests/support/FakeEngine.h"

namespace {

std::string Read(const std::string& path) {
  std::string contents;
  EXPECT_TRUE(plat::ReadWholeFile(path, contents)) << path;
  return contents;
}

std::string Recorded(const std::string& name) { return Read(PARLINO_SOURCE_DIR "/tests/data/multipart/" + name); }

std::string Part(const std::string& boundary, const std::string& disposition, const std::string& content) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + content + "\r\n";
}

std::string Close(const std::string& boundary) { return "--" + boundary + "--\r\n"; }

// A client whose reads deliver at most ReadSize bytes. Failing reads are
// fuzz_multipart's: the field data emptied, a begun upload listed all the same.
class Client : public FakeEngine {
 public:
  size_t ReadSize = SIZE_MAX, Pos = 0;
  int ReadClient(void* buffer, int count) override {
    const size_t n = std::min({static_cast<size_t>(count), ReadSize, Body.size() - Pos});
    std::memcpy(buffer, Body.data() + Pos, n);
    Pos += n;
    return static_cast<int>(n);
  }
};

class MultipartReader : public ::testing::Test {
 protected:
  MultipartReader() { std::filesystem::create_directories(tempDir); }
  ~MultipartReader() override { std::filesystem::remove_all(tempDir); }

  // Parses the body (CONTENT_LENGTH its size unless given) after some field
  // data, and gives the data it adds with each temporary file's path
  // replaced by <its content>, or " +file" at the end for a file the data
  // does not name. The files must be in the upload directory.
  std::string Parse(const std::string& body, size_t readSize = SIZE_MAX, const std::string& length = "") {
    client.Body = body;
    client.ReadSize = readSize;
    client.Pos = 0;
    int announced = 0;
    plat::TryStrToInt(length.empty() ? std::to_string(body.size()) : length, announced);
    std::string data = "q=0&";
    tempFiles.clear();
    const long read = ReadMultipartData(data, announced, uploadDir, tempFiles);
    EXPECT_EQ(read, static_cast<long>(client.Pos));  // what the caller skips must be what was read
    data = data.rfind("q=0&", 0) == 0 ? data.substr(4) : "<lost>" + data;
    for (const std::string& path : tempFiles) {
      EXPECT_EQ(plat::ExtractFilePath(path), uploadDir + "/");
      const size_t at = data.find(UrlEncode(path));
      at == std::string::npos ? data += " +file" : data.replace(at, UrlEncode(path).size(), "<" + Read(path) + ">");
      plat::DeleteFile(path);
    }
    return data;
  }

  const std::string tempDir = std::filesystem::temp_directory_path().string() + "/parlino_multipart_" +
                              std::to_string(plat::ProcessId());
  std::string uploadDir = tempDir;
  std::vector<std::string> tempFiles;
  Client client;
};

TEST_F(MultipartReader, HandlesPartsAsBrowsersAndOddClientsSendThem) {
  const std::string b = "----b0undary42", head = "--" + b + "\r\nContent-Disposition: form-data; name=\"";
  // Any occurrence of the boundary is a delimiter; everything short of it
  // is content.
  const std::string tricky = "x\r\n--" + b.substr(0, b.size() - 1) + "\r\n--" + b.substr(0, 9) + "Y" +
                             b.substr(10) + "\r\n--" + b.substr(0, b.size() - 1) + "X\n--\r\n--\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // A text field loses only its final CR LF, and is cut at a zero byte.
      {Part(b, "name=\"t\"", "one\r\n\r\ntwo\r\n") + Part(b, "name=\"z\"", std::string("a\0b", 3)) + Close(b),
       "t=one%0D%0A%0D%0Atwo%0D%0A&z=a&"},
      {Part(b, "label=\"unnamed\"", "x") + Part(b, "name=\"e\"", "") + Close(b), "e=&"},
      {"--" + b + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Disposition: form-data; name=\"a b+c\"" +
           "\r\n\r\nx&y=z\r\n" + Close(b),
       "a b+c_CONTENT_TYPE=+text/plain&a b+c=x%26y%3Dz&"},
      {Part(b, "name=\"f\"; filename=\"\"", "") + Close(b), "f=&"},
      {Part(b, "name=\"f\"; filename=\"t.bin\"", tricky) + Close(b), "f=t.bin&f_FILENAME=<" + tricky + ">&"},
      // A delimiter after a bare line feed ends the content there.
      {head + "f\"; filename=\"n.txt\"\n\nab\r\r\n\n--" + b + "--", "f=n.txt&f_FILENAME=<ab\r\r\n>&"},
      // An incomplete last part is dropped, not its file.
      {Part(b, "name=\"a\"", "1") + Part(b, "name=\"f\"; filename=\"f.txt\"", "partial"), "a=1& +file"},
  };
  for (const auto& [body, data] : cases)
    for (size_t readSize : {size_t{1}, size_t{5}, SIZE_MAX}) EXPECT_EQ(Parse(body, readSize), data) << readSize;
}

// Whatever the boundary's length, a delimiter that a refill of the ring
// splits is still found and none of it reaches the file.
TEST_F(MultipartReader, FindsDelimiterSplitByARefill) {
  const std::string bytes = Recorded("big.bin");
  for (const std::string& b : {std::string("------------------------4b58dcb079875853"), std::string(252, 'L')}) {
    const std::string head = "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"s\"\r\n\r\n";
    // Refills happen when the ring holds MultipartRingSize bytes and after
    // the first spill; a delimiter starting at D straddles a refill at T
    // when D < T < D + 4 + boundary length.
    for (size_t refill : {size_t(MultipartRingSize), MultipartRingSize + head.size()})
      for (size_t size = refill - head.size() - b.size() - 6; size <= refill - head.size() + 2; ++size) {
        const std::string content = bytes.substr(0, size - 3) + "\r\n-";
        ASSERT_TRUE(Parse(head + content + "\r\n" + Close(b)) == "f=s&f_FILENAME=<" + content + ">&") << size;
      }
  }
}

TEST_F(MultipartReader, ReadsOnlyAnAnnouncedLengthAndDropsATextPartLargerThanTheRing) {
  const std::string b = "----text-limit";
  for (size_t size : {MultipartRingSize - 4 - b.size(), MultipartRingSize - 3 - b.size()}) {
    const std::string value(size, 'v'), body = Part(b, "name=\"a\"", "1") + Part(b, "name=\"big\"", value);
    EXPECT_EQ(Parse(body + Part(b, "name=\"c\"", "3") + Close(b), 1000),
              size + 4 + b.size() == MultipartRingSize ? "a=1&big=" + value + "&c=3&" : "a=1&");
  }
  const std::string body = Part(b, "name=\"a\"", "1") + Part(b, "name=\"b\"", "2") + Close(b);
  const size_t cut = body.find("name=\"b\"");
  EXPECT_EQ(Parse(body, SIZE_MAX, std::to_string(cut)), "a=1&");
  EXPECT_EQ(client.Pos, cut);
}

TEST_F(MultipartReader, KeepsTemporaryFilesInsideTheUploadDirectory) {
  const std::vector<std::string> clientNames = {"../../b.gif", "C:\\Users\\a\\b.gif", "..", "x\\..\\..\\y.z", "dir/",
                                                std::string(300, 'n') + ".txt"};
  for (const std::string& clientName : clientNames) {
    const std::string body = Part("hostile", "name=\"f\"; filename=\"" + clientName + "\"", "x") + Close("hostile");
    EXPECT_EQ(Parse(body), "f=" + UrlEncode(clientName) + "&f_FILENAME=<x>&");
  }
  uploadDir = tempDir + "/missing";
  EXPECT_THROW(Parse(Part("bbbbbb", "name=\"f\"; filename=\"f.txt\"", "x") + Close("bbbbbb")), plat::EFCreateError);
}

}  // namespace
