// The test decorators: fault injection and call recording in front of the
// real File Manager.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/FileManagerTesting.h"

using namespace fmtest;
using quillmate::fm::testing::Call;
using quillmate::fm::testing::CallRecorder;
using quillmate::fm::testing::FaultInjector;

namespace {

TEST(Decorators, TheNthCallFailsWithoutTouchingTheDisk) {
  TempDir dir;
  FSRef root;
  ASSERT_EQ(refFor(dir.path(), root), noErr);
  {
    FaultInjector faults;
    faults.failNth("FSCreateFileUnicode", 2, dskFulErr);
    EXPECT_EQ(createFile(root, "one"), noErr);
    EXPECT_EQ(createFile(root, "two"), dskFulErr);
    EXPECT_EQ(createFile(root, "three"), noErr);
    EXPECT_EQ(faults.seen("FSCreateFileUnicode"), 3u);
    EXPECT_FALSE(exists(dir / "two"));
  }
  // Gone with its scope.
  EXPECT_EQ(createFile(root, "two"), noErr);
}

TEST(Decorators, APredicateChoosesCallsByTheirArguments) {
  TempDir dir;
  FSRef root;
  ASSERT_EQ(refFor(dir.path(), root), noErr);
  FaultInjector faults;
  faults.failWhen(
      [](const Call &c) {
        return c.name == "FSGetCatalogInfo" && (c.bitmap & kFSCatInfoFinderInfo);
      },
      ioErr);
  FSCatalogInfo info;
  EXPECT_EQ(FSGetCatalogInfo(&root, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(FSGetCatalogInfo(&root, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr), ioErr);
}

TEST(Decorators, TheRecorderSeesNamesBitmapsNullsAndResults) {
  TempDir dir;
  FSRef root;
  ASSERT_EQ(refFor(dir.path(), root), noErr);
  FaultInjector faults;
  faults.failNth("FSDeleteObject", 1, fBsyErr);
  CallRecorder calls;
  FSCatalogInfo info;
  FSRef file;
  ASSERT_EQ(createFile(root, "f", &file), noErr);
  FSGetCatalogInfo(&file, kFSCatInfoNodeFlags | kFSCatInfoVolume, &info, nullptr, nullptr, nullptr);
  EXPECT_EQ(FSDeleteObject(&file), fBsyErr);
  ASSERT_EQ(calls.names(), (std::vector<std::string>{"FSCreateFileUnicode", "FSGetCatalogInfo",
                                                     "FSDeleteObject"}));
  const Call &get = calls.calls()[1];
  EXPECT_EQ(get.bitmap, 0x6u);
  EXPECT_FALSE(get.isNull(1));
  EXPECT_TRUE(get.isNull(2) && get.isNull(3) && get.isNull(4));
  EXPECT_EQ(calls.calls()[0].count, 1u);
  EXPECT_EQ(calls.calls()[2].result, fBsyErr);
  EXPECT_TRUE(exists(dir / "f"));
}

} // namespace
