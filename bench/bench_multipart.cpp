// Multipart upload throughput: a 64 MB file part parsed from a fake client
// into a temporary file, next to a plain file copy of the same size in the
// same directory. Before the timed runs it prints the peak resident set
// after a 1 MB and after a 64 MB upload: the reader streams, so the two
// should be about the same.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HUtilsMultipart.h"
#include "platform/PlatFiles.h"
#include "platform/PlatProcess.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t MB = 1024 * 1024;
const std::string Boundary = "---------------------------BenchBoundary7d91b03a20128";

// 1 MB of random bytes, repeated to make any content size.
const std::string& Block() {
  static const std::string block = [] {
    std::mt19937_64 random(42);
    std::string bytes(MB, '\0');
    for (size_t i = 0; i < bytes.size(); i += 8) {
      const uint64_t v = random();
      std::memcpy(&bytes[i], &v, 8);
    }
    return bytes;
  }();
  return block;
}

// The body of one upload, produced as it is read: memory does not depend on
// its size.
struct SyntheticUpload {
  std::string head, tail;
  int64_t contentSize = 0;
  int64_t pos = 0;

  explicit SyntheticUpload(int64_t size) : contentSize(size) {
    head = "--" + Boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nbench\r\n--" + Boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"upload.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n";
    tail = "\r\n--" + Boundary + "--\r\n";
  }
  int64_t Size() const { return static_cast<int64_t>(head.size()) + contentSize + static_cast<int64_t>(tail.size()); }

  int Read(char* out, int count) {
    const int64_t headSize = static_cast<int64_t>(head.size());
    int64_t n = std::min<int64_t>(count, Size() - pos);
    int64_t done = 0;
    while (done < n) {
      const int64_t at = pos + done;
      int64_t piece;
      if (at < headSize) {
        piece = std::min(n - done, headSize - at);
        std::memcpy(out + done, head.data() + at, piece);
      } else if (at < headSize + contentSize) {
        const int64_t inContent = at - headSize;
        const int64_t inBlock = inContent % MB;
        piece = std::min({n - done, MB - inBlock, contentSize - inContent});
        std::memcpy(out + done, Block().data() + inBlock, piece);
      } else {
        const int64_t inTail = at - headSize - contentSize;
        piece = std::min(n - done, static_cast<int64_t>(tail.size()) - inTail);
        std::memcpy(out + done, tail.data() + inTail, piece);
      }
      done += piece;
    }
    pos += n;
    return static_cast<int>(n);
  }
};

thread_local SyntheticUpload* current = nullptr;

int FakeRead(void* buffer, int count) { return current->Read(static_cast<char*>(buffer), count); }

std::string WorkDir() {
  static const std::string dir = [] {
    const fs::path path = fs::path(plat::ProgramFileName()).parent_path() / "bench_multipart_tmp";
    fs::create_directories(path);
    return path.string();
  }();
  return dir;
}

// Parses one upload; returns the size of the stored file, -1 on a fault.
// The temporary files are left in tempFiles.
int64_t ParseUpload(int64_t contentSize, std::vector<std::string>& tempFiles) {
  SyntheticUpload upload(contentSize);
  current = &upload;
  HttpFunctions().HttpReadClient = FakeRead;
  std::string data;
  ReadMultipartData(data, static_cast<int>(upload.Size()), WorkDir(), tempFiles);
  current = nullptr;
  int64_t size = -1;
  if (tempFiles.size() == 1 && GetFieldValue("note", data, "") == "bench") {
    plat::TSearchRec record;
    if (plat::FindFirstFile(tempFiles[0], plat::faAnyFile, record) == 0) size = record.Size;
  }
  return size;
}

void DeleteAll(std::vector<std::string>& files) {
  for (const std::string& path : files) plat::DeleteFile(path);
  files.clear();
}

int64_t ParseAndDelete(int64_t contentSize) {
  std::vector<std::string> tempFiles;
  const int64_t size = ParseUpload(contentSize, tempFiles);
  DeleteAll(tempFiles);
  return size;
}

void BM_MultipartUpload(benchmark::State& state) {
  const int64_t size = state.range(0) * MB;
  std::vector<std::string> tempFiles;
  for (auto _ : state) {
    const int64_t stored = ParseUpload(size, tempFiles);
    state.PauseTiming();
    DeleteAll(tempFiles);
    state.ResumeTiming();
    if (stored != size) {
      state.SkipWithError("the stored file has the wrong size");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_PlainFileCopy(benchmark::State& state) {
  const int64_t size = state.range(0) * MB;
  const std::string source = WorkDir() + "/copy_source.bin";
  const std::string target = WorkDir() + "/copy_target.bin";
  {
    plat::TFile file;
    file.Open(source, plat::TFileAccess::Write, plat::TShareKind::Exclusive, plat::TFileCreation::CreateAlways);
    for (int64_t written = 0; written < size; written += MB) file.Write(Block().data(), MB);
  }
  std::vector<char> buffer(MultipartRingSize);
  for (auto _ : state) {
    plat::TFile in, out;
    in.Open(source, plat::TFileAccess::Read, plat::TShareKind::ReadShared);
    out.Open(target, plat::TFileAccess::Write, plat::TShareKind::Exclusive, plat::TFileCreation::CreateAlways);
    long n;
    while ((n = in.Read(buffer.data(), static_cast<long>(buffer.size()))) > 0) out.Write(buffer.data(), n);
    out.Close();
    state.PauseTiming();
    plat::DeleteFile(target);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * size);
  plat::DeleteFile(source);
}

// Rates by wall-clock time: both spend much of it in the kernel.
BENCHMARK(BM_MultipartUpload)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();
BENCHMARK(BM_PlainFileCopy)->Arg(64)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  Block();
  const long before = PeakRssKb();
  const bool small = ParseAndDelete(1 * MB) == 1 * MB;
  const long afterSmall = PeakRssKb();
  const bool large = ParseAndDelete(64 * MB) == 64 * MB;
  const long afterLarge = PeakRssKb();
  std::printf("peak RSS before parsing: %ld KB\n", before);
  std::printf("peak RSS after parsing a 1 MB upload: %ld KB%s\n", afterSmall, small ? "" : " (parse FAILED)");
  std::printf("peak RSS after parsing a 64 MB upload: %ld KB%s\n", afterLarge, large ? "" : " (parse FAILED)");
  std::fflush(stdout);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(WorkDir());
  return small && large ? 0 : 1;
}
