// A forum client for the store's multi-process tests. Works on the forum
// files FilePrefix + "_data.dat" ... through an in-process fake request.
//
//   parlino_poster post PREFIX COUNT TAG
//       waits for PREFIX_go, then posts COUNT messages with the subjects
//       TAG-0, TAG-1, ... and the bodies "body of TAG-i"; prints "Id subject"
//       per post.
//   parlino_poster remove-when PREFIX RECORDS
//       waits until the data file holds RECORDS records, removes the first
//       one and prints its number.
//   parlino_poster remove-loop PREFIX ID [TIMES]
//       removes ID over and over (TIMES times, or until killed), printing a
//       "." after each removal.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/HUtils.h"
#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatExcept.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatText.h"
#include "platform/PlatThreads.h"
#include "tests/support/FakeEngine.h"

namespace {

int Usage() {
  std::fputs("usage: parlino_poster post|remove-when|remove-loop PREFIX ...\n", stderr);
  return 2;
}

bool WaitFor(const std::string& path) {
  for (int i = 0; i < 20000; ++i) {
    if (plat::FileExists(path)) return true;
    plat::SleepMs(1);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  const std::string mode = argv[1];
  TForumState state;
  state.FilePrefix = argv[2];
  const std::string dataFile = state.FilePrefix + "_data.dat";

  FakeEngine engine;
  engine.AutoHttpHeader = false;
  FakeRequestScope scope(engine);
  THttpCookie cookie(nullptr);
  cookie.CookieName = "NEWSGROUP";

  try {
    TNewsNavigator navigator(dataFile, state, cookie);
    if (mode == "post" && argc == 5) {
      const int count = plat::StrToInt(argv[3]);
      const std::string tag = argv[4];
      plat::TouchFile(state.FilePrefix + "_ready_" + tag);
      if (!WaitFor(state.FilePrefix + "_go")) return 3;
      plat::Randomize();
      for (int i = 0; i < count; ++i) {
        const std::string subject = tag + "-" + std::to_string(i);
        engine.FieldData = "NEWNAME=" + UrlEncode(tag) + "&NEWEMAIL=poster%40example.org&NEWSUBJECT=" +
                           UrlEncode(subject) + "&NEWTEXT=" + UrlEncode("body of " + subject);
        navigator.AddMessage();
        engine.Output.clear();
        // Its number: the newest record with this (unique) subject.
        std::string records;
        plat::ReadWholeFile(dataFile, records);
        bool reported = false;
        for (size_t pos = records.size() / 180 * 180; pos >= 180 && !reported; pos -= 180) {
          TNewsRecord r = TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(records.data()) + pos - 180);
          if (r.Subject == subject) {
            std::printf("%d %s\n", r.Id, subject.c_str());
            reported = true;
          }
        }
        if (!reported) std::printf("missing %s\n", subject.c_str());
        std::fflush(stdout);
        plat::SleepMs(plat::Random(6));
      }
    } else if (mode == "remove-when" && argc == 4) {
      const long records = plat::StrToInt(argv[3]);
      std::string contents;
      for (;;) {
        plat::ReadWholeFile(dataFile, contents);
        if (static_cast<long>(contents.size()) >= records * 180) break;
        plat::SleepMs(1);
      }
      TNewsRecord first = TNewsRecord::Decode(reinterpret_cast<const unsigned char*>(contents.data()));
      navigator.RemoveMessage(first.Id);
      std::printf("%d\n", first.Id);
    } else if (mode == "remove-loop" && (argc == 4 || argc == 5)) {
      const int id = plat::StrToInt(argv[3]);
      const int times = argc == 5 ? plat::StrToInt(argv[4]) : -1;
      for (int i = 0; times < 0 || i < times; ++i) {
        navigator.RemoveMessage(id);
        std::fputc('.', stdout);
        std::fflush(stdout);
      }
    } else {
      return Usage();
    }
  } catch (const plat::Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::printf("error %s\n", e.what());
    return 1;
  }
  return 0;
}
