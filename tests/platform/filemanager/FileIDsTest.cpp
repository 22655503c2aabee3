// File IDs on real folders: the ID is the inode number stat shows, the mark
// of a file that has one survives the process, and resolution follows the
// file through this layer's renames and moves.
#include "FileManagerTestSupport.h"

#include <sys/xattr.h>

using namespace fmtest;

namespace {

class FileIDs : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    ASSERT_EQ(folderIDs(root_, volume_, dirID_), noErr);
  }

  static SInt32 dirIDOf(const FSRef &ref) {
    FSVolumeRefNum volume;
    SInt32 dirID = 0;
    EXPECT_EQ(folderIDs(ref, volume, dirID), noErr);
    return dirID;
  }

  OSErr create(const std::string &name, SInt32 &id, SInt32 dirID = 0) {
    HParamBlockRec pb{};
    PascalName p(name);
    pb.fidParam.ioVRefNum = volume_;
    pb.fidParam.ioSrcDirID = dirID ? dirID : dirID_;
    pb.fidParam.ioNamePtr = p.bytes;
    OSErr err = PBCreateFileIDRefSync(&pb);
    EXPECT_EQ(pb.fidParam.ioResult, err);
    id = pb.fidParam.ioFileID;
    return err;
  }

  OSErr resolve(SInt32 id, SInt32 &parent, std::string &name) {
    HParamBlockRec pb{};
    Str255 buffer = {};
    pb.fidParam.ioVRefNum = volume_;
    pb.fidParam.ioFileID = id;
    pb.fidParam.ioNamePtr = buffer;
    OSErr err = PBResolveFileIDRefSync(&pb);
    EXPECT_EQ(pb.fidParam.ioResult, err);
    parent = pb.fidParam.ioSrcDirID;
    name.assign(reinterpret_cast<const char *>(buffer + 1), buffer[0]);
    return err;
  }

  std::string inode(const std::string &name) { return shell("stat -c %i '" + (dir_ / name) + "'"); }

  FSVolumeRefNum volume_ = 0;
  SInt32 dirID_ = 0;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, FileIDs, ::testing::ValuesIn(bases()));

TEST_P(FileIDs, TheIDIsTheInodeAndASecondCallSaysItExists) {
  ASSERT_EQ(createFile(root_, "doc"), noErr);
  SInt32 id = 0, again = 0;
  ASSERT_EQ(create("doc", id), noErr);
  EXPECT_EQ(std::to_string(static_cast<UInt32>(id)), inode("doc"));
  EXPECT_EQ(create("doc", again), fidExists);
  EXPECT_EQ(again, id);

  SInt32 parent;
  std::string name;
  ASSERT_EQ(resolve(id, parent, name), noErr);
  EXPECT_EQ(parent, dirID_);
  EXPECT_EQ(name, "doc");
}

TEST_P(FileIDs, TheMarkOutlivesTheProcessButNotACopy) {
  ASSERT_EQ(createFile(root_, "kept"), noErr);
  pid_t pid = fork();
  if (pid == 0) {
    SInt32 id;
    _exit(create("kept", id) == noErr ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  SInt32 id = 0;
  EXPECT_EQ(create("kept", id), fidExists);
  EXPECT_EQ(std::to_string(static_cast<UInt32>(id)), inode("kept"));

  // A copy that takes the attributes along is another file without an ID.
  ASSERT_EQ(shell("cp --preserve=xattr '" + (dir_ / "kept") + "' '" + (dir_ / "copy") + "' && echo ok"),
            "ok");
  SInt32 copyID = 0;
  EXPECT_EQ(create("copy", copyID), noErr);
  EXPECT_EQ(std::to_string(static_cast<UInt32>(copyID)), inode("copy"));
  EXPECT_NE(copyID, id);
}

TEST_P(FileIDs, ResolutionFollowsRenamesAndMovesThroughTheLayer) {
  FSRef file, sub;
  ASSERT_EQ(createFile(root_, "before", &file), noErr);
  ASSERT_EQ(createDir(root_, "sub", &sub), noErr);
  SInt32 id;
  ASSERT_EQ(create("before", id), noErr);
  std::u16string after = u16("after");
  ASSERT_EQ(FSRenameUnicode(&file, after.size(), units(after), kTextEncodingUnknown, &file), noErr);
  SInt32 parent;
  std::string name;
  ASSERT_EQ(resolve(id, parent, name), noErr);
  EXPECT_EQ(parent, dirID_);
  EXPECT_EQ(name, "after");

  ASSERT_EQ(FSMoveObject(&file, &sub, &file), noErr);
  ASSERT_EQ(resolve(id, parent, name), noErr);
  EXPECT_EQ(parent, dirIDOf(sub));
  EXPECT_EQ(name, "after");
  // The ID moved with the file: asking again in its new folder says so.
  SInt32 again;
  EXPECT_EQ(create("after", again, parent), fidExists);
  EXPECT_EQ(again, id);

  // What resolution gives back names the file again.
  FSRefParam make{};
  FSRef made;
  PascalName p(name);
  make.ioVRefNum = volume_;
  make.ioDirID = parent;
  make.ioNamePtr = p.bytes;
  make.newRef = &made;
  ASSERT_EQ(PBMakeFSRefSync(&make), noErr);
  EXPECT_EQ(FSCompareFSRefs(&made, &file), noErr);

  // Renamed behind the layer's back, then deleted: not found, never another file.
  ASSERT_EQ(rename((dir_ / "sub/after").c_str(), (dir_ / "sub/elsewhere").c_str()), 0);
  EXPECT_EQ(resolve(id, parent, name), fnfErr);
  FSRef moved;
  ASSERT_EQ(refFor(dir_ / "sub/elsewhere", moved), noErr);
  ASSERT_EQ(resolve(id, parent, name), noErr);
  EXPECT_EQ(name, "elsewhere");
  ASSERT_EQ(FSDeleteObject(&moved), noErr);
  EXPECT_EQ(resolve(id, parent, name), fnfErr);
}

TEST_P(FileIDs, LongNamesResolveToTheirOneByteForm) {
  const std::string longName = "A rather long document name that does not fit.txt";
  FSRef file;
  ASSERT_EQ(createFile(root_, longName.c_str(), &file), noErr);
  FSSpec spec;
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr), noErr);
  std::string oneByte(reinterpret_cast<const char *>(spec.name + 1), spec.name[0]);
  SInt32 id, parent;
  ASSERT_EQ(create(oneByte, id), noErr);
  std::string name;
  ASSERT_EQ(resolve(id, parent, name), noErr);
  EXPECT_EQ(name, oneByte);
  EXPECT_LE(name.size(), 31u);

  // The name is optional.
  HParamBlockRec pb{};
  pb.fidParam.ioVRefNum = volume_;
  pb.fidParam.ioFileID = id;
  EXPECT_EQ(PBResolveFileIDRefSync(&pb), noErr);
  EXPECT_EQ(pb.fidParam.ioSrcDirID, dirID_);

  // Volume 0 is the default folder's volume.
  const int saved = ::open(".", O_PATH | O_DIRECTORY);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  pb.fidParam.ioVRefNum = 0;
  pb.fidParam.ioSrcDirID = 0;
  EXPECT_EQ(PBResolveFileIDRefSync(&pb), noErr);
  EXPECT_EQ(pb.fidParam.ioSrcDirID, dirID_);
  ASSERT_EQ(::fchdir(saved), 0);
  ::close(saved);
}

TEST_P(FileIDs, FoldersUnknownIDsAndBadBlocks) {
  FSRef sub;
  ASSERT_EQ(createDir(root_, "sub", &sub), noErr);
  SInt32 id = 0, parent;
  std::string name;
  EXPECT_EQ(create("sub", id), notAFileErr);
  EXPECT_EQ(resolve(dirIDOf(sub), parent, name), notAFileErr);
  EXPECT_EQ(resolve(fsRtDirID, parent, name), notAFileErr);
  EXPECT_EQ(create("missing", id), fnfErr);
  EXPECT_EQ(resolve(0x7FFFFFF0, parent, name), fnfErr);
  EXPECT_EQ(resolve(0, parent, name), fnfErr);
  EXPECT_EQ(resolve(1, parent, name), fnfErr);

  HParamBlockRec pb{};
  pb.fidParam.ioVRefNum = -32000;
  pb.fidParam.ioFileID = 100;
  EXPECT_EQ(PBResolveFileIDRefSync(&pb), nsvErr);
  EXPECT_EQ(PBCreateFileIDRefSync(&pb), nsvErr);
  EXPECT_EQ(PBCreateFileIDRefSync(nullptr), paramErr);
  EXPECT_EQ(PBResolveFileIDRefSync(nullptr), paramErr);
}

TEST_P(FileIDs, AFileTheCallerMayNotWriteStillGetsItsID) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make a file that nobody may not write";
  ASSERT_EQ(chown(dir_.path().c_str(), kNobody, kNobody), 0);
  writeFile(dir_ / "roots", "keep");
  std::string base = dir_.path();
  EXPECT_EQ(asNobody([&]() -> int {
              FSRef root;
              FSVolumeRefNum volume;
              SInt32 dirID;
              if (refFor(base, root) || folderIDs(root, volume, dirID))
                return 1;
              HParamBlockRec pb{};
              pb.fidParam.ioVRefNum = volume;
              pb.fidParam.ioSrcDirID = dirID;
              PascalName p("roots");
              pb.fidParam.ioNamePtr = p.bytes;
              if (PBCreateFileIDRefSync(&pb) != noErr || pb.fidParam.ioFileID == 0)
                return 2;
              SInt32 first = pb.fidParam.ioFileID;
              if (PBCreateFileIDRefSync(&pb) != fidExists || pb.fidParam.ioFileID != first)
                return 3;
              return 0;
            }),
            0);
  EXPECT_LT(getxattr((dir_ / "roots").c_str(), "user.quillmate.fileid", nullptr, 0), 0);
  EXPECT_EQ(readFile(dir_ / "roots"), "keep");
}

} // namespace
