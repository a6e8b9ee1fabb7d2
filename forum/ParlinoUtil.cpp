// The message store: the data file of 180-byte records and one text file per
// message.
//
// Writers (posts and removals) take the store's lock, an exclusive open of
// FilePrefix + "_data.lck", for the whole operation, so that a post appended
// while a removal rewrites the data file is never lost and two posts never
// draw the same number. A removal writes the new data file under another name
// and renames it over the old one, so readers and a killed removal only ever
// see a whole data file. Readers take no lock.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HUtilsCookie.h"
#include "engine/HttpEng.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatThreads.h"
#include "platform/PlatTime.h"

namespace {

using R = TNewsRecord;
constexpr int RecordSize = R::RecordSize;
constexpr int SubjectOffset = R::SubjectOffset, SubjectSize = R::SubjectSize;
constexpr int EmailOffset = R::EmailOffset, EmailSize = R::EmailSize;
constexpr int NameOffset = R::NameOffset, NameSize = R::NameSize;
constexpr int IdOffset = R::IdOffset, ReplyIdOffset = R::ReplyIdOffset, TimeOffset = R::TimeOffset;
// How long the visitor cookie keeps name and e-mail, in days.
constexpr double VisitorCookieDays = 60;

constexpr int MaxId = 1147483647;
constexpr long MaxBodyBytes = 65000;
constexpr int RetryPauseMs = 20;

void PutInt32(unsigned char* out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

int32_t GetInt32(const unsigned char* in) { return R::GetInt32(in); }

// A text field ends at its first NUL: nothing posted after one may linger
// in the record's bytes.
void PutText(unsigned char* out, int fieldSize, const std::string& text) {
  size_t n = std::min({text.size(), text.find('\0'), static_cast<size_t>(fieldSize - 1)});
  std::memcpy(out, text.data(), n);
}

std::string GetText(const unsigned char* in, int fieldSize) {
  const void* nul = std::memchr(in, 0, static_cast<size_t>(fieldSize));
  size_t n = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - in)
                 : static_cast<size_t>(fieldSize);
  return std::string(reinterpret_cast<const char*>(in), n);
}

using Clock = std::chrono::steady_clock;

// Opens a file, waiting out sharing violations (another process's open that
// excludes ours) for at most limitMs. Any other failure returns at once.
bool OpenWaiting(plat::TFile& file, const std::string& path, plat::TFileAccess access,
                 plat::TShareKind share, plat::TFileCreation creation, int limitMs,
                 plat::TFileLink link = plat::TFileLink::Follow) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    if (file.Open(path, access, share, creation, link)) return true;
    if (file.Failure() != plat::TOpenFailure::SharingViolation || Clock::now() >= deadline)
      return false;
    plat::SleepMs(RetryPauseMs);
  }
}

// The store's lock, held for the lifetime of the object. The lock file stays
// behind: deleting it would let two writers lock two different files.
class TStoreLock {
 public:
  TStoreLock(const std::string& lockName, const std::string& dataName, int limitMs) {
    if (OpenWaiting(file_, lockName, plat::TFileAccess::ReadWrite, plat::TShareKind::Exclusive,
                    plat::TFileCreation::OpenAlways, limitMs, plat::TFileLink::NoFollow))
      return;
    // Another writer that holds on too long keeps the data file from us; a
    // lock file this account cannot open is the operator's to mend.
    throw plat::EFOpenError(file_.Failure() == plat::TOpenFailure::SharingViolation ? dataName : lockName);
  }

 private:
  plat::TFile file_;
};

// Reads until count bytes arrived or the file ends; -1 on a read error, which
// must not pass for the end of the file.
long ReadBlock(plat::TFile& file, unsigned char* buffer, long count) {
  long total = 0;
  while (total < count) {
    long n = file.Read(buffer + total, count - total);
    if (n < 0) return -1;
    if (n == 0) break;
    total += n;
  }
  return total;
}

// Two sets of message numbers in fixed memory: a number a set does not hold
// was certainly never added to it; one it holds most likely was (wrong for
// about 0.4 % of numbers at 1,000,000 members). Each removal draws its own
// salt, so a wrong answer does not repeat at the next one. Both sets keep a
// number's bits in one 16-byte slot: one memory access per number.
class TNumberSets {
 public:
  enum TSet { Recorded, Texts };
  TNumberSets() : salt_(static_cast<uint64_t>(plat::Random(MaxId)) << 32 | static_cast<uint64_t>(plat::Random(MaxId))),
                  bits_(2 * Slots) {}
  void Add(int32_t id, TSet set) {
    const uint64_t h = Hash(id);
    bits_[2 * (h % Slots) + set] |= Mask(h);
  }
  bool MayHold(int32_t id, TSet set) const {
    const uint64_t h = Hash(id);
    return (bits_[2 * (h % Slots) + set] & Mask(h)) == Mask(h);
  }

 private:
  static constexpr uint64_t Slots = uint64_t{1} << 18;  // 4 MB
  uint64_t Hash(int32_t id) const {
    uint64_t x = static_cast<uint32_t>(id) + salt_;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
  }
  // Three bits of the word, from the hash's top 18 bits.
  static uint64_t Mask(uint64_t h) {
    return uint64_t{1} << (h >> 58) | uint64_t{1} << (h >> 52 & 63) | uint64_t{1} << (h >> 46 & 63);
  }
  uint64_t salt_;
  std::vector<uint64_t> bits_;
};

// The number of a text file of the forum with this prefix ("B_" + number
// without leading zeros + ".txt"), or -1 for any other name.
int TextFileNumber(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix) || !name.ends_with(".txt")) return -1;
  std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return -1;
  int64_t id = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    id = id * 10 + (c - '0');
  }
  return id <= MaxId ? static_cast<int>(id) : -1;
}

}  // namespace

void TNewsRecord::Encode(unsigned char* out) const {
  std::memset(out, 0, RecordSize);
  PutText(out + SubjectOffset, SubjectSize, Subject);
  PutText(out + EmailOffset, EmailSize, Email);
  PutText(out + NameOffset, NameSize, Name);
  PutInt32(out + IdOffset, Id);
  PutInt32(out + ReplyIdOffset, ReplyId);
  uint64_t bits = 0;
  static_assert(sizeof bits == sizeof Time);
  std::memcpy(&bits, &Time, sizeof bits);
  for (int i = 0; i < 8; ++i) out[TimeOffset + i] = static_cast<unsigned char>(bits >> (8 * i));
}

TNewsRecord TNewsRecord::Decode(const unsigned char* in) {
  TNewsRecord r;
  r.Subject = GetText(in + SubjectOffset, SubjectSize);
  r.Email = GetText(in + EmailOffset, EmailSize);
  r.Name = GetText(in + NameOffset, NameSize);
  r.Id = GetInt32(in + IdOffset);
  r.ReplyId = GetInt32(in + ReplyIdOffset);
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(in[TimeOffset + i]) << (8 * i);
  std::memcpy(&r.Time, &bits, sizeof bits);
  return r;
}

TNewsNavigator::TNewsNavigator(const std::string& FileName, const TForumState& State,
                               THttpCookie& Cookie)
    : FileName(FileName), state_(State), cookie_(Cookie) {
  if (plat::FileExists(FileName)) return;
  plat::TFile file;
  // OpenAlways: a data file another process has just created stays as it is.
  if (!file.Open(FileName, plat::TFileAccess::Write, plat::TShareKind::ReadShared,
                 plat::TFileCreation::OpenAlways) &&
      !plat::FileExists(FileName))
    throw plat::EFCreateError(FileName);
  plat::SyncDirectory(plat::ExtractFileDir(FileName));
}

std::string TNewsNavigator::TextFileName(int Id) const {
  return state_.FilePrefix + "_" + plat::IntToStr(Id) + ".txt";
}

std::string TNewsNavigator::EscapeHtml(const std::string& S) {
  return ReplaceAll("\"", "&quot;", ReplaceAll("<", "&lt;", ReplaceAll(">", "&gt;", S)));
}

void TNewsNavigator::AddMessage() {
  const std::string name = HttpGetField("NEWNAME", "");
  const std::string email = HttpGetField("NEWEMAIL", "");
  // The cookie goes first: it travels in the response header.
  cookie_.SetCookie("N=" + UrlEncode(name) + "&E=" + UrlEncode(email), plat::Now() + VisitorCookieDays);

  TNewsRecord record;
  record.Subject = EscapeHtml(HttpGetField("NEWSUBJECT", "")).substr(0, R::SubjectLength);
  record.Name = EscapeHtml(name).substr(0, R::NameLength);
  record.Email = EscapeHtml(email).substr(0, R::EmailLength);
  record.Time = plat::Now();
  record.ReplyId = plat::StrToInt(HttpGetField("REPLYID", "0"));
  const std::string text = HttpGetField("NEWTEXT", "");
  const std::string body = state_.Settings.AllowHTML ? text : EscapeHtml(text);

  TStoreLock lock(state_.FilePrefix + "_data.lck", FileName, WaitLimitMs);

  // The number is taken by creating its text file exclusively; 0 is never
  // used, since no message of that number could be opened.
  plat::Randomize();
  plat::TFile textFile;
  std::string textName;
  do {
    record.Id = plat::Random(MaxId + 1);
    textName = TextFileName(record.Id);
    if (record.Id != 0 &&
        textFile.Open(textName, plat::TFileAccess::Write, plat::TShareKind::ReadShared,
                      plat::TFileCreation::CreateNew))
      break;
    if (record.Id != 0 && textFile.Failure() != plat::TOpenFailure::Exists)
      throw plat::EFCreateError(textName);
  } while (true);

  // The text is in place, on disk, before its record appears, so no reader
  // or removal ever meets a record without text, not even after a power cut.
  bool written = textFile.Write(body) && textFile.Sync();
  textFile.Close();
  if (!written || !plat::SyncDirectory(plat::ExtractFileDir(textName))) {
    plat::DeleteFile(textName);
    throw plat::EFCreateError(textName);
  }

  unsigned char raw[RecordSize];
  record.Encode(raw);
  plat::TFile data;
  bool appended = OpenWaiting(data, FileName, plat::TFileAccess::Write, plat::TShareKind::DenyWrite,
                              plat::TFileCreation::OpenExisting, WaitLimitMs);
  if (appended) {
    // A fragment left by an interrupted append is overwritten, so that the
    // records after it stay aligned. The post counts once the record is on
    // disk; one that is not must not turn up later either.
    const int64_t size = data.Size(), end = size - size % RecordSize;
    appended = size >= 0 && data.Seek(end) && data.Write(raw, RecordSize) && data.Sync();
    if (!appended && size >= 0) data.Truncate(end);
  }
  data.Close();
  if (!appended) {
    plat::DeleteFile(textName);
    throw plat::EFOpenError(FileName);
  }
}

bool TNewsNavigator::LoadMessage(int Id, TNewsRecord& Record, std::string& Body) {
  if (Id < 1) return false;

  plat::TFile data;
  OpenDataFile(data);
  // Read in blocks of whole records; the block needs no zero-filling.
  const long chunkSize = static_cast<long>(RecordSize) * 1024;
  auto chunk = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(chunkSize));
  const unsigned char* bytes = chunk.get();
  bool found = false;
  TNewsRecord match;
  for (;;) {
    long got = data.ReadFully(chunk.get(), chunkSize);
    long whole = got / RecordSize;
    for (long i = 0; i < whole && !found; ++i) {
      if (GetInt32(bytes + i * RecordSize + IdOffset) == Id) {
        match = TNewsRecord::Decode(bytes + i * RecordSize);
        found = true;
      }
    }
    if (found || got < chunkSize) break;
  }
  data.Close();
  if (!found) return false;

  const std::string textName = TextFileName(Id);
  plat::TFile textFile;
  if (!OpenWaiting(textFile, textName, plat::TFileAccess::Read, plat::TShareKind::ReadShared,
                   plat::TFileCreation::OpenExisting, WaitLimitMs))
    throw plat::EFOpenError(textName);
  // At most MaxBodyBytes, sized by the file rather than zero-filled up front.
  int64_t size = textFile.Size();
  std::string text(static_cast<size_t>(std::clamp<int64_t>(size, 0, MaxBodyBytes)), '\0');
  long got = textFile.ReadFully(text.data(), static_cast<long>(text.size()));
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);

  Record = match;
  Body = std::move(text);
  return true;
}

void TNewsNavigator::OpenDataFile(plat::TFile& File) const {
  if (!OpenWaiting(File, FileName, plat::TFileAccess::Read, plat::TShareKind::ReadShared,
                   plat::TFileCreation::OpenExisting, WaitLimitMs))
    throw plat::EFOpenError(FileName);
}

void TNewsNavigator::RemoveMessage(int Id) {
  const std::string& prefix = state_.FilePrefix;
  TStoreLock lock(prefix + "_data.lck", FileName, WaitLimitMs);

  // Under the lock nobody appends, so every pass over the data file sees the
  // same bytes. Each pass reads a block at a time and the number sets have a
  // fixed size: memory stays the same however large the forum grows.
  constexpr long BlockSize = static_cast<long>(RecordSize) * 1024;
  auto block = std::make_unique_for_overwrite<unsigned char[]>(BlockSize);
  auto keptBlock = std::make_unique_for_overwrite<unsigned char[]>(BlockSize);
  plat::TFile data;
  auto eachBlock = [&](auto use) {
    OpenDataFile(data);
    for (long got = BlockSize; got == BlockSize;) {
      got = ReadBlock(data, block.get(), BlockSize);
      if (got < 0) throw plat::EFOpenError(FileName);
      use(got);
    }
    data.Close();
  };
  plat::Randomize();
  TNumberSets numbers;
  eachBlock([&](long got) {
    for (long pos = 0; pos + RecordSize <= got; pos += RecordSize) numbers.Add(GetInt32(block.get() + pos + IdOffset), numbers.Recorded);
  });
  // One look at the directory instead of one per record. A text file without
  // a record was left by a killed post (under the lock no post is half done):
  // it goes. A record is dropped when its text file is certainly gone.
  const std::string textPrefix = plat::ExtractFileName(prefix) + "_";
  if (!plat::ScanDirectory(plat::ExtractFileDir(prefix), [&](const char* name) {
        const int id = TextFileNumber(name, textPrefix);
        if (id <= 0) return;
        if (numbers.MayHold(id, numbers.Recorded)) numbers.Add(id, numbers.Texts);
        else plat::DeleteFile(plat::ExtractFilePath(prefix) + name);
      }))
    throw plat::EFOpenError(FileName);

  const std::string freshName = prefix + "_data.new";
  // A stale new file of a killed removal goes, and so does anything planted
  // in its place.
  plat::DeleteFile(freshName);
  struct TDropFresh {
    const std::string& name;
    bool keep = false;
    ~TDropFresh() { if (!keep) plat::DeleteFile(name); }
  } dropFresh{freshName};
  // The copies of the data file as it was: the rename below leaves the old
  // file itself to them, and nothing writes to it after that, so two more
  // names are as good as two copies. Where the file system cannot link,
  // they are written while the new data file is.
  plat::TFile copies[2], fresh;
  const std::string copyNames[2] = {prefix + "_data.old", prefix + "_data.tmp"};
  const bool linked = plat::LinkFile(FileName, copyNames[0]) && plat::LinkFile(FileName, copyNames[1]);
  for (int i = 0; i < 2 && !linked; ++i) {
    // A fresh file: a name still linked to the data file must not cut it short.
    plat::DeleteFile(copyNames[i]);
    if (!copies[i].Open(copyNames[i], plat::TFileAccess::Write, plat::TShareKind::Exclusive,
                        plat::TFileCreation::CreateNew, plat::TFileLink::NoFollow))
      throw plat::EFCreateError(copyNames[i]);
  }
  if (!fresh.Open(freshName, plat::TFileAccess::Write, plat::TShareKind::Exclusive, plat::TFileCreation::CreateNew,
                  plat::TFileLink::NoFollow))
    throw plat::EFCreateError(FileName);

  const std::string& password = state_.Settings.Password;
  eachBlock([&](long got) {
    for (int i = 0; i < 2 && !linked; ++i)
      if (!copies[i].Write(block.get(), got)) throw plat::EFCreateError(copyNames[i]);
    long keptBytes = 0;
    for (long pos = 0; pos + RecordSize <= got; pos += RecordSize) {
      unsigned char* raw = keptBlock.get() + keptBytes;
      std::memcpy(raw, block.get() + pos, RecordSize);
      const int32_t recordId = GetInt32(raw + IdOffset);
      if (GetInt32(raw + ReplyIdOffset) == Id) PutInt32(raw + ReplyIdOffset, 0);
      if (recordId == Id || !numbers.MayHold(recordId, numbers.Texts)) continue;
      if (!password.empty() && GetText(raw + NameOffset, NameSize) == AdminName &&
          GetText(raw + EmailOffset, EmailSize) == password)
        continue;
      keptBytes += RecordSize;
    }
    if (!fresh.Write(keptBlock.get(), keptBytes)) throw plat::EFCreateError(FileName);
  });

  // The new data file replaces the old one in one step, durably: a removal
  // that dies on the way leaves the old data file whole.
  if (!fresh.Sync()) throw plat::EFCreateError(FileName);
  fresh.Close();
  if (!plat::RenameFile(freshName, FileName)) throw plat::EFCreateError(FileName);
  dropFresh.keep = true;
  if (!plat::SyncDirectory(plat::ExtractFileDir(FileName))) throw plat::EFCreateError(FileName);
  plat::DeleteFile(TextFileName(Id));
}
