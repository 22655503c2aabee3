// Volumes: FSGetVolumeInfo and PBHGetVolParmsSync.
//
// A volume is a mount.  The list by index holds, in the order of
// /proc/self/mountinfo, the mounts a user keeps files on (see
// mountinfo::holdsUserFiles) whose mount point is a folder reached as that
// very mount, so of several mounts on one point only the top one.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/MountInfo.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/Syscalls.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_map>

namespace quillmate::fm {
namespace {

constexpr UInt16 sig(char a, char b) {
  return static_cast<UInt16>((static_cast<unsigned char>(a) << 8) | static_cast<unsigned char>(b));
}

struct FileSystemCode {
  std::string_view type; // as mountinfo names it; "fuse" also covers "fuse.*"
  UInt16 id;
  UInt16 signature;
};

// filesystemID and signature of each file-system type.  The platform's own
// file systems keep their ID 0 and signatures; every other one has a code of
// its own and a two-letter signature.  Stored by callers: never renumber.
constexpr std::array<FileSystemCode, 28> kFileSystemCodes = {{
    {"hfsplus", 0, sig('H', '+')}, {"hfs", 0, sig('B', 'D')},
    {"ext2", 1, sig('E', '2')},    {"ext3", 2, sig('E', '3')},
    {"ext4", 3, sig('E', '4')},    {"xfs", 4, sig('X', 'F')},
    {"btrfs", 5, sig('B', 'T')},   {"tmpfs", 6, sig('T', 'M')},
    {"ramfs", 7, sig('R', 'M')},   {"overlay", 8, sig('O', 'V')},
    {"nfs", 9, sig('N', 'F')},     {"nfs4", 10, sig('N', '4')},
    {"cifs", 11, sig('S', 'M')},   {"smb3", 11, sig('S', 'M')},
    {"fuse", 12, sig('F', 'U')},   {"fuseblk", 12, sig('F', 'U')},
    {"vfat", 13, sig('F', 'A')},   {"msdos", 13, sig('F', 'A')},
    {"exfat", 14, sig('E', 'X')},  {"ntfs", 15, sig('N', 'T')},
    {"ntfs3", 15, sig('N', 'T')},  {"iso9660", 16, sig('C', 'D')},
    {"udf", 17, sig('U', 'D')},    {"zfs", 18, sig('Z', 'F')},
    {"f2fs", 19, sig('F', '2')},   {"9p", 20, sig('9', 'P')},
    {"virtiofs", 21, sig('V', 'F')}, {"squashfs", 22, sig('S', 'Q')},
}};
constexpr FileSystemCode kUnknownFileSystem{"", 0xFFFF, sig('?', '?')};

const FileSystemCode &codeFor(const std::string &type) {
  std::string_view t = type;
  if (t.substr(0, 5) == "fuse.")
    t = "fuse";
  for (const FileSystemCode &c : kFileSystemCodes)
    if (c.type == t)
      return c;
  return kUnknownFileSystem;
}

bool oneOf(const std::string &type, std::initializer_list<std::string_view> types) {
  for (std::string_view t : types)
    if (type == t)
      return true;
  return false;
}

// What a file system of each type does, so that asking a volume's
// parameters writes nothing.  renameat2's NOREPLACE and EXCHANGE work within
// one of these (measured on ext4, tmpfs, xfs, btrfs and overlay); on other
// types they answer "no" until an operation of this layer that uses them
// succeeds there (see learnRenameFlag).
bool knownRenameFlags(const std::string &type) {
  return oneOf(type,
               {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "overlay", "f2fs", "bcachefs"});
}
bool knownCaseInsensitive(const std::string &type) {
  return oneOf(type, {"vfat", "msdos", "exfat", "iso9660", "hfs", "hfsplus", "cifs", "smb3"});
}
bool knownWithoutSymbolicLinks(const std::string &type) {
  return oneOf(type, {"vfat", "msdos", "exfat"});
}
bool knownWithout2TBFiles(const std::string &type) {
  return oneOf(type, {"vfat", "msdos", "hfs", "iso9660"});
}

constexpr SInt32 bit(int n) { return static_cast<SInt32>(1u << n); }

/// What operations of this layer found out about renameat2's flags on a
/// volume, which wins over the table of types.  Guarded by the node table's
/// lock.
struct Learned {
  int noReplace = -1; // -1 unknown, 0 refused, 1 works
  int exchange = -1;
};
std::unordered_map<FSVolumeRefNum, Learned> &learned() {
  static auto *map = new std::unordered_map<FSVolumeRefNum, Learned>;
  return *map;
}

bool renameFlagWorks(int learnedValue, bool byType) {
  return learnedValue < 0 ? byType : learnedValue == 1;
}

struct Capabilities {
  SInt32 attrib = 0;
  SInt32 extended = 0;
};

/// The bits of a volume, from its file system's type, its mount flags and
/// what this process learned there; nothing is written to find them.
Capabilities capabilities(const Volume &v, const mountinfo::Mount &m, const struct statvfs &vfs) {
  const bool readOnly = (vfs.f_flag & ST_RDONLY) || m.readOnly();
  const Learned &l = learned()[v.refNum];
  const bool byType = knownRenameFlags(m.type);
  Capabilities c;
  c.attrib = bit(bHasFileIDs) | bit(bHasExtFSVol);
  if (!readOnly && renameFlagWorks(l.noReplace, byType))
    c.attrib |= bit(bHasMoveRename);
  // copy_file_range falls back to a copy loop inside the kernel, so every
  // writable volume copies without the data passing through this process.
  if (!readOnly)
    c.attrib |= bit(bHasCopyFile);
  c.extended = bit(bSupportsHFSPlusAPIs);
  if (!readOnly && renameFlagWorks(l.exchange, byType))
    c.extended |= bit(bSupportsFSExchangeObjects);
  if (!knownWithout2TBFiles(m.type))
    c.extended |= bit(bSupports2TBFiles);
  if (vfs.f_namemax > 31)
    c.extended |= bit(bSupportsLongNames);
  if (!knownWithoutSymbolicLinks(m.type))
    c.extended |= bit(bSupportsSymbolicLinks);
  if (!knownCaseInsensitive(m.type))
    c.extended |= bit(bIsCaseSensitive);
  if (m.type != "msdos")
    c.extended |= bit(bIsCasePreserving);
  return c;
}

/// The `index`-th listed volume (from 1): its mount and its table entry.
OSErr listed(ItemCount index, mountinfo::Mount &mount, Volume *&volume) {
  std::vector<mountinfo::Mount> mounts;
  if (!mountinfo::read(mounts))
    return ioErr;
  ItemCount seen = 0;
  for (mountinfo::Mount &m : mounts) {
    if (!mountinfo::holdsUserFiles(m))
      continue;
    // Only the volume asked for enters the node table, which keeps its root
    // open: listing does not pin every mount.
    struct statx stx;
    if (!mountinfo::isTop(m, stx) || ++seen != index)
      continue;
    if (OSErr err = mountinfo::volumeOf(m, volume))
      return err;
    mount = std::move(m);
    return noErr;
  }
  return nsvErr;
}

/// 1 when the block device major:minor is read-only, 0 when not or unknown.
bool deviceReadOnly(unsigned major, unsigned minor) {
  if (major == 0)
    return false; // no block device (tmpfs, network, ...)
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/ro", major, minor);
  sys::Fd fd(sys::openAt(AT_FDCWD, path, O_RDONLY));
  char c = '0';
  return fd.valid() && sys::read(fd.get(), &c, 1) == 1 && c == '1';
}

UInt32 clamp32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<UInt32>(v); }

/// The volume information fields that come from statvfs.
constexpr FSVolumeInfoBitmap kStatVfsFields = kFSVolInfoFileCount | kFSVolInfoDirCount |
                                              kFSVolInfoSizes | kFSVolInfoBlocks |
                                              kFSVolInfoRsrcClump | kFSVolInfoDataClump |
                                              kFSVolInfoFlags;

/// The creation and modification dates of the volume: its root folder's
/// birth time (none where the file system keeps none) and modification time.
OSErr fillDates(const Volume &v, FSVolumeInfoBitmap which, FSVolumeInfo &info) {
  if (which & (kFSVolInfoCreateDate | kFSVolInfoModDate)) {
    struct statx stx;
    if (sys::statxAt(v.rootFd, "", STATX_BTIME | STATX_MTIME, &stx) < 0)
      return sys::lastStatus();
    if (which & kFSVolInfoCreateDate)
      info.createDate = (stx.stx_mask & STATX_BTIME)
                            ? detail::toUTC(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec)
                            : UTCDateTime{};
    if (which & kFSVolInfoModDate)
      info.modifyDate = detail::toUTC(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  }
  if (which & kFSVolInfoBackupDate)
    info.backupDate = UTCDateTime{};
  if (which & kFSVolInfoCheckedDate)
    info.checkedDate = UTCDateTime{};
  return noErr;
}

/// The counts and sizes, from the file system's statvfs.  Linux counts files
/// and folders together, as inodes in use.
void fillSpace(const struct statvfs &vfs, FSVolumeInfoBitmap which, FSVolumeInfo &info) {
  if (which & kFSVolInfoFileCount)
    info.fileCount = clamp32(vfs.f_files - vfs.f_ffree);
  if (which & kFSVolInfoDirCount)
    info.folderCount = 0;
  if (which & kFSVolInfoSizes) {
    info.totalBytes = static_cast<UInt64>(vfs.f_blocks) * vfs.f_frsize;
    info.freeBytes = static_cast<UInt64>(vfs.f_bavail) * vfs.f_frsize; // what users may fill
  }
  if (which & kFSVolInfoBlocks) {
    info.blockSize = clamp32(vfs.f_frsize);
    info.totalBlocks = clamp32(vfs.f_blocks);
    info.freeBlocks = clamp32(vfs.f_bavail);
  }
  if (which & kFSVolInfoNextAlloc)
    info.nextAllocation = 0;
  if (which & kFSVolInfoRsrcClump)
    info.rsrcClumpSize = clamp32(vfs.f_bsize);
  if (which & kFSVolInfoDataClump)
    info.dataClumpSize = clamp32(vfs.f_bsize);
  if (which & kFSVolInfoNextID)
    info.nextCatalogID = 0;
}

/// The volume's flags: locked by its mount or by its device, the default
/// volume, and whether this process has files open on it.
UInt16 volumeFlags(const Volume &v, const mountinfo::Mount &m, const struct statvfs &vfs) {
  UInt16 flags = 0;
  if ((vfs.f_flag & ST_RDONLY) || m.readOnly())
    flags |= kFSVolFlagSoftwareLockedMask;
  if (deviceReadOnly(m.major, m.minor))
    flags |= kFSVolFlagHardwareLockedMask;
  if (v.refNum == detail::defaultVolume())
    flags |= kFSVolFlagDefaultVolumeMask;
  bool open = false;
  ForkTable::shared().each([&](FSIORefNum, const ForkEntry &f) {
    if (f.volume == v.refNum)
      open = true;
  });
  if (open)
    flags |= kFSVolFlagFilesOpenMask;
  return flags;
}

/// Fills the fields of `which` for volume `v`, mounted as `m`.
OSErr fillInfo(const Volume &v, const mountinfo::Mount &m, FSVolumeInfoBitmap which,
               FSVolumeInfo &info) {
  struct statvfs vfs {};
  if ((which & kStatVfsFields) && sys::statVfs(v.rootFd, &vfs) < 0)
    return sys::lastStatus();
  if (OSErr err = fillDates(v, which, info))
    return err;
  fillSpace(vfs, which, info);
  if (which & kFSVolInfoFinderInfo)
    std::memset(info.finderInfo, 0, sizeof info.finderInfo);
  if (which & kFSVolInfoFlags)
    info.flags = volumeFlags(v, m, vfs);
  if (which & kFSVolInfoFSInfo) {
    const FileSystemCode &code = codeFor(m.type);
    info.filesystemID = code.id;
    info.signature = code.signature;
  }
  if (which & kFSVolInfoDriveInfo) {
    info.driveNumber = 0;
    info.driverRefNum = 0;
  }
  return noErr;
}

} // namespace

void detail::learnRenameFlag(FSVolumeRefNum volume, unsigned flag, bool works) {
  Learned &l = learned()[volume];
  (flag == RENAME_EXCHANGE ? l.exchange : l.noReplace) = works ? 1 : 0;
}

OSErr PosixFileManager::getVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                                      FSVolumeRefNum *actualVolume, FSVolumeInfoBitmap whichInfo,
                                      FSVolumeInfo *info, HFSUniStr255 *volumeName,
                                      FSRef *rootDirectory) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  mountinfo::Mount mount;
  Volume *v = nullptr;
  if (OSErr err = volumeIndex ? listed(volumeIndex, mount, v)
                                  : mountinfo::byRefNum(volume, mount, v))
    return err;
  Location where;
  if (OSErr err = table.locate(v->rootNode, where))
    return err;
  // Everything that can fail is done before the first output is written.
  FSVolumeInfo filled;
  if (info) {
    std::memcpy(&filled, info, sizeof filled);
    if (OSErr err = fillInfo(*v, mount, whichInfo, filled))
      return err;
    std::memcpy(info, &filled, sizeof filled);
  }
  if (actualVolume)
    *actualVolume = v->refNum;
  if (volumeName)
    names::fromDisk(table.node(v->rootNode).name, *volumeName);
  if (rootDirectory)
    table.encode(v->rootNode, rootDirectory);
  return noErr;
}

OSErr PosixFileManager::getVolParms(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  HIOParam &io = pb->ioParam;
  if (!io.ioBuffer || io.ioReqCount < 0)
    return detail::finish(io, paramErr);
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  mountinfo::Mount mount;
  Volume *v = nullptr;
  if (OSErr err = mountinfo::byRefNum(io.ioVRefNum, mount, v))
    return detail::finish(io, err);
  struct statvfs vfs;
  if (sys::statVfs(v->rootFd, &vfs) < 0)
    return detail::finish(io, sys::lastStatus());
  const Capabilities c = capabilities(*v, mount, vfs);

  GetVolParmsInfoBuffer answer{};
  answer.vMVersion = 4;
  answer.vMAttrib = c.attrib;
  answer.vMExtendedAttributes = c.extended;
  answer.vMMaxNameLength = vfs.f_namemax < 255 ? vfs.f_namemax : 255;
  const size_t count = static_cast<size_t>(io.ioReqCount) < sizeof answer
                           ? static_cast<size_t>(io.ioReqCount)
                           : sizeof answer;
  std::memcpy(io.ioBuffer, &answer, count);
  io.ioActCount = static_cast<SInt32>(count);
  return detail::finish(io, noErr);
}

} // namespace quillmate::fm
