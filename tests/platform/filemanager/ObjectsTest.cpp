// Creating, deleting, renaming, moving and exchanging, on ext4 and tmpfs; and
// references that follow objects or fail safely.
#include "FileManagerTestSupport.h"

#include <sys/xattr.h>

using namespace fmtest;

namespace {

class Objects : public OnEachFileSystem {};

INSTANTIATE_TEST_SUITE_P(FileSystems, Objects, ::testing::ValuesIn(bases()));

TEST_P(Objects, CreateGivesReferenceSpecAndFolderID) {
  FSCatalogInfo info{};
  FileInfo fi{};
  fi.fileType = 0x54455854;
  std::memcpy(info.finderInfo, &fi, 16);
  std::u16string name = u16("new.txt");
  FSRef file;
  FSSpec spec;
  ASSERT_EQ(FSCreateFileUnicode(&root_, name.size(), units(name), kFSCatInfoFinderInfo, &info,
                                &file, &spec),
            noErr);
  EXPECT_TRUE(exists(dir_ / "new.txt"));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(spec.name + 1), spec.name[0]), "new.txt");
  FSCatalogInfo back;
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoFinderInfo, &back, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(std::memcmp(back.finderInfo, info.finderInfo, 16), 0);
  EXPECT_EQ(FSCreateFileUnicode(&root_, name.size(), units(name), 0, nullptr, nullptr, nullptr),
            dupFNErr);

  std::u16string dname = u16("folder");
  FSRef folder;
  UInt32 dirID = 0;
  ASSERT_EQ(FSCreateDirectoryUnicode(&root_, dname.size(), units(dname), 0, nullptr, &folder,
                                     nullptr, &dirID),
            noErr);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "folder").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoNodeID, &back, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(+back.nodeID, dirID);
  // The new folder is found by its ID.
  FSCatalogInfo vol;
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoVolume, &vol, nullptr, nullptr, nullptr), noErr);
  FSRefParam pb{};
  FSRef byID;
  pb.ioVRefNum = vol.volume;
  pb.ioDirID = static_cast<SInt32>(dirID);
  pb.newRef = &byID;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  EXPECT_EQ(FSCompareFSRefs(&byID, &folder), noErr);

  // Inside a file: not a folder.
  EXPECT_EQ(createFile(file, "x"), dirNFErr);
}

TEST_P(Objects, ReferencesFollowRenamesAndMovesMadeThroughTheLayer) {
  FSRef folder, sub, file;
  ASSERT_EQ(createDir(root_, "a", &folder), noErr);
  ASSERT_EQ(createDir(root_, "b", &sub), noErr);
  ASSERT_EQ(createFile(folder, "f", &file), noErr);
  std::string base = pathOf(root_);

  std::u16string n = u16("renamed");
  FSRef newRef;
  ASSERT_EQ(FSRenameUnicode(&file, n.size(), units(n), kTextEncodingUnknown, &newRef), noErr);
  EXPECT_EQ(FSCompareFSRefs(&file, &newRef), noErr);
  EXPECT_EQ(pathOf(file), base + "/a/renamed");

  ASSERT_EQ(FSMoveObject(&file, &sub, &newRef), noErr);
  EXPECT_EQ(pathOf(file), base + "/b/renamed");
  EXPECT_TRUE(exists(dir_ / "b/renamed"));

  // Renaming a folder keeps the references of what is inside it.
  std::u16string bn = u16("c");
  ASSERT_EQ(FSRenameUnicode(&sub, bn.size(), units(bn), 0, nullptr), noErr);
  EXPECT_EQ(pathOf(file), base + "/c/renamed");
  FSCatalogInfo info;
  EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr), noErr);

  // Metadata and resource fork travel with the object.
  FSCatalogInfo set{};
  set.finderInfo[0] = 0x42;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoFinderInfo, &set), noErr);
  ASSERT_EQ(setxattr((dir_ / "c/renamed").c_str(), "user.quillmate.rsrc", "RSRC", 4, 0), 0);
  ASSERT_EQ(FSMoveObject(&file, &folder, nullptr), noErr);
  ASSERT_EQ(FSRenameUnicode(&file, n.size() - 1, units(n), 0, nullptr), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoFinderInfo | kFSCatInfoRsrcSizes, &info, nullptr,
                             nullptr, nullptr),
            noErr);
  EXPECT_EQ(info.finderInfo[0], 0x42);
  EXPECT_EQ(+info.rsrcLogicalSize, 4u);
  EXPECT_EQ(pathOf(file), base + "/a/rename");
}

TEST_P(Objects, AReferenceFailsSafelyAfterAnOutsideChange) {
  FSRef file;
  ASSERT_EQ(createFile(root_, "victim", &file), noErr);
  // Replaced at once: the inode number is usually reused.
  ASSERT_EQ(unlink((dir_ / "victim").c_str()), 0);
  writeFile(dir_ / "victim", "new contents");
  FSCatalogInfo info;
  EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), fnfErr);
  EXPECT_EQ(FSDeleteObject(&file), fnfErr);
  std::u16string n = u16("moved");
  EXPECT_EQ(FSRenameUnicode(&file, n.size(), units(n), 0, nullptr), fnfErr);
  EXPECT_EQ(readFile(dir_ / "victim"), "new contents");

  // Renamed outside: the reference no longer reaches it, and names nothing else.
  FSRef other;
  ASSERT_EQ(refFor(dir_ / "victim", other), noErr);
  ASSERT_EQ(rename((dir_ / "victim").c_str(), (dir_ / "elsewhere").c_str()), 0);
  writeFile(dir_ / "victim", "third");
  EXPECT_EQ(FSGetCatalogInfo(&other, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr), fnfErr);
  EXPECT_EQ(FSDeleteObject(&other), fnfErr);
  EXPECT_TRUE(exists(dir_ / "victim"));
  EXPECT_TRUE(exists(dir_ / "elsewhere"));
  // Meeting the object again through a lookup gives a working reference.
  FSRef again;
  ASSERT_EQ(child(root_, "elsewhere", again), noErr);
  EXPECT_EQ(FSGetCatalogInfo(&again, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), noErr);
}

// Each name of a hard-linked file is an object with its own reference and
// path; both show the inode number as node ID, as stat does.
TEST_P(Objects, HardLinkedNamesAreObjectsOfTheirOwn) {
  writeFile(dir_ / "one", "data");
  ASSERT_EQ(link((dir_ / "one").c_str(), (dir_ / "two").c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "one").c_str(), &st), 0);
  FSRef one, two;
  ASSERT_EQ(child(root_, "one", one), noErr);
  ASSERT_EQ(child(root_, "two", two), noErr);
  EXPECT_EQ(FSCompareFSRefs(&one, &two), errFSRefsDifferent);
  EXPECT_EQ(pathOf(one), dir_ / "one");
  EXPECT_EQ(pathOf(two), dir_ / "two");
  for (const FSRef *ref : {&one, &two}) {
    FSCatalogInfo info;
    FSSpec spec;
    ASSERT_EQ(FSGetCatalogInfo(ref, kFSCatInfoNodeID, &info, nullptr, &spec, nullptr), noErr);
    EXPECT_EQ(info.nodeID, static_cast<UInt32>(st.st_ino));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(spec.name + 1), spec.name[0]),
              ref == &one ? "one" : "two");
  }

  // A listing gives both, each with the reference its name has.
  const Listing listed = listFolder(root_, 4);
  ASSERT_EQ(listed.refs.size(), 2u);
  EXPECT_EQ(fromUni(listed.names[0]), u"one");
  EXPECT_EQ(FSCompareFSRefs(&listed.refs[0], &one), noErr);
  EXPECT_EQ(FSCompareFSRefs(&listed.refs[1], &two), noErr);

  // The forks are the file's: one writer, whichever name it came through.
  FSIORefNum fork, second;
  ASSERT_EQ(FSOpenFork(&one, 0, nullptr, fsRdWrPerm, &fork), noErr);
  EXPECT_EQ(FSOpenFork(&two, 0, nullptr, fsRdWrPerm, &second), opWrErr);
  FSCatalogInfo flags;
  ASSERT_EQ(FSGetCatalogInfo(&two, kFSCatInfoNodeFlags, &flags, nullptr, nullptr, nullptr), noErr);
  EXPECT_TRUE(flags.nodeFlags & kFSNodeDataOpenMask);
  ASSERT_EQ(FSCloseFork(fork), noErr);

  // Deleting one name leaves the other, and its reference.
  ASSERT_EQ(FSDeleteObject(&two), noErr);
  EXPECT_FALSE(exists(dir_ / "two"));
  EXPECT_EQ(readFile(dir_ / "one"), "data");
  EXPECT_EQ(FSGetCatalogInfo(&two, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), fnfErr);
  EXPECT_EQ(pathOf(one), dir_ / "one");

  // With one name left it is an object like any other: renamed outside the
  // layer, it is met again as the same object.
  ASSERT_EQ(rename((dir_ / "one").c_str(), (dir_ / "single").c_str()), 0);
  FSRef again;
  ASSERT_EQ(child(root_, "single", again), noErr);
  EXPECT_EQ(FSCompareFSRefs(&again, &one), noErr);
  EXPECT_EQ(pathOf(one), dir_ / "single");
}

// After an exchange a file shows the ID of its place, recorded for its inode;
// another name given to that inode shows the same ID, in this process as in
// any other.
TEST_P(Objects, AHardLinkToAnExchangedFileSharesItsID) {
  FSRef x, y, z;
  ASSERT_EQ(createFile(root_, "x", &x), noErr);
  ASSERT_EQ(createFile(root_, "y", &y), noErr);
  FSCatalogInfo before;
  ASSERT_EQ(FSGetCatalogInfo(&x, kFSCatInfoNodeID, &before, nullptr, nullptr, nullptr), noErr);
  ASSERT_EQ(FSExchangeObjects(&x, &y), noErr);
  ASSERT_EQ(link((dir_ / "x").c_str(), (dir_ / "z").c_str()), 0);
  ASSERT_EQ(child(root_, "z", z), noErr);
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&z, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(info.nodeID, before.nodeID);
  ASSERT_EQ(FSGetCatalogInfo(&x, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(info.nodeID, before.nodeID);
  EXPECT_EQ(FSCompareFSRefs(&x, &z), errFSRefsDifferent);
}

// Names without a one-byte form are mangled with the node ID, which hard-
// linked names share: each mangled name still finds its own name.
TEST_P(Objects, MangledNamesOfHardLinksFindTheirOwnName) {
  writeFile(dir_ / "文件1.txt", "x");
  ASSERT_EQ(link((dir_ / "文件1.txt").c_str(), (dir_ / "文件2.txt").c_str()), 0);
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(folderIDs(root_, volume, dirID), noErr);
  for (const char *name : {"文件1.txt", "文件2.txt"}) {
    FSRef ref, found;
    ASSERT_EQ(child(root_, name, ref), noErr);
    FSSpec spec;
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr), noErr);
    ASSERT_NE(std::memchr(spec.name + 1, '#', spec.name[0]), nullptr) << name;
    FSRefParam pb{};
    pb.ioVRefNum = volume;
    pb.ioDirID = dirID;
    pb.ioNamePtr = spec.name;
    pb.newRef = &found;
    ASSERT_EQ(PBMakeFSRefSync(&pb), noErr) << name;
    EXPECT_EQ(pathOf(found), dir_ / name);
  }
}

TEST_P(Objects, RenameNeverReplacesAndDeleteRefusesNonEmptyFolders) {
  FSRef a, b, folder;
  ASSERT_EQ(createFile(root_, "a", &a), noErr);
  ASSERT_EQ(createFile(root_, "b", &b), noErr);
  std::u16string bn = u16("b");
  EXPECT_EQ(FSRenameUnicode(&a, bn.size(), units(bn), 0, nullptr), dupFNErr);
  EXPECT_TRUE(exists(dir_ / "a"));
  std::u16string an = u16("a");
  EXPECT_EQ(FSRenameUnicode(&a, an.size(), units(an), 0, nullptr), noErr);
  EXPECT_EQ(FSRenameUnicode(&a, 0, units(an), 0, nullptr), bdNamErr);

  ASSERT_EQ(createDir(root_, "d", &folder), noErr);
  ASSERT_EQ(createFile(folder, "x"), noErr);
  EXPECT_EQ(FSDeleteObject(&folder), fBsyErr);
  EXPECT_TRUE(exists(dir_ / "d/x"));
  EXPECT_EQ(FSDeleteObject(&a), noErr);
  EXPECT_FALSE(exists(dir_ / "a"));
  EXPECT_EQ(FSDeleteObject(&a), fnfErr);
  FSCatalogInfo info;
  EXPECT_EQ(FSGetCatalogInfo(&a, kFSCatInfoNone, &info, nullptr, nullptr, nullptr), fnfErr);
}

TEST_P(Objects, MovesStayOnTheirVolumeAndOutOfTheirOwnSubtree) {
  FSRef outer, inner, file, clash;
  ASSERT_EQ(createDir(root_, "outer", &outer), noErr);
  ASSERT_EQ(createDir(outer, "inner", &inner), noErr);
  ASSERT_EQ(createFile(root_, "f", &file), noErr);
  EXPECT_EQ(FSMoveObject(&outer, &inner, nullptr), badMovErr);
  EXPECT_EQ(FSMoveObject(&outer, &outer, nullptr), badMovErr);
  EXPECT_EQ(FSMoveObject(&outer, &file, nullptr), dirNFErr);
  ASSERT_EQ(createFile(inner, "f", &clash), noErr);
  EXPECT_EQ(FSMoveObject(&file, &inner, nullptr), dupFNErr);
  EXPECT_TRUE(exists(dir_ / "f"));
  // Moving into the folder it is in already changes nothing.
  EXPECT_EQ(FSMoveObject(&file, &root_, nullptr), noErr);

  TempDir other(GetParam() == "/tmp" ? "/dev/shm" : "/tmp");
  FSRef elsewhere;
  ASSERT_EQ(refFor(other.path(), elsewhere), noErr);
  EXPECT_EQ(FSMoveObject(&file, &elsewhere, nullptr), diffVolErr);
  EXPECT_TRUE(exists(dir_ / "f"));
}

TEST_P(Objects, ASymbolicLinkIsAnObjectOfItsOwn) {
  TempDir outside(GetParam());
  writeFile(outside / "keep", "precious");
  ASSERT_EQ(symlink(outside.path().c_str(), (dir_ / "link").c_str()), 0);
  FSRef link;
  ASSERT_EQ(child(root_, "link", link), noErr);
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&link, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &info, nullptr,
                             nullptr, nullptr),
            noErr);
  EXPECT_EQ(info.nodeFlags, 0); // a file, not a folder
  FileInfo fi;
  std::memcpy(&fi, info.finderInfo, sizeof fi);
  EXPECT_EQ(fi.fileType, 0x736c6e6bu);
  FSRef through;
  EXPECT_NE(child(link, "keep", through), noErr); // never followed
  EXPECT_EQ(FSOpenIterator(&link, 0, nullptr), paramErr);
  FSIterator it;
  EXPECT_EQ(FSOpenIterator(&link, kFSIterateDelete, &it), errFSNotAFolder);
  EXPECT_EQ(FSDeleteObject(&link), noErr);
  EXPECT_FALSE(exists(dir_ / "link"));
  EXPECT_EQ(readFile(outside / "keep"), "precious");
}

TEST_P(Objects, ExchangeSwapsContentsAndKeepsWhatBelongsToThePlaces) {
  FSRef sub;
  ASSERT_EQ(createDir(root_, "sub", &sub), noErr);
  writeFile(dir_ / "one", "first contents");
  writeFile(dir_ / "sub/two", "second");
  ASSERT_EQ(chmod((dir_ / "one").c_str(), 0640), 0);
  ASSERT_EQ(chmod((dir_ / "sub/two").c_str(), 0604), 0);
  struct timespec t1[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  struct timespec t2[2] = {{0, UTIME_OMIT}, {1100000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "one").c_str(), t1, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "sub/two").c_str(), t2, 0), 0);
  ASSERT_EQ(setxattr((dir_ / "one").c_str(), "user.quillmate.rsrc", "R1", 2, 0), 0);
  FSRef one, two;
  ASSERT_EQ(refFor(dir_ / "one", one), noErr);
  ASSERT_EQ(refFor(dir_ / "sub/two", two), noErr);
  FSCatalogInfo set{};
  set.finderInfo[0] = 1;
  set.createDate = {0, 100, 0};
  ASSERT_EQ(FSSetCatalogInfo(&one, kFSCatInfoFinderInfo | kFSCatInfoCreateDate, &set), noErr);
  FSCatalogInfo before1, before2;
  const FSCatalogInfoBitmap bits = kFSCatInfoNodeID | kFSCatInfoCreateDate |
                                   kFSCatInfoFinderInfo | kFSCatInfoPermissions |
                                   kFSCatInfoContentMod | kFSCatInfoDataSizes | kFSCatInfoRsrcSizes;
  ASSERT_EQ(FSGetCatalogInfo(&one, bits, &before1, nullptr, nullptr, nullptr), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&two, bits, &before2, nullptr, nullptr, nullptr), noErr);

  ASSERT_EQ(FSExchangeObjects(&one, &two), noErr);
  EXPECT_EQ(readFile(dir_ / "one"), "second");
  EXPECT_EQ(readFile(dir_ / "sub/two"), "first contents");
  FSCatalogInfo after1, after2;
  ASSERT_EQ(FSGetCatalogInfo(&one, bits, &after1, nullptr, nullptr, nullptr), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&two, bits, &after2, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(pathOf(one), pathOf(root_) + "/one");
  // With the places: node ID, creation date, Finder information, permissions.
  EXPECT_EQ(+after1.nodeID, +before1.nodeID);
  EXPECT_EQ(+after2.nodeID, +before2.nodeID);
  EXPECT_EQ(+after1.createDate.lowSeconds, 100u);
  EXPECT_EQ(+after2.createDate.lowSeconds, +before2.createDate.lowSeconds);
  EXPECT_EQ(after1.finderInfo[0], 1);
  EXPECT_EQ(after2.finderInfo[0], 0);
  EXPECT_EQ(after1.permissions.mode & 07777, 0640);
  EXPECT_EQ(after2.permissions.mode & 07777, 0604);
  // With the contents: sizes, both forks, content date.
  EXPECT_EQ(+after1.dataLogicalSize, 6u);
  EXPECT_EQ(+after1.rsrcLogicalSize, 0u);
  EXPECT_EQ(+after2.rsrcLogicalSize, 2u);
  EXPECT_EQ(+after1.contentModDate.lowSeconds, +before2.contentModDate.lowSeconds);
  EXPECT_EQ(+after2.contentModDate.lowSeconds, +before1.contentModDate.lowSeconds);

  EXPECT_EQ(FSExchangeObjects(&one, &sub), notAFileErr);
  TempDir other(GetParam() == "/tmp" ? "/dev/shm" : "/tmp");
  writeFile(other / "x", "");
  FSRef far;
  ASSERT_EQ(refFor(other / "x", far), noErr);
  EXPECT_EQ(FSExchangeObjects(&one, &far), diffVolErr);
  FSCatalogInfo lock{};
  lock.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&two, kFSCatInfoNodeFlags, &lock), noErr);
  EXPECT_EQ(FSExchangeObjects(&one, &two), fLckdErr);
  EXPECT_EQ(readFile(dir_ / "one"), "second");
}

} // namespace

namespace {

TEST(DeepTrees, FoldersBeyondTheDescriptorCacheStillResolve) {
  TempDir dir;
  std::string path = dir.path();
  for (int i = 0; i < 100; ++i) {
    path += "/level" + std::to_string(i);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  FSRef deepest, root, file;
  ASSERT_EQ(refFor(path, deepest), noErr);
  ASSERT_EQ(refFor(dir.path(), root), noErr);
  ASSERT_EQ(createFile(deepest, "bottom", &file), noErr);
  // Touch many other folders so the cache turns over, then use both ends.
  for (int i = 0; i < 100; ++i) {
    FSRef sibling;
    ASSERT_EQ(createDir(root, ("side" + std::to_string(i)).c_str(), &sibling), noErr);
    ASSERT_EQ(createFile(sibling, "x"), noErr);
  }
  ASSERT_EQ(FSMoveObject(&file, &root, nullptr), noErr);
  EXPECT_TRUE(exists(dir / "bottom"));
  ASSERT_EQ(FSMoveObject(&file, &deepest, nullptr), noErr);
  EXPECT_TRUE(exists(path + "/bottom"));
  EXPECT_EQ(pathOf(file), pathOf(deepest) + "/bottom");
}

} // namespace
