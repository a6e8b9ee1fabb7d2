// One whole CGI request in-process: the standard CGI engine reads an
// arbitrary method, query string, content type, content length, cookie and
// body (from a file on standard input) and runs the forum's dispatcher
// against a forum of a few messages, reset before every run; the response is
// taken from standard output.
//
// The forum lies where the program finds it: beside this program file, in
// the directory "parlino" (so the files are <dir>/parlino/<program name>_*).
// Two of these processes must not share one program directory: the first one
// holds a lock, and tools/fuzz.sh gives each run a copy of its own.
//
// Input, split at line feeds: flags, REQUEST_METHOD, QUERY_STRING,
// CONTENT_TYPE, CONTENT_LENGTH ("-": the body's size), HTTP_COOKIE, then
// the body. Flag bits (first byte): 0 seven garbage bytes after the records,
// 1 a message without its text file, 2 the list page file is a directory,
// 3 AllowHTML=0, 4 page header and footer files, 5 Entries is no number,
// 6 no data file at all.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "adapters/CgiSEng.h"
#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "forum/ParlinoF.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"

namespace {

constexpr int RecordSize = TNewsRecord::RecordSize;

struct Seed {
  int32_t id, replyId;
  const char* subject;
  const char* text;
};
const Seed SeedMessages[] = {
    {1000, 0, "Hello", "First\r\nmessage"},
    {2000, 0, "Second &lt;b&gt;", "<i>html</i> body"},
    {1001, 1000, "RE: Hello", ">First\r\n>message\r\nreply"},
    {3000, 3000, "self", "a message that answers itself"},
};

struct Site {
  std::string programDir, dataDir, prefix, scratch;
  TForm1* form = nullptr;
  TCGIStdEngine* engine = nullptr;
};

Site& TheSite() {
  static Site site = [] {
    Site s;
    const std::string program = ModuleFileName();
    s.programDir = plat::ExtractFileDir(program);
    s.dataDir = s.programDir + "/parlino";
    std::string base = plat::ExtractFileName(program);
    if (base.rfind('.') != std::string::npos) base.resize(base.rfind('.'));
    s.prefix = s.dataDir + "/" + base;
    s.scratch = fuzz::ScratchDir();
    plat::CreateDir(s.dataDir);
    fuzz::Check(plat::DirectoryExists(s.dataDir), "the forum's data directory can be made", s.dataDir);
    const std::string lockName = s.programDir + "/." + base + ".lock";
    int lock = open(lockName.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0)
      fuzz::Fail("another fuzz_request runs from this directory: run a copy from a directory of its own",
                 s.programDir);

    plat::SetCommandLine(std::vector<std::string>{program});
    plat::SetEnv("GATEWAY_INTERFACE", "CGI/1.1");
    plat::SetEnv("SCRIPT_NAME", "/cgi-bin/parlino");
    plat::SetEnv("CGI_LOG_DIR", s.scratch + "/log");
    plat::UnsetEnv("CGI_VERSION");
    // The start-up steps of a CGI process, then the engine made without
    // serving a request at once, and never ending the process.
    plat::SetEnv("SERVER_SOFTWARE", "Apache/2.4");
    InitHttpEngine();
    CgiStdEngineStartup();
    s.form = new TForm1(nullptr);
    TEngineConfig config;
    config.Owner = s.form;
    TForm1* form = s.form;
    config.OnExecRequest = [form](TObject* sender) { form->GeneralHttpEngine1ExecRequest(sender); };
    config.OnRequestError = [form](TObject* sender, const plat::Exception& error) {
      form->GeneralHttpEngine1RequestError(sender, error);
    };
    config.AutoReadLimit = s.form->GeneralHttpEngine1->AutoReadLimit();
    config.TempDir = s.form->GeneralHttpEngine1->TempDir();
    config.CgiAutoTerminate = false;
    plat::UnsetEnv("SERVER_SOFTWARE");
    s.engine = new TCGIStdEngine(config);
    plat::SetEnv("SERVER_SOFTWARE", "Apache/2.4");
    return s;
  }();
  return site;
}

std::string Record(const Seed& m) {
  TNewsRecord r;
  r.Id = m.id;
  r.ReplyId = m.replyId;
  r.Subject = m.subject;
  r.Name = "Anna";
  r.Email = "anna@example.org";
  r.Time = 45000.5;
  unsigned char raw[RecordSize];
  r.Encode(raw);
  return std::string(reinterpret_cast<const char*>(raw), RecordSize);
}

void ResetForum(const Site& s, unsigned flags) {
  fuzz::ClearDirectory(s.dataDir);
  std::string ini = "[Parameters]\r\nEntries=" + std::string(flags & 32 ? "abc" : "2") + "\r\n";
  if (flags & 8) ini += "AllowHTML=0\r\n";
  fuzz::WriteFile(s.prefix + ".ini", ini);
  if (!(flags & 64)) {
    std::string data;
    for (const Seed& m : SeedMessages) {
      data += Record(m);
      if (!((flags & 2) && m.id == 2000))
        fuzz::WriteFile(s.prefix + "_" + std::to_string(m.id) + ".txt", m.text);
    }
    if (flags & 1) data += "garbage";
    fuzz::WriteFile(s.prefix + "_data.dat", data);
  }
  if (flags & 4) plat::CreateDir(s.prefix + "_command.htm");
  if (flags & 16) {
    fuzz::WriteFile(s.prefix + "_top.htm", "<html><body>TOP\r\n");
    fuzz::WriteFile(s.prefix + "_bottom.htm", "BOTTOM</body></html>");
  }
}

void SetVariable(const char* name, const std::string& value, bool present) {
  if (present) plat::SetEnv(name, value);
  else plat::UnsetEnv(name);
}

// Runs the request with the body on standard input and standard output
// going to a file; both are given back afterwards.
std::string Serve(const Site& s, const std::string& body) {
  const std::string in = s.scratch + "/body", out = s.scratch + "/response";
  fuzz::WriteFile(in, body);
  int inFd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
  int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  fuzz::Check(inFd >= 0 && outFd >= 0, "the request's streams can be opened");
  int savedIn = dup(0), savedOut = dup(1);
  dup2(inFd, 0);
  dup2(outFd, 1);
  close(inFd);
  close(outFd);
  RunRequest(s.engine);
  dup2(savedIn, 0);
  dup2(savedOut, 1);
  close(savedIn);
  close(savedOut);
  return fuzz::ReadFile(out);
}

bool Has(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// The message of the forum's error page, when the response ends with one.
bool ErrorMessage(const std::string& body, std::string& message) {
  const std::string start = "<html><body>", end = "</body></html>\r\n";
  if (body.size() < end.size() || body.compare(body.size() - end.size(), end.size(), end) != 0) return false;
  size_t at = body.rfind(start);
  if (at == std::string::npos || at + start.size() > body.size() - end.size()) return false;
  message = body.substr(at + start.size(), body.size() - end.size() - at - start.size());
  return !Has(message, "<");
}

bool Ends(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::vector<std::string> parts =
      fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 7);
  if (parts.size() < 7) return 0;
  const Site& site = TheSite();
  const unsigned flags = parts[0].empty() ? 0 : static_cast<unsigned char>(parts[0][0]);
  const std::string& body = parts[6];

  ResetForum(site, flags);
  SetVariable("REQUEST_METHOD", parts[1], true);
  SetVariable("QUERY_STRING", parts[2], !parts[2].empty());
  SetVariable("CONTENT_TYPE", parts[3], !parts[3].empty());
  SetVariable("CONTENT_LENGTH", parts[4] == "-" ? std::to_string(body.size()) : parts[4], !parts[4].empty());
  SetVariable("HTTP_COOKIE", parts[5], !parts[5].empty());
  // The environment cannot carry NUL bytes: what was set is what was asked
  // for up to the first one.

  const size_t descriptors = fuzz::OpenDescriptors();
  const std::string response = Serve(site, body);
  fuzz::Check(fuzz::OpenDescriptors() == descriptors, "a request leaves no file open",
              std::to_string(descriptors) + " before, " + std::to_string(fuzz::OpenDescriptors()) + " after");
  static const bool show = std::getenv("PARLINO_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "---- response\n%s\n---- end\n", response.c_str());

  // One header block, written by the engine, then an HTML page.
  const size_t headerEnd = response.find("\r\n\r\n");
  fuzz::Check(headerEnd != std::string::npos, "the response has a header block", fuzz::Show(response));
  const std::string header = response.substr(0, headerEnd + 2);
  const std::string page = response.substr(headerEnd + 4);
  int contentTypes = 0;
  for (size_t pos = 0; pos < header.size();) {
    size_t eol = header.find("\r\n", pos);
    const std::string line = header.substr(pos, eol - pos);
    fuzz::Check(line.find_first_of("\r\n") == std::string::npos, "a header line holds no line break", fuzz::Show(line));
    if (line == "content-type:text/html") ++contentTypes;
    else fuzz::Check(line.rfind("set-cookie:NEWSGROUP=", 0) == 0, "only the engine's header lines", fuzz::Show(line));
    pos = eol + 2;
  }
  fuzz::Check(contentTypes == 1, "the response is declared HTML once", fuzz::Show(header));
  fuzz::Check(!page.empty() && page[0] == '<', "the page is HTML", fuzz::Show(page));
  fuzz::Check(!Has(response, NotAvailable), "the missing-value marker is never written");
  fuzz::Check(!Has(response, "<xss"), "request input never reaches the page as markup", fuzz::Show(response, 2000));

  // A complete page, or the error page after what was written before it.
  std::string message;
  if (ErrorMessage(page, message)) {
    const bool conversion = Ends(message, "' ist kein g\xFCltiger Integerwert");
    const bool fileError = message.rfind("Datei " + site.dataDir + "/", 0) == 0 &&
                           (Ends(message, " kann nicht ge\xF6" "ffnet werden") || Ends(message, " kann nicht erstellt werden"));
    fuzz::Check(conversion || (fileError && (flags & 6)), "only bad numbers and damaged files fail a request",
                fuzz::Show(message));
  } else {
    fuzz::Check(Ends(page, flags & 16 ? "BOTTOM</body></html>" : "</body></html>\r\n"), "the page is complete",
                fuzz::Show(page.substr(page.size() > 300 ? page.size() - 300 : 0)));
  }

  // The store: whole records with unique numbers, each with its text file
  // (unless the forum was damaged that way), and no file left behind.
  const std::string data = fuzz::ReadFile(site.prefix + "_data.dat");
  fuzz::Check(data.size() % RecordSize == 0 || ((flags & 1) && data.size() % RecordSize == 7),
              "the data file holds whole records", std::to_string(data.size()) + " bytes");
  std::set<int32_t> ids;
  for (size_t at = 0; at + RecordSize <= data.size(); at += RecordSize) {
    const TNewsRecord r = TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(data.data() + at));
    fuzz::Check(ids.insert(r.Id).second, "message numbers never repeat", std::to_string(r.Id));
    fuzz::Check(r.Id > 0, "message numbers are positive", std::to_string(r.Id));
    fuzz::Check(plat::FileExists(site.prefix + "_" + std::to_string(r.Id) + ".txt") || ((flags & 2) && r.Id == 2000),
                "every message has its text", std::to_string(r.Id));
  }
  const size_t before = flags & 64 ? 0 : std::size(SeedMessages);
  if (Has(page, ">Your message have been posted !<"))
    fuzz::Check(ids.size() == before + 1, "a post shown as stored is stored", std::to_string(ids.size()));
  if (!Has(page, ">The message has been removed !<"))
    fuzz::Check(ids.size() >= before, "only a removal takes messages away", std::to_string(ids.size()));
  for (const std::string& name : fuzz::DirectoryNames(site.dataDir))
    fuzz::Check(!Ends(name, ".new"), "no half-written data file is left", name);
  for (const std::string& name : fuzz::DirectoryNames(site.programDir))
    fuzz::Check(!Ends(name, ".tmp"), "no uploaded file outlives its request", name);
  return 0;
}
