// Volumes, mounting and the default folder: on the volumes of /tmp (ext4)
// and /dev/shm (tmpfs), against the File Manager's own answers; mounting in
// a private mount namespace; the list of volumes with more volumes and
// failing calls and allocations presented by the test decorators.
#include <FileUtilities.h>

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/memory/MemoryTesting.h"
#include "tests/platform/filemanager/FileManagerTestSupport.h"

#include <algorithm>
#include <cerrno>

using namespace fmtest;
using quillmate::fm::testing::Call;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::callsTo;
using quillmate::fm::testing::FaultInjector;
using quillmate::fm::testing::FMCall;
using quillmate::fm::testing::InterceptingFileManager;
using quillmate::memory::AllocationFailureScope;

namespace {

using Names = std::vector<std::string>;
using Record = std::vector<unsigned char>;

bool same(const FSRef &a, const FSRef &b) { return FSCompareFSRefs(&a, &b) == noErr; }

FSVolumeRefNum volumeOf(const FSRef &ref) {
  FSCatalogInfo info{};
  EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr), noErr);
  return info.volume;
}

FSRef rootOf(FSVolumeRefNum volume) {
  FSRef root{};
  EXPECT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoNone, nullptr, nullptr, &root), noErr);
  return root;
}

/// The roots FSGetVolumeInfo lists by index.
std::vector<FSRef> listedRoots() {
  std::vector<FSRef> roots;
  FSRef root;
  while (FSGetVolumeInfo(0, roots.size() + 1, nullptr, kFSVolInfoNone, nullptr, nullptr,
                         &root) == noErr)
    roots.push_back(root);
  return roots;
}

/// A volume's mount record, read as a caller would.
Record recordOf(FSVolumeRefNum volume) {
  SInt16 size = 0;
  EXPECT_EQ(FSGetVolMountInfoSize(volume, &size), noErr);
  Record record(static_cast<size_t>(std::max<SInt16>(size, 0)), 0xEE);
  EXPECT_EQ(FSGetVolMountInfo(volume, record.data()), noErr);
  return record;
}

/// How many mounts the kernel has on `point`.
size_t mountsOn(const std::string &point) {
  std::string table = readFile("/proc/self/mountinfo");
  size_t mounts = 0;
  for (size_t at = 0; (at = table.find(" " + point + " ", at)) != std::string::npos; ++at)
    ++mounts;
  return mounts;
}

std::string currentDirectory() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "<" + std::string(std::strerror(errno)) + ">";
}

class Volumes : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    volume_ = volumeOf(root_);
  }
  FSVolumeRefNum volume_ = 0;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, Volumes, ::testing::ValuesIn(bases()));

TEST_P(Volumes, NumberNameSizesIdentityAndParametersAreTheVolumes) {
  FSVolumeRefNum volume = 0;
  ASSERT_EQ(FSGetVRefNum(&root_, &volume), noErr);
  EXPECT_EQ(volume, volume_);
  EXPECT_LT(volume, 0);

  FSVolumeInfo info;
  HFSUniStr255 expectedName;
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoSizes | kFSVolInfoFSInfo, &info,
                            &expectedName, nullptr),
            noErr);
  HFSUniStr255 name;
  UInt64 freeBytes = 0, totalBytes = 0;
  ASSERT_EQ(FSGetVInfo(volume, &name, &freeBytes, &totalBytes), noErr);
  EXPECT_EQ(fromUni(name), fromUni(expectedName));
  EXPECT_EQ(totalBytes, UInt64{info.totalBytes});
  EXPECT_GT(freeBytes, 0u); // what others write in between moves it
  EXPECT_LE(freeBytes, totalBytes);
  UInt16 fileSystemID = 0, signature = 0;
  ASSERT_EQ(FSGetVolFileSystemID(volume, &fileSystemID, &signature), noErr);
  EXPECT_EQ(fileSystemID, UInt16{info.filesystemID});
  EXPECT_EQ(signature, UInt16{info.signature});
  if (GetParam() == "/dev/shm") {
    EXPECT_EQ(fileSystemID, 6);
    EXPECT_EQ(signature, ('T' << 8) | 'M');
  }

  // A short buffer gets the leading fields, a whole one all of them.
  GetVolParmsInfoBuffer parms{};
  UInt32 actual = 0;
  ASSERT_EQ(FSGetVolParms(volume, 6, &parms, &actual), noErr);
  EXPECT_EQ(actual, 6u);
  EXPECT_EQ(parms.vMVersion, 4);
  EXPECT_EQ(Handle{parms.vMLocalHand}, nullptr) << "nothing past the buffer's size";
  ASSERT_EQ(FSGetVolParms(volume, sizeof parms, &parms, &actual), noErr);
  EXPECT_EQ(actual, sizeof parms);
  EXPECT_TRUE(SInt32{parms.vMExtendedAttributes} & (1 << bSupportsHFSPlusAPIs));

  // A volume that is not there: its status, and nothing written.
  const FSVolumeRefNum nowhere = -30000;
  actual = freeBytes = totalBytes = fileSystemID = signature = 7;
  name.length = 7;
  EXPECT_EQ(FSGetVolParms(nowhere, sizeof parms, &parms, &actual), nsvErr);
  EXPECT_EQ(FSGetVInfo(nowhere, &name, &freeBytes, &totalBytes), nsvErr);
  EXPECT_EQ(FSGetVolFileSystemID(nowhere, &fileSystemID, &signature), nsvErr);
  EXPECT_EQ(actual + freeBytes + totalBytes + fileSystemID + signature + name.length, 42u);
  FSRef file;
  ASSERT_EQ(createFile(root_, "gone", &file), noErr);
  ASSERT_EQ(::unlink((dir_ / "gone").c_str()), 0);
  volume = 7;
  EXPECT_EQ(FSGetVRefNum(&file, &volume), fnfErr);
  EXPECT_EQ(volume, 7);
}

TEST_P(Volumes, OnlyTheVolumeFieldsThatAreWantedAreAskedFor) {
  CallRecorder calls;
  HFSUniStr255 name{};
  UInt64 bytes = 0;
  UInt16 code = 0;
  ASSERT_EQ(FSGetVInfo(volume_, &name, nullptr, nullptr), noErr);
  EXPECT_GT(name.length, 0) << "the name comes with no fields at all";
  ASSERT_EQ(FSGetVInfo(volume_, nullptr, &bytes, nullptr), noErr);
  ASSERT_EQ(FSGetVInfo(volume_, nullptr, nullptr, &bytes), noErr);
  ASSERT_EQ(FSGetVolFileSystemID(volume_, nullptr, &code), noErr);
  ASSERT_EQ(FSGetVolFileSystemID(volume_, nullptr, nullptr), noErr);
  FSVolumeRefNum volume = 0;
  ASSERT_EQ(FSGetVRefNum(&root_, &volume), noErr);
  const auto &c = calls.calls();
  ASSERT_EQ(c.size(), 6u);
  // Pointer arguments: actual volume, record, name, root.
  EXPECT_EQ(c[0].bitmap, UInt32(kFSVolInfoNone));
  EXPECT_EQ(c[0].nulls, 0b1001u);
  EXPECT_EQ(c[1].bitmap, UInt32(kFSVolInfoSizes));
  EXPECT_EQ(c[1].nulls, 0b1101u);
  EXPECT_EQ(c[2].bitmap, UInt32(kFSVolInfoSizes));
  EXPECT_EQ(c[3].bitmap, UInt32(kFSVolInfoFSInfo));
  EXPECT_EQ(c[4].bitmap, UInt32(kFSVolInfoFSInfo));
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(c[i].volume, volume_) << i;
    EXPECT_EQ(c[i].count, 0u) << i; // by reference number, not by index
  }
  EXPECT_EQ(c[5].call, FMCall::FSGetCatalogInfo);
  EXPECT_EQ(c[5].bitmap, UInt32(kFSCatInfoVolume));
}

TEST_P(Volumes, AMountedVolumesRecordMountsItAgainAsItself) {
  const std::string point = pathOf(rootOf(volume_));
  const size_t mounts = mountsOn(point);
  Record record = recordOf(volume_);
  ASSERT_GE(record.size(), sizeof(VolumeMountInfoHeader));
  SInt16 length;
  std::memcpy(&length, record.data(), sizeof length);
  EXPECT_EQ(static_cast<size_t>(length), record.size());
  {
    CallRecorder calls;
    FSVolumeRefNum again = 0;
    ASSERT_EQ(FSVolumeMount(record.data(), &again), noErr);
    EXPECT_EQ(again, volume_);
    EXPECT_EQ(calls.names(), Names{"PBVolumeMount"});
  }
  EXPECT_EQ(mountsOn(point), mounts) << "nothing more was mounted";

  // Failures come back as they are, and the volume out is not written.
  SInt16 size = 5;
  EXPECT_EQ(FSGetVolMountInfoSize(-30000, &size), nsvErr);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(FSGetVolMountInfo(-30000, record.data()), nsvErr);
  Record damaged = record;
  damaged[2] ^= 0xFF; // another medium
  FSVolumeRefNum volume = 7;
  EXPECT_EQ(FSVolumeMount(damaged.data(), &volume), paramErr);
  EXPECT_EQ(volume, 7);
}

TEST(VolumeOperations, ANullRequiredPointerReachesNoPlatformCall) {
  FSRef root;
  ASSERT_EQ(refFor("/tmp", root), noErr);
  const FSVolumeRefNum volume = volumeOf(root);
  const Record record = recordOf(volume);
  CallRecorder calls;
  GetVolParmsInfoBuffer parms;
  UInt32 actual;
  FSRef **list;
  ItemCount count;
  EXPECT_EQ(FSGetVolParms(volume, sizeof parms, nullptr, &actual), paramErr);
  EXPECT_EQ(FSGetVolParms(volume, sizeof parms, &parms, nullptr), paramErr);
  EXPECT_EQ(FSGetVRefNum(&root, nullptr), paramErr);
  EXPECT_EQ(FSGetMountedVolumes(nullptr, &count), paramErr);
  EXPECT_EQ(FSGetMountedVolumes(&list, nullptr), paramErr);
  EXPECT_EQ(FSGetVolMountInfoSize(volume, nullptr), paramErr);
  EXPECT_EQ(FSGetVolMountInfo(volume, nullptr), paramErr);
  EXPECT_EQ(FSVolumeMount(record.data(), nullptr), paramErr);
  EXPECT_EQ(FSSetDefault(nullptr, &root), paramErr);
  EXPECT_EQ(FSSetDefault(&root, nullptr), paramErr);
  EXPECT_EQ(FSRestoreDefault(nullptr), paramErr);
  EXPECT_TRUE(calls.calls().empty());
}

// --- The list of mounted volumes -----------------------------------------------------------

/// Presents `count` volumes, index i answered by the machine's volume
/// (i - 1) % listed + 1, then nsvErr.
class MoreVolumes : public InterceptingFileManager {
public:
  MoreVolumes(ItemCount count, ItemCount listed) : count_(count), listed_(listed) {}
  OSErr getVolumeInfo(FSVolumeRefNum volume, ItemCount index, FSVolumeRefNum *actual,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo *info, HFSUniStr255 *name,
                      FSRef *root) override {
    if (index > count_)
      return nsvErr;
    if (index > 0)
      index = (index - 1) % listed_ + 1;
    return InterceptingFileManager::getVolumeInfo(volume, index, actual, whichInfo, info, name,
                                                  root);
  }

private:
  ItemCount count_, listed_;
};

TEST(MountedVolumes, TheListHoldsEveryListedRootInOrder) {
  const std::vector<FSRef> roots = listedRoots();
  ASSERT_FALSE(roots.empty());
  FSRef **list = nullptr;
  ItemCount count = 0;
  ASSERT_EQ(FSGetMountedVolumes(&list, &count), noErr);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(count, roots.size());
  EXPECT_EQ(static_cast<size_t>(GetHandleSize(reinterpret_cast<Handle>(list))),
            count * sizeof(FSRef));
  for (size_t i = 0; i < count; ++i)
    EXPECT_TRUE(same((*list)[i], roots[i])) << i;
  // The volumes the tests write on are among them.
  for (const std::string &base : bases()) {
    FSRef folder;
    ASSERT_EQ(refFor(base, folder), noErr);
    const FSRef root = rootOf(volumeOf(folder));
    EXPECT_TRUE(std::any_of(*list, *list + count, [&](const FSRef &r) { return same(r, root); }))
        << base;
  }
  DisposeHandle(reinterpret_cast<Handle>(list));

  // Three volumes: 240 bytes.
  MoreVolumes three(3, roots.size());
  ASSERT_EQ(FSGetMountedVolumes(&list, &count), noErr);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(list)), 240);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(same((*list)[i], roots[i % roots.size()])) << i;
  DisposeHandle(reinterpret_cast<Handle>(list));
  // None: an empty list, which is no failure.
  MoreVolumes none(0, roots.size());
  ASSERT_EQ(FSGetMountedVolumes(&list, &count), noErr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(list)), 0);
  DisposeHandle(reinterpret_cast<Handle>(list));
}

TEST(MountedVolumes, AFailedListingLeavesNoListBehind) {
  // Whatever fails, the caller gets no handle and a count of 0, and the
  // block made so far is freed (the leak checker would tell).
  MoreVolumes three(3, listedRoots().size());
  FSRef **list;
  ItemCount count;
  auto expectNoList = [&](OSErr expected, const char *what) {
    list = reinterpret_cast<FSRef **>(&count); // anything but null
    count = 77;
    EXPECT_EQ(FSGetMountedVolumes(&list, &count), expected) << what;
    EXPECT_EQ(list, nullptr) << what;
    EXPECT_EQ(count, 0u) << what;
  };
  {
    AllocationFailureScope noBlock(AllocationFailureScope::nthCall(1));
    CallRecorder calls;
    expectNoList(memFullErr, "no empty block");
    EXPECT_TRUE(calls.calls().empty()) << "no volume is asked for without a list";
  }
  {
    AllocationFailureScope secondAppend(AllocationFailureScope::nthCall(3));
    expectNoList(memFullErr, "the second append");
  }
  {
    FaultInjector faults;
    const auto thirdVolume = [](const Call &c) { return c.count == 3; }; // asked by index
    faults.failWhen(callsTo(FMCall::FSGetVolumeInfo).where(thirdVolume), ioErr);
    expectNoList(ioErr, "the third volume");
  }
}

// --- Mounting from a record ------------------------------------------------------------------

TEST(Mounting, InAPrivateNamespace) {
  runChildCases("InNamespaceMounting.*", true);
}

class InNamespaceMounting : public MountNamespaceCase {};

TEST_F(InNamespaceMounting, ARecordMountsOnceAndOnlyWithSomewhereToAnswer) {
  // The record of a tmpfs that is then taken away again.
  const std::string where = point("scratch");
  ASSERT_EQ(::mount("qmtest", where.c_str(), "tmpfs", 0, "size=1m"), 0);
  FSRef root;
  ASSERT_EQ(refFor(where, root), noErr);
  const FSVolumeRefNum first = volumeOf(root);
  const Record record = recordOf(first);
  ASSERT_EQ(::umount2(where.c_str(), MNT_DETACH), 0);
  ASSERT_EQ(mountsOn(where), 0u);

  EXPECT_EQ(FSVolumeMount(record.data(), nullptr), paramErr);
  EXPECT_EQ(mountsOn(where), 0u) << "nothing mounted without a place for the answer";

  const size_t listed = listedRoots().size();
  FSVolumeRefNum volume = 0, again = 0;
  ASSERT_EQ(FSVolumeMount(record.data(), &volume), noErr);
  EXPECT_EQ(mountsOn(where), 1u);
  EXPECT_NE(volume, first);
  ASSERT_EQ(refFor(where, root), noErr);
  EXPECT_EQ(volumeOf(root), volume);
  ASSERT_EQ(FSVolumeMount(record.data(), &again), noErr);
  EXPECT_EQ(again, volume);
  EXPECT_EQ(mountsOn(where), 1u);
  FSRef **list = nullptr;
  ItemCount count = 0;
  ASSERT_EQ(FSGetMountedVolumes(&list, &count), noErr);
  EXPECT_EQ(count, listed + 1);
  DisposeHandle(reinterpret_cast<Handle>(list));
}

// --- The default folder ----------------------------------------------------------------------

class DefaultFolder : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    saved_ = currentDirectory();
    for (const char *name : {"a", "b", "c"})
      ASSERT_EQ(::mkdir((dir_ / name).c_str(), 0755), 0);
    ASSERT_EQ(refFor(dir_ / "a", a_), noErr);
    ASSERT_EQ(refFor(dir_ / "b", b_), noErr);
    ASSERT_EQ(::chdir((dir_ / "a").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(saved_.c_str()), 0); }
  std::string saved_;
  FSRef a_, b_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, DefaultFolder, ::testing::ValuesIn(bases()));

TEST_P(DefaultFolder, SettingAndRestoringLeavesTheCurrentDirectoryAsItWas) {
  FSRef previous;
  ASSERT_EQ(FSSetDefault(&b_, &previous), noErr);
  EXPECT_EQ(currentDirectory(), dir_ / "b");
  EXPECT_TRUE(same(previous, a_));
  ASSERT_EQ(FSRestoreDefault(&previous), noErr);
  EXPECT_EQ(currentDirectory(), dir_ / "a");

  // A file is refused before the default is read or changed.
  FSRef file;
  ASSERT_EQ(createFile(b_, "file", &file), noErr);
  std::memset(&previous, 0xAB, sizeof previous);
  {
    CallRecorder calls;
    EXPECT_EQ(FSSetDefault(&file, &previous), dirNFErr);
    EXPECT_EQ(FSRestoreDefault(&file), dirNFErr);
    EXPECT_EQ(calls.names(), (Names{"FSGetCatalogInfo", "FSGetCatalogInfo"}));
    EXPECT_EQ(calls.calls()[0].bitmap,
              UInt32(kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoNodeID));
  }
  EXPECT_EQ(previous.hidden[0], 0xAB);
  EXPECT_EQ(currentDirectory(), dir_ / "a");

  // A current directory that has gone cannot be handed back: its status,
  // and the default stays where it was.
  ASSERT_EQ(::chdir((dir_ / "c").c_str()), 0);
  ASSERT_EQ(::rmdir((dir_ / "c").c_str()), 0);
  EXPECT_EQ(FSSetDefault(&b_, &previous), fnfErr);
  EXPECT_EQ(currentDirectory(), "<" + std::string(std::strerror(ENOENT)) + ">");
}

} // namespace
