// Volumes: the mount table parser, FSGetVolumeInfo and PBHGetVolParmsSync,
// checked against findmnt, stat -f and the folders of this machine.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/testing/FileManagerTesting.h"
#include "platform/filemanager/MountInfo.h"

#include <cstdio>
#include <dirent.h>
#include <set>
#include <sstream>

using namespace fmtest;
namespace mi = quillmate::fm::mountinfo;

namespace {

/// The first word of findmnt's `column` for the mount holding `path`.
std::string findmnt(const std::string &column, const std::string &path) {
  std::string out = shell("findmnt -n -o " + column + " -T '" + path + "' | tail -n 1");
  return out.substr(0, out.find_first_of(" \n"));
}

FSVolumeRefNum volumeOf(const std::string &path) {
  FSRef ref;
  FSCatalogInfo info;
  if (refFor(path, ref) != noErr ||
      FSGetCatalogInfo(&ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr) != noErr)
    return 0;
  return info.volume;
}

std::string utf8(const HFSUniStr255 &name) {
  std::string out;
  for (UInt16 i = 0; i < name.length; ++i)
    out += name.unicode[i] < 0x80 ? static_cast<char>(name.unicode[i]) : '?';
  return out;
}

constexpr UInt16 sig(char a, char b) { return static_cast<UInt16>((a << 8) | b); }

OSErr volParms(FSVolumeRefNum volume, GetVolParmsInfoBuffer &buffer, SInt32 request,
               SInt32 *actual = nullptr) {
  HParamBlockRec pb{};
  pb.ioParam.ioVRefNum = volume;
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&buffer);
  pb.ioParam.ioReqCount = request;
  OSErr err = PBHGetVolParmsSync(&pb);
  if (actual)
    *actual = pb.ioParam.ioActCount;
  return err;
}

bool has(SInt32 bits, int n) { return (bits >> n) & 1; }

} // namespace

// --- the mount table -----------------------------------------------------------

TEST(MountInfo, ParsesFieldsEscapesAndOptionalFields) {
  mi::Mount m;
  ASSERT_TRUE(mi::parseLine("36 35 98:0 /mnt1 /mnt/my\\040disk\\134x rw,noatime master:1 "
                            "shared:7 - ext3 /dev/root\\011a rw,errors=continue",
                            m));
  EXPECT_EQ(m.id, 36u);
  EXPECT_EQ(m.parent, 35u);
  EXPECT_EQ(m.major, 98u);
  EXPECT_EQ(m.minor, 0u);
  EXPECT_EQ(m.root, "/mnt1");
  EXPECT_EQ(m.point, "/mnt/my disk\\x");
  EXPECT_EQ(m.mountOptions, "rw,noatime");
  EXPECT_EQ(m.type, "ext3");
  EXPECT_EQ(m.source, "/dev/root\ta");
  EXPECT_EQ(m.superOptions, "rw,errors=continue");
  EXPECT_FALSE(m.readOnly());

  // A read-only bind mount of a writable file system is read-only.
  ASSERT_TRUE(mi::parseLine("1 0 0:5 / /r ro,relatime - tmpfs none rw", m));
  EXPECT_TRUE(m.readOnly());
  EXPECT_EQ(mi::unescape("a\\04"), "a\\04");  // cut short: kept as it is
  EXPECT_EQ(mi::unescape("\\999"), "\\999");  // not octal
  EXPECT_EQ(mi::unescape("\\101\\102"), "AB");
}

TEST(MountInfo, RefusesMalformedLines) {
  const char *bad[] = {
      "",
      "36 35 98:0 /mnt1 /mnt2 rw",                       // no separator, no type
      "36 35 98:0 /mnt1 /mnt2 rw -",                     // nothing after the separator
      "36 35 98:0 /mnt1 /mnt2 rw - ext3",                // no source
      "x 35 98:0 / /m rw - ext3 /dev/a rw",              // ID not a number
      "36 35 980 / /m rw - ext3 /dev/a rw",              // device without colon
      "36 35 98:0 / m rw - ext3 /dev/a rw",              // relative point
      "99999999999999999999999 1 0:1 / /m rw - t s o",   // ID overflows
  };
  for (const char *line : bad) {
    mi::Mount m;
    EXPECT_FALSE(mi::parseLine(line, m)) << line;
  }
  std::vector<mi::Mount> all =
      mi::parse("garbage\n1 0 0:1 / / rw - ext4 /dev/a rw\n\n2 1 0:2 / /b rw - tmpfs t rw");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].point, "/b");
}

TEST(MountInfo, TellsMountsWithUserFiles) {
  struct Case {
    const char *point, *type;
    bool listed;
  } cases[] = {
      {"/", "ext4", true},          {"/dev/shm", "tmpfs", true},
      {"/dev/shm/x", "tmpfs", true}, {"/mnt/n", "nfs4", true},
      {"/home", "overlay", true},   {"/proc", "proc", false},
      {"/sys/fs/cgroup", "tmpfs", false}, {"/dev", "devtmpfs", false},
      {"/dev/pts", "devpts", false}, {"/dev/mqueue", "mqueue", false},
      {"/devices", "ext4", true},    {"/mnt/c", "cgroup2", false},
  };
  for (const Case &c : cases) {
    mi::Mount m;
    m.point = c.point;
    m.type = c.type;
    EXPECT_EQ(mi::holdsUserFiles(m), c.listed) << c.point << " " << c.type;
  }
  EXPECT_TRUE(mi::hasOption("rw,nosuid,ro", "ro"));
  EXPECT_FALSE(mi::hasOption("rw,errors=remount-ro", "ro"));
}

// --- FSGetVolumeInfo -----------------------------------------------------------

TEST(Volumes, ListByIndexEndsInNsvErrAndEachRefNumGivesTheSameRoot) {
  std::set<std::string> points;
  ItemCount index = 1;
  for (;; ++index) {
    ASSERT_LT(index, 1000u);
    FSVolumeRefNum volume = 0;
    FSRef root;
    HFSUniStr255 name;
    OSErr err = FSGetVolumeInfo(0, index, &volume, kFSVolInfoNone, nullptr, &name, &root);
    if (err == nsvErr)
      break;
    ASSERT_EQ(err, noErr) << index;
    EXPECT_LT(volume, 0);
    std::string point = pathOf(root);
    EXPECT_TRUE(points.insert(point).second) << "listed twice: " << point;

    FSVolumeRefNum again = 0;
    FSRef root2;
    ASSERT_EQ(FSGetVolumeInfo(volume, 0, &again, kFSVolInfoNone, nullptr, nullptr, &root2), noErr);
    EXPECT_EQ(again, volume);
    EXPECT_EQ(FSCompareFSRefs(&root, &root2), noErr) << point;
    EXPECT_EQ(volumeOf(point), volume) << point;
  }
  EXPECT_EQ(FSGetVolumeInfo(0, index + 1, nullptr, kFSVolInfoNone, nullptr, nullptr, nullptr),
            nsvErr);
  EXPECT_TRUE(points.count("/"));
  EXPECT_TRUE(points.count("/dev/shm")); // mounted twice here, listed once
  for (const char *hidden : {"/proc", "/sys", "/dev", "/dev/pts", "/sys/fs/cgroup"})
    EXPECT_FALSE(points.count(hidden)) << hidden;
}

class VolumeOfFolder : public OnEachFileSystem {};

TEST_P(VolumeOfFolder, AgreesWithFindmntAndStat) {
  const std::string point = findmnt("TARGET", dir_.path());
  const std::string type = findmnt("FSTYPE", dir_.path());
  FSVolumeRefNum volume = volumeOf(dir_.path());
  ASSERT_LT(volume, 0);

  FSVolumeInfo info;
  HFSUniStr255 name;
  FSRef root;
  FSVolumeRefNum actual = 0;
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, &actual,
                            kFSVolInfoSizes | kFSVolInfoBlocks | kFSVolInfoFSInfo |
                                kFSVolInfoFlags,
                            &info, &name, &root),
            noErr);
  EXPECT_EQ(actual, volume);
  EXPECT_EQ(pathOf(root), point);
  EXPECT_EQ(utf8(name), point == "/" ? "Root" : point.substr(point.rfind('/') + 1));

  // stat -f: total blocks, blocks free for users, fundamental block size.
  std::istringstream figures(shell("stat -f -c '%b %a %S' '" + dir_.path() + "'"));
  uint64_t blocks = 0, available = 0, blockSize = 0;
  figures >> blocks >> available >> blockSize;
  ASSERT_GT(blockSize, 0u);
  EXPECT_EQ(info.totalBytes, blocks * blockSize);
  EXPECT_EQ(info.blockSize, blockSize);
  EXPECT_EQ(info.totalBlocks, blocks);
  // Others write to these file systems meanwhile: near, not equal.
  const double drift = 512.0 * 1024 * 1024;
  EXPECT_NEAR(static_cast<double>(info.freeBytes), static_cast<double>(available * blockSize),
              drift);
  EXPECT_LE(info.freeBytes, info.totalBytes);

  EXPECT_EQ(info.flags & (kFSVolFlagSoftwareLockedMask | kFSVolFlagHardwareLockedMask), 0);
  if (type == "ext4") {
    EXPECT_EQ(info.filesystemID, 3);
    EXPECT_EQ(info.signature, sig('E', '4'));
  } else if (type == "tmpfs") {
    EXPECT_EQ(info.filesystemID, 6);
    EXPECT_EQ(info.signature, sig('T', 'M'));
  }
}

TEST_P(VolumeOfFolder, WritesOnlyTheFieldsAsked) {
  FSVolumeRefNum volume = volumeOf(dir_.path());
  FSVolumeInfo info, untouched;
  std::memset(&info, 0xAB, sizeof info);
  std::memcpy(&untouched, &info, sizeof info);
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoSizes, &info, nullptr, nullptr), noErr);
  EXPECT_NE(info.totalBytes, untouched.totalBytes);
  info.totalBytes = untouched.totalBytes;
  info.freeBytes = untouched.freeBytes;
  EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);

  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoNone, &info, nullptr, nullptr), noErr);
  EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
}

TEST_P(VolumeOfFolder, RefNumZeroIsTheDefaultFolderVolume) {
  char *cwd = ::getcwd(nullptr, 0);
  ASSERT_NE(cwd, nullptr);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  FSVolumeRefNum actual = 0;
  FSVolumeInfo info;
  FSRef root;
  OSErr err = FSGetVolumeInfo(0, 0, &actual, kFSVolInfoFlags, &info, nullptr, &root);
  ASSERT_EQ(::chdir(cwd), 0);
  std::free(cwd);
  ASSERT_EQ(err, noErr);
  EXPECT_EQ(actual, volumeOf(dir_.path()));
  EXPECT_EQ(pathOf(root), findmnt("TARGET", dir_.path()));
  EXPECT_TRUE(info.flags & kFSVolFlagDefaultVolumeMask);
}

TEST_P(VolumeOfFolder, OpenForkSetsFilesOpenFlag) {
  FSRef file;
  ASSERT_EQ(createFile(root_, "f", &file), noErr);
  FSVolumeRefNum volume = volumeOf(dir_.path());
  FSVolumeInfo before, during;
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFlags, &before, nullptr, nullptr), noErr);
  FSIORefNum fork;
  ASSERT_EQ(FSOpenFork(&file, 0, nullptr, fsRdPerm, &fork), noErr);
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFlags, &during, nullptr, nullptr), noErr);
  FSCloseFork(fork);
  EXPECT_TRUE(during.flags & kFSVolFlagFilesOpenMask);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, VolumeOfFolder, ::testing::ValuesIn(bases()));

TEST(Volumes, UnknownRefNumIsNsvErr) {
  for (FSVolumeRefNum bad : {FSVolumeRefNum(-30000), FSVolumeRefNum(5), FSVolumeRefNum(-32768)}) {
    FSVolumeRefNum actual = 77;
    EXPECT_EQ(FSGetVolumeInfo(bad, 0, &actual, kFSVolInfoNone, nullptr, nullptr, nullptr), nsvErr);
    EXPECT_EQ(actual, 77);
    GetVolParmsInfoBuffer buffer;
    EXPECT_EQ(volParms(bad, buffer, sizeof buffer), nsvErr);
  }
}

// --- PBHGetVolParmsSync --------------------------------------------------------

class VolumeParms : public OnEachFileSystem {};

TEST_P(VolumeParms, CapabilitiesOfAWritableLinuxVolume) {
  FSVolumeRefNum volume = volumeOf(dir_.path());
  GetVolParmsInfoBuffer b;
  std::memset(&b, 0xEE, sizeof b);
  SInt32 actual = 0;
  ASSERT_EQ(volParms(volume, b, sizeof b, &actual), noErr);
  EXPECT_EQ(actual, static_cast<SInt32>(sizeof b));
  EXPECT_EQ(b.vMVersion, 4);
  SInt32 attrib = b.vMAttrib, extended = b.vMExtendedAttributes;
  for (int bit : {bHasMoveRename, bHasCopyFile, bHasFileIDs})
    EXPECT_TRUE(has(attrib, bit)) << bit;
  for (int bit : {bSupportsFSExchangeObjects, bSupportsHFSPlusAPIs, bSupportsLongNames,
                  bSupportsSymbolicLinks, bIsCaseSensitive, bIsCasePreserving, bSupports2TBFiles})
    EXPECT_TRUE(has(extended, bit)) << bit;
  UniCharCount maxName = b.vMMaxNameLength;
  EXPECT_EQ(maxName, 255u);
  Handle local = b.vMLocalHand;
  EXPECT_EQ(local, nullptr);
}

TEST_P(VolumeParms, AShortBufferGetsTheLeadingBytesOnly) {
  FSVolumeRefNum volume = volumeOf(dir_.path());
  GetVolParmsInfoBuffer full, part;
  ASSERT_EQ(volParms(volume, full, sizeof full), noErr);
  std::memset(&part, 0xEE, sizeof part);
  SInt32 actual = 0;
  ASSERT_EQ(volParms(volume, part, 6, &actual), noErr);
  EXPECT_EQ(actual, 6);
  EXPECT_EQ(std::memcmp(&part, &full, 6), 0);
  const unsigned char *rest = reinterpret_cast<const unsigned char *>(&part) + 6;
  for (size_t i = 0; i < sizeof part - 6; ++i)
    ASSERT_EQ(rest[i], 0xEE) << i;

  // Callers ask for 32 bytes and read the extended attributes from them.
  std::memset(&part, 0, sizeof part);
  ASSERT_EQ(volParms(volume, part, 32, &actual), noErr);
  EXPECT_EQ(actual, 32);
  EXPECT_GT(part.vMVersion, 2);
  SInt32 extended = part.vMExtendedAttributes;
  EXPECT_TRUE(has(extended, bSupportsFSExchangeObjects));

  ASSERT_EQ(volParms(volume, part, 0, &actual), noErr);
  EXPECT_EQ(actual, 0);
  EXPECT_EQ(volParms(volume, part, -1), paramErr);
  HParamBlockRec pb{};
  pb.ioParam.ioVRefNum = volume;
  pb.ioParam.ioReqCount = sizeof full;
  EXPECT_EQ(PBHGetVolParmsSync(&pb), paramErr); // no buffer
  EXPECT_EQ(pb.ioParam.ioResult, paramErr);
}

TEST_P(VolumeParms, FaultInjectorPresentsAVolumeWithoutACapability) {
  FSVolumeRefNum volume = volumeOf(dir_.path());
  GetVolParmsInfoBuffer real, shown;
  ASSERT_EQ(volParms(volume, real, sizeof real), noErr);
  {
    quillmate::fm::testing::FaultInjector faults;
    faults.withoutCapability(volume, bHasMoveRename);
    faults.withoutCapability(volume, bSupportsFSExchangeObjects, true);
    ASSERT_EQ(volParms(volume, shown, sizeof shown), noErr);
  }
  SInt32 realAttrib = real.vMAttrib, shownAttrib = shown.vMAttrib;
  SInt32 realExt = real.vMExtendedAttributes, shownExt = shown.vMExtendedAttributes;
  EXPECT_EQ(shownAttrib, realAttrib & ~(1 << bHasMoveRename));
  EXPECT_EQ(shownExt, realExt & ~(1 << bSupportsFSExchangeObjects));
}

INSTANTIATE_TEST_SUITE_P(FileSystems, VolumeParms, ::testing::ValuesIn(bases()));
