// The list page: building the thread tree from the data file and writing one
// page of it, next to merely reading the same data file.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"
#include "platform/PlatTime.h"
#include "tests/support/FakeEngine.h"

namespace {

// Writes nowhere: only the list's own work is measured.
class NullEngine : public FakeEngine {
 public:
  void Write(const std::string&) override {}
};

class Forums {
 public:
  Forums() {
    dir_ = (std::filesystem::temp_directory_path() / ("parlino-bench-" + std::to_string(plat::ProcessId()))).string();
    std::filesystem::create_directories(dir_);
  }
  ~Forums() { std::filesystem::remove_all(dir_); }

  // A forum of n messages: a third start threads, the rest answer a random
  // earlier message. Numbers are drawn at random as the store draws them
  // (a few repeat by chance in the largest forum), or, for a forum damaged
  // by earlier versions, from only a thousand values.
  const TForumState& Get(int n, bool fewNumbers = false) {
    const int key = fewNumbers ? -n : n;
    auto found = states_.find(key);
    if (found != states_.end()) return found->second;
    TForumState& state = states_[key];
    state.FilePrefix = dir_ + "/forum" + std::to_string(key);
    std::mt19937 random(static_cast<unsigned>(n));
    std::uniform_int_distribution<int> anyId(1, fewNumbers ? 1000 : 1147483647);
    std::vector<int> ids;
    std::string bytes;
    double time = plat::EncodeDateTime({2024, 1, 1, 8, 0, 0, 0});
    for (int i = 0; i < n; ++i) {
      TNewsRecord r;
      r.Id = anyId(random);
      r.ReplyId = (i == 0 || random() % 3 == 0) ? 0 : ids[std::uniform_int_distribution<int>(0, i - 1)(random)];
      r.Subject = "RE: Subject of message number " + std::to_string(i);
      r.Name = "Poster " + std::to_string(i % 97);
      r.Email = "poster@example.org";
      r.Time = time + i / 1440.0;
      ids.push_back(r.Id);
      unsigned char raw[TNewsRecord::RecordSize];
      r.Encode(raw);
      bytes.append(reinterpret_cast<const char*>(raw), sizeof raw);
    }
    plat::TFile file;
    file.Open(state.FilePrefix + "_data.dat", plat::TFileAccess::Write, plat::TShareKind::Exclusive,
              plat::TFileCreation::CreateAlways);
    file.Write(bytes);
    return state;
  }

 private:
  std::string dir_;
  std::map<int, TForumState> states_;
};

Forums& AllForums() {
  static Forums forums;
  return forums;
}

void ListPage(benchmark::State& bench, const std::string& fields, bool fewNumbers = false) {
  const TForumState& state = AllForums().Get(static_cast<int>(bench.range(0)), fewNumbers);
  NullEngine engine;
  engine.AutoHttpHeader = false;
  engine.Variables["SCRIPT_NAME"] = "/cgi-bin/forum";
  engine.FieldData = fields;
  THttpCookie cookie(nullptr);
  TNewsNavigator navigator(state.FilePrefix + "_data.dat", state, cookie);
  for (auto _ : bench) navigator.WriteNewsList();
  bench.SetItemsProcessed(bench.iterations() * bench.range(0));
}

void BM_ReadDataFile(benchmark::State& bench) {
  const TForumState& state = AllForums().Get(static_cast<int>(bench.range(0)));
  std::string contents;
  for (auto _ : bench) {
    plat::ReadWholeFile(state.FilePrefix + "_data.dat", contents);
    benchmark::DoNotOptimize(contents.data());
  }
  bench.SetItemsProcessed(bench.iterations() * bench.range(0));
}

void BM_ListThreadedFirstPage(benchmark::State& bench) { ListPage(bench, ""); }
void BM_ListThreadedLastPage(benchmark::State& bench) {
  ListPage(bench, "PAGE=" + std::to_string((bench.range(0) + 24) / 25));
}
void BM_ListFlatFirstPage(benchmark::State& bench) { ListPage(bench, "NOTHREAD=yes"); }
void BM_ListThreadedRepeatedNumbers(benchmark::State& bench) { ListPage(bench, "", true); }

}  // namespace

BENCHMARK(BM_ReadDataFile)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListThreadedFirstPage)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListThreadedLastPage)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListFlatFirstPage)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListThreadedRepeatedNumbers)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
