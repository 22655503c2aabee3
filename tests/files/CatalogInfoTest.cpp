// Catalog information and Finder flags: on real files under /tmp (ext4) and
// /dev/shm (tmpfs), as root and as nobody, on read-only mounts in a private
// mount namespace, and read back by a fresh process; volume locks Linux
// cannot show, the clock at chosen instants and failing calls through the
// File Manager's test decorators and the text layer's clock.
#include <FileUtilities.h>

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/text/TextTesting.h"
#include "tests/platform/filemanager/FileManagerTestSupport.h"

#include <sstream>
#include <tuple>

using namespace fmtest;
using quillmate::fm::testing::Call;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::callsTo;
using quillmate::fm::testing::FaultInjector;
using quillmate::fm::testing::FMCall;
using quillmate::fm::testing::InterceptingFileManager;
using quillmate::text::testing::ClockOverride;

namespace {

using Names = std::vector<std::string>;

/// The call recorder, keeping a copy of each call's first reference (the
/// caller's own may be gone when the test looks).
class Recorder : public CallRecorder {
public:
  std::vector<FSRef> refs;

protected:
  void after(const Call &call, OSErr result) override {
    CallRecorder::after(call, result);
    refs.push_back(call.ref ? *call.ref : FSRef{});
  }
};

/// Presents every volume with `flags` added to its volume flags.
class VolumeFlags : public InterceptingFileManager {
public:
  explicit VolumeFlags(UInt16 flags) : flags_(flags) {}
  OSErr getVolumeInfo(FSVolumeRefNum volume, ItemCount index, FSVolumeRefNum *actual,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo *info, HFSUniStr255 *name,
                      FSRef *root) override {
    OSErr result = InterceptingFileManager::getVolumeInfo(volume, index, actual, whichInfo,
                                                          info, name, root);
    if (result == noErr && info && (whichInfo & kFSVolInfoFlags))
      info->flags = static_cast<UInt16>(info->flags | flags_);
    return result;
  }

private:
  UInt16 flags_;
};

/// A date as seconds and fraction, comparable and printable.
std::tuple<UInt64, UInt16> when(const UTCDateTime &d) {
  return {UInt64{d.highSeconds} << 32 | d.lowSeconds, d.fraction};
}

UTCDateTime modDate(const FSRef &ref) {
  FSCatalogInfo info{};
  EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoContentMod, &info, nullptr, nullptr, nullptr),
            noErr);
  return info.contentModDate;
}

OSErr setModDate(const FSRef &ref, const UTCDateTime &date) {
  FSCatalogInfo info{};
  info.contentModDate = date;
  return FSSetCatalogInfo(&ref, kFSCatInfoContentMod, &info);
}

OSErr setLocked(const FSRef &ref, bool locked) {
  FSCatalogInfo info{};
  info.nodeFlags = locked ? kFSNodeLockedMask : 0;
  return FSSetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info);
}

FinderInfo finderInfo(const FSRef &ref) {
  FinderInfo info{};
  EXPECT_EQ(FSGetFinderInfo(&ref, &info, nullptr, nullptr), noErr);
  return info;
}

UInt16 finderFlags(const FSRef &ref) { return finderInfo(ref).file.finderFlags; }

bool same(const FSRef &a, const FSRef &b) { return FSCompareFSRefs(&a, &b) == noErr; }

/// Four-character codes, spelled out (multi-character literals warn).
constexpr OSType fourCC(const char (&c)[5]) {
  return OSType(UInt8(c[0])) << 24 | OSType(UInt8(c[1])) << 16 | OSType(UInt8(c[2])) << 8 |
         UInt8(c[3]);
}
constexpr OSType kAbcd = fourCC("ABCD");
constexpr OSType kBina = fourCC("BINA");
constexpr OSType kQmte = fourCC("QMte");
constexpr OSType kText = fourCC("TEXT");

constexpr UTCDateTime kSomeDay{0, 3'900'000'000u, 0x4000};

/// A folder and a file in it, on each file system.
class Catalog : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    ASSERT_EQ(createDir(root_, "folder", &folder_), noErr);
    ASSERT_EQ(createFile(folder_, "file", &file_), noErr);
  }
  std::string path(const char *name) const { return dir_ / name; }
  FSRef folder_, file_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, Catalog, ::testing::ValuesIn(bases()));

// --- Locks -----------------------------------------------------------------------

TEST_P(Catalog, TheObjectsLockComesBeforeItsVolumes) {
  EXPECT_EQ(FSCheckLock(&file_), noErr);
  EXPECT_EQ(FSCheckLock(&folder_), noErr);
  FSRef locked;
  ASSERT_EQ(createFile(folder_, "locked", &locked), noErr);
  ASSERT_EQ(setLocked(locked, true), noErr);
  ASSERT_EQ(setLocked(folder_, true), noErr);
  EXPECT_EQ(FSCheckLock(&locked), fLckdErr);
  EXPECT_EQ(FSCheckLock(&folder_), fLckdErr);
  ASSERT_EQ(setLocked(folder_, false), noErr);

  {
    Recorder calls;
    EXPECT_EQ(FSCheckLock(&file_), noErr);
    EXPECT_EQ(FSCheckLock(&locked), fLckdErr); // the volume is not asked
    ASSERT_EQ(calls.names(), (Names{"FSGetCatalogInfo", "FSGetVolumeInfo", "FSGetCatalogInfo"}));
    const auto &c = calls.calls();
    EXPECT_EQ(c[0].bitmap, UInt32(kFSCatInfoNodeFlags | kFSCatInfoVolume));
    EXPECT_EQ(c[1].bitmap, UInt32(kFSVolInfoFlags));
    EXPECT_EQ(c[1].count, 0u); // by reference number, not by index
    FSVolumeRefNum volume = 0;
    ASSERT_EQ(FSGetVRefNum(&file_, &volume), noErr);
    EXPECT_EQ(c[1].volume, volume);
  }
  // Locks Linux cannot show here: a volume locked by hardware, and both
  // locks at once, where hardware wins; a locked file still answers first.
  const struct {
    UInt16 flags;
    OSErr expected;
  } volumes[] = {{kFSVolFlagHardwareLockedMask, wPrErr},
                 {kFSVolFlagSoftwareLockedMask, vLckdErr},
                 {kFSVolFlagHardwareLockedMask | kFSVolFlagSoftwareLockedMask, wPrErr}};
  for (const auto &v : volumes) {
    VolumeFlags presented(v.flags);
    EXPECT_EQ(FSCheckLock(&file_), v.expected) << v.flags;
    EXPECT_EQ(FSCheckLock(&locked), fLckdErr) << v.flags;
  }
  FaultInjector faults;
  faults.failWhen(callsTo(FMCall::FSGetVolumeInfo), nsvErr);
  EXPECT_EQ(FSCheckLock(&file_), nsvErr);
}

// --- Fork sizes --------------------------------------------------------------------

TEST_P(Catalog, ForkSizesCountEveryForkOfAFileAndNoneOfAFolder) {
  writeFile(path("folder/file"), std::string(1000, 'd'));
  const std::u16string rsrc = u16("RESOURCE_FORK");
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&file_, rsrc.size(), units(rsrc), fsRdWrPerm, &fork), noErr);
  ByteCount written = 0;
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 300, std::string(300, 'r').data(), &written),
            noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&file_, kFSCatInfoDataSizes | kFSCatInfoRsrcSizes, &info, nullptr,
                             nullptr, nullptr),
            noErr);
  const UInt64 physical = info.dataPhysicalSize + info.rsrcPhysicalSize;

  UInt64 data = 0, resource = 0, logical = 0, physicalTotal = 0;
  ItemCount count = 0;
  ASSERT_EQ(FSGetForkSizes(&file_, &data, &resource), noErr);
  EXPECT_EQ(data, 1000u);
  EXPECT_EQ(resource, 300u);
  ASSERT_EQ(FSGetTotalForkSizes(&file_, &logical, &physicalTotal, &count), noErr);
  EXPECT_EQ(logical, 1300u);
  EXPECT_EQ(physicalTotal, physical);
  EXPECT_EQ(count, 2u);
  // An empty file still has its data fork.
  FSRef empty;
  ASSERT_EQ(createFile(folder_, "empty", &empty), noErr);
  ASSERT_EQ(FSGetTotalForkSizes(&empty, &logical, nullptr, &count), noErr);
  EXPECT_EQ(logical, 0u);
  EXPECT_EQ(count, 1u);

  // A folder: no sizes, and no forks to count (the first step already ends).
  data = resource = 77;
  EXPECT_EQ(FSGetForkSizes(&folder_, &data, &resource), notAFileErr);
  EXPECT_EQ(data, 77u);
  EXPECT_EQ(resource, 77u);
  logical = physicalTotal = count = 77;
  EXPECT_EQ(FSGetTotalForkSizes(&folder_, &logical, &physicalTotal, &count), noErr);
  EXPECT_EQ(logical + physicalTotal + count, 0u);

  // A fork that cannot be read: its status, and the forks counted before it.
  {
    FaultInjector faults;
    // The second fork, the resource fork: the steps of the iteration differ
    // only in their order.
    faults.failNth(FMCall::FSIterateForks, 2, ioErr);
    EXPECT_EQ(FSGetTotalForkSizes(&file_, &logical, &physicalTotal, &count), ioErr);
    EXPECT_EQ(logical, 1000u);
    EXPECT_EQ(physicalTotal, UInt64{info.dataPhysicalSize});
    EXPECT_EQ(count, 1u);
  }
  // Only the sizes that are wanted are asked for.
  Recorder calls;
  ASSERT_EQ(FSGetForkSizes(&file_, &data, nullptr), noErr);
  ASSERT_EQ(FSGetTotalForkSizes(&file_, nullptr, &physicalTotal, nullptr), noErr);
  const auto &c = calls.calls();
  ASSERT_EQ(c.size(), 4u); // a read, then two forks and the end
  EXPECT_EQ(c[0].bitmap, UInt32(kFSCatInfoNodeFlags | kFSCatInfoDataSizes));
  for (size_t i = 1; i < 4; ++i)
    EXPECT_EQ(c[i].nulls, 0b01100u) << i; // no fork name, no logical size
  EXPECT_EQ(c[3].result, errFSNoMoreItems);
}

// --- The content modification date ------------------------------------------------------

TEST_P(Catalog, BumpDateWritesTheClockAndTellsTheFolderThatChanged) {
  FSIterator iterator;
  ASSERT_EQ(FSOpenIterator(&folder_, kFSIterateFlat, &iterator), noErr);
  ItemCount got = 0;
  Boolean changed = true;
  FSRef item;
  ASSERT_EQ(FSGetCatalogInfoBulk(iterator, 1, &got, &changed, kFSCatInfoNone, nullptr, &item,
                                 nullptr, nullptr),
            noErr);
  EXPECT_FALSE(changed);
  {
    ClockOverride clock(kSomeDay);
    Recorder calls;
    ASSERT_EQ(FSBumpDate(&file_), noErr);
    ASSERT_EQ(calls.names(), (Names{"FSGetCatalogInfo", "FSSetCatalogInfo", "FNNotify"}));
    const auto &c = calls.calls();
    EXPECT_EQ(c[0].bitmap, UInt32(kFSCatInfoNodeFlags | kFSCatInfoContentMod));
    EXPECT_EQ(c[0].nulls, 0b01100u); // record and parent, no name or FSSpec
    EXPECT_EQ(c[1].bitmap, UInt32(kFSCatInfoContentMod));
    EXPECT_EQ(c[2].bitmap, UInt32(kFNDirectoryModifiedMessage));
    EXPECT_EQ(c[2].flags, 0u);
    EXPECT_TRUE(same(calls.refs[2], folder_)) << "a file's notice names its folder";
  }
  EXPECT_EQ(when(modDate(file_)), when(kSomeDay));
  // The notice reaches an iterator open on the folder.
  EXPECT_EQ(FSGetCatalogInfoBulk(iterator, 1, &got, &changed, kFSCatInfoNone, nullptr, &item,
                                 nullptr, nullptr),
            errFSNoMoreItems);
  EXPECT_TRUE(changed);
  ASSERT_EQ(FSCloseIterator(iterator), noErr);
  {
    Recorder calls;
    ASSERT_EQ(FSBumpDate(&folder_), noErr);
    ASSERT_EQ(calls.refs.size(), 3u);
    EXPECT_TRUE(same(calls.refs[2], folder_)) << "a folder's notice names itself";
  }
}

TEST_P(Catalog, BumpDateWithinTheStoredSecondMovesOnOneSecond) {
  const struct {
    UTCDateTime stored, bumped;
  } cases[] = {
      {{0, 3'800'000'000u, 0x1234}, {0, 3'800'000'001u, 0x1234}},
      {{0, 0xFFFFFFFFu, 0x8000}, {1, 0, 0x8000}}, // past 32 bits of seconds
  };
  for (const auto &c : cases) {
    ASSERT_EQ(setModDate(file_, c.stored), noErr);
    ASSERT_EQ(when(modDate(file_)), when(c.stored)) << "the file system keeps the date";
    ClockOverride clock(c.stored);
    ASSERT_EQ(FSBumpDate(&file_), noErr);
    EXPECT_EQ(when(modDate(file_)), when(c.bumped));
  }
}

TEST_P(Catalog, BumpDateReportsAFailedWriteAndThenTellsNoOne) {
  ASSERT_EQ(setLocked(folder_, true), noErr);
  const UTCDateTime before = modDate(folder_);
  {
    Recorder calls;
    EXPECT_EQ(FSBumpDate(&folder_), fLckdErr);
    EXPECT_EQ(calls.names(), (Names{"FSGetCatalogInfo", "FSSetCatalogInfo"}));
  }
  EXPECT_EQ(when(modDate(folder_)), when(before));
  {
    // Whether anyone heard is not the caller's concern.
    FaultInjector faults;
    faults.failWhen(callsTo(FMCall::FNNotify), paramErr);
    EXPECT_EQ(FSBumpDate(&file_), noErr);
  }
  ASSERT_EQ(::unlink(path("folder/file").c_str()), 0);
  EXPECT_EQ(FSBumpDate(&file_), fnfErr);
}

// --- Creator, type and Finder flags ---------------------------------------------------

TEST_P(Catalog, CreatorAndTypeChangeWhatIsGivenAndBumpTheParentsDate) {
  const Names kChange = {"FSGetCatalogInfo", "FSSetCatalogInfo", "FSGetCatalogInfo",
                         "FSSetCatalogInfo", "FNNotify"};
  {
    ClockOverride clock(kSomeDay);
    Recorder calls;
    ASSERT_EQ(FSChangeCreatorType(&file_, kQmte, kText), noErr);
    ASSERT_EQ(calls.names(), kChange);
    EXPECT_EQ(calls.calls()[0].bitmap, UInt32(kFSCatInfoNodeFlags | kFSCatInfoFinderInfo));
    EXPECT_EQ(calls.calls()[1].bitmap, UInt32(kFSCatInfoFinderInfo));
    EXPECT_TRUE(same(calls.refs[2], folder_)) << "the parent's date is bumped";
  }
  EXPECT_EQ(when(modDate(folder_)), when(kSomeDay));
  ASSERT_EQ(FSChangeCreatorType(&file_, 0, kBina), noErr);
  EXPECT_EQ(finderInfo(file_).file.fileCreator, kQmte);
  EXPECT_EQ(finderInfo(file_).file.fileType, kBina);
  {
    // Nothing to change is still a write, and still a bump.
    const UTCDateTime later{0, kSomeDay.lowSeconds + 60, 0};
    ClockOverride clock(later);
    Recorder calls;
    ASSERT_EQ(FSChangeCreatorType(&file_, 0, 0), noErr);
    EXPECT_EQ(calls.names(), kChange);
    EXPECT_EQ(when(modDate(folder_)), when(later));
    EXPECT_EQ(finderInfo(file_).file.fileCreator, kQmte);
    EXPECT_EQ(finderInfo(file_).file.fileType, kBina);
  }
  {
    Recorder calls;
    EXPECT_EQ(FSChangeCreatorType(&folder_, kQmte, kText), notAFileErr);
    EXPECT_EQ(calls.calls().size(), 1u) << "a folder is not written";
  }
  // A locked file refuses the change; a locked parent refuses only the bump.
  ASSERT_EQ(setLocked(file_, true), noErr);
  EXPECT_EQ(FSChangeCreatorType(&file_, kAbcd, 0), fLckdErr);
  EXPECT_EQ(FSSetInvisible(&file_), fLckdErr);
  ASSERT_EQ(setLocked(file_, false), noErr);
  ASSERT_EQ(setLocked(folder_, true), noErr);
  EXPECT_EQ(FSChangeCreatorType(&file_, kAbcd, 0), noErr);
  EXPECT_EQ(finderInfo(file_).file.fileCreator, kAbcd);
  EXPECT_EQ(FSSetNameLocked(&file_), noErr);
  EXPECT_EQ(finderFlags(file_), kNameLocked);
}

TEST_P(Catalog, FinderFlagWrappersChangeOnlyTheirBitOnFilesAndFolders) {
  // Everything else in the Finder information stays: a file's type and
  // creator, a folder's window bounds.
  FinderInfo start{};
  start.file.fileType = kText;
  start.file.fileCreator = kQmte;
  start.file.location = {3, 4};
  for (const FSRef *ref : {&file_, &folder_})
    ASSERT_EQ(FSSetFinderInfo(ref, &start, nullptr), noErr);
  const struct {
    OSErr (*change)(const FSRef *);
    UInt16 bit;
    bool set;
  } wrappers[] = {
      {FSSetInvisible, kIsInvisible, true},         {FSSetNameLocked, kNameLocked, true},
      {FSSetIsStationery, kIsStationery, true},     {FSSetHasCustomIcon, kHasCustomIcon, true},
      {FSClearInvisible, kIsInvisible, false},      {FSClearNameLocked, kNameLocked, false},
      {FSClearIsStationery, kIsStationery, false},  {FSClearHasCustomIcon, kHasCustomIcon, false},
      {FSClearHasBeenInited, kHasBeenInited, false},
  };
  for (const FSRef *ref : {&file_, &folder_}) {
    ASSERT_EQ(FSChangeFinderFlags(ref, true, kHasBeenInited | kIsAlias), noErr);
    UInt16 expected = kHasBeenInited | kIsAlias;
    for (const auto &w : wrappers) {
      ASSERT_EQ(w.change(ref), noErr);
      expected = w.set ? UInt16(expected | w.bit) : UInt16(expected & ~w.bit);
      FinderInfo now = finderInfo(*ref);
      EXPECT_EQ(now.file.finderFlags, expected) << w.bit;
      now.file.finderFlags = 0;
      EXPECT_EQ(std::memcmp(&now, &start, sizeof now), 0) << w.bit;
    }
    EXPECT_EQ(expected, kIsAlias);
  }
  // What is written is on disk, as a process of its own reads it.
  ASSERT_EQ(FSSetInvisible(&file_), noErr);
  ASSERT_EQ(FSSetHasCustomIcon(&folder_), noErr);
  std::ostringstream expected;
  expected << path("folder/file") << '=' << (kIsAlias | kIsInvisible) << ';' << path("folder")
           << '=' << (kIsAlias | kHasCustomIcon);
  runChildCases("InFreshProcess.FinderFlagsAreOnDisk", false,
                "QUILLMATE_FINDER_FLAGS='" + expected.str() + "'");
}

TEST(InFreshProcess, FinderFlagsAreOnDisk) {
  // path=flags;path=flags, as the case above wrote them.
  const char *given = std::getenv("QUILLMATE_FINDER_FLAGS");
  std::istringstream expected(given ? given : "");
  std::string entry;
  int checked = 0;
  while (std::getline(expected, entry, ';')) {
    size_t equals = entry.rfind('=');
    FSRef ref;
    ASSERT_EQ(refFor(entry.substr(0, equals), ref), noErr) << entry;
    EXPECT_EQ(finderFlags(ref), std::stoi(entry.substr(equals + 1))) << entry;
    ++checked;
  }
  if (!checked)
    GTEST_SKIP() << "runs inside Catalog.FinderFlagWrappersChangeOnlyTheirBitOnFilesAndFolders";
}

// --- Copying attributes, Finder information, privileges -------------------------------

TEST_P(Catalog, CopiedAttributesLeaveTheFinderToLookAgainAndTheLockAsAsked) {
  FSRef source, unlocked, locked;
  ASSERT_EQ(createFile(folder_, "source", &source), noErr);
  ASSERT_EQ(createFile(folder_, "unlocked", &unlocked), noErr);
  ASSERT_EQ(createFile(folder_, "locked", &locked), noErr);
  FinderInfo info{};
  info.file.fileType = kText;
  info.file.finderFlags = kHasBeenInited | kIsInvisible;
  ExtendedFinderInfo extended{};
  extended.file.putAwayFolderID = 1234;
  ASSERT_EQ(FSSetFinderInfo(&source, &info, &extended), noErr);
  ASSERT_EQ(setModDate(source, kSomeDay), noErr);
  ASSERT_EQ(::chmod(path("folder/source").c_str(), 0640), 0);
  ASSERT_EQ(setLocked(source, true), noErr);
  {
    Recorder calls;
    ASSERT_EQ(FSCopyFileMgrAttributes(&source, &unlocked, false), noErr);
    ASSERT_EQ(calls.names(), (Names{"FSGetCatalogInfo", "FSSetCatalogInfo"})); // no bump
    EXPECT_EQ(calls.calls()[0].bitmap, UInt32(kFSCatInfoSettableInfo));
    EXPECT_EQ(calls.calls()[1].bitmap, UInt32(kFSCatInfoSettableInfo));
  }
  ASSERT_EQ(FSCopyFileMgrAttributes(&source, &locked, true), noErr);
  EXPECT_EQ(FSCheckLock(&unlocked), noErr);
  EXPECT_EQ(FSCheckLock(&locked), fLckdErr);
  for (const FSRef *copy : {&unlocked, &locked}) {
    FinderInfo gotInfo;
    ExtendedFinderInfo gotExtended;
    ASSERT_EQ(FSGetFinderInfo(copy, &gotInfo, &gotExtended, nullptr), noErr);
    EXPECT_EQ(gotInfo.file.fileType, kText);
    EXPECT_EQ(gotInfo.file.finderFlags, kIsInvisible);
    EXPECT_EQ(SInt32{gotExtended.file.putAwayFolderID}, 1234);
    EXPECT_EQ(when(modDate(*copy)), when(kSomeDay));
  }
  struct stat st;
  ASSERT_EQ(::stat(path("folder/unlocked").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(finderFlags(source), kHasBeenInited | kIsInvisible) << "the source is untouched";
}

TEST_P(Catalog, FinderInformationWritesOnlyWhatIsGiven) {
  FinderInfo info{}, otherInfo{};
  info.file.fileType = kText;
  otherInfo.file.fileType = kBina;
  ExtendedFinderInfo extended{}, otherExtended{};
  extended.file.extendedFinderFlags = 0x0100;
  otherExtended.file.extendedFinderFlags = 0x0200;
  ASSERT_EQ(FSSetFinderInfo(&file_, &info, &extended), noErr);
  ASSERT_EQ(FSSetFinderInfo(&file_, &otherInfo, nullptr), noErr);
  FinderInfo gotInfo;
  ExtendedFinderInfo gotExtended;
  Boolean isDirectory = true;
  ASSERT_EQ(FSGetFinderInfo(&file_, &gotInfo, &gotExtended, &isDirectory), noErr);
  EXPECT_EQ(gotInfo.file.fileType, kBina);
  EXPECT_EQ(gotExtended.file.extendedFinderFlags, 0x0100);
  EXPECT_FALSE(isDirectory);
  ASSERT_EQ(FSSetFinderInfo(&file_, nullptr, &otherExtended), noErr);
  ASSERT_EQ(FSGetFinderInfo(&file_, &gotInfo, &gotExtended, nullptr), noErr);
  EXPECT_EQ(gotInfo.file.fileType, kBina);
  EXPECT_EQ(gotExtended.file.extendedFinderFlags, 0x0200);
  ASSERT_EQ(FSGetFinderInfo(&folder_, nullptr, nullptr, &isDirectory), noErr);
  EXPECT_TRUE(isDirectory);

  {
    Recorder calls;
    ASSERT_EQ(FSGetFinderInfo(&file_, &gotInfo, nullptr, nullptr), noErr);
    ASSERT_EQ(FSGetFinderInfo(&file_, nullptr, &gotExtended, nullptr), noErr);
    ASSERT_EQ(FSGetFinderInfo(&file_, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(FSSetFinderInfo(&file_, nullptr, nullptr), noErr);
    const auto &c = calls.calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].bitmap, UInt32(kFSCatInfoFinderInfo));
    EXPECT_EQ(c[1].bitmap, UInt32(kFSCatInfoFinderXInfo));
    EXPECT_EQ(c[2].bitmap, 0u);
    EXPECT_EQ(c[3].call, FMCall::FSSetCatalogInfo);
    EXPECT_EQ(c[3].bitmap, 0u);
  }
  // A reference to nothing: the write's status, and no output written.
  ASSERT_EQ(::unlink(path("folder/file").c_str()), 0);
  EXPECT_EQ(FSSetFinderInfo(&file_, nullptr, nullptr), fnfErr);
  std::memset(&gotInfo, 0xAB, sizeof gotInfo);
  isDirectory = 7;
  EXPECT_EQ(FSGetFinderInfo(&file_, &gotInfo, nullptr, &isDirectory), fnfErr);
  EXPECT_EQ(gotInfo.file.fileType, 0xABABABABu);
  EXPECT_EQ(isDirectory, 7);
}

TEST_P(Catalog, PrivilegesAndPermissionsAreTheCallersAndTheObjects) {
  ASSERT_EQ(::chmod(path("folder/file").c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path("folder").c_str(), 0755), 0);
  {
    Recorder calls;
    UInt8 privileges = 0xFF;
    FSPermissionInfo permissions{};
    ASSERT_EQ(FSGetUserPrivilegesPermissions(&file_, &privileges, nullptr), noErr);
    ASSERT_EQ(FSGetUserPrivilegesPermissions(&file_, nullptr, &permissions), noErr);
    ASSERT_EQ(FSGetUserPrivilegesPermissions(&file_, nullptr, nullptr), noErr);
    const auto &c = calls.calls();
    EXPECT_EQ(c[0].bitmap, UInt32(kFSCatInfoUserPrivs));
    EXPECT_EQ(c[1].bitmap, UInt32(kFSCatInfoPermissions));
    EXPECT_EQ(c[2].bitmap, 0u);
    EXPECT_EQ(privileges, 0) << "root owns the file";
    EXPECT_EQ(permissions.mode, S_IFREG | 0644);
  }
  // As nobody: not the owner, and no write.
  const FSRef file = file_;
  int failed = asNobody([&file] {
    UInt8 privileges = 0;
    FSPermissionInfo permissions{};
    if (FSGetUserPrivilegesPermissions(&file, &privileges, &permissions) != noErr)
      return 1;
    if (privileges != (kioACUserNotOwnerMask | kioACUserNoMakeChangesMask))
      return 2;
    if (permissions.userID != 0 || (permissions.mode & 07777) != 0644)
      return 3;
    // A change the caller may not make is reported, and nothing changes.
    if (FSSetInvisible(&file) != afpAccessDenied || finderFlags(file) != 0)
      return 4;
    return 0;
  });
  EXPECT_EQ(failed, 0);
}

TEST_P(Catalog, ACopiedLockReachesAFileNobodyOwns) {
  FSRef source, destination;
  ASSERT_EQ(createFile(folder_, "source", &source), noErr);
  ASSERT_EQ(createFile(folder_, "destination", &destination), noErr);
  FinderInfo info{};
  info.file.fileType = kText;
  info.file.finderFlags = kHasBeenInited | kIsStationery;
  ASSERT_EQ(FSSetFinderInfo(&source, &info, nullptr), noErr);
  ASSERT_EQ(setLocked(source, true), noErr);
  for (const char *name : {"folder/source", "folder/destination"})
    ASSERT_EQ(::chown(path(name).c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  int failed = asNobody([&source, &destination] {
    if (OSErr err = FSCopyFileMgrAttributes(&source, &destination, true))
      return err == afpAccessDenied ? 1 : 2;
    if (FSCheckLock(&destination) != fLckdErr)
      return 3;
    FinderInfo copied = finderInfo(destination);
    return copied.file.fileType == kText && copied.file.finderFlags == kIsStationery
               ? 0
               : 4;
  });
  EXPECT_EQ(failed, 0) << "1: refused with afpAccessDenied";
}

// --- Folder access rights -----------------------------------------------------------------

TEST_P(Catalog, FolderAccessRightsAreTheFoldersOwnerGroupAndMode) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path("folder").c_str(), 0750), 0);
  FSRef mine;
  ASSERT_EQ(createDir(root_, "nobodys", &mine), noErr);
  ASSERT_EQ(::chown(path("nobodys").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(path("nobodys").c_str(), 0700), 0);

  SInt32 owner = -1, group = -1, access = 0;
  ASSERT_EQ(FSGetDirAccess(&folder_, &owner, &group, &access), noErr);
  EXPECT_EQ(owner, 0);
  EXPECT_EQ(group, 0);
  // Owner rwx, group r-x, everyone nothing; root may do all.
  EXPECT_EQ(UInt32(access), 0x87000307u);
  EXPECT_EQ(FSGetDirAccess(&file_, &owner, nullptr, nullptr), afpObjectTypeErr);
  // A volume's root is named through the root's parent ID and its name.
  FSVolumeRefNum volume = 0;
  FSRef volumeRoot;
  ASSERT_EQ(FSGetVRefNum(&root_, &volume), noErr);
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoNone, nullptr, nullptr, &volumeRoot),
            noErr);
  owner = -1;
  ASSERT_EQ(FSGetDirAccess(&volumeRoot, &owner, nullptr, &access), noErr);
  struct stat st;
  ASSERT_EQ(::stat(pathOf(volumeRoot).c_str(), &st), 0);
  EXPECT_EQ(UInt32(owner), st.st_uid);
  // rwx of the mode as search (bit 0), read (1), write (2) of each triple.
  auto rights = [&st](int shift) {
    UInt32 rwx = (st.st_mode >> shift) & 7;
    return (rwx & 1) | (rwx & 4) >> 1 | (rwx & 2) << 1;
  };
  EXPECT_EQ(UInt32(access) & 0x070707u, rights(6) | rights(3) << 8 | rights(0) << 16);
  {
    // Only blank access and the search, read and write bits are passed on,
    // for the folder the FSSpec names.
    Recorder calls;
    ASSERT_EQ(FSSetDirAccess(&folder_, 0, 0, SInt32(0xFFFFFFFF)), noErr);
    ASSERT_EQ(calls.names(), (Names{"FSGetCatalogInfo", "PBHSetDirAccessSync"}));
    EXPECT_EQ(calls.calls()[0].bitmap, 0u);
    EXPECT_EQ(calls.calls()[1].flags, 0x10070707u);
    FSSpec spec;
    ASSERT_EQ(FSRefMakeFSSpec(&folder_, &spec), noErr);
    EXPECT_EQ(calls.calls()[1].volume, SInt16{spec.vRefNum});
    EXPECT_EQ(calls.calls()[1].dirID, SInt32{spec.parID});
    EXPECT_EQ(calls.calls()[1].count, 6u); // "folder"
  }
  EXPECT_EQ(shell("stat -c %a '" + path("folder") + "'"), "777");

  const FSRef folder = folder_;
  int failed = asNobody([&folder, &mine] {
    SInt32 owner = -1, group = -1, access = 0;
    if (FSGetDirAccess(&folder, &owner, &group, &access) != noErr || owner != 0)
      return 1;
    if (UInt32(access) != 0x07070707u) // everyone's rights are nobody's too
      return 2;
    if (FSSetDirAccess(&folder, 0, 0, 0) != afpAccessDenied)
      return 3;
    // Owner rwx, group search only: the owner's own rights are all there.
    if (FSSetDirAccess(&mine, kNobody, kNobody, 0x00000107) != noErr)
      return 4;
    if (FSGetDirAccess(&mine, &owner, nullptr, &access) != noErr || UInt32(owner) != kNobody)
      return 5;
    return UInt32(access) == 0x87000107u ? 0 : 6;
  });
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(shell("stat -c %a '" + path("nobodys") + "'"), "710");
}

// --- On read-only mounts -------------------------------------------------------------------

TEST(CatalogOnReadOnlyMounts, InAPrivateNamespace) {
  runChildCases("InNamespaceReadOnly.*", true);
}

class InNamespaceReadOnly : public MountNamespaceCase {};

TEST_F(InNamespaceReadOnly, AReadOnlyMountIsLockedBySoftware) {
  // A tmpfs remounted read-only, and a read-only bind mount of a folder on
  // the ext4 volume, each with a plain file and a locked one.
  const std::string tmpfs = point("tmpfs"), bound = point("bound"), source = dir_ / "source";
  ASSERT_EQ(::mount("qmtest", tmpfs.c_str(), "tmpfs", 0, "size=1m"), 0);
  ASSERT_EQ(::mkdir(source.c_str(), 0755), 0);
  for (const std::string &where : {tmpfs, source}) {
    FSRef folder, locked;
    ASSERT_EQ(refFor(where, folder), noErr);
    ASSERT_EQ(createFile(folder, "plain"), noErr);
    ASSERT_EQ(createFile(folder, "locked", &locked), noErr);
    ASSERT_EQ(setLocked(locked, true), noErr);
  }
  ASSERT_EQ(::mount(nullptr, tmpfs.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  ASSERT_EQ(::mount(source.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(::mount(nullptr, bound.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
            0);

  for (const std::string &where : {tmpfs, bound}) {
    FSRef folder, plain, locked;
    ASSERT_EQ(refFor(where, folder), noErr);
    ASSERT_EQ(refFor(where + "/plain", plain), noErr);
    ASSERT_EQ(refFor(where + "/locked", locked), noErr);
    EXPECT_EQ(FSCheckLock(&folder), vLckdErr) << where;
    EXPECT_EQ(FSCheckLock(&plain), vLckdErr) << where;
    EXPECT_EQ(FSCheckLock(&locked), fLckdErr) << where;
    // Changes the volume refuses are reported, not lost.
    EXPECT_EQ(FSSetInvisible(&plain), wPrErr) << where;
    EXPECT_EQ(FSBumpDate(&plain), wPrErr) << where;
    EXPECT_EQ(finderFlags(plain), 0) << where;
  }
}

} // namespace
