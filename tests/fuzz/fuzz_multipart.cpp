// The multipart/form-data reader on arbitrary bodies, read through a fake
// client whose reads are cut to sizes taken from the input. Temporary files
// go to a directory of this process's own; every one of them must be listed
// in TempFiles, lie in that directory, and be gone once the request's
// clean-up has run.
//
// Input, split at line feeds:
//   raw form:       read plan, CONTENT_LENGTH text (empty: the body's size),
//                   then the body as it is;
//   generated form: "G" + read plan, then parts separated by 0x02, each
//                   name 0x01 client file name 0x01 content type 0x01
//                   content; the harness writes a well-formed body and
//                   checks the fields and files it must give exactly.
// Read plan bytes, used in turn: 0xFF fails the read, 0xFE returns 0,
// below 0x80 at most b + 1 bytes, else at most (b - 0x7F) KiB. In contents
// 0x7F n stands for (n + 1) * 1000 bytes of a pattern.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HUtils.h"
#include "engine/HUtilsMultipart.h"
#include "platform/PlatFiles.h"
#include "platform/PlatText.h"

namespace {

struct Client {
  std::string body;
  size_t pos = 0;
  std::string plan;
  size_t step = 0;
  std::string contentLength;
  long delivered = 0;
  long announced = -1;  // -1: not a number
  bool ended = false;  // a read returned 0 or failed
  bool failed = false;
};
thread_local Client client;

std::string FakeVariable(const std::string& name) {
  return name == "CONTENT_LENGTH" ? client.contentLength : std::string();
}

int FakeRead(void* buffer, int count) {
  fuzz::Check(count > 0, "the reader asks for at least one byte");
  fuzz::Check(!client.ended, "the reader stops reading once the client has ended or failed");
  fuzz::Check(client.announced < 0 || count <= client.announced - client.delivered,
              "the reader never asks for more than the announced length leaves",
              std::to_string(count) + " asked after " + std::to_string(client.delivered) + " of " +
                  std::to_string(client.announced));
  int allowed = count;
  if (!client.plan.empty()) {
    unsigned char b = static_cast<unsigned char>(client.plan[client.step++ % client.plan.size()]);
    if (b == 0xFF) {
      client.ended = client.failed = true;
      return -1;
    }
    if (b == 0xFE) allowed = 0;
    else allowed = std::min(count, b < 0x80 ? b + 1 : (b - 0x7F) * 1024);
  }
  int n = static_cast<int>(std::min<size_t>(allowed, client.body.size() - client.pos));
  if (n == 0) {
    client.ended = true;
    return 0;
  }
  std::copy_n(client.body.data() + client.pos, n, static_cast<char*>(buffer));
  client.pos += n;
  client.delivered += n;
  return n;
}

std::string Expand(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0x7F && i + 1 < text.size()) {
      size_t n = (static_cast<unsigned char>(text[i + 1]) + 1u) * 1000u;
      for (size_t k = 0; k < n; ++k) {
        char c = static_cast<char>((k * 131 + out.size()) % 251);
        out += c == 'Z' ? 'z' : c;
      }
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Header text cannot hold control characters or quotation marks, nor
// blanks at its ends, nor the text of another header attribute.
std::string HeaderText(std::string_view raw) {
  std::string out;
  for (char c : raw)
    if (static_cast<unsigned char>(c) >= 32 && c != '"' && c != ';') out += c;
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  while (!out.empty() && out.back() == ' ') out.pop_back();
  for (const char* word : {"name=", "Content-Type:"})
    for (size_t at; (at = out.find(word)) != std::string::npos;) out.erase(at, 1);
  return out;
}

struct Part {
  std::string name, fileName, type, content;
};

void RunReader(std::string& data, std::vector<std::string>& tempFiles, long& result) {
  result = ReadMultipartData(data, fuzz::ScratchDir() + "/tmp", tempFiles);
}

// Deletes the request's files as the engine's clean-up does and checks that
// nothing else was left in the temporary directory.
void CheckTempFiles(const std::vector<std::string>& tempFiles) {
  const std::string dir = fuzz::ScratchDir() + "/tmp";
  std::set<std::string> listed;
  for (const std::string& path : tempFiles) {
    fuzz::Check(path.compare(0, dir.size() + 1, dir + "/") == 0 &&
                    path.find('/', dir.size() + 1) == std::string::npos,
                "a temporary file lies in the temporary directory", path);
    fuzz::Check(listed.insert(plat::ExtractFileName(path)).second, "temporary file names are unique", path);
  }
  for (const std::string& name : fuzz::DirectoryNames(dir))
    fuzz::Check(listed.count(name) == 1, "every file in the temporary directory is in TempFiles", name);
  for (const std::string& path : tempFiles)
    if (plat::FileExists(path)) plat::DeleteFile(path);
  const std::vector<std::string> left = fuzz::DirectoryNames(dir);
  fuzz::Check(left.empty(), "no temporary file survives the request", left.empty() ? "" : left[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  const bool generated = !input.empty() && input[0] == 'G';
  const std::vector<std::string> lines = fuzz::Split(input, "\n", generated ? 2 : 3);
  if (lines.size() < (generated ? 2u : 3u)) return 0;

  static const bool ready = [] {
    plat::CreateDir(fuzz::ScratchDir() + "/tmp");
    THttpFunctionTable& table = HttpFunctions();
    table.HttpGetVariable = FakeVariable;
    table.HttpReadClient = FakeRead;
    return true;
  }();
  (void)ready;

  client = Client{};
  std::vector<Part> parts;
  std::string delimiter;
  if (generated) {
    client.plan = lines[0].substr(1);
    for (const std::string& described : fuzz::Split(lines[1], "\x02", 64)) {
      std::vector<std::string> f = fuzz::Split(described, "\x01", 4);
      f.resize(4);
      Part part{HeaderText(f[0]), HeaderText(f[1]), HeaderText(f[2]), Expand(f[3])};
      if (part.name.empty()) continue;
      // A text value is taken whole from the ring buffer.
      if (part.fileName.empty() && part.content.size() > 100000) part.content.resize(100000);
      parts.push_back(std::move(part));
    }
    delimiter = "Zq" + std::to_string(size) + "bound";
    std::string body = "--" + delimiter + "\r\n";
    for (const Part& part : parts) {
      std::string text = "Content-Disposition: form-data; name=\"" + part.name + "\"";
      if (!part.fileName.empty()) text += "; filename=\"" + part.fileName + "\"";
      text += "\r\n";
      if (!part.type.empty()) text += "Content-Type: " + part.type + "\r\n";
      text += "\r\n" + part.content;
      if (text.find(delimiter) != std::string::npos) return 0;
      body += text + "\r\n--" + delimiter + "\r\n";
    }
    body.insert(body.size() - 2, "--");
    client.body = body;
    client.contentLength = std::to_string(body.size());
  } else {
    client.plan = lines[0];
    client.body = lines[2];
    client.contentLength = lines[1].empty() ? std::to_string(lines[2].size()) : lines[1];
  }

  int announced = 0;
  if (plat::TryStrToInt(client.contentLength, announced)) client.announced = announced;

  std::string data = "before=1&";
  std::vector<std::string> tempFiles;
  long result = 0;
  const size_t descriptors = fuzz::OpenDescriptors();
  RunReader(data, tempFiles, result);
  fuzz::Check(fuzz::OpenDescriptors() == descriptors, "the reader leaves no file open");

  fuzz::Check(result == client.delivered, "the reader reports the bytes it read",
              std::to_string(result) + " reported, " + std::to_string(client.delivered) + " read");
  if (client.failed)
    fuzz::Check(data.empty(), "a failed read leaves no field data", fuzz::Show(data));
  else
    fuzz::Check(data.empty() || data.compare(0, 9, "before=1&") == 0, "the field data keeps what it had",
                fuzz::Show(data));

  if (generated && !client.ended) {
    // Every byte read, nothing failed: the fields and files are exact.
    std::string want = "before=1&";
    size_t file = 0;
    for (const Part& part : parts) {
      if (!part.type.empty()) want += part.name + "_CONTENT_TYPE=" + UrlEncode(" " + part.type) + "&";
      if (part.fileName.empty()) {
        want += part.name + "=" + UrlEncode(part.content.substr(0, part.content.find('\0'))) + "&";
        continue;
      }
      fuzz::Check(file < tempFiles.size(), "each uploaded file has a temporary file");
      want += part.name + "=" + UrlEncode(part.fileName) + "&" + part.name + "_FILENAME=" +
              UrlEncode(tempFiles[file]) + "&";
      const std::string stored = fuzz::ReadFile(tempFiles[file]);
      fuzz::Check(stored == part.content, "an uploaded file arrives intact",
                  part.name + ": " + std::to_string(stored.size()) + " bytes stored, " +
                      std::to_string(part.content.size()) + " sent");
      ++file;
    }
    fuzz::Check(file == tempFiles.size(), "only uploaded files get temporary files");
    fuzz::Check(data == want, "a well-formed body gives its fields", "got  " + fuzz::Show(data, 400) +
                                                                       "\n    want " + fuzz::Show(want, 400));
  }
  CheckTempFiles(tempFiles);
  return 0;
}
