// The resident CGI server: short-lived CGI processes hand their requests to
// one long-running process of the program through files beside
// ServerBasePath, wait for the answer and copy it to the web server.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "engine/HttpEngContext.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"

// One entry of the request queue file, as stored: 268 bytes, no padding.
// Offset 0 status, 1-3 spare, 4 the queueing time (little-endian OLE date,
// local time), 12 the request file's full path, zero-terminated.
struct TQueueRecord {
  static constexpr int Size = 268;
  static constexpr int NameSize = 256;
  enum : uint8_t { Waiting = 0, Taken = 1, Done = 2 };
  unsigned char Bytes[Size] = {};

  static TQueueRecord Make(double queuedAt, const std::string& name);
  uint8_t Status() const { return Bytes[0]; }
  void SetStatus(uint8_t status) { Bytes[0] = status; }
  double QueuedAt() const;
  std::string RecordName() const;
};

// What a thread knows of the queue: whether it created (and so owns) the
// queue file, and the name of the entry its client wrote.
struct TServerData : TStatePart {
  bool QueueOwner = false;
  std::string RecordName;
  ~TServerData() override;
};
TServerData& ServerData();

// Request threads of either server still running. A server's end waits for
// them (at most 30 seconds) before its queue file goes: their clients wait
// on it.
std::atomic<int>& RunningRequestThreads();
void WaitForRequestThreads();

// Server and clients wake on changes of the queue file instead of waiting
// out their polling pauses, unless PARLINO_POLL_ONLY is set.
bool WakeUps();
std::string QueueFileName();   // ServerBasePath + "_S"
std::string WindowFileName();  // the file that stands for the server's window
bool ServerWindowExists();

// Client side.
void QueueHousekeeping();
bool HandOverRequest();
// Draws a ClientId whose two files are free and writes the request file;
// false when no name could be had or the file could not be written.
bool WriteRequestFile();
[[noreturn]] void WaitForResponse();
// 0, 1 as in the entry, 2 done (or gone), 3 no queue file, 4 queue file locked.
int GetRequestStatus();
// Copies a response file to out, inserting the Content-Length of the body
// when the header block ends within its first 1024 bytes.
bool CopyResponse(plat::TFile& in, plat::THandleStream& out);

// Server side.
// A request file of this program's clients; no other name is ever served
// or deleted.
bool IsClientRequestFile(const std::string& path);
// A Windows CGI server leaves the client files alone.
void CreateQueueFile(bool removeClientFiles = true);
// The queue file's last write is more than 30 seconds ago.
bool QueueStale();
// The first waiting entry, marked taken when it is of the caller's kind
// (a Windows CGI entry names no "_REQ" file). lookPast: entries of the other
// kind are left to the other server of this process.
enum class TTaken { None, Own, Other };
TTaken TakeNextRequest(TQueueRecord& record, bool windowsCgi = false, bool lookPast = false);
void OpenRequestFiles(const std::string& Name);
void FinishRequest(const std::string& Name);
// The server's own files (queue, window, client files), deleted at its end.
void DeleteServerFiles();
// Deletes the client files ServerBasePath + "_C_" + four hex digits +
// "_REQ" or "_OUT", one at a time, until none is left or a deletion fails.
void DeleteClientFiles();
