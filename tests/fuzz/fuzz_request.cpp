// One whole request in-process: any method, cookie and field data, served by
// the forum from four messages laid anew each time. Whatever the request: no
// file left open, no markup from the request, no missing-value marker; whole
// records with unique positive numbers, each with its text; no half-written
// data file left; a post shown as stored is stored, and only a removal takes
// messages away.
// The forum lies beside the program file, in "parlino": tools/fuzz.sh gives
// each run a program file of its own.
// Input, split at line feeds: the end of the settings file (CR ends its
// lines), REQUEST_METHOD, HTTP_COOKIE, then the field data.
#include "FuzzSupport.h"
#include "forum/ParlinoF.h"
#include "forum/ParlinoUtil.h"
#include "support/FakeEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto parts = fuzz::Split(std::string_view(reinterpret_cast<const char*>(bytes), size), "\n", 4);
  if (parts.size() < 4) return 0;
  static TForm1* form = (InitHttpEngine(), new TForm1(nullptr));
  static const std::string dir = std::filesystem::path(ModuleFileName()).replace_filename("parlino"),
                           prefix = dir + "/" + std::filesystem::path(ModuleFileName()).stem().string();
  std::filesystem::remove_all(dir), std::filesystem::create_directory(dir);
  std::ofstream(prefix + ".ini", std::ios::binary) << "[Parameters]\r\nEntries=2\r\n" + parts[0];
  std::string data;
  for (const int32_t id : {1000, 2000, 1001, 3000}) {  // a reply, and a message answering itself
    TNewsRecord r;
    r.Id = id, r.ReplyId = id % 1000 ? 1000 : id == 3000 ? id : 0, r.Subject = "&lt;b&gt;", r.Name = "Anna";
    data.resize(data.size() + TNewsRecord::RecordSize);
    r.Encode(reinterpret_cast<unsigned char*>(data.data() + data.size() - TNewsRecord::RecordSize));
    std::ofstream(prefix + "_" + std::to_string(id) + ".txt", std::ios::binary) << "<i>text</i>\r\n>quoted";
  }
  std::ofstream(prefix + "_data.dat", std::ios::binary) << data;

  FakeEngine engine;
  engine.OnExecRequest = [](TObject* sender) { form->GeneralHttpEngine1ExecRequest(sender); };
  engine.OnRequestError = [](TObject* sender, const plat::Exception& e) { form->GeneralHttpEngine1RequestError(sender, e); };
  engine.Variables = {{"REQUEST_METHOD", parts[1]}, {"HTTP_COOKIE", parts[2]}, {"SCRIPT_NAME", "/cgi-bin/parlino"}};
  engine.FieldData = parts[3];
  const long open = fuzz::OpenFiles();
  RunRequest(&engine);
  const std::string& page = engine.Output;
  fuzz::Check(fuzz::OpenFiles() == open, "a request leaves no file open");
  // An error page may quote the request, so the marker counts only where the request has none.
  const bool markerSent = std::string_view(reinterpret_cast<const char*>(bytes), size).find("NOT_AVAILABLE") != std::string_view::npos;
  fuzz::Check((markerSent || page.find(NotAvailable) == page.npos) && page.find("<xss") == page.npos,
              "no marker, no markup from input", page);
  plat::ReadWholeFile(prefix + "_data.dat", data);
  std::set<int32_t> ids;
  for (size_t at = 0; at + TNewsRecord::RecordSize <= data.size(); at += TNewsRecord::RecordSize) {
    const int32_t id = TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(data.data() + at)).Id;
    fuzz::Check(id > 0 && ids.insert(id).second && std::filesystem::exists(prefix + "_" + std::to_string(id) + ".txt"),
                "messages have unique positive numbers and their texts", std::to_string(id));
  }
  fuzz::Check(data.size() % TNewsRecord::RecordSize == 0 && !std::filesystem::exists(prefix + "_data.new"), "whole records");
  fuzz::Check(page.find(">Your message have been posted !<") == page.npos || ids.size() == 5, "a post shown is stored");
  fuzz::Check(page.find(">The message has been removed !<") != page.npos || ids.size() >= 4, "only a removal removes");
  return 0;
}
