// Shared by the libFuzzer harnesses: checks that abort with a message (so
// libFuzzer records the input), a per-process scratch directory, and small
// file and splitting helpers.
#pragma once
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "platform/PlatFiles.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "\n*** property violated: %s\n", what);
  if (!detail.empty()) std::fprintf(stderr, "    %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool ok, const char* what, const std::string& detail = "") {
  if (!ok) Fail(what, detail);
}

// Printable form of a byte string for messages.
inline std::string Show(std::string_view s, size_t limit = 200) {
  std::string out;
  for (size_t i = 0; i < s.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (s.size() > limit) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out;
}

// A directory of this process's own, removed when the process ends; each
// fuzzer process (and each of several running at once) gets another.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/parlino-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) Fail("cannot create the scratch directory", pattern);
    static std::string removeAtExit;
    removeAtExit = pattern;
    std::atexit([] { plat::RemoveTree(removeAtExit); });
    return pattern;
  }();
  return dir;
}

inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) Fail("cannot write a scratch file", path);
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
    Fail("cannot write a scratch file", path);
  std::fclose(f);
}

inline std::string ReadFile(const std::string& path) {
  std::string out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  std::fclose(f);
  return out;
}

// Names in a directory, sorted; dangling links included.
inline std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Empties a directory, keeping the directory itself.
inline void ClearDirectory(const std::string& dir) {
  std::error_code error;
  for (const std::string& name : DirectoryNames(dir)) std::filesystem::remove_all(dir + "/" + name, error);
}

// How many file descriptors the process holds: the same before and after a
// request, or something was left open.
inline size_t OpenDescriptors() {
  std::error_code error;
  size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return count;
}

// The input cut at each separator; the last piece takes the rest.
inline std::vector<std::string> Split(std::string_view data, std::string_view separator,
                                      size_t maxPieces) {
  std::vector<std::string> pieces;
  while (pieces.size() + 1 < maxPieces) {
    size_t at = data.find(separator);
    if (at == std::string_view::npos) break;
    pieces.emplace_back(data.substr(0, at));
    data.remove_prefix(at + separator.size());
  }
  pieces.emplace_back(data);
  return pieces;
}

}  // namespace fuzz

// Nothing under test may end the process: the harnesses are linked with
// --wrap=_exit, so the platform layer's _exit lands here. (Each harness is a
// single source file, so this is defined once per program.)
extern "C" [[noreturn]] void __wrap__exit(int code) {
  fuzz::Fail("the code under test tried to end the process", "exit code " + std::to_string(code));
}
