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

void PutText(unsigned char* out, int fieldSize, const std::string& text) {
  size_t n = std::min<size_t>(text.size(), static_cast<size_t>(fieldSize - 1));
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
                 plat::TShareKind share, plat::TFileCreation creation, int limitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    if (file.Open(path, access, share, creation)) return true;
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
    if (!OpenWaiting(file_, lockName, plat::TFileAccess::ReadWrite, plat::TShareKind::Exclusive,
                     plat::TFileCreation::OpenAlways, limitMs))
      throw plat::EFOpenError(dataName);
  }

 private:
  plat::TFile file_;
};

// Writes a whole file, replacing any earlier one; false on any failure.
bool WriteNewFile(const std::string& path, const std::string& contents, bool sync, int limitMs) {
  plat::TFile file;
  if (!OpenWaiting(file, path, plat::TFileAccess::Write, plat::TShareKind::Exclusive,
                   plat::TFileCreation::CreateAlways, limitMs))
    return false;
  return file.Write(contents) && (!sync || file.Sync());
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

  // The text is in place before its record appears, so no reader or removal
  // ever meets a record without text.
  bool written = textFile.Write(body);
  textFile.Close();
  if (!written) {
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
    // records after it stay aligned.
    int64_t size = data.Size();
    appended = size >= 0 && data.Seek(size - size % RecordSize) && data.Write(raw, RecordSize);
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

  // Under the lock nobody appends, so the copies and the new data file are
  // all made from the same bytes.
  plat::TFile data;
  OpenDataFile(data);
  int64_t size = data.Size();
  std::string old(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  long got = old.empty() ? 0 : data.ReadFully(old.data(), static_cast<long>(old.size()));
  data.Close();
  if (got < 0) throw plat::EFOpenError(FileName);
  old.resize(static_cast<size_t>(got));

  for (const char* copy : {"_data.old", "_data.tmp"}) {
    if (!WriteNewFile(prefix + copy, old, false, WaitLimitMs))
      throw plat::EFCreateError(prefix + copy);
  }

  std::string kept;
  kept.reserve(old.size());
  const std::string& password = state_.Settings.Password;
  for (size_t pos = 0; pos + RecordSize <= old.size(); pos += RecordSize) {
    unsigned char raw[RecordSize];
    std::memcpy(raw, old.data() + pos, RecordSize);
    int32_t recordId = GetInt32(raw + IdOffset);
    if (GetInt32(raw + ReplyIdOffset) == Id) PutInt32(raw + ReplyIdOffset, 0);
    if (recordId == Id) continue;
    if (!plat::FileExists(TextFileName(recordId))) continue;
    if (GetText(raw + NameOffset, NameSize) == AdminName &&
        GetText(raw + EmailOffset, EmailSize) == password)
      continue;
    kept.append(reinterpret_cast<const char*>(raw), RecordSize);
  }

  // The new data file replaces the old one in one step: a removal that dies
  // on the way leaves the old data file whole.
  const std::string fresh = prefix + "_data.new";
  if (!WriteNewFile(fresh, kept, true, WaitLimitMs)) {
    plat::DeleteFile(fresh);
    throw plat::EFCreateError(FileName);
  }
  if (!plat::RenameFile(fresh, FileName)) {
    plat::DeleteFile(fresh);
    throw plat::EFCreateError(FileName);
  }
  plat::DeleteFile(TextFileName(Id));
}
