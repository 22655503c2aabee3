// The default folder is the process's current directory, seen through
// HGetVol / HSetVol and volume 0 of the parameter-block calls; FNNotify's
// directory-changed notice reaches the iterators open on the folder.
#include "FileManagerTestSupport.h"

#include <climits>

using namespace fmtest;

namespace {

FSCatalogInfo catalogOf(const FSRef &ref) {
  FSCatalogInfo info{};
  EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoVolume | kFSCatInfoNodeID | kFSCatInfoNodeFlags,
                             &info, nullptr, nullptr, nullptr),
            noErr);
  return info;
}

std::string cwd() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "<none>";
}

/// Puts the current directory back at the end of a test.
class DefaultFolder : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    saved_ = ::open(".", O_PATH | O_DIRECTORY);
    ASSERT_GE(saved_, 0);
  }
  void TearDown() override {
    ASSERT_EQ(::fchdir(saved_), 0);
    ::close(saved_);
  }
  int saved_ = -1;
};

} // namespace

TEST_P(DefaultFolder, GetAndSetFollowTheCurrentDirectory) {
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  Str63 volumeName{};
  ASSERT_EQ(HGetVol(volumeName, &volume, &dirID), noErr);
  const FSCatalogInfo here = catalogOf(root_);
  EXPECT_EQ(volume, here.volume);
  const UInt32 hereID = here.nodeID; // a copy: the record is packed
  EXPECT_EQ(static_cast<UInt32>(dirID), hereID);
  EXPECT_GT(volumeName[0], 0);
  EXPECT_LE(volumeName[0], 27);

  FSRef sub;
  ASSERT_EQ(createDir(root_, "sub", &sub), noErr);
  const FSCatalogInfo subInfo = catalogOf(sub);
  ASSERT_EQ(HSetVol(nullptr, subInfo.volume, static_cast<SInt32>(subInfo.nodeID)), noErr);
  EXPECT_EQ(cwd(), dir_ / "sub");
  ASSERT_EQ(HGetVol(nullptr, &volume, &dirID), noErr);
  const UInt32 subID = subInfo.nodeID;
  EXPECT_EQ(static_cast<UInt32>(dirID), subID);

  // Volume 0 names the default folder in the parameter-block calls.
  ASSERT_EQ(createFile(sub, "in-default"), noErr);
  FSRef viaDefault;
  FSRefParam pb{};
  unsigned char name[] = "\x0ain-default";
  pb.ioNamePtr = name;
  pb.ioVRefNum = 0;
  pb.ioDirID = 0;
  pb.newRef = &viaDefault;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  EXPECT_EQ(pathOf(viaDefault), dir_ / "sub/in-default");
}

TEST_P(DefaultFolder, RefusesWhatIsNotAFolderAndLeavesTheDefaultAlone) {
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  FSRef file;
  ASSERT_EQ(createFile(root_, "plain", &file), noErr);
  const FSCatalogInfo info = catalogOf(file);
  EXPECT_EQ(HSetVol(nullptr, info.volume, static_cast<SInt32>(info.nodeID)), dirNFErr);
  EXPECT_EQ(HSetVol(nullptr, info.volume, 0x7FFFFFF0), dirNFErr);
  EXPECT_EQ(HSetVol(nullptr, -32000, fsRtDirID), nsvErr);
  const unsigned char named[] = "\x03vol";
  EXPECT_EQ(HSetVol(named, info.volume, fsRtDirID), paramErr);
  EXPECT_EQ(cwd(), dir_.path());
}

TEST_P(DefaultFolder, ARemovedCurrentDirectoryIsReportedNotInvented) {
  const std::string gone = dir_ / "gone";
  ASSERT_EQ(::mkdir(gone.c_str(), 0755), 0);
  ASSERT_EQ(::chdir(gone.c_str()), 0);
  ASSERT_EQ(::rmdir(gone.c_str()), 0);
  FSVolumeRefNum volume = 1;
  SInt32 dirID = 1;
  EXPECT_EQ(HGetVol(nullptr, &volume, &dirID), fnfErr);
  EXPECT_EQ(volume, 1);
  EXPECT_EQ(dirID, 1);
}

// Volume 0 with directory 0 names the default folder as the destination of a
// move too, never the volume's root.  The names are the test's own: a move to
// the root would land beside everything else there, and is put back.
TEST_P(DefaultFolder, MoveRenameIntoFolderZeroMovesIntoTheDefaultFolder) {
  const std::string unique = dir_.path().substr(dir_.path().rfind('/') + 1);
  const std::string hereName = "here-" + unique, fileName = "moved-" + unique;
  FSRef here, file;
  ASSERT_EQ(createDir(root_, hereName.c_str(), &here), noErr);
  ASSERT_EQ(createFile(root_, fileName.c_str(), &file), noErr);
  FSVolumeRefNum volume = 0;
  SInt32 hereID = 0, rootID = 0;
  ASSERT_EQ(folderIDs(here, volume, hereID), noErr);
  ASSERT_EQ(folderIDs(root_, volume, rootID), noErr);
  ASSERT_EQ(HSetVol(nullptr, volume, hereID), noErr);

  PascalName source(fileName);
  HParamBlockRec pb{};
  pb.copyParam.ioNamePtr = source.bytes;
  pb.copyParam.ioVRefNum = 0;
  pb.copyParam.ioDirID = rootID;
  pb.copyParam.ioNewDirID = 0;
  EXPECT_EQ(PBHMoveRenameSync(&pb), noErr);
  const std::string landed = pathOf(file), wanted = dir_ / hereName + "/" + fileName;
  if (landed != wanted)
    ::rename(landed.c_str(), wanted.c_str());
  EXPECT_EQ(landed, wanted);

  // A zeroed block names the default folder as both the object and the
  // destination: a move into itself, which moves nothing.
  HParamBlockRec zeroed{};
  EXPECT_EQ(PBHMoveRenameSync(&zeroed), badMovErr);
  const std::string now = cwd(); // the current directory follows the folder
  if (now != dir_ / hereName)
    ::rename(now.c_str(), (dir_ / hereName).c_str());
  EXPECT_EQ(now, dir_ / hereName);
  EXPECT_TRUE(exists(wanted));
}

TEST_P(DefaultFolder, DirectoryNoticeMarksOpenIteratorsChanged) {
  FSRef file;
  ASSERT_EQ(createFile(root_, "a", &file), noErr);
  FSIterator iterator;
  ASSERT_EQ(FSOpenIterator(&root_, kFSIterateFlat, &iterator), noErr);
  ItemCount count = 0;
  Boolean changed = true;
  FSRef refs[4];
  FSGetCatalogInfoBulk(iterator, 4, &count, &changed, kFSCatInfoNone, nullptr, refs, nullptr,
                       nullptr);
  EXPECT_FALSE(changed);
  // A notice about a file is about its folder.
  EXPECT_EQ(FNNotify(&file, kFNDirectoryModifiedMessage, 0), noErr);
  FSGetCatalogInfoBulk(iterator, 4, &count, &changed, kFSCatInfoNone, nullptr, refs, nullptr,
                       nullptr);
  EXPECT_TRUE(changed);
  FSCloseIterator(iterator);

  EXPECT_EQ(FNNotify(&root_, 99, 0), paramErr);
  FSRef bad{};
  EXPECT_EQ(FNNotify(&bad, kFNDirectoryModifiedMessage, 0), errFSBadFSRef);
  ASSERT_EQ(FSDeleteObject(&file), noErr);
  EXPECT_EQ(FNNotify(&file, kFNDirectoryModifiedMessage, 0), fnfErr);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, DefaultFolder, ::testing::ValuesIn(bases()));
