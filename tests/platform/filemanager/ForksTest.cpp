// Forks: I/O at every position mode, sizes, access, resource forks in their
// attribute, range locks, and the fork queries.
#include "FileManagerTestSupport.h"

#include <sys/mman.h>
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

TEST_P(Forks, TheResourceForkLivesInItsAttribute) {
  FSIORefNum rsrc = open(fsRdWrPerm, true);
  SInt64 size = -1;
  ASSERT_EQ(FSGetForkSize(rsrc, &size), noErr);
  EXPECT_EQ(size, 0);
  ASSERT_EQ(FSWriteFork(rsrc, fsFromStart, 0, 5, "hello", nullptr), noErr);
  ASSERT_EQ(FSWriteFork(rsrc, fsFromLEOF, 0, 1, "!", nullptr), noErr);
  char raw[32];
  ASSERT_EQ(getxattr((dir_ / "f").c_str(), "user.quillmate.rsrc", raw, sizeof raw), 6);
  EXPECT_EQ(std::string(raw, 6), "hello!");
  ByteCount n;
  char buf[8];
  EXPECT_EQ(FSReadFork(rsrc, fsFromStart, 4, 8, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "o!");

  // Larger than the file system takes: refused, and the old bytes stay.
  std::string big(GetParam() == "/tmp" ? 8192 : 65537, 'r');
  ByteCount written = 1;
  EXPECT_EQ(FSWriteFork(rsrc, fsFromStart, 0, big.size(), big.data(), &written), dskFulErr);
  EXPECT_EQ(written, 0u);
  ASSERT_EQ(FSGetForkSize(rsrc, &size), noErr);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(getxattr((dir_ / "f").c_str(), "user.quillmate.rsrc", raw, sizeof raw), 6);
  ASSERT_EQ(FSSetForkSize(rsrc, fsFromStart, 2), noErr);
  SInt32 count = 8;
  ASSERT_EQ(FSSetForkPosition(rsrc, fsFromStart, 0), noErr);
  EXPECT_EQ(FSRead(rsrc, &count, buf), eofErr);
  EXPECT_EQ(std::string(buf, count), "he");
  ASSERT_EQ(FSCloseFork(rsrc), noErr);

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

  // Resource forks, locked inside this process only, follow the same rule.
  FSIORefNum rr1 = open(fsRdPerm, true), rr2 = open(fsRdPerm, true), rw = open(fsRdWrPerm, true);
  pb.ioParam.ioRefNum = rr1;
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = rr2;
  EXPECT_EQ(PBLockRangeSync(&pb), noErr);
  pb.ioParam.ioRefNum = rw;
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
