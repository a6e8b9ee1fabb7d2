// Files, with the three Windows sharing kinds enforced among all processes
// and threads through open-file-description locks on bytes far beyond any
// data. A conflicting open fails at once; callers that wait retry.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

enum class TFileAccess { Read, Write, ReadWrite };

enum class TShareKind {
  ReadShared,  // others may read and write; conflicts with Exclusive only
  DenyWrite,   // others may only read; conflicts with DenyWrite and Exclusive
  Exclusive,   // no sharing; conflicts with every other open
};

enum class TFileCreation {
  OpenExisting,  // fail when missing
  OpenAlways,    // create when missing
  CreateAlways,  // create or truncate
  CreateNew,     // fail when it exists (O_EXCL)
};

// Whether a symbolic link as the last part of the name is followed; a file
// that is about to be created or replaced should not be reached through one.
enum class TFileLink { Follow, NoFollow };

// Who may open a file this open creates.
enum class TFileMode { Shared, OwnerOnly };

// Why the last open failed.
enum class TOpenFailure { None, NotFound, Exists, SharingViolation, Other };

// One open file. Movable, closes on destruction.
class TFile {
 public:
  TFile() = default;
  ~TFile();
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // Returns false when the file cannot be opened; Failure() tells why. Only
  // regular files open: a FIFO, device or directory fails at once.
  bool Open(const std::string& path, TFileAccess access, TShareKind share,
            TFileCreation creation = TFileCreation::OpenExisting, TFileLink link = TFileLink::Follow,
            TFileMode mode = TFileMode::Shared);
  bool IsOpen() const { return fd_ >= 0; }
  // The descriptor, -1 when closed (for the platform layer's own use).
  int Handle() const { return fd_; }
  TOpenFailure Failure() const { return failure_; }
  void Close();
  // Hands the descriptor to the caller, who closes it; the file is closed here.
  int Release();

  // Reads up to count bytes; returns the number read, 0 at the end, -1 on error.
  long Read(void* buffer, long count);
  // Reads until count bytes arrived or the file ends; returns the number read.
  long ReadFully(void* buffer, long count);
  // Writes all bytes; false on error.
  bool Write(const void* buffer, long count);
  bool Write(const std::string& text) { return Write(text.data(), static_cast<long>(text.size())); }
  bool Seek(int64_t offset);
  bool SeekEnd();
  int64_t Size() const;
  // Forces written data to the disk.
  bool Sync();
  bool Truncate(int64_t size);
  // Sets the last-write time to now.
  bool Touch();

 private:
  int fd_ = -1;
  TOpenFailure failure_ = TOpenFailure::None;
};

// Reads a whole file opened ReadShared; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& contents);

// Appends text to a file in one write (O_APPEND), creating it when missing,
// so lines of concurrent writers never overwrite each other.
bool AppendToFile(const std::string& path, const std::string& text);
// An empty directory; a whole tree (tests and clean-up only); mode 0755.
bool RemoveDir(const std::string& path);
bool RemoveTree(const std::string& path);
bool SetExecutable(const std::string& path);
// Both names lead to the same file (device and inode).
bool SameFile(const std::string& a, const std::string& b);

// Existence: stat of the exact name; directories and plain files both count.
bool FileExists(const std::string& path);
// Only a directory counts.
bool DirectoryExists(const std::string& path);
bool CreateDir(const std::string& path, TFileMode mode = TFileMode::Shared);
// A regular file of that name, not reached through a symbolic link.
bool RegularFileExists(const std::string& path);
// Any directory entry of that name, a dangling link included.
bool EntryExists(const std::string& path);
// Copies, replacing the destination. False on any failure.
bool CopyFile(const std::string& from, const std::string& to);
bool DeleteFile(const std::string& path);
// Renames, replacing the destination atomically.
bool RenameFile(const std::string& from, const std::string& to);
// Gives the file at existing a further name, replacing whatever had that
// name (a link there is replaced, not followed). False where the file system
// cannot link or either name fails.
bool LinkFile(const std::string& existing, const std::string& name);
// Makes the directory's entries (files created, renamed or deleted in it)
// durable.
bool SyncDirectory(const std::string& dir);
// Calls visit with the name of every entry of dir but "." and "..", as the
// directory lists them, holding only one name at a time; false when dir
// cannot be read.
template <typename Visit>
bool ScanDirectory(const std::string& dir, Visit visit);
// Last-write time as a local OLE date; false when the file is missing.
bool FileAge(const std::string& path, double& oleDate);
// Sets the last-write time to now, creating the file when missing.
bool TouchFile(const std::string& path);

// The directory part including its trailing "/" ("" when there is none),
// and the name part.
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);
// Without the trailing separator.
std::string ExtractFileDir(const std::string& path);

// Windows file attributes, as far as they mean anything here.
constexpr int faReadOnly = 0x01;
constexpr int faHidden = 0x02;
constexpr int faSysFile = 0x04;
constexpr int faDirectory = 0x10;
constexpr int faArchive = 0x20;
constexpr int faAnyFile = 0x3F;

struct TSearchRec {
  std::string Name;  // name part only
  int64_t Size = 0;
  int Attr = 0;
  double Time = 0;  // last-write time, local OLE date
};

// Directory search: the name part of pattern may hold the wildcards * and ?
// (fnmatch). Directories match only when attrMask has faDirectory; plain
// files always match. Results in name order.
std::vector<TSearchRec> FindFiles(const std::string& pattern, int attrMask);
// The first match: 0 when found, else an error code (2: not found,
// 3: the directory does not exist).
int FindFirstFile(const std::string& pattern, int attrMask, TSearchRec& rec);

namespace detail {
// The C-style core of ScanDirectory.
bool ScanDirectory(const std::string& dir, void (*visit)(void* context, const char* name), void* context);
}  // namespace detail

template <typename Visit>
bool ScanDirectory(const std::string& dir, Visit visit) {
  return detail::ScanDirectory(
      dir, [](void* context, const char* name) { (*static_cast<Visit*>(context))(name); }, &visit);
}

}  // namespace plat
