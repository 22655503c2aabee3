// Forks: I/O at every position mode, sizes, access, resource forks in the
// `._` file beside their file, range locks, and the fork queries.  (More of
// resource forks, on more file systems and with the programs that share
// them, in ResourceForksTest.cpp.)
#include "FileManagerTestSupport.h"

#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <sys/xattr.h>

using namespace fmtest;

namespace {

class Forks : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    if (HasFatalFailure())
      return;
    writeFile(dir_ / "f", "0123456789");
    ASSERT_EQ(refFor(dir_ / "f", file_), noErr);
  }
  FSIORefNum open(SInt8 perm, bool resource = false, OSErr expect = noErr) {
    HFSUniStr255 name;
    FSGetResourceForkName(&name);
    FSIORefNum ref = 0;
    EXPECT_EQ(FSOpenFork(&file_, resource ? name.length : 0, resource ? name.unicode : nullptr,
                         perm, &ref),
              expect);
    return ref;
  }
  FSRef file_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, Forks, ::testing::ValuesIn(bases()));

TEST_P(Forks, ReadAndWriteAtEveryPositionMode) {
  FSIORefNum fork = open(fsRdWrPerm);
  char buf[16] = {};
  ByteCount n = 0;
  ASSERT_EQ(FSReadFork(fork, fsFromStart, 2, 3, buf, &n), noErr);
  EXPECT_EQ(std::string(buf, n), "234");
  ASSERT_EQ(FSReadFork(fork, fsAtMark | noCacheMask, 99, 2, buf, &n), noErr);
  EXPECT_EQ(std::string(buf, n), "56");
  ASSERT_EQ(FSReadFork(fork, fsFromMark, -3, 2, buf, &n), noErr);
  EXPECT_EQ(std::string(buf, n), "45");
  ASSERT_EQ(FSReadFork(fork, fsFromLEOF, -2, 5, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "89"); // the bytes before the end come with eofErr
  SInt64 mark = 0;
  ASSERT_EQ(FSGetForkPosition(fork, &mark), noErr);
  EXPECT_EQ(mark, 10);
  EXPECT_EQ(FSReadFork(fork, fsFromStart, -1, 1, buf, &n), posErr);
  EXPECT_EQ(FSReadFork(fork, 0x44, 0, 1, buf, &n), paramErr);

  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 8, 4, "ABCD", &n), noErr);
  EXPECT_EQ(n, 4u);
  ASSERT_EQ(FSWriteFork(fork, fsAtMark | noCacheMask, 0, 1, "!", nullptr), noErr);
  EXPECT_EQ(readFile(dir_ / "f"), "01234567ABCD!");
  // The classic calls share the mark.
  ASSERT_EQ(FSSetForkPosition(fork, fsFromStart, 1), noErr);
  SInt32 count = 2;
  ASSERT_EQ(FSRead(fork, &count, buf), noErr);
  EXPECT_EQ(std::string(buf, 2), "12");
  ASSERT_EQ(FSGetForkPosition(fork, &mark), noErr);
  EXPECT_EQ(mark, 3);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(FSCloseFork(fork), rfNumErr);
  EXPECT_EQ(FSReadFork(fork, fsAtMark, 0, 1, buf, &n), rfNumErr);
}

// Uncached transfers of 1 MiB leave nothing of a file read through them in
// the page cache, although the cache holds files in larger folios.  On ext4:
// tmpfs keeps its pages whatever it is advised.
TEST(UncachedTransfers, ASequentialReadLeavesNothingInThePageCache) {
  TempDir dir("/tmp");
  const size_t size = 64 << 20; // long enough for the readahead to make large folios
  writeFile(dir / "big", std::string(size, 'q'));
  int fd = ::open((dir / "big").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fsync(fd), 0);
  ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  FSRef ref;
  ASSERT_EQ(refFor(dir / "big", ref), noErr);
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdPerm, &fork), noErr);
  std::vector<char> buffer(1 << 20);
  ByteCount got = 0;
  OSErr err;
  while ((err = FSReadFork(fork, fsAtMark | noCacheMask, 0, buffer.size(), buffer.data(),
                           &got)) == noErr) {
  }
  EXPECT_EQ(err, eofErr);
  FSCloseFork(fork);
  void *map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  std::vector<unsigned char> pages(size / 4096);
  ASSERT_EQ(::mincore(map, size, pages.data()), 0);
  size_t resident = 0;
  for (unsigned char p : pages)
    resident += p & 1;
  EXPECT_EQ(resident, 0u);
  ::munmap(map, size);
  ::close(fd);
}

TEST_P(Forks, SizesAndPositions) {
  FSIORefNum fork = open(fsRdWrPerm);
  SInt64 size = 0;
  ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
  EXPECT_EQ(size, 10);
  ASSERT_EQ(FSSetForkPosition(fork, fsFromLEOF, 0), noErr);
  EXPECT_EQ(FSSetForkPosition(fork, fsFromLEOF, 1), eofErr);
  EXPECT_EQ(FSSetForkPosition(fork, fsFromStart, -1), posErr);
  ASSERT_EQ(FSSetForkSize(fork, fsFromStart, 4), noErr);
  SInt64 mark;
  ASSERT_EQ(FSGetForkPosition(fork, &mark), noErr);
  EXPECT_EQ(mark, 4); // never past the end
  ASSERT_EQ(FSSetForkSize(fork, fsFromLEOF, 2), noErr);
  EXPECT_EQ(readFile(dir_ / "f"), std::string("0123\0\0", 6));
  FSCloseFork(fork);

  FSIORefNum reader = open(fsRdPerm);
  EXPECT_EQ(FSWriteFork(reader, fsAtMark, 0, 1, "x", nullptr), wrPermErr);
  EXPECT_EQ(FSSetForkSize(reader, fsFromStart, 0), wrPermErr);
  SInt32 one = 1;
  EXPECT_EQ(FSWrite(reader, &one, "x"), wrPermErr);
  FSCloseFork(reader);
}

TEST_P(Forks, AccessIsCheckedAtOpen) {
  FSIORefNum writer = open(fsRdWrPerm);
  open(fsWrPerm, false, opWrErr);     // one writer at a time
  FSIORefNum reader = open(fsRdPerm); // readers are welcome
  EXPECT_EQ(FSDeleteObject(&file_), fBsyErr);
  FSCloseFork(writer);
  FSCloseFork(reader);
  FSIORefNum s1 = open(fsRdWrShPerm), s2 = open(fsRdWrShPerm);
  FSCloseFork(s1);
  FSCloseFork(s2);

  FSCatalogInfo lock{};
  lock.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&file_, kFSCatInfoNodeFlags, &lock), noErr);
  open(fsRdWrPerm, false, fLckdErr);
  FSIORefNum current = open(fsCurPerm); // falls back to reading
  EXPECT_EQ(FSWriteFork(current, fsAtMark, 0, 1, "x", nullptr), wrPermErr);
  FSCloseFork(current);

  FSRef folder;
  FSIORefNum r;
  EXPECT_EQ(FSOpenFork(&root_, 0, nullptr, fsRdPerm, &r), notAFileErr);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(child(root_, "fifo", folder), noErr);
  EXPECT_EQ(FSOpenFork(&folder, 0, nullptr, fsRdPerm, &r), permErr); // and does not block
  ASSERT_EQ(symlink("f", (dir_ / "link").c_str()), 0);
  ASSERT_EQ(child(root_, "link", folder), noErr);
  EXPECT_EQ(FSOpenFork(&folder, 0, nullptr, fsRdPerm, &r), permErr);
  UniChar other[] = {'x'};
  EXPECT_EQ(FSOpenFork(&file_, 1, other, fsRdPerm, &r), errFSForkNotFound);
}

// A full fork table refuses the next fork with tmfoErr, leaves the caller's
// reference number alone, and closes the descriptor a data fork opened for
// it.  Resource forks of a file without a `._` file hold no descriptor, so
// they fill the table.
TEST(ForkTable, AFullTableRefusesTheNextForkAndKeepsNoDescriptor) {
  TempDir dir("/tmp");
  writeFile(dir / "f", "x");
  FSRef file;
  ASSERT_EQ(refFor(dir / "f", file), noErr);
  HFSUniStr255 rsrc;
  FSGetResourceForkName(&rsrc);
  std::vector<FSIORefNum> forks;
  for (OSErr err = noErr; err == noErr;) {
    FSIORefNum fork = 0;
    err = FSOpenFork(&file, rsrc.length, rsrc.unicode, fsRdPerm, &fork);
    if (err == noErr)
      forks.push_back(fork);
    else
      EXPECT_EQ(err, tmfoErr);
  }
  EXPECT_GT(forks.size(), 32000u);
  auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto before = descriptors();
  FSIORefNum data = 77;
  EXPECT_EQ(FSOpenFork(&file, 0, nullptr, fsRdPerm, &data), tmfoErr);
  EXPECT_EQ(data, 77);
  EXPECT_EQ(descriptors(), before);
  for (FSIORefNum fork : forks)
    ASSERT_EQ(FSCloseFork(fork), noErr);
  ASSERT_EQ(FSOpenFork(&file, 0, nullptr, fsRdPerm, &data), noErr);
  EXPECT_EQ(FSCloseFork(data), noErr);
}

TEST_P(Forks, TheResourceForkLivesInTheDotUnderscoreFile) {
  FSIORefNum rsrc = open(fsRdWrPerm, true);
  SInt64 size = -1;
  ASSERT_EQ(FSGetForkSize(rsrc, &size), noErr);
  EXPECT_EQ(size, 0);
  EXPECT_FALSE(exists(dir_ / "._f")); // opening for writing makes none
  ASSERT_EQ(FSWriteFork(rsrc, fsFromStart, 0, 5, "hello", nullptr), noErr);
  ASSERT_EQ(FSWriteFork(rsrc, fsFromLEOF, 0, 1, "!", nullptr), noErr);
  EXPECT_EQ(sidecarFork(dir_.path(), "f"), "hello!");
  // Laid out as the file server writes it: the fork last, at 0x52.
  EXPECT_EQ(readFile(dir_ / "._f").size(), 0x52u + 6);
  EXPECT_EQ(readFile(dir_ / "._f").substr(0x52), "hello!");
  char raw[32];
  EXPECT_LT(getxattr((dir_ / "f").c_str(), "user.quillmate.rsrc", raw, sizeof raw), 0);
  ByteCount n;
  char buf[8];
  EXPECT_EQ(FSReadFork(rsrc, fsFromStart, 4, 8, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "o!");

  // Larger than one extended attribute holds on any file system.
  std::string big(70000, 'r');
  ByteCount written = 0;
  ASSERT_EQ(FSWriteFork(rsrc, fsFromStart, 0, big.size(), big.data(), &written), noErr);
  EXPECT_EQ(written, big.size());
  ASSERT_EQ(FSGetForkSize(rsrc, &size), noErr);
  EXPECT_EQ(size, 70000);
  ASSERT_EQ(FSSetForkSize(rsrc, fsFromStart, 2), noErr);
  SInt32 count = 8;
  ASSERT_EQ(FSSetForkPosition(rsrc, fsFromStart, 0), noErr);
  EXPECT_EQ(FSRead(rsrc, &count, buf), eofErr);
  EXPECT_EQ(std::string(buf, count), "rr");
  ASSERT_EQ(FSCloseFork(rsrc), noErr);
  EXPECT_EQ(readFile(dir_ / "._f").size(), 0x52u + 2);

  // Both forks are listed, then the end.
  CatPositionRec it{};
  HFSUniStr255 name;
  SInt64 forkSize;
  UInt64 physical;
  ASSERT_EQ(FSIterateForks(&file_, &it, &name, &forkSize, &physical), noErr);
  EXPECT_EQ(name.length, 0);
  EXPECT_EQ(forkSize, 10);
  ASSERT_EQ(FSIterateForks(&file_, &it, &name, &forkSize, nullptr), noErr);
  EXPECT_EQ(fromUni(name), u"RESOURCE_FORK");
  EXPECT_EQ(forkSize, 2);
  EXPECT_EQ(FSIterateForks(&file_, &it, &name, &forkSize, nullptr), errFSNoMoreItems);
  FSRef bare;
  ASSERT_EQ(createFile(root_, "bare", &bare), noErr);
  CatPositionRec it2{};
  EXPECT_EQ(FSIterateForks(&bare, &it2, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(FSIterateForks(&bare, &it2, nullptr, nullptr, nullptr), errFSNoMoreItems);
}

// The double format counts offsets and lengths in 32 bits: a size or offset
// past what a `._` file can hold (4 GiB less its 0x52-byte header) is a full
// disk, and the fork keeps its bytes.  (Kept in one attribute value, the fork
// held at most 64 KiB, less on ext4.)  Sizes are never narrowed to 32 bits on
// their way to the file.
TEST_P(Forks, AResourceForkRefusesSizesTheFormatCannotCount) {
  FSIORefNum rsrc = open(fsRdWrPerm, true);
  const std::string kept(1000, 'k');
  ASSERT_EQ(FSWriteFork(rsrc, fsFromStart, 0, kept.size(), kept.data(), nullptr), noErr);
  const SInt64 largest = SInt64(UINT32_MAX) - 0x52;
  const SInt64 past[] = {(SInt64(1) << 32) + 10, SInt64(1) << 62, largest + 1,
                         (SInt64(1) << 32) + 1000};
  SInt64 size = 0;
  for (SInt64 s : past) {
    EXPECT_EQ(FSSetForkSize(rsrc, fsFromStart, s), dskFulErr) << s;
    ASSERT_EQ(FSGetForkSize(rsrc, &size), noErr);
    EXPECT_EQ(size, 1000) << s;
    EXPECT_EQ(sidecarFork(dir_.path(), "f"), kept) << s;
    ByteCount written = 1;
    EXPECT_EQ(FSWriteFork(rsrc, fsFromStart, s, 4, "late", &written), dskFulErr) << s;
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(sidecarFork(dir_.path(), "f"), kept) << s;
  }
  EXPECT_EQ(FSWriteFork(rsrc, fsFromStart, largest - 3, 4, "last", nullptr), dskFulErr);
  EXPECT_EQ(FSWriteFork(rsrc, fsFromStart, 8, ~ByteCount(0) - 4, "x", nullptr), dskFulErr);
  // A position past what a signed 64-bit offset holds is no position.
  EXPECT_EQ(FSWriteFork(rsrc, fsFromLEOF, INT64_MAX, 1, "x", nullptr), posErr);
  EXPECT_EQ(FSSetForkPosition(rsrc, fsFromStart, SInt64(1) << 33), eofErr);
  // A count larger than what is left reads what is left.
  char buf[8] = {};
  ByteCount n = 0;
  EXPECT_EQ(FSReadFork(rsrc, fsFromStart, 996, ~ByteCount(0), buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "kkkk");
  // The largest there is: the `._` file takes it (sparse), and its last
  // bytes read back.
  ASSERT_EQ(FSWriteFork(rsrc, fsFromStart, largest - 4, 4, "last", nullptr), noErr);
  ASSERT_EQ(FSGetForkSize(rsrc, &size), noErr);
  EXPECT_EQ(size, largest);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "._f").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(UINT32_MAX));
  ASSERT_EQ(FSReadFork(rsrc, fsFromLEOF, -4, 4, buf, &n), noErr);
  EXPECT_EQ(std::string(buf, n), "last");
  ASSERT_EQ(FSSetForkSize(rsrc, fsFromStart, 1000), noErr);
  ASSERT_EQ(FSCloseFork(rsrc), noErr);
  EXPECT_EQ(sidecarFork(dir_.path(), "f"), kept);

  // The data fork's bound is the file system's own.
  FSIORefNum data = open(fsRdWrPerm);
  EXPECT_EQ(FSWriteFork(data, fsFromLEOF, INT64_MAX, 1, "x", nullptr), posErr);
  ASSERT_EQ(FSCloseFork(data), noErr);
  EXPECT_EQ(readFile(dir_ / "f"), "0123456789");
}

// Shared writers of one file's fork see and keep each other's bytes, the
// resource fork as the data fork: a data fork whichever name of the file
// each opened, a resource fork by the name whose `._` file holds it.  Each
// resource opener held its own copy and wrote it back whole; now the first
// write makes the `._` file, and the other openers are given it at once.
TEST_P(Forks, SharedWritersKeepEachOthersBytesInEitherFork) {
  const std::string path = dir_ / "f", other = dir_ / "g";
  ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
  FSRef otherName;
  ASSERT_EQ(refFor(other, otherName), noErr);
  HFSUniStr255 rsrcName;
  FSGetResourceForkName(&rsrcName);
  for (bool resource : {false, true}) {
    SCOPED_TRACE(resource ? "resource fork" : "data fork");
    FSIORefNum a = open(fsRdWrShPerm, resource), b = 0, c = 0;
    ASSERT_EQ(FSSetForkSize(a, fsFromStart, 0), noErr);
    b = open(fsRdWrShPerm, resource);
    const FSRef &third = resource ? file_ : otherName;
    ASSERT_EQ(FSOpenFork(&third, resource ? rsrcName.length : 0,
                         resource ? rsrcName.unicode : nullptr, fsRdWrShPerm, &c),
              noErr);
    ASSERT_EQ(FSWriteFork(a, fsFromStart, 0, 4, "AAAA", nullptr), noErr);
    ASSERT_EQ(FSWriteFork(b, fsFromStart, 10, 2, "BB", nullptr), noErr);
    ASSERT_EQ(FSWriteFork(c, fsFromLEOF, 0, 2, "CC", nullptr), noErr);
    char buf[16] = {};
    ByteCount n = 0;
    EXPECT_EQ(FSReadFork(a, fsFromStart, 10, 4, buf, &n), noErr);
    EXPECT_EQ(std::string(buf, n), "BBCC");
    SInt64 size = 0, mark = 0;
    ASSERT_EQ(FSGetForkSize(b, &size), noErr);
    EXPECT_EQ(size, 14);
    ASSERT_EQ(FSGetForkPosition(b, &mark), noErr);
    EXPECT_EQ(mark, 12); // each opener keeps its own mark
    ASSERT_EQ(FSCloseFork(b), noErr);
    ASSERT_EQ(FSCloseFork(a), noErr);
    ASSERT_EQ(FSCloseFork(c), noErr);
    const std::string expected = std::string("AAAA") + std::string(6, '\0') + "BBCC";
    EXPECT_EQ(resource ? sidecarFork(dir_.path(), "f") : readFile(path), expected);
  }
  // The other name of the file has a `._` file of its own, none so far: as
  // the file server and the archiver see it.
  FSIORefNum c = 0;
  ASSERT_EQ(FSOpenFork(&otherName, rsrcName.length, rsrcName.unicode, fsRdPerm, &c), noErr);
  SInt64 size = -1;
  ASSERT_EQ(FSGetForkSize(c, &size), noErr);
  EXPECT_EQ(size, 0);
  ASSERT_EQ(FSCloseFork(c), noErr);
  EXPECT_FALSE(exists(dir_ / "._g"));
}

/// Starts `body` in a child process; its exit status is what body answers.
pid_t startChild(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0)
    _exit(body());
  return pid;
}

int waitChild(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Two processes write a file's resource fork at once, one byte per call,
// each its own bytes, through forks opened before either wrote: no byte
// either wrote is lost, and a fork this process opened before they wrote
// adds its own write without undoing theirs.
TEST_P(Forks, ResourceWritersInTwoProcessesLoseNothing) {
  constexpr int kEach = 1000;
  FSIORefNum mine = open(fsRdWrShPerm, true);
  // Each writer says it is ready on `ready`; closing `go` starts them both.
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t writers[2];
  for (int w = 0; w < 2; ++w)
    writers[w] = startChild([&, w] {
      ::close(ready[0]);
      ::close(go[1]);
      FSIORefNum fork = open(fsRdWrShPerm, true);
      char c;
      if (!fork || ::write(ready[1], "r", 1) != 1 || ::read(go[0], &c, 1) != 0)
        return 1;
      const char byte = static_cast<char>('a' + w);
      for (int i = 0; i < kEach; ++i)
        if (FSWriteFork(fork, fsFromStart, 2 * i + w, 1, &byte, nullptr) != noErr)
          return 2;
      return FSCloseFork(fork) == noErr ? 0 : 3;
    });
  ::close(ready[1]);
  ::close(go[0]);
  char c[2];
  ssize_t got = 0, n;
  while (got < 2 && (n = ::read(ready[0], c, 2)) > 0)
    got += n;
  ::close(ready[0]);
  ::close(go[1]);
  EXPECT_EQ(waitChild(writers[0]), 0);
  EXPECT_EQ(waitChild(writers[1]), 0);
  ASSERT_EQ(FSWriteFork(mine, fsFromStart, 2 * kEach, 1, "!", nullptr), noErr);
  ByteCount count = 0;
  ASSERT_EQ(FSReadFork(mine, fsFromStart, 0, 2, c, &count), noErr);
  EXPECT_EQ(std::string(c, count), "ab"); // a write shows this process what is on disk
  ASSERT_EQ(FSCloseFork(mine), noErr);

  const std::string stored = sidecarFork(dir_.path(), "f");
  ASSERT_EQ(stored.size(), size_t(2 * kEach + 1));
  int lost = 0;
  for (int i = 0; i < 2 * kEach; ++i)
    lost += stored[size_t(i)] != static_cast<char>('a' + i % 2);
  EXPECT_EQ(lost, 0) << "of " << 2 * kEach << " bytes";
  EXPECT_EQ(stored.back(), '!');
}

// A change waits for another change of the fork to end, but not for ever for
// someone else's flock of its `._` file: after a second it is fBsyErr.
TEST_P(Forks, AResourceChangeWaitsForTheFilesLockASecondAtMost) {
  FSIORefNum rsrc = open(fsRdWrPerm, true);
  ASSERT_EQ(FSWriteFork(rsrc, fsFromStart, 0, 3, "old", nullptr), noErr);
  int holder = ::open((dir_ / "._f").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  EXPECT_EQ(FSWriteFork(rsrc, fsFromStart, 0, 3, "new", nullptr), fBsyErr);
  EXPECT_EQ(FSSetForkSize(rsrc, fsFromStart, 1), fBsyErr);
  ::close(holder);
  EXPECT_EQ(sidecarFork(dir_.path(), "f"), "old");
  EXPECT_EQ(FSWriteFork(rsrc, fsFromStart, 0, 3, "new", nullptr), noErr);
  ASSERT_EQ(FSCloseFork(rsrc), noErr);
  EXPECT_EQ(sidecarFork(dir_.path(), "f"), "new");
}

TEST_P(Forks, ForkQueriesGiveTheFileBack) {
  FSIORefNum a = open(fsRdPerm), b = open(fsRdWrPerm, true);
  FSCatalogInfo cat;
  ASSERT_EQ(FSGetCatalogInfo(&file_, kFSCatInfoNodeFlags, &cat, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(cat.nodeFlags, kFSNodeForkOpenMask | kFSNodeDataOpenMask | kFSNodeResOpenMask);
  FSRef ref;
  FSForkInfo info;
  HFSUniStr255 name;
  ASSERT_EQ(FSGetForkCBInfo(b, 0, nullptr, nullptr, &info, &ref, &name), noErr);
  EXPECT_EQ(FSCompareFSRefs(&ref, &file_), noErr);
  EXPECT_EQ(fromUni(name), u"RESOURCE_FORK");
  EXPECT_EQ(info.forkID, 1u);
  SInt16 iterator = 0;
  FSIORefNum found = 0;
  int seen = 0;
  while (FSGetForkCBInfo(0, 0, &iterator, &found, nullptr, nullptr, nullptr) == noErr)
    seen += (found == a || found == b);
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(FSGetForkCBInfo(30000, 0, nullptr, nullptr, nullptr, &ref, nullptr), rfNumErr);
  FSCloseFork(a);
  FSCloseFork(b);
  ASSERT_EQ(FSGetCatalogInfo(&file_, kFSCatInfoNodeFlags, &cat, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(cat.nodeFlags, 0);
}

/// A range-lock block for `count` bytes from `offset` of `fork`.
ParamBlockRec rangeOf(FSIORefNum fork, SInt32 offset, SInt32 count) {
  ParamBlockRec pb{};
  pb.ioParam.ioRefNum = fork;
  pb.ioParam.ioPosMode = fsFromStart;
  pb.ioParam.ioPosOffset = offset;
  pb.ioParam.ioReqCount = count;
  return pb;
}

TEST_P(Forks, RangeLocksConflictAndMustBeHeldToBeReleased) {
  FSIORefNum a = open(fsRdWrShPerm), b = open(fsRdWrShPerm);
  ParamBlockRec pb = rangeOf(a, 2, 4);
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap);
  pb.ioParam.ioRefNum = b;
  pb.ioParam.ioPosOffset = 5;
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap);
  EXPECT_EQ(pb.ioParam.ioResult, afpRangeOverlap);
  pb.ioParam.ioPosOffset = 6;
  EXPECT_EQ(PBLockRangeSync(&pb), noErr); // touching, not overlapping
  EXPECT_EQ(PBUnlockRangeSync(&pb), noErr);
  EXPECT_EQ(PBUnlockRangeSync(&pb), afpRangeNotLocked);
  pb.ioParam.ioRefNum = a;
  pb.ioParam.ioPosOffset = 2;
  EXPECT_EQ(PBUnlockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = b;
  EXPECT_EQ(PBLockRangeSync(&pb), noErr);
  FSCloseFork(a);
  FSCloseFork(b);
}

/// The lock another open file description meets at `start`/`length` of
/// `path` when it asks for `type`: F_UNLCK when none.
short lockSeenByOthers(const std::string &path, short type, off_t start, off_t length) {
  int fd = ::open(path.c_str(), O_RDWR);
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = start;
  l.l_len = length;
  if (fd < 0 || ::fcntl(fd, F_OFD_GETLK, &l) != 0)
    l.l_type = -1;
  ::close(fd);
  return l.l_type;
}

TEST_P(Forks, ReadOnlyForksLockSharedAndKeepWritersOut) {
  FSIORefNum r1 = open(fsRdPerm), r2 = open(fsRdPerm), w = open(fsRdWrShPerm);
  ParamBlockRec pb = rangeOf(r1, 2, 4);
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap); // a fork's own ranges never overlap
  pb.ioParam.ioRefNum = r2;
  EXPECT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = w;
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap);
  // Other processes see a shared lock: they may read-lock, not write-lock.
  const std::string path = dir_ / "f";
  EXPECT_EQ(lockSeenByOthers(path, F_WRLCK, 3, 1), F_RDLCK);
  EXPECT_EQ(lockSeenByOthers(path, F_RDLCK, 3, 1), F_UNLCK);

  pb.ioParam.ioRefNum = r1;
  EXPECT_EQ(PBUnlockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = r2;
  EXPECT_EQ(PBUnlockRangeSync(&pb), noErr);
  EXPECT_EQ(lockSeenByOthers(path, F_WRLCK, 3, 1), F_UNLCK);
  pb.ioParam.ioRefNum = w;
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  EXPECT_EQ(lockSeenByOthers(path, F_RDLCK, 3, 1), F_WRLCK);
  pb.ioParam.ioRefNum = r1;
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap); // a writer's lock keeps readers out
  FSCloseFork(r1);
  FSCloseFork(r2);
  FSCloseFork(w);

  // Resource forks follow the same rule: inside this process while the file
  // has no `._` file, and, once a write makes it, for other processes too,
  // on that file at the fork's offset.
  FSIORefNum rr1 = open(fsRdPerm, true), rr2 = open(fsRdPerm, true), rw = open(fsRdWrPerm, true);
  pb.ioParam.ioRefNum = rr1;
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = rr2;
  EXPECT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = rw;
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap);
  ASSERT_EQ(FSWriteFork(rw, fsFromStart, 0, 8, "resource", nullptr), noErr);
  EXPECT_EQ(lockSeenByOthers(dir_ / "._f", F_WRLCK, 0x52 + 3, 1), F_RDLCK);
  EXPECT_EQ(lockSeenByOthers(dir_ / "._f", F_WRLCK, 0x52 + 6, 1), F_UNLCK);
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap);
  FSCloseFork(rr1);
  FSCloseFork(rr2);
  FSCloseFork(rw);
}

TEST_P(Forks, ACountOfZeroLocksNothingAndMinusOneLocksToTheEnd) {
  FSIORefNum a = open(fsRdWrShPerm), b = open(fsRdWrShPerm);
  ParamBlockRec pb = rangeOf(a, 4, 0);
  EXPECT_EQ(PBLockRangeSync(&pb), paramErr);
  EXPECT_EQ(pb.ioParam.ioResult, paramErr);
  EXPECT_EQ(PBUnlockRangeSync(&pb), paramErr);
  pb.ioParam.ioReqCount = -2;
  EXPECT_EQ(PBLockRangeSync(&pb), paramErr);
  // Nothing was locked by the refusals.
  EXPECT_EQ(lockSeenByOthers(dir_ / "f", F_WRLCK, 0, 0), F_UNLCK);
  pb.ioParam.ioRefNum = b;
  pb.ioParam.ioReqCount = 1;
  pb.ioParam.ioPosOffset = 1000;
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  ASSERT_EQ(PBUnlockRangeSync(&pb), noErr);

  // -1: from the offset to the end of the fork, and past it.
  pb.ioParam.ioRefNum = a;
  pb.ioParam.ioReqCount = -1;
  pb.ioParam.ioPosOffset = 4;
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = b;
  pb.ioParam.ioReqCount = 1;
  pb.ioParam.ioPosOffset = 1000;
  EXPECT_EQ(PBLockRangeSync(&pb), afpRangeOverlap);
  pb.ioParam.ioPosOffset = 3;
  EXPECT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = a;
  pb.ioParam.ioReqCount = -1;
  pb.ioParam.ioPosOffset = 4;
  EXPECT_EQ(PBUnlockRangeSync(&pb), noErr);
  FSCloseFork(a);
  FSCloseFork(b);
}

} // namespace
