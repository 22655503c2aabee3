// Permission errors, checked as an unprivileged user: root passes every
// kernel check, so each case runs in a child process that drops to nobody.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/Syscalls.h"

#include <cstring>
#include <filesystem>
#include <grp.h>
#include <set>
#include <sys/wait.h>
#include <sys/xattr.h>

using namespace fmtest;

namespace {

class Permissions : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    if (geteuid() == 0) {
      ASSERT_EQ(chown(dir_.path().c_str(), kNobody, kNobody), 0);
    }
  }
  TempDir dir_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(FileSystems, Permissions, ::testing::ValuesIn(bases()));

TEST_P(Permissions, AnOwnerLocksAndUnlocksWithMetadata) {
  std::string path = dir_.path();
  EXPECT_EQ(asNobody([&]() -> int {
              FSRef root, file;
              if (refFor(path, root) != noErr || createFile(root, "f", &file) != noErr)
                return 1;
              chmod((path + "/f").c_str(), 0664);
              FSCatalogInfo info{};
              info.nodeFlags = kFSNodeLockedMask;
              info.finderInfo[0] = 9;
              if (FSSetCatalogInfo(&file, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &info))
                return 2;
              struct stat st;
              stat((path + "/f").c_str(), &st);
              if ((st.st_mode & 07777) != 0444)
                return 3;
              // Locked: refused, though the owner could chmod it back.
              FSCatalogInfo other{};
              if (FSSetCatalogInfo(&file, kFSCatInfoFinderInfo, &other) != fLckdErr)
                return 4;
              info.nodeFlags = 0;
              info.finderInfo[0] = 10;
              if (FSSetCatalogInfo(&file, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &info))
                return 5;
              stat((path + "/f").c_str(), &st);
              if ((st.st_mode & 07777) != 0664)
                return 6;
              FSCatalogInfo back;
              if (FSGetCatalogInfo(&file, kFSCatInfoFinderInfo | kFSCatInfoNodeFlags, &back,
                                   nullptr, nullptr, nullptr) ||
                  back.finderInfo[0] != 10 || back.nodeFlags != 0)
                return 7;
              return 0;
            }),
            0);
}

TEST_P(Permissions, AnOwnerCopiesALockedFilesAttributesWithTheLock) {
  // Everything settable, read from a locked file (permissions without write
  // bits), written onto an unlocked file of the same owner: the metadata must
  // be written before the write bits go.
  std::string path = dir_.path();
  EXPECT_EQ(asNobody([&]() -> int {
              FSRef root, source, dest;
              if (refFor(path, root) != noErr || createFile(root, "source", &source) != noErr ||
                  createFile(root, "dest", &dest) != noErr)
                return 1;
              FSCatalogInfo info{};
              for (int i = 0; i < 16; ++i) {
                info.finderInfo[i] = static_cast<UInt8>(i + 1);
                info.extFinderInfo[i] = static_cast<UInt8>(0x40 + i);
              }
              info.createDate = UTCDateTime{0, 3000000000u, 0};
              info.backupDate = UTCDateTime{0, 3100000000u, 0};
              info.contentModDate = UTCDateTime{0, 3200000000u, 0};
              info.textEncodingHint = 7;
              info.nodeFlags = kFSNodeLockedMask;
              const FSCatalogInfoBitmap set = kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo |
                                              kFSCatInfoCreateDate | kFSCatInfoBackupDate |
                                              kFSCatInfoContentMod | kFSCatInfoTextEncoding |
                                              kFSCatInfoNodeFlags;
              if (FSSetCatalogInfo(&source, set, &info) != noErr)
                return 2;
              FSCatalogInfo copied;
              if (FSGetCatalogInfo(&source, kFSCatInfoSettableInfo, &copied, nullptr, nullptr,
                                   nullptr) != noErr)
                return 3;
              if (FSSetCatalogInfo(&dest, kFSCatInfoSettableInfo, &copied) != noErr)
                return 4;
              FSCatalogInfo back;
              if (FSGetCatalogInfo(&dest, kFSCatInfoGettableInfo, &back, nullptr, nullptr,
                                   nullptr) != noErr)
                return 5;
              if (!(back.nodeFlags & kFSNodeLockedMask) || (back.permissions.mode & 0222))
                return 6;
              if (std::memcmp(back.finderInfo, info.finderInfo, 16) ||
                  std::memcmp(back.extFinderInfo, info.extFinderInfo, 16))
                return 7;
              if (back.createDate.lowSeconds != 3000000000u ||
                  back.backupDate.lowSeconds != 3100000000u ||
                  back.contentModDate.lowSeconds != 3200000000u || back.textEncodingHint != 7)
                return 8;
              // And the copy unlocks as any locked file does.
              back.nodeFlags = 0;
              if (FSSetCatalogInfo(&dest, kFSCatInfoNodeFlags, &back) != noErr)
                return 9;
              struct stat st;
              if (stat((path + "/dest").c_str(), &st) != 0 || !(st.st_mode & S_IWUSR))
                return 10;
              return 0;
            }),
            0);
}

TEST_P(Permissions, KernelRefusalsBecomeAccessStatuses) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make objects that nobody may not touch";
  std::string path = dir_.path();
  ASSERT_EQ(mkdir((dir_ / "closed").c_str(), 0700), 0);      // root's, unreadable to nobody
  ASSERT_EQ(mkdir((dir_ / "closedEmpty").c_str(), 0700), 0); // the same, empty
  ASSERT_EQ(mkdir((dir_ / "readonly").c_str(), 0755), 0);    // root's, not writable
  writeFile(dir_ / "readonly/file", "keep");
  writeFile(dir_ / "rootfile", "keep");
  EXPECT_EQ(asNobody([&]() -> int {
              FSRef closed, readonly, file, rootFile;
              if (refFor(path + "/closed", closed) || refFor(path + "/readonly", readonly) ||
                  refFor(path + "/readonly/file", file) || refFor(path + "/rootfile", rootFile))
                return 1;
              FSIterator it;
              if (FSOpenIterator(&closed, 0, &it) != afpAccessDenied)
                return 2;
              if (FSDeleteObject(&file) != afpAccessDenied)
                return 3;
              if (createFile(readonly, "new") != afpAccessDenied)
                return 4;
              // The kernel would let nobody remove it from a folder of its
              // own, but its lock cannot be read: it stays.
              FSRef closedEmpty;
              if (refFor(path + "/closedEmpty", closedEmpty) ||
                  FSDeleteObject(&closedEmpty) != afpAccessDenied)
                return 6;
              FSCatalogInfo info{};
              info.nodeFlags = kFSNodeLockedMask;
              if (FSSetCatalogInfo(&rootFile, kFSCatInfoNodeFlags, &info) != afpAccessDenied)
                return 5;
              return 0;
            }),
            0);
  EXPECT_EQ(readFile(dir_ / "readonly/file"), "keep");
  EXPECT_TRUE(exists(dir_ / "closedEmpty"));
  struct stat st;
  ASSERT_EQ(stat((dir_ / "rootfile").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0200, 0200u);
  EXPECT_LT(getxattr((dir_ / "rootfile").c_str(), "user.quillmate.meta", nullptr, 0), 0);
}

// New objects are identified and given their catalog information through a
// descriptor of their own (a folder through a hidden name renamed into
// place): that works for a user in a folder it may write but not list, and
// the new folder keeps its Finder information and lock.
TEST_P(Permissions, ObjectsCreatedInAWriteOnlyFolderTakeTheirCatalogInformation) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to act as nobody";
  const std::string drop = dir_ / "drop";
  ASSERT_EQ(mkdir(drop.c_str(), 0700), 0);
  ASSERT_EQ(chown(drop.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(drop.c_str(), 0300), 0); // nobody may write and search, not list
  EXPECT_EQ(asNobody([&]() -> int {
              FSRef parent, folder, file;
              if (refFor(drop, parent))
                return 1;
              FSCatalogInfo info{};
              FolderInfo finder{};
              finder.finderFlags = kIsInvisible;
              std::memcpy(info.finderInfo, &finder, sizeof finder);
              info.nodeFlags = kFSNodeLockedMask;
              const std::u16string d = u16("d"), f = u16("f");
              if (FSCreateDirectoryUnicode(&parent, d.size(), units(d),
                                           kFSCatInfoFinderInfo | kFSCatInfoNodeFlags, &info,
                                           &folder, nullptr, nullptr) != noErr)
                return 2;
              if (FSCreateFileUnicode(&parent, f.size(), units(f), kFSCatInfoNodeFlags, &info,
                                      &file, nullptr) != noErr)
                return 3;
              FSCatalogInfo got{};
              if (FSGetCatalogInfo(&folder, kFSCatInfoFinderInfo | kFSCatInfoNodeFlags, &got,
                                   nullptr, nullptr, nullptr) != noErr)
                return 4;
              FolderInfo gotFinder;
              std::memcpy(&gotFinder, got.finderInfo, sizeof gotFinder);
              if (!(gotFinder.finderFlags & kIsInvisible) || !(got.nodeFlags & kFSNodeLockedMask))
                return 5;
              if (FSGetCatalogInfo(&file, kFSCatInfoNodeFlags, &got, nullptr, nullptr, nullptr) !=
                      noErr ||
                  !(got.nodeFlags & kFSNodeLockedMask))
                return 6;
              return 0;
            }),
            0);
  ASSERT_EQ(chmod(drop.c_str(), 0700), 0);
  std::set<std::string> names; // no hidden folder left behind
  for (const auto &e : std::filesystem::directory_iterator(drop))
    names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"d", "f"}));
}

// Another user's folder and file inside the caller's own folder: their
// metadata and resource fork are unreadable to the caller (user attributes
// need read permission), but the objects still read, with default metadata
// and everything else from statx; only listing the folder is refused.
TEST_P(Permissions, ObjectsWhoseMetadataTheCallerMayNotReadStillRead) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make objects that nobody may not read";
  std::string path = dir_.path();
  FSRef root, closed, secret;
  ASSERT_EQ(refFor(path, root), noErr);
  ASSERT_EQ(createDir(root, "closed", &closed), noErr);
  ASSERT_EQ(createFile(root, "secret", &secret), noErr);
  writeFile(dir_ / "secret", "12345");
  writeFile(dir_ / "closed/inside", "x");
  FSCatalogInfo set{};
  std::memcpy(set.finderInfo, "TEXTroot", 8);
  set.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&closed, kFSCatInfoFinderInfo | kFSCatInfoNodeFlags, &set), noErr);
  ASSERT_EQ(FSSetCatalogInfo(&secret, kFSCatInfoFinderInfo, &set), noErr);
  ASSERT_EQ(setxattr((dir_ / "secret").c_str(), "user.quillmate.rsrc", "rsrc", 4, 0), 0);
  ASSERT_EQ(chmod((dir_ / "closed").c_str(), 0700), 0);
  ASSERT_EQ(chmod((dir_ / "secret").c_str(), 0600), 0);
  struct stat closedStat;
  ASSERT_EQ(stat((dir_ / "closed").c_str(), &closedStat), 0);

  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "through /proc/self/fd" : "through the *at calls");
    EXPECT_EQ(asNobody([&]() -> int {
                quillmate::fm::sys::useLegacyCalls(legacy);
                FSRef parent, folder, file;
                if (refFor(path, parent) || child(parent, "closed", folder) ||
                    child(parent, "secret", file))
                  return 1;
                std::vector<FSCatalogInfoBitmap> bitmaps = {
                    kFSCatInfoNone, kFSCatInfoGettableInfo | kFSCatInfoUserAccess};
                for (FSCatalogInfoBitmap bit = 1; bit <= kFSCatInfoUserAccess; bit <<= 1)
                  bitmaps.push_back(bit);
                FSCatalogInfo info;
                HFSUniStr255 name;
                FSSpec spec;
                FSRef up;
                for (FSCatalogInfoBitmap which : bitmaps)
                  for (const FSRef *ref : {&folder, &file})
                    if (FSGetCatalogInfo(ref, which, &info, &name, &spec, &up) != noErr)
                      return 2;
                const FSCatalogInfoBitmap all = kFSCatInfoGettableInfo | kFSCatInfoUserAccess;
                FSCatalogInfo zero{};
                if (FSGetCatalogInfo(&folder, all, &info, nullptr, nullptr, nullptr) ||
                    info.nodeFlags != kFSNodeIsDirectoryMask ||
                    info.nodeID != static_cast<UInt32>(closedStat.st_ino) ||
                    std::memcmp(info.finderInfo, zero.finderInfo, 16) || info.valence != 0 ||
                    !(info.userPrivileges & kioACUserNoSeeFolderMask))
                  return 3;
                if (FSGetCatalogInfo(&file, all, &info, nullptr, nullptr, nullptr) ||
                    info.nodeFlags != 0 || info.dataLogicalSize != 5 ||
                    info.rsrcLogicalSize != 0 ||
                    std::memcmp(info.finderInfo, zero.finderInfo, 16) ||
                    info.createDate.lowSeconds == 0)
                  return 4;
                // The parent's listing shows both, with every output.
                FSIterator it;
                if (FSOpenIterator(&parent, kFSIterateFlat, &it))
                  return 5;
                FSCatalogInfo infos[4];
                FSRef refs[4];
                FSSpec specs[4];
                HFSUniStr255 names[4];
                ItemCount count = 0;
                OSErr bulk = FSGetCatalogInfoBulk(it, 4, &count, nullptr, all, infos, refs, specs,
                                                  names);
                FSCloseIterator(it);
                if (bulk != errFSNoMoreItems || count != 2 ||
                    infos[0].nodeFlags != kFSNodeIsDirectoryMask || infos[1].dataLogicalSize != 5)
                  return 6;
                // Listing the folder itself is what the kernel refuses.
                if (FSOpenIterator(&folder, kFSIterateFlat, &it) != afpAccessDenied)
                  return 7;
                CatPositionRec forks{};
                SInt64 size;
                if (FSIterateForks(&file, &forks, nullptr, &size, nullptr) || size != 5 ||
                    FSIterateForks(&file, &forks, nullptr, &size, nullptr) != errFSNoMoreItems)
                  return 8;
                return 0;
              }),
              0);
  }
}

} // namespace
