// Top-level windows found by their title. There is no window system: a
// window titled T exists while some process holds an exclusive flock on its
// file (directory + "/" + T + ".window"), so a process that dies leaves none.
#pragma once
#include <string>

namespace plat {

class TWindow {
 public:
  TWindow() = default;
  ~TWindow() { Destroy(); }
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;
  // Creates the window (owner-only file, never through a link); false when
  // another process holds it or the file cannot be made.
  bool Create(const std::string& file);
  // Closes it; the file stays unless deleteFile.
  void Destroy(bool deleteFile = false);
  bool Exists() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string file_;
};

// Some process holds the window of that file.
bool WindowExists(const std::string& file);

}  // namespace plat
