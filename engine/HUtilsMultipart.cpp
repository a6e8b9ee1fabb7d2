#include "engine/HUtilsMultipart.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/HUtils.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"

namespace {

constexpr int64_t RingSize = MultipartRingSize;
constexpr int64_t RingMask = RingSize - 1;
static_assert((RingSize & RingMask) == 0, "the ring size must be a power of two");

// A file part's content is written out once more than this many bytes of it
// have been scanned; the last bytes stay so that a delimiter the refill
// splits is still seen whole.
constexpr int64_t SpillThreshold = RingSize - 100;
constexpr int64_t SpillKeep = 100;

constexpr size_t MaxBoundaryLine = 254;
constexpr size_t MinBoundaryLine = 6;
constexpr size_t MaxHeaderLine = 2047;
// Keeps the temporary file's name within what file systems accept.
constexpr size_t MaxTempStem = 200;
constexpr int MaxNameAttempts = 20;

bool IsControl(char c) { return static_cast<unsigned char>(c) < 32; }

// The client's file name reduced to something that cannot leave the
// temporary directory: no directory part under either separator, and
// nothing from the first dot on (so no "." or ".." either).
std::string TempStemOf(const std::string& clientFileName) {
  const size_t slash = clientFileName.find_last_of("/\\");
  std::string stem = slash == std::string::npos ? clientFileName : clientFileName.substr(slash + 1);
  const size_t dot = stem.find('.');
  if (dot != std::string::npos) stem.resize(dot);
  if (stem.size() > MaxTempStem) stem.resize(MaxTempStem);
  return stem;
}

// The body as it streams in: absolute body offsets [head, tail) are held in
// a fixed ring; the parser advances head as it consumes.
class BodyRing {
 public:
  explicit BodyRing(int64_t length) : remaining_(length), bytes_(new char[RingSize]) {}

  enum class FillResult { Filled, Full, End, Failed };

  // Reads from the client until the ring is full or the body is all read,
  // so that what the parser sees never depends on how the client's reads
  // happen to be cut.
  FillResult Fill() {
    if (remaining_ <= 0) return FillResult::End;
    if (tail - head >= RingSize) return FillResult::Full;
    auto read = HttpFunctions().HttpReadClient;
    while (remaining_ > 0 && tail - head < RingSize) {
      const int64_t at = tail & RingMask;
      const int64_t chunk =
          std::min({RingSize - (tail - head), RingSize - at, remaining_, int64_t{INT_MAX}});
      const int got = read ? read(bytes_.get() + at, static_cast<int>(chunk)) : -1;
      if (got <= 0 || got > chunk) return FillResult::Failed;
      tail += got;
      remaining_ -= got;
      readTotal += got;
    }
    return FillResult::Filled;
  }

  char At(int64_t pos) const { return bytes_[pos & RingMask]; }
  const char* Ptr(int64_t pos) const { return bytes_.get() + (pos & RingMask); }

  // Calls visit(pointer, count) for the held bytes [from, to), in at most
  // two pieces around the end of the ring.
  template <class Visit>
  void ForEachPiece(int64_t from, int64_t to, Visit&& visit) const {
    while (from < to) {
      const int64_t at = from & RingMask;
      const int64_t count = std::min(to - from, RingSize - at);
      visit(bytes_.get() + at, count);
      from += count;
    }
  }

  std::string Copy(int64_t from, int64_t to) const {
    std::string text;
    text.reserve(static_cast<size_t>(to - from));
    ForEachPiece(from, to, [&](const char* p, int64_t n) { text.append(p, static_cast<size_t>(n)); });
    return text;
  }

  int64_t head = 0;
  int64_t tail = 0;
  long readTotal = 0;

 private:
  int64_t remaining_;
  std::unique_ptr<char[]> bytes_;
};

class MultipartParser {
 public:
  MultipartParser(std::string& data, const std::string& tempDir, std::vector<std::string>& tempFiles,
                  int64_t length)
      : data_(data), tempDir_(tempDir), tempFiles_(tempFiles), ring_(length) {}

  long Run() {
    using Fill = BodyRing::FillResult;
    Fill fill = ring_.Fill();
    if (fill == Fill::Failed) return Fail();
    if (!ReadDelimiter()) return ring_.readTotal;

    partMark_ = data_.size();
    scan_ = static_cast<int64_t>(delimiter_.size()) - 1;
    while (true) {
      int64_t delimiterStart;
      if (FindDelimiter(delimiterStart)) {
        FinishPart(delimiterStart);
        ring_.head = delimiterStart + static_cast<int64_t>(delimiter_.size());
        part_ = Part{};
        partMark_ = data_.size();
        Step step = SkipLine();
        if (step == Step::Ok) step = ReadPartHeader();
        if (step == Step::Failed) return Fail();
        if (step == Step::End) return End();
        StartPart();
        continue;
      }
      Release();
      fill = ring_.Fill();
      if (fill == Fill::Failed) return Fail();
      // The body ended before the part's delimiter, or a text part does not
      // fit in the ring: the incomplete part is dropped.
      if (fill != Fill::Filled) return End();
    }
  }

 private:
  enum class Kind { Skipped, Text, File };
  enum class Step { Ok, End, Failed };

  struct Part {
    std::string name;
    std::string clientFileName;
    std::vector<std::string> contentTypes;
    Kind kind = Kind::Skipped;
    int64_t contentStart = 0;
    int64_t unwritten = 0;  // file parts: content before this is on disk
    plat::TFile file;
    std::string path;
  };

  // The first line of the body names the delimiter; the text searched for
  // is that line without its first two characters (normally "--").
  bool ReadDelimiter() {
    size_t length = 0;
    while (length < MaxBoundaryLine && ring_.head + static_cast<int64_t>(length) < ring_.tail &&
           !IsControl(ring_.At(ring_.head + static_cast<int64_t>(length))))
      ++length;
    if (length < MinBoundaryLine) return false;
    delimiter_ = ring_.Copy(ring_.head + 2, ring_.head + static_cast<int64_t>(length));
    // Bytes kept before the scan position when a file part spills: enough
    // for the whole delimiter and the "--" CR LF in front of it.
    keep_ = std::max<int64_t>(SpillKeep, static_cast<int64_t>(delimiter_.size()) + 3);
    return true;
  }

  // Looks for the first delimiter ending at or after the scan position;
  // without one, the scan position moves to the end of the held bytes.
  bool FindDelimiter(int64_t& start) {
    const int64_t size = static_cast<int64_t>(delimiter_.size());
    const char last = delimiter_.back();
    int64_t pos = scan_;
    while (pos < ring_.tail) {
      const int64_t at = pos & RingMask;
      const int64_t count = std::min(ring_.tail - pos, RingSize - at);
      const char* base = ring_.Ptr(pos);
      const void* hit = std::memchr(base, last, static_cast<size_t>(count));
      if (!hit) {
        pos += count;
        continue;
      }
      const int64_t end = pos + (static_cast<const char*>(hit) - base);
      if (MatchesEndingAt(end)) {
        start = end - size + 1;
        scan_ = end + 1;
        return true;
      }
      pos = end + 1;
    }
    scan_ = std::max(scan_, ring_.tail);
    return false;
  }

  bool MatchesEndingAt(int64_t end) const {
    const int64_t size = static_cast<int64_t>(delimiter_.size());
    for (int64_t i = 1; i < size; ++i)
      if (ring_.At(end - i) != delimiter_[static_cast<size_t>(size - 1 - i)]) return false;
    return true;
  }

  // The content ends before the line feed in front of the delimiter line and
  // before a carriage return in front of that line feed.
  int64_t ContentEnd(int64_t delimiterStart) const {
    const int64_t from = part_.contentStart;
    int64_t end = std::max(from, delimiterStart - 2);
    if (end > from && ring_.At(end - 1) == '\n') {
      --end;
      if (end > from && ring_.At(end - 1) == '\r') --end;
    }
    return end;
  }

  void FinishPart(int64_t delimiterStart) {
    if (part_.kind == Kind::Text) {
      std::string content = ring_.Copy(part_.contentStart, ContentEnd(delimiterStart));
      const size_t zero = content.find('\0');
      if (zero != std::string::npos) content.resize(zero);
      data_ += part_.name + "=" + UrlEncode(content) + "&";
    } else if (part_.kind == Kind::File) {
      WriteContent(ContentEnd(delimiterStart));
      part_.file.Close();
    }
  }

  void WriteContent(int64_t to) {
    ring_.ForEachPiece(part_.unwritten, to, [&](const char* p, int64_t n) {
      if (!part_.file.Write(p, static_cast<long>(n))) throw plat::Exception("Stream-Schreibfehler");
    });
    part_.unwritten = std::max(part_.unwritten, to);
  }

  // Drops what the parser no longer needs, before the ring is refilled.
  void Release() {
    const int64_t size = static_cast<int64_t>(delimiter_.size());
    switch (part_.kind) {
      case Kind::Skipped:
        // Only a delimiter that the refill completes still needs these.
        ring_.head = std::max(ring_.head, ring_.tail - size + 1);
        break;
      case Kind::Text:
        break;  // the value is taken whole at its delimiter
      case Kind::File:
        if (scan_ - part_.unwritten > SpillThreshold) WriteContent(scan_ - keep_);
        ring_.head = part_.unwritten;
        break;
    }
  }

  // Consumes the rest of the delimiter line with its line feed.
  Step SkipLine() {
    while (true) {
      while (ring_.head < ring_.tail)
        if (ring_.At(ring_.head++) == '\n') return Step::Ok;
      const Step step = Refill();
      if (step != Step::Ok) return step;
    }
  }

  Step Refill() {
    switch (ring_.Fill()) {
      case BodyRing::FillResult::Filled: return Step::Ok;
      case BodyRing::FillResult::Failed: return Step::Failed;
      default: return Step::End;
    }
  }

  // Reads header lines up to the empty line; the content starts after it.
  Step ReadPartHeader() {
    std::string line;
    size_t rawLength = 0;
    bool startsWithCr = false;
    bool cut = false;
    while (true) {
      while (ring_.head < ring_.tail) {
        const char c = ring_.At(ring_.head++);
        if (c == '\n') {
          if (rawLength == 0 || (rawLength == 1 && startsWithCr)) return Step::Ok;
          ParseHeaderLine(line);
          line.clear();
          rawLength = 0;
          startsWithCr = false;
          cut = false;
          continue;
        }
        if (rawLength == 0) startsWithCr = c == '\r';
        ++rawLength;
        if (IsControl(c)) cut = true;
        if (!cut && line.size() < MaxHeaderLine) line += c;
      }
      const Step step = Refill();
      if (step != Step::Ok) return step;
    }
  }

  static std::string QuotedAfter(const std::string& line, const char* key, bool& found) {
    const size_t at = line.find(key);
    found = at != std::string::npos;
    if (!found) return "";
    const size_t from = at + std::strlen(key);
    const size_t quote = line.find('"', from);
    return plat::Trim(std::string_view(line).substr(
        from, quote == std::string::npos ? std::string::npos : quote - from));
  }

  void ParseHeaderLine(const std::string& line) {
    bool found;
    std::string value = QuotedAfter(line, "name=\"", found);
    if (found) part_.name = value;
    value = QuotedAfter(line, "filename=\"", found);
    if (found) part_.clientFileName = value;
    static const char ContentType[] = "Content-Type:";
    const size_t at = line.find(ContentType);
    if (at != std::string::npos) {
      const size_t from = at + sizeof ContentType - 1;
      part_.contentTypes.push_back(line.substr(from, line.find(';', from) - from));
    }
  }

  // Called once the part's header is complete: its pseudo fields follow the
  // name it finally has, whatever the order of its header lines.
  void StartPart() {
    part_.contentStart = part_.unwritten = ring_.head;
    scan_ = ring_.head + static_cast<int64_t>(delimiter_.size()) - 1;
    if (part_.name.empty()) {
      part_.kind = Kind::Skipped;
      return;
    }
    const std::string& name = part_.name;
    for (const std::string& type : part_.contentTypes)
      data_ += name + "_CONTENT_TYPE=" + UrlEncode(type) + "&";
    if (part_.clientFileName.empty()) {
      part_.kind = Kind::Text;
      return;
    }
    part_.kind = Kind::File;
    data_ += name + "=" + UrlEncode(part_.clientFileName) + "&";
    CreateTempFile();
    data_ += name + "_FILENAME=" + UrlEncode(part_.path) + "&";
    tempFiles_.push_back(part_.path);
  }

  // A stale file of the chosen name is replaced; a name this request already
  // uses, or one another request holds open, is never reused: another
  // random number is drawn.
  void CreateTempFile() {
    const std::string stem = TempStemOf(part_.clientFileName);
    for (int attempt = 0;; ++attempt) {
      part_.path = BuildFileName(ModuleFileName(), tempDir_, "tmp",
                                 plat::IntToStr(plat::Random(9000000)) + stem);
      const bool taken =
          std::find(tempFiles_.begin(), tempFiles_.end(), part_.path) != tempFiles_.end();
      if (!taken && part_.file.Open(part_.path, plat::TFileAccess::Write,
                                    plat::TShareKind::Exclusive, plat::TFileCreation::CreateAlways))
        return;
      const bool retry = taken || part_.file.Failure() == plat::TOpenFailure::SharingViolation;
      if (!retry || attempt >= MaxNameAttempts) throw plat::EFCreateError(part_.path);
    }
  }

  long End() {
    data_.resize(partMark_);
    part_.file.Close();
    return ring_.readTotal;
  }

  long Fail() {
    data_.clear();
    part_.file.Close();
    return ring_.readTotal;
  }

  std::string& data_;
  const std::string& tempDir_;
  std::vector<std::string>& tempFiles_;
  BodyRing ring_;
  std::string delimiter_;
  int64_t keep_ = SpillKeep;
  int64_t scan_ = 0;  // the next position at which a delimiter may end
  size_t partMark_ = 0;
  Part part_;
};

}  // namespace

long ReadMultipartData(std::string& Data, int Length, const std::string& TempDir,
                       std::vector<std::string>& TempFiles) {
  if (Length <= 0) return 0;
  MultipartParser parser(Data, TempDir, TempFiles, Length);
  return parser.Run();
}
