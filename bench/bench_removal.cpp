// A removal at 100,000 and 1,000,000 messages, each with its text file,
// beside its parts: copying the data file once and twice, checking every
// record's text file, scanning the data directory. The peak resident size
// (max_rss_MB, of the whole process so far) shows whether memory grows with
// the forum: the forums are written a block at a time, so only the removal
// could make it grow.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "engine/HUtilsCookie.h"
#include "forum/ParlinoUtil.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"

namespace {

class Forums {
 public:
  Forums() {
    dir_ = (std::filesystem::temp_directory_path() / ("parlino-removal-" + std::to_string(plat::ProcessId()))).string();
    std::filesystem::create_directories(dir_);
  }
  ~Forums() { std::filesystem::remove_all(dir_); }

  // n messages with distinct numbers, each with an (empty) text file: a
  // removal only asks whether a text file exists.
  const TForumState& Get(int n) {
    auto found = states_.find(n);
    if (found != states_.end()) return found->second;
    TForumState& state = states_[n];
    // Each forum in a directory of its own, which its removal scans.
    state.FilePrefix = dir_ + "/" + std::to_string(n) + "/forum";
    std::filesystem::create_directories(dir_ + "/" + std::to_string(n));
    plat::TFile data;
    data.Open(state.FilePrefix + "_data.dat", plat::TFileAccess::Write, plat::TShareKind::Exclusive,
              plat::TFileCreation::CreateAlways);
    std::string block;
    for (int i = 0; i < n; ++i) {
      TNewsRecord r;
      r.Id = 1 + i * 7;
      r.ReplyId = i % 3 ? r.Id - 7 : 0;
      r.Subject = "Subject of message number " + std::to_string(i);
      r.Name = "Poster";
      r.Email = "poster@example.org";
      unsigned char raw[TNewsRecord::RecordSize];
      r.Encode(raw);
      block.append(reinterpret_cast<const char*>(raw), sizeof raw);
      if (block.size() >= 1 << 20 || i == n - 1) data.Write(block), block.clear();
      plat::TFile text;
      text.Open(state.FilePrefix + "_" + std::to_string(r.Id) + ".txt", plat::TFileAccess::Write,
                plat::TShareKind::ReadShared, plat::TFileCreation::CreateAlways);
    }
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

void Report(benchmark::State& bench) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  bench.counters["max_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024;
  bench.SetItemsProcessed(bench.iterations() * bench.range(0));
}

// A number no message has: the removal keeps every record, so each round
// starts from the same forum.
void BM_Removal(benchmark::State& bench) {
  const TForumState& state = AllForums().Get(static_cast<int>(bench.range(0)));
  THttpCookie cookie(nullptr);
  TNewsNavigator navigator(state.FilePrefix + "_data.dat", state, cookie);
  for (auto _ : bench) navigator.RemoveMessage(2);
  Report(bench);
}

// A removal must leave its new data file on disk; the durable copy is the
// fair yardstick for that part.
void BM_CopyDataFile(benchmark::State& bench, int copies, bool durably) {
  const TForumState& state = AllForums().Get(static_cast<int>(bench.range(0)));
  const std::string copy = state.FilePrefix + "_copy.dat";
  for (auto _ : bench) {
    for (int i = 0; i < copies; ++i) plat::CopyFile(state.FilePrefix + "_data.dat", copy);
    plat::TFile file;
    if (durably && file.Open(copy, plat::TFileAccess::Write, plat::TShareKind::ReadShared)) file.Sync();
  }
  Report(bench);
}
void BM_CopyDataFileOnce(benchmark::State& bench) { BM_CopyDataFile(bench, 1, false); }
void BM_CopyDataFileOnceDurably(benchmark::State& bench) { BM_CopyDataFile(bench, 1, true); }
void BM_CopyDataFileTwice(benchmark::State& bench) { BM_CopyDataFile(bench, 2, false); }

void BM_CheckEveryTextFile(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  const TForumState& state = AllForums().Get(n);
  for (auto _ : bench) {
    int found = 0;
    for (int i = 0; i < n; ++i) found += plat::FileExists(state.FilePrefix + "_" + std::to_string(1 + i * 7) + ".txt");
    benchmark::DoNotOptimize(found);
  }
  Report(bench);
}

void BM_ScanDataDirectory(benchmark::State& bench) {
  const TForumState& state = AllForums().Get(static_cast<int>(bench.range(0)));
  for (auto _ : bench) {
    long names = 0;
    plat::ScanDirectory(plat::ExtractFileDir(state.FilePrefix), [&](const char*) { ++names; });
    benchmark::DoNotOptimize(names);
  }
  Report(bench);
}

}  // namespace

// The largest forum first: the peak size then shows the removal of a million
// messages, not a smaller one's.
BENCHMARK(BM_Removal)->Arg(1000000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyDataFileOnce)->Arg(1000000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyDataFileOnceDurably)->Arg(1000000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyDataFileTwice)->Arg(1000000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckEveryTextFile)->Arg(1000000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanDataDirectory)->Arg(1000000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
