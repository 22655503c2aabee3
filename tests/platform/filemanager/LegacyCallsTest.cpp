// Kernels before 6.13 lack getxattrat and friends (before 6.6 fchmodat2):
// the layer then reaches objects through /proc/self/fd.  These run the
// metadata, lock and resource-fork paths that way and check that both ways
// read what the other wrote.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/Syscalls.h"

#include <sys/xattr.h>

using namespace fmtest;
namespace sys = quillmate::fm::sys;

namespace {

class LegacyCalls : public OnEachFileSystem {
protected:
  void SetUp() override {
    OnEachFileSystem::SetUp();
    sys::useLegacyCalls(true);
  }
  void TearDown() override { sys::useLegacyCalls(false); }
};

std::string finderBytes(const FSRef &ref) {
  FSCatalogInfo info{};
  EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr), noErr);
  return std::string(reinterpret_cast<const char *>(info.finderInfo), 8);
}

} // namespace

TEST_P(LegacyCalls, MetadataLocksAndResourceForkAgreeWithTheNewerCalls) {
  FSRef file;
  ASSERT_EQ(createFile(root_, "f", &file), noErr);
  FSCatalogInfo info{};
  std::memcpy(info.finderInfo, "TEXTqmat", 8);
  info.nodeFlags = kFSNodeLockedMask;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoFinderInfo | kFSCatInfoNodeFlags, &info), noErr);
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "locking clears the write bits";

  sys::useLegacyCalls(false);
  EXPECT_EQ(finderBytes(file), "TEXTqmat");
  sys::useLegacyCalls(true);
  EXPECT_EQ(finderBytes(file), "TEXTqmat");

  info.nodeFlags = 0;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &info), noErr);
  ASSERT_EQ(::stat((dir_ / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0200, 0200u);

  HFSUniStr255 rsrc;
  FSGetResourceForkName(&rsrc);
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&file, rsrc.length, rsrc.unicode, fsRdWrPerm, &fork), noErr);
  ASSERT_EQ(FSWriteFork(fork, fsFromStart, 0, 4, "rsrc", nullptr), noErr);
  ASSERT_EQ(FSCloseFork(fork), noErr);
  EXPECT_EQ(sidecarFork(dir_.path(), "f"), "rsrc");
}

TEST_P(LegacyCalls, ASymbolicLinkIsNeverFollowed) {
  writeFile(dir_ / "target", "x");
  ASSERT_EQ(::symlink("target", (dir_ / "link").c_str()), 0);
  FSRef link;
  ASSERT_EQ(child(root_, "link", link), noErr);
  FSCatalogInfo info{};
  std::memcpy(info.finderInfo, "slnkrhap", 8);
  EXPECT_NE(FSSetCatalogInfo(&link, kFSCatInfoFinderInfo, &info), noErr);
  for (const char *attribute : {"user.quillmate.meta", "user.org.netatalk.Metadata"})
    EXPECT_LT(::getxattr((dir_ / "target").c_str(), attribute, nullptr, 0), 0)
        << "the link's target was changed";
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, LegacyCalls, ::testing::ValuesIn(bases()));
