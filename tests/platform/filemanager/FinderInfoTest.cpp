// Finder information where the Mac and the file server read it: netatalk's
// attribute on ext4 and tmpfs, the `._` file on a file system without
// extended attributes (a FUSE mount); the record earlier versions kept it
// in, read as before and moved when next written; the order in which the
// places are read when they disagree; and the file server and the archiver
// reading and writing it with the layer.
#include "platform/filemanager/DoubleHeader.h"
#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/Sidecar.h"

#include "FileManagerTestSupport.h"
#include "PeerSupport.h"

#include <memory>
#include <sys/xattr.h>

using namespace fmtest;
namespace dbl = quillmate::fm::dbl;
namespace sys = quillmate::fm::sys;
namespace sidecar = quillmate::fm::sidecar;

namespace {

constexpr const char *kNetatalk = "user.org.netatalk.Metadata";
constexpr const char *kRecord = "user.quillmate.meta";
constexpr FSCatalogInfoBitmap kFinderFields = kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;

/// The value of attribute `name` of `path`; "<none>" without one.
std::string attribute(const std::string &path, const char *name) {
  char value[4096];
  ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? "<none>" : std::string(value, size_t(n));
}

/// Big-endian bytes.
std::string be16(unsigned v) { return {char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return be16(v >> 16) + be16(v & 0xFFFF); }

/// A file's Finder information and extended Finder information as a caller
/// gives them, and the 32 bytes the Mac keeps for them.
struct FileFinderInfo {
  OSType type, creator;
  UInt16 flags;
  SInt16 v, h;
  UInt16 extendedFlags;
  SInt32 putAway;

  void into(FSCatalogInfo &info) const {
    FileInfo fi{};
    fi.fileType = type;
    fi.fileCreator = creator;
    fi.finderFlags = flags;
    fi.location = {v, h};
    ExtendedFileInfo ext{};
    ext.extendedFinderFlags = extendedFlags;
    ext.putAwayFolderID = putAway;
    std::memcpy(info.finderInfo, &fi, 16);
    std::memcpy(info.extFinderInfo, &ext, 16);
  }
  std::string disk() const {
    return be32(type) + be32(creator) + be16(flags) + be16(UInt16(v)) + be16(UInt16(h)) +
           be16(0) + std::string(8, '\0') + be16(extendedFlags) + be16(0) +
           be32(UInt32(putAway));
  }
};

/// A folder's, likewise: its fields have other widths.
struct FolderFinderInfo {
  Rect bounds;
  UInt16 flags;
  SInt16 scrollV, scrollH;
  UInt16 extendedFlags;

  void into(FSCatalogInfo &info) const {
    FolderInfo fi{};
    fi.windowBounds = bounds;
    fi.finderFlags = flags;
    ExtendedFolderInfo ext{};
    ext.scrollPosition = {scrollV, scrollH};
    ext.extendedFinderFlags = extendedFlags;
    std::memcpy(info.finderInfo, &fi, 16);
    std::memcpy(info.extFinderInfo, &ext, 16);
  }
  std::string disk() const {
    return be16(UInt16(bounds.top)) + be16(UInt16(bounds.left)) + be16(UInt16(bounds.bottom)) +
           be16(UInt16(bounds.right)) + be16(flags) + std::string(6, '\0') +
           be16(UInt16(scrollV)) + be16(UInt16(scrollH)) + be32(0) + be16(extendedFlags) +
           std::string(6, '\0');
  }
};

const FileFinderInfo kText{0x54455854 /* 'TEXT' */, 0x514D5445 /* 'QMTE' */, 0x4100, 12, -3,
                           0x0004, 77};
const FolderFinderInfo kFolder{{10, 20, 300, 400}, 0x0400, 5, -6, 0x0002};

std::string finderBytes(const FSCatalogInfo &info) {
  return std::string(reinterpret_cast<const char *>(info.finderInfo), 16) +
         std::string(reinterpret_cast<const char *>(info.extFinderInfo), 16);
}

/// The Finder information entry of the `._` file at `path`; "<none>"
/// without one.
std::string sidecarEntry(const std::string &path) {
  const std::string bytes = readFile(path);
  dbl::Header h;
  if (bytes.empty() ||
      dbl::Header::parse(reinterpret_cast<const UInt8 *>(bytes.data()), bytes.size(), bytes.size(),
                         h) != dbl::Damage::None)
    return "<none>";
  const dbl::Entry *e = h.find(dbl::kFinderInfo);
  return e ? bytes.substr(e->offset, dbl::kFinderInfoSize) : "<none>";
}

/// The Finder information entry of a netatalk value; "<none>" when it has
/// none.
std::string netatalkEntry(const std::string &value) {
  UInt8 fi[dbl::kFinderInfoSize];
  if (!dbl::netatalkFinderInfo(reinterpret_cast<const UInt8 *>(value.data()), value.size(), fi))
    return "<none>";
  return std::string(reinterpret_cast<char *>(fi), sizeof fi);
}

struct statx objectStatx(const std::string &path) {
  struct statx stx {};
  ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW,
          STATX_INO | STATX_BTIME | STATX_MODE | STATX_TYPE, &stx);
  return stx;
}

/// A record as version 1 wrote it: a creation date when `created`, the
/// Finder information in this machine's byte order.
std::string earlierRecord(const FSCatalogInfo &info, bool created) {
  std::string r(56, '\0');
  r[0] = 1;
  r[1] = created ? 0x02 : 0;
  r.replace(8, 16, reinterpret_cast<const char *>(info.finderInfo), 16);
  r.replace(24, 16, reinterpret_cast<const char *>(info.extFinderInfo), 16);
  if (created)
    r[42] = 0x7F; // the low seconds' low byte
  return r;
}

bool setAttribute(const std::string &path, const char *name, const std::string &value) {
  return ::setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

/// The file "doc" and the folder "box" in `root`, given kText and kFolder
/// through FSSetCatalogInfo.
void makeDocAndBox(const FSRef &root, FSRef &file, FSCatalogInfo &fileInfo, FSRef &folder,
                   FSCatalogInfo &folderInfo) {
  ASSERT_EQ(createFile(root, "doc", &file), noErr);
  ASSERT_EQ(createDir(root, "box", &folder), noErr);
  kText.into(fileInfo);
  kFolder.into(folderInfo);
  ASSERT_EQ(FSSetCatalogInfo(&file, kFinderFields, &fileInfo), noErr);
  ASSERT_EQ(FSSetCatalogInfo(&folder, kFinderFields, &folderInfo), noErr);
}

// --- the byte order of the places --------------------------------------------------

TEST(FinderInfoBytes, FieldsOfFilesAndFoldersAreSwappedByTheirWidths) {
  for (bool folder : {false, true}) {
    FSCatalogInfo info{};
    folder ? kFolder.into(info) : kText.into(info);
    const std::string host = finderBytes(info);
    UInt8 disk[32], back[32];
    quillmate::fm::convertFinderInfo(reinterpret_cast<const UInt8 *>(host.data()), folder, disk);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(disk), 32),
              folder ? kFolder.disk() : kText.disk())
        << (folder ? "folder" : "file");
    quillmate::fm::convertFinderInfo(disk, folder, back);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back), 32), host);
  }
}

// --- on each kind of file system -----------------------------------------------------

class FinderInfoPlaces : public OnEachPlace {
protected:
  /// The Finder information the layer shows for `ref`, alone and with
  /// fields of the record beside it: both must agree.
  std::string shown(const FSRef &ref) {
    FSCatalogInfo alone{}, withRecord{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFinderFields, &alone, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFinderFields | kFSCatInfoCreateDate | kFSCatInfoNodeFlags,
                               &withRecord, nullptr, nullptr, nullptr),
              noErr);
    EXPECT_EQ(finderBytes(alone), finderBytes(withRecord));
    return finderBytes(alone);
  }
};

INSTANTIATE_TEST_SUITE_P(FileSystems, FinderInfoPlaces,
                         ::testing::Values("/tmp", "/dev/shm", "no attributes"));

TEST_P(FinderInfoPlaces, FilesAndFoldersKeepItWhereTheMacReadsIt) {
  FSRef file, folder;
  FSCatalogInfo fileInfo{}, folderInfo{};
  ASSERT_NO_FATAL_FAILURE(makeDocAndBox(root_, file, fileInfo, folder, folderInfo));
  EXPECT_EQ(shown(file), finderBytes(fileInfo));
  EXPECT_EQ(shown(folder), finderBytes(folderInfo));

  for (const auto &[name, disk] : {std::pair{"doc", kText.disk()}, {"box", kFolder.disk()}}) {
    SCOPED_TRACE(name);
    if (hasAttributes()) {
      const std::string value = attribute(path(name), kNetatalk);
      ASSERT_EQ(value.size(), dbl::kNetatalkSize);
      EXPECT_EQ(value.substr(0x7a, 32), disk);
      EXPECT_EQ(attribute(path(name), kRecord), "<none>");
      EXPECT_FALSE(exists(path(std::string("._") + name)));
      // The dates entry of a new value: creation (the birth time where the
      // file system keeps one), modification and access in seconds since
      // 2000, backup unknown.
      struct stat st;
      ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
      EXPECT_EQ(value.substr(0x162 + 4, 4), be32(uint32_t(st.st_mtime - 946684800)));
      EXPECT_EQ(value.substr(0x162 + 8, 4), be32(0x80000000));
      const struct statx stx = objectStatx(path(name));
      if (stx.stx_mask & STATX_BTIME) {
        EXPECT_EQ(value.substr(0x162, 4), be32(uint32_t(stx.stx_btime.tv_sec - 946684800)));
      }
    } else {
      EXPECT_EQ(sidecarEntry(path(std::string("._") + name)), disk);
    }
  }

  // Cleared: it reads as zeros, and whatever holds it says zeros.
  FSCatalogInfo zeros{};
  ASSERT_EQ(FSSetCatalogInfo(&file, kFinderFields, &zeros), noErr);
  EXPECT_EQ(shown(file), std::string(32, '\0'));
  if (hasAttributes())
    EXPECT_EQ(attribute(path("doc"), kNetatalk).substr(0x7a, 32), std::string(32, '\0'));
  else
    EXPECT_EQ(sidecarEntry(path("._doc")), std::string(32, '\0'));
}

TEST_P(FinderInfoPlaces, NoFinderInformationMakesNothing) {
  FSRef file;
  ASSERT_EQ(createFile(root_, "plain", &file), noErr);
  FSCatalogInfo zeros{};
  ASSERT_EQ(FSSetCatalogInfo(&file, kFinderFields, &zeros), noErr);
  EXPECT_EQ(shown(file), std::string(32, '\0'));
  EXPECT_FALSE(exists(path("._plain")));
  if (hasAttributes()) {
    EXPECT_EQ(attribute(path("plain"), kNetatalk), "<none>");
    EXPECT_EQ(attribute(path("plain"), kRecord), "<none>");
  }
}

// Where the file system keeps no attributes only the Finder information has
// a place: setting anything else answers as it did before, and writes
// nothing, the Finder information written beside it included.
TEST_P(FinderInfoPlaces, AVolumeWithoutAttributesKeepsOnlyTheFinderInformation) {
  if (hasAttributes())
    GTEST_SKIP() << "the file system keeps attributes";
  FSRef file, folder;
  ASSERT_EQ(createFile(root_, "doc", &file), noErr);
  ASSERT_EQ(createDir(root_, "box", &folder), noErr);
  FSCatalogInfo info{};
  kText.into(info);
  info.createDate = {0, 3000000000u, 0};
  info.textEncodingHint = 0x0103;
  for (FSCatalogInfoBitmap other : {kFSCatInfoCreateDate, kFSCatInfoBackupDate,
                                    kFSCatInfoTextEncoding}) {
    info.backupDate = {0, 5, 0};
    EXPECT_EQ(FSSetCatalogInfo(&file, kFinderFields | other, &info), errFSOperationNotSupported)
        << other;
    EXPECT_FALSE(exists(path("._doc")));
  }
  FSCatalogInfo lock{};
  lock.nodeFlags = kFSNodeLockedMask;
  EXPECT_EQ(FSSetCatalogInfo(&folder, kFSCatInfoNodeFlags, &lock), errFSOperationNotSupported);
  FSCatalogInfo flags{};
  ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoNodeFlags, &flags, nullptr, nullptr, nullptr),
            noErr);
  EXPECT_FALSE(flags.nodeFlags & kFSNodeLockedMask);
  EXPECT_FALSE(exists(path("._box")));

  // Locking a file records the write bits it clears: that, too, answers
  // as before.
  EXPECT_EQ(FSSetCatalogInfo(&file, kFinderFields | kFSCatInfoNodeFlags, &lock),
            errFSOperationNotSupported);
  struct stat st;
  ASSERT_EQ(::stat(path("doc").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0200, 0u);
  EXPECT_FALSE(exists(path("._doc")));

  // The Finder information alone is kept.
  ASSERT_EQ(FSSetCatalogInfo(&file, kFinderFields, &info), noErr);
  EXPECT_EQ(sidecarEntry(path("._doc")), kText.disk());
}

// A `._` file that another program left with a resource fork keeps it when
// the Finder information is written into it; a damaged one is not
// overwritten.
TEST_P(FinderInfoPlaces, TheSidecarKeepsItsForkAndADamagedOneIsLeftAlone) {
  if (hasAttributes())
    GTEST_SKIP() << "the Finder information goes into netatalk's attribute here";
  writeFile(path("forked"), "data");
  {
    sys::Fd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
    sidecar::File made;
    ASSERT_EQ(sidecar::create(dir.get(), "forked", objectStatx(path("forked")), nullptr, "fork", 4,
                              false, made),
              noErr);
  }
  FSRef forked;
  ASSERT_EQ(child(root_, "forked", forked), noErr);
  FSCatalogInfo info{};
  kText.into(info);
  ASSERT_EQ(FSSetCatalogInfo(&forked, kFinderFields, &info), noErr);
  EXPECT_EQ(sidecarEntry(path("._forked")), kText.disk());
  EXPECT_EQ(readFile(path("._forked")).substr(dbl::kSidecarForkOffset), "fork");

  writeFile(path("damaged"), "data");
  writeFile(path("._damaged"), "not in the double format, and not ours to overwrite");
  FSRef damaged;
  ASSERT_EQ(child(root_, "damaged", damaged), noErr);
  EXPECT_EQ(shown(damaged), std::string(32, '\0'));
  EXPECT_EQ(FSSetCatalogInfo(&damaged, kFinderFields, &info), ioErr);
  EXPECT_EQ(readFile(path("._damaged")), "not in the double format, and not ours to overwrite");
}

// An exchange swaps the contents; each place keeps its own Finder
// information, wherever the file system keeps it.
TEST_P(FinderInfoPlaces, EachPlaceKeepsItsOwnThroughAnExchange) {
  FSRef a, b;
  ASSERT_EQ(createFile(root_, "a", &a), noErr);
  ASSERT_EQ(createFile(root_, "b", &b), noErr);
  writeFile(path("a"), "contents of a");
  writeFile(path("b"), "contents of b");
  FSCatalogInfo infoA{}, infoB{};
  kText.into(infoA);
  FileFinderInfo other = kText;
  other.type = 0x50494354; // 'PICT'
  other.into(infoB);
  ASSERT_EQ(FSSetCatalogInfo(&a, kFinderFields, &infoA), noErr);
  ASSERT_EQ(FSSetCatalogInfo(&b, kFinderFields, &infoB), noErr);
  const OSErr exchanged = FSExchangeObjects(&a, &b);
  if (exchanged == errFSOperationNotSupported && !hasAttributes())
    GTEST_SKIP() << "no exchange on this file system";
  ASSERT_EQ(exchanged, noErr);
  EXPECT_EQ(readFile(path("a")), "contents of b");
  FSRef atA, atB;
  ASSERT_EQ(child(root_, "a", atA), noErr);
  ASSERT_EQ(child(root_, "b", atB), noErr);
  EXPECT_EQ(shown(atA), finderBytes(infoA));
  EXPECT_EQ(shown(atB), finderBytes(infoB));
  if (hasAttributes()) {
    EXPECT_EQ(netatalkEntry(attribute(path("a"), kNetatalk)), kText.disk());
    EXPECT_EQ(netatalkEntry(attribute(path("b"), kNetatalk)), other.disk());
    EXPECT_EQ(attribute(path("a"), kNetatalk).substr(8, 16), std::string(16, '\0'));
  } else {
    EXPECT_EQ(sidecarEntry(path("._a")), kText.disk());
    EXPECT_EQ(sidecarEntry(path("._b")), other.disk());
  }
}

// --- what earlier versions wrote, and places that disagree -----------------------------

class FinderInfoOrder : public OnEachFileSystem {};
INSTANTIATE_TEST_SUITE_P(FileSystems, FinderInfoOrder, ::testing::ValuesIn(bases()));

TEST_P(FinderInfoOrder, AnEarlierRecordReadsAsBeforeAndMovesWhenWritten) {
  FSCatalogInfo info{};
  kText.into(info);
  for (bool created : {false, true}) {
    SCOPED_TRACE(created ? "with a creation date" : "Finder information alone");
    const std::string name = created ? "dated" : "plain";
    writeFile(dir_ / name, "x");
    ASSERT_TRUE(setAttribute(dir_ / name, kRecord, earlierRecord(info, created)));
    FSRef ref;
    ASSERT_EQ(child(root_, name.c_str(), ref), noErr);
    FSCatalogInfo got{};
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFinderFields, &got, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(finderBytes(got), finderBytes(info));
    // Writing other fields leaves it where it is.
    FSCatalogInfo dates{};
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoContentMod, &dates, nullptr, nullptr, nullptr),
              noErr);
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoContentMod, &dates), noErr);
    EXPECT_EQ(attribute(dir_ / name, kNetatalk), "<none>");

    // Written again, the same, it moves: netatalk's attribute holds it, the
    // record keeps its other fields with zeros in its place, or goes.
    ASSERT_EQ(FSSetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info), noErr);
    EXPECT_EQ(netatalkEntry(attribute(dir_ / name, kNetatalk)), kText.disk());
    const std::string record = attribute(dir_ / name, kRecord);
    if (created) {
      ASSERT_EQ(record.size(), 56u);
      std::string expected = earlierRecord(info, true);
      expected.replace(8, 32, std::string(32, '\0'));
      EXPECT_EQ(record, expected);
    } else {
      EXPECT_EQ(record, "<none>");
    }
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFinderFields | kFSCatInfoCreateDate, &got, nullptr, nullptr,
                               nullptr),
              noErr);
    EXPECT_EQ(finderBytes(got), finderBytes(info));
    if (created) {
      EXPECT_EQ(+got.createDate.lowSeconds, 0x7Fu);
    }
  }
}

TEST_P(FinderInfoOrder, NetatalkThenTheSidecarThenTheRecord) {
  auto withType = [](const char type[5]) {
    FSCatalogInfo info{};
    FileFinderInfo fi = kText;
    fi.type = OSType(type[0]) << 24 | OSType(type[1]) << 16 | OSType(type[2]) << 8 | type[3];
    fi.into(info);
    return info;
  };
  const FSCatalogInfo fromRecord = withType("RECD"), fromSidecar = withType("SIDE"),
                      fromNetatalk = withType("NETA");
  auto disk = [](const FSCatalogInfo &info) {
    const std::string host = finderBytes(info);
    UInt8 out[32];
    quillmate::fm::convertFinderInfo(reinterpret_cast<const UInt8 *>(host.data()), false, out);
    return std::string(reinterpret_cast<char *>(out), 32);
  };
  writeFile(dir_ / "f", "x");
  ASSERT_TRUE(setAttribute(dir_ / "f", kRecord, earlierRecord(fromRecord, false)));
  {
    sys::Fd dir(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
    sidecar::File made;
    const std::string bytes = disk(fromSidecar);
    ASSERT_EQ(sidecar::create(dir.get(), "f", objectStatx(dir_ / "f"),
                              reinterpret_cast<const UInt8 *>(bytes.data()), nullptr, 0, false,
                              made),
              noErr);
  }
  const std::string netatalk = disk(fromNetatalk);
  const std::vector<UInt8> value = dbl::netatalkWithFinderInfo(
      nullptr, 0, reinterpret_cast<const UInt8 *>(netatalk.data()), dbl::FileDates{});
  ASSERT_TRUE(setAttribute(dir_ / "f", kNetatalk, std::string(value.begin(), value.end())));
  FSRef ref;
  ASSERT_EQ(child(root_, "f", ref), noErr);
  auto shown = [&](FSCatalogInfoBitmap also) {
    FSCatalogInfo got{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFinderFields | also, &got, nullptr, nullptr, nullptr), noErr);
    return std::string(reinterpret_cast<char *>(got.finderInfo), 4);
  };
  for (FSCatalogInfoBitmap also : {FSCatalogInfoBitmap(0), FSCatalogInfoBitmap(kFSCatInfoTextEncoding)}) {
    SCOPED_TRACE(also ? "with the record" : "alone");
    ASSERT_TRUE(setAttribute(dir_ / "f", kNetatalk, std::string(value.begin(), value.end())));
    EXPECT_EQ(shown(also), "ATEN"); // 'NETA', in this machine's order
    // A value without a Finder information entry, or damaged, does not count.
    std::string noEntry(value.begin(), value.end());
    noEntry[26 + 2 * 12 + 3] = 0x0A; // the third descriptor's id: 9 becomes 10
    ASSERT_TRUE(setAttribute(dir_ / "f", kNetatalk, noEntry));
    EXPECT_EQ(shown(also), "EDIS");
    ASSERT_TRUE(setAttribute(dir_ / "f", kNetatalk, "damaged"));
    EXPECT_EQ(shown(also), "EDIS");
    ASSERT_EQ(::removexattr((dir_ / "f").c_str(), kNetatalk), 0);
    EXPECT_EQ(shown(also), "EDIS");
  }
  // A `._` file of zeros says nothing: the record speaks.
  ASSERT_EQ(::unlink((dir_ / "._f").c_str()), 0);
  {
    sys::Fd dir(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
    sidecar::File made;
    ASSERT_EQ(sidecar::create(dir.get(), "f", objectStatx(dir_ / "f"), nullptr, nullptr, 0, false,
                              made),
              noErr);
  }
  EXPECT_EQ(shown(0), "DCER");

  // Zeros written over the `._` file's say so in netatalk's attribute.
  {
    sys::Fd dir(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
    sidecar::File opened;
    sidecar::Found found;
    ASSERT_EQ(sidecar::open(dir.get(), "f", objectStatx(dir_ / "f"), O_RDWR, opened, found), noErr);
    ASSERT_EQ(found, sidecar::Found::Attached);
    const std::string bytes = disk(fromSidecar);
    ASSERT_EQ(sidecar::writeFinderInfo(opened, reinterpret_cast<const UInt8 *>(bytes.data())),
              noErr);
  }
  EXPECT_EQ(shown(0), "EDIS");
  FSCatalogInfo zeros{};
  ASSERT_EQ(FSSetCatalogInfo(&ref, kFinderFields, &zeros), noErr);
  EXPECT_EQ(shown(0), std::string(4, '\0'));
  EXPECT_EQ(netatalkEntry(attribute(dir_ / "f", kNetatalk)), std::string(32, '\0'));
  EXPECT_EQ(attribute(dir_ / "f", kRecord), "<none>");
}

TEST_P(FinderInfoOrder, AWriteKeepsNetatalksOtherEntries) {
  writeFile(dir_ / "f", "x");
  // A value as netatalk and the file server write it, with a comment and
  // AFP file information of theirs.
  const UInt8 zeros[32] = {};
  std::vector<UInt8> value =
      dbl::netatalkWithFinderInfo(nullptr, 0, zeros, dbl::FileDates{1, 2, 3, 4});
  value[26 + 8 + 3] = 5; // the comment's length
  std::memcpy(value.data() + 0x9a, "hello", 5);
  value[0x172 + 3] = 0x21; // AFP file information
  std::string before(value.begin(), value.end());
  ASSERT_TRUE(setAttribute(dir_ / "f", kNetatalk, before));
  FSRef ref;
  ASSERT_EQ(child(root_, "f", ref), noErr);
  FSCatalogInfo info{};
  kText.into(info);
  ASSERT_EQ(FSSetCatalogInfo(&ref, kFinderFields, &info), noErr);
  std::string expected = before;
  expected.replace(0x7a, 32, kText.disk());
  EXPECT_EQ(attribute(dir_ / "f", kNetatalk), expected);
}

// --- the programs that share it ------------------------------------------------------

class FileServerFinderInfo : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(share_.path().empty());
    if (!server_.unavailable().empty())
      GTEST_SKIP() << server_.unavailable();
    ASSERT_EQ(refFor(share_.path(), root_), noErr);
  }
  TempDir share_;
  TempDir state_;
  FileServer server_{share_.path(), state_.path()};
  FSRef root_{};
};

/// An AFP_AfpInfo stream with `finderInfo` (32 bytes, big-endian).
std::string afpInfo(const std::string &finderInfo) {
  return "AFP" + std::string(1, '\0') + be32(0x00000100) + be32(0) + be32(0x80000000) +
         finderInfo + std::string(12, '\0');
}

TEST_F(FileServerFinderInfo, ServesWhatIsSetHereForFilesAndFolders) {
  FSRef file, folder;
  FSCatalogInfo fileInfo{}, folderInfo{};
  ASSERT_NO_FATAL_FAILURE(makeDocAndBox(root_, file, fileInfo, folder, folderInfo));
  for (const auto &[name, disk] : {std::pair{"doc", kText.disk()}, {"box", kFolder.disk()}}) {
    SCOPED_TRACE(name);
    std::string served;
    ASSERT_TRUE(server_.getStream(name, "AFP_AfpInfo", served));
    ASSERT_EQ(served.size(), 60u);
    EXPECT_EQ(served.substr(0, 8), afpInfo("").substr(0, 8));
    EXPECT_EQ(served.substr(16, 32), disk);
  }
}

TEST_F(FileServerFinderInfo, WhatItWritesReadsHere) {
  writeFile(share_ / "doc", "x");
  ASSERT_EQ(::mkdir((share_ / "box").c_str(), 0755), 0);
  ASSERT_TRUE(server_.putStream("doc", "AFP_AfpInfo", afpInfo(kText.disk())));
  ASSERT_TRUE(server_.putStream("box", "AFP_AfpInfo", afpInfo(kFolder.disk())));
  FSCatalogInfo fileInfo{}, folderInfo{};
  kText.into(fileInfo);
  kFolder.into(folderInfo);
  for (const auto &[name, want] : {std::pair{"doc", &fileInfo}, {"box", &folderInfo}}) {
    SCOPED_TRACE(name);
    FSRef ref;
    ASSERT_EQ(child(root_, name, ref), noErr);
    FSCatalogInfo got{};
    ASSERT_EQ(FSGetCatalogInfo(&ref, kFinderFields, &got, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(finderBytes(got), finderBytes(*want));
  }

  // Changed here, it keeps the server's other entries and serves the change.
  const std::string before = attribute(share_ / "doc", kNetatalk);
  FSRef doc;
  ASSERT_EQ(child(root_, "doc", doc), noErr);
  FileFinderInfo changed = kText;
  changed.creator = 0x74747874; // 'ttxt'
  changed.into(fileInfo);
  ASSERT_EQ(FSSetCatalogInfo(&doc, kFinderFields, &fileInfo), noErr);
  std::string expected = before;
  expected.replace(0x7a, 32, changed.disk());
  EXPECT_EQ(attribute(share_ / "doc", kNetatalk), expected);
  std::string served;
  ASSERT_TRUE(server_.getStream("doc", "AFP_AfpInfo", served));
  EXPECT_EQ(served.substr(16, 32), changed.disk());
}

// An exchange under way marks netatalk's attribute; the server still reads it.
TEST_F(FileServerFinderInfo, ServesAValueMarkedByAnExchange) {
  FSRef file;
  ASSERT_EQ(createFile(root_, "doc", &file), noErr);
  FSCatalogInfo info{};
  kText.into(info);
  ASSERT_EQ(FSSetCatalogInfo(&file, kFinderFields, &info), noErr);
  std::string value = attribute(share_ / "doc", kNetatalk);
  value.replace(8, 16, "Exchange pending");
  ASSERT_TRUE(setAttribute(share_ / "doc", kNetatalk, value));
  std::string served;
  ASSERT_TRUE(server_.getStream("doc", "AFP_AfpInfo", served));
  EXPECT_EQ(served.substr(16, 32), kText.disk());
}

TEST(ArchiverFinderInfo, ItsSidecarReadsAsTypeCreatorAndFlags) {
  if (!haveProgram("unar"))
    GTEST_SKIP() << "unar is not installed";
  TempDir dir;
  writeFile(dir / "doc.bin", macBinary("doc.txt", "hello", "fork", "TEXT", "ttxt", 0x0100));
  ASSERT_EQ(run("cd '" + dir.path() + "' && unar -q -k hidden doc.bin >/dev/null 2>&1"), 0);
  FSRef ref;
  ASSERT_EQ(refFor(dir / "doc.txt", ref), noErr);
  FSCatalogInfo got{};
  ASSERT_EQ(FSGetCatalogInfo(&ref, kFinderFields, &got, nullptr, nullptr, nullptr), noErr);
  FileInfo fi;
  std::memcpy(&fi, got.finderInfo, sizeof fi);
  EXPECT_EQ(fi.fileType, 0x54455854u);    // 'TEXT'
  EXPECT_EQ(fi.fileCreator, 0x74747874u); // 'ttxt'
  EXPECT_EQ(fi.finderFlags, 0x0100);
}

} // namespace
