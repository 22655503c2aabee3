// PBHCopyFileSync against cp and a plain copy_file_range loop, side by side,
// on a 256 MiB file and on a sparse 1 GiB file with two 64 KiB extents, under
// /tmp or $QUILLMATE_BENCH_DIR.  Page cache warm; the copy is removed after
// each iteration (not timed).
//
//   bench_servercopybench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <CoreServices/CoreServices.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string base() {
  const char *env = std::getenv("QUILLMATE_BENCH_DIR");
  return std::string(env ? env : "/tmp") + "/quillmate-bench-copy-" + std::to_string(getpid());
}

const std::string &folder() {
  static std::string dir = [] {
    std::string d = base();
    mkdir(d.c_str(), 0755);
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = static_cast<char>(i * 31);
    int fd = open((d + "/dense").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int i = 0; i < 256; ++i)
      if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
        std::abort();
    close(fd);
    fd = open((d + "/sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (pwrite(fd, chunk.data(), 65536, 0) != 65536 ||
        pwrite(fd, chunk.data(), 65536, 512 << 20) != 65536 || ftruncate(fd, 1 << 30) != 0)
      std::abort();
    close(fd);
    std::atexit([] { (void)std::system(("rm -rf '" + base() + "'").c_str()); });
    return d;
  }();
  return dir;
}

void removeCopy() { unlink((folder() + "/copy").c_str()); }

void BM_PBHCopyFileSync(benchmark::State &state, const char *name) {
  const std::string dir = folder();
  FSRef source;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>((dir + "/" + name).c_str()), &source,
                    nullptr) != noErr)
    std::abort();
  FSSpec spec;
  FSGetCatalogInfo(&source, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr);
  unsigned char copyName[] = "\x04" "copy";
  for (auto _ : state) {
    HParamBlockRec pb{};
    pb.copyParam.ioNamePtr = spec.name;
    pb.copyParam.ioVRefNum = spec.vRefNum;
    pb.copyParam.ioDirID = spec.parID;
    pb.copyParam.ioDstVRefNum = spec.vRefNum;
    pb.copyParam.ioNewDirID = spec.parID;
    pb.copyParam.ioCopyName = copyName;
    if (PBHCopyFileSync(&pb) != noErr)
      std::abort();
    state.PauseTiming();
    removeCopy();
    state.ResumeTiming();
  }
}

void BM_cp(benchmark::State &state, const char *name) {
  const std::string cmd = "cp '" + folder() + "/" + name + "' '" + folder() + "/copy'";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0)
      std::abort();
    state.PauseTiming();
    removeCopy();
    state.ResumeTiming();
  }
}

/// The kernel copy of the whole length, holes and all, for comparison.
void BM_copy_file_range(benchmark::State &state, const char *name) {
  const std::string from = folder() + "/" + name, to = folder() + "/copy";
  for (auto _ : state) {
    int in = open(from.c_str(), O_RDONLY);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    struct stat st;
    fstat(in, &st);
    off_t left = st.st_size;
    while (left > 0) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
      if (n <= 0)
        std::abort();
      left -= n;
    }
    close(in);
    close(out);
    state.PauseTiming();
    removeCopy();
    state.ResumeTiming();
  }
}

BENCHMARK_CAPTURE(BM_PBHCopyFileSync, dense_256MiB, "dense")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_cp, dense_256MiB, "dense")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_copy_file_range, dense_256MiB, "dense")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PBHCopyFileSync, sparse_1GiB, "sparse")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_cp, sparse_1GiB, "sparse")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_copy_file_range, sparse_1GiB, "sparse")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
