// References, names, paths and catalog information.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ExchangeRecord.h"
#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/OneByteNames.h"
#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace quillmate::fm {

namespace {
constexpr int64_t kUnixTo1904 = 2082844800;

constexpr FSCatalogInfoBitmap kMetadataFields = kFSCatInfoTextEncoding | kFSCatInfoCreateDate |
                                                kFSCatInfoBackupDate | kFSCatInfoFinderInfo |
                                                kFSCatInfoFinderXInfo;

bool inGroup(gid_t gid) {
  if (gid == getegid())
    return true;
  gid_t groups[256];
  int n = getgroups(256, groups);
  for (int i = 0; i < n; ++i)
    if (groups[i] == gid)
      return true;
  return false;
}

UInt8 privilegesFor(const struct statx &stx) {
  uid_t euid = geteuid();
  UInt8 p = stx.stx_uid == euid ? 0 : kioACUserNotOwnerMask;
  if (euid == 0)
    return p;
  unsigned bits = stx.stx_uid == euid   ? (stx.stx_mode >> 6) & 7
                  : inGroup(stx.stx_gid) ? (stx.stx_mode >> 3) & 7
                                         : stx.stx_mode & 7;
  if (S_ISDIR(stx.stx_mode) && (!(bits & 4) || !(bits & 1)))
    p |= kioACUserNoSeeFolderMask | kioACUserNoSeeFilesMask;
  if (!(bits & 2))
    p |= kioACUserNoMakeChangesMask;
  return p;
}

OSErr countEntries(const Location &where, UInt32 &count) {
  count = 0;
  sys::Fd fd(sys::openAt(where.dirfd, where.name, O_RDONLY | O_DIRECTORY));
  if (!fd.valid())
    return errno == EACCES ? OSErr(noErr) : sys::lastStatus(); // a folder the caller may not list
  alignas(8) char buffer[16384];
  for (;;) {
    ssize_t n = sys::getDents(fd.get(), buffer, sizeof buffer);
    if (n < 0)
      return sys::lastStatus();
    if (n == 0)
      return noErr;
    for (ssize_t at = 0; at < n;) {
      auto *d = reinterpret_cast<const struct dirent64 *>(buffer + at);
      if (std::strcmp(d->d_name, ".") && std::strcmp(d->d_name, ".."))
        ++count;
      at += d->d_reclen;
    }
  }
}

} // namespace

namespace detail {

UTCDateTime toUTC(int64_t seconds, uint32_t nanoseconds) {
  UTCDateTime d{};
  int64_t s = seconds + kUnixTo1904;
  if (s < 0)
    return d;
  d.highSeconds = static_cast<UInt16>((static_cast<uint64_t>(s) >> 32) & 0xFFFF);
  d.lowSeconds = static_cast<UInt32>(s);
  d.fraction = static_cast<UInt16>((static_cast<uint64_t>(nanoseconds) << 16) / 1000000000u);
  return d;
}

void fromUTC(const UTCDateTime &d, struct timespec &out) {
  int64_t s = (static_cast<int64_t>(d.highSeconds) << 32) | d.lowSeconds;
  out.tv_sec = static_cast<time_t>(s - kUnixTo1904);
  // Round up so that the date read back gives the same fraction.
  out.tv_nsec = static_cast<long>((static_cast<uint64_t>(d.fraction) * 1000000000u + 65535) >> 16);
}

unsigned statxMaskFor(FSCatalogInfoBitmap which) {
  unsigned mask = kIdentityMask;
  if (which & kFSCatInfoContentMod)
    mask |= STATX_MTIME;
  if (which & kFSCatInfoAttrMod)
    mask |= STATX_CTIME;
  if (which & kFSCatInfoAccessDate)
    mask |= STATX_ATIME;
  if (which & (kFSCatInfoPermissions | kFSCatInfoUserPrivs | kFSCatInfoUserAccess))
    mask |= STATX_UID | STATX_GID;
  if (which & kFSCatInfoDataSizes)
    mask |= STATX_SIZE | STATX_BLOCKS;
  return mask;
}

OSErr isLocked(const Location &where, const struct statx &stx, bool &locked) {
  if (S_ISDIR(stx.stx_mode)) {
    Metadata meta;
    if (OSErr err = Metadata::read(where.dirfd, where.name, meta))
      return err;
    locked = meta.flags & Metadata::kFolderLocked;
  } else {
    locked = !S_ISLNK(stx.stx_mode) && !(stx.stx_mode & S_IWUSR);
  }
  return noErr;
}

OSErr fillCatalogInfo(uint32_t index, const Location &where, const struct statx &located,
                      FSCatalogInfoBitmap which, FSCatalogInfo &out) {
  NodeTable &table = NodeTable::shared();
  const Node &node = table.node(index);
  bool isDir = S_ISDIR(located.stx_mode);
  Metadata meta;
  // A file's node ID not settled yet comes from the same read.
  const bool wantMeta = (which & kMetadataFields) || (isDir && (which & kFSCatInfoNodeFlags));
  const bool settleID = (which & kFSCatInfoNodeID) && !table.settled(index);
  if (wantMeta || settleID) {
    if (OSErr err = Metadata::readShown(where.dirfd, where.name, meta)) {
      if (wantMeta)
        return err;
      meta = Metadata{}; // unreadable: the file shows its inode number
    }
  }
  struct statx again;
  const struct statx &stx = afterReading(meta, where, located, again);
  if (which & kFSCatInfoTextEncoding)
    out.textEncodingHint = meta.textEncodingHint;
  if (which & kFSCatInfoNodeFlags) {
    UInt16 flags = 0;
    if (isDir)
      flags = kFSNodeIsDirectoryMask | ((meta.flags & Metadata::kFolderLocked) ? kFSNodeLockedMask : 0);
    else if (!S_ISLNK(stx.stx_mode) && !(stx.stx_mode & S_IWUSR))
      flags = kFSNodeLockedMask;
    if (!isDir)
      ForkTable::shared().each([&](FSIORefNum, const ForkEntry &f) {
        if (f.sameFileAs(index, node.volume, stx.stx_ino))
          flags |= kFSNodeForkOpenMask | (f.resource ? kFSNodeResOpenMask : kFSNodeDataOpenMask);
      });
    out.nodeFlags = flags;
  }
  if (which & kFSCatInfoVolume)
    out.volume = node.volume;
  if (which & kFSCatInfoParentDirID)
    out.parentDirID = table.parentID(index);
  if (which & kFSCatInfoNodeID)
    out.nodeID = nodeIDOf(index, meta);
  if (which & kFSCatInfoSharingFlags)
    out.sharingFlags = 0;
  if (which & kFSCatInfoUserPrivs)
    out.userPrivileges = privilegesFor(stx);
  if (which & kFSCatInfoCreateDate) {
    if (meta.flags & Metadata::kHasCreateDate)
      out.createDate = meta.createDate;
    else if (stx.stx_mask & STATX_BTIME)
      out.createDate = toUTC(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
    else
      out.createDate = UTCDateTime{};
  }
  if (which & kFSCatInfoContentMod)
    out.contentModDate = toUTC(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  if (which & kFSCatInfoAttrMod)
    out.attributeModDate = toUTC(stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec);
  if (which & kFSCatInfoAccessDate)
    out.accessDate = toUTC(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
  if (which & kFSCatInfoBackupDate)
    out.backupDate = (meta.flags & Metadata::kHasBackupDate) ? meta.backupDate : UTCDateTime{};
  if (which & kFSCatInfoPermissions) {
    out.permissions = FSPermissionInfo{};
    out.permissions.userID = stx.stx_uid;
    out.permissions.groupID = stx.stx_gid;
    out.permissions.mode = stx.stx_mode;
    out.permissions.userAccess = static_cast<UInt8>(~privilegesFor(stx) & 0x7);
  }
  if (which & kFSCatInfoFinderInfo) {
    std::memcpy(out.finderInfo, meta.finderInfo, 16);
    if (S_ISLNK(stx.stx_mode) && meta.isDefault()) {
      // A symbolic link shows as a file of type 'slnk', creator 'rhap'.
      FileInfo fi{};
      fi.fileType = 0x736c6e6b;
      fi.fileCreator = 0x72686170;
      std::memcpy(out.finderInfo, &fi, 16);
    }
  }
  if (which & kFSCatInfoFinderXInfo)
    std::memcpy(out.extFinderInfo, meta.extFinderInfo, 16);
  if (which & kFSCatInfoValence) {
    out.valence = 0;
    if (isDir)
      if (OSErr err = countEntries(where, out.valence))
        return err;
  }
  if (which & kFSCatInfoDataSizes) {
    out.dataLogicalSize = isDir ? 0 : stx.stx_size;
    out.dataPhysicalSize = isDir ? 0 : stx.stx_blocks * 512;
  }
  if (which & kFSCatInfoRsrcSizes) {
    out.rsrcLogicalSize = out.rsrcPhysicalSize = 0;
    if (!isDir) {
      ssize_t n = sys::getXattrAt(where.dirfd, where.name, kResourceForkAttribute, nullptr, 0);
      if (n >= 0)
        out.rsrcLogicalSize = out.rsrcPhysicalSize = static_cast<UInt64>(n);
      else if (errno != ENODATA && errno != EOPNOTSUPP && errno != EPERM && errno != EACCES)
        return sys::lastStatus(); // EACCES: a file the caller may not read shows no fork
    }
  }
  return noErr;
}

void makeSpec(uint32_t index, FSSpec &spec) {
  NodeTable &table = NodeTable::shared();
  const Node &node = table.node(index);
  spec.vRefNum = node.volume;
  spec.parID = static_cast<SInt32>(table.parentID(index));
  HFSUniStr255 name;
  names::fromDisk(node.name, name);
  onebyte::fromUnicode(name, nodeIDOf(index), spec.name); // a mangled name carries it
}

OSErr fillOutputs(uint32_t index, HFSUniStr255 *outName, FSSpec *spec, FSRef *parentRef) {
  NodeTable &table = NodeTable::shared();
  const Node &node = table.node(index);
  if (outName)
    names::fromDisk(node.name, *outName);
  if (spec)
    makeSpec(index, *spec);
  if (parentRef) {
    if (node.parent == kNoNode)
      std::memset(parentRef, 0, sizeof *parentRef);
    else
      table.encode(node.parent, parentRef);
  }
  return noErr;
}

OSErr lookupChildDisk(uint32_t parent, const std::string &diskName, uint32_t &index) {
  NodeTable &table = NodeTable::shared();
  if (!table.node(parent).isDirectory)
    return dirNFErr;
  int fd;
  if (OSErr err = table.openFolder(parent, fd))
    return err;
  struct statx stx;
  if (sys::statxAt(fd, diskName.c_str(), kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  return table.intern(parent, diskName, stx, index, fd);
}

OSErr lookupChild(uint32_t parent, const UniChar *name, size_t length, uint32_t &index) {
  std::string disk;
  if (OSErr err = names::toDisk(name, length, disk))
    return err;
  OSErr err = lookupChildDisk(parent, disk, index);
  if (err != fnfErr)
    return err;
  std::string composed;
  if (names::toDiskNFC(name, length, composed) != noErr || composed == disk)
    return err;
  return lookupChildDisk(parent, composed, index);
}

OSErr applyCatalogInfo(uint32_t index, const Location &where, const struct statx &located,
                       FSCatalogInfoBitmap which, const FSCatalogInfo &info) {
  (void)index;
  which &= kFSCatInfoSettableInfo & ~kFSCatInfoAttrMod;
  if (which == 0)
    return noErr;
  Metadata meta;
  if (OSErr err = Metadata::read(where.dirfd, where.name, meta))
    return err;
  struct statx again;
  const struct statx &stx = afterReading(meta, where, located, again);
  const bool isDir = S_ISDIR(stx.stx_mode), isLink = S_ISLNK(stx.stx_mode);
  const Metadata before = meta;
  mode_t mode = stx.stx_mode & 07777;
  const bool lockedNow = isDir ? (meta.flags & Metadata::kFolderLocked)
                               : (!isLink && !(mode & S_IWUSR));
  const bool wantLock =
      isLink ? false : (which & kFSCatInfoNodeFlags) ? (info.nodeFlags & kFSNodeLockedMask) : lockedNow;
  if (lockedNow && wantLock)
    return fLckdErr; // only the write that clears the lock passes a locked object

  // Unlocking a file gives back its write bits first: an owner who is not
  // root needs them to rewrite the metadata.
  if (!isDir && lockedNow && !wantLock) {
    mode_t bits = (meta.flags & Metadata::kHasSavedWriteBits) ? meta.savedWriteBits : S_IWUSR;
    mode |= bits | S_IWUSR;
    if (sys::chmodAt(where.dirfd, where.name, mode) < 0)
      return sys::lastStatus();
    meta.flags &= static_cast<UInt8>(~Metadata::kHasSavedWriteBits);
    meta.savedWriteBits = 0;
  }
  if (which & kFSCatInfoTextEncoding)
    meta.textEncodingHint = info.textEncodingHint;
  if (which & kFSCatInfoCreateDate) {
    meta.createDate = info.createDate;
    meta.flags |= Metadata::kHasCreateDate;
  }
  if (which & kFSCatInfoBackupDate) {
    meta.backupDate = info.backupDate;
    const UTCDateTime &d = info.backupDate;
    if (d.highSeconds || d.lowSeconds || d.fraction)
      meta.flags |= Metadata::kHasBackupDate;
    else
      meta.flags &= static_cast<UInt8>(~Metadata::kHasBackupDate);
  }
  if (which & kFSCatInfoFinderInfo)
    std::memcpy(meta.finderInfo, info.finderInfo, 16);
  if (which & kFSCatInfoFinderXInfo)
    std::memcpy(meta.extFinderInfo, info.extFinderInfo, 16);
  if (isDir) {
    if (wantLock)
      meta.flags |= Metadata::kFolderLocked;
    else
      meta.flags &= static_cast<UInt8>(~Metadata::kFolderLocked);
  }

  if (which & kFSCatInfoPermissions) {
    uid_t uid = info.permissions.userID;
    gid_t gid = info.permissions.groupID;
    if (uid != stx.stx_uid || gid != stx.stx_gid) {
      if (sys::chownAt(where.dirfd, where.name, uid != stx.stx_uid ? uid : static_cast<uid_t>(-1),
                       gid != stx.stx_gid ? gid : static_cast<gid_t>(-1)) < 0)
        return sys::lastStatus();
    }
    if (!isLink) {
      mode = info.permissions.mode & 07777;
      // An unlocked file keeps its owner's write bit; a file about to be
      // locked keeps it until its metadata is written (below), as the owner
      // needs it for that write.  Permissions taken from a locked file have
      // no write bits, so they would otherwise end the write half done.
      if (!isDir)
        mode |= S_IWUSR;
      if (sys::chmodAt(where.dirfd, where.name, mode) < 0)
        return sys::lastStatus();
    }
  }

  // Locking a file records the write bits in the metadata before it clears
  // them, for the same reason as above.
  const bool lockFile = !isDir && !isLink && wantLock && !lockedNow;
  if (lockFile) {
    meta.savedWriteBits = static_cast<UInt16>(mode & 0222);
    meta.flags |= Metadata::kHasSavedWriteBits;
  }
  UInt8 a[Metadata::kEncodedSizeWithNodeID], b[Metadata::kEncodedSizeWithNodeID];
  const size_t sizeA = meta.encode(a), sizeB = before.encode(b);
  if (sizeA != sizeB || std::memcmp(a, b, sizeA) != 0 || (before.isDefault() != meta.isDefault()))
    if (OSErr err = meta.write(where.dirfd, where.name))
      return err;
  if (lockFile && sys::chmodAt(where.dirfd, where.name, mode & ~0222) < 0)
    return sys::lastStatus();

  if (which & (kFSCatInfoContentMod | kFSCatInfoAccessDate)) {
    struct timespec times[2];
    times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
    if (which & kFSCatInfoAccessDate)
      fromUTC(info.accessDate, times[0]);
    if (which & kFSCatInfoContentMod)
      fromUTC(info.contentModDate, times[1]);
    if (sys::utimensAt(where.dirfd, where.name, times) < 0)
      return sys::lastStatus();
  }
  return noErr;
}

OSErr resolveSpec(FSVolumeRefNum volumeRefNum, SInt32 dirID, ConstStringPtr name,
                  uint32_t &index) {
  NodeTable &table = NodeTable::shared();
  if (volumeRefNum == 0) {
    // The default folder's volume; directory ID 0 there is the folder itself.
    FSVolumeRefNum defaultVolume;
    uint32_t folder;
    if (OSErr err = defaultFolder(defaultVolume, folder))
      return err;
    volumeRefNum = defaultVolume;
    if (dirID == 0)
      dirID = static_cast<SInt32>(table.node(folder).nodeID);
  }
  Volume *volume = table.volume(volumeRefNum);
  if (!volume)
    return nsvErr;
  size_t length = name ? name[0] : 0;
  uint32_t dir;
  if (dirID == fsRtParID && length) {
    dir = kNoNode; // the parent of the root holds only the root, by its name
  } else {
    dir = table.findByID(volume->refNum, dirID ? static_cast<uint32_t>(dirID)
                                               : static_cast<uint32_t>(fsRtDirID));
    if (dir == kNoNode || !table.node(dir).isDirectory)
      return dirNFErr;
  }
  if (length == 0) {
    index = dir;
    return noErr;
  }
  if (std::memchr(name + 1, ':', length))
    return bdNamErr; // partial paths are not taken
  if (dir == kNoNode) {
    HFSUniStr255 rootName, given;
    names::fromDisk(table.node(volume->rootNode).name, rootName);
    if (!onebyte::toUnicode(name + 1, length, given) || given.length != rootName.length ||
        std::memcmp(given.unicode, rootName.unicode, given.length * 2))
      return fnfErr;
    index = volume->rootNode;
    return noErr;
  }
  // A mangled name names its object by ID; a plain one by name.  The names
  // of a hard-linked file share the ID: each is told by its own mangled form.
  if (UInt32 id = onebyte::parseMangledID(name + 1, length)) {
    findByNodeID(volume->refNum, id); // settles the file that holds the ID, if any
    uint32_t onlyOne = kNoNode;
    size_t inFolder = 0;
    for (uint32_t i : table.findAllByID(volume->refNum, id)) {
      if (table.node(i).parent != dir)
        continue;
      FSSpec spec;
      makeSpec(i, spec);
      if (spec.name[0] == length && !std::memcmp(spec.name + 1, name + 1, length)) {
        index = i;
        return noErr;
      }
      onlyOne = i;
      ++inFolder;
    }
    if (inFolder == 1) {
      index = onlyOne;
      return noErr;
    }
  }
  HFSUniStr255 unicode;
  if (!onebyte::toUnicode(name + 1, length, unicode))
    return bdNamErr;
  return lookupChild(dir, unicode.unicode, unicode.length, index);
}

namespace {

/// Symbolic links one path may pass through, as the kernel allows.
constexpr int kMaxLinks = 40;

/// The target of the link `name` in `folder`, whatever its length.
int readLinkTarget(int folder, const char *name, std::string &target) {
  target.resize(256);
  for (;;) {
    ssize_t n = sys::readLink(folder, name, target.data(), target.size());
    if (n < 0)
      return -1;
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return 0;
    }
    target.resize(target.size() * 2);
  }
}

/// resolvePath past PATH_MAX: one component at a time from folder
/// descriptors, keeping the absolute path alongside.  The folder reached is
/// the one the text names, so ".." of a folder is the path without its last
/// component.
OSErr walkPath(const char *path, std::string &full, struct statx &stx) {
  std::string rest = path;
  sys::Fd folder;
  if (rest.empty())
    return fnfErr;
  if (rest[0] == '/') {
    full.clear();
    folder.reset(sys::openAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
  } else {
    if (sys::getCwd(full) < 0)
      return sys::lastStatus();
    if (full.empty() || full[0] != '/')
      return fnfErr; // outside this process's root
    if (full == "/")
      full.clear();
    folder.reset(sys::openAt(AT_FDCWD, ".", O_PATH | O_DIRECTORY));
  }
  if (!folder.valid())
    return sys::lastStatus();
  int links = 0;
  bool statted = false; // `stx` holds the last component's
  for (size_t at = 0;;) {
    while (at < rest.size() && rest[at] == '/')
      ++at;
    if (at == rest.size())
      break;
    const size_t end = std::min(rest.find('/', at), rest.size());
    const std::string part = rest.substr(at, end - at);
    at = end;
    if (part == ".")
      continue;
    if (part == "..") {
      folder.reset(sys::openAt(folder.get(), "..", O_PATH | O_DIRECTORY));
      if (!folder.valid())
        return sys::lastStatus();
      full.resize(full.rfind('/') == std::string::npos ? 0 : full.rfind('/'));
      continue;
    }
    if (sys::statxAt(folder.get(), part.c_str(), kIdentityMask, &stx) < 0)
      return sys::lastStatus();
    if (S_ISLNK(stx.stx_mode)) {
      // The target takes the link's place in what is left to walk.
      std::string target;
      if (++links > kMaxLinks)
        return sys::statusFor(ELOOP);
      if (readLinkTarget(folder.get(), part.c_str(), target) < 0)
        return sys::lastStatus();
      if (target.empty())
        return fnfErr;
      rest = target + rest.substr(at);
      at = 0;
      if (target[0] == '/') {
        full.clear();
        folder.reset(sys::openAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
        if (!folder.valid())
          return sys::lastStatus();
      }
      continue;
    }
    full += '/';
    full += part;
    if (at == rest.size()) {
      statted = true;
      break;
    }
    // A slash follows: a folder is needed.
    if (!S_ISDIR(stx.stx_mode))
      return dirNFErr;
    folder.reset(sys::openAt(folder.get(), part.c_str(), O_PATH | O_DIRECTORY));
    if (!folder.valid())
      return sys::lastStatus();
  }
  if (!statted && sys::statxAt(folder.get(), "", kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  if (full.empty())
    full = "/";
  return noErr;
}

} // namespace

OSErr resolvePath(const char *path, std::string &full, struct statx &stx) {
  // realpath and one statx for every path that fits in PATH_MAX.
  if (sys::realPath(path, full) == 0)
    return sys::statxAt(AT_FDCWD, full.c_str(), kIdentityMask, &stx) < 0 ? sys::lastStatus()
                                                                         : OSErr(noErr);
  if (errno != ENAMETOOLONG)
    return sys::lastStatus();
  return walkPath(path, full, stx);
}

OSErr internPath(const std::string &full, const struct statx &stx, uint32_t &index) {
  NodeTable &table = NodeTable::shared();
  if (OSErr err = table.volumeRootFor(stx, index))
    return err;
  const std::string point = table.volume(table.node(index).volume)->mountPoint;
  std::string rest = full.substr(point == "/" ? 1 : point.size());
  size_t at = 0;
  while (at < rest.size()) {
    if (rest[at] == '/') {
      ++at;
      continue;
    }
    size_t end = rest.find('/', at);
    std::string part = rest.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? rest.size() : end;
    uint32_t child;
    if (OSErr err = lookupChildDisk(index, part, child))
      return err;
    index = child;
  }
  return noErr;
}

} // namespace detail

using namespace detail;

OSErr PosixFileManager::getCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                                       FSCatalogInfo *info, HFSUniStr255 *outName,
                                       FSSpec *spec, FSRef *parentRef) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  if (!info)
    whichInfo = 0;
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx, statxMaskFor(whichInfo)))
    return err;
  if (whichInfo) {
    FSCatalogInfo local;
    std::memcpy(&local, info, sizeof local);
    if (OSErr err = fillCatalogInfo(index, where, stx, whichInfo, local))
      return err;
    std::memcpy(info, &local, sizeof local);
  }
  return fillOutputs(index, outName, spec, parentRef);
}

OSErr PosixFileManager::setCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo,
                                       const FSCatalogInfo *info) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  if (!info && (whichInfo & kFSCatInfoSettableInfo))
    return paramErr;
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx, STATX_UID | STATX_GID))
    return err;
  if (!info)
    return noErr;
  return applyCatalogInfo(index, where, stx, whichInfo, *info);
}

OSErr PosixFileManager::makeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                         const UniChar *name, TextEncoding, FSRef *newRef) {
  if (!newRef || (!name && nameLength))
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t parent, index;
  if (OSErr err = table.decode(parentRef, parent))
    return err;
  if (OSErr err = lookupChild(parent, name, nameLength, index))
    return err;
  table.encode(index, newRef);
  return noErr;
}

OSErr PosixFileManager::makeFSRefUnicodePB(FSRefParam *pb) {
  if (!pb)
    return paramErr;
  OSErr err = makeFSRefUnicode(pb->ref, pb->nameLength, pb->name, pb->textEncodingHint,
                               pb->newRef);
  pb->ioResult = err;
  return err;
}

OSErr PosixFileManager::makeFSRefPB(FSRefParam *pb) {
  if (!pb)
    return paramErr;
  auto finish = [pb](OSErr err) {
    pb->ioResult = err;
    return err;
  };
  if (!pb->newRef)
    return finish(paramErr);
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = resolveSpec(pb->ioVRefNum, pb->ioDirID, pb->ioNamePtr, index))
    return finish(err);
  Location where;
  if (OSErr err = table.locate(index, where))
    return finish(err);
  table.encode(index, pb->newRef);
  return finish(noErr);
}

OSStatus PosixFileManager::pathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) {
  if (!path || !ref)
    return paramErr;
  std::string full;
  struct statx stx;
  if (OSErr err = resolvePath(reinterpret_cast<const char *>(path), full, stx))
    return err;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = internPath(full, stx, index))
    return err;
  Location where;
  if (OSErr err = table.locate(index, where, &stx))
    return err;
  table.encode(index, ref);
  if (isDirectory)
    *isDirectory = S_ISDIR(stx.stx_mode) ? TRUE : FALSE;
  return noErr;
}

OSStatus PosixFileManager::refMakePath(const FSRef *ref, UInt8 *path, UInt32 size) {
  if (!path || size == 0)
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  Location where;
  if (OSErr err = table.locate(index, where))
    return err;
  std::string p = table.path(index);
  if (p.size() + 1 > size)
    return errFSNameTooLong;
  std::memcpy(path, p.c_str(), p.size() + 1);
  return noErr;
}

OSErr PosixFileManager::compareFSRefs(const FSRef *a, const FSRef *b) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t x, y;
  if (OSErr err = table.decode(a, x))
    return err;
  if (OSErr err = table.decode(b, y))
    return err;
  return x == y ? OSErr(noErr) : OSErr(errFSRefsDifferent);
}

} // namespace quillmate::fm

namespace quillmate::fm {
FileManager &posixFileManager() {
  static PosixFileManager *fm = new PosixFileManager; // never destroyed
  return *fm;
}
} // namespace quillmate::fm
