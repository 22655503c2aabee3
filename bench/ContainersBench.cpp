// The file utility library's folder operations beside plain system calls and
// the usual tools, on the tree of BenchTree.h, on /tmp (ext4) and /dev/shm
// (tmpfs) side by side (argument 0 and 1):
// - FSIterateContainer asking nothing but the node flags it always gets,
//   against a C walk with openat/readdir/fstatat;
// - FSDeleteContainer against rm -rf (a fresh tree for each run, not timed);
// - FSGetDirectoryItems of a folder of 10,000 items against readdir of it.
//
//   bench_containersbench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <FileUtilities.h>

#include "bench/BenchTree.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <dirent.h>
#include <map>

namespace {

const char *const kBases[] = {"/tmp", "/dev/shm"};

std::string baseFor(const benchmark::State &state) {
  const char *env = std::getenv("QUILLMATE_BENCH_DIR");
  return env ? env : kBases[state.range(0)];
}

/// One tree per base, made once and removed at exit.
const std::string &sharedTree(const std::string &base) {
  static std::map<std::string, std::string> trees;
  auto it = trees.find(base);
  if (it == trees.end()) {
    std::string root = base + "/quillmate-bench-containers-" + std::to_string(getpid());
    benchtree::make(root);
    if (trees.empty())
      std::atexit([] {
        for (auto &[b, r] : trees)
          benchtree::remove(r);
      });
    it = trees.emplace(base, root).first;
  }
  return it->second;
}

FSRef refOf(const std::string &path) {
  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr))
    std::abort();
  return ref;
}

// --- walking -----------------------------------------------------------------

Boolean countItem(Boolean, ItemCount, const FSCatalogInfo *, const FSRef *, const FSSpec *,
                  const HFSUniStr255 *, void *data) {
  ++*static_cast<long *>(data);
  return false;
}

void BM_IterateContainer(benchmark::State &state) {
  FSRef root = refOf(sharedTree(baseFor(state)));
  long n = 0;
  for (auto _ : state) {
    n = 0;
    if (FSIterateContainer(&root, 0, kFSCatInfoNone, false, false, countItem, &n))
      std::abort();
  }
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_IterateContainer)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

long walkPosix(int dirfd) {
  DIR *d = fdopendir(dirfd);
  long count = 0;
  while (struct dirent *e = readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
      continue;
    struct stat st;
    if (fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      std::abort();
    ++count;
    if (S_ISDIR(st.st_mode))
      count += walkPosix(openat(dirfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  }
  closedir(d);
  return count;
}

void BM_WalkPosix(benchmark::State &state) {
  const std::string &root = sharedTree(baseFor(state));
  long n = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(n = walkPosix(open(root.c_str(), O_RDONLY | O_DIRECTORY)));
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_WalkPosix)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- deleting ------------------------------------------------------------------

std::string scratchTree(const benchmark::State &state) {
  return baseFor(state) + "/quillmate-bench-delete-" + std::to_string(getpid());
}

void BM_DeleteContainer(benchmark::State &state) {
  std::string root = scratchTree(state);
  for (auto _ : state) {
    state.PauseTiming();
    benchtree::make(root);
    sync();
    FSRef ref = refOf(root);
    state.ResumeTiming();
    if (FSDeleteContainer(&ref) != noErr)
      std::abort();
  }
}
BENCHMARK(BM_DeleteContainer)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_DeleteRmRf(benchmark::State &state) {
  std::string root = scratchTree(state);
  for (auto _ : state) {
    state.PauseTiming();
    benchtree::make(root);
    sync();
    state.ResumeTiming();
    benchtree::remove(root);
  }
}
BENCHMARK(BM_DeleteRmRf)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// --- listing -------------------------------------------------------------------

constexpr int kListed = 10000;

const std::string &flatFolder(const std::string &base) {
  static std::map<std::string, std::string> folders;
  auto it = folders.find(base);
  if (it == folders.end()) {
    std::string root = base + "/quillmate-bench-list-" + std::to_string(getpid());
    benchtree::makeFlat(root, kListed);
    if (folders.empty())
      std::atexit([] {
        for (auto &[b, r] : folders)
          benchtree::remove(r);
      });
    it = folders.emplace(base, root).first;
  }
  return it->second;
}

void BM_GetDirectoryItems(benchmark::State &state) {
  FSRef folder = refOf(flatFolder(baseFor(state)));
  ItemCount n = 0;
  for (auto _ : state) {
    FSRef **items = nullptr;
    Boolean changed = false;
    if (FSGetDirectoryItems(&folder, &items, &n, &changed))
      std::abort();
    DisposeHandle(reinterpret_cast<Handle>(items));
  }
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_GetDirectoryItems)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Readdir(benchmark::State &state) {
  const std::string &folder = flatFolder(baseFor(state));
  long n = 0;
  for (auto _ : state) {
    DIR *d = opendir(folder.c_str());
    n = 0;
    while (struct dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
        ++n;
    closedir(d);
  }
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_Readdir)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
