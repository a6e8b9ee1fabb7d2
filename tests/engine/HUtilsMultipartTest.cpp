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

std::string Part(const std::string& boundary, const std::string& disposition, const std::string& content) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + content + "\r\n";
}

std::string Close(const std::string& boundary) { return "--" + boundary + "--\r\n"; }

class MultipartReader : public ::testing::Test {
 protected:
  MultipartReader() { std::filesystem::create_directories(tempDir); }
  ~MultipartReader() override { std::filesystem::remove_all(tempDir); }

  // Parses the body's first length bytes, read in pieces of at most
  // readSize, after some field data, and gives the data it adds with each
  // temporary file's path replaced by <its content>, or " +file" at the end
  // for a file the data does not name. The files must be in the upload
  // directory. Failing reads are fuzz_multipart's: the field data emptied,
  // a begun upload listed all the same.
  std::string Parse(const std::string& body, size_t readSize = SIZE_MAX, size_t length = SIZE_MAX) {
    client.Body = body;
    client.ReadSize = readSize;
    client.Pos = 0;
    std::string data = "q=0&";
    std::vector<std::string> tempFiles;
    const long read = ReadMultipartData(data, static_cast<int>(std::min(length, body.size())), uploadDir, tempFiles);
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
  FakeEngine client;
};

// Part headers with a Content-Type are the engines' contract rows.
TEST_F(MultipartReader, HandlesPartsAsBrowsersAndOddClientsSendThem) {
  const std::string b = "----b0undary42", a = Part(b, "name=\"a\"", "1"), c = Part(b, "name=\"c\"", "3") + Close(b);
  // Any occurrence of the boundary is a delimiter; everything short of it
  // is content.
  const std::string tricky = "x\r\n--" + b.substr(0, b.size() - 1) + "\r\n--" + b.substr(0, 9) + "Y" +
                             b.substr(10) + "\r\n--" + b.substr(0, b.size() - 1) + "X\n--\r\n--\r\n";
  const std::string fits(MultipartRingSize - 4 - b.size(), 'v');
  const std::vector<std::pair<std::string, std::string>> cases = {
      // A text field loses only its final CR LF, and is cut at a zero byte.
      {Part(b, "name=\"t\"", "one\r\n\r\nx&y=z\r\n") + Part(b, "name=\"z\"", std::string("a\0b", 3)) + Close(b),
       "t=one%0D%0A%0D%0Ax%26y%3Dz%0D%0A&z=a&"},
      {Part(b, "label=\"unnamed\"", "x") + Part(b, "name=\"e\"", "") + Close(b), "e=&"},
      {Part(b, "name=\"f\"; filename=\"\"", "") + Close(b), "f=&"},
      {Part(b, "name=\"f\"; filename=\"t.bin\"", tricky) + Close(b), "f=t.bin&f_FILENAME=<" + tricky + ">&"},
      // A delimiter after a bare line feed ends the content there.
      {"--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"n.txt\"\n\nab\r\r\n\n--" + b + "--",
       "f=n.txt&f_FILENAME=<ab\r\r\n>&"},
      // An incomplete last part is dropped, not its file; so is a text part
      // larger than the ring, with all that follows.
      {a + Part(b, "name=\"f\"; filename=\"f.txt\"", "partial"), "a=1& +file"},
      {a + Part(b, "name=\"big\"", fits) + c, "a=1&big=" + fits + "&c=3&"},
      {a + Part(b, "name=\"big\"", fits + "v") + c, "a=1&"},
  };
  for (const auto& [body, data] : cases)
    for (size_t readSize : {size_t{1}, size_t{5}, SIZE_MAX}) EXPECT_EQ(Parse(body, readSize), data) << readSize;
  // Only the announced length is read.
  EXPECT_EQ(Parse(a + c, SIZE_MAX, a.size() + 20), "a=1&");
  // Whatever the client's file name, the temporary file lies in the upload directory.
  const std::string names[] = {"../../b.gif", "C:\\Users\\a\\b.gif", "..", "dir/", std::string(300, 'n') + ".t"};
  for (const std::string& name : names)
    EXPECT_EQ(Parse(Part(b, "name=\"f\"; filename=\"" + name + "\"", "x") + Close(b)),
              "f=" + UrlEncode(name) + "&f_FILENAME=<x>&");
  uploadDir = tempDir + "/missing";
  EXPECT_THROW(Parse(Part(b, "name=\"f\"; filename=\"f.txt\"", "x") + Close(b)), plat::EFCreateError);
}

// Whatever the boundary's length, a delimiter that a refill of the ring
// splits is still found, after a file (none of it reaches the file) or a
// part without a name alike.
TEST_F(MultipartReader, FindsDelimiterSplitByARefill) {
  const std::string bytes = Read(PARLINO_SOURCE_DIR "/tests/data/multipart/big.bin");
  const std::string ring = bytes.substr(0, MultipartRingSize);
  for (const std::string& b : {std::string("------------------------4b58dcb079875853"), std::string(252, 'L')})
    for (const bool unnamed : {false, true}) {
      const std::string head = "--" + b + "\r\nContent-Disposition: form-data; " +
                               (unnamed ? "label=\"f\"" : "name=\"f\"; filename=\"s\"") + "\r\n\r\n";
      // Refills happen when the ring holds MultipartRingSize bytes and after
      // the first spill; a delimiter starting at D straddles a refill at T
      // when D < T < D + 4 + boundary length.
      for (size_t refill : {size_t(MultipartRingSize), MultipartRingSize + head.size()})
        for (size_t size = refill - head.size() - b.size() - 6; size <= refill - head.size() + 2; ++size) {
          const std::string content = bytes.substr(0, size - 3) + "\r\n-";
          // Past a nameless part, a ring's worth of file: the refill overwrites all the ring holds.
          const std::string next = unnamed ? Part(b, "name=\"g\"; filename=\"t\"", ring) : "";
          ASSERT_TRUE(Parse(head + content + "\r\n" + next + Close(b)) ==
                      (unnamed ? "g=t&g_FILENAME=<" + ring + ">&" : "f=s&f_FILENAME=<" + content + ">&")) << size;
        }
    }
}

}  // namespace
