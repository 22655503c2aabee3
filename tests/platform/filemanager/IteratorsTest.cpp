// Catalog iterators: order, counts, outputs, deletion while iterating, and
// trees holding links to the outside.
#include "FileManagerTestSupport.h"

#include "platform/text/TextTesting.h"

#include <set>
#include <vector>

using namespace fmtest;

namespace {

class Iterators : public OnEachFileSystem {};

INSTANTIATE_TEST_SUITE_P(FileSystems, Iterators, ::testing::ValuesIn(bases()));

/// Deletes everything inside `folder` through the layer, depth first.
OSErr deleteContents(const FSRef &folder) {
  FSIterator it;
  if (OSErr err = FSOpenIterator(&folder, kFSIterateDelete, &it))
    return err;
  OSErr status = noErr;
  for (;;) {
    ItemCount n = 0;
    FSCatalogInfo info;
    FSRef item;
    OSErr err = FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNodeFlags, &info, &item,
                                     nullptr, nullptr);
    if (n == 1) {
      if (info.nodeFlags & kFSNodeIsDirectoryMask)
        if ((status = deleteContents(item)))
          break;
      if ((status = FSDeleteObject(&item)))
        break;
    }
    if (err == errFSNoMoreItems)
      break;
    if ((status = err))
      break;
  }
  FSCloseIterator(it);
  return status;
}

TEST_P(Iterators, ItemsComeInByteOrderWithEveryOutput) {
  // FSSpec names are in the system script's encoding: Roman here.
  quillmate::text::testing::ScriptVariablesOverride roman(smRoman, verUS);
  for (const char *n : {"b", "a", "C", "\xc3\xa9", "aa"})
    writeFile(dir_ / n, n);
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root_, kFSIterateFlat, &it), noErr);
  FSCatalogInfo infos[4];
  FSRef refs[4];
  FSSpec specs[4];
  HFSUniStr255 names[4];
  ItemCount n = 0;
  Boolean changed = TRUE;
  std::vector<std::u16string> seen;
  ASSERT_EQ(FSGetCatalogInfoBulk(it, 4, &n, &changed, kFSCatInfoNodeFlags | kFSCatInfoDataSizes,
                                 infos, refs, specs, names),
            noErr);
  ASSERT_EQ(n, 4u);
  EXPECT_FALSE(changed);
  for (ItemCount i = 0; i < n; ++i)
    seen.push_back(fromUni(names[i]));
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 4, &n, &changed, kFSCatInfoNodeFlags | kFSCatInfoDataSizes,
                                 infos, refs, specs, names),
            errFSNoMoreItems);
  ASSERT_EQ(n, 2u); // the end comes with items
  for (ItemCount i = 0; i < n; ++i)
    seen.push_back(fromUni(names[i]));
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"C", u"a", u"aa", u"b", u"folder", u"\u00e9"}));
  EXPECT_EQ(infos[0].nodeFlags, kFSNodeIsDirectoryMask);
  EXPECT_EQ(+infos[1].dataLogicalSize, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(specs[1].name + 1), specs[1].name[0]), "\x8e");
  EXPECT_EQ(pathOf(refs[1]), pathOf(root_) + "/\xc3\xa9");
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 4, &n, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            errFSNoMoreItems);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 0, &n, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            errFSBadItemCount);
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 1, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            paramErr);
  ASSERT_EQ(FSCloseIterator(it), noErr);
  EXPECT_EQ(FSCloseIterator(it), errFSIteratorNotFound);
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 1, &n, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            errFSIteratorNotFound);
}

TEST_P(Iterators, DeletingReturnedItemsNeitherSkipsNorRepeats) {
  for (int i = 0; i < 300; ++i)
    writeFile(dir_ / ("f" + std::to_string(i)), "");
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root_, kFSIterateDelete, &it), noErr);
  std::set<std::u16string> seen;
  int returned = 0;
  for (;;) {
    ItemCount n = 0;
    FSRef ref;
    HFSUniStr255 name;
    Boolean changed = FALSE;
    OSErr err = FSGetCatalogInfoBulk(it, 1, &n, &changed, 0, nullptr, &ref, nullptr, &name);
    if (n) {
      ++returned;
      seen.insert(fromUni(name));
      ASSERT_EQ(FSDeleteObject(&ref), noErr);
      EXPECT_FALSE(changed);
    }
    if (err == errFSNoMoreItems)
      break;
    ASSERT_EQ(err, noErr);
  }
  FSCloseIterator(it);
  EXPECT_EQ(returned, 300);
  EXPECT_EQ(seen.size(), 300u);
}

TEST_P(Iterators, ContainerChangedReportsCreationsThroughTheLayer) {
  writeFile(dir_ / "a", "");
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root_, 0, &it), noErr);
  ASSERT_EQ(createFile(root_, "b"), noErr);
  ItemCount n;
  Boolean changed = FALSE;
  FSGetCatalogInfoBulk(it, 1, &n, &changed, 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_TRUE(changed);
  FSCloseIterator(it);
}

TEST_P(Iterators, FlagsAndContainersThatAreRefused) {
  writeFile(dir_ / "file", "");
  FSRef file;
  ASSERT_EQ(refFor(dir_ / "file", file), noErr);
  FSIterator it;
  EXPECT_EQ(FSOpenIterator(&root_, kFSIterateSubtree, &it), errFSIteratorNotSupported);
  EXPECT_EQ(FSOpenIterator(&root_, 0x10, &it), errFSBadIteratorFlags);
  EXPECT_EQ(FSOpenIterator(&file, 0, &it), errFSNotAFolder);
  EXPECT_EQ(FSOpenIterator(&root_, 0, nullptr), paramErr);
  // A volume's root is never emptied by a deleting walk.
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr), noErr);
  FSRefParam pb{};
  FSRef volumeRoot;
  pb.ioVRefNum = info.volume;
  pb.ioDirID = fsRtDirID;
  pb.newRef = &volumeRoot;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  EXPECT_EQ(FSOpenIterator(&volumeRoot, kFSIterateDelete, &it), fBsyErr);
}

TEST_P(Iterators, DeletingATreeLeavesWhatALinkPointsToAlone) {
  TempDir outside(GetParam());
  ASSERT_EQ(mkdir((outside / "deep").c_str(), 0755), 0);
  writeFile(outside / "deep/keep", "precious");
  ASSERT_EQ(mkdir((dir_ / "tree").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / "tree/sub").c_str(), 0755), 0);
  writeFile(dir_ / "tree/sub/file", "x");
  ASSERT_EQ(symlink(outside.path().c_str(), (dir_ / "tree/sub/out").c_str()), 0);
  ASSERT_EQ(symlink((outside / "deep/keep").c_str(), (dir_ / "tree/keep-link").c_str()), 0);
  FSRef tree;
  ASSERT_EQ(refFor(dir_ / "tree", tree), noErr);
  ASSERT_EQ(deleteContents(tree), noErr);
  EXPECT_EQ(FSDeleteObject(&tree), noErr);
  EXPECT_FALSE(exists(dir_ / "tree"));
  EXPECT_EQ(readFile(outside / "deep/keep"), "precious");
}

} // namespace

#include <thread>

namespace {

TEST(Threads, CallersOnSeveralThreadsShareTheTables) {
  TempDir dir;
  FSRef root;
  ASSERT_EQ(refFor(dir.path(), root), noErr);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      FSRef folder;
      if (createDir(root, ("t" + std::to_string(t)).c_str(), &folder) != noErr) {
        ++failures[t];
        return;
      }
      for (int i = 0; i < 50; ++i)
        failures[t] += createFile(folder, ("f" + std::to_string(i)).c_str()) != noErr;
      failures[t] += deleteContents(folder) != noErr;
      failures[t] += FSDeleteObject(&folder) != noErr;
    });
  }
  for (std::thread &th : threads)
    th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root, 0, &it), noErr);
  ItemCount n = 1;
  EXPECT_EQ(FSGetCatalogInfoBulk(it, 1, &n, nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            errFSNoMoreItems);
  EXPECT_EQ(n, 0u);
  FSCloseIterator(it);
}

} // namespace
