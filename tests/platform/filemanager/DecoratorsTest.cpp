// The test decorators: fault injection and call recording in front of the
// real File Manager, the table of calls they are made from, and the matchers
// that pick a call by what it was given.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/testing/FileManagerTesting.h"

#include <set>

using namespace fmtest;
using quillmate::fm::testing::Call;
using quillmate::fm::testing::CallMatcher;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::callName;
using quillmate::fm::testing::callsTo;
using quillmate::fm::testing::FaultInjector;
using quillmate::fm::testing::FMCall;
using quillmate::fm::testing::kFMCallCount;

namespace {

/// Any call at all.
bool anyCall(const Call &) { return true; }

/// A fresh folder and its reference.
class Decorators : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(refFor(dir_.path(), root_), noErr); }
  TempDir dir_;
  FSRef root_;
};
class CallMatchers : public Decorators {};
class Capabilities : public Decorators {};

TEST_F(Decorators, TheNthCallFailsWithoutTouchingTheDisk) {
  {
    FaultInjector faults;
    faults.failNth(FMCall::FSCreateFileUnicode, 2, dskFulErr);
    EXPECT_EQ(createFile(root_, "one"), noErr);
    EXPECT_EQ(createFile(root_, "two"), dskFulErr);
    EXPECT_EQ(createFile(root_, "three"), noErr);
    EXPECT_EQ(faults.seen(FMCall::FSCreateFileUnicode), 3u);
    EXPECT_FALSE(exists(dir_ / "two"));
  }
  // Gone with its scope.
  EXPECT_EQ(createFile(root_, "two"), noErr);
}

TEST_F(Decorators, CountingRulesSeeTheCallsThatAnEarlierRuleFails) {
  FaultInjector faults;
  faults.failNth(FMCall::FSCreateFileUnicode, 1, dskFulErr);
  faults.failNth(FMCall::FSCreateFileUnicode, 2, ioErr);
  // Counted among the calls the matcher picks: the second "b", though an
  // earlier rule fails the first.
  faults.failNth(callsTo(FMCall::FSCreateFileUnicode).named(u"b"), 2, wPrErr);
  EXPECT_EQ(createFile(root_, "a"), dskFulErr);
  EXPECT_EQ(createFile(root_, "b"), ioErr);
  EXPECT_EQ(createFile(root_, "b"), wPrErr);
  EXPECT_EQ(createFile(root_, "b"), noErr);
  EXPECT_EQ(faults.seen(FMCall::FSCreateFileUnicode), 4u);
  EXPECT_EQ(faults.seen(FMCall::FSDeleteObject), 0u);
}

TEST_F(Decorators, APredicateChoosesCallsByTheirArguments) {
  FaultInjector faults;
  faults.failWhen(
      [](const Call &c) {
        return c.call == FMCall::FSGetCatalogInfo && (c.bitmap & kFSCatInfoFinderInfo);
      },
      ioErr);
  FSCatalogInfo info;
  EXPECT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr),
            ioErr);
}

// --- What the recorder keeps --------------------------------------------------------------

/// A file made, read and refused deletion, recorded.
class Recorded : public Decorators {
protected:
  void SetUp() override {
    Decorators::SetUp();
    FaultInjector faults;
    faults.failNth(FMCall::FSDeleteObject, 1, fBsyErr);
    CallRecorder recorder;
    FSCatalogInfo info;
    FSRef file;
    ASSERT_EQ(createFile(root_, "f", &file), noErr);
    FSGetCatalogInfo(&file, kFSCatInfoNodeFlags | kFSCatInfoVolume, &info, nullptr, nullptr,
                     nullptr);
    EXPECT_EQ(FSDeleteObject(&file), fBsyErr);
    calls_ = recorder.calls();
    names_ = recorder.names();
  }
  std::vector<Call> calls_;
  std::vector<std::string> names_;
};

TEST_F(Recorded, TheCallsInTheirOrderByTheirPlatformNames) {
  EXPECT_EQ(names_, (std::vector<std::string>{"FSCreateFileUnicode", "FSGetCatalogInfo",
                                              "FSDeleteObject"}));
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_EQ(calls_[0].call, FMCall::FSCreateFileUnicode);
  EXPECT_STREQ(calls_[2].callName(), "FSDeleteObject");
}

TEST_F(Recorded, TheBitmapAndWhichPointersWereNull) {
  ASSERT_EQ(calls_.size(), 3u);
  const Call &get = calls_[1];
  EXPECT_EQ(get.bitmap, 0x6u);
  EXPECT_FALSE(get.isNull(0)); // the reference
  EXPECT_FALSE(get.isNull(1)); // the record
  EXPECT_TRUE(get.isNull(2));  // the name
  EXPECT_TRUE(get.isNull(3));  // the FSSpec
  EXPECT_TRUE(get.isNull(4));  // the parent
}

TEST_F(Recorded, TheNameAndItsLength) {
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_EQ(calls_[0].count, 1u);
  EXPECT_EQ(calls_[0].unicodeName, u"f");
}

TEST_F(Recorded, AnInjectedFailureAsTheResultAndTheDiskUntouched) {
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_EQ(calls_[0].result, noErr);
  EXPECT_EQ(calls_[2].result, fBsyErr);
  EXPECT_TRUE(exists(dir_ / "f"));
}

TEST_F(Decorators, NamesAreRecordedOnlyAsFarAsTheCallMayReadThem) {
  FaultInjector faults;
  faults.failWhen(anyCall, ioErr); // nothing reaches the disk
  CallRecorder calls;
  const UniChar name[] = {'x', 'y'};
  FSRef parent{}, made;
  FSMakeFSRefUnicode(&parent, 2, name, kTextEncodingUnknown, &made);
  // Longer than any name: the call refuses it unread, and so is it recorded.
  FSRenameUnicode(&parent, 1000, name, kTextEncodingUnknown, &made);
  FSCreateFileUnicode(&parent, 3, nullptr, 0, nullptr, nullptr, nullptr);
  PascalName volumeName("Disk");
  HSetVol(volumeName.bytes, -1, 2);
  ASSERT_EQ(calls.calls().size(), 4u);
  EXPECT_EQ(calls.calls()[0].unicodeName, u"xy");
  EXPECT_EQ(calls.calls()[1].count, 1000u);
  EXPECT_EQ(calls.calls()[1].unicodeName, u"");
  EXPECT_EQ(calls.calls()[2].unicodeName, u"");
  EXPECT_EQ(calls.calls()[3].oneByteName, "Disk");
  EXPECT_EQ(calls.calls()[3].count, 4u);
}

// --- Every call, from its free function to its record -------------------------------------

struct EveryCall {
  const char *name;
  FMCall call;
  OSStatus (*make)();
};

// Each free function with null and zero arguments: the fault injector
// answers every one, so none reaches the disk.
const EveryCall kEveryCall[] = {
    {"FSGetCatalogInfo", FMCall::FSGetCatalogInfo,
     [] { return OSStatus(FSGetCatalogInfo(nullptr, 0, nullptr, nullptr, nullptr, nullptr)); }},
    {"FSSetCatalogInfo", FMCall::FSSetCatalogInfo,
     [] { return OSStatus(FSSetCatalogInfo(nullptr, 0, nullptr)); }},
    {"FSMakeFSRefUnicode", FMCall::FSMakeFSRefUnicode,
     [] { return OSStatus(FSMakeFSRefUnicode(nullptr, 0, nullptr, 0, nullptr)); }},
    {"PBMakeFSRefUnicodeSync", FMCall::PBMakeFSRefUnicodeSync,
     [] { return OSStatus(PBMakeFSRefUnicodeSync(nullptr)); }},
    {"PBMakeFSRefSync", FMCall::PBMakeFSRefSync, [] { return OSStatus(PBMakeFSRefSync(nullptr)); }},
    {"FSPathMakeRef", FMCall::FSPathMakeRef,
     [] { return FSPathMakeRef(nullptr, nullptr, nullptr); }},
    {"FSRefMakePath", FMCall::FSRefMakePath, [] { return FSRefMakePath(nullptr, nullptr, 0); }},
    {"FSCompareFSRefs", FMCall::FSCompareFSRefs,
     [] { return OSStatus(FSCompareFSRefs(nullptr, nullptr)); }},
    {"FSCreateFileUnicode", FMCall::FSCreateFileUnicode,
     [] {
       return OSStatus(FSCreateFileUnicode(nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr));
     }},
    {"FSCreateDirectoryUnicode", FMCall::FSCreateDirectoryUnicode,
     [] {
       return OSStatus(
           FSCreateDirectoryUnicode(nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr));
     }},
    {"FSDeleteObject", FMCall::FSDeleteObject, [] { return OSStatus(FSDeleteObject(nullptr)); }},
    {"FSMoveObject", FMCall::FSMoveObject,
     [] { return OSStatus(FSMoveObject(nullptr, nullptr, nullptr)); }},
    {"FSExchangeObjects", FMCall::FSExchangeObjects,
     [] { return OSStatus(FSExchangeObjects(nullptr, nullptr)); }},
    {"FSRenameUnicode", FMCall::FSRenameUnicode,
     [] { return OSStatus(FSRenameUnicode(nullptr, 0, nullptr, 0, nullptr)); }},
    {"FSOpenIterator", FMCall::FSOpenIterator,
     [] { return OSStatus(FSOpenIterator(nullptr, 0, nullptr)); }},
    {"FSCloseIterator", FMCall::FSCloseIterator, [] { return OSStatus(FSCloseIterator(nullptr)); }},
    {"FSGetCatalogInfoBulk", FMCall::FSGetCatalogInfoBulk,
     [] {
       return OSStatus(FSGetCatalogInfoBulk(nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr,
                                            nullptr, nullptr));
     }},
    {"FSOpenFork", FMCall::FSOpenFork,
     [] { return OSStatus(FSOpenFork(nullptr, 0, nullptr, 0, nullptr)); }},
    {"FSCloseFork", FMCall::FSCloseFork, [] { return OSStatus(FSCloseFork(0)); }},
    {"FSReadFork", FMCall::FSReadFork,
     [] { return OSStatus(FSReadFork(0, 0, 0, 0, nullptr, nullptr)); }},
    {"FSWriteFork", FMCall::FSWriteFork,
     [] { return OSStatus(FSWriteFork(0, 0, 0, 0, nullptr, nullptr)); }},
    {"FSGetForkSize", FMCall::FSGetForkSize, [] { return OSStatus(FSGetForkSize(0, nullptr)); }},
    {"FSSetForkSize", FMCall::FSSetForkSize, [] { return OSStatus(FSSetForkSize(0, 0, 0)); }},
    {"FSGetForkPosition", FMCall::FSGetForkPosition,
     [] { return OSStatus(FSGetForkPosition(0, nullptr)); }},
    {"FSSetForkPosition", FMCall::FSSetForkPosition,
     [] { return OSStatus(FSSetForkPosition(0, 0, 0)); }},
    {"FSGetForkCBInfo", FMCall::FSGetForkCBInfo,
     [] {
       return OSStatus(FSGetForkCBInfo(0, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
     }},
    {"FSIterateForks", FMCall::FSIterateForks,
     [] { return OSStatus(FSIterateForks(nullptr, nullptr, nullptr, nullptr, nullptr)); }},
    {"PBLockRangeSync", FMCall::PBLockRangeSync, [] { return OSStatus(PBLockRangeSync(nullptr)); }},
    {"PBUnlockRangeSync", FMCall::PBUnlockRangeSync,
     [] { return OSStatus(PBUnlockRangeSync(nullptr)); }},
    {"FSGetVolumeInfo", FMCall::FSGetVolumeInfo,
     [] { return OSStatus(FSGetVolumeInfo(0, 0, nullptr, 0, nullptr, nullptr, nullptr)); }},
    {"PBHGetVolParmsSync", FMCall::PBHGetVolParmsSync,
     [] { return OSStatus(PBHGetVolParmsSync(nullptr)); }},
    {"PBGetVolMountInfoSize", FMCall::PBGetVolMountInfoSize,
     [] { return OSStatus(PBGetVolMountInfoSize(nullptr)); }},
    {"PBGetVolMountInfo", FMCall::PBGetVolMountInfo,
     [] { return OSStatus(PBGetVolMountInfo(nullptr)); }},
    {"PBVolumeMount", FMCall::PBVolumeMount, [] { return OSStatus(PBVolumeMount(nullptr)); }},
    {"HGetVol", FMCall::HGetVol, [] { return OSStatus(HGetVol(nullptr, nullptr, nullptr)); }},
    {"HSetVol", FMCall::HSetVol, [] { return OSStatus(HSetVol(nullptr, 0, 0)); }},
    {"PBCreateFileIDRefSync", FMCall::PBCreateFileIDRefSync,
     [] { return OSStatus(PBCreateFileIDRefSync(nullptr)); }},
    {"PBResolveFileIDRefSync", FMCall::PBResolveFileIDRefSync,
     [] { return OSStatus(PBResolveFileIDRefSync(nullptr)); }},
    {"PBHMapIDSync", FMCall::PBHMapIDSync, [] { return OSStatus(PBHMapIDSync(nullptr)); }},
    {"PBHMapNameSync", FMCall::PBHMapNameSync, [] { return OSStatus(PBHMapNameSync(nullptr)); }},
    {"PBHGetDirAccessSync", FMCall::PBHGetDirAccessSync,
     [] { return OSStatus(PBHGetDirAccessSync(nullptr)); }},
    {"PBHSetDirAccessSync", FMCall::PBHSetDirAccessSync,
     [] { return OSStatus(PBHSetDirAccessSync(nullptr)); }},
    {"PBHCopyFileSync", FMCall::PBHCopyFileSync, [] { return OSStatus(PBHCopyFileSync(nullptr)); }},
    {"PBHMoveRenameSync", FMCall::PBHMoveRenameSync,
     [] { return OSStatus(PBHMoveRenameSync(nullptr)); }},
    {"FNNotify", FMCall::FNNotify, [] { return FNNotify(nullptr, 0, 0); }},
};

// A row of the table that forwarded to another call's method, or a
// decorator that dropped an injected status (as FSPathMakeRef and FNNotify
// once did, answering noErr instead), shows here.
TEST_F(Decorators, EveryCallReachesItsOwnMethodAndAnswersTheInjectedStatus) {
  ASSERT_EQ(std::size(kEveryCall), kFMCallCount);
  std::set<FMCall> covered;
  for (const EveryCall &row : kEveryCall) {
    SCOPED_TRACE(row.name);
    covered.insert(row.call);
    FaultInjector faults;
    faults.failWhen(anyCall, afpAccessDenied);
    CallRecorder calls;
    EXPECT_EQ(row.make(), afpAccessDenied);
    ASSERT_EQ(calls.calls().size(), 1u);
    const Call &made = calls.calls()[0];
    EXPECT_EQ(made.call, row.call);
    EXPECT_STREQ(callName(row.call), row.name);
    EXPECT_EQ(made.result, afpAccessDenied);
    EXPECT_EQ(faults.seen(row.call), 1u);
    // A null parameter block is recorded as its first pointer, null.
    if (std::string(row.name).starts_with("PB")) {
      EXPECT_EQ(made.nulls, 1u);
    }
  }
  EXPECT_EQ(covered.size(), kFMCallCount);
}

// --- Matchers -----------------------------------------------------------------------------

/// A rename of the object `ref` names, as the decorators record one.
Call renameCall(const FSRef *ref, const char16_t *name) {
  return Call{.call = FMCall::FSRenameUnicode, .ref = ref, .unicodeName = name};
}

FSRef refWith(UInt8 tag) {
  FSRef ref{};
  ref.hidden[20] = tag;
  return ref;
}

TEST_F(CallMatchers, EachConditionNarrowsTheCallsPicked) {
  const FSRef one = refWith(1), two = refWith(2);
  const Call rename = renameCall(&one, u"new");
  EXPECT_TRUE(callsTo(FMCall::FSRenameUnicode).matches(rename));
  EXPECT_FALSE(callsTo(FMCall::FSMoveObject).matches(rename)) << "another call";
  EXPECT_TRUE(callsTo(FMCall::FSRenameUnicode).named(u"new").matches(rename));
  EXPECT_FALSE(callsTo(FMCall::FSRenameUnicode).named(u"New").matches(rename)) << "exact names";
  EXPECT_TRUE(callsTo(FMCall::FSRenameUnicode).onObject(one).matches(rename));
  EXPECT_FALSE(callsTo(FMCall::FSRenameUnicode).onObject(two).matches(rename));
  EXPECT_FALSE(callsTo(FMCall::FSRenameUnicode).onObject(one).matches(renameCall(nullptr, u"new")))
      << "no reference given";
  EXPECT_FALSE(callsTo(FMCall::FSRenameUnicode).onObject(one).named(u"old").matches(rename))
      << "every condition must hold";

  const Call move{.call = FMCall::FSMoveObject, .ref = &one, .ref2 = &two};
  EXPECT_TRUE(callsTo(FMCall::FSMoveObject).onObject(one).into(two).matches(move));
  EXPECT_FALSE(callsTo(FMCall::FSMoveObject).into(one).matches(move));

  const Call read{.call = FMCall::FSReadFork, .fork = 7};
  EXPECT_TRUE(callsTo(FMCall::FSReadFork).onFork(7).matches(read));
  EXPECT_FALSE(callsTo(FMCall::FSReadFork).onFork(8).matches(read));

  const Call copy{.call = FMCall::PBHCopyFileSync, .oneByteName = "doc"};
  EXPECT_TRUE(callsTo(FMCall::PBHCopyFileSync).namedOneByte("doc").matches(copy));
  EXPECT_FALSE(callsTo(FMCall::PBHCopyFileSync).namedOneByte("do").matches(copy));

  const auto large = [](const Call &c) { return c.count > 100; };
  EXPECT_FALSE(callsTo(FMCall::FSReadFork).where(large).matches(read));
  EXPECT_TRUE(callsTo(FMCall::FSReadFork).where(large).matches(
      Call{.call = FMCall::FSReadFork, .count = 4096}));
}

TEST_F(CallMatchers, PickTheStepOfAnOperationByItsObjectNameAndDestination) {
  FSRef from, to, file, other;
  ASSERT_EQ(createDir(root_, "from", &from), noErr);
  ASSERT_EQ(createDir(root_, "to", &to), noErr);
  ASSERT_EQ(createFile(from, "file", &file), noErr);
  ASSERT_EQ(createFile(from, "other", &other), noErr);
  FaultInjector faults;
  faults.failWhen(callsTo(FMCall::FSRenameUnicode).onObject(file).named(u"taken"), dupFNErr);
  faults.failWhen(callsTo(FMCall::FSMoveObject).onObject(file).into(to), afpAccessDenied);
  const std::u16string taken = u16("taken"), fine = u16("fine");
  FSRef renamed;
  EXPECT_EQ(FSRenameUnicode(&other, taken.size(), units(taken), kTextEncodingUnknown, &renamed),
            noErr)
      << "another object";
  EXPECT_EQ(FSRenameUnicode(&file, taken.size(), units(taken), kTextEncodingUnknown, &renamed),
            dupFNErr);
  ASSERT_EQ(FSRenameUnicode(&file, fine.size(), units(fine), kTextEncodingUnknown, &renamed),
            noErr)
      << "another name";
  EXPECT_EQ(FSMoveObject(&file, &to, &renamed), afpAccessDenied)
      << "the reference follows the object through its rename";
  EXPECT_EQ(FSMoveObject(&file, &root_, &renamed), noErr) << "another folder";
  EXPECT_TRUE(exists(dir_ / "fine"));
  EXPECT_TRUE(exists(dir_ / "from/taken"));
}

// --- Capabilities -------------------------------------------------------------------------

TEST_F(Capabilities, ACallThatNeedsOneIsRefusedOnlyWhereItIsMissing) {
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(folderIDs(root_, volume, dirID), noErr);
  ASSERT_EQ(createFile(root_, "f"), noErr);
  PascalName name("f");
  auto createID = [&] {
    HParamBlockRec pb{};
    pb.fidParam.ioVRefNum = volume;
    pb.fidParam.ioSrcDirID = dirID;
    pb.fidParam.ioNamePtr = name.bytes;
    OSErr err = PBCreateFileIDRefSync(&pb);
    const SInt32 id = pb.fidParam.ioFileID; // the block is packed
    return std::pair{err, id};
  };
  {
    FaultInjector faults;
    faults.withoutCapability(volume, bHasFileIDs);
    EXPECT_EQ(createID(), std::pair(OSErr(paramErr), SInt32(0)));
  }
  {
    FaultInjector faults;
    faults.withoutCapability(0, bHasFileIDs); // every volume
    EXPECT_EQ(createID().first, paramErr);
  }
  {
    FaultInjector faults;
    faults.withoutCapability(static_cast<FSVolumeRefNum>(volume - 1), bHasFileIDs);
    faults.withoutCapability(volume, bHasCopyFile);
    faults.withoutCapability(volume, bHasFileIDs, true); // the same bit of the other field
    const auto [err, id] = createID();
    EXPECT_EQ(err, noErr) << "another volume, another capability";
    EXPECT_NE(id, 0);
  }
}

} // namespace
