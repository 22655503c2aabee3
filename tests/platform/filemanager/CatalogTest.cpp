// References, paths, names and catalog information on real folders of ext4
// (/tmp) and tmpfs (/dev/shm).
#include "FileManagerTestSupport.h"

#include "platform/text/TextTesting.h"

#include <sys/xattr.h>

#include <climits>

using namespace fmtest;
using quillmate::text::testing::ScriptVariablesOverride;

namespace {

class Catalog : public OnEachFileSystem {};

INSTANTIATE_TEST_SUITE_P(FileSystems, Catalog, ::testing::ValuesIn(bases()));

TEST_P(Catalog, PathsAndReferencesRoundTrip) {
  Boolean isDir = FALSE;
  FSRef again;
  ASSERT_EQ(refFor(dir_.path(), again, &isDir), noErr);
  EXPECT_TRUE(isDir);
  EXPECT_EQ(FSCompareFSRefs(&root_, &again), noErr);
  char real[PATH_MAX];
  ASSERT_TRUE(realpath(dir_.path().c_str(), real));
  EXPECT_EQ(pathOf(root_), real);

  writeFile(dir_ / "a.txt", "hello");
  FSRef file;
  ASSERT_EQ(refFor(dir_ / "a.txt", file, &isDir), noErr);
  EXPECT_FALSE(isDir);
  EXPECT_EQ(pathOf(file), std::string(real) + "/a.txt");
  EXPECT_EQ(FSCompareFSRefs(&root_, &file), errFSRefsDifferent);

  // A path through a symbolic link is followed; a missing one is fnfErr.
  ASSERT_EQ(symlink(dir_.path().c_str(), (dir_ / "link").c_str()), 0);
  FSRef viaLink;
  ASSERT_EQ(refFor(dir_ / "link/a.txt", viaLink), noErr);
  EXPECT_EQ(FSCompareFSRefs(&viaLink, &file), noErr);
  EXPECT_EQ(refFor(dir_ / "missing", again), fnfErr);
  EXPECT_EQ(FSPathMakeRef(nullptr, &again, nullptr), paramErr);

  UInt8 small[4];
  EXPECT_EQ(FSRefMakePath(&file, small, sizeof small), errFSNameTooLong);
  FSRef zero{};
  EXPECT_EQ(FSGetCatalogInfo(&zero, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr),
            errFSBadFSRef);
}

// What FSRefMakePath gives, FSPathMakeRef takes back, also past PATH_MAX: 40
// folders of 200-byte names make a path of about 8 KB.  A path that long
// resolves as a short one does (links, "..", relative paths, non-UTF-8 bytes)
// and is refused for the same reasons.
TEST_P(Catalog, PathsLongerThanPathMaxRoundTrip) {
  std::vector<FSRef> chain{root_};
  std::vector<std::string> names;
  for (int level = 0; level < 40; ++level) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%02d", level);
    names.push_back(prefix + std::string(198, 'x'));
    FSRef next;
    ASSERT_EQ(createDir(chain.back(), names.back().c_str(), &next), noErr);
    chain.push_back(next);
  }
  const FSRef deep = chain.back();
  std::vector<UInt8> buffer(16384);
  ASSERT_EQ(FSRefMakePath(&deep, buffer.data(), static_cast<UInt32>(buffer.size())), noErr);
  const std::string path(reinterpret_cast<const char *>(buffer.data()));
  EXPECT_GT(path.size(), size_t(PATH_MAX));
  Boolean isDir = FALSE;
  FSRef again;
  ASSERT_EQ(refFor(path, again, &isDir), noErr);
  EXPECT_TRUE(isDir);
  EXPECT_EQ(FSCompareFSRefs(&deep, &again), noErr);

  // The same objects at the end of a short path and of the long one.
  int fd = ::open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (const std::string &name : names) {
    int next = ::openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  const std::string odd = "\xff\xfe-not-utf8";
  ASSERT_EQ(::mkdirat(fd, odd.c_str(), 0755), 0);
  ASSERT_EQ(::symlinkat("..", fd, "up"), 0);
  ASSERT_EQ(::symlinkat(dir_.path().c_str(), fd, "home"), 0);
  const int top = ::open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (int at : {top, fd}) {
    ASSERT_EQ(::symlinkat("loop", at, "loop"), 0);
    ASSERT_EQ(::mknodat(at, "plain", S_IFREG | 0644, 0), 0);
  }
  ::close(top);
  struct stat oddStat;
  ASSERT_EQ(::fstatat(fd, odd.c_str(), &oddStat, 0), 0);

  FSRef ref;
  ASSERT_EQ(refFor(path + "/" + odd, ref), noErr);
  ASSERT_EQ(FSRefMakePath(&ref, buffer.data(), static_cast<UInt32>(buffer.size())), noErr);
  EXPECT_EQ(reinterpret_cast<const char *>(buffer.data()), path + "/" + odd);
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(UInt32{info.nodeID}, oddStat.st_ino);
  ASSERT_EQ(refFor(path + "/up/" + names.back() + "/", ref), noErr);
  EXPECT_EQ(FSCompareFSRefs(&ref, &deep), noErr);
  ASSERT_EQ(refFor(path + "/./..", ref), noErr);
  EXPECT_EQ(FSCompareFSRefs(&ref, &chain[chain.size() - 2]), noErr);
  ASSERT_EQ(refFor(path + "/home", ref), noErr);
  EXPECT_EQ(FSCompareFSRefs(&ref, &root_), noErr);
  for (const std::string &base : {dir_.path(), path}) {
    SCOPED_TRACE(base.size());
    EXPECT_EQ(refFor(base + "/missing", ref), fnfErr);
    EXPECT_EQ(refFor(base + "/plain/", ref), dirNFErr);
    EXPECT_EQ(refFor(base + "/plain/more", ref), dirNFErr);
    EXPECT_EQ(refFor(base + "/loop", ref), dirNFErr);
    EXPECT_EQ(refFor(base + "/" + std::string(256, 'n'), ref), bdNamErr);
  }

  // Relative to the current directory, as a short relative path is; and the
  // deep folder as the default folder.
  const int saved = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  const OSStatus relative = refFor(path.substr(dir_.path().size() + 1), ref);
  ASSERT_EQ(::fchdir(fd), 0);
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  const OSErr got = HGetVol(nullptr, &volume, &dirID);
  ASSERT_EQ(::fchdir(saved), 0);
  ::close(saved);
  ::close(fd);
  ASSERT_EQ(relative, noErr);
  EXPECT_EQ(FSCompareFSRefs(&ref, &deep), noErr);
  ASSERT_EQ(got, noErr);
  ASSERT_EQ(FSGetCatalogInfo(&deep, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(static_cast<UInt32>(dirID), UInt32{info.nodeID});
}

TEST_P(Catalog, VolumeRootHasDirectoryIDTwoAndNoParent) {
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr,
                             nullptr, nullptr),
            noErr);
  FSRefParam pb{};
  FSRef volumeRoot;
  pb.ioVRefNum = info.volume;
  pb.ioDirID = fsRtDirID;
  pb.newRef = &volumeRoot;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  EXPECT_EQ(pb.ioResult, noErr);
  FSCatalogInfo rootInfo;
  FSRef parent;
  std::memset(&parent, 0xFF, sizeof parent);
  ASSERT_EQ(FSGetCatalogInfo(&volumeRoot,
                             kFSCatInfoNodeID | kFSCatInfoParentDirID | kFSCatInfoNodeFlags |
                                 kFSCatInfoVolume,
                             &rootInfo, nullptr, nullptr, &parent),
            noErr);
  EXPECT_EQ(+rootInfo.nodeID, static_cast<UInt32>(fsRtDirID));
  EXPECT_EQ(+rootInfo.parentDirID, static_cast<UInt32>(fsRtParID));
  EXPECT_EQ(+rootInfo.volume, info.volume);
  EXPECT_LT(rootInfo.volume, 0);
  EXPECT_TRUE(rootInfo.nodeFlags & kFSNodeIsDirectoryMask);
  FSRef zero{};
  EXPECT_EQ(std::memcmp(&parent, &zero, sizeof zero), 0);
  // Two mounts are two volumes.
  if (GetParam() == "/dev/shm") {
    TempDir other("/tmp");
    FSRef otherRef;
    FSCatalogInfo otherInfo;
    ASSERT_EQ(refFor(other.path(), otherRef), noErr);
    ASSERT_EQ(FSGetCatalogInfo(&otherRef, kFSCatInfoVolume, &otherInfo, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_NE(otherInfo.volume, info.volume);
  }
}

TEST_P(Catalog, FieldsOfAFileComeFromStatxAndOnlyRequestedOnesAreWritten) {
  writeFile(dir_ / "data", "12345");
  ASSERT_EQ(chmod((dir_ / "data").c_str(), 0640), 0);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "data").c_str(), &st), 0);
  FSRef file;
  ASSERT_EQ(refFor(dir_ / "data", file), noErr);

  FSCatalogInfo info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(+info.nodeID, static_cast<UInt32>(st.st_ino));
  EXPECT_EQ(+info.nodeFlags, 0xABAB);
  EXPECT_EQ(+info.dataLogicalSize, 0xABABABABABABABABull);

  FSCatalogInfo dirInfo;
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoNodeID, &dirInfo, nullptr, nullptr, nullptr), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoGettableInfo, &info, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(+info.nodeFlags, 0);
  EXPECT_EQ(+info.parentDirID, dirInfo.nodeID);
  EXPECT_EQ(+info.dataLogicalSize, 5u);
  EXPECT_EQ(+info.rsrcLogicalSize, 0u);
  EXPECT_EQ(+info.permissions.userID, st.st_uid);
  EXPECT_EQ(+info.permissions.groupID, st.st_gid);
  EXPECT_EQ(+info.permissions.mode, st.st_mode);
  EXPECT_EQ(info.permissions.mode & 07777, 0640);
  UInt64 mod = (static_cast<UInt64>(info.contentModDate.highSeconds) << 32) |
               info.contentModDate.lowSeconds;
  EXPECT_EQ(mod, static_cast<UInt64>(st.st_mtim.tv_sec) + 2082844800u);
  EXPECT_EQ(+info.textEncodingHint, 0u);
  UInt8 zeros[16] = {};
  EXPECT_EQ(std::memcmp(info.finderInfo, zeros, 16), 0);
  // Without metadata, no attribute appears.
  EXPECT_LT(getxattr((dir_ / "data").c_str(), "user.quillmate.meta", nullptr, 0), 0);

  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  writeFile(dir_ / "sub/x", "");
  writeFile(dir_ / "sub/y", "");
  FSRef sub;
  ASSERT_EQ(refFor(dir_ / "sub", sub), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&sub, kFSCatInfoNodeFlags | kFSCatInfoValence | kFSCatInfoDataSizes,
                             &info, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(+info.nodeFlags, kFSNodeIsDirectoryMask);
  EXPECT_EQ(+info.valence, 2u);
  EXPECT_EQ(+info.dataLogicalSize, 0u);
}

TEST_P(Catalog, SettableFieldsRoundTripThroughTheMetadataRecord) {
  writeFile(dir_ / "f", "x");
  FSRef file;
  ASSERT_EQ(refFor(dir_ / "f", file), noErr);
  FSCatalogInfo info{};
  FileInfo fi{};
  fi.fileType = 0x54455854;   // 'TEXT'
  fi.fileCreator = 0x74747874; // 'ttxt'
  fi.finderFlags = kIsInvisible;
  std::memcpy(info.finderInfo, &fi, 16);
  info.extFinderInfo[3] = 7;
  info.createDate = {0, 3000000000u, 0x8000};
  info.backupDate = {1, 5, 0};
  info.contentModDate = {0, 3100000000u, 0};
  info.accessDate = {0, 3200000000u, 0};
  info.attributeModDate = {0, 1, 0}; // not settable: ignored
  info.textEncodingHint = 0x0103;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoSettableInfo & ~kFSCatInfoPermissions &
                                        ~kFSCatInfoNodeFlags,
                             &info),
            noErr);

  FSCatalogInfo back;
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoGettableInfo, &back, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(std::memcmp(back.finderInfo, info.finderInfo, 16), 0);
  EXPECT_EQ(std::memcmp(back.extFinderInfo, info.extFinderInfo, 16), 0);
  EXPECT_EQ(+back.createDate.lowSeconds, 3000000000u);
  EXPECT_EQ(+back.createDate.fraction, 0x8000);
  EXPECT_EQ(+back.backupDate.highSeconds, 1);
  EXPECT_EQ(+back.backupDate.lowSeconds, 5u);
  EXPECT_EQ(+back.contentModDate.lowSeconds, 3100000000u);
  EXPECT_EQ(+back.accessDate.lowSeconds, 3200000000u);
  EXPECT_NE(+back.attributeModDate.lowSeconds, 1u);
  EXPECT_EQ(+back.textEncodingHint, 0x0103u);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 3100000000ll - 2082844800ll);

  // The record's documented layout; the Finder information is not in it
  // but in netatalk's attribute, big-endian at 0x7a.
  unsigned char raw[128];
  ssize_t n = getxattr((dir_ / "f").c_str(), "user.quillmate.meta", raw, sizeof raw);
  ASSERT_EQ(n, 56);
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(raw[1], 0x02 | 0x04);
  EXPECT_EQ(raw[4] | (raw[5] << 8), 0x0103);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(raw + 8), 32), std::string(32, '\0'));
  unsigned char netatalk[512];
  ASSERT_EQ(getxattr((dir_ / "f").c_str(), "user.org.netatalk.Metadata", netatalk, sizeof netatalk),
            402);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(netatalk + 0x7a), 10),
            std::string("TEXTttxt\x40\0", 10));
  EXPECT_EQ(netatalk[0x7a + 16 + 2], 7); // the second reserved field, swapped

  // Back to defaults: the attribute goes away.
  FSCatalogInfo defaults{};
  ASSERT_EQ(FSSetCatalogInfo(&file,
                             kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo |
                                 kFSCatInfoTextEncoding | kFSCatInfoBackupDate,
                             &defaults),
            noErr);
  // The creation date stays set (it was given), so the record remains.
  EXPECT_EQ(getxattr((dir_ / "f").c_str(), "user.quillmate.meta", raw, sizeof raw), 56);
}

TEST_P(Catalog, LockingAFileClearsAndRestoresItsWriteBits) {
  writeFile(dir_ / "f", "x");
  ASSERT_EQ(chmod((dir_ / "f").c_str(), 0664), 0);
  FSRef file;
  ASSERT_EQ(refFor(dir_ / "f", file), noErr);
  FSCatalogInfo info{};
  info.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &info), noErr);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(+info.nodeFlags, kFSNodeLockedMask);

  // A locked file refuses changes, even to root.
  std::u16string name = u16("g");
  EXPECT_EQ(FSRenameUnicode(&file, name.size(), units(name), kTextEncodingUnknown, nullptr),
            fLckdErr);
  EXPECT_EQ(FSDeleteObject(&file), fLckdErr);
  FSCatalogInfo fi{};
  fi.finderInfo[0] = 1;
  EXPECT_EQ(FSSetCatalogInfo(&file, kFSCatInfoFinderInfo, &fi), fLckdErr);
  EXPECT_TRUE(exists(dir_ / "f"));

  // The write that clears the lock may carry other fields.
  info.nodeFlags = 0;
  std::memcpy(info.finderInfo, fi.finderInfo, 16);
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &info), noErr);
  ASSERT_EQ(stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(info.finderInfo[0], 1);

  // A file made read-only outside shows as locked and unlocks to owner-writable.
  ASSERT_EQ(chmod((dir_ / "f").c_str(), 0400), 0);
  info.nodeFlags = 0;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &info), noErr);
  ASSERT_EQ(stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_P(Catalog, ALockedFolderKeepsItsContentsDeletable) {
  ASSERT_EQ(mkdir((dir_ / "d").c_str(), 0755), 0);
  writeFile(dir_ / "d/inside", "");
  FSRef folder, inside;
  ASSERT_EQ(refFor(dir_ / "d", folder), noErr);
  ASSERT_EQ(refFor(dir_ / "d/inside", inside), noErr);
  FSCatalogInfo info{};
  info.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&folder, kFSCatInfoNodeFlags, &info), noErr);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "d").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_EQ(+info.nodeFlags, kFSNodeIsDirectoryMask | kFSNodeLockedMask);
  EXPECT_EQ(FSDeleteObject(&inside), noErr);
  EXPECT_EQ(FSDeleteObject(&folder), fLckdErr);
  info.nodeFlags = 0;
  ASSERT_EQ(FSSetCatalogInfo(&folder, kFSCatInfoNodeFlags, &info), noErr);
  EXPECT_EQ(FSDeleteObject(&folder), noErr);
  EXPECT_FALSE(exists(dir_ / "d"));
}

TEST_P(Catalog, NamesMapBetweenTheApiAndTheDisk) {
  // '/' in the API is ':' on disk.
  FSRef slash;
  ASSERT_EQ(createFile(root_, "a/b", &slash), noErr);
  EXPECT_TRUE(exists(dir_ / "a:b"));
  HFSUniStr255 name;
  ASSERT_EQ(FSGetCatalogInfo(&slash, kFSCatInfoNone, nullptr, &name, nullptr, nullptr), noErr);
  EXPECT_EQ(fromUni(name), u"a/b");

  // A decomposed name finds the composed file that `touch` made, and a new
  // name is written composed.
  writeFile(dir_ / "caf\xc3\xa9", "");
  FSRef found;
  std::u16string decomposed = u"cafe\u0301";
  ASSERT_EQ(FSMakeFSRefUnicode(&root_, decomposed.size(), units(decomposed), kTextEncodingUnknown,
                               &found),
            noErr);
  EXPECT_EQ(pathOf(found), pathOf(root_) + "/caf\xc3\xa9");
  std::u16string other = u"ne\u0301e";
  ASSERT_EQ(FSCreateFileUnicode(&root_, other.size(), units(other), 0, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_TRUE(exists(dir_ / "n\xc3\xa9" "e"));
  EXPECT_EQ(FSCreateFileUnicode(&root_, decomposed.size(), units(decomposed), 0, nullptr, nullptr,
                                nullptr),
            dupFNErr);

  // A name that is not UTF-8 on disk can be listed and addressed back.
  writeFile(dir_ / "bad\xff", "z");
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root_, kFSIterateFlat, &it), noErr);
  HFSUniStr255 names[8];
  FSRef refs[8];
  ItemCount count = 0;
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 8, &count, nullptr, 0, nullptr, refs, nullptr, names),
            errFSNoMoreItems);
  ASSERT_EQ(FSCloseIterator(it), noErr);
  ASSERT_EQ(count, 4u);
  std::u16string bad;
  for (ItemCount i = 0; i < count; ++i)
    if (fromUni(names[i]).substr(0, 3) == u"bad")
      bad = fromUni(names[i]);
  ASSERT_EQ(bad, std::u16string(u"bad\xDCFF"));
  ASSERT_EQ(FSMakeFSRefUnicode(&root_, bad.size(), units(bad), 0, &found), noErr);
  EXPECT_EQ(pathOf(found), pathOf(root_) + "/bad\xff");

  // Names that have no place on disk.
  for (const std::u16string &n :
       {std::u16string(), std::u16string(u"."), std::u16string(u".."), std::u16string(u"a\0b", 3),
        std::u16string(u"a:b"), std::u16string(256, u'x'), std::u16string(86, u'\u20AC')}) {
    EXPECT_EQ(FSCreateFileUnicode(&root_, n.size(), units(n), 0, nullptr, nullptr, nullptr),
              bdNamErr)
        << n.size();
  }
  EXPECT_EQ(child(root_, "nothing", found), fnfErr);
}

TEST_P(Catalog, OneByteNamesAndTheirMangledForms) {
  ScriptVariablesOverride roman(smRoman, verUS);
  FSRef file;
  ASSERT_EQ(createFile(root_, "R\xc3\xa9sum\xc3\xa9.txt", &file), noErr);
  FSSpec spec;
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr), noErr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(spec.name + 1), spec.name[0]),
            "R\x8esum\x8e.txt"); // Mac OS Roman
  FSCatalogInfo dirInfo;
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoNodeID | kFSCatInfoVolume, &dirInfo, nullptr,
                             nullptr, nullptr),
            noErr);
  EXPECT_EQ(+spec.parID, static_cast<SInt32>(dirInfo.nodeID));
  EXPECT_EQ(+spec.vRefNum, dirInfo.volume);

  // Back through the one-byte call, with a name and without one.
  FSRefParam pb{};
  FSRef back;
  pb.ioVRefNum = spec.vRefNum;
  pb.ioDirID = spec.parID;
  pb.ioNamePtr = spec.name;
  pb.newRef = &back;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  EXPECT_EQ(FSCompareFSRefs(&back, &file), noErr);
  pb.ioNamePtr = nullptr;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  EXPECT_EQ(FSCompareFSRefs(&back, &root_), noErr);
  unsigned char missing[] = "\x04nope";
  pb.ioNamePtr = missing;
  EXPECT_EQ(PBMakeFSRefSync(&pb), fnfErr);
  EXPECT_EQ(pb.ioResult, fnfErr);
  pb.ioDirID = 0x7FFFFFF0; // never met: no search is made
  pb.ioNamePtr = nullptr;
  EXPECT_EQ(PBMakeFSRefSync(&pb), dirNFErr);

  // Too long, and a character without a one-byte form: mangled with the ID.
  FSRef longRef, euroRef;
  ASSERT_EQ(createFile(root_, "A name that is far too long for one byte.text", &longRef), noErr);
  ASSERT_EQ(createFile(root_, "\xe2\x88\x9e\xe2\x82\xac \xe4\xb8\xad.c", &euroRef), noErr);
  for (FSRef *r : {&longRef, &euroRef}) {
    FSCatalogInfo info;
    ASSERT_EQ(FSGetCatalogInfo(r, kFSCatInfoNodeID, &info, nullptr, &spec, nullptr), noErr);
    std::string one(reinterpret_cast<char *>(spec.name + 1), spec.name[0]);
    char tag[16];
    std::snprintf(tag, sizeof tag, "#%X", info.nodeID);
    EXPECT_LE(one.size(), 31u);
    EXPECT_NE(one.find(tag), std::string::npos) << one;
    pb.ioDirID = spec.parID;
    pb.ioNamePtr = spec.name;
    ASSERT_EQ(PBMakeFSRefSync(&pb), noErr) << one;
    EXPECT_EQ(FSCompareFSRefs(&back, r), noErr);
  }
  FSGetCatalogInfo(&longRef, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(spec.name + 1), spec.name[0]).substr(
                spec.name[0] - 5),
            ".text");
}

std::string bytesOf(const unsigned char *pascal) {
  return std::string(reinterpret_cast<const char *>(pascal + 1), pascal[0]);
}

// One-byte names are in the system script's encoding, the one the name
// converters use for kTextEncodingUnknown: a Cyrillic name is Mac Cyrillic
// under a Cyrillic script and mangled under a Roman one, and each form finds
// the file back.
TEST_P(Catalog, OneByteNamesAreInTheSystemScript) {
  FSRef cyrillic, latin;
  ASSERT_EQ(createFile(root_, "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb", &cyrillic), noErr); // файл
  ASSERT_EQ(createFile(root_, "R\xc3\xa9sum\xc3\xa9.txt", &latin), noErr);            // Résumé.txt
  const std::string macCyrillic = "\xf4\xe0\xe9\xeb", macRoman = "R\x8esum\x8e.txt";
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(folderIDs(root_, volume, dirID), noErr);
  auto specName = [](const FSRef &ref) {
    FSSpec spec{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr), noErr);
    return bytesOf(spec.name);
  };
  auto find = [&](const std::string &bytes, FSRef &out) {
    PascalName name(bytes);
    FSRefParam pb{};
    pb.ioVRefNum = volume;
    pb.ioDirID = dirID;
    pb.ioNamePtr = name.bytes;
    pb.newRef = &out;
    return PBMakeFSRefSync(&pb);
  };
  FSRef found;
  {
    ScriptVariablesOverride system(smCyrillic, verRussia);
    EXPECT_EQ(specName(cyrillic), macCyrillic);
    ASSERT_EQ(find(macCyrillic, found), noErr);
    EXPECT_EQ(FSCompareFSRefs(&found, &cyrillic), noErr);
    // No é in Mac Cyrillic: mangled, and found by the mangled form.
    std::string mangled = specName(latin);
    EXPECT_NE(mangled.find('#'), std::string::npos) << mangled;
    ASSERT_EQ(find(mangled, found), noErr) << mangled;
    EXPECT_EQ(FSCompareFSRefs(&found, &latin), noErr);
    EXPECT_EQ(find(macRoman, found), fnfErr) << "Mac Roman bytes read as Mac Cyrillic";
    // A file ID resolves to the name in the same encoding.
    HParamBlockRec id{};
    id.fidParam.ioVRefNum = volume;
    id.fidParam.ioSrcDirID = dirID;
    PascalName given(macCyrillic);
    id.fidParam.ioNamePtr = given.bytes;
    ASSERT_EQ(PBCreateFileIDRefSync(&id), noErr);
    Str255 resolved = {};
    id.fidParam.ioNamePtr = resolved;
    ASSERT_EQ(PBResolveFileIDRefSync(&id), noErr);
    EXPECT_EQ(bytesOf(resolved), macCyrillic);
  }
  {
    ScriptVariablesOverride system(smRoman, verUS);
    EXPECT_EQ(specName(latin), macRoman);
    std::string mangled = specName(cyrillic);
    EXPECT_NE(mangled.find('#'), std::string::npos) << mangled;
    ASSERT_EQ(find(mangled, found), noErr) << mangled;
    EXPECT_EQ(FSCompareFSRefs(&found, &cyrillic), noErr);
    EXPECT_EQ(find(macCyrillic, found), fnfErr) << "Mac Cyrillic bytes read as Mac Roman";
  }
}

} // namespace
