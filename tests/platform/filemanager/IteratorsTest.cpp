// Catalog iterators: order, counts, outputs, deletion while iterating,
// trees holding links to the outside, and iterators whose folder descriptor
// was given back.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/text/TextTesting.h"

#include <dirent.h>
#include <set>
#include <sys/resource.h>
#include <vector>

using namespace fmtest;

namespace {

class Iterators : public OnEachFileSystem {};

INSTANTIATE_TEST_SUITE_P(FileSystems, Iterators, ::testing::ValuesIn(bases()));

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
  // A volume's root asked for directly may be emptied (nothing is read
  // here); the root itself is never deleted.
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr), noErr);
  FSRefParam pb{};
  FSRef volumeRoot;
  pb.ioVRefNum = info.volume;
  pb.ioDirID = fsRtDirID;
  pb.newRef = &volumeRoot;
  ASSERT_EQ(PBMakeFSRefSync(&pb), noErr);
  ASSERT_EQ(FSOpenIterator(&volumeRoot, kFSIterateDelete, &it), noErr);
  EXPECT_EQ(FSCloseIterator(it), noErr);
  EXPECT_EQ(FSDeleteObject(&volumeRoot), fBsyErr);
}

/// The next item of a deleting iterator, with its node flags.
OSErr nextItem(FSIterator it, FSRef &item, UInt16 &flags) {
  ItemCount n = 0;
  FSCatalogInfo info;
  OSErr err = FSGetCatalogInfoBulk(it, 1, &n, nullptr, kFSCatInfoNodeFlags, &info, &item,
                                   nullptr, nullptr);
  flags = info.nodeFlags;
  return n == 1 ? OSErr(noErr) : err;
}

TEST_P(Iterators, AnItemJustDeliveredIsDeletedOnlyAsItStillIs) {
  for (const char *n : {"a-locked", "b-open", "c-renamed", "d-replaced", "e-plain"})
    writeFile(dir_ / n, n);
  FSRef open;
  ASSERT_EQ(refFor(dir_ / "b-open", open), noErr);
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&open, 0, nullptr, fsRdPerm, &fork), noErr);
  FSCatalogInfo lock{};
  lock.nodeFlags = kFSNodeLockedMask;
  FSRef locked;
  ASSERT_EQ(refFor(dir_ / "a-locked", locked), noErr);
  ASSERT_EQ(FSSetCatalogInfo(&locked, kFSCatInfoNodeFlags, &lock), noErr);

  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&root_, kFSIterateDelete, &it), noErr);
  FSRef item;
  UInt16 flags;
  // Locked: refused right after delivery; the unlock in between changes the
  // mode, not the identity, and the delete then goes through.
  ASSERT_EQ(nextItem(it, item, flags), noErr);
  EXPECT_EQ(flags, kFSNodeLockedMask);
  EXPECT_EQ(FSDeleteObject(&item), fLckdErr);
  FSCatalogInfo unlock{};
  ASSERT_EQ(FSSetCatalogInfo(&item, kFSCatInfoNodeFlags, &unlock), noErr);
  EXPECT_EQ(FSDeleteObject(&item), noErr);
  EXPECT_FALSE(exists(dir_ / "a-locked"));
  // A file with an open fork stays.
  ASSERT_EQ(nextItem(it, item, flags), noErr);
  EXPECT_EQ(FSDeleteObject(&item), fBsyErr);
  EXPECT_TRUE(exists(dir_ / "b-open"));
  // Renamed through the layer after delivery: the reference follows it, and
  // what takes the old name outside the layer stays.
  ASSERT_EQ(nextItem(it, item, flags), noErr);
  std::u16string other = u"c-other";
  ASSERT_EQ(FSRenameUnicode(&item, other.size(), units(other), kTextEncodingUnknown, nullptr),
            noErr);
  writeFile(dir_ / "c-renamed", "newcomer");
  EXPECT_EQ(FSDeleteObject(&item), noErr);
  EXPECT_FALSE(exists(dir_ / "c-other"));
  EXPECT_EQ(readFile(dir_ / "c-renamed"), "newcomer");
  // Replaced outside the layer, with a call of the layer in between: the
  // reference is stale and the newcomer stays.
  ASSERT_EQ(nextItem(it, item, flags), noErr);
  // (Moved aside rather than removed, so that the newcomer cannot reuse its
  // inode within one step of the birth-time clock.)
  ASSERT_EQ(::rename((dir_ / "d-replaced").c_str(), (dir_ / "d-aside").c_str()), 0);
  writeFile(dir_ / "d-replaced", "newcomer");
  ASSERT_EQ(FSGetCatalogInfo(&root_, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(FSDeleteObject(&item), fnfErr);
  EXPECT_EQ(readFile(dir_ / "d-replaced"), "newcomer");
  // Only the item delivered last goes without a second look: the replaced
  // one stays refused once the next is delivered.
  FSRef earlier = item;
  ASSERT_EQ(nextItem(it, item, flags), noErr);
  EXPECT_EQ(FSDeleteObject(&earlier), fnfErr);
  EXPECT_EQ(readFile(dir_ / "d-replaced"), "newcomer");
  EXPECT_EQ(FSDeleteObject(&item), noErr);
  EXPECT_FALSE(exists(dir_ / "e-plain"));
  EXPECT_EQ(FSCloseIterator(it), noErr);
  EXPECT_EQ(FSCloseFork(fork), noErr);
}

TEST_P(Iterators, AClosedIteratorLeavesNoDescriptorBehind) {
  // While open, an iterator's descriptor serves calls on its items; once it
  // is closed, its number may be reused (here by a fork) and must no longer
  // be taken for the folder.
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  writeFile(dir_ / "sub/file", "contents");
  writeFile(dir_ / "other", "");
  FSRef sub, file, other;
  ASSERT_EQ(refFor(dir_ / "sub", sub), noErr);
  ASSERT_EQ(refFor(dir_ / "other", other), noErr);
  FSIterator it;
  ASSERT_EQ(FSOpenIterator(&sub, kFSIterateFlat, &it), noErr);
  ItemCount n = 0;
  ASSERT_EQ(FSGetCatalogInfoBulk(it, 1, &n, nullptr, 0, nullptr, &file, nullptr, nullptr), noErr);
  ASSERT_EQ(FSCloseIterator(it), noErr);
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&other, 0, nullptr, fsRdPerm, &fork), noErr);
  FSCatalogInfo info;
  EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoDataSizes, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(+info.dataLogicalSize, 8u);
  EXPECT_EQ(FSDeleteObject(&file), noErr);
  EXPECT_FALSE(exists(dir_ / "sub/file"));
  EXPECT_EQ(FSCloseFork(fork), noErr);

  // A folder replaced outside the layer is not iterated.
  ASSERT_EQ(rmdir((dir_ / "sub").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  EXPECT_EQ(FSOpenIterator(&sub, kFSIterateDelete, &it), fnfErr);
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

// --- Descriptors given back --------------------------------------------------------

using quillmate::fm::testing::iteratorDescriptors;
using quillmate::fm::testing::IteratorDescriptors;
using quillmate::fm::testing::setIteratorDescriptorBudget;

/// Folders f00, f01, ... each holding the files a and b, and an iterator on
/// each that has delivered a: the caller sets the budget of descriptors
/// first, and restores it with the budget before().
class GivenBack : public OnEachFileSystem {
protected:
  void TearDown() override {
    for (FSIterator it : its_)
      EXPECT_EQ(FSCloseIterator(it), noErr);
    if (before_)
      setIteratorDescriptorBudget(before_);
    EXPECT_EQ(iteratorDescriptors().open, 0u);
    EXPECT_EQ(iteratorDescriptors().givenBack, 0u);
  }

  void budget(size_t n) { before_ = setIteratorDescriptorBudget(n); }

  std::string folder(size_t i) const {
    return dir_ / (std::string(i < 10 ? "f0" : "f") + std::to_string(i));
  }

  void openEach(size_t folders) {
    for (size_t i = 0; i < folders; ++i) {
      ASSERT_EQ(mkdir(folder(i).c_str(), 0755), 0);
      writeFile(folder(i) + "/a", "");
      writeFile(folder(i) + "/b", "");
    }
    for (size_t i = 0; i < folders; ++i) {
      FSRef ref;
      ASSERT_EQ(refFor(folder(i), ref), noErr);
      FSIterator it;
      ASSERT_EQ(FSOpenIterator(&ref, kFSIterateFlat, &it), noErr) << i;
      its_.push_back(it);
      ASSERT_EQ(next(i), "a");
    }
  }

  /// The name of the next item of iterator `i`; the status otherwise.
  std::string next(size_t i) {
    ItemCount n = 0;
    HFSUniStr255 name;
    OSErr err = FSGetCatalogInfoBulk(its_[i], 1, &n, nullptr, 0, nullptr, nullptr, nullptr, &name);
    if (n != 1)
      return std::to_string(err);
    std::string out;
    for (UInt16 c = 0; c < name.length; ++c)
      out += static_cast<char>(name.unicode[c]);
    return out;
  }

  std::vector<FSIterator> its_;
  size_t before_ = 0;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, GivenBack, ::testing::ValuesIn(bases()));

// Beyond the budget the least recently used iterators give their
// descriptors back; next used, each goes on where it was in its own folder,
// and one whose folder was replaced or moved away outside the layer since
// answers as a stale reference does.
TEST_P(GivenBack, AnIteratorReopensOnlyItsOwnFolderAndGoesOnWhereItWas) {
  budget(16);
  const IteratorDescriptors start = iteratorDescriptors();
  openEach(19);
  EXPECT_EQ(iteratorDescriptors().open, 16u);
  EXPECT_EQ(iteratorDescriptors().givenBack, 3u);
  ASSERT_EQ(rename(folder(1).c_str(), (dir_ / "moved").c_str()), 0);
  ASSERT_EQ(mkdir(folder(1).c_str(), 0755), 0);
  writeFile(folder(1) + "/b", "");
  ASSERT_EQ(rename(folder(2).c_str(), (dir_ / "away").c_str()), 0);

  EXPECT_EQ(next(0), "b");
  EXPECT_EQ(next(0), std::to_string(errFSNoMoreItems));
  EXPECT_EQ(next(1), std::to_string(fnfErr));
  EXPECT_EQ(next(2), std::to_string(fnfErr));
  for (size_t i = 3; i < its_.size(); ++i)
    EXPECT_EQ(next(i), "b") << i;
  // f00, then f03 to f18 in turn: each reopened makes the least recently
  // used give its descriptor back.
  EXPECT_EQ(iteratorDescriptors().reopenedSoFar, start.reopenedSoFar + 17);
}

size_t openDescriptors() {
  size_t n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d))
      ++n;
    closedir(d);
  }
  return n - 3; // ".", ".." and the listing's own
}

// A process nearly out of descriptors (its limit lowered after the budget
// was set): an open that fails for want of one gives idle iterators'
// descriptors back and tries again, and the budget follows the new limit.
TEST_P(GivenBack, AnOpenOutOfDescriptorsGivesIdleOnesBackAndTriesAgain) {
  budget(100000);
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  struct rlimit lowered = limit;
  lowered.rlim_cur = openDescriptors() + 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  openEach(24);
  for (size_t i = 0; i < its_.size(); ++i)
    EXPECT_EQ(next(i), "b") << i;
  EXPECT_EQ(iteratorDescriptors().budget, std::max<size_t>(16, lowered.rlim_cur / 4));
  EXPECT_GT(iteratorDescriptors().givenBack, 0u);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
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
