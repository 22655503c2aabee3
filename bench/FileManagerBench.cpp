// The File Manager against plain system calls and the usual tools, side by
// side on one tree of 100,000 files in 1,010 folders (10 x 100 folders of
// 100 files each) under /tmp, or under $QUILLMATE_BENCH_DIR.
//
//   bench_filemanagerbench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <CoreServices/CoreServices.h>

#include "bench/BenchTree.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using benchtree::base;
using benchtree::make;
using benchtree::remove;
using benchtree::walkFileManager;

const std::string &sharedTree() {
  return benchtree::once(base(), "quillmate-bench-walk", make);
}

// --- walks -------------------------------------------------------------------

void BM_WalkFileManager(benchmark::State &state) {
  FSRef root;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(sharedTree().c_str()), &root, nullptr))
    std::abort();
  long n = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(n = walkFileManager(root, static_cast<ItemCount>(state.range(0))));
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_WalkFileManager)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WalkPosix(benchmark::State &state) {
  long n = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(n = benchtree::walkPosix(open(sharedTree().c_str(), O_RDONLY | O_DIRECTORY)));
  state.counters["items"] = static_cast<double>(n);
}
BENCHMARK(BM_WalkPosix)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WalkFindPrintf(benchmark::State &state) {
  std::string cmd = "find '" + sharedTree() + "' -printf '%m %s\\n' > /dev/null";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0)
      std::abort();
}
BENCHMARK(BM_WalkFindPrintf)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- memory of the node table --------------------------------------------------

// Heap in use, large (mapped) blocks included: the table's arrays are.
size_t heapBytes() {
  struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void BM_NodeTableBytesPerObject(benchmark::State &state) {
  // A tree of its own, so that every object is new to the table.
  std::string root = base() + "/quillmate-bench-mem-" + std::to_string(getpid());
  make(root);
  double perObject = 0;
  for (auto _ : state) {
    size_t before = heapBytes();
    FSRef ref;
    if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(root.c_str()), &ref, nullptr))
      std::abort();
    long n = walkFileManager(ref, 64);
    size_t after = heapBytes();
    perObject = static_cast<double>(after - before) / static_cast<double>(n);
    state.SetIterationTime(1);
  }
  state.counters["bytes_per_object"] = perObject;
  remove(root);
}
BENCHMARK(BM_NodeTableBytesPerObject)->Iterations(1)->UseManualTime();

// --- deleting the tree ---------------------------------------------------------

// The file utility library's whole-folder delete, call for call: per level a
// deleting iterator read one item at a time with node flags only, a folder
// item emptied first, a locked item unlocked, then deleted; the folder itself
// last.
struct DeleteGlobals {
  OSErr status = noErr;
  ItemCount returnedCount = 0;
  FSCatalogInfo itemInfo{};
};

void deleteLevel(const FSRef *container, DeleteGlobals *g) {
  FSIterator it;
  if ((g->status = FSOpenIterator(container, kFSIterateDelete, &it)))
    return;
  do {
    FSRef item;
    g->status = FSGetCatalogInfoBulk(it, 1, &g->returnedCount, nullptr, kFSCatInfoNodeFlags,
                                     &g->itemInfo, &item, nullptr, nullptr);
    if (g->status == noErr && g->returnedCount == 1) {
      const UInt16 flags = g->itemInfo.nodeFlags;
      if (flags & kFSNodeIsDirectoryMask)
        deleteLevel(&item, g);
      if (g->status != noErr)
        break;
      if (flags & kFSNodeLockedMask) {
        g->itemInfo.nodeFlags = flags & ~kFSNodeLockedMask;
        FSSetCatalogInfo(&item, kFSCatInfoNodeFlags, &g->itemInfo);
      }
      g->status = FSDeleteObject(&item);
    }
  } while (g->status == noErr);
  if (g->status == errFSNoMoreItems)
    g->status = noErr;
  FSCloseIterator(it);
}

OSErr deleteContainer(const FSRef *container) {
  FSCatalogInfo info;
  if (OSErr err = FSGetCatalogInfo(container, kFSCatInfoNodeFlags, &info, nullptr, nullptr,
                                   nullptr))
    return err;
  if (!(info.nodeFlags & kFSNodeIsDirectoryMask))
    return dirNFErr;
  DeleteGlobals g;
  deleteLevel(container, &g);
  if (g.status)
    return g.status;
  if (info.nodeFlags & kFSNodeLockedMask) {
    info.nodeFlags &= ~kFSNodeLockedMask;
    FSSetCatalogInfo(container, kFSCatInfoNodeFlags, &info);
  }
  return FSDeleteObject(container);
}

// Argument 0: /tmp (or $QUILLMATE_BENCH_DIR); 1: /dev/shm.
std::string deletionRoot(const benchmark::State &state) {
  std::string folder = state.range(0) ? std::string("/dev/shm") : base();
  return folder + "/quillmate-bench-del-" + std::to_string(getpid());
}

void BM_DeleteFileManager(benchmark::State &state) {
  const std::string root = deletionRoot(state);
  for (auto _ : state) {
    state.PauseTiming();
    make(root);
    sync();
    FSRef ref;
    if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(root.c_str()), &ref, nullptr))
      std::abort();
    state.ResumeTiming();
    if (deleteContainer(&ref) != noErr)
      std::abort();
  }
}
BENCHMARK(BM_DeleteFileManager)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_DeleteRmRf(benchmark::State &state) {
  const std::string root = deletionRoot(state);
  for (auto _ : state) {
    state.PauseTiming();
    make(root);
    sync();
    state.ResumeTiming();
    remove(root);
  }
}
BENCHMARK(BM_DeleteRmRf)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// --- fork writes ---------------------------------------------------------------

// 64 bytes written at offset 512 of a 1 KiB fork, again and again: the data
// fork (0) is one pwrite; the resource fork (1) rewrites its attribute whole,
// under the file's flock, after reading it again.
void BM_WriteFork(benchmark::State &state) {
  const bool resource = state.range(0) != 0;
  std::string path = base() + "/quillmate-bench-fork-" + std::to_string(getpid());
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0)
    std::abort();
  close(fd);
  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr))
    std::abort();
  HFSUniStr255 name;
  FSGetResourceForkName(&name);
  FSIORefNum fork;
  if (FSOpenFork(&ref, resource ? name.length : 0, resource ? name.unicode : nullptr,
                 fsRdWrPerm, &fork))
    std::abort();
  char bytes[1024] = {};
  if (FSWriteFork(fork, fsFromStart, 0, sizeof bytes, bytes, nullptr))
    std::abort();
  for (auto _ : state)
    if (FSWriteFork(fork, fsFromStart, 512, 64, bytes, nullptr))
      std::abort();
  FSCloseFork(fork);
  unlink(path.c_str());
}
BENCHMARK(BM_WriteFork)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
