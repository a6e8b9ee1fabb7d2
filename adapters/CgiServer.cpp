#include "adapters/CgiServer.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <thread>

#include "adapters/CgiSEng.h"
#include "engine/HUtils.h"
#include "platform/PlatText.h"
#include "platform/PlatThreads.h"
#include "platform/PlatTime.h"
#include "platform/PlatWatch.h"
#include "platform/PlatWindow.h"

static_assert(std::endian::native == std::endian::little, "queue records store the host's doubles as they are");

namespace {

constexpr int kOpenAttempts = 11;
constexpr double kStaleDays = 30.0 / 86400;
constexpr int kClientIdDraws = 100;
constexpr int kMaxRecordName = TQueueRecord::NameSize - 1;
const std::string ReqSuffix = "_REQ";

bool EndsWith(const std::string& text, const std::string& tail) { return text.ends_with(tail); }


// A refused open of the queue is tried again 11 times, pauseMs apart; with
// wake-ups the same time is spent trying every 2 ms, so that a queue held
// for a moment (by the process that woke this one) costs only that moment.
int Step(int pauseMs) { return WakeUps() ? 2 : pauseMs; }
int Attempts(int pauseMs) { return kOpenAttempts * pauseMs / Step(pauseMs); }

// The queue file is the only lock between processes: every open of it is
// exclusive, never through a link, and retried with the caller's pause.
bool OpenQueue(plat::TFile& file, plat::TFileAccess access, int pauseMs) {
  for (int attempt = 0; attempt < Attempts(pauseMs); ++attempt) {
    if (!plat::EntryExists(QueueFileName())) return false;
    if (file.Open(QueueFileName(), access, plat::TShareKind::Exclusive, plat::TFileCreation::OpenExisting,
                  plat::TFileLink::NoFollow))
      return true;
    plat::SleepMs(Step(pauseMs));
  }
  return false;
}

std::string ClientFile(const std::string& id, const char* suffix) { return ServerBasePath() + "_C_" + id + suffix; }

std::string Hex4(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

bool IsClientFileName(const std::string& name, const std::string& prefix) {
  if (name.size() != prefix.size() + 8 || !name.starts_with(prefix)) return false;
  for (size_t i = prefix.size(); i < prefix.size() + 4; ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i])) && (name[i] < 'A' || name[i] > 'F')) return false;
  const std::string tail = name.substr(prefix.size() + 4);
  return tail == "_REQ" || tail == "_OUT";
}

bool DeleteQueueFile() { return plat::DeleteFile(QueueFileName()); }

}  // namespace

bool QueueStale() {
  double age = 0;
  return plat::FileAge(QueueFileName(), age) && age < plat::Now() - kStaleDays;
}

TQueueRecord TQueueRecord::Make(double queuedAt, const std::string& name) {
  TQueueRecord record;
  std::memcpy(record.Bytes + 4, &queuedAt, sizeof queuedAt);
  std::memcpy(record.Bytes + 12, name.data(), std::min<size_t>(name.size(), kMaxRecordName));
  return record;
}

double TQueueRecord::QueuedAt() const {
  double value = 0;
  std::memcpy(&value, Bytes + 4, sizeof value);
  return value;
}

std::string TQueueRecord::RecordName() const {
  const char* name = reinterpret_cast<const char*>(Bytes + 12);
  return std::string(name, strnlen(name, NameSize));
}

TServerData::~TServerData() {
  if (!QueueOwner) return;
  WaitForRequestThreads();
  DeleteQueueFile();
}

std::atomic<int>& RunningRequestThreads() {
  static std::atomic<int> running{0};
  return running;
}

void WaitForRequestThreads() {
  for (int waited = 0; RunningRequestThreads() > 0 && waited < 600; ++waited) plat::SleepMs(50);
}

TServerData& ServerData() { return ThreadContext().Parts.Get<TServerData>(); }

bool WakeUps() { return plat::GetEnv("PARLINO_POLL_ONLY").empty(); }

std::string QueueFileName() { return ServerBasePath() + "_S"; }
std::string WindowFileName() { return ServerBasePath() + "_S.window"; }
bool ServerWindowExists() { return plat::WindowExists(WindowFileName()); }

bool IsClientRequestFile(const std::string& path) {
  const std::string base = ServerBasePath();
  return path.starts_with(plat::ExtractFilePath(base)) && path.ends_with(ReqSuffix) &&
         IsClientFileName(plat::ExtractFileName(path), plat::ExtractFileName(base) + "_C_");
}

void DeleteClientFiles() {
  const std::string base = ServerBasePath();
  const std::string dir = plat::ExtractFileDir(base), prefix = plat::ExtractFileName(base) + "_C_";
  for (;;) {
    std::string found;
    plat::ScanDirectory(dir, [&](const char* name) {
      if (found.empty() && IsClientFileName(name, prefix)) found = name;
    });
    if (found.empty() || !plat::DeleteFile(dir + "/" + found)) return;
  }
}

void QueueHousekeeping() {
  if (!ServerWindowExists() && QueueStale()) {
    DeleteQueueFile();
    plat::SleepMs(300);
  }
  if (!plat::EntryExists(QueueFileName())) DeleteClientFiles();
}

void CreateQueueFile(bool removeClientFiles) {
  if (plat::EntryExists(QueueFileName())) {
    DeleteQueueFile();
    plat::SleepMs(200);
  }
  plat::TFile file;
  if (file.Open(QueueFileName(), plat::TFileAccess::Write, plat::TShareKind::Exclusive,
                plat::TFileCreation::CreateNew, plat::TFileLink::NoFollow, plat::TFileMode::OwnerOnly)) {
    ServerData().QueueOwner = true;
    file.Touch();
  } else {
    WriteLog("Can not create file " + QueueFileName());
  }
  file.Close();
  if (removeClientFiles) DeleteClientFiles();
}

bool WriteRequestFile() {
  TCgiThreadFields& cgi = CgiThreadFields();
  plat::TFile file;
  for (int draw = 0; draw < kClientIdDraws && !file.IsOpen(); ++draw) {
    const std::string id = Hex4(plat::Random(65535));
    const std::string request = ClientFile(id, "_REQ");
    if (plat::EntryExists(ClientFile(id, "_OUT"))) continue;
    if (!file.Open(request, plat::TFileAccess::Write, plat::TShareKind::ReadShared, plat::TFileCreation::CreateNew,
                   plat::TFileLink::NoFollow, plat::TFileMode::OwnerOnly)) {
      if (file.Failure() == plat::TOpenFailure::Exists) continue;
      return false;
    }
    // A response file of an earlier holder of the name may have appeared
    // between the look and the create: the name is still taken.
    if (plat::EntryExists(ClientFile(id, "_OUT"))) {
      file.Close();
      plat::DeleteFile(request);
      continue;
    }
    cgi.ClientId = id;
    cgi.RequestFileName = request;
  }
  if (!file.IsOpen()) return false;
  std::string head;
  for (const std::string& entry : plat::EnvironmentBlock()) head += entry + "\r\n";
  head += "KESTREL_CGI_DEBUG=true\r\n\r\n";
  bool ok = file.Write(head);
  int length = 0;
  if (!plat::TryStrToInt(GetEnvVar("CONTENT_LENGTH"), length)) length = 0;
  char buffer[65536];
  // A body that ends early leaves the bytes that came.
  for (long left = length; ok && left > 0 && cgi.InputStream;) {
    const long got = cgi.InputStream->Read(buffer, std::min<long>(left, sizeof buffer));
    if (got <= 0) break;
    ok = file.Write(buffer, got);
    left -= got;
  }
  if (!ok) {
    file.Close();
    plat::DeleteFile(cgi.RequestFileName);
  }
  return ok;
}

bool HandOverRequest() {
  if (GetEnvVar("SERVER_SOFTWARE").empty() || plat::UpperCase(GetEnvVar("CGI_VERSION")).find("WIN") != std::string::npos ||
      !plat::EntryExists(QueueFileName()))
    return false;
  // A name the record cannot hold whole is not handed over.
  if (ClientFile("0000", "_REQ").size() > kMaxRecordName) return false;
  TServerData& data = ServerData();
  for (int attempt = 0; attempt < Attempts(50); ++attempt) {
    data.QueueOwner = false;
    plat::TFile queue;
    if (!queue.Open(QueueFileName(), plat::TFileAccess::ReadWrite, plat::TShareKind::Exclusive,
                    plat::TFileCreation::OpenExisting, plat::TFileLink::NoFollow)) {
      // Only a queue held by another process is worth waiting for; one this
      // account may not open (a server of another account) never will be.
      if (queue.Failure() != plat::TOpenFailure::SharingViolation) {
        WriteLog("Can not open file " + QueueFileName());
        return false;
      }
      plat::SleepMs(Step(50));
      continue;
    }
    if (!WriteRequestFile()) return false;
    const std::string name = CgiThreadFields().RequestFileName;
    const TQueueRecord record = TQueueRecord::Make(plat::Now(), name);
    if (!queue.SeekEnd() || !queue.Write(record.Bytes, TQueueRecord::Size)) {
      plat::DeleteFile(name);
      return false;
    }
    data.RecordName = name;
    queue.Touch();
    queue.Close();
    // A client woken by the server has no need to give it a head start.
    if (!WakeUps()) plat::SleepMs(50);
    return true;
  }
  return false;
}

int GetRequestStatus() {
  const std::string& own = ServerData().RecordName;
  for (int attempt = 0; attempt < Attempts(100); ++attempt) {
    if (!plat::EntryExists(QueueFileName())) return 3;
    plat::TFile queue;
    if (!queue.Open(QueueFileName(), plat::TFileAccess::Read, plat::TShareKind::Exclusive,
                    plat::TFileCreation::OpenExisting, plat::TFileLink::NoFollow)) {
      plat::SleepMs(Step(100));
      continue;
    }
    TQueueRecord record;
    while (queue.ReadFully(record.Bytes, TQueueRecord::Size) == TQueueRecord::Size)
      if (record.RecordName() == own) return record.Status();
    return 2;
  }
  if (QueueStale()) DeleteQueueFile();
  return 4;
}

bool CopyResponse(plat::TFile& in, plat::THandleStream& out) {
  constexpr long Block = 1024;
  char buffer[Block + 1];
  const int64_t size = in.Size();
  long got = in.ReadFully(buffer, Block);
  if (got < 0) return false;
  buffer[got] = 0;
  // Searched as zero-terminated text, as the header block never holds a zero.
  const char* end = std::strstr(buffer, "\r\n\r\n");
  bool ok = true;
  if (end) {
    const long before = end - buffer;
    const std::string length = "\r\nContent-Length: " + std::to_string(size - before - 4);
    ok = out.Write(buffer, before) && out.Write(length.data(), static_cast<long>(length.size())) &&
         out.Write(end, got - before);
  } else {
    ok = out.Write(buffer, got);
  }
  while (ok && got == Block) {
    got = in.ReadFully(buffer, Block);
    ok = got >= 0 && out.Write(buffer, got);
  }
  return ok;
}

void WaitForResponse() {
  static bool ServerWindowSeen = false;
  TCgiThreadFields& cgi = CgiThreadFields();
  plat::InstallQuitSignals();
  const double start = plat::Now();
  plat::TFileWatch queue;
  if (WakeUps()) queue.Watch(QueueFileName());
  try {
    while (start + 180.0 / 86400 > plat::Now() && !plat::QuitSignalPending()) {
      const bool window = ServerWindowExists();
      const int status = GetRequestStatus();
      if ((ServerWindowSeen && !window) || (status != 2 && plat::EntryExists(QueueFileName()) && QueueStale())) {
        DeleteQueueFile();
        plat::DeleteFile(cgi.RequestFileName);
        plat::ExitProcessNow(0);
      }
      if (window) ServerWindowSeen = true;
      if (status == 2) {
        const std::string response = ClientFile(cgi.ClientId, "_OUT");
        plat::TFile in;
        if (!in.Open(response, plat::TFileAccess::Read, plat::TShareKind::ReadShared,
                     plat::TFileCreation::OpenExisting, plat::TFileLink::NoFollow))
          WriteLog("Can not open file " + response);
        else if (cgi.OutputStream)
          CopyResponse(in, *cgi.OutputStream);
        in.Close();
        plat::DeleteFile(response);
        break;
      }
      if (status >= 3) {
        WriteLog("CGI server aborted");
        break;
      }
      queue.Wait(100);
    }
  } catch (...) {
  }
  TerminateCgiProcess();
  plat::ExitProcessNow(0);
}

TTaken TakeNextRequest(TQueueRecord& record, bool windowsCgi, bool lookPast) {
  plat::TFile queue;
  if (!OpenQueue(queue, plat::TFileAccess::ReadWrite, windowsCgi ? 60 : 100)) return TTaken::None;
  for (int64_t at = 0;; at += TQueueRecord::Size) {
    if (queue.ReadFully(record.Bytes, TQueueRecord::Size) < TQueueRecord::Size) {
      queue.Touch();
      return TTaken::None;
    }
    if (record.Status() != TQueueRecord::Waiting) continue;
    if (EndsWith(record.RecordName(), ReqSuffix) == windowsCgi) {
      if (lookPast) continue;
      return TTaken::Other;
    }
    // Taken, so that a request thread still serving it is not given it again.
    record.SetStatus(TQueueRecord::Taken);
    if (!queue.Seek(at) || !queue.Write(record.Bytes, 1)) return TTaken::None;
    return TTaken::Own;
  }
}

void OpenRequestFiles(const std::string& Name) {
  TCgiThreadFields& cgi = CgiThreadFields();
  const std::string stem = Name.substr(0, Name.size() - 3);
  plat::TFile input, output;
  if (!input.Open(stem + "REQ", plat::TFileAccess::Read, plat::TShareKind::ReadShared,
                  plat::TFileCreation::OpenExisting, plat::TFileLink::NoFollow))
    throw plat::Exception("Datei " + stem + "REQ kann nicht ge\xF6" "ffnet werden");
  if (!output.Open(stem + "OUT", plat::TFileAccess::Write, plat::TShareKind::ReadShared,
                   plat::TFileCreation::CreateAlways, plat::TFileLink::NoFollow, plat::TFileMode::OwnerOnly))
    throw plat::Exception("Datei " + stem + "OUT kann nicht erstellt werden");
  // The variable block: lines end in CR or LF bytes, two of them end a
  // line, four the block.
  std::vector<std::string> variables;
  std::string line;
  int lineEnds = 0;
  int64_t offset = 0;
  char buffer[4096];
  for (bool done = false; !done;) {
    const long got = input.Read(buffer, sizeof buffer);
    if (got <= 0) break;
    for (long i = 0; i < got && !done; ++i) {
      ++offset;
      if (buffer[i] != '\r' && buffer[i] != '\n') {
        line += buffer[i];
        lineEnds = 0;
        continue;
      }
      if (++lineEnds == 2) {
        variables.push_back(std::move(line));
        line.clear();
      }
      done = lineEnds == 4;
    }
  }
  input.Seek(offset);
  cgi.RequestVariables = std::move(variables);
  cgi.InputStream.emplace(input.Release());
  cgi.OutputStream.emplace(output.Release());
}

void FinishRequest(const std::string& Name) {
  TCgiThreadFields& cgi = CgiThreadFields();
  cgi.RequestVariables.reset();
  if (!plat::EntryExists(QueueFileName())) return;
  // Read, compact and write back under one open: a client appending between
  // a read and a rewrite would lose its entry.
  plat::TFile queue;
  if (OpenQueue(queue, plat::TFileAccess::ReadWrite, 50)) {
    std::string kept;
    TQueueRecord record;
    while (queue.ReadFully(record.Bytes, TQueueRecord::Size) == TQueueRecord::Size)
      if (record.RecordName() != Name && record.Status() < TQueueRecord::Done)
        kept.append(reinterpret_cast<const char*>(record.Bytes), TQueueRecord::Size);
    if (queue.Seek(0) && queue.Write(kept)) queue.Truncate(static_cast<int64_t>(kept.size()));
    queue.Touch();
    queue.Close();
  }
  if (IsClientRequestFile(Name)) plat::DeleteFile(Name);
}

void DeleteServerFiles() {
  DeleteQueueFile();
  plat::DeleteFile(WindowFileName());
  DeleteClientFiles();
}
