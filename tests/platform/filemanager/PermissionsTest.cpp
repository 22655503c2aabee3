// Permission errors, checked as an unprivileged user: root passes every
// kernel check, so each case runs in a child process that drops to nobody.
#include "FileManagerTestSupport.h"

#include <grp.h>
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
              FSCatalogInfo info{};
              info.nodeFlags = kFSNodeLockedMask;
              if (FSSetCatalogInfo(&rootFile, kFSCatInfoNodeFlags, &info) != afpAccessDenied)
                return 5;
              return 0;
            }),
            0);
  EXPECT_EQ(readFile(dir_ / "readonly/file"), "keep");
  struct stat st;
  ASSERT_EQ(stat((dir_ / "rootfile").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0200, 0200u);
  EXPECT_LT(getxattr((dir_ / "rootfile").c_str(), "user.quillmate.meta", nullptr, 0), 0);
}

} // namespace
