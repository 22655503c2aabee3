// The file utility library's folder operations beside plain system calls and
// the usual tools, on the tree of BenchTree.h, on /tmp (ext4) and /dev/shm
// (tmpfs) side by side (first argument 0 and 1), the walk and the deletion
// also with a `._` file beside every tenth file (second argument 1):
// - FSIterateContainer asking nothing but the node flags it always gets,
//   against a C walk with openat/readdir/fstatat;
// - FSDeleteContainer against rm -rf (a fresh tree for each run, not timed);
// - FSGetDirectoryItems of a folder of 10,000 items against readdir of it,
//   and readdir with one statx per item (what the File Manager checks).
//
//   bench_containersbench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <FileUtilities.h>

#include "bench/BenchTree.h"
#include "platform/filemanager/DoubleHeader.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <dirent.h>

namespace {

const char *const kBases[] = {"/tmp", "/dev/shm"};

std::string baseFor(const benchmark::State &state) {
  const char *env = std::getenv("QUILLMATE_BENCH_DIR");
  return env ? env : kBases[state.range(0)];
}

/// Every tenth file of the tree with a `._` file beside it, as the file
/// server writes one for a resource fork of 256 bytes.
void makeWithSidecars(const std::string &root) {
  benchtree::make(root);
  namespace dbl = quillmate::fm::dbl;
  std::string bytes(dbl::kSidecarForkOffset + 256, 'r');
  dbl::sidecarHeader(256).encode(reinterpret_cast<UInt8 *>(bytes.data()));
  std::memset(bytes.data() + dbl::kSidecarFinderInfoOffset, 0, dbl::kFinderInfoSize);
  benchtree::addSidecars(root, bytes, 10);
}

bool withSidecars(const benchmark::State &state) { return state.range(1) != 0; }

const std::string &sharedTree(const benchmark::State &state) {
  return withSidecars(state)
             ? benchtree::once(baseFor(state), "quillmate-bench-sidecars", makeWithSidecars)
             : benchtree::once(baseFor(state), "quillmate-bench-containers", benchtree::make);
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
  FSRef root = refOf(sharedTree(state));
  long n = 0;
  for (auto _ : state) {
    n = 0;
    if (FSIterateContainer(&root, 0, kFSCatInfoNone, false, false, countItem, &n))
      std::abort();
  }
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_IterateContainer)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_WalkPosix(benchmark::State &state) {
  const std::string &root = sharedTree(state);
  long n = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(n = benchtree::walkPosix(open(root.c_str(), O_RDONLY | O_DIRECTORY)));
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_WalkPosix)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// --- deleting ------------------------------------------------------------------

std::string scratchTree(const benchmark::State &state) {
  return baseFor(state) + "/quillmate-bench-delete-" + std::to_string(getpid());
}

void makeScratch(const benchmark::State &state, const std::string &root) {
  if (withSidecars(state))
    makeWithSidecars(root);
  else
    benchtree::make(root);
}

void BM_DeleteContainer(benchmark::State &state) {
  std::string root = scratchTree(state);
  for (auto _ : state) {
    state.PauseTiming();
    makeScratch(state, root);
    sync();
    FSRef ref = refOf(root);
    state.ResumeTiming();
    if (FSDeleteContainer(&ref) != noErr)
      std::abort();
  }
}
BENCHMARK(BM_DeleteContainer)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_DeleteRmRf(benchmark::State &state) {
  std::string root = scratchTree(state);
  for (auto _ : state) {
    state.PauseTiming();
    makeScratch(state, root);
    sync();
    state.ResumeTiming();
    benchtree::remove(root);
  }
}
BENCHMARK(BM_DeleteRmRf)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// --- listing -------------------------------------------------------------------

constexpr int kListed = 10000;

const std::string &flatFolder(const std::string &base) {
  return benchtree::once(base, "quillmate-bench-list",
                         [](const std::string &root) { benchtree::makeFlat(root, kListed); });
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

// What a reference costs beyond a name: the File Manager checks each item's
// identity (inode, birth time) with one statx, as a C listing would stat it.
void BM_ReaddirStatx(benchmark::State &state) {
  const std::string &folder = flatFolder(baseFor(state));
  long n = 0;
  for (auto _ : state) {
    DIR *d = opendir(folder.c_str());
    n = 0;
    while (struct dirent *e = readdir(d)) {
      if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
        continue;
      struct statx stx;
      if (statx(dirfd(d), e->d_name, AT_SYMLINK_NOFOLLOW,
                STATX_TYPE | STATX_MODE | STATX_INO | STATX_BTIME | STATX_MNT_ID, &stx) != 0)
        std::abort();
      ++n;
    }
    closedir(d);
  }
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_ReaddirStatx)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
