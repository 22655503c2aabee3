// A walk that reads every item's Finder information, against a C walk that
// makes one fstatat and one getxattrat of netatalk's attribute per item: 60,000
// files in 60 folders under /tmp (or $QUILLMATE_BENCH_DIR), without Finder
// information (argument 0), with it, set through FSSetCatalogInfo, where the
// layer keeps it (argument 1), and with it and a 5,000-byte resource fork on
// every tenth file, the walk asking the resource fork's sizes too (argument
// 2; the C walk sees each `._` file in the listing and makes its fstatat and
// getxattrat as of any item).
//
//   bench_finderinfobench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <CoreServices/CoreServices.h>

#include "bench/BenchTree.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int kFolders = 60, kFilesEach = 1000;

enum Tree { kPlain, kFinderInfo, kFinderInfoAndForks };

void addFork(const FSRef &ref) {
  HFSUniStr255 rsrc;
  FSIORefNum fork;
  const std::string bytes(5000, 'r');
  if (FSGetResourceForkName(&rsrc) ||
      FSOpenFork(&ref, rsrc.length, rsrc.unicode, fsRdWrPerm, &fork) ||
      FSWriteFork(fork, fsFromStart, 0, bytes.size(), bytes.data(), nullptr) || FSCloseFork(fork))
    std::abort();
}

void makeTree(const std::string &root, Tree kind) {
  mkdir(root.c_str(), 0755);
  for (int f = 0; f < kFolders; ++f)
    benchtree::makeFlat(root + "/f" + std::to_string(f), kFilesEach);
  if (kind == kPlain)
    return;
  FSCatalogInfo info{};
  FileInfo fi{};
  fi.fileType = 0x54455854; // 'TEXT'
  fi.fileCreator = 0x514D5445; // 'QMTE'
  std::memcpy(info.finderInfo, &fi, sizeof fi);
  for (int f = 0; f < kFolders; ++f)
    for (int i = 0; i < kFilesEach; ++i) {
      const std::string path = root + "/f" + std::to_string(f) + "/item" + std::to_string(i);
      FSRef ref;
      if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr) ||
          FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info))
        std::abort();
      if (kind == kFinderInfoAndForks && i % 10 == 0)
        addFork(ref);
    }
}

const std::string &tree(int64_t kind) {
  static const char *const names[] = {"quillmate-bench-nofinfo", "quillmate-bench-finfo",
                                      "quillmate-bench-finfo-rsrc"};
  return benchtree::once(benchtree::base(), names[kind], [kind](const std::string &root) {
    makeTree(root, static_cast<Tree>(kind));
  });
}

void BM_WalkFinderInfo(benchmark::State &state) {
  FSRef root;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(tree(state.range(0)).c_str()), &root,
                    nullptr))
    std::abort();
  const FSCatalogInfoBitmap which =
      kFSCatInfoFinderInfo | (state.range(0) == kFinderInfoAndForks ? kFSCatInfoRsrcSizes : 0);
  long n = 0;
  UInt32 types = 0, forks = 0;
  for (auto _ : state) {
    types = forks = 0;
    benchmark::DoNotOptimize(
        n = benchtree::walkFileManager(root, 64, which, [&](const FSCatalogInfo &info) {
          FileInfo fi;
          std::memcpy(&fi, info.finderInfo, sizeof fi);
          types += fi.fileType == 0x54455854; // 'TEXT'
          forks += info.rsrcLogicalSize != 0;
        }));
  }
  state.counters["items"] = static_cast<double>(n);
  state.counters["typed"] = static_cast<double>(types);
  state.counters["forks"] = static_cast<double>(forks);
}
BENCHMARK(BM_WalkFinderInfo)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The attribute `name` of `name` in `dirfd` into `value`, as the layer
/// reads it: getxattrat, or (kernels before 6.13) through /proc/self/fd.
ssize_t getAttributeAt(int dirfd, const char *name, const char *attribute, void *value,
                       size_t size) {
  struct {
    uint64_t value;
    uint32_t size, flags;
  } args{reinterpret_cast<uint64_t>(value), static_cast<uint32_t>(size), 0};
  constexpr long kGetxattrat = 464;
  ssize_t n = ::syscall(kGetxattrat, dirfd, name, AT_SYMLINK_NOFOLLOW, attribute, &args, sizeof args);
  if (n >= 0 || errno != ENOSYS)
    return n;
  const std::string path = "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
  return lgetxattr(path.c_str(), attribute, value, size);
}

void BM_WalkPosixGetxattr(benchmark::State &state) {
  const std::string &root = tree(state.range(0));
  long n = 0;
  UInt32 types = 0;
  for (auto _ : state) {
    types = 0;
    benchmark::DoNotOptimize(
        n = benchtree::walkPosix(open(root.c_str(), O_RDONLY | O_DIRECTORY),
                                 [&](int dirfd, const char *name) {
                                   unsigned char value[512];
                                   if (getAttributeAt(dirfd, name, "user.org.netatalk.Metadata",
                                                      value, sizeof value) > 0x7a + 4)
                                     types += std::memcmp(value + 0x7a, "TEXT", 4) == 0;
                                 }));
  }
  state.counters["items"] = static_cast<double>(n);
  state.counters["typed"] = static_cast<double>(types);
}
BENCHMARK(BM_WalkPosixGetxattr)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
