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

// The name that, with the password in the e-mail field, marks an
// administrator's request.
inline constexpr const char* AdminName = "tavik";

struct TNewsRecord {
  // The file layout: little-endian, each text NUL-terminated in its field.
  static constexpr int RecordSize = 180;
  static constexpr int SubjectOffset = 0, SubjectSize = 65;
  static constexpr int EmailOffset = 65, EmailSize = 49;
  static constexpr int NameOffset = 114, NameSize = 33;
  static constexpr int IdOffset = 148;
  static constexpr int ReplyIdOffset = 152;
  static constexpr int TimeOffset = 164;
  // The most a posted text keeps: its field less the terminating NUL.
  static constexpr int SubjectLength = SubjectSize - 1;  // 64
  static constexpr int EmailLength = EmailSize - 1;      // 48
  static constexpr int NameLength = NameSize - 1;        // 32

  std::string Subject;  // stored escaped
  std::string Email;
  std::string Name;
  int32_t Id = 0;
  int32_t ReplyId = 0;
  double Time = 0;      // local OLE date
  int32_t Next = 0;     // in memory only
  uint8_t Level = 0;    // in memory only

  // The file layout: little-endian, NUL-terminated texts, zeros elsewhere.
  void Encode(unsigned char* out) const;
  static TNewsRecord Decode(const unsigned char* in);
  bool Empty() const { return Id == 0 && Subject.empty() && Name.empty() && Email.empty(); }

  // A little-endian 32-bit field of a raw record.
  static int32_t GetInt32(const unsigned char* in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(v);
  }
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
