// The file utility library beside the commands and calls that do the same
// work, under /tmp or $QUILLMATE_BENCH_DIR:
// - FSCopyFork of a 1 GiB file through a 1 MiB buffer (uncached transfers)
//   against dd bs=1M with iflag=nocache oflag=nocache, and, to show what the
//   uncached transfers cost, the same fork loop without noCacheMask against
//   plain dd.  The source is dropped from the page cache and the disk is
//   synced before each run (not timed), so every run reads from the disk.
// - FSCopyFork of a 64 MiB resource fork (in the `._` file beside its file)
//   into another file's resource fork, against FSCopyFork of the same bytes
//   as a data fork and dd of them between two files (iflag=nocache
//   oflag=nocache), each from a cold cache as above.
// - FSCopyFile of the same file against cp, page cache warm.
// - FSExchangeObjectsCompat natively and through its fallback (the volume
//   presented without the native call), in one folder and in two.
// - FSMoveRenameObjectUnicode against FSMoveRename, a file moved between two
//   folders under alternating names.
//
//   bench_filesbench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//   bench_filesbench --benchmark_filter=64MiB --benchmark_repetitions=10
//       --benchmark_enable_random_interleaving=true   (runs of each kind interleaved)
#include <FileUtilities.h>

#include "platform/filemanager/testing/FileManagerTesting.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using quillmate::fm::testing::FaultInjector;

constexpr size_t kMiB = size_t(1) << 20;
constexpr size_t kBigSize = 1024 * kMiB;

std::string base() {
  const char *env = std::getenv("QUILLMATE_BENCH_DIR");
  return std::string(env ? env : "/tmp") + "/quillmate-bench-files-" + std::to_string(getpid());
}

/// The bench folder, with the 1 GiB file "big" in it; removed at exit.
const std::string &folder() {
  static std::string dir = [] {
    std::string d = base();
    mkdir(d.c_str(), 0755);
    std::vector<char> chunk(kMiB);
    for (size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = static_cast<char>(i * 131 >> 3);
    int fd = open((d + "/big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (size_t i = 0; i < kBigSize / kMiB; ++i)
      if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
        std::abort();
    close(fd);
    std::atexit([] { (void)std::system(("rm -rf '" + base() + "'").c_str()); });
    return d;
  }();
  return dir;
}

std::string bigPath() { return folder() + "/big"; }
std::string copyPath() { return folder() + "/copy"; }

FSRef refOf(const std::string &path) {
  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr) != noErr)
    std::abort();
  return ref;
}

/// Not timed: the copy removed, everything on the disk, the source out of
/// the page cache, an empty destination ready.
void coldStart() {
  unlink(copyPath().c_str());
  sync();
  int fd = open(bigPath().c_str(), O_RDONLY);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  close(open(copyPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
}

/// The fork loop FSCopyFork runs, with the transfers' position mode given.
OSErr forkLoop(FSIORefNum src, FSIORefNum dst, std::vector<char> &buffer, UInt16 mode) {
  SInt64 size;
  FSGetForkSize(src, &size);
  FSSetForkSize(dst, fsFromStart, size);
  OSErr readResult, writeResult;
  do {
    ByteCount got = 0;
    readResult = FSReadFork(src, mode, 0, buffer.size(), buffer.data(), &got);
    writeResult = FSWriteFork(dst, mode, 0, got, buffer.data(), nullptr);
  } while (readResult == noErr && writeResult == noErr);
  if (writeResult != noErr)
    return writeResult;
  return readResult == eofErr ? OSErr(noErr) : readResult;
}

void BM_ForkCopy(benchmark::State &state, bool library) {
  std::vector<char> buffer(kMiB);
  for (auto _ : state) {
    state.PauseTiming();
    coldStart();
    FSRef from = refOf(bigPath()), to = refOf(copyPath());
    state.ResumeTiming();
    FSIORefNum src, dst;
    FSOpenFork(&from, 0, nullptr, fsRdPerm, &src);
    FSOpenFork(&to, 0, nullptr, fsRdWrPerm, &dst);
    OSErr err = library ? FSCopyFork(src, dst, buffer.data(), buffer.size())
                        : forkLoop(src, dst, buffer, fsAtMark);
    FSCloseFork(src);
    FSCloseFork(dst);
    if (err != noErr)
      std::abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}

void BM_dd(benchmark::State &state, const char *flags) {
  const std::string cmd = "dd if='" + bigPath() + "' of='" + copyPath() + "' bs=1M status=none " +
                          flags;
  for (auto _ : state) {
    state.PauseTiming();
    coldStart();
    state.ResumeTiming();
    if (std::system(cmd.c_str()) != 0)
      std::abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}

// --- A 64 MiB resource fork ------------------------------------------------------

constexpr size_t kForkSize = 64 * kMiB;

/// The folder of the fork copies: "plain", 64 MiB of data, and "holder",
/// whose resource fork holds the same bytes (in "._holder"); removed at exit.
const std::string &forkFolder() {
  static std::string dir = [] {
    std::string d = base() + "-forks";
    mkdir(d.c_str(), 0755);
    std::vector<char> bytes(kForkSize);
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(i * 131 >> 3);
    int fd = open((d + "/plain").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      std::abort();
    close(fd);
    close(open((d + "/holder").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    FSRef holder = refOf(d + "/holder");
    HFSUniStr255 rsrc;
    FSGetResourceForkName(&rsrc);
    FSIORefNum fork;
    if (FSOpenFork(&holder, rsrc.length, rsrc.unicode, fsRdWrPerm, &fork) != noErr ||
        FSWriteFork(fork, fsFromStart, 0, bytes.size(), bytes.data(), nullptr) != noErr ||
        FSCloseFork(fork) != noErr)
      std::abort();
    std::atexit([] { (void)std::system(("rm -rf '" + base() + "-forks'").c_str()); });
    return d;
  }();
  return dir;
}

/// Not timed: the copies removed, everything on the disk, both sources out
/// of the page cache, empty destinations ready.
void coldForkStart() {
  const std::string &d = forkFolder();
  for (const char *name : {"/copy", "/._copy", "/plaincopy"})
    unlink((d + name).c_str());
  sync();
  for (const char *name : {"/plain", "/._holder"}) {
    int fd = open((d + name).c_str(), O_RDONLY);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
  for (const char *name : {"/copy", "/plaincopy"})
    close(open((d + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
}

/// FSCopyFork of the 64 MiB resource fork into the resource fork of an empty
/// file (`resource`), or of the same bytes as a data fork into a data fork.
void BM_CopyFork64MiB(benchmark::State &state, bool resource) {
  std::vector<char> buffer(kMiB);
  HFSUniStr255 name;
  FSGetResourceForkName(&name);
  if (!resource)
    name.length = 0;
  for (auto _ : state) {
    state.PauseTiming();
    coldForkStart();
    FSRef from = refOf(forkFolder() + (resource ? "/holder" : "/plain"));
    FSRef to = refOf(forkFolder() + (resource ? "/copy" : "/plaincopy"));
    state.ResumeTiming();
    FSIORefNum src, dst;
    if (FSOpenFork(&from, name.length, name.unicode, fsRdPerm, &src) != noErr ||
        FSOpenFork(&to, name.length, name.unicode, fsRdWrPerm, &dst) != noErr ||
        FSCopyFork(src, dst, buffer.data(), buffer.size()) != noErr ||
        FSCloseFork(src) != noErr || FSCloseFork(dst) != noErr)
      std::abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kForkSize));
}

void BM_dd64MiB(benchmark::State &state) {
  const std::string cmd = "dd if='" + forkFolder() + "/plain' of='" + forkFolder() +
                          "/plaincopy' bs=1M status=none iflag=nocache oflag=nocache";
  for (auto _ : state) {
    state.PauseTiming();
    coldForkStart();
    state.ResumeTiming();
    if (std::system(cmd.c_str()) != 0)
      std::abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kForkSize));
}

/// Reads the source once so that the copies start from a warm cache.
void warm() {
  std::vector<char> buffer(kMiB);
  int fd = open(bigPath().c_str(), O_RDONLY);
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }
  close(fd);
}

void BM_FSCopyFile(benchmark::State &state) {
  FSRef from = refOf(bigPath()), into = refOf(folder());
  const std::u16string name = u"copy";
  warm();
  for (auto _ : state) {
    state.PauseTiming();
    unlink(copyPath().c_str());
    state.ResumeTiming();
    if (FSCopyFile(&from, &into, name.size(), reinterpret_cast<const UniChar *>(name.data()),
                   kTextEncodingUnknown, nullptr) != noErr)
      std::abort();
  }
}

void BM_cp(benchmark::State &state) {
  const std::string cmd = "cp '" + bigPath() + "' '" + copyPath() + "'";
  warm();
  for (auto _ : state) {
    state.PauseTiming();
    unlink(copyPath().c_str());
    state.ResumeTiming();
    if (std::system(cmd.c_str()) != 0)
      std::abort();
  }
}

/// Two 4 KiB files, in one folder or two; removed afterwards.
struct SmallPair {
  explicit SmallPair(bool twoFolders) {
    a = folder() + "/a";
    b = twoFolders ? folder() + "/b" : a;
    mkdir(a.c_str(), 0755);
    mkdir(b.c_str(), 0755);
    std::string block(4096, 'x');
    for (const std::string &p : {a + "/alpha", b + "/beta"}) {
      int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (write(fd, block.data(), block.size()) != ssize_t(block.size()))
        std::abort();
      close(fd);
    }
    src = refOf(a + "/alpha");
    dst = refOf(b + "/beta");
  }
  ~SmallPair() { (void)std::system(("rm -rf '" + a + "' '" + b + "'").c_str()); }
  std::string a, b;
  FSRef src, dst;
};

void BM_Exchange(benchmark::State &state, bool native, bool twoFolders) {
  SmallPair pair(twoFolders);
  // Both ways through the same interception, so only the path differs.
  FaultInjector faults;
  if (!native)
    faults.withoutCapability(0, bSupportsFSExchangeObjects, true);
  for (auto _ : state) {
    FSRef newSrc, newDst;
    if (FSExchangeObjectsCompat(&pair.src, &pair.dst, &newSrc, &newDst) != noErr)
      std::abort();
    pair.src = newSrc;
    pair.dst = newDst;
  }
}

void BM_Move(benchmark::State &state, bool undoable) {
  SmallPair pair(true);
  FSRef folders[2] = {refOf(pair.a), refOf(pair.b)};
  const std::u16string names[2] = {u"alpha", u"moved"};
  FSRef object = pair.src;
  int at = 0;
  for (auto _ : state) {
    const int to = 1 - at;
    const UniChar *name = reinterpret_cast<const UniChar *>(names[to].data());
    FSRef moved;
    OSErr err = undoable ? FSMoveRenameObjectUnicode(&object, &folders[to], names[to].size(),
                                                     name, kTextEncodingUnknown, &moved)
                         : FSMoveRename(&object, &folders[to], names[to].size(), name,
                                        kTextEncodingUnknown, &moved);
    if (err != noErr)
      std::abort();
    object = moved;
    at = to;
  }
}

/// The least disturbed run, beside the median: the machine is shared.
double fastest(const std::vector<double> &runs) {
  return *std::min_element(runs.begin(), runs.end());
}

/// Whole-file copies: wall time (the work is in the kernel and in child
/// processes), with the fastest run.
void asCopy(benchmark::internal::Benchmark *b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->ComputeStatistics("min", fastest);
}

BENCHMARK_CAPTURE(BM_ForkCopy, FSCopyFork_1GiB_1MiB, true)->Apply(asCopy);
BENCHMARK_CAPTURE(BM_dd, nocache_1GiB, "iflag=nocache oflag=nocache")->Apply(asCopy);
BENCHMARK_CAPTURE(BM_ForkCopy, fork_loop_cached_1GiB, false)->Apply(asCopy);
BENCHMARK_CAPTURE(BM_dd, cached_1GiB, "")->Apply(asCopy);
BENCHMARK_CAPTURE(BM_CopyFork64MiB, resource_fork, true)->Apply(asCopy);
BENCHMARK_CAPTURE(BM_CopyFork64MiB, data_fork, false)->Apply(asCopy);
BENCHMARK(BM_dd64MiB)->Apply(asCopy);
BENCHMARK(BM_FSCopyFile)->Apply(asCopy);
BENCHMARK(BM_cp)->Apply(asCopy);
BENCHMARK_CAPTURE(BM_Exchange, native_one_folder, true, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Exchange, fallback_one_folder, false, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Exchange, native_two_folders, true, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Exchange, fallback_two_folders, false, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Move, FSMoveRenameObjectUnicode, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Move, FSMoveRename, false)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
