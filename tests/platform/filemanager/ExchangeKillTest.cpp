// Exchanges killed part-way: whenever the process making them dies, each
// place keeps its own metadata (Finder information, dates, text encoding,
// mode, node ID, file ID), as the next process to read it through the layer
// sees it.  Kills at random moments of a loop of exchanges, before each
// system call of one exchange, and right after the swap with another user
// reading first.
#include "FileManagerTestSupport.h"
#include "KillSupport.h"

#include <algorithm>
#include <random>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <utility>

using namespace fmtest;

namespace {

constexpr const char *kPlaces[2] = {"a", "b"};
constexpr mode_t kModes[2] = {0644, 0604}; // others may read both

/// What place `i` must show whichever inode stands there.
FSCatalogInfo placeInfo(int i) {
  FSCatalogInfo info{};
  FileInfo fi{};
  fi.fileType = i ? 0x42424242 : 0x41414141;    // 'BBBB' / 'AAAA'
  fi.fileCreator = i ? 0x62626262 : 0x61616161; // 'bbbb' / 'aaaa'
  fi.finderFlags = static_cast<UInt16>(i ? 0x0400 : 0x0100);
  std::memcpy(info.finderInfo, &fi, 16);
  info.extFinderInfo[3] = static_cast<UInt8>(10 + i);
  info.createDate = {0, static_cast<UInt32>(1000 + i), 0};
  info.backupDate = {0, static_cast<UInt32>(2000 + i), 0};
  info.textEncodingHint = static_cast<TextEncoding>(7 + i);
  return info;
}

constexpr FSCatalogInfoBitmap kFinderFields = kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;
constexpr FSCatalogInfoBitmap kPlaceFields =
    kFinderFields | kFSCatInfoCreateDate | kFSCatInfoBackupDate | kFSCatInfoTextEncoding;

/// PBCreateFileIDRefSync for `place` in the folder `root`; the ID in `id`.
OSErr createFileID(const FSRef &root, const char *place, UInt32 &id) {
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  if (OSErr err = folderIDs(root, volume, dirID))
    return err;
  HParamBlockRec pb{};
  PascalName name(place);
  pb.fidParam.ioVRefNum = volume;
  pb.fidParam.ioSrcDirID = dirID;
  pb.fidParam.ioNamePtr = name.bytes;
  const OSErr err = PBCreateFileIDRefSync(&pb);
  id = static_cast<UInt32>(pb.fidParam.ioFileID);
  return err;
}

/// Makes the two places afresh, each with its own metadata and a file ID.
int makePlaces(const std::string &dir) {
  FSRef root;
  if (refFor(dir, root) != noErr)
    return 1;
  for (int i = 0; i < 2; ++i) {
    FSRef ref;
    FSCatalogInfo info = placeInfo(i);
    if (createFile(root, kPlaces[i], &ref) != noErr ||
        FSSetCatalogInfo(&ref, kPlaceFields, &info) != noErr)
      return 2;
    writeFile(dir + "/" + kPlaces[i], std::string(100 + i, 'x'));
    UInt32 id;
    if (::chmod((dir + "/" + kPlaces[i]).c_str(), kModes[i]) != 0 ||
        createFileID(root, kPlaces[i], id) != noErr)
      return 3;
  }
  return 0;
}

/// Exit code of a check: bit i set when place i does not show its own
/// metadata (`ids` are the places' node IDs).
int checkPlaces(const std::string &dir, const UInt32 ids[2]) {
  FSRef root;
  if (refFor(dir, root) != noErr)
    return 64;
  int wrong = 0;
  for (int i = 0; i < 2; ++i) {
    FSRef ref;
    FSCatalogInfo got{}, alone{};
    // Finder information alone first: it is read without the record where
    // no exchange marked the file, and before a read of the record settles.
    if (child(root, kPlaces[i], ref) != noErr ||
        FSGetCatalogInfo(&ref, kFinderFields, &alone, nullptr, nullptr, nullptr) != noErr ||
        FSGetCatalogInfo(&ref, kPlaceFields | kFSCatInfoPermissions | kFSCatInfoNodeID, &got,
                         nullptr, nullptr, nullptr) != noErr) {
      wrong |= 1 << i;
      continue;
    }
    const FSCatalogInfo want = placeInfo(i);
    const bool same = std::memcmp(alone.finderInfo, want.finderInfo, 16) == 0 &&
                      std::memcmp(alone.extFinderInfo, want.extFinderInfo, 16) == 0 &&
                      std::memcmp(got.finderInfo, want.finderInfo, 16) == 0 &&
                      std::memcmp(got.extFinderInfo, want.extFinderInfo, 16) == 0 &&
                      UInt32{got.createDate.lowSeconds} == want.createDate.lowSeconds &&
                      UInt32{got.backupDate.lowSeconds} == want.backupDate.lowSeconds &&
                      TextEncoding{got.textEncodingHint} == want.textEncodingHint &&
                      (got.permissions.mode & 07777) == kModes[i] &&
                      UInt32{got.nodeID} == ids[i];
    UInt32 fileID = 0;
    if (!same || createFileID(root, kPlaces[i], fileID) != fidExists || fileID != ids[i])
      wrong |= 1 << i;
  }
  return wrong;
}

// Each case runs in a child process started for it alone: the node IDs read
// there are those of a process that met no other file.  (A process that met
// an object since deleted may give a new file on its reused inode number an
// ID of its own; see "Node IDs through exchanges".)
class ExchangeKills : public ::testing::TestWithParam<std::string> {};
class ExchangeKillsInAChild : public OnEachFileSystem {
protected:
  void SetUp() override {
    if (!inChildProcess())
      GTEST_SKIP() << "runs inside the ExchangeKills case of the same name";
    OnEachFileSystem::SetUp();
  }

  /// The places as makePlaces leaves them, made afresh at the start and
  /// after a loss; else each round goes on from what the one before left.
  void havePlaces() {
    if (made_)
      return;
    for (const char *place : kPlaces)
      ::unlink((dir_ / place).c_str());
    ASSERT_EQ(inChild([&] { return makePlaces(dir_.path()); }), 0);
    for (int i = 0; i < 2; ++i) {
      struct stat st;
      ASSERT_EQ(::stat((dir_ / kPlaces[i]).c_str(), &st), 0);
      ids_[i] = static_cast<UInt32>(st.st_ino); // fresh files: the inode number
    }
    made_ = true;
  }

  /// Reads both places in a fresh process after the kill numbered `kill`.
  void check(int kill) {
    ++kills_;
    exchanged_ += readFile(dir_ / "a").size() == 101;
    if (const int wrong = inChild([&] { return checkPlaces(dir_.path(), ids_); })) {
      ++lost_;
      made_ = false;
      failures_ += " " + std::to_string(kill) + ":" + std::to_string(wrong);
    }
  }

  void expectNoneLost() {
    RecordProperty("kills", kills_);
    RecordProperty("lost", lost_);
    EXPECT_EQ(lost_, 0) << lost_ << " of " << kills_
                        << " kills left a place without its own metadata (kill:places"
                        << failures_ << ")";
  }

  UInt32 ids_[2] = {};
  bool made_ = false;
  int kills_ = 0, lost_ = 0, exchanged_ = 0;
  std::string failures_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, ExchangeKills, ::testing::ValuesIn(bases()));
INSTANTIATE_TEST_SUITE_P(FileSystems, ExchangeKillsInAChild, ::testing::ValuesIn(bases()));

/// Runs the case `name` of ExchangeKillsInAChild for this file system.
void inAChild(const std::string &name, const std::string &base) {
  const auto &all = bases();
  const size_t which = std::find(all.begin(), all.end(), base) - all.begin();
  runChildCases("FileSystems/ExchangeKillsInAChild." + name + "/" + std::to_string(which), false);
}

TEST_P(ExchangeKills, AtRandomMoments) { inAChild("AtRandomMoments", GetParam()); }
TEST_P(ExchangeKills, BeforeEachSystemCall) { inAChild("BeforeEachSystemCall", GetParam()); }
TEST_P(ExchangeKills, OthersSeeThePlacesAndTheOwnerSettlesThem) {
  inAChild("OthersSeeThePlacesAndTheOwnerSettlesThem", GetParam());
}

// A child exchanges the two files in a loop and is killed (SIGKILL) at a
// random moment.  The delays come from a fixed seed and spread over a few
// dozen exchanges, so that kills land at every step of one.
TEST_P(ExchangeKillsInAChild, AtRandomMoments) {
  constexpr int kKills = 120;
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
  for (int kill = 0; kill < kKills; ++kill) {
    ASSERT_NO_FATAL_FAILURE(havePlaces());
    FSRef a, b;
    ASSERT_TRUE(killAtMoment(
        [&] { return refFor(dir_ / "a", a) == noErr && refFor(dir_ / "b", b) == noErr; },
        [&] {
          if (FSExchangeObjects(&a, &b) != noErr)
            _exit(3);
        },
        delayMicroseconds(random)))
        << "the exchanging child stopped by itself";
    check(kill);
  }
  expectNoneLost();
  // The kills left the contents on both sides.
  EXPECT_GT(exchanged_, 0);
  EXPECT_LT(exchanged_, kKills);
}

/// Exchanges the places of `dir` once in a child that stops at each system
/// call, killed before the call that `killBefore` picks (runUnderTrace).
void exchangeUnderTrace(const std::string &dir, const std::function<bool(long, int)> &killBefore,
                        bool &finished, int &calls) {
  FSRef a, b;
  runUnderTrace([&] { return refFor(dir + "/a", a) == noErr && refFor(dir + "/b", b) == noErr; },
                [&] { return FSExchangeObjects(&a, &b) == noErr ? 0 : 2; }, killBefore, finished,
                calls);
}

// The same, deterministically: one exchange is killed before its first
// system call, then before its second, and so on to its end.
TEST_P(ExchangeKillsInAChild, BeforeEachSystemCall) {
  if (!mayTrace())
    GTEST_SKIP() << "ptrace is not permitted here";
  bool finished = false;
  int calls = 0;
  for (int n = 1; !finished; ++n) {
    ASSERT_NO_FATAL_FAILURE(havePlaces());
    ASSERT_NO_FATAL_FAILURE(exchangeUnderTrace(
        dir_.path(), [&](long, int call) { return call == n; }, finished, calls));
    check(n);
  }
  expectNoneLost();
  EXPECT_GT(calls, 10); // the exchange was walked through, not killed at once
}

/// Size of the metadata record of `path` on disk.
ssize_t recordSize(const std::string &path) {
  return ::getxattr(path.c_str(), "user.quillmate.meta", nullptr, 0);
}

// Killed right after the swap: another user already sees each place's
// metadata but cannot settle the exchange; the owner's next read does.
TEST_P(ExchangeKillsInAChild, OthersSeeThePlacesAndTheOwnerSettlesThem) {
  if (!mayTrace())
    GTEST_SKIP() << "ptrace is not permitted here";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_NO_FATAL_FAILURE(havePlaces());
  bool swapped = false, finished;
  int calls;
  ASSERT_NO_FATAL_FAILURE(exchangeUnderTrace(
      dir_.path(),
      [&](long call, int) { return std::exchange(swapped, swapped || call == SYS_renameat2); },
      finished, calls));
  ASSERT_FALSE(finished);
  ASSERT_EQ(readFile(dir_ / "a").size(), 101u); // b's contents, and b's mode and record
  ASSERT_EQ(recordSize(dir_ / "a"), 256);
  ASSERT_EQ(recordSize(dir_ / "b"), 256);
  // Netatalk's attribute, which came along with each inode, says so.
  for (const char *place : kPlaces) {
    char netatalk[512];
    ASSERT_EQ(::getxattr((dir_ / place).c_str(), "user.org.netatalk.Metadata", netatalk,
                         sizeof netatalk),
              402);
    EXPECT_EQ(std::string(netatalk + 8, 16), "Exchange pending");
  }

  EXPECT_EQ(asNobody([&] {
              FSRef root, ref;
              if (refFor(dir_.path(), root) != noErr)
                return 1;
              for (int i = 0; i < 2; ++i) {
                FSCatalogInfo got{}, alone{};
                const FSCatalogInfo want = placeInfo(i);
                if (child(root, kPlaces[i], ref) != noErr ||
                    FSGetCatalogInfo(&ref, kFinderFields, &alone, nullptr, nullptr, nullptr) ||
                    std::memcmp(alone.finderInfo, want.finderInfo, 16) ||
                    FSGetCatalogInfo(&ref, kPlaceFields, &got, nullptr, nullptr, nullptr) ||
                    std::memcmp(got.finderInfo, want.finderInfo, 16) ||
                    TextEncoding{got.textEncodingHint} != want.textEncodingHint)
                  return 2 + i;
              }
              return 0;
            }),
            0);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, kModes[1]); // nobody changed nothing
  EXPECT_EQ(recordSize(dir_ / "a"), 256);

  check(0);
  expectNoneLost();
  EXPECT_LT(recordSize(dir_ / "a"), 256);
  EXPECT_LT(recordSize(dir_ / "b"), 256);
  for (const char *place : kPlaces) {
    char netatalk[512];
    ASSERT_EQ(::getxattr((dir_ / place).c_str(), "user.org.netatalk.Metadata", netatalk,
                         sizeof netatalk),
              402);
    EXPECT_EQ(std::string(netatalk + 8, 16), std::string(16, '\0')); // the mark is gone
  }
}

} // namespace
