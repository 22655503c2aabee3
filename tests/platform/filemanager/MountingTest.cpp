// Mount records and PBVolumeMount.  Tests that mount run in a private mount
// namespace: Mounting.InAPrivateNamespace runs this binary again under
// `unshare -m --propagation private` (runChildCases), and the
// MountingInNamespace tests run only there.
#include "FileManagerTestSupport.h"

#include "platform/filemanager/MountInfo.h"

#include <algorithm>
#include <functional>
#include <cstdio>
#include <random>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <tuple>
#include <vector>

using namespace fmtest;

namespace {

using Bytes = std::vector<unsigned char>;

template <class T> void put(Bytes &b, size_t at, T v) { std::memcpy(b.data() + at, &v, sizeof v); }
template <class T> T get(const Bytes &b, size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

/// A record laid out by hand: header, four (offset, length) pairs, strings.
Bytes record(const std::string &source, const std::string &type, const std::string &options,
             const std::string &point) {
  const std::string *fields[] = {&source, &type, &options, &point};
  size_t size = 28;
  for (const std::string *f : fields)
    size += f->size() + 1;
  Bytes b(size, 0);
  put<SInt16>(b, 0, static_cast<SInt16>(size));
  put<OSType>(b, 2, 0x716d6e74u);
  put<UInt16>(b, 8, 1);
  size_t at = 28;
  for (int i = 0; i < 4; ++i) {
    put<UInt16>(b, 12 + 4 * i, static_cast<UInt16>(at));
    put<UInt16>(b, 14 + 4 * i, static_cast<UInt16>(fields[i]->size()));
    std::memcpy(b.data() + at, fields[i]->data(), fields[i]->size());
    at += fields[i]->size() + 1;
  }
  return b;
}

/// Field `i` of a record (0 source, 1 type, 2 options, 3 mount point).
std::string field(const Bytes &b, int i) {
  return std::string(reinterpret_cast<const char *>(b.data()) + get<UInt16>(b, 12 + 4 * i),
                     get<UInt16>(b, 14 + 4 * i));
}

OSErr mountRecord(Bytes b, FSVolumeRefNum *volume = nullptr) {
  ParamBlockRec pb{};
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(b.data());
  if (volume)
    pb.ioParam.ioVRefNum = *volume;
  OSErr err = PBVolumeMount(&pb);
  if (volume)
    *volume = pb.ioParam.ioVRefNum;
  EXPECT_EQ(pb.ioParam.ioResult, err);
  return err;
}

OSErr recordOf(FSVolumeRefNum volume, Bytes &out) {
  SInt16 size = 0;
  ParamBlockRec pb{};
  pb.ioParam.ioVRefNum = volume;
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&size);
  if (OSErr err = PBGetVolMountInfoSize(&pb))
    return err;
  if (size < 28)
    return -1;
  out.assign(static_cast<size_t>(size), 0xEE);
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(out.data());
  return PBGetVolMountInfo(&pb);
}

FSVolumeRefNum volumeOf(const std::string &path) {
  FSRef ref;
  FSCatalogInfo info;
  if (refFor(path, ref) != noErr ||
      FSGetCatalogInfo(&ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr) != noErr)
    return 0;
  return info.volume;
}

std::vector<std::string> listedPoints() {
  std::vector<std::string> out;
  for (ItemCount i = 1; i < 1000; ++i) {
    FSRef root;
    if (FSGetVolumeInfo(0, i, nullptr, kFSVolInfoNone, nullptr, nullptr, &root) != noErr)
      break;
    out.push_back(pathOf(root));
  }
  return out;
}

// Never reached through a mistaken mount: a point that does not exist.
const char *kNowhere = "/nonexistent-quillmate-mount-point";

} // namespace

// --- records -------------------------------------------------------------------

TEST(Mounting, RecordOfAVolumeHoldsWhatMountNeeds) {
  FSVolumeRefNum shm = volumeOf("/dev/shm");
  ASSERT_LT(shm, 0);
  Bytes b;
  ASSERT_EQ(recordOf(shm, b), noErr);
  EXPECT_EQ(get<SInt16>(b, 0), static_cast<SInt16>(b.size()));
  EXPECT_EQ(get<OSType>(b, 2), static_cast<OSType>(0x716d6e74u));
  EXPECT_EQ(get<SInt16>(b, 6), 0);
  EXPECT_EQ(get<UInt16>(b, 8), 1);
  EXPECT_EQ(field(b, 0), "tmpfs");
  EXPECT_EQ(field(b, 1), "tmpfs");
  EXPECT_EQ(field(b, 3), "/dev/shm");
  const std::string options = "," + field(b, 2) + ",";
  EXPECT_EQ(options.rfind(",rw,", 0), 0u) << options;
  EXPECT_NE(options.find(",size="), std::string::npos) << options;
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(b[get<UInt16>(b, 12 + 4 * i) + get<UInt16>(b, 14 + 4 * i)], 0) << i;

  // The default volume by refNum 0, and a volume that does not exist.
  SInt16 size = 0;
  ParamBlockRec pb{};
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&size);
  EXPECT_EQ(PBGetVolMountInfoSize(&pb), noErr);
  EXPECT_GE(size, 28);
  pb.ioParam.ioVRefNum = -30000;
  EXPECT_EQ(PBGetVolMountInfoSize(&pb), nsvErr);
  EXPECT_EQ(PBGetVolMountInfo(&pb), nsvErr);
  pb.ioParam.ioVRefNum = shm;
  pb.ioParam.ioBuffer = nullptr;
  EXPECT_EQ(PBGetVolMountInfoSize(&pb), paramErr);
  EXPECT_EQ(PBGetVolMountInfo(&pb), paramErr);
  EXPECT_EQ(PBVolumeMount(&pb), paramErr);
  EXPECT_EQ(pb.ioParam.ioResult, paramErr);
}

TEST(Mounting, MalformedRecordsAreRefusedBeforeMounting) {
  const Bytes good = record("none", "tmpfs", "size=1m", kNowhere);
  // A well-formed record reaches mount(2), which finds no such point.
  FSVolumeRefNum volume = 77;
  EXPECT_EQ(mountRecord(good, &volume), fnfErr);
  EXPECT_EQ(volume, 77);

  struct Case {
    const char *what;
    std::function<void(Bytes &)> spoil;
  } cases[] = {
      {"shorter than the fixed part", [](Bytes &b) { put<SInt16>(b, 0, 27); }},
      {"negative length", [](Bytes &b) { put<SInt16>(b, 0, -5); }},
      {"length one byte short", [](Bytes &b) { put<SInt16>(b, 0, get<SInt16>(b, 0) - 1); }},
      {"other media", [](Bytes &b) { put<OSType>(b, 2, 0x6166706du); }},
      {"unknown flags", [](Bytes &b) { put<SInt16>(b, 6, 1); }},
      {"other version", [](Bytes &b) { put<UInt16>(b, 8, 2); }},
      {"reserved set", [](Bytes &b) { put<UInt16>(b, 10, 1); }},
      {"offset inside the header", [](Bytes &b) { put<UInt16>(b, 12, 4); }},
      {"offset past the end", [](Bytes &b) { put<UInt16>(b, 16, 0xFFF0); }},
      {"length past the end", [](Bytes &b) { put<UInt16>(b, 26, 0xFFFF); }},
      {"missing NUL", [](Bytes &b) { b[get<UInt16>(b, 24) + get<UInt16>(b, 26)] = 'x'; }},
      {"NUL inside a string", [](Bytes &b) { b[get<UInt16>(b, 24) + 3] = 0; }},
      {"empty type", [](Bytes &b) { put<UInt16>(b, 18, 0); b[get<UInt16>(b, 16)] = 0; }},
      {"empty mount point", [](Bytes &b) { put<UInt16>(b, 26, 0); b[get<UInt16>(b, 24)] = 0; }},
      {"relative mount point", [](Bytes &b) { b[get<UInt16>(b, 24)] = 'x'; }},
      {"all zero", [](Bytes &b) { std::fill(b.begin(), b.end(), 0); }},
      {"all ones", [](Bytes &b) { std::fill(b.begin(), b.end(), 0xFF); }},
  };
  for (const Case &c : cases) {
    Bytes b = good;
    c.spoil(b);
    volume = 77;
    EXPECT_EQ(mountRecord(b, &volume), paramErr) << c.what;
    EXPECT_EQ(volume, 77) << c.what;
  }
}

TEST(Mounting, RandomDamageNeverCrashes) {
  // Any byte but the length may be anything; the buffer is exactly as long
  // as the record says, so a read past it shows under AddressSanitizer.
  const Bytes good = record("none", "tmpfs", "size=1m,mode=0700", kNowhere);
  std::mt19937 random(1234);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    for (int k = 1 + round % 4; k > 0; --k) {
      size_t at = 2 + random() % (b.size() - 2);
      b[at] = static_cast<unsigned char>(random());
    }
    OSErr err = mountRecord(b);
    ASSERT_TRUE(err == paramErr || err == fnfErr) << round << " " << err;
  }
}

// --- in a private mount namespace ------------------------------------------------

TEST(Mounting, InAPrivateNamespace) {
  runChildCases("MountingInNamespace.*", true);
}

class MountingInNamespace : public MountNamespaceCase {};

TEST_F(MountingInNamespace, MountsATmpfsAndRecognisesItMountedAgain) {
  const std::string p = point("scratch");
  FSVolumeRefNum volume = 0;
  ASSERT_EQ(mountRecord(record("qmtest", "tmpfs", "size=1m,mode=0700,nosuid", p), &volume), noErr);
  EXPECT_LT(volume, 0);
  EXPECT_NE(volume, volumeOf(dir_.path()));
  EXPECT_EQ(volumeOf(p), volume);

  FSVolumeInfo info;
  HFSUniStr255 name;
  FSRef root;
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoSizes | kFSVolInfoFSInfo, &info, &name,
                            &root),
            noErr);
  EXPECT_EQ(info.totalBytes, 1024u * 1024u);
  EXPECT_EQ(info.signature, ('T' << 8) | 'M');
  EXPECT_EQ(fromUni(name), u"scratch");
  EXPECT_EQ(pathOf(root), p);
  std::vector<std::string> listed = listedPoints();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), p), 1);

  // The volume's own record gives it back without a second mount.
  Bytes b;
  ASSERT_EQ(recordOf(volume, b), noErr);
  EXPECT_EQ(field(b, 0), "qmtest");
  EXPECT_EQ(field(b, 3), p);
  const std::string options = "," + field(b, 2) + ",";
  EXPECT_NE(options.find(",nosuid,"), std::string::npos) << options;
  EXPECT_NE(options.find(",size=1024k,"), std::string::npos) << options;
  FSVolumeRefNum again = 0;
  ASSERT_EQ(mountRecord(b, &again), noErr);
  EXPECT_EQ(again, volume);
  std::string table = readFile("/proc/self/mountinfo");
  size_t mounts = 0;
  for (size_t at = 0; (at = table.find(" " + p + " ", at)) != std::string::npos; ++at)
    ++mounts;
  EXPECT_EQ(mounts, 1u);
}

TEST_F(MountingInNamespace, ReadOnlyMountIsLockedAndCannotMoveOrCopy) {
  const std::string p = point("locked");
  FSVolumeRefNum volume = 0;
  ASSERT_EQ(mountRecord(record("qmtest", "tmpfs", "ro,size=64k", p), &volume), noErr);
  FSVolumeInfo info;
  ASSERT_EQ(FSGetVolumeInfo(volume, 0, nullptr, kFSVolInfoFlags, &info, nullptr, nullptr), noErr);
  EXPECT_TRUE(info.flags & kFSVolFlagSoftwareLockedMask);
  EXPECT_FALSE(info.flags & kFSVolFlagHardwareLockedMask); // no block device

  GetVolParmsInfoBuffer parms;
  HParamBlockRec pb{};
  pb.ioParam.ioVRefNum = volume;
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&parms);
  pb.ioParam.ioReqCount = sizeof parms;
  ASSERT_EQ(PBHGetVolParmsSync(&pb), noErr);
  SInt32 attrib = parms.vMAttrib, extended = parms.vMExtendedAttributes;
  EXPECT_FALSE(attrib & (1 << bHasMoveRename));
  EXPECT_FALSE(attrib & (1 << bHasCopyFile));
  EXPECT_FALSE(extended & (1 << bSupportsFSExchangeObjects));
  EXPECT_TRUE(attrib & (1 << bHasFileIDs));
  EXPECT_TRUE(extended & (1 << bIsCaseSensitive));

  Bytes b;
  ASSERT_EQ(recordOf(volume, b), noErr);
  EXPECT_EQ(field(b, 2).rfind("ro,", 0), 0u) << field(b, 2);
}

TEST_F(MountingInNamespace, OfStackedMountsOnlyTheTopIsListed) {
  const std::string p = point("stacked");
  FSVolumeRefNum lower = 0, upper = 0;
  ASSERT_EQ(mountRecord(record("lower", "tmpfs", "size=64k", p), &lower), noErr);
  // A different source on the same point is not "mounted already".
  ASSERT_EQ(mountRecord(record("upper", "tmpfs", "size=128k", p), &upper), noErr);
  EXPECT_NE(upper, lower);
  std::vector<std::string> listed = listedPoints();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), p), 1);
  FSVolumeInfo info;
  ASSERT_EQ(FSGetVolumeInfo(volumeOf(p), 0, nullptr, kFSVolInfoSizes, &info, nullptr, nullptr),
            noErr);
  EXPECT_EQ(info.totalBytes, 128u * 1024u);
  EXPECT_EQ(volumeOf(p), upper);
}

TEST_F(MountingInNamespace, ABindMountedFileIsNoVolume) {
  const std::string p = point("files");
  ASSERT_EQ(mountRecord(record("qmtest", "tmpfs", "size=64k", p), nullptr), noErr);
  writeFile(p + "/a", "a");
  writeFile(p + "/b", "b");
  points_.push_back(p + "/b");
  ASSERT_EQ(::mount((p + "/a").c_str(), (p + "/b").c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_NE(readFile("/proc/self/mountinfo").find(p + "/b "), std::string::npos);
  std::vector<std::string> listed = listedPoints();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), p + "/b"), 0);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), p), 1);

  // Nor can a record mount onto a file, or a file system the kernel lacks.
  EXPECT_EQ(mountRecord(record("x", "tmpfs", "", p + "/a")), dirNFErr);
  EXPECT_EQ(mountRecord(record("x", "quillmate-no-such-fs", "", point("none"))), paramErr);
}

TEST_F(MountingInNamespace, ACallerWhoMayNotMountGetsPermErr) {
  const std::string p = point("denied");
  ::chmod(dir_.path().c_str(), 0755);
  const std::string path = p;
  int status = asNobody([&path] {
    Bytes b = record("qmtest", "tmpfs", "size=64k", path);
    ParamBlockRec pb{};
    pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(b.data());
    return PBVolumeMount(&pb) == permErr ? 0 : 1;
  });
  if (status == 99)
    GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile("/proc/self/mountinfo").find(" " + p + " "), std::string::npos);
}

TEST_F(MountingInNamespace, TheMountTableFollowsMountsAndUnmounts) {
  namespace mi = quillmate::fm::mountinfo;
  const std::string p = point("watched");
  auto mountedAt = [&p] {
    std::vector<mi::Mount> mounts;
    EXPECT_TRUE(mi::read(mounts));
    return std::count_if(mounts.begin(), mounts.end(),
                         [&p](const mi::Mount &m) { return m.point == p; });
  };
  EXPECT_EQ(mountedAt(), 0);
  ASSERT_EQ(::mount("watched", p.c_str(), "tmpfs", 0, "size=64k"), 0);
  EXPECT_EQ(mountedAt(), 1);
  ASSERT_EQ(::mount("again", p.c_str(), "tmpfs", 0, "size=64k"), 0);
  EXPECT_EQ(mountedAt(), 2);
  ASSERT_EQ(::umount2(p.c_str(), MNT_DETACH), 0);
  ASSERT_EQ(::umount2(p.c_str(), MNT_DETACH), 0);
  EXPECT_EQ(mountedAt(), 0);
}

TEST_F(MountingInNamespace, ARecordThatGrewSinceItsSizeWasAskedIsNotWritten) {
  const std::string p = point("growing");
  FSVolumeRefNum volume = 0;
  ASSERT_EQ(mountRecord(record("qmtest", "tmpfs", "size=64k", p), &volume), noErr);
  SInt16 size = 0;
  ParamBlockRec pb{};
  pb.ioParam.ioVRefNum = volume;
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&size);
  ASSERT_EQ(PBGetVolMountInfoSize(&pb), noErr);
  // A remount with more options makes the record longer than the buffer
  // the caller sized by the answer above.
  ASSERT_EQ(::mount("qmtest", p.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "size=64k"),
            0)
      << std::strerror(errno);
  Bytes buffer(static_cast<size_t>(size) + 64, 0xEE);
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(buffer.data());
  EXPECT_EQ(PBGetVolMountInfo(&pb), paramErr);
  EXPECT_EQ(buffer[0], 0xEE) << "nothing written";
  Bytes b;
  EXPECT_EQ(recordOf(volume, b), noErr) << "asking the size again works";
}

namespace {

/// A volume's parameters; {attrib, extended}.
std::pair<SInt32, SInt32> capabilityBits(FSVolumeRefNum volume) {
  GetVolParmsInfoBuffer parms{};
  HParamBlockRec pb{};
  pb.ioParam.ioVRefNum = volume;
  pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&parms);
  pb.ioParam.ioReqCount = sizeof parms;
  EXPECT_EQ(PBHGetVolParmsSync(&pb), noErr);
  SInt32 attrib = parms.vMAttrib, extended = parms.vMExtendedAttributes; // packed fields
  return {attrib, extended};
}

/// Names in folder `path`, sorted.
std::vector<std::string> entries(const std::string &path) {
  std::vector<std::string> out;
  if (DIR *d = ::opendir(path.c_str())) {
    while (struct dirent *e = ::readdir(d))
      out.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

} // namespace

// --- deleting across mounts ------------------------------------------------------

namespace {

/// Every path below `top`, sorted, with the contents of files.
std::string inventory(const std::string &top) {
  return shell("cd '" + top + "' && find . -mindepth 1 | sort | while read f; do "
               "printf '%s ' \"$f\"; [ -f \"$f\" ] && cat \"$f\"; echo; done");
}

void fill(const std::string &top) {
  writeFile(top + "/a", "a");
  ASSERT_EQ(::mkdir((top + "/folder").c_str(), 0755), 0);
  writeFile(top + "/folder/b", "b");
  ASSERT_EQ(::mkdir((top + "/folder/deeper").c_str(), 0755), 0);
  writeFile(top + "/folder/deeper/c", "c");
}

} // namespace

TEST_F(MountingInNamespace, AskingAVolumesParametersWritesNothing) {
  const std::string p = point("quiet");
  ASSERT_EQ(::mount("qmtest", p.c_str(), "tmpfs", 0, "size=64k"), 0);
  struct stat before, after;
  ASSERT_EQ(::stat(p.c_str(), &before), 0);
  const std::vector<std::string> listed = entries(p);
  int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, p.c_str(), IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB),
            0);

  const FSVolumeRefNum volume = volumeOf(p);
  ASSERT_LT(volume, 0);
  auto [attrib, extended] = capabilityBits(volume);
  for (int bit : {bHasMoveRename, bHasCopyFile, bHasFileIDs})
    EXPECT_TRUE(attrib & (1 << bit)) << bit;
  for (int bit : {bSupportsFSExchangeObjects, bSupportsSymbolicLinks, bSupports2TBFiles,
                  bIsCaseSensitive, bIsCasePreserving, bSupportsLongNames})
    EXPECT_TRUE(extended & (1 << bit)) << bit;

  alignas(struct inotify_event) char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the root was written to";
  EXPECT_EQ(errno, EAGAIN);
  ::close(watch);
  ASSERT_EQ(::stat(p.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  EXPECT_EQ(entries(p), listed);
}

TEST_F(MountingInNamespace, AFileSystemOfUnknownTypeShowsRenameFlagsOnceTheyWorked) {
  // ramfs is not in the table of types: no move-rename or exchange bits
  // until the layer's own calls have used them there.
  const std::string p = point("unknown");
  if (::mount("qmtest", p.c_str(), "ramfs", 0, "") != 0)
    GTEST_SKIP() << "no ramfs here: " << std::strerror(errno);
  writeFile(p + "/a", "a");
  writeFile(p + "/b", "b");
  const FSVolumeRefNum volume = volumeOf(p);
  auto [attrib, extended] = capabilityBits(volume);
  EXPECT_FALSE(attrib & (1 << bHasMoveRename));
  EXPECT_FALSE(extended & (1 << bSupportsFSExchangeObjects));
  EXPECT_TRUE(attrib & (1 << bHasCopyFile));

  FSRef a, b;
  ASSERT_EQ(refFor(p + "/a", a), noErr);
  ASSERT_EQ(refFor(p + "/b", b), noErr);
  ASSERT_EQ(FSExchangeObjects(&a, &b), noErr);
  EXPECT_EQ(readFile(p + "/a"), "b");
  HParamBlockRec pb{};
  PascalName name("a"), newName("c");
  pb.copyParam.ioVRefNum = volume;
  pb.copyParam.ioDirID = fsRtDirID;
  pb.copyParam.ioNamePtr = name.bytes;
  pb.copyParam.ioNewDirID = fsRtDirID;
  pb.copyParam.ioCopyName = newName.bytes;
  ASSERT_EQ(PBHMoveRenameSync(&pb), noErr);
  std::tie(attrib, extended) = capabilityBits(volume);
  EXPECT_TRUE(attrib & (1 << bHasMoveRename));
  EXPECT_TRUE(extended & (1 << bSupportsFSExchangeObjects));
}

TEST_F(MountingInNamespace, AVolumeRootAskedForIsEmptiedAndStays) {
  const std::string p = point("removable");
  ASSERT_EQ(::mount("qmtest", p.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
  fill(p);
  FSRef root;
  ASSERT_EQ(refFor(p, root), noErr);
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&root, kFSCatInfoNodeID | kFSCatInfoVolume, &info, nullptr, nullptr,
                             nullptr),
            noErr);
  ASSERT_EQ(info.nodeID, static_cast<UInt32>(fsRtDirID));

  EXPECT_EQ(deleteContents(root), noErr);
  EXPECT_EQ(inventory(p), "");
  EXPECT_NE(readFile("/proc/self/mountinfo").find(" " + p + " "), std::string::npos);
  EXPECT_EQ(FSDeleteObject(&root), fBsyErr);
  EXPECT_EQ(volumeOf(p), info.volume);
}

TEST_F(MountingInNamespace, ADeletionStopsAtAMountInsideTheTree) {
  const std::string tree = dir_ / "tree";
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tree + "/sub").c_str(), 0755), 0);
  writeFile(tree + "/sub/before", "x");
  writeFile(tree + "/sub/zz-after", "x");
  const std::string p = point("tree/sub/inner");
  ASSERT_EQ(::mount("qmtest", p.c_str(), "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
  fill(p);
  const std::string inside = inventory(p);
  ASSERT_NE(inside, "");

  FSRef top;
  ASSERT_EQ(refFor(tree, top), noErr);
  // Items go in byte order: "before" first, then the mount point, where the
  // deletion stops with a status; what follows it is not reached.
  EXPECT_EQ(deleteContents(top), fBsyErr);
  EXPECT_FALSE(exists(tree + "/sub/before"));
  EXPECT_TRUE(exists(tree + "/sub/zz-after"));
  EXPECT_EQ(inventory(p), inside);

  // Neither the mount point itself nor, while a deletion that met it is
  // open, its contents are deleted.
  FSRef inner;
  ASSERT_EQ(refFor(p, inner), noErr);
  EXPECT_EQ(FSDeleteObject(&inner), fBsyErr);
  FSRef sub;
  ASSERT_EQ(refFor(tree + "/sub", sub), noErr);
  FSIterator outer, nested;
  ASSERT_EQ(FSOpenIterator(&sub, kFSIterateDelete, &outer), noErr);
  FSCatalogInfo info;
  FSRef item;
  ItemCount n = 0;
  do
    ASSERT_EQ(FSGetCatalogInfoBulk(outer, 1, &n, nullptr, kFSCatInfoNodeID, &info, &item, nullptr,
                                   nullptr),
              noErr);
  while (info.nodeID != static_cast<UInt32>(fsRtDirID));
  EXPECT_EQ(FSCompareFSRefs(&item, &inner), noErr);
  EXPECT_EQ(FSOpenIterator(&item, kFSIterateDelete, &nested), fBsyErr);
  ASSERT_EQ(FSOpenIterator(&item, kFSIterateFlat, &nested), noErr); // walking it is fine
  EXPECT_EQ(FSCloseIterator(nested), noErr);
  EXPECT_EQ(FSCloseIterator(outer), noErr);
  EXPECT_EQ(inventory(p), inside);

  // Asked for directly, the inner volume's root is emptied.
  EXPECT_EQ(deleteContents(inner), noErr);
  EXPECT_EQ(inventory(p), "");
}

// A file mounted over a name (a bind mount of one file) is no volume: a
// deletion through the layer meets it as a busy file, as it meets a folder's
// mount point, and never reaches into either mount.
TEST_F(MountingInNamespace, AFileMountedOverANameIsBusyAsAMountedFolderIs) {
  for (const char *mounted : {"file", "folder"}) {
    SCOPED_TRACE(mounted);
    const bool isFile = std::string(mounted) == "file";
    const std::string tree = dir_ / (std::string("tree-") + mounted);
    const std::string source = dir_ / (std::string("source-") + mounted);
    ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
    writeFile(tree + "/plain", "x");
    const std::string target = tree + "/target";
    if (isFile) {
      writeFile(source, "kept");
      writeFile(target, "under");
    } else {
      ASSERT_EQ(::mkdir(source.c_str(), 0755), 0);
      writeFile(source + "/inside", "kept");
      ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    }
    ASSERT_EQ(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
    points_.push_back(target);
    FSRef folder;
    ASSERT_EQ(refFor(tree, folder), noErr);
    EXPECT_EQ(deleteContents(folder), fBsyErr);
    EXPECT_EQ(readFile(isFile ? source : source + "/inside"), "kept");
    EXPECT_EQ(::access((tree + "/target").c_str(), F_OK), 0);
  }
}
