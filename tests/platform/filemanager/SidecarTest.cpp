// `._` files on real file systems: made whole, laid out as the file server
// writes them, read whoever wrote them, never attached to another object.
#include "platform/filemanager/Sidecar.h"

#include "FileManagerTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/file.h>
#include <sys/xattr.h>

namespace dbl = quillmate::fm::dbl;
namespace sidecar = quillmate::fm::sidecar;
namespace sys = quillmate::fm::sys;
using fmtest::TempDir;

namespace {

class SidecarTest : public ::testing::TestWithParam<const char *> {
protected:
  void SetUp() override {
    if (dir_.path().empty())
      GTEST_SKIP() << "no folder under " << GetParam();
    fd_ = sys::Fd(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
    fmtest::writeFile(dir_ / "doc", "data");
  }
  struct statx object(const char *name = "doc") {
    struct statx stx {};
    EXPECT_EQ(sys::statxAt(fd_.get(), name, STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE, &stx),
              0);
    return stx;
  }
  sidecar::Found look(const char *name = "doc") {
    sidecar::File f;
    sidecar::Found found;
    EXPECT_EQ(sidecar::open(fd_.get(), name, object(name), O_RDONLY, f, found), noErr);
    return found;
  }

  TempDir dir_{GetParam()};
  sys::Fd fd_;
};

const UInt8 kFinderInfo[dbl::kFinderInfoSize] = {'T', 'E', 'X', 'T', 't', 't', 'x', 't', 1};

} // namespace

TEST_P(SidecarTest, NewFileIsWholeAndLaidOutAsTheFileServerWritesIt) {
  sidecar::File f;
  const std::string fork(10240, 'r');
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, fork.data(), fork.size(), false, f),
            noErr);
  std::string bytes = fmtest::readFile(dir_ / "._doc");
  ASSERT_EQ(bytes.size(), 0x52u + fork.size());
  dbl::Header expected = dbl::sidecarHeader(10240);
  std::string head(expected.encodedSize(), '\0');
  expected.encode(reinterpret_cast<UInt8 *>(head.data()));
  EXPECT_EQ(bytes.substr(0, head.size()), head);
  EXPECT_EQ(bytes.substr(0x32, 32), std::string(32, '\0'));
  EXPECT_EQ(bytes.substr(0x52), fork);
  EXPECT_EQ(look(), sidecar::Found::Attached);
  uint64_t length = 0;
  EXPECT_EQ(f.currentForkLength(length), noErr);
  EXPECT_EQ(length, 10240u);
  // No file of its making is left beside it.
  EXPECT_EQ(std::system(("test $(ls -A '" + dir_.path() + "' | wc -l) -eq 2").c_str()), 0);

  // One there is kept, even by a create that replaces: it is the object's.
  sidecar::File again;
  EXPECT_EQ(sidecar::create(fd_.get(), "doc", object(), kFinderInfo, nullptr, 0, false, again),
            dupFNErr);
  EXPECT_EQ(sidecar::create(fd_.get(), "doc", object(), kFinderInfo, nullptr, 0, true, again),
            dupFNErr);
  EXPECT_EQ(fmtest::readFile(dir_ / "._doc"), bytes);
  // A damaged one is replaced.
  fmtest::writeFile(dir_ / "._doc", "damaged");
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), kFinderInfo, nullptr, 0, true, again),
            noErr);
  UInt8 fi[dbl::kFinderInfoSize];
  ASSERT_TRUE(sidecar::readFinderInfo(again, fi));
  EXPECT_EQ(std::memcmp(fi, kFinderInfo, sizeof fi), 0);
}

// Two replacing one stranded file at once: the second finds the first's in
// its place and leaves it (it may hold writes already).
TEST_P(SidecarTest, AReplacementWaitsForAnotherAndKeepsIt) {
  sidecar::File f;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "old", 3, false, f), noErr);
  if (::getxattr((dir_ / "._doc").c_str(), sidecar::kOwnerAttribute, nullptr, 0) <= 0)
    GTEST_SKIP() << "the owner record needs extended attributes";
  ASSERT_EQ(::rename((dir_ / "doc").c_str(), (dir_ / "moved").c_str()), 0);
  fmtest::writeFile(dir_ / "doc", "another");
  ASSERT_EQ(look(), sidecar::Found::Stranded);
  sidecar::File first, second;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "first", 5, true, first), noErr);
  EXPECT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "second", 6, true, second),
            dupFNErr);
  EXPECT_EQ(fmtest::sidecarFork(dir_.path(), "doc"), "first");
}

TEST_P(SidecarTest, StrandedByAPlainMoveIsNotAttachedButACopyOfThePairIs) {
  sidecar::File f;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), kFinderInfo, "rsrc", 4, false, f), noErr);
  const bool recorded = ::getxattr((dir_ / "._doc").c_str(), sidecar::kOwnerAttribute, nullptr, 0) > 0;

  // `mv doc moved`, then a new `doc`: the `._doc` left behind is not the new one's.
  ASSERT_EQ(::rename((dir_ / "doc").c_str(), (dir_ / "moved").c_str()), 0);
  fmtest::writeFile(dir_ / "doc", "another");
  EXPECT_EQ(look(), recorded ? sidecar::Found::Stranded : sidecar::Found::Attached);

  // `cp -a` of the pair: new inodes both, and the copy belongs to its object.
  ASSERT_EQ(std::system(("cd '" + dir_.path() + "' && cp -a moved copy && cp -a ._doc ._copy").c_str()),
            0);
  EXPECT_EQ(look("copy"), sidecar::Found::Attached);
}

TEST_P(SidecarTest, OtherWritersLayoutsAndDamageAreTold) {
  // The archiver's layout: filler zero, Finder information described first.
  dbl::Header h;
  h.count = 2;
  h.entries[0] = {dbl::kFinderInfo, 0x32, 32};
  h.entries[1] = {dbl::kResourceFork, 0x52, 3};
  std::string bytes(0x55, '\0');
  h.encode(reinterpret_cast<UInt8 *>(bytes.data()));
  std::memcpy(bytes.data() + 0x32, kFinderInfo, sizeof kFinderInfo);
  bytes.replace(0x52, 3, "abc");
  fmtest::writeFile(dir_ / "._doc", bytes);
  sidecar::File f;
  sidecar::Found found;
  ASSERT_EQ(sidecar::open(fd_.get(), "doc", object(), O_RDWR, f, found), noErr);
  ASSERT_EQ(found, sidecar::Found::Attached);
  UInt8 fi[dbl::kFinderInfoSize];
  ASSERT_TRUE(sidecar::readFinderInfo(f, fi));
  EXPECT_EQ(std::memcmp(fi, kFinderInfo, sizeof fi), 0);
  ASSERT_NE(f.fork(), nullptr);
  EXPECT_EQ(f.fork()->length, 3u);

  fmtest::writeFile(dir_ / "._doc", bytes.substr(0, 0x53)); // the fork cut short
  EXPECT_EQ(look(), sidecar::Found::Damaged);
  ASSERT_EQ(::unlink((dir_ / "._doc").c_str()), 0);
  ASSERT_EQ(::mkdir((dir_ / "._doc").c_str(), 0755), 0);
  EXPECT_EQ(look(), sidecar::Found::None);
  ASSERT_EQ(::rmdir((dir_ / "._doc").c_str()), 0);
  ASSERT_EQ(::symlink("/etc/passwd", (dir_ / "._doc").c_str()), 0);
  EXPECT_EQ(look(), sidecar::Found::None);
}

TEST_P(SidecarTest, ForkGrowsWithZerosAndShrinksInPlace) {
  sidecar::File f;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "abcdef", 6, false, f), noErr);
  ASSERT_EQ(sidecar::lock(f), noErr);
  ASSERT_EQ(sidecar::setForkLength(f, 2), noErr);
  EXPECT_EQ(fmtest::readFile(dir_ / "._doc").substr(0x52), "ab");
  // Bytes past the fork's end that another writer left are not revealed.
  ASSERT_EQ(::truncate((dir_ / "._doc").c_str(), 0x52 + 4), 0);
  {
    std::fstream io(dir_ / "._doc", std::ios::in | std::ios::out | std::ios::binary);
    io.seekp(0x54);
    io << "zz";
  }
  f.size = 0x56;
  ASSERT_EQ(sidecar::setForkLength(f, 5), noErr);
  EXPECT_EQ(fmtest::readFile(dir_ / "._doc").substr(0x52), std::string("ab\0\0\0", 5));
  uint64_t length = 0;
  EXPECT_EQ(f.currentForkLength(length), noErr);
  EXPECT_EQ(length, 5u);
  sidecar::unlock(f);
}

TEST_P(SidecarTest, WritesGrowTheForkBytesFirstAndKeepGapsZero) {
  sidecar::File f;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "abcdef", 6, false, f), noErr);
  ASSERT_EQ(sidecar::lock(f), noErr);
  EXPECT_TRUE(f.locked);
  // Bytes a killed writer left past the fork's end stay out of the gap.
  {
    std::fstream io(dir_ / "._doc", std::ios::in | std::ios::out | std::ios::binary);
    io.seekp(0x52 + 6);
    io << "stale";
  }
  ASSERT_EQ(sidecar::reread(f), noErr);
  EXPECT_EQ(f.size, 0x52u + 11);
  ASSERT_EQ(sidecar::writeFork(f, 8, "XY", 2), noErr);
  EXPECT_EQ(fmtest::readFile(dir_ / "._doc").substr(0x52), std::string("abcdef\0\0XY", 10));
  uint64_t length = 0;
  ASSERT_EQ(f.currentForkLength(length), noErr);
  EXPECT_EQ(length, 10u);
  ASSERT_EQ(sidecar::writeFork(f, 1, "BC", 2), noErr); // inside: the header stays
  EXPECT_EQ(fmtest::readFile(dir_ / "._doc").substr(0x52), std::string("aBCdef\0\0XY", 10));
  // Past what the format counts: nothing is written.
  EXPECT_EQ(sidecar::writeFork(f, sidecar::kMaxForkLength - 1, "zz", 2), dskFulErr);
  EXPECT_EQ(fmtest::readFile(dir_ / "._doc").size(), 0x52u + 10);
  sidecar::unlock(f);
  EXPECT_FALSE(f.locked);
}

TEST_P(SidecarTest, RereadSeesAnotherWritersHeaderAndItsReplacement) {
  sidecar::File mine, theirs;
  sidecar::Found found;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "abc", 3, false, mine), noErr);
  ASSERT_EQ(sidecar::open(fd_.get(), "doc", object(), O_RDWR, theirs, found), noErr);
  ASSERT_EQ(found, sidecar::Found::Attached);
  ASSERT_EQ(sidecar::lock(theirs), noErr);
  ASSERT_EQ(sidecar::writeFork(theirs, 3, "defg", 4), noErr);
  sidecar::unlock(theirs);
  ASSERT_EQ(sidecar::reread(mine), noErr);
  ASSERT_NE(mine.fork(), nullptr);
  EXPECT_EQ(mine.fork()->length, 7u);
  EXPECT_EQ(mine.links, 1u);
  // Another file put in its place: the one held has no name any more.
  fmtest::writeFile(dir_ / "new", "another");
  ASSERT_EQ(::rename((dir_ / "new").c_str(), (dir_ / "._doc").c_str()), 0);
  ASSERT_EQ(sidecar::reread(mine), noErr);
  EXPECT_EQ(mine.links, 0u);
  EXPECT_EQ(mine.fork()->length, 7u);
}

// A header that does not fit the file's size may be one another process is
// changing: it is read again under a shared lock, which waits for that
// change (here, for a second) before the file is called damaged.
TEST_P(SidecarTest, AHeaderThatDoesNotFitIsReadAgainUnderTheLock) {
  dbl::Header h = dbl::sidecarHeader(100); // claims more than the file holds
  std::string bytes(0x52 + 10, '\0');
  h.encode(reinterpret_cast<UInt8 *>(bytes.data()));
  fmtest::writeFile(dir_ / "._doc", bytes);
  sys::Fd holder(::open((dir_ / "._doc").c_str(), O_RDONLY));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
  sidecar::File f;
  sidecar::Found found;
  EXPECT_EQ(sidecar::open(fd_.get(), "doc", object(), O_RDONLY, f, found), fBsyErr);
  ASSERT_EQ(::flock(holder.get(), LOCK_UN), 0);
  EXPECT_EQ(look(), sidecar::Found::Damaged);
}

TEST_P(SidecarTest, RelayoutPutsTheForkLastAndKeepsEveryEntry) {
  // The fork first, a comment and the Finder information behind it.
  fmtest::writeFile(dir_ / "._doc", fmtest::forkFirstSidecar(kFinderInfo));

  sidecar::File f;
  sidecar::Found found;
  ASSERT_EQ(sidecar::open(fd_.get(), "doc", object(), O_RDWR, f, found), noErr);
  ASSERT_EQ(found, sidecar::Found::Attached);
  ASSERT_EQ(sidecar::relayout(fd_.get(), "doc", object(), f), noErr);
  ASSERT_EQ(sidecar::setForkLength(f, 6), noErr);
  ASSERT_EQ(sidecar::open(fd_.get(), "doc", object(), O_RDONLY, f, found), noErr);
  ASSERT_EQ(found, sidecar::Found::Attached);
  const dbl::Entry *fork = f.fork();
  ASSERT_NE(fork, nullptr);
  EXPECT_TRUE(f.header.isLast(f.header.indexOf(*fork)));
  std::string now = fmtest::readFile(dir_ / "._doc");
  EXPECT_EQ(now.substr(fork->offset), std::string("RSRC\0\0", 6));
  const dbl::Entry *comment = f.header.find(dbl::kComment);
  ASSERT_NE(comment, nullptr);
  EXPECT_EQ(now.substr(comment->offset, comment->length), "notes");
  UInt8 fi[dbl::kFinderInfoSize];
  ASSERT_TRUE(sidecar::readFinderInfo(f, fi));
  EXPECT_EQ(std::memcmp(fi, kFinderInfo, sizeof fi), 0);
}

// A `._` file is hidden beside its object, of any kind, and only when it
// is a file.
TEST_P(SidecarTest, HiddenOnlyAsAFileBesideAnObject) {
  fmtest::writeFile(dir_ / "._doc", "fork");
  fmtest::writeFile(dir_ / "._lone", "orphan");
  ASSERT_EQ(::mkdir((dir_ / "folder").c_str(), 0755), 0);
  fmtest::writeFile(dir_ / "._folder", "a folder's");
  EXPECT_TRUE(sidecar::isHidden(fd_.get(), "._doc", S_IFREG));
  EXPECT_TRUE(sidecar::isHidden(fd_.get(), "._doc", 0)); // type unknown: looked at
  EXPECT_TRUE(sidecar::isHidden(fd_.get(), "._folder", S_IFREG));
  EXPECT_FALSE(sidecar::isHidden(fd_.get(), "._lone", S_IFREG));
  EXPECT_FALSE(sidecar::isHidden(fd_.get(), "._doc", S_IFDIR));
  EXPECT_FALSE(sidecar::isHidden(fd_.get(), "doc", S_IFREG));
}

// A second name that a killed rename left goes, unless it is the object's
// own, someone else's hard link (no owner record), or a rename under way
// holds the file's lock.
TEST_P(SidecarTest, SecondNamesOfAKilledRenameGo) {
  sidecar::File f;
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "rsrc", 4, false, f), noErr);
  if (::getxattr((dir_ / "._doc").c_str(), sidecar::kOwnerAttribute, nullptr, 0) <= 0)
    GTEST_SKIP() << "no owner records here";
  ASSERT_EQ(::link((dir_ / "._doc").c_str(), (dir_ / "._new").c_str()), 0);
  auto stx = [&](const char *name) {
    struct statx s {};
    sys::statxAt(fd_.get(), name, STATX_TYPE | STATX_INO | STATX_NLINK, &s);
    return s;
  };
  EXPECT_FALSE(sidecar::removeLeftover(fd_.get(), "._doc", stx("._doc"))); // the object's own
  {
    sys::Fd other(::open((dir_ / "._new").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0); // a rename under way
    EXPECT_FALSE(sidecar::removeLeftover(fd_.get(), "._new", stx("._new")));
  }
  EXPECT_TRUE(sidecar::removeLeftover(fd_.get(), "._new", stx("._new")));
  EXPECT_FALSE(fmtest::exists(dir_ / "._new"));
  EXPECT_EQ(look(), sidecar::Found::Attached);
  // The object renamed away by a plain `mv`: `._doc` stays, with one name.
  ASSERT_EQ(::rename((dir_ / "doc").c_str(), (dir_ / "moved").c_str()), 0);
  EXPECT_FALSE(sidecar::removeLeftover(fd_.get(), "._doc", stx("._doc")));

  fmtest::writeFile(dir_ / "._theirs", "no owner");
  ASSERT_EQ(::link((dir_ / "._theirs").c_str(), (dir_ / "._also").c_str()), 0);
  EXPECT_FALSE(sidecar::removeLeftover(fd_.get(), "._also", stx("._also")));
}

// A copy is the whole file, owned by the object it is made for.
TEST_P(SidecarTest, CopyIsWholeAndTheNewObjects) {
  sidecar::File f;
  const std::string fork(300000, 'c');
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), kFinderInfo, fork.data(), fork.size(),
                            false, f),
            noErr);
  fmtest::writeFile(dir_ / "copy", "data");
  fmtest::writeFile(dir_ / "._copy", "an orphan in the way");
  uint64_t ino = 0;
  ASSERT_EQ(sidecar::copy(f.fd.get(), fd_.get(), "copy", object("copy"), ino), noErr);
  EXPECT_EQ(fmtest::readFile(dir_ / "._copy"), fmtest::readFile(dir_ / "._doc"));
  EXPECT_EQ(look("copy"), sidecar::Found::Attached);
  EXPECT_EQ(ino, object("._copy").stx_ino);
  EXPECT_EQ(sidecar::copy(f.fd.get(), fd_.get(), std::string(254, 'n').c_str(), object(), ino),
            errFSNameTooLong);
}

// After an exchange killed part-way, the place's staged file takes the
// place's `._` name when it is the object's, and goes otherwise.
TEST_P(SidecarTest, AnExchangeKilledPartWayIsSettledByOwnerRecords) {
  fmtest::writeFile(dir_ / "other", "other data");
  sidecar::File mine, theirs;
  ASSERT_EQ(sidecar::create(fd_.get(), "other", object("other"), nullptr, "theirs", 6, false, theirs),
            noErr);
  if (::getxattr((dir_ / "._other").c_str(), sidecar::kOwnerAttribute, nullptr, 0) <= 0)
    GTEST_SKIP() << "no owner records here";
  // "doc" came to the place of "other": its file is staged there, and the
  // other object's file is still at the place's name (with its own second
  // name beside the other place).
  ASSERT_EQ(sidecar::create(fd_.get(), "doc", object(), nullptr, "mine", 4, false, mine), noErr);
  ASSERT_EQ(::rename((dir_ / "._doc").c_str(), (dir_ / ".staged").c_str()), 0);
  ASSERT_EQ(::link((dir_ / "._other").c_str(), (dir_ / ".elsewhere").c_str()), 0);
  ASSERT_EQ(::unlink((dir_ / "other").c_str()), 0);
  ASSERT_EQ(::rename((dir_ / "doc").c_str(), (dir_ / "other").c_str()), 0);
  sidecar::settleExchange(fd_.get(), "other", ".staged", object("other"));
  EXPECT_FALSE(fmtest::exists(dir_ / ".staged"));
  EXPECT_EQ(fmtest::readFile(dir_ / "._other").substr(0x52), "mine");
  EXPECT_EQ(look("other"), sidecar::Found::Attached);

  // A staged file that is not the object's: the swap did not happen.
  ASSERT_EQ(::link((dir_ / ".elsewhere").c_str(), (dir_ / ".staged").c_str()), 0);
  sidecar::settleExchange(fd_.get(), "other", ".staged", object("other"));
  EXPECT_FALSE(fmtest::exists(dir_ / ".staged"));
  EXPECT_EQ(fmtest::readFile(dir_ / ".elsewhere").substr(0x52), "theirs");
  EXPECT_EQ(look("other"), sidecar::Found::Attached);
}

TEST(SidecarNames, ReservedNamesAndTheLongest) {
  EXPECT_TRUE(sidecar::isReserved("._x"));
  EXPECT_FALSE(sidecar::isReserved("._"));
  EXPECT_FALSE(sidecar::isReserved(".x"));
  std::string out;
  EXPECT_TRUE(sidecar::nameOf(std::string(253, 'n'), out));
  EXPECT_EQ(out.size(), 255u);
  EXPECT_FALSE(sidecar::nameOf(std::string(254, 'n'), out));
  char buffer[sidecar::kNameBufferSize];
  EXPECT_TRUE(sidecar::nameOf(std::string(253, 'n'), buffer));
  EXPECT_EQ(std::string(buffer), "._" + std::string(253, 'n'));
  EXPECT_FALSE(sidecar::nameOf(std::string(254, 'n'), buffer));
  EXPECT_FALSE(sidecar::nameOf("", buffer));
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SidecarTest, ::testing::Values("/tmp", "/dev/shm"));
