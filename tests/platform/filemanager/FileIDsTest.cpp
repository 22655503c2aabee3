// File IDs on real folders: the ID is the inode number stat shows, the mark
// of a file that has one survives the process, and resolution follows the
// file through this layer's renames and moves.
#include "FileManagerTestSupport.h"

#include <cstdio>
#include <set>
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
    FSVolumeRefNum volume = 0;
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
              FSVolumeRefNum volume = 0;
              SInt32 dirID = 0;
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

// --- exchanges ---------------------------------------------------------------

/// Node ID of the object at `path`, read through a catalog read.
UInt32 nodeIDAt(const std::string &path) {
  FSRef ref;
  FSCatalogInfo info;
  if (refFor(path, ref) != noErr ||
      FSGetCatalogInfo(&ref, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr) != noErr)
    return 0;
  return info.nodeID;
}

TEST_P(FileIDs, IDsStayWithThePlacesThroughExchanges) {
  FSRef a, b, c;
  ASSERT_EQ(createFile(root_, "a", &a), noErr);
  ASSERT_EQ(createFile(root_, "b", &b), noErr);
  ASSERT_EQ(createFile(root_, "c", &c), noErr);
  const UInt32 nodeA = nodeIDAt(dir_ / "a"), nodeB = nodeIDAt(dir_ / "b"),
               nodeC = nodeIDAt(dir_ / "c");
  SInt32 idA = 0, idB = 0, again = 0;
  ASSERT_EQ(create("a", idA), noErr);
  EXPECT_EQ(static_cast<UInt32>(idA), nodeA);

  ASSERT_EQ(FSExchangeObjects(&a, &b), noErr);
  EXPECT_EQ(create("a", again), fidExists);
  EXPECT_EQ(again, idA);
  ASSERT_EQ(create("b", idB), noErr); // b had none: the mark did not come along
  EXPECT_EQ(static_cast<UInt32>(idB), nodeB);
  // Three places, their inodes moved round a cycle.
  ASSERT_EQ(FSExchangeObjects(&b, &c), noErr);
  EXPECT_EQ(create("b", again), fidExists);
  EXPECT_EQ(again, idB);
  SInt32 idC = 0;
  EXPECT_EQ(create("c", idC), noErr);
  EXPECT_EQ(static_cast<UInt32>(idC), nodeC);

  EXPECT_EQ(nodeIDAt(dir_ / "a"), nodeA);
  EXPECT_EQ(nodeIDAt(dir_ / "b"), nodeB);
  EXPECT_EQ(nodeIDAt(dir_ / "c"), nodeC);
  SInt32 parent;
  std::string name;
  for (auto [id, place] : {std::pair{idA, "a"}, std::pair{idB, "b"}, std::pair{idC, "c"}}) {
    ASSERT_EQ(resolve(id, parent, name), noErr) << place;
    EXPECT_EQ(name, place);
  }
  // The inodes did move: the node IDs are no longer the inode numbers.
  EXPECT_NE(inode("a"), std::to_string(nodeA));

  // A copy that carries the attributes along is a file of its own.
  ASSERT_EQ(shell("cp --preserve=xattr '" + (dir_ / "a") + "' '" + (dir_ / "copy") + "' && echo ok"),
            "ok");
  EXPECT_EQ(std::to_string(nodeIDAt(dir_ / "copy")), inode("copy"));
  SInt32 copyID = 0;
  EXPECT_EQ(create("copy", copyID), noErr);

  // Exchanged back, each inode is home again: no record is left.
  ASSERT_EQ(FSExchangeObjects(&b, &c), noErr);
  ASSERT_EQ(FSExchangeObjects(&a, &b), noErr);
  EXPECT_EQ(inode("a"), std::to_string(nodeA));
  EXPECT_EQ(create("a", again), fidExists);
  EXPECT_EQ(again, idA);
  char raw[128];
  ssize_t n = getxattr((dir_ / "c").c_str(), "user.quillmate.meta", raw, sizeof raw);
  EXPECT_TRUE(n < 0 || n == 56) << n; // version 1 again, or nothing
}

TEST_P(FileIDs, AFileOnTheInodeOfADeletedExchangedFileGetsAnotherID) {
  FSRef a, b;
  ASSERT_EQ(createFile(root_, "a", &a), noErr);
  ASSERT_EQ(createFile(root_, "b", &b), noErr);
  const std::string inodeA = inode("a");
  SInt32 idA = 0;
  ASSERT_EQ(create("a", idA), noErr);
  ASSERT_EQ(FSExchangeObjects(&a, &b), noErr);
  ASSERT_EQ(inode("b"), inodeA);
  ASSERT_EQ(FSDeleteObject(&b), noErr);
  // ext4 hands the freed inode to one of the next files; tmpfs never reuses.
  std::set<UInt32> ids{static_cast<UInt32>(idA)};
  bool reused = false;
  for (int i = 0; i < 8; ++i) {
    const std::string name = "new" + std::to_string(i);
    ASSERT_EQ(createFile(root_, name.c_str()), noErr);
    reused |= inode(name) == inodeA;
    EXPECT_TRUE(ids.insert(nodeIDAt(dir_ / name)).second) << name << " shares an ID";
  }
  SInt32 parent;
  std::string name;
  ASSERT_EQ(resolve(idA, parent, name), noErr);
  EXPECT_EQ(name, "a");
  if (!reused)
    std::printf("(no new file got the freed inode here)\n");
}

/// Runs this test binary again with `filter` and the environment `env`,
/// answering its output; "[  PASSED  ]" in it when every test passed.
std::string runFreshProcess(const std::string &filter, const std::string &env) {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0)
    return "<no /proc/self/exe>";
  self[n] = '\0';
  return shell(env + " '" + self + "' --gtest_filter='" + filter + "' 2>&1");
}

TEST_P(FileIDs, IDsStayWithThePlacesInAFreshProcess) {
  FSRef a, b, c;
  ASSERT_EQ(createFile(root_, "a", &a), noErr);
  ASSERT_EQ(createFile(root_, "b", &b), noErr);
  ASSERT_EQ(createFile(root_, "c", &c), noErr);
  SInt32 idA = 0, idB = 0;
  ASSERT_EQ(create("a", idA), noErr);
  ASSERT_EQ(create("b", idB), noErr);
  const UInt32 nodeC = nodeIDAt(dir_ / "c");
  ASSERT_EQ(FSExchangeObjects(&a, &b), noErr);
  ASSERT_EQ(FSExchangeObjects(&b, &c), noErr);
  const std::string env = "QUILLMATE_IDS_DIR='" + dir_.path() + "' QUILLMATE_IDS='" +
                          std::to_string(idA) + " " + std::to_string(idB) + " " +
                          std::to_string(nodeC) + "'";
  const std::string out = runFreshProcess("FreshProcess.*", env);
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
  EXPECT_EQ(out.find("[  FAILED  ]"), std::string::npos) << out;
}

// Runs only inside FileIDs.IDsStayWithThePlacesInAFreshProcess: meets the
// three exchanged files as a walk does (no IDs read), then by ID.
TEST(FreshProcess, SeesTheIDsOfThePlaces) {
  const char *dir = std::getenv("QUILLMATE_IDS_DIR");
  const char *ids = std::getenv("QUILLMATE_IDS");
  if (!dir || !ids)
    GTEST_SKIP() << "runs inside FileIDs.IDsStayWithThePlacesInAFreshProcess";
  UInt32 expected[3] = {};
  ASSERT_EQ(std::sscanf(ids, "%u %u %u", &expected[0], &expected[1], &expected[2]), 3);
  FSRef root;
  ASSERT_EQ(refFor(dir, root), noErr);
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(folderIDs(root, volume, dirID), noErr);
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root, kFSIterateFlat, &it), noErr);
  FSCatalogInfo infos[8];
  FSRef refs[8];
  ItemCount count = 0;
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 8, &count, nullptr, kFSCatInfoNodeFlags, infos, refs,
                                 nullptr, nullptr),
            errFSNoMoreItems);
  FSCloseIterator(it);
  ASSERT_EQ(count, 3u);

  // By ID first, before any catalog read settled the files' IDs.
  const char *places[3] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    HParamBlockRec pb{};
    Str255 name = {};
    pb.fidParam.ioVRefNum = volume;
    pb.fidParam.ioFileID = static_cast<SInt32>(expected[i]);
    pb.fidParam.ioNamePtr = name;
    ASSERT_EQ(PBResolveFileIDRefSync(&pb), noErr) << places[i];
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(name + 1), name[0]), places[i]);
    EXPECT_EQ(pb.fidParam.ioSrcDirID, dirID);
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(nodeIDAt(std::string(dir) + "/" + places[i]), expected[i]) << places[i];
    HParamBlockRec pb{};
    PascalName p(places[i]);
    pb.fidParam.ioVRefNum = volume;
    pb.fidParam.ioSrcDirID = dirID;
    pb.fidParam.ioNamePtr = p.bytes;
    // a and b were given IDs before the exchanges; c was not.
    EXPECT_EQ(PBCreateFileIDRefSync(&pb), i < 2 ? OSErr(fidExists) : OSErr(noErr)) << places[i];
    EXPECT_EQ(static_cast<UInt32>(pb.fidParam.ioFileID), expected[i]);
  }
}

} // namespace
