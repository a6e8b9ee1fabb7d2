// The message store (data file of 180-byte records plus one text file per
// message) and the message list written from it.
#pragma once
#include <cstdint>
#include <string>

#include "forum/ParlinoFSettings.h"

class THttpCookie;
namespace plat {
class TFile;
}

struct TNewsRecord {
  static constexpr int RecordSize = 180;

  std::string Subject;  // at most 64 bytes, stored escaped
  std::string Email;    // at most 48
  std::string Name;     // at most 32
  int32_t Id = 0;
  int32_t ReplyId = 0;
  double Time = 0;      // local OLE date
  int32_t Next = 0;     // in memory only
  uint8_t Level = 0;    // in memory only

  // The file layout: little-endian, NUL-terminated texts, zeros elsewhere.
  void Encode(unsigned char* out) const;
  static TNewsRecord Decode(const unsigned char* in);
  bool Empty() const { return Id == 0 && Subject.empty() && Name.empty() && Email.empty(); }
};

class TNewsNavigator {
 public:
  // Creates the data file empty when there is none (EFCreateError).
  TNewsNavigator(const std::string& FileName, const TForumState& State, THttpCookie& Cookie);

  const std::string FileName;
  // How long an operation waits for another process's post or removal (or
  // a passing exclusive open) before it gives up with the open error.
  int WaitLimitMs = 10000;

  // Stores the current request's post (fields NEWNAME, NEWEMAIL, NEWSUBJECT,
  // NEWTEXT, REPLYID) and sets the visitor cookie first.
  void AddMessage();
  bool LoadMessage(int Id, TNewsRecord& Record, std::string& Body);
  void RemoveMessage(int Id);

  static std::string EscapeHtml(const std::string& S);
  static std::string ReplaceAll(const std::string& Old, const std::string& New, std::string S);

  // The list page the request shows, and the list itself.
  int CurrentPage();
  void WriteNewsList();

  std::string TextFileName(int Id) const;

 private:
  // Opens the data file for reading, waiting out a passing exclusive open;
  // EFOpenError when it cannot be opened.
  void OpenDataFile(plat::TFile& File) const;

  const TForumState& state_;
  THttpCookie& cookie_;
};
