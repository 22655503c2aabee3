// Resource forks in the `._` file beside their file, on ext4, on tmpfs and
// on a file system without extended attributes (a FUSE mount): forks of any
// size, openers in this and other processes, size changes, range locks,
// files other programs left (damaged, stranded, laid out otherwise), the
// attribute earlier versions kept the fork in, and kills in the middle of
// writes.  The programs that share the `._` files are met in PeersTest.cpp.
#include "platform/filemanager/DoubleHeader.h"
#include "platform/filemanager/Sidecar.h"

#include "FileManagerTestSupport.h"
#include "PeerSupport.h"

#include <csignal>
#include <memory>
#include <random>
#include <sys/xattr.h>

using namespace fmtest;
namespace dbl = quillmate::fm::dbl;

namespace {

constexpr size_t kMiB = size_t(1) << 20;

/// Byte `i` of every fork these tests write: never the same for long, and
/// rarely zero, so that a byte out of place shows.
char patternAt(size_t i) { return static_cast<char>((i * 131 + i / 509 + 1) % 251 + 1); }

std::string pattern(size_t from, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = patternAt(from + i);
  return s;
}

const std::u16string &rsrcName() {
  static const std::u16string name = u16("RESOURCE_FORK");
  return name;
}

OSErr openResource(const FSRef &file, SInt8 permissions, FSIORefNum &fork) {
  return FSOpenFork(&file, rsrcName().size(), units(rsrcName()), permissions, &fork);
}

/// Runs `body` in a child process and answers its exit status.
int inChild(const std::function<int()> &body) {
  pid_t pid = ::fork();
  if (pid == 0)
    _exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

class ResourceForks : public OnEachPlace {
protected:
  /// A new file `name` with a small data fork, and its reference.
  FSRef file(const std::string &name) {
    writeFile(path(name), "data");
    FSRef ref{};
    EXPECT_EQ(refFor(path(name), ref), noErr);
    return ref;
  }
  std::string forkBytes(const char *name) const { return sidecarFork(dir_, name); }
  static UInt64 rsrcSize(const FSRef &ref, UInt64 *physical = nullptr) {
    FSCatalogInfo info{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes, &info, nullptr, nullptr, nullptr), noErr);
    if (physical)
      *physical = info.rsrcPhysicalSize;
    return info.rsrcLogicalSize;
  }
};

INSTANTIATE_TEST_SUITE_P(FileSystems, ResourceForks,
                         ::testing::Values("/tmp", "/dev/shm", "no attributes"),
                         [](const auto &info) {
                           return info.param == "/tmp"        ? std::string("ext4")
                                  : info.param == "/dev/shm" ? std::string("tmpfs")
                                                              : std::string("noAttributes");
                         });

} // namespace

// A fork written through the layer a mebibyte a call reads back whole, from
// the `._` file laid out as the file server writes it; the catalog, the fork
// queries and a copy of it show all of it.
TEST_P(ResourceForks, ForksOfAnySizeReadBackWhole) {
  for (size_t size : {size_t(5000), kMiB, 64 * kMiB}) {
    SCOPED_TRACE(size);
    const std::string name = "f" + std::to_string(size);
    FSRef ref = file(name);
    const std::string bytes = pattern(0, size);
    FSIORefNum out;
    ASSERT_EQ(openResource(ref, fsRdWrPerm, out), noErr);
    for (size_t at = 0; at < size; at += kMiB) {
      const size_t n = std::min(kMiB, size - at);
      ASSERT_EQ(FSWriteFork(out, fsAtMark | (at % (2 * kMiB) ? noCacheMask : 0), 0, n,
                            bytes.data() + at, nullptr),
                noErr);
    }
    ASSERT_EQ(FSCloseFork(out), noErr);

    const std::string sidecar = readFile(path("._" + name));
    ASSERT_EQ(sidecar.size(), 0x52 + size);
    dbl::Header expected = dbl::sidecarHeader(static_cast<UInt32>(size));
    std::string head(expected.encodedSize(), '\0');
    expected.encode(reinterpret_cast<UInt8 *>(head.data()));
    EXPECT_EQ(sidecar.substr(0, head.size()), head);
    EXPECT_TRUE(sidecar.compare(0x52, size, bytes) == 0);

    UInt64 physical = 0;
    EXPECT_EQ(rsrcSize(ref, &physical), size);
    struct stat st;
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_GE(physical, size);
    EXPECT_EQ(physical % UInt64(st.st_blksize), 0u);
    CatPositionRec it{};
    SInt64 forkSize = 0;
    UInt64 forkPhysical = 0;
    ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, nullptr, nullptr), noErr);
    ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, &forkSize, &forkPhysical), noErr);
    EXPECT_EQ(forkSize, SInt64(size));
    EXPECT_EQ(forkPhysical, physical);

    FSIORefNum in;
    ASSERT_EQ(openResource(ref, fsRdPerm, in), noErr);
    FSForkInfo info{};
    ASSERT_EQ(FSGetForkCBInfo(in, 0, nullptr, nullptr, &info, nullptr, nullptr), noErr);
    EXPECT_EQ(info.logicalEOF, size);
    std::string back(size, '\0');
    ByteCount got = 0;
    ASSERT_EQ(FSReadFork(in, fsFromStart | noCacheMask, 0, size, back.data(), &got), noErr);
    EXPECT_EQ(got, size);
    EXPECT_TRUE(back == bytes);
    // A mebibyte a call at the mark, as a fork copy reads it.
    ASSERT_EQ(FSSetForkPosition(in, fsFromStart, 0), noErr);
    std::string again;
    std::vector<char> buffer(kMiB);
    OSErr err;
    do {
      err = FSReadFork(in, fsAtMark | noCacheMask, 0, buffer.size(), buffer.data(), &got);
      again.append(buffer.data(), got);
    } while (err == noErr);
    EXPECT_EQ(err, eofErr);
    ASSERT_EQ(FSCloseFork(in), noErr);
    EXPECT_TRUE(again == bytes);
  }
}

// Every opener of a fork sees the same bytes at once, each with its mark:
// those of this process that held no `._` file are given the one the first
// write makes, another process finds it by name on its next call.
TEST_P(ResourceForks, OpenersShareTheForkAtOnce) {
  FSRef ref = file("f");
  FSIORefNum a, b, r;
  ASSERT_EQ(openResource(ref, fsRdWrShPerm, a), noErr);
  ASSERT_EQ(openResource(ref, fsRdWrShPerm, b), noErr);
  ASSERT_EQ(openResource(ref, fsRdPerm, r), noErr);
  // A process that opened the fork before the `._` file existed.
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t reader = ::fork();
  if (reader == 0) {
    FSIORefNum mine;
    char c;
    if (openResource(ref, fsRdPerm, mine) != noErr || ::write(ready[1], "r", 1) != 1 ||
        ::read(go[0], &c, 1) != 1)
      _exit(1);
    char buf[16] = {};
    ByteCount n = 0;
    SInt64 size = 0;
    if (FSGetForkSize(mine, &size) != noErr || size != 8)
      _exit(2);
    if (FSReadFork(mine, fsFromStart, 0, 8, buf, &n) != noErr || std::string(buf, n) != "AAAAbbbb")
      _exit(3);
    _exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_FALSE(exists(path("._f")));

  ASSERT_EQ(FSWriteFork(a, fsFromStart, 0, 4, "AAAA", nullptr), noErr);
  ASSERT_EQ(FSWriteFork(b, fsFromLEOF, 0, 4, "bbbb", nullptr), noErr);
  char buf[16] = {};
  ByteCount n = 0;
  ASSERT_EQ(FSReadFork(r, fsFromStart, 0, sizeof buf, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "AAAAbbbb");
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  int status = 0;
  ::waitpid(reader, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  SInt64 mark = 0, size = 0;
  ASSERT_EQ(FSGetForkPosition(a, &mark), noErr);
  EXPECT_EQ(mark, 4);
  ASSERT_EQ(FSGetForkPosition(b, &mark), noErr);
  EXPECT_EQ(mark, 8);
  ASSERT_EQ(FSSetForkSize(b, fsFromStart, 2), noErr);
  for (FSIORefNum each : {a, b, r}) {
    ASSERT_EQ(FSGetForkSize(each, &size), noErr);
    EXPECT_EQ(size, 2);
  }
  ASSERT_EQ(FSGetForkPosition(a, &mark), noErr);
  EXPECT_EQ(mark, 4); // another opener's size change leaves this one's mark
  EXPECT_EQ(FSSetForkPosition(r, fsFromStart, 3), eofErr);
  for (FSIORefNum each : {a, b, r})
    ASSERT_EQ(FSCloseFork(each), noErr);
  EXPECT_EQ(forkBytes("f"), "AA");
  for (int fd : {ready[0], ready[1], go[0], go[1]})
    ::close(fd);
}

// Size changes: a grown fork gains zeros, whatever lay in the `._` file past
// its end; a cut one loses its tail on disk.  An empty fork needs no `._`
// file: opening for writing, reading and sizing to 0 make none.
TEST_P(ResourceForks, SizeChangesGrowWithZerosAndShrinkOnDisk) {
  FSRef ref = file("f");
  FSIORefNum w;
  ASSERT_EQ(openResource(ref, fsRdWrPerm, w), noErr);
  char buf[16] = {};
  ByteCount n = 1;
  EXPECT_EQ(FSReadFork(w, fsFromStart, 0, 4, buf, &n), eofErr);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(FSSetForkSize(w, fsFromStart, 0), noErr);
  ASSERT_EQ(FSWriteFork(w, fsFromStart, 3, 0, "", nullptr), noErr);
  EXPECT_FALSE(exists(path("._f")));
  EXPECT_EQ(rsrcSize(ref), 0u);

  ASSERT_EQ(FSWriteFork(w, fsFromStart, 0, 6, "abcdef", nullptr), noErr);
  ASSERT_EQ(FSSetForkSize(w, fsFromStart, 2), noErr);
  EXPECT_EQ(readFile(path("._f")).size(), 0x52u + 2);
  SInt64 mark = 0;
  ASSERT_EQ(FSGetForkPosition(w, &mark), noErr);
  EXPECT_EQ(mark, 2); // pulled back to the end
  ASSERT_EQ(FSSetForkSize(w, fsFromLEOF, 3), noErr);
  EXPECT_EQ(forkBytes("f"), std::string("ab\0\0\0", 5));
  // A write past the end leaves zeros in the gap.
  ASSERT_EQ(FSWriteFork(w, fsFromStart, 8, 2, "yz", nullptr), noErr);
  EXPECT_EQ(forkBytes("f"), std::string("ab\0\0\0\0\0\0yz", 10));
  EXPECT_EQ(rsrcSize(ref), 10u);
  ASSERT_EQ(FSSetForkSize(w, fsFromStart, 0), noErr);
  ASSERT_EQ(FSCloseFork(w), noErr);
  EXPECT_EQ(readFile(path("._f")).size(), 0x52u);
  EXPECT_EQ(rsrcSize(ref), 0u);
  // The `._` file stays, so the fork is still listed, empty.
  CatPositionRec it{};
  SInt64 size = -1;
  ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, nullptr, nullptr), noErr);
  ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, &size, nullptr), noErr);
  EXPECT_EQ(size, 0);
}

// Range locks of a resource fork reach other processes as OFD locks on its
// `._` file, at the fork's offset there, once it exists: a range locked
// before the first write is locked in the file that write makes.
TEST_P(ResourceForks, RangeLocksReachOtherProcesses) {
  FSRef ref = file("f");
  FSIORefNum mine;
  ASSERT_EQ(openResource(ref, fsRdWrShPerm, mine), noErr);
  ParamBlockRec pb{};
  pb.ioParam.ioRefNum = mine;
  pb.ioParam.ioPosMode = fsFromStart;
  pb.ioParam.ioPosOffset = 10;
  pb.ioParam.ioReqCount = 5;
  ASSERT_EQ(PBLockRangeSync(&pb), noErr);
  ASSERT_EQ(FSWriteFork(mine, fsFromStart, 0, 20, pattern(0, 20).data(), nullptr), noErr);
  auto tryLock = [&](SInt64 offset, SInt32 count) {
    return inChild([&] {
      FSIORefNum theirs;
      if (openResource(ref, fsRdWrShPerm, theirs) != noErr)
        return 1;
      ParamBlockRec p{};
      p.ioParam.ioRefNum = theirs;
      p.ioParam.ioPosMode = fsFromStart;
      p.ioParam.ioPosOffset = offset;
      p.ioParam.ioReqCount = count;
      const OSErr err = PBLockRangeSync(&p);
      return err == afpRangeOverlap ? 10 : err == noErr ? 0 : 2;
    });
  };
  EXPECT_EQ(tryLock(12, 2), 10);
  EXPECT_EQ(tryLock(15, 2), 0);
  EXPECT_EQ(tryLock(0, -1), 10);
  ASSERT_EQ(PBUnlockRangeSync(&pb), noErr);
  EXPECT_EQ(tryLock(12, 2), 0);
  ASSERT_EQ(FSCloseFork(mine), noErr);
}

// A `._` file whose header cannot be read is nobody's to overwrite: opening
// the fork answers ioErr, catalog reads show an empty fork, and the file
// keeps every byte.  One damaged while open answers ioErr from then on.
TEST_P(ResourceForks, ADamagedSidecarIsNeverOverwritten) {
  FSRef ref = file("f");
  const std::string garbage = "this is no double file at all, and longer than a header is";
  writeFile(path("._f"), garbage);
  FSIORefNum fork = 0;
  for (SInt8 permissions : {fsRdPerm, fsRdWrPerm, fsCurPerm})
    EXPECT_EQ(openResource(ref, permissions, fork), ioErr);
  EXPECT_EQ(rsrcSize(ref), 0u);
  CatPositionRec it{};
  ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(FSIterateForks(&ref, &it, nullptr, nullptr, nullptr), errFSNoMoreItems);
  EXPECT_EQ(readFile(path("._f")), garbage);

  FSRef other = file("g");
  ASSERT_EQ(openResource(other, fsRdWrPerm, fork), noErr);
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 4, "good", nullptr), noErr);
  writeFile(path("._g"), garbage);
  char buf[8];
  EXPECT_EQ(FSReadFork(fork, fsFromStart, 0, 4, buf, nullptr), ioErr);
  EXPECT_EQ(FSWriteFork(fork, fsFromStart, 0, 4, "evil", nullptr), ioErr);
  EXPECT_EQ(FSSetForkSize(fork, fsFromStart, 0), ioErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(readFile(path("._g")), garbage);
}

// A `._` file this layer wrote for another object, left behind by a plain
// `mv` of it, is not the new object's: its fork reads empty, and its first
// write puts a `._` file of its own in that one's place.  (The owner record
// that tells lives in an attribute.)
TEST_P(ResourceForks, AStrandedSidecarIsNotTheFilesAndTheFirstWriteReplacesIt) {
  if (!hasAttributes())
    GTEST_SKIP() << "the owner record needs extended attributes";
  FSRef doc = file("doc");
  FSIORefNum fork;
  ASSERT_EQ(openResource(doc, fsRdWrPerm, fork), noErr);
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 9, "the first", nullptr), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  ASSERT_EQ(::rename(path("doc").c_str(), path("moved").c_str()), 0);
  FSRef again = file("doc");
  EXPECT_EQ(rsrcSize(again), 0u);
  ASSERT_EQ(openResource(again, fsRdWrPerm, fork), noErr);
  SInt64 size = -1;
  ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
  EXPECT_EQ(size, 0);
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 3, "new", nullptr), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(forkBytes("doc"), "new");
  EXPECT_EQ(rsrcSize(again), 3u);
}

// An object whose name leaves no room for "._" before it has an empty
// resource fork that cannot be written.
TEST_P(ResourceForks, ANameTooLongForASidecarHasAnEmptyFork) {
  const std::string name(254, 'n');
  FSRef ref = file(name);
  FSIORefNum fork;
  ASSERT_EQ(openResource(ref, fsRdWrPerm, fork), noErr);
  SInt64 size = -1;
  ASSERT_EQ(FSGetForkSize(fork, &size), noErr);
  EXPECT_EQ(size, 0);
  ByteCount written = 1;
  EXPECT_EQ(FSWriteFork(fork, fsFromStart, 0, 1, "x", &written), errFSNameTooLong);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(FSSetForkSize(fork, fsFromStart, 1), errFSNameTooLong);
  EXPECT_EQ(FSSetForkSize(fork, fsFromStart, 0), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(rsrcSize(ref), 0u);
}

// A fork that an earlier version kept in "user.quillmate.rsrc" reads as it
// did while the file has no `._` file; its first change makes one holding
// those bytes with the change, and the attribute goes.  A file with both (a
// kill between those steps) shows its `._` file.
TEST_P(ResourceForks, TheOldAttributeReadsUntilTheFirstChangeMovesIt) {
  if (!hasAttributes())
    GTEST_SKIP() << "the old attribute needs extended attributes";
  FSRef ref = file("f");
  ASSERT_EQ(::setxattr(path("f").c_str(), "user.quillmate.rsrc", "legacy bytes", 12, 0), 0);
  EXPECT_EQ(rsrcSize(ref), 12u);
  CatPositionRec it{};
  SInt64 size = -1;
  ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, nullptr, nullptr), noErr);
  ASSERT_EQ(FSIterateForks(&ref, &it, nullptr, &size, nullptr), noErr);
  EXPECT_EQ(size, 12);
  FSIORefNum fork;
  ASSERT_EQ(openResource(ref, fsRdWrPerm, fork), noErr);
  char buf[16] = {};
  ByteCount n = 0;
  ASSERT_EQ(FSReadFork(fork, fsFromStart, 7, 5, buf, &n), noErr);
  EXPECT_EQ(std::string(buf, n), "bytes");
  EXPECT_FALSE(exists(path("._f")));
  ASSERT_EQ(FSWriteFork(fork, fsFromLEOF, 0, 1, "!", nullptr), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(forkBytes("f"), "legacy bytes!");
  EXPECT_LT(::getxattr(path("f").c_str(), "user.quillmate.rsrc", buf, sizeof buf), 0);
  EXPECT_EQ(rsrcSize(ref), 13u);

  // Both: the `._` file wins, and its next change leaves the attribute be.
  FSRef both = file("g");
  ASSERT_EQ(openResource(both, fsRdWrPerm, fork), noErr);
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 7, "sidecar", nullptr), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  ASSERT_EQ(::setxattr(path("g").c_str(), "user.quillmate.rsrc", "attribute", 9, 0), 0);
  EXPECT_EQ(rsrcSize(both), 7u);
  ASSERT_EQ(openResource(both, fsRdPerm, fork), noErr);
  ASSERT_EQ(FSReadFork(fork, fsFromStart, 0, sizeof buf, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "sidecar");
  ASSERT_EQ(FSCloseFork(fork), noErr);
}

// A `._` file laid out with entries behind the fork is laid out anew when
// the fork must grow, every entry kept; the openers of this process follow
// at once, another process's on its next call.
TEST_P(ResourceForks, AForkNotLastIsLaidOutAnewAndOpenersFollow) {
  FSRef ref = file("f");
  const UInt8 finderInfo[dbl::kFinderInfoSize] = {'T', 'E', 'X', 'T', 't', 't', 'x', 't'};
  writeFile(path("._f"), forkFirstSidecar(finderInfo));

  FSIORefNum reader, writer;
  ASSERT_EQ(openResource(ref, fsRdPerm, reader), noErr);
  ASSERT_EQ(openResource(ref, fsRdWrShPerm, writer), noErr);
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t other = ::fork();
  if (other == 0) {
    FSIORefNum theirs;
    char c, buf[16] = {};
    ByteCount n = 0;
    if (openResource(ref, fsRdWrShPerm, theirs) != noErr ||
        FSReadFork(theirs, fsFromStart, 0, 4, buf, &n) != noErr || ::write(ready[1], "r", 1) != 1 ||
        ::read(go[0], &c, 1) != 1)
      _exit(1);
    if (FSReadFork(theirs, fsFromStart, 0, sizeof buf, buf, &n) != eofErr ||
        std::string(buf, n) != "RSRC and more")
      _exit(2);
    if (FSWriteFork(theirs, fsFromLEOF, 0, 1, "!", nullptr) != noErr)
      _exit(3);
    _exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(FSWriteFork(writer, fsFromLEOF, 0, 9, " and more", nullptr), noErr);
  char buf[16] = {};
  ByteCount n = 0;
  ASSERT_EQ(FSReadFork(reader, fsFromStart, 0, sizeof buf, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "RSRC and more");
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  int status = 0;
  ::waitpid(other, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(FSReadFork(reader, fsFromStart, 0, sizeof buf, buf, &n), eofErr);
  EXPECT_EQ(std::string(buf, n), "RSRC and more!");
  ASSERT_EQ(FSCloseFork(reader), noErr);
  ASSERT_EQ(FSCloseFork(writer), noErr);
  for (int fd : {ready[0], ready[1], go[0], go[1]})
    ::close(fd);

  EXPECT_EQ(forkBytes("f"), "RSRC and more!");
  const std::string now = readFile(path("._f"));
  dbl::Header after;
  ASSERT_EQ(dbl::Header::parse(reinterpret_cast<const UInt8 *>(now.data()), now.size(), now.size(),
                               after),
            dbl::Damage::None);
  const dbl::Entry *comment = after.find(dbl::kComment);
  const dbl::Entry *finder = after.find(dbl::kFinderInfo);
  ASSERT_TRUE(comment && finder);
  EXPECT_EQ(now.substr(comment->offset, comment->length), "notes");
  EXPECT_EQ(now.substr(finder->offset, 8), "TEXTttxt");
  EXPECT_TRUE(after.isLast(after.indexOf(*after.find(dbl::kResourceFork))));
}

// Two processes write interleaved chunks of one fork, growing it, through
// forks opened before either wrote: nothing either wrote is lost.
TEST_P(ResourceForks, TwoProcessesWritingInterleavedChunksLoseNothing) {
  FSRef ref = file("f");
  constexpr size_t kChunk = 4096, kEach = 128;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = ::fork();
    if (writers[w] == 0) {
      ::close(go[1]);
      FSIORefNum fork;
      char c;
      if (openResource(ref, fsRdWrShPerm, fork) != noErr || ::read(go[0], &c, 1) != 0)
        _exit(1);
      for (size_t i = size_t(w); i < 2 * kEach; i += 2) {
        const std::string chunk = pattern(i * kChunk, kChunk);
        if (FSWriteFork(fork, fsFromStart, SInt64(i * kChunk), kChunk, chunk.data(), nullptr))
          _exit(2);
      }
      _exit(FSCloseFork(fork) == noErr ? 0 : 3);
    }
  }
  ::close(go[0]);
  ::usleep(20000);
  ::close(go[1]);
  for (pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string stored = forkBytes("f");
  ASSERT_EQ(stored.size(), 2 * kEach * kChunk);
  size_t lost = 0;
  for (size_t i = 0; i < stored.size(); ++i)
    lost += stored[i] != patternAt(i);
  EXPECT_EQ(lost, 0u);
}

// A process writing a fork and cutting it, killed (SIGKILL) at random
// moments, leaves a `._` file whose header reads and whose fork holds the
// bytes written there: the header never claims a byte not written.
TEST_P(ResourceForks, AKillAtAnyMomentLeavesTheBytesWritten) {
  FSRef ref = file("f");
  constexpr int kKills = 40;
  std::mt19937 random(20261212);
  std::uniform_int_distribution<int> delay(0, 6000);
  int checked = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const unsigned seed = unsigned(random());
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      std::mt19937 steps(seed);
      FSIORefNum fork;
      if (openResource(ref, fsRdWrPerm, fork) != noErr || ::write(ready[1], "r", 1) != 1)
        _exit(1);
      std::string chunk;
      for (;;) {
        SInt64 size = 0;
        if (FSGetForkSize(fork, &size) != noErr)
          _exit(2);
        if (steps() % 4 == 0 && size > 0) {
          if (FSSetForkSize(fork, fsFromStart, SInt64(steps() % UInt64(size))) != noErr)
            _exit(3);
          continue;
        }
        const size_t at = size ? steps() % size_t(size + 1) : 0;
        const size_t n = 1 + steps() % (256 * 1024);
        chunk = pattern(at, std::min(n, 4 * kMiB - at));
        if (!chunk.empty() &&
            FSWriteFork(fork, fsFromStart, SInt64(at), chunk.size(), chunk.data(), nullptr))
          _exit(4);
      }
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::usleep(useconds_t(delay(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writing child stopped by itself: " << status;
    if (!exists(path("._f")))
      continue; // killed before its first write
    const std::string stored = forkBytes("f");
    ASSERT_NE(stored, "<none>") << "kill " << kill << ": the header does not read";
    ASSERT_NE(stored, "<short>") << "kill " << kill;
    size_t wrong = 0;
    for (size_t i = 0; i < stored.size(); ++i)
      wrong += stored[i] != patternAt(i);
    ASSERT_EQ(wrong, 0u) << "kill " << kill << ": of " << stored.size() << " bytes";
    ++checked;
  }
  EXPECT_GT(checked, kKills / 2);
}
