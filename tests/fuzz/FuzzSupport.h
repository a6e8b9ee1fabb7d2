// Shared by the libFuzzer harnesses. A failed check aborts, so that
// libFuzzer keeps the input as a finding.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "engine/HUtils.h"

namespace fuzz {

inline void Check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) std::fprintf(stderr, "\n*** property violated: %s\n    %.1000s\n", what, std::string(detail).c_str()), std::abort();
}

// The text cut at each separator; the last piece takes the rest.
inline std::vector<std::string> Split(std::string_view text, std::string_view separator, size_t maxPieces = -1) {
  std::vector<std::string> pieces;
  for (size_t at; pieces.size() + 1 < maxPieces && (at = text.find(separator)) != text.npos;) {
    pieces.emplace_back(text.substr(0, at));
    text.remove_prefix(at + separator.size());
  }
  pieces.emplace_back(text);
  return pieces;
}

// This process's own directory, under $TMPDIR (tools/fuzz.sh sets it to the run's).
inline const std::string scratchDir = std::filesystem::temp_directory_path() / ("fuzz-" + std::to_string(getpid()));
inline const bool scratchDirMade = std::filesystem::create_directories(scratchDir);

// The same before and after a call, or the call left a file open.
inline long OpenFiles() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

}  // namespace fuzz

// Nothing under test may end the process: the harnesses link with
// --wrap=_exit, so the platform layer's _exit lands here.
extern "C" [[noreturn]] void __wrap__exit(int) { std::abort(); }
