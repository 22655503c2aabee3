// Catalog information: read for FSGetCatalogInfo and the bulk reads of the
// iterators, with the name and FSSpec outputs, and written for
// FSSetCatalogInfo and the creating calls; and the process's one POSIX File
// Manager.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ExchangeRecord.h"
#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/OneByteNames.h"
#include "platform/filemanager/RenameRecord.h"
#include "platform/filemanager/Syscalls.h"
#include "platform/text/NameConversion.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <utility>
#include <vector>

namespace quillmate::fm {

namespace {
/// Seconds from the platform's epoch (1904) to the Unix one (1970).
constexpr int64_t kUnixTo1904 = 2082844800;
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
    if (OSErr err = Metadata::readRecord(where.dirfd, where.name, meta))
      return err;
    locked = meta.flags & Metadata::kFolderLocked;
  } else {
    locked = !S_ISLNK(stx.stx_mode) && !(stx.stx_mode & S_IWUSR);
  }
  return noErr;
}

namespace {

/// Catalog fields kept in the metadata record.
constexpr FSCatalogInfoBitmap kRecordFields =
    kFSCatInfoTextEncoding | kFSCatInfoCreateDate | kFSCatInfoBackupDate;
/// Catalog fields kept where the Mac and the file server read them.
constexpr FSCatalogInfoBitmap kFinderInfoFields = kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;

/// Reads into `meta` what `which` needs of the object at `where` (statx
/// `stx`): the metadata record when a field of `which` comes from it, or
/// when it settles a file's node ID that `which` asks for (an unreadable
/// record then leaves the defaults, and the file shows its inode number);
/// the Finder information, looking for a `._` file as `hint` says.
OSErr readRecordFor(uint32_t index, const Location &where, const struct statx &stx, bool isDir,
                    FSCatalogInfoBitmap which, SidecarHint hint, Metadata &meta) {
  const bool wantRecord = (which & kRecordFields) || (isDir && (which & kFSCatInfoNodeFlags));
  const bool wantFinderInfo = which & kFinderInfoFields;
  const bool settleID = (which & kFSCatInfoNodeID) && !NodeTable::shared().settled(index);
  const unsigned parts = (wantRecord || settleID ? unsigned(Metadata::kRecordPart) : 0u) |
                         (wantFinderInfo ? unsigned(Metadata::kFinderInfoPart) : 0u);
  if (!parts)
    return noErr;
  if (OSErr err = Metadata::readShown(where.dirfd, where.name, stx, parts, hint, meta)) {
    if (wantRecord || wantFinderInfo)
      return err;
    meta = Metadata{};
  }
  return noErr;
}

/// The node flags: directory, locked, and which of a file's forks this
/// process has open (by any of its names).
UInt16 nodeFlagsOf(uint32_t index, const struct statx &stx, const Metadata &meta, bool isDir) {
  if (isDir)
    return kFSNodeIsDirectoryMask | ((meta.flags & Metadata::kFolderLocked) ? kFSNodeLockedMask : 0);
  UInt16 flags = !S_ISLNK(stx.stx_mode) && !(stx.stx_mode & S_IWUSR) ? kFSNodeLockedMask : 0;
  const FSVolumeRefNum volume = NodeTable::shared().node(index).volume;
  ForkTable::shared().each([&](FSIORefNum, const ForkEntry &f) {
    if (f.sameFileAs(index, volume, stx.stx_ino))
      flags |= kFSNodeForkOpenMask | (f.resource ? kFSNodeResOpenMask : kFSNodeDataOpenMask);
  });
  return flags;
}

/// What the object is and where it stands: text encoding, node flags,
/// volume, parent, node ID, sharing flags.
void fillIdentity(uint32_t index, const struct statx &stx, const Metadata &meta, bool isDir,
                  FSCatalogInfoBitmap which, FSCatalogInfo &out) {
  NodeTable &table = NodeTable::shared();
  if (which & kFSCatInfoTextEncoding)
    out.textEncodingHint = meta.textEncodingHint;
  if (which & kFSCatInfoNodeFlags)
    out.nodeFlags = nodeFlagsOf(index, stx, meta, isDir);
  if (which & kFSCatInfoVolume)
    out.volume = table.node(index).volume;
  if (which & kFSCatInfoParentDirID)
    out.parentDirID = table.parentID(index);
  if (which & kFSCatInfoNodeID)
    out.nodeID = nodeIDOf(index, meta);
  if (which & kFSCatInfoSharingFlags)
    out.sharingFlags = 0;
}

/// The caller's privileges, and the owner, group and mode with the access
/// they leave the caller.
void fillAccess(const struct statx &stx, FSCatalogInfoBitmap which, FSCatalogInfo &out) {
  if (which & kFSCatInfoUserPrivs)
    out.userPrivileges = privilegesFor(stx);
  if (which & kFSCatInfoPermissions) {
    out.permissions = FSPermissionInfo{};
    out.permissions.userID = stx.stx_uid;
    out.permissions.groupID = stx.stx_gid;
    out.permissions.mode = stx.stx_mode;
    out.permissions.userAccess = static_cast<UInt8>(~privilegesFor(stx) & 0x7);
  }
}

/// The dates: creation from the record, else the inode's birth time where
/// the file system keeps one; backup from the record only.
void fillDates(const struct statx &stx, const Metadata &meta, FSCatalogInfoBitmap which,
               FSCatalogInfo &out) {
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
}

/// The Finder information from its place; a symbolic link without any
/// metadata shows as a file of type 'slnk', creator 'rhap'.
void fillFinderInfo(const struct statx &stx, const Metadata &meta, FSCatalogInfoBitmap which,
                    FSCatalogInfo &out) {
  if (which & kFSCatInfoFinderInfo) {
    std::memcpy(out.finderInfo, meta.finderInfo, 16);
    if (S_ISLNK(stx.stx_mode) && meta.isDefault()) {
      FileInfo fi{};
      fi.fileType = 0x736c6e6b;
      fi.fileCreator = 0x72686170;
      std::memcpy(out.finderInfo, &fi, 16);
    }
  }
  if (which & kFSCatInfoFinderXInfo)
    std::memcpy(out.extFinderInfo, meta.extFinderInfo, 16);
}

/// The number of items in the folder at `where` on `volume`, as its listing
/// shows them (without the `._` files beside their objects, nor the objects
/// that a killed rename left under a temporary name and that go back to
/// their old folder now: RenameRecord.h); 0 for a folder the caller may not
/// list.
OSErr countEntries(const Location &where, const Volume &volume, UInt32 &count) {
  count = 0;
  sys::Fd fd(sys::openAt(where.dirfd, where.name, O_RDONLY | O_DIRECTORY));
  if (!fd.valid())
    return errno == EACCES ? OSErr(noErr) : sys::lastStatus(); // a folder the caller may not list
  alignas(8) char buffer[16384];
  std::vector<std::pair<std::string, unsigned char>> reserved; // usually none
  std::vector<std::string> temporary;                          // usually none
  for (;;) {
    ssize_t n = sys::getDents(fd.get(), buffer, sizeof buffer);
    if (n < 0)
      return sys::lastStatus();
    if (n == 0)
      break;
    for (ssize_t at = 0; at < n;) {
      auto *d = reinterpret_cast<const struct dirent64 *>(buffer + at);
      if (std::strcmp(d->d_name, ".") && std::strcmp(d->d_name, "..")) {
        ++count;
        if (sidecar::isReserved(d->d_name))
          reserved.emplace_back(d->d_name, d->d_type);
        else if (looksTemporary(d->d_name))
          temporary.emplace_back(d->d_name);
      }
      at += d->d_reclen;
    }
  }
  // A `._` file is an item only without its object (one look each).
  for (const auto &[name, type] : reserved)
    count -= sidecar::isHidden(fd.get(), name.c_str(), DTTOIF(type));
  for (const std::string &name : temporary) {
    struct statx stx;
    std::string settledName;
    count -= sys::statxAt(fd.get(), name.c_str(), kIdentityMask, &stx) == 0 &&
             settleRename(fd.get(), name.c_str(), stx, volume, settledName) == Settled::Left;
  }
  return noErr;
}

/// A folder's item count; a file's fork sizes (`hint`: what the caller
/// knows of its `._` file).
OSErr fillSizes(uint32_t index, const Location &where, const struct statx &stx, bool isDir,
                FSCatalogInfoBitmap which, SidecarHint hint, FSCatalogInfo &out) {
  if (which & kFSCatInfoValence) {
    out.valence = 0;
    NodeTable &table = NodeTable::shared();
    if (isDir)
      if (OSErr err = countEntries(where, *table.volume(table.node(index).volume), out.valence))
        return err;
  }
  if (which & kFSCatInfoDataSizes) {
    out.dataLogicalSize = isDir ? 0 : stx.stx_size;
    out.dataPhysicalSize = isDir ? 0 : stx.stx_blocks * 512;
  }
  if (which & kFSCatInfoRsrcSizes) {
    out.rsrcLogicalSize = out.rsrcPhysicalSize = 0;
    if (!isDir) {
      UInt64 length;
      if (OSErr err = resourceForkLength(where, stx, hint, length))
        return err;
      out.rsrcLogicalSize = length;
      out.rsrcPhysicalSize = physicalSize(length, stx);
    }
  }
  return noErr;
}

} // namespace

OSErr fillCatalogInfo(uint32_t index, const Location &where, const struct statx &located,
                      FSCatalogInfoBitmap which, FSCatalogInfo &out, SidecarHint sidecar) {
  const bool isDir = S_ISDIR(located.stx_mode);
  Metadata meta;
  if (OSErr err = readRecordFor(index, where, located, isDir, which, sidecar, meta))
    return err;
  struct statx again;
  const struct statx &stx = afterReading(meta, where, located, again);
  fillIdentity(index, stx, meta, isDir, which, out);
  fillAccess(stx, which, out);
  fillDates(stx, meta, which, out);
  fillFinderInfo(stx, meta, which, out);
  return fillSizes(index, where, stx, isDir, which, sidecar, out);
}

namespace {

/// Whether the plain one-byte form of the name of `index` (composed) would
/// find another object or none: so for a name in NFD whose NFC twin is in
/// the same folder (one statx; NFC names pay nothing), and for a name in
/// neither form, which a lookup tries in NFC and NFD only.
bool plainSpecNameMisses(uint32_t index) {
  NodeTable &table = NodeTable::shared();
  const Node &node = table.node(index);
  switch (text::diskNameNormalization(node.name)) {
  case text::DiskNameNormalization::Both:
  case text::DiskNameNormalization::Composed:
    return false;
  case text::DiskNameNormalization::Mixed:
    return true;
  case text::DiskNameNormalization::Decomposed:
    break;
  }
  std::string twin;
  text::diskNameNormalization(node.name, &twin);
  int fd;
  struct statx stx;
  return node.parent != kNoNode && !twin.empty() && table.openFolder(node.parent, fd) == noErr &&
         sys::statxAt(fd, twin.c_str(), STATX_TYPE, &stx) == 0;
}

} // namespace

void makeSpec(uint32_t index, FSSpec &spec) {
  NodeTable &table = NodeTable::shared();
  const Node &node = table.node(index);
  spec.vRefNum = node.volume;
  spec.parID = static_cast<SInt32>(table.parentID(index));
  HFSUniStr255 name;
  names::fromDisk(node.name, name);
  // A mangled name carries the node ID, and finds its object by it.
  onebyte::fromUnicode(name, nodeIDOf(index), spec.name, plainSpecNameMisses(index));
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

namespace {

/// What the steps of a catalog write share about the object it changes.
struct CatalogWrite {
  const Location &where;
  const struct statx &stx; // as it is after the record was read
  Metadata meta;           // the record, with the fields written so far
  mode_t mode;             // the permission bits the object has now
  bool isDir, isLink;
  bool lockedNow, wantLock;
};

/// Unlocking a file gives back its write bits first: an owner who is not
/// root needs them to rewrite the metadata.
OSErr unlockFileFirst(CatalogWrite &w) {
  if (w.isDir || !w.lockedNow || w.wantLock)
    return noErr;
  const mode_t bits =
      (w.meta.flags & Metadata::kHasSavedWriteBits) ? w.meta.savedWriteBits : S_IWUSR;
  w.mode |= bits | S_IWUSR;
  if (sys::chmodAt(w.where.dirfd, w.where.name, w.mode) < 0)
    return sys::lastStatus();
  w.meta.flags &= static_cast<UInt8>(~Metadata::kHasSavedWriteBits);
  w.meta.savedWriteBits = 0;
  return noErr;
}

/// Puts the fields of `which` that the record keeps into it (the Finder
/// information too, which write() puts in its place), and a folder's lock;
/// nothing is written yet.
void recordFields(CatalogWrite &w, FSCatalogInfoBitmap which, const FSCatalogInfo &info) {
  Metadata &meta = w.meta;
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
  if (w.isDir) {
    if (w.wantLock)
      meta.flags |= Metadata::kFolderLocked;
    else
      meta.flags &= static_cast<UInt8>(~Metadata::kFolderLocked);
  }
}

/// Gives the object the owner, group and (but to a link) mode of `info`.
OSErr writePermissions(CatalogWrite &w, const FSPermissionInfo &permissions) {
  const uid_t uid = permissions.userID;
  const gid_t gid = permissions.groupID;
  if (uid != w.stx.stx_uid || gid != w.stx.stx_gid) {
    if (sys::chownAt(w.where.dirfd, w.where.name,
                     uid != w.stx.stx_uid ? uid : static_cast<uid_t>(-1),
                     gid != w.stx.stx_gid ? gid : static_cast<gid_t>(-1)) < 0)
      return sys::lastStatus();
  }
  if (w.isLink)
    return noErr;
  w.mode = permissions.mode & 07777;
  // An unlocked file keeps its owner's write bit; a file about to be locked
  // keeps it until its metadata is written (writeRecordAndLock), as the
  // owner needs it for that write.  Permissions taken from a locked file have
  // no write bits, so they would otherwise end the write half done.
  if (!w.isDir)
    w.mode |= S_IWUSR;
  if (sys::chmodAt(w.where.dirfd, w.where.name, w.mode) < 0)
    return sys::lastStatus();
  return noErr;
}

/// Writes the record when it changed from `before`, or Finder information
/// written (`finderInfo`) still lies where an earlier version kept it, then
/// locks a file that is to be locked.  Locking a file records the write bits
/// before it clears them, for the same reason as in writePermissions.
OSErr writeRecordAndLock(CatalogWrite &w, const Metadata &before, bool finderInfo) {
  const bool lockFile = !w.isDir && !w.isLink && w.wantLock && !w.lockedNow;
  if (lockFile) {
    w.meta.savedWriteBits = static_cast<UInt16>(w.mode & 0222);
    w.meta.flags |= Metadata::kHasSavedWriteBits;
  }
  UInt8 a[Metadata::kEncodedSizeWithNodeID], b[Metadata::kEncodedSizeWithNodeID];
  const size_t sizeA = w.meta.encode(a), sizeB = before.encode(b);
  if (sizeA != sizeB || std::memcmp(a, b, sizeA) != 0 ||
      (before.isDefault() != w.meta.isDefault()) ||
      (finderInfo && before.finderInfoFrom == FinderInfoFrom::Record))
    if (OSErr err = w.meta.write(w.where.dirfd, w.where.name))
      return err;
  if (lockFile && sys::chmodAt(w.where.dirfd, w.where.name, w.mode & ~0222) < 0)
    return sys::lastStatus();
  return noErr;
}

/// Sets the content modification and access dates that `which` names.
OSErr writeTimes(const Location &where, FSCatalogInfoBitmap which, const FSCatalogInfo &info) {
  if (!(which & (kFSCatInfoContentMod | kFSCatInfoAccessDate)))
    return noErr;
  struct timespec times[2];
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  if (which & kFSCatInfoAccessDate)
    fromUTC(info.accessDate, times[0]);
  if (which & kFSCatInfoContentMod)
    fromUTC(info.contentModDate, times[1]);
  return sys::utimensAt(where.dirfd, where.name, times) < 0 ? sys::lastStatus() : OSErr(noErr);
}

} // namespace

OSErr applyCatalogInfo(const Location &where, const struct statx &located,
                       FSCatalogInfoBitmap which, const FSCatalogInfo &info) {
  which &= kFSCatInfoSettableInfo & ~kFSCatInfoAttrMod;
  if (which == 0)
    return noErr;
  Metadata meta;
  if (OSErr err = Metadata::read(where.dirfd, where.name, meta))
    return err;
  struct statx again;
  const struct statx &stx = afterReading(meta, where, located, again);
  const bool isDir = S_ISDIR(stx.stx_mode), isLink = S_ISLNK(stx.stx_mode);
  const mode_t mode = stx.stx_mode & 07777;
  const bool lockedNow = isDir ? (meta.flags & Metadata::kFolderLocked)
                               : (!isLink && !(mode & S_IWUSR));
  const bool wantLock =
      isLink ? false : (which & kFSCatInfoNodeFlags) ? (info.nodeFlags & kFSNodeLockedMask) : lockedNow;
  if (lockedNow && wantLock)
    return fLckdErr; // only the write that clears the lock passes a locked object

  CatalogWrite w{where, stx, meta, mode, isDir, isLink, lockedNow, wantLock};
  if (OSErr err = unlockFileFirst(w))
    return err;
  recordFields(w, which, info);
  if (which & kFSCatInfoPermissions)
    if (OSErr err = writePermissions(w, info.permissions))
      return err;
  if (OSErr err = writeRecordAndLock(w, meta, which & kFinderInfoFields))
    return err;
  return writeTimes(where, which, info);
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
  return applyCatalogInfo(where, stx, whichInfo, *info);
}

FileManager &posixFileManager() {
  static PosixFileManager *fm = new PosixFileManager; // never destroyed
  return *fm;
}

} // namespace quillmate::fm
