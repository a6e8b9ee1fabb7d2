// The multipart/form-data reader, the body delivered in reads cut as the
// input says. Any body: no file left open, no byte read past the length told
// or after a read ended, each temporary file listed once for the clean-up,
// the field data kept, or emptied by a failed read. A form built from the
// input gives back its fields and files exactly.
// Input, split at line feeds: read plan, the raw body's announced length in
// decimal (empty: its size), then the body. Cut at 0x02, the body also gives
// the form's parts: name 0x01 file name 0x01 content, where 0x7F n stands for
// (n + 1) * 1000 bytes (past the reader's ring). Plan bytes in turn: 0xFF
// fails the read, 0xFE returns 0, others allow b + 1 bytes (from 0x80 on:
// b - 0x7F KiB).
#include "FuzzSupport.h"
#include "engine/HUtilsMultipart.h"

static thread_local struct { std::string body, plan; int length; size_t pos, step; bool ended, failed; } client;

static int Read(void* buffer, int count) {
  fuzz::Check(count > 0 && !client.ended && client.pos + count <= size_t(std::max(client.length, 0)), "no read past the end");
  const uint8_t b = client.plan.empty() ? 0xFD : client.plan[client.step++ % client.plan.size()];
  const size_t n = std::min({size_t(count), client.body.size() - client.pos,
                             size_t(b >= 0xFE ? 0 : b < 0x80 ? b + 1 : (b - 0x7F) * 1024)});
  std::memcpy(buffer, client.body.data() + client.pos, n);
  client.pos += n, client.ended = n == 0, client.failed = b == 0xFF;
  return client.failed ? -1 : int(n);
}

// The field data, each temporary file's name in it as 0x01; the files' contents go to contents.
// The directory is named with a "/./" in it: the files' names must come out plain.
static std::string Serve(const std::string& body, int length, std::vector<std::string>& contents) {
  client = {body, client.plan, length, 0, 0, false, false};
  std::string data = "before=1&", dir = fuzz::scratchDir;
  std::vector<std::string> paths;
  const long open = fuzz::OpenFiles(), read = ReadMultipartData(data, length, dir + "/./", paths);
  fuzz::Check(fuzz::OpenFiles() == open && size_t(read) == client.pos &&
                  (client.failed ? data.empty() : data.empty() || data.starts_with("before=1&")),
              "no file left open, the bytes read told, the field data kept but after a failed read", data);
  for (const std::string& path : paths) {
    fuzz::Check(plat::ReadWholeFile(path, contents.emplace_back()) && std::filesystem::path(path).parent_path() == dir &&
                    std::filesystem::remove(path), "a temporary file lies in its directory, listed once", path);
    if (const size_t at = data.find(UrlEncode(path)); at != data.npos) data.replace(at, UrlEncode(path).size(), "\x01");
  }
  fuzz::Check(std::filesystem::is_empty(dir), "every temporary file is listed");
  return data;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto lines = fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 3);
  if (lines.size() < 3) return 0;
  HttpFunctions().HttpReadClient = Read;
  client.plan = lines[0];
  std::vector<std::string> raw, contents, uploads;
  Serve(lines[2], lines[1].empty() ? int(lines[2].size()) : int(std::strtol(lines[1].c_str(), nullptr, 10)), raw);

  std::string body, want = "before=1&";
  for (const std::string& part : fuzz::Split(lines[2], "\x02", 64)) {
    auto f = fuzz::Split(part, "\x01", 3);
    f.resize(3);
    for (int i = 0; i < 2; ++i)  // header text: no quotes, blanks, controls, ';', '=' or the delimiter's 'Z'
      std::erase_if(f[i], [](char c) { return c == 'Z' || !(std::isalnum(uint8_t(c)) || (c && strchr("./\\_-", c))); });
    std::string content;
    for (size_t i = 0; i < f[2].size(); ++i)
      content += f[2][i] == '\x7F' && i + 1 < f[2].size() ? std::string((uint8_t(f[2][++i]) + 1) * 1000, 'A' + content.size() % 23)
                                                          : std::string(1, f[2][i] == 'Z' ? 'z' : f[2][i]);
    if (f[1].empty()) content.resize(std::min<size_t>(content.size(), 100000));  // a text value fits the ring
    body += "--ZZZZ\r\nContent-Disposition: form-data; name=\"" + f[0] + (f[1].empty() ? "" : "\"; filename=\"" + f[1]) +
            "\"\r\n\r\n" + content + "\r\n";
    if (f[0].empty()) continue;  // no field without a name
    want += f[0] + "=" + UrlEncode(f[1].empty() ? content.substr(0, content.find('\0')) : f[1]) + "&";
    if (!f[1].empty()) want += f[0] + "_FILENAME=\x01&", uploads.push_back(content);
  }
  body += "--ZZZZ--\r\n";
  const std::string data = Serve(body, int(body.size()), contents);
  fuzz::Check(client.ended || (data == want && contents == uploads), "a form gives its fields and files", data + "\n" + want);
  return 0;
}
