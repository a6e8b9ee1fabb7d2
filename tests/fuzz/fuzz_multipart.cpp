// The multipart/form-data reader, the body delivered in reads cut as the
// input says. Any body: no file left open, no byte read past the length told
// or after a read ended, each temporary file listed once for the clean-up,
// the field data kept, or emptied by a failed read.
// Input, split at line feeds: read plan, the body's announced length in
// decimal (empty: its size), then the body. Plan bytes in turn: 0xFF
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

// The directory is named with a "/./" in it: the files' names must come out plain.
static void Serve(const std::string& body, int length) {
  client = {body, client.plan, length, 0, 0, false, false};
  std::string data = "before=1&", dir = fuzz::scratchDir;
  std::vector<std::string> paths;
  const long open = fuzz::OpenFiles(), read = ReadMultipartData(data, length, dir + "/./", paths);
  fuzz::Check(fuzz::OpenFiles() == open && size_t(read) == client.pos &&
                  (client.failed ? data.empty() : data.empty() || data.starts_with("before=1&")),
              "no file left open, the bytes read told, the field data kept but after a failed read", data);
  for (const std::string& path : paths)
    fuzz::Check(std::filesystem::path(path).parent_path() == dir && std::filesystem::remove(path),
                "a temporary file lies in its directory, listed once", path);
  fuzz::Check(std::filesystem::is_empty(dir), "every temporary file is listed");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto lines = fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 3);
  if (lines.size() < 3) return 0;
  HttpFunctions().HttpReadClient = Read;
  client.plan = lines[0];
  Serve(lines[2], lines[1].empty() ? int(lines[2].size()) : int(std::strtol(lines[1].c_str(), nullptr, 10)));
  return 0;
}
