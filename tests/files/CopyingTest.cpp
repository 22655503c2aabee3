// Copying forks and files on real files: whole-fork copies through buffers of
// every shape, failures part-way (injected, and a volume that fills), sources
// that change size during the copy, a copy larger than 32-bit sizes, range
// locks, and copies made by the file system under old and new names.
#include <FileUtilities.h>

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/text/TextTesting.h"
#include "tests/files/FilesTestSupport.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace filestest;
using quillmate::fm::testing::Call;
using quillmate::fm::testing::CallMatcher;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::callsTo;
using quillmate::fm::testing::FaultInjector;
using quillmate::fm::testing::FMCall;
using quillmate::text::testing::ScriptVariablesOverride;

namespace {

std::string pattern(size_t n, unsigned seed = 7) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 131 + seed) >> 3);
  return s;
}

std::vector<Call> callsNamed(const CallRecorder &calls, FMCall which) {
  std::vector<Call> out;
  for (const Call &c : calls.calls())
    if (c.call == which)
      out.push_back(c);
  return out;
}

// --- FSCopyFork --------------------------------------------------------------

class CopyFork : public OnEachFileSystem {
protected:
  /// A file holding `contents` in its data fork, and its reference.
  FSRef file(const char *name, const std::string &contents) {
    writeFile(dir_ / name, contents);
    FSRef ref{};
    EXPECT_EQ(refFor(dir_ / name, ref), noErr);
    return ref;
  }
  /// Opens a source for reading and a destination for writing.
  void open(const FSRef &from, const FSRef &to, bool resource = false) {
    ASSERT_EQ(openFork(from, resource, fsRdPerm, src_), noErr);
    ASSERT_EQ(openFork(to, resource, fsRdWrPerm, dst_), noErr);
  }
  void TearDown() override {
    if (src_)
      FSCloseFork(src_);
    if (dst_)
      FSCloseFork(dst_);
  }
  OSErr copy(ByteCount bufferSize) {
    buffer_.assign(bufferSize, '\0');
    return FSCopyFork(src_, dst_, buffer_.data(), bufferSize);
  }

  FSIORefNum src_ = 0, dst_ = 0;
  std::vector<char> buffer_;
  std::vector<Call> calls_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, CopyFork, ::testing::ValuesIn(bases()));

TEST_P(CopyFork, WantsABuffer) {
  open(file("from", "abc"), file("to", "xyz"));
  CallRecorder calls;
  char b[8];
  EXPECT_EQ(FSCopyFork(src_, dst_, nullptr, sizeof b), paramErr);
  EXPECT_EQ(FSCopyFork(src_, dst_, b, 0), paramErr);
  EXPECT_TRUE(calls.calls().empty());
}

TEST_P(CopyFork, AnEmptySourceEmptiesTheDestination) {
  FSRef to = file("to", "longer than nothing");
  open(file("from", ""), to);
  {
    CallRecorder calls;
    ASSERT_EQ(copy(4096), noErr);
    calls_ = calls.calls();
  }
  EXPECT_EQ(readFork(to, false), "");
  // Sized first, both marks at the start, then one read that meets the end
  // and one write of nothing.
  std::vector<FMCall> made;
  for (const Call &call : calls_)
    made.push_back(call.call);
  ASSERT_EQ(made, (std::vector<FMCall>{FMCall::FSGetForkSize, FMCall::FSSetForkSize,
                                       FMCall::FSSetForkPosition, FMCall::FSSetForkPosition,
                                       FMCall::FSReadFork, FMCall::FSWriteFork}));
  const auto &c = calls_;
  EXPECT_EQ(c[1].fork, dst_);
  EXPECT_EQ(c[1].flags, UInt32(fsFromStart));
  EXPECT_EQ(c[1].offset, 0);
  EXPECT_EQ(c[2].fork, src_);
  EXPECT_EQ(c[3].fork, dst_);
  EXPECT_EQ(c[4].result, eofErr);
  EXPECT_EQ(c[5].count, 0u);
}

TEST_P(CopyFork, TheDestinationEndsExactlyAsLongAsTheSource) {
  const std::string source = pattern(5000);
  FSRef to = file("to", pattern(20000, 3));
  open(file("from", source), to);
  ASSERT_EQ(copy(4096), noErr);
  EXPECT_EQ(readFork(to, false), source);
}

TEST_P(CopyFork, TransfersGoInWholeMultiplesOf4KiBFromThatSizeUp) {
  const std::string source = pattern(10000);
  struct Case {
    ByteCount buffer, transfer;
  };
  for (Case k : {Case{1, 1}, Case{4095, 4095}, Case{4096, 4096}, Case{10000, 8192}}) {
    SCOPED_TRACE(k.buffer);
    FSRef to = file("to", "");
    open(file("from", source), to);
    {
      CallRecorder calls;
      ASSERT_EQ(copy(k.buffer), noErr);
      auto reads = callsNamed(calls, FMCall::FSReadFork),
           writes = callsNamed(calls, FMCall::FSWriteFork);
      // Whole transfers, then the read that meets the end: eofErr with
      // whatever was left (maybe nothing), which is written too.
      const size_t passes = source.size() / k.transfer + 1;
      ASSERT_EQ(reads.size(), passes);
      ASSERT_EQ(writes.size(), passes);
      for (size_t i = 0; i < passes; ++i) {
        SCOPED_TRACE("pass " + std::to_string(i));
        const bool last = i + 1 == passes;
        // At the mark, uncached, no offset; the write carries what was read.
        EXPECT_EQ(reads[i].count, k.transfer);
        EXPECT_EQ(reads[i].flags, 0x20u);
        EXPECT_EQ(reads[i].offset, 0);
        EXPECT_EQ(reads[i].result, last ? OSErr(eofErr) : OSErr(noErr));
        EXPECT_EQ(writes[i].flags, 0x20u);
        EXPECT_EQ(writes[i].offset, 0);
        EXPECT_TRUE(writes[i].isNull(1)); // no count wanted back
        EXPECT_EQ(writes[i].count, last ? source.size() % k.transfer : k.transfer);
      }
    }
    EXPECT_EQ(readFork(to, false), source);
    FSCloseFork(src_);
    FSCloseFork(dst_);
    src_ = dst_ = 0;
  }
}

TEST_P(CopyFork, ResourceForksCopyLikeDataForks) {
  // Small enough for the extended attribute on ext4.
  const std::string source = pattern(3000);
  FSRef from = file("from", "data"), to = file("to", "");
  ASSERT_EQ(writeFork(from, true, source), noErr);
  ASSERT_EQ(writeFork(to, true, pattern(3500, 1)), noErr);
  open(from, to, true);
  ASSERT_EQ(copy(1024), noErr);
  EXPECT_EQ(readFork(to, true), source);
  EXPECT_EQ(readFork(to, false), "");
}

TEST_P(CopyFork, AFailureBeforeTheCopyIsReturnedAtOnce) {
  struct Step {
    const char *what;
    FMCall call;
    bool onSource; // else on the destination's fork
    bool sized;    // the destination had taken the source's size
  };
  for (const Step &step : {Step{"the source's size", FMCall::FSGetForkSize, true, false},
                           Step{"the destination's size", FMCall::FSSetForkSize, false, false},
                           Step{"the source's mark", FMCall::FSSetForkPosition, true, true},
                           Step{"the destination's mark", FMCall::FSSetForkPosition, false, true}}) {
    SCOPED_TRACE(step.what);
    FSRef to = file("to", "12345");
    open(file("from", pattern(100)), to);
    {
      FaultInjector faults;
      faults.failWhen(callsTo(step.call).onFork(step.onSource ? src_ : dst_), ioErr);
      CallRecorder calls;
      EXPECT_EQ(copy(4096), ioErr);
      EXPECT_TRUE(callsNamed(calls, FMCall::FSReadFork).empty());
      const std::vector<Call> &c = calls.calls();
      ASSERT_GE(c.size(), step.sized ? 2u : 1u);
      if (!step.sized) {
        EXPECT_EQ(c.back().result, ioErr);
      } else {
        // Once sized, the destination is cut back to what was copied: nothing.
        EXPECT_EQ(c[c.size() - 2].result, ioErr);
        EXPECT_EQ(c.back().call, FMCall::FSSetForkSize);
        EXPECT_EQ(c.back().fork, dst_);
        EXPECT_EQ(c.back().offset, 0);
      }
    }
    EXPECT_EQ(readFork(to, false), step.sized ? "" : "12345");
    FSCloseFork(src_);
    FSCloseFork(dst_);
    src_ = dst_ = 0;
  }
}

TEST_P(CopyFork, AFailedReadEndsTheCopyAfterWritingWhatItDelivered) {
  const std::string source = pattern(10000);
  FSRef to = file("to", "");
  open(file("from", source), to);
  FaultInjector faults;
  // The reads differ only in their order: each takes the next 4 KiB at the mark.
  faults.failNth(FMCall::FSReadFork, 2, ioErr);
  CallRecorder calls;
  EXPECT_EQ(copy(4096), ioErr);
  auto writes = callsNamed(calls, FMCall::FSWriteFork);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].count, 4096u);
  EXPECT_EQ(writes[1].count, 0u); // the failed read delivered nothing
  // The bytes copied so far and nothing after them: sized for the whole
  // source, a failed copy would look complete.
  std::string got = readFork(to, false);
  ASSERT_EQ(got.size(), 4096u);
  EXPECT_EQ(got.substr(0, 4096), source.substr(0, 4096));
}

TEST_P(CopyFork, AFailedWriteOutranksTheReadOfItsPass) {
  const std::string source = pattern(10000);
  FSRef from = file("from", source), to = file("to", "");
  struct Case {
    const char *what;
    unsigned failingRead; // 0: none
    unsigned failingWrite;
  };
  for (Case k : {Case{"a write alone", 0, 2}, Case{"a write after a failed read", 2, 2},
                 Case{"the write after the read that met the end", 0, 3}}) {
    SCOPED_TRACE(k.what);
    open(from, to);
    // The writes before the failing one, of whole transfers.
    const size_t written = 4096 * (k.failingWrite - 1);
    {
      FaultInjector faults;
      // Passes differ only in their order: each reads and writes the next
      // 4 KiB at the marks.
      if (k.failingRead)
        faults.failNth(FMCall::FSReadFork, k.failingRead, ioErr);
      faults.failNth(FMCall::FSWriteFork, k.failingWrite, dskFulErr);
      CallRecorder calls;
      EXPECT_EQ(copy(4096), dskFulErr);
      EXPECT_EQ(callsNamed(calls, FMCall::FSWriteFork).size(), k.failingWrite);
      // Then the destination is cut back to what those writes wrote.
      EXPECT_EQ(calls.calls().back().call, FMCall::FSSetForkSize);
      EXPECT_EQ(calls.calls().back().offset, SInt64(written));
    }
    const std::string got = readFork(to, false);
    EXPECT_EQ(got.substr(0, 4096), source.substr(0, 4096));
    EXPECT_EQ(got.size(), written);
    EXPECT_TRUE(got == source.substr(0, got.size()));
    FSCloseFork(src_);
    FSCloseFork(dst_);
    src_ = dst_ = 0;
  }
}

// A source cut short during the copy ends the reads before the size the copy
// set out from: eofErr, and the destination holds what was read, not the
// source's old length.  One that grows is copied to the end the reads find.
// The change is made by the fault injector's hook just before a chosen read,
// so it lands between two transfers.
TEST_P(CopyFork, ASourceThatChangesSizeGivesEofErrOrACopyOfAllOfIt) {
  constexpr off_t kFifty = 50'000'000;
  const std::string head = pattern(3 * 4096, 5);
  struct Case {
    const char *what;
    off_t sparseTo;  // the source's size before the copy (head, then a hole)
    unsigned atRead; // the change comes just before this read
    off_t cutTo;     // -1: grows by `grown` instead
    OSErr expected;
    size_t copied;   // the destination's size afterwards
  };
  const std::string grown = pattern(5000, 9);
  for (Case k :
       {Case{"50 MB cut to 1,000 bytes after two transfers", kFifty, 3, 1000, eofErr, 8192},
        Case{"50 MB cut to 1,000 bytes before the first read", kFifty, 1, 1000, eofErr, 1000},
        Case{"grown after two transfers", off_t(head.size()), 3, -1, noErr,
             head.size() + grown.size()}}) {
    SCOPED_TRACE(k.what);
    const std::string path = dir_ / "from";
    writeFile(path, head);
    ASSERT_EQ(::truncate(path.c_str(), k.sparseTo), 0);
    FSRef to = file("to", "");
    FSRef from;
    ASSERT_EQ(refFor(path, from), noErr);
    open(from, to);
    {
      FaultInjector faults;
      unsigned reads = 0;
      faults.failWhen(
          [&](const Call &call) {
            if (call.call == FMCall::FSReadFork && ++reads == k.atRead) {
              if (k.cutTo >= 0) {
                EXPECT_EQ(::truncate(path.c_str(), k.cutTo), 0);
              } else {
                int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
                EXPECT_EQ(::write(fd, grown.data(), grown.size()), ssize_t(grown.size()));
                ::close(fd);
              }
            }
            return false; // the call itself goes ahead
          },
          noErr);
      EXPECT_EQ(copy(4096), k.expected);
    }
    SInt64 size = 0;
    ASSERT_EQ(FSGetForkSize(dst_, &size), noErr);
    EXPECT_EQ(size, SInt64(k.copied)) << "the source's old size was " << k.sparseTo;
    const std::string was = head + (k.cutTo >= 0 ? std::string() : grown);
    const std::string got = readFork(to, false);
    EXPECT_TRUE(got == was.substr(0, got.size()));
    FSCloseFork(src_);
    FSCloseFork(dst_);
    src_ = dst_ = 0;
  }
}

// Sizes beyond 32 bits: a 3 GiB sparse source with a few written blocks,
// copied through a 1 MiB buffer into a file beside it.  The copy is dense, so
// this needs 3 GiB free; it runs in memory (tmpfs), where writing 3 GiB does
// not stall the disk that the other tests running beside it flush to.
TEST(CopyForkLarge, ThreeGiBSparseSourceCopiesWhole) {
  constexpr off_t kSize = off_t(3) << 30;
  TempDir dir("/dev/shm");
  struct statvfs vfs;
  ASSERT_EQ(::statvfs(dir.path().c_str(), &vfs), 0);
  if (static_cast<off_t>(vfs.f_bavail) * static_cast<off_t>(vfs.f_frsize) < kSize + (off_t(1) << 30))
    GTEST_SKIP() << "needs 4 GiB free under /dev/shm for a dense 3 GiB copy";

  const std::string block = pattern(4096, 11);
  const off_t written[] = {0, (off_t(1) << 30) + 12345, (off_t(2) << 30) + 1, kSize - 4096};
  {
    int fd = ::open((dir / "sparse").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (off_t at : written)
      ASSERT_EQ(::pwrite(fd, block.data(), block.size(), at), ssize_t(block.size()));
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    ::close(fd);
  }
  writeFile(dir / "copy", "");
  FSRef from, to;
  ASSERT_EQ(refFor(dir / "sparse", from), noErr);
  ASSERT_EQ(refFor(dir / "copy", to), noErr);
  FSIORefNum src, dst;
  ASSERT_EQ(openFork(from, false, fsRdPerm, src), noErr);
  ASSERT_EQ(openFork(to, false, fsRdWrPerm, dst), noErr);
  std::vector<char> buffer(1 << 20);
  OSErr err = FSCopyFork(src, dst, buffer.data(), buffer.size());
  SInt64 size = 0;
  FSGetForkSize(dst, &size);
  FSCloseFork(src);
  FSCloseFork(dst);
  EXPECT_EQ(err, noErr);
  EXPECT_EQ(size, kSize);

  // The written blocks, the bytes around them and a stretch of a hole.
  int a = ::open((dir / "sparse").c_str(), O_RDONLY), b = ::open((dir / "copy").c_str(), O_RDONLY);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  std::vector<char> x(3 * 4096), y(3 * 4096);
  for (off_t at : {off_t(0), written[1] - 4096, written[2] - 4096, kSize - 3 * 4096,
                   (off_t(5) << 29) + 777}) {
    SCOPED_TRACE(at);
    ASSERT_EQ(::pread(a, x.data(), x.size(), at), ssize_t(x.size()));
    ASSERT_EQ(::pread(b, y.data(), y.size(), at), ssize_t(y.size()));
    EXPECT_TRUE(x == y);
  }
  struct stat st;
  ASSERT_EQ(::fstat(b, &st), 0);
  EXPECT_EQ(st.st_size, kSize);
  ::close(a);
  ::close(b);
  // Gone at once: 3 GiB of disk.
  ::unlink((dir / "copy").c_str());
  ::unlink((dir / "sparse").c_str());
}

// A volume that fills during the copy: dskFulErr, and the destination holds
// the bytes of the writes that succeeded, not the source's length with zeros
// after them.  The small volumes are mounted in a private mount namespace.
TEST(CopyForkOntoAFullVolume, InAPrivateNamespace) {
  runChildCases("InNamespaceFullVolume.*", true);
}

class InNamespaceFullVolume : public MountNamespaceCase {
protected:
  /// Copies a source of `sourceSize` bytes from the case's folder into a new
  /// file in `folder`, through a 1 MiB buffer, expecting the volume to fill.
  void expectCutBackToTheBytesWritten(const std::string &folder, size_t sourceSize) {
    const std::string source = pattern(sourceSize, 13);
    writeFile(dir_ / "source", source);
    writeFile(folder + "/copy", "");
    FSRef from, to;
    ASSERT_EQ(refFor(dir_ / "source", from), noErr);
    ASSERT_EQ(refFor(folder + "/copy", to), noErr);
    FSIORefNum src, dst;
    ASSERT_EQ(openFork(from, false, fsRdPerm, src), noErr);
    ASSERT_EQ(openFork(to, false, fsRdWrPerm, dst), noErr);
    std::vector<char> buffer(1 << 20);
    OSErr err;
    UInt64 written = 0;
    {
      CallRecorder calls;
      err = FSCopyFork(src, dst, buffer.data(), buffer.size());
      for (const Call &c : callsNamed(calls, FMCall::FSWriteFork))
        if (c.result == noErr)
          written += c.count;
    }
    SInt64 size = 0;
    EXPECT_EQ(FSGetForkSize(dst, &size), noErr);
    FSCloseFork(src);
    FSCloseFork(dst);
    EXPECT_EQ(err, dskFulErr);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, source.size());
    EXPECT_EQ(size, SInt64(written)) << "the source holds " << source.size() << " bytes";
    EXPECT_TRUE(readFile(folder + "/copy") == source.substr(0, written));
  }
};

TEST_F(InNamespaceFullVolume, OnA4MiBTmpfs) {
  const std::string small = point("small");
  ASSERT_EQ(::mount("qmtest", small.c_str(), "tmpfs", 0, "size=4m"), 0) << std::strerror(errno);
  expectCutBackToTheBytesWritten(small, 10'000'000);
}

TEST_F(InNamespaceFullVolume, OnA16MiBExt4) {
  const std::string small = point("small"), image = dir_ / "ext4.img";
  int status;
  const std::string out = runCommand("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" +
                                         image + "' && mount -o loop '" + image + "' '" + small +
                                         "'",
                                     status);
  if (status != 0)
    GTEST_SKIP() << "no loop-mounted ext4 here: " << out;
  expectCutBackToTheBytesWritten(small, 20'000'000);
}

// --- FSLockRange / FSUnlockRange -------------------------------------------------

/// One file open twice: for writing and for reading.
class LockRange : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    writeFile(dir_ / "f", pattern(1000));
    FSRef f;
    ASSERT_EQ(refFor(dir_ / "f", f), noErr);
    ASSERT_EQ(openFork(f, false, fsRdWrPerm, writer), noErr);
    ASSERT_EQ(openFork(f, false, fsRdPerm, reader), noErr);
  }
  void TearDown() override {
    FSCloseFork(writer);
    FSCloseFork(reader);
  }
  FSIORefNum writer = 0, reader = 0;
};
INSTANTIATE_TEST_SUITE_P(FileSystems, LockRange, ::testing::ValuesIn(bases()));

TEST_P(LockRange, PassesTheRangeFromTheStartAndAnswersThePlatformsStatus) {
  {
    CallRecorder calls;
    EXPECT_EQ(FSLockRange(writer, 100, 20), noErr);
    EXPECT_EQ(FSUnlockRange(writer, 100, 20), noErr);
    ASSERT_EQ(calls.names(), (std::vector<std::string>{"PBLockRangeSync", "PBUnlockRangeSync"}));
    for (const Call &c : calls.calls()) {
      SCOPED_TRACE(c.callName());
      EXPECT_EQ(c.fork, writer);
      EXPECT_EQ(c.count, 100u);
      EXPECT_EQ(c.flags, UInt32(fsFromStart));
      EXPECT_EQ(c.offset, 20);
    }
  }
  ASSERT_EQ(FSLockRange(writer, 100, 20), noErr);
  // Another fork of the file meets the lock; a range it never locked is not
  // its to unlock.
  EXPECT_EQ(FSLockRange(reader, 10, 50), afpRangeOverlap);
  EXPECT_EQ(FSUnlockRange(reader, 100, 20), afpRangeNotLocked);
  EXPECT_EQ(FSUnlockRange(writer, 100, 21), afpRangeNotLocked);
  EXPECT_EQ(FSUnlockRange(writer, 100, 20), noErr);
}

TEST_P(LockRange, AForkOpenedForReadingLocksToo) {
  EXPECT_EQ(FSLockRange(reader, 10, 50), noErr);
  EXPECT_EQ(FSLockRange(writer, 1, 59), afpRangeOverlap);
  EXPECT_EQ(FSUnlockRange(reader, 10, 50), noErr);
}

// --- FSCopyFile ----------------------------------------------------------------

class CopyFile : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    ASSERT_EQ(createDir(root_, "from", &from_), noErr);
    ASSERT_EQ(createDir(root_, "to", &to_), noErr);
    ASSERT_EQ(createFile(from_, "doc.txt", &doc_), noErr);
    writeFile(dir_ / "from/doc.txt", "the contents");
    ASSERT_EQ(writeFork(doc_, true, "the resource fork"), noErr);
    ASSERT_EQ(setTypeAndCreated(doc_, fourCC("TEXT"), fourCC("ttxt"), 3000000000u), noErr);
  }
  OSErr copy(const char *name, FSRef *newRef) {
    std::u16string n = name ? u16(name) : std::u16string();
    return FSCopyFile(&doc_, &to_, n.size(), name ? units(n) : nullptr, kTextEncodingUnknown,
                      newRef);
  }
  /// What the copy must carry of the source's.
  void expectCopyAt(const std::string &path) {
    FileState was = stateOf(dir_ / "from/doc.txt"), is = stateOf(path);
    EXPECT_EQ(is.contents, was.contents);
    EXPECT_EQ(is.resource, was.resource);
    EXPECT_EQ(is.finderInfo, was.finderInfo);
    EXPECT_EQ(is.created, was.created);
    EXPECT_NE(is.inode, was.inode);
  }

  FSRef from_, to_, doc_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, CopyFile, ::testing::ValuesIn(bases()));

TEST_P(CopyFile, CopiesContentsResourceForkAndFinderInfoUnderANewName) {
  CallRecorder calls;
  FSRef copyRef;
  ASSERT_EQ(copy("copy of doc", &copyRef), noErr);
  expectCopyAt(dir_ / "to/copy of doc");
  EXPECT_EQ(pathOf(copyRef), dir_ / "to/copy of doc");
  EXPECT_EQ(listing(dir_ / "from"), (std::vector<std::string>{"doc.txt"}));
  // The folder is named by its ID, the new name given as the copy's.
  auto copies = callsNamed(calls, FMCall::PBHCopyFileSync);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].count, 7u); // the source's one-byte name, "doc.txt"
  EXPECT_EQ(copies[0].oneByteName, "doc.txt");
  EXPECT_EQ(copies[0].nulls, 0b0100u); // ioNewName only
}

TEST_P(CopyFile, WithoutANameTheCopyKeepsTheSourcesAndTheReferenceNamesTheCopy) {
  FSRef copyRef;
  ASSERT_EQ(copy(nullptr, &copyRef), noErr);
  expectCopyAt(dir_ / "to/doc.txt");
  // The copy, not the folder it went into.
  EXPECT_EQ(pathOf(copyRef), dir_ / "to/doc.txt");
  Boolean isDir = true;
  ASSERT_EQ(FSGetNodeID(&copyRef, nullptr, &isDir), noErr);
  EXPECT_FALSE(isDir);
}

TEST_P(CopyFile, WithoutANameTheReferenceNamesTheCopyEvenWhenTheOneByteNameIsShortened) {
  // No one-byte form: the source's FSSpec name is shortened and carries its
  // node ID, which the copy does not share.
  FSRef longName;
  const char *name = "日本語のとても長いファイルの名前.txt";
  ASSERT_EQ(createFile(from_, name, &longName), noErr);
  FSRef copyRef;
  std::memset(&copyRef, 0x5A, sizeof copyRef);
  ASSERT_EQ(FSCopyFile(&longName, &to_, 0, nullptr, kTextEncodingUnknown, &copyRef), noErr);
  EXPECT_EQ(pathOf(copyRef), dir_ / (std::string("to/") + name));
}

TEST_P(CopyFile, WithoutAReferenceNoneIsMade) {
  {
    CallRecorder calls;
    ASSERT_EQ(copy("copy", nullptr), noErr);
    EXPECT_TRUE(callsNamed(calls, FMCall::PBMakeFSRefSync).empty());
    EXPECT_EQ(calls.names().back(), "PBHCopyFileSync");
  }
  expectCopyAt(dir_ / "to/copy");
}

TEST_P(CopyFile, AnEmptyNameIsStillConvertedAndGivenToTheCall) {
  CallRecorder calls;
  const UniChar unused = 'x';
  FSRef copyRef;
  std::memset(&copyRef, 0x5A, sizeof copyRef);
  // The platform refuses an empty name; its answer comes back.
  EXPECT_EQ(FSCopyFile(&doc_, &to_, 0, &unused, kTextEncodingUnknown, &copyRef), bdNamErr);
  auto copies = callsNamed(calls, FMCall::PBHCopyFileSync);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_FALSE(copies[0].isNull(3)); // a copy name, the empty one
  EXPECT_TRUE(callsNamed(calls, FMCall::PBMakeFSRefSync).empty());
  EXPECT_EQ(listing(dir_ / "to"), std::vector<std::string>{});
  EXPECT_EQ(copyRef.hidden[0], 0x5A); // not written
}

TEST_P(CopyFile, ANameThatDoesNotConvertCopiesNothing) {
  CallRecorder calls;
  FSRef copyRef;
  // 32 bytes: one more than a one-byte name holds.
  EXPECT_EQ(copy("abcdefghijklmnopqrstuvwxyz012345", &copyRef), kTECOutputBufferFullStatus);
  EXPECT_TRUE(callsNamed(calls, FMCall::PBHCopyFileSync).empty());
  EXPECT_EQ(listing(dir_ / "to"), std::vector<std::string>{});
}

TEST_P(CopyFile, ThePlatformsRefusalsComeBack) {
  // A name taken in the folder: nothing replaced.
  writeFile(dir_ / "to/taken", "mine");
  FSRef copyRef;
  EXPECT_EQ(copy("taken", &copyRef), dupFNErr);
  EXPECT_EQ(readFile(dir_ / "to/taken"), "mine");
  // Missing objects: the catalog reads answer before anything is copied.
  FSRef gone;
  ASSERT_EQ(createFile(from_, "gone", &gone), noErr);
  ASSERT_EQ(::unlink((dir_ / "from/gone").c_str()), 0);
  EXPECT_EQ(FSCopyFile(&gone, &to_, 0, nullptr, 0, nullptr), fnfErr);
  EXPECT_EQ(FSCopyFile(&doc_, &gone, 0, nullptr, 0, nullptr), fnfErr);
  // Into another volume.
  TempDir other(GetParam() == "/tmp" ? "/dev/shm" : "/tmp");
  FSRef otherRef;
  ASSERT_EQ(refFor(other.path(), otherRef), noErr);
  EXPECT_EQ(FSCopyFile(&doc_, &otherRef, 0, nullptr, 0, nullptr), diffVolErr);
  EXPECT_EQ(listing(other.path()), std::vector<std::string>{});
}

// One-byte names are in the system script's encoding: a Cyrillic name under
// a Cyrillic system script reaches the disk as itself.
TEST_P(CopyFile, ACyrillicNameUnderACyrillicSystemScript) {
  ScriptVariablesOverride system(smCyrillic, verRussia);
  FSRef copyRef;
  ASSERT_EQ(copy("файл", &copyRef), noErr);
  EXPECT_EQ(listing(dir_ / "to"), (std::vector<std::string>{"файл"}));
  EXPECT_EQ(pathOf(copyRef), dir_ / "to/файл");
}

} // namespace
