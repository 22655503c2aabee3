// Every operation carries an object's `._` file with it: listings and lookups
// hide one beside its object and show one beside none, names kept for them
// are refused, and rename, move, delete, copy and exchange leave each `._`
// file with its object, on ext4, tmpfs and a mount without extended
// attributes.
#include "platform/filemanager/DoubleHeader.h"
#include "platform/filemanager/Sidecar.h"

#include "FileManagerTestSupport.h"
#include "PeerSupport.h"

#include <FileUtilities.h>

#include "platform/filemanager/testing/FileManagerTesting.h"

#include <dirent.h>
#include <memory>
#include <set>
#include <sys/xattr.h>

namespace dbl = quillmate::fm::dbl;
namespace sidecar = quillmate::fm::sidecar;
namespace sys = quillmate::fm::sys;
using namespace fmtest;

namespace {

struct statx statxOf(int dirfd, const char *name) {
  struct statx stx {};
  sys::statxAt(dirfd, name, STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE | STATX_NLINK, &stx);
  return stx;
}

/// The `._` file of `name` in the file server's own layout (no owner record),
/// written as the server or a Mac would.
std::string serverLayout(const std::string &fork) {
  dbl::Header header = dbl::sidecarHeader(UInt32(fork.size()));
  std::string bytes(dbl::kSidecarForkOffset, '\0');
  header.encode(reinterpret_cast<UInt8 *>(bytes.data()));
  return bytes + fork;
}

/// The names an iterator over `folder` delivers, in order.
std::vector<std::string> listed(const FSRef &folder) {
  std::vector<std::string> out;
  FSIterator it;
  EXPECT_EQ(FSOpenIterator(&folder, kFSIterateFlat, &it), noErr);
  for (;;) {
    ItemCount n = 0;
    HFSUniStr255 names[3];
    OSErr err = FSGetCatalogInfoBulk(it, 3, &n, nullptr, kFSCatInfoNone, nullptr, nullptr,
                                     nullptr, names);
    for (ItemCount i = 0; i < n; ++i) {
      std::string name;
      for (UniCharCount c = 0; c < names[i].length; ++c)
        name += char(names[i].unicode[c]);
      out.push_back(name);
    }
    if (err != noErr)
      break;
  }
  FSCloseIterator(it);
  return out;
}

UInt32 valenceOf(const FSRef &folder) {
  FSCatalogInfo info{};
  EXPECT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoValence, &info, nullptr, nullptr, nullptr), noErr);
  return info.valence;
}

OSErr renameTo(const FSRef &ref, const char *name, FSRef *out = nullptr) {
  std::u16string n = u16(name);
  return FSRenameUnicode(&ref, n.size(), units(n), kTextEncodingUnknown, out);
}

/// A folder on ext4, on tmpfs, or on ext4 seen through a mount without
/// extended attributes (where no owner record can be kept).
class SidecarOperations : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    if (GetParam() == "bindfs") {
      source_ = std::make_unique<TempDir>("/tmp");
      point_ = std::make_unique<TempDir>("/tmp");
      mount_ = std::make_unique<NoAttributesMount>(source_->path(), point_->path());
      if (!mount_->unavailable().empty())
        GTEST_SKIP() << mount_->unavailable();
      path_ = point_->path();
    } else {
      dir_ = std::make_unique<TempDir>(GetParam());
      path_ = dir_->path();
    }
    ASSERT_FALSE(path_.empty());
    ASSERT_EQ(refFor(path_, root_), noErr);
    fd_ = sys::Fd(::open(path_.c_str(), O_RDONLY | O_DIRECTORY));
  }
  void TearDown() override {
    fd_.reset();
    mount_.reset(); // before the folders it shows go
  }

  bool attributes() const { return GetParam() != "bindfs"; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  /// A file `name` (inside `folder`, relative to the case's folder) with
  /// `fork` as its resource fork in the `._` file beside it.
  void fileWithFork(const std::string &name, const std::string &fork, const char *folder = ".") {
    writeFile(*this / (std::string(folder) + "/" + name), "data of " + name);
    giveFork(name, fork, folder);
  }
  void giveFork(const std::string &name, const std::string &fork, const char *folder = ".") {
    sys::Fd dir(::openat(fd_.get(), folder, O_RDONLY | O_DIRECTORY));
    sidecar::File f;
    ASSERT_EQ(sidecar::create(dir.get(), name.c_str(), statxOf(dir.get(), name.c_str()), nullptr,
                              fork.data(), fork.size(), false, f),
              noErr);
  }
  /// The resource fork of `name` as its attached `._` file holds it, or
  /// what stands in the way.
  std::string forkOf(const std::string &name, const char *folder = ".") {
    sys::Fd dir(::openat(fd_.get(), folder, O_RDONLY | O_DIRECTORY));
    sidecar::File f;
    sidecar::Found found;
    if (sidecar::open(dir.get(), name.c_str(), statxOf(dir.get(), name.c_str()), O_RDONLY, f,
                      found) != noErr)
      return "<error>";
    if (found == sidecar::Found::None)
      return "<none>";
    if (found != sidecar::Found::Attached)
      return "<not its own>";
    std::string bytes(f.fork()->length, '\0');
    if (sys::pread(f.fd.get(), bytes.data(), bytes.size(), f.fork()->offset) !=
        ssize_t(bytes.size()))
      return "<short>";
    return bytes;
  }
  FSRef ref(const std::string &name) {
    FSRef r{};
    EXPECT_EQ(refFor(*this / name, r), noErr) << name;
    return r;
  }

  std::unique_ptr<TempDir> dir_, source_, point_;
  std::unique_ptr<NoAttributesMount> mount_;
  std::string path_;
  FSRef root_;
  sys::Fd fd_;
};

INSTANTIATE_TEST_SUITE_P(FileSystems, SidecarOperations,
                         ::testing::Values("/tmp", "/dev/shm", "bindfs"),
                         [](const auto &info) {
                           return info.param == "/tmp"       ? std::string("ext4")
                                  : info.param == "/dev/shm" ? std::string("tmpfs")
                                                             : info.param;
                         });

} // namespace

// A `._` file beside its object is part of it: no listing, count or lookup
// shows it.  One beside no object (an orphan) is an ordinary file, and so is
// anything under such a name that is no file.
TEST_P(SidecarOperations, ListingsAndLookupsHideTheFileBesideItsObject) {
  fileWithFork("a", "fork of a");
  ASSERT_EQ(::mkdir((*this / "f").c_str(), 0755), 0);
  writeFile(*this / "._f", serverLayout("")); // a folder's, as a Mac writes it
  writeFile(*this / "._orphan", serverLayout("lost"));
  writeFile(*this / "b", "b");
  ASSERT_EQ(::symlink("b", (*this / "._b").c_str()), 0); // a link is no `._` file
  writeFile(*this / "c", "c");
  ASSERT_EQ(::mkdir((*this / "._c").c_str(), 0755), 0);
  writeFile(*this / "._", "just a name");

  const std::vector<std::string> expected{"._", "._b", "._c", "._orphan", "a", "b", "c", "f"};
  EXPECT_EQ(listed(root_), expected);
  EXPECT_EQ(valenceOf(root_), expected.size());
  FSRef **items = nullptr;
  ItemCount count = 0;
  Boolean changed = false;
  ASSERT_EQ(FSGetDirectoryItems(&root_, &items, &count, &changed), noErr);
  EXPECT_EQ(count, expected.size());
  DisposeHandle(reinterpret_cast<Handle>(items));

  FSRef found;
  EXPECT_EQ(child(root_, "._a", found), fnfErr);
  EXPECT_EQ(child(root_, "._f", found), fnfErr);
  EXPECT_EQ(refFor(*this / "._a", found), fnfErr);
  for (const char *shown : {"._orphan", "._b", "._c", "._"})
    EXPECT_EQ(child(root_, shown, found), noErr) << shown;
  // The one-byte way finds what the Unicode one does.
  FSVolumeRefNum volume = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(folderIDs(root_, volume, dirID), noErr);
  FSRefParam pb{};
  PascalName hidden("._a"), orphan("._orphan");
  pb.ioVRefNum = volume;
  pb.ioDirID = dirID;
  pb.ioNamePtr = hidden.bytes;
  pb.newRef = &found;
  EXPECT_EQ(PBMakeFSRefSync(&pb), fnfErr);
  pb.ioNamePtr = orphan.bytes;
  EXPECT_EQ(PBMakeFSRefSync(&pb), noErr);

  // The orphan's object appears: the `._` file goes out of sight.
  writeFile(*this / "orphan", "back");
  EXPECT_EQ(valenceOf(root_), expected.size());
  EXPECT_EQ(child(root_, "._orphan", found), fnfErr);
}

// The library's walk and listing, and the tool's, see what the iterator does.
TEST_P(SidecarOperations, TheLibrarysWalkSeesNoHiddenFile) {
  ASSERT_EQ(::mkdir((*this / "sub").c_str(), 0755), 0);
  fileWithFork("x", "fork", "sub");
  writeFile(*this / "sub/._gone", "orphan");
  std::vector<std::string> seen;
  auto filter = [](Boolean, ItemCount, const FSCatalogInfo *, const FSRef *, const FSSpec *,
                   const HFSUniStr255 *name, void *data) -> Boolean {
    std::string s;
    for (UniCharCount c = 0; c < name->length; ++c)
      s += char(name->unicode[c]);
    static_cast<std::vector<std::string> *>(data)->push_back(s);
    return false;
  };
  ASSERT_EQ(FSIterateContainer(&root_, 0, kFSCatInfoNone, false, true, filter, &seen), noErr);
  EXPECT_EQ(seen, (std::vector<std::string>{"sub", "._gone", "x"}));
}

// Names kept for `._` files are refused to every call that makes or names
// an object, in Unicode and in one-byte names: nothing is made or changed.
TEST_P(SidecarOperations, ReservedNamesAreRefused) {
  FSRef file, folder, made;
  ASSERT_EQ(createFile(root_, "file", &file), noErr);
  ASSERT_EQ(createDir(root_, "folder", &folder), noErr);
  writeFile(*this / "._orphan", "ordinary");
  const std::set<std::string> before = entriesOf(path_);

  EXPECT_EQ(createFile(root_, "._file", &made), bdNamErr);
  EXPECT_EQ(createDir(root_, "._folder", &made), bdNamErr);
  EXPECT_EQ(renameTo(file, "._x"), bdNamErr);
  EXPECT_EQ(renameTo(folder, "._y"), bdNamErr);
  const FSRef orphan = ref("._orphan");
  EXPECT_EQ(FSMoveObject(&orphan, &folder, nullptr), bdNamErr); // it would keep its name
  std::u16string name = u16("._moved");
  EXPECT_EQ(FSMoveRenameObjectUnicode(&file, &folder, name.size(), units(name),
                                      kTextEncodingUnknown, &made),
            bdNamErr);

  FSSpec spec = specOf(file);
  PascalName reserved("._copy");
  for (bool copy : {true, false}) {
    HParamBlockRec pb = copyBlock(spec, folder, reserved.bytes);
    EXPECT_EQ(copy ? PBHCopyFileSync(&pb) : PBHMoveRenameSync(&pb), bdNamErr) << copy;
  }
  EXPECT_EQ(entriesOf(path_), before);
  EXPECT_TRUE(entriesOf(*this / "folder").empty());
  // "._" alone is no `._` file's name.
  EXPECT_EQ(renameTo(file, "._"), noErr);
}

// A rename, a move, the call that does both and the library's undoable
// move-rename each take the `._` file along; a file without one gains none.
TEST_P(SidecarOperations, RenameAndMoveCarryTheFile) {
  fileWithFork("a", "fork of a");
  writeFile(*this / "plain", "no fork");
  ASSERT_EQ(::mkdir((*this / "sub").c_str(), 0755), 0);
  FSRef a = ref("a"), sub = ref("sub"), plain = ref("plain");

  ASSERT_EQ(renameTo(a, "b", &a), noErr);
  EXPECT_EQ(forkOf("b"), "fork of a");
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"b", "._b", "plain", "sub"}));

  ASSERT_EQ(FSMoveObject(&a, &sub, &a), noErr);
  EXPECT_EQ(forkOf("b", "sub"), "fork of a");
  EXPECT_FALSE(exists(*this / "._b"));

  std::u16string name = u16("c");
  ASSERT_EQ(FSMoveRenameObjectUnicode(&a, &root_, name.size(), units(name), kTextEncodingUnknown,
                                      &a),
            noErr);
  EXPECT_EQ(forkOf("c"), "fork of a");

  // The file system's own move-rename, where the volume offers it (the
  // mount without attributes has no renameat2 flags).
  const std::u16string d = u16("d");
  if (attributes()) {
    ASSERT_EQ(FSMoveRename(&a, &sub, d.size(), units(d), kTextEncodingUnknown, &a), noErr);
  } else {
    ASSERT_EQ(FSMoveRenameObjectUnicode(&a, &sub, d.size(), units(d), kTextEncodingUnknown, &a),
              noErr);
  }
  EXPECT_EQ(forkOf("d", "sub"), "fork of a");

  ASSERT_EQ(renameTo(plain, "plain2"), noErr);
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"plain2", "sub"}));
  EXPECT_EQ(entriesOf(*this / "sub"), (std::set<std::string>{"d", "._d"}));
}

// A `._` file already at the new name (an orphan, or stranded there by a
// plain `mv` of its object) gives way to the object's own; the object's
// rename failing puts it back.  Nothing is left under a hidden name.
TEST_P(SidecarOperations, AFileInTheWayGivesWayOnlyWhenTheObjectMoves) {
  fileWithFork("a", "mine");
  writeFile(*this / "._b", serverLayout("in the way"));
  FSRef a = ref("a");
  ASSERT_EQ(renameTo(a, "b", &a), noErr);
  EXPECT_EQ(forkOf("b"), "mine");
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"b", "._b"}));

  // The new name is taken: nothing moves, the other object keeps its own.
  fileWithFork("c", "of c");
  FSRef b = ref("b");
  EXPECT_EQ(renameTo(b, "c"), dupFNErr);
  EXPECT_EQ(forkOf("b"), "mine");
  EXPECT_EQ(forkOf("c"), "of c");
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"b", "._b", "c", "._c"}));
}

// A `._` file stranded by a plain `mv` of its object is never the fork of a
// new object of the old name made through the layer.
TEST_P(SidecarOperations, AFileStrandedByAPlainMoveIsNotANewObjectsFork) {
  if (!attributes())
    GTEST_SKIP() << "without attributes the name alone decides, as for every other reader";
  fileWithFork("a", "of the first a");
  ASSERT_EQ(::rename((*this / "a").c_str(), (*this / "elsewhere").c_str()), 0);
  ASSERT_EQ(createFile(root_, "a"), noErr);
  EXPECT_EQ(forkOf("a"), "<not its own>");
  EXPECT_EQ(listed(root_), (std::vector<std::string>{"a", "elsewhere"}));
}

// Deleting takes the `._` file away after its object, one by one and in
// tree deletions; one that is not a file stays.
TEST_P(SidecarOperations, DeleteTakesTheFileAway) {
  fileWithFork("a", "fork");
  ASSERT_EQ(::mkdir((*this / "f").c_str(), 0755), 0);
  giveFork("f", "");
  writeFile(*this / "b", "b");
  ASSERT_EQ(::symlink("b", (*this / "._b").c_str()), 0);
  FSRef a = ref("a"), f = ref("f"), b = ref("b");
  EXPECT_EQ(FSDeleteObject(&a), noErr);
  EXPECT_EQ(FSDeleteObject(&f), noErr);
  EXPECT_EQ(FSDeleteObject(&b), noErr);
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"._b"}));

  // A tree of files with and without, orphans among them.
  ASSERT_EQ(::mkdir((*this / "tree").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((*this / "tree/deep").c_str(), 0755), 0);
  giveFork("tree", "");
  for (const char *folder : {"tree", "tree/deep"}) {
    fileWithFork("x", "fork", folder);
    writeFile(*this / (std::string(folder) + "/y"), "plain");
    writeFile(*this / (std::string(folder) + "/._z"), "orphan");
  }
  giveFork("deep", "", "tree");
  FSRef tree = ref("tree");
  EXPECT_EQ(FSDeleteContainer(&tree), noErr);
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"._b"}));
}

// The server-side copy copies the `._` file too, as the copy's own; a
// source without one gives a copy without one.
TEST_P(SidecarOperations, CopyCopiesTheFile) {
  fileWithFork("a", std::string(70000, 'r'));
  writeFile(*this / "plain", "plain");
  ASSERT_EQ(::mkdir((*this / "sub").c_str(), 0755), 0);
  writeFile(*this / "sub/._a", serverLayout("an orphan in the way"));
  const FSRef sub = ref("sub");
  for (const char *name : {"a", "plain"}) {
    FSSpec spec = specOf(ref(name));
    HParamBlockRec pb = copyBlock(spec, sub, nullptr);
    ASSERT_EQ(PBHCopyFileSync(&pb), noErr) << name;
  }
  EXPECT_EQ(forkOf("a", "sub"), std::string(70000, 'r'));
  EXPECT_EQ(forkOf("a"), std::string(70000, 'r'));
  EXPECT_EQ(entriesOf(*this / "sub"), (std::set<std::string>{"a", "._a", "plain"}));
  if (attributes()) {
    sidecar::Owner owner;
    sys::Fd copy(::openat(fd_.get(), "sub/._a", O_RDONLY));
    ASSERT_TRUE(sidecar::readOwner(copy.get(), owner));
    sys::Fd sub(::openat(fd_.get(), "sub", O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(owner.objectIno, statxOf(sub.get(), "a").stx_ino);
  }
}

// A kill between the link of a rename's `._` file and its unlink leaves the
// same file under two names; the name beside no object goes when met, by a
// listing or a lookup, while the object keeps its fork.  A second name of a
// file this layer did not write is someone's ordinary file and stays.
TEST_P(SidecarOperations, SecondNamesLeftByAKilledRenameGoWhenMet) {
  if (!attributes())
    GTEST_SKIP() << "without owner records a second name is an ordinary file";
  // Killed after the link, before the object's rename.
  fileWithFork("a", "fork");
  ASSERT_EQ(::link((*this / "._a").c_str(), (*this / "._b").c_str()), 0);
  EXPECT_EQ(listed(root_), (std::vector<std::string>{"a"}));
  EXPECT_EQ(forkOf("a"), "fork");
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"a", "._a"}));

  // Killed after the object's rename, before the unlink; met by a lookup.
  ASSERT_EQ(::link((*this / "._a").c_str(), (*this / "._b").c_str()), 0);
  ASSERT_EQ(::rename((*this / "a").c_str(), (*this / "b").c_str()), 0);
  FSRef found;
  EXPECT_EQ(child(root_, "._a", found), fnfErr);
  EXPECT_EQ(forkOf("b"), "fork");
  EXPECT_EQ(entriesOf(path_), (std::set<std::string>{"b", "._b"}));

  // Someone's hard link of a file the server wrote.
  writeFile(*this / "._mine", serverLayout("theirs"));
  ASSERT_EQ(::link((*this / "._mine").c_str(), (*this / "._also").c_str()), 0);
  EXPECT_EQ(listed(root_), (std::vector<std::string>{"._also", "._mine", "b"}));
}

// Permissions: a caller who may rename an object but not read its `._`
// file (nor link it: the kernel's protected hard links) still carries it.
TEST_P(SidecarOperations, ACallerWhoMayNotReadTheFileStillCarriesIt) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give the files away";
  if (!attributes())
    GTEST_SKIP() << "the mount serves the user who made it alone";
  fileWithFork("a", "root's fork");
  ASSERT_EQ(::chmod((*this / "._a").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0777), 0);
  EXPECT_EQ(asNobody([&] {
              FSRef a, root;
              if (refFor(path_, root) != noErr || refFor(*this / "a", a) != noErr)
                return 1;
              if (renameTo(a, "b", &a) != noErr)
                return 2;
              if (listed(root) != std::vector<std::string>{"b"})
                return 3;
              return FSDeleteObject(&a) == noErr ? 0 : 4;
            }),
            0);
  EXPECT_TRUE(entriesOf(path_).empty());
}

// The file server sees the resource fork of a file renamed, moved or copied
// here.
TEST(SidecarOperationsWithPeers, TheFileServerSeesTheForkAfterEachOperation) {
  TempDir share, state;
  FileServer server(share.path(), state.path());
  if (!server.unavailable().empty())
    GTEST_SKIP() << server.unavailable();
  writeFile(share / "doc", "data");
  const std::string fork(5000, 'q');
  ASSERT_TRUE(server.putStream("doc", "AFP_Resource", fork));
  ASSERT_EQ(::mkdir((share / "sub").c_str(), 0755), 0);
  FSRef doc, sub;
  ASSERT_EQ(refFor(share / "doc", doc), noErr);
  ASSERT_EQ(refFor(share / "sub", sub), noErr);

  std::string served;
  ASSERT_EQ(renameTo(doc, "renamed", &doc), noErr);
  ASSERT_TRUE(server.getStream("renamed", "AFP_Resource", served));
  EXPECT_EQ(served, fork);
  ASSERT_EQ(FSMoveObject(&doc, &sub, &doc), noErr);
  ASSERT_TRUE(server.getStream("sub/renamed", "AFP_Resource", served));
  EXPECT_EQ(served, fork);

  FSSpec spec = specOf(doc);
  FSRef root;
  ASSERT_EQ(refFor(share.path(), root), noErr);
  PascalName copyName("copy");
  HParamBlockRec pb = copyBlock(spec, root, copyName.bytes);
  ASSERT_EQ(PBHCopyFileSync(&pb), noErr);
  ASSERT_TRUE(server.getStream("copy", "AFP_Resource", served));
  EXPECT_EQ(served, fork);
}

namespace {

/// Which files of an exchange have a `._` file, and the two ways to
/// exchange: the file system's own, and the library's fallback by renaming.
struct ExchangeCase {
  bool forkA, forkB, twoFolders, fallback;
};

} // namespace

// Exchanging two files exchanges their contents, the resource fork with the
// data: each `._` file goes with its data, none is left under a staging
// name, and a file without one leaves none behind.
TEST_P(SidecarOperations, ExchangeCarriesEachFileWithItsData) {
  if (!attributes()) {
    FSRef file;
    FSCatalogInfo info{};
    ASSERT_EQ(createFile(root_, "probe", &file), noErr);
    ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoCreateDate, &info, nullptr, nullptr, nullptr),
              noErr);
    if (OSErr err = FSSetCatalogInfo(&file, kFSCatInfoCreateDate, &info))
      GTEST_SKIP() << "the fallback trades creation dates, which this volume does not keep: "
                   << err;
    ASSERT_EQ(FSDeleteObject(&file), noErr);
  }
  for (const ExchangeCase c : {ExchangeCase{true, true, false, false}, {true, false, false, false},
                               {false, true, true, false}, {false, false, false, false},
                               {true, true, true, true}, {true, false, false, true}}) {
    SCOPED_TRACE(::testing::Message() << "forks " << c.forkA << c.forkB << ", two folders "
                                      << c.twoFolders << ", fallback " << c.fallback);
    const std::string folder = c.twoFolders ? "other" : ".";
    ::mkdir((*this / "other").c_str(), 0755);
    writeFile(*this / "a", "data of a");
    writeFile(*this / (folder + "/b"), "data of b");
    if (c.forkA)
      giveFork("a", "fork of a");
    if (c.forkB)
      giveFork("b", "fork of b", folder.c_str());
    FSRef a = ref("a"), b = ref(folder + "/b"), newA, newB;
    {
      quillmate::fm::testing::FaultInjector faults;
      if (c.fallback || !attributes())
        faults.withoutCapability(0, bSupportsFSExchangeObjects, true);
      ASSERT_EQ(FSExchangeObjectsCompat(&a, &b, &newA, &newB), noErr);
    }
    EXPECT_EQ(readFile(*this / "a"), "data of b");
    EXPECT_EQ(forkOf("a"), c.forkB ? "fork of b" : "<none>");
    EXPECT_EQ(forkOf("b", folder.c_str()), c.forkA ? "fork of a" : "<none>");
    std::set<std::string> expected{"a", "other"};
    if (c.forkB)
      expected.insert("._a");
    if (!c.twoFolders) {
      expected.insert("b");
      if (c.forkA)
        expected.insert("._b");
    }
    EXPECT_EQ(entriesOf(path_), expected);
    for (const char *name : {"a", "b", "._a", "._b", "other/b", "other/._b"})
      ::unlink((*this / name).c_str());
  }
}
