// References: FSRefs made from names in a folder, from classic (volume,
// directory, name) triples and from paths, paths made from FSRefs, and
// FSRefs compared.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/Names.h"
#include "platform/filemanager/OneByteNames.h"
#include "platform/filemanager/RenameRecord.h"
#include "platform/filemanager/Syscalls.h"
#include "platform/text/NameConversion.h"

#include <cerrno>
#include <cstring>

namespace quillmate::fm {

namespace detail {

namespace {

/// The child entry of folder `parent` named `diskName` on disk.  A `._`
/// file beside its object is part of that object, not a child of its own;
/// an object left under a temporary name by a killed rename goes back to
/// its old name (RenameRecord.h), and this one is free.
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
  if (sidecar::isHidden(fd, diskName.c_str(), stx.stx_mode) ||
      sidecar::removeLeftover(fd, diskName.c_str(), stx))
    return fnfErr;
  std::string settledName;
  if (looksTemporary(diskName) &&
      settleRename(fd, diskName.c_str(), stx, *table.volume(table.node(parent).volume),
                   settledName) != Settled::Stayed)
    return fnfErr;
  return table.intern(parent, diskName, stx, index, fd);
}

/// A child entry of folder `parent` by API name: tries the name as given,
/// then, when that misses, its other normalization form (the file systems
/// here tell the two apart, the API's names do not).
OSErr lookupChild(uint32_t parent, const UniChar *name, size_t length, uint32_t &index) {
  std::string disk;
  if (OSErr err = names::toDisk(name, length, disk))
    return err;
  OSErr err = lookupChildDisk(parent, disk, index);
  if (err != fnfErr)
    return err;
  std::string other;
  text::diskNameNormalization(disk, &other);
  return other.empty() ? err : lookupChildDisk(parent, other, index);
}

/// The folder of a classic triple: `dir` becomes its entry, or kNoNode for
/// the parent of the root (fsRtParID with a name), which holds only the
/// root.  Volume 0 is the default folder's volume, and directory ID 0 there
/// the default folder; elsewhere directory ID 0 is the root.
OSErr folderOfSpec(FSVolumeRefNum volumeRefNum, SInt32 dirID, bool named, Volume *&volume,
                   uint32_t &dir) {
  NodeTable &table = NodeTable::shared();
  if (volumeRefNum == 0) {
    FSVolumeRefNum defaultVolume;
    uint32_t folder;
    if (OSErr err = defaultFolder(defaultVolume, folder))
      return err;
    volumeRefNum = defaultVolume;
    if (dirID == 0)
      dirID = static_cast<SInt32>(table.node(folder).nodeID);
  }
  volume = table.volume(volumeRefNum);
  if (!volume)
    return nsvErr;
  if (dirID == fsRtParID && named) {
    dir = kNoNode;
    return noErr;
  }
  dir = table.findByID(volume->refNum, dirID ? static_cast<uint32_t>(dirID)
                                             : static_cast<uint32_t>(fsRtDirID));
  return dir == kNoNode || !table.node(dir).isDirectory ? OSErr(dirNFErr) : OSErr(noErr);
}

/// The volume's root by its one-byte name, inside the parent of the root.
OSErr rootByName(const Volume &volume, const UInt8 *name, size_t length, uint32_t &index) {
  HFSUniStr255 rootName, given;
  names::fromDisk(NodeTable::shared().node(volume.rootNode).name, rootName);
  if (!onebyte::toUnicode(name, length, given) || given.length != rootName.length ||
      std::memcmp(given.unicode, rootName.unicode, given.length * 2))
    return fnfErr;
  index = volume.rootNode;
  return noErr;
}

/// The item of folder `dir` that a mangled one-byte name names by node ID:
/// the one whose own mangled form it is, else the only item in `dir` with
/// that ID (the names of a hard-linked file share the ID).  False when the
/// name is not mangled or names no single item there.
bool findMangled(const Volume &volume, uint32_t dir, const UInt8 *name, size_t length,
                 uint32_t &index) {
  const UInt32 id = onebyte::parseMangledID(name, length);
  if (!id)
    return false;
  NodeTable &table = NodeTable::shared();
  findByNodeID(volume.refNum, id); // settles the file that holds the ID, if any
  uint32_t onlyOne = kNoNode;
  size_t inFolder = 0;
  for (uint32_t i : table.findAllByID(volume.refNum, id)) {
    if (table.node(i).parent != dir)
      continue;
    FSSpec spec;
    makeSpec(i, spec);
    if (spec.name[0] == length && !std::memcmp(spec.name + 1, name, length)) {
      index = i;
      return true;
    }
    onlyOne = i;
    ++inFolder;
  }
  if (inFolder != 1)
    return false;
  index = onlyOne;
  return true;
}

bool hasNonASCII(const char *text) {
  for (; *text; ++text)
    if (static_cast<unsigned char>(*text) >= 0x80)
      return true;
  return false;
}

} // namespace

OSErr resolveSpec(FSVolumeRefNum volumeRefNum, SInt32 dirID, ConstStringPtr name,
                  uint32_t &index) {
  const size_t length = name ? name[0] : 0;
  Volume *volume;
  uint32_t dir;
  if (OSErr err = folderOfSpec(volumeRefNum, dirID, length != 0, volume, dir))
    return err;
  if (length == 0) {
    index = dir;
    return noErr;
  }
  if (std::memchr(name + 1, ':', length))
    return bdNamErr; // partial paths are not taken
  if (dir == kNoNode)
    return rootByName(*volume, name + 1, length, index);
  // A mangled name names its object by ID; a plain one by name.
  if (findMangled(*volume, dir, name + 1, length, index))
    return noErr;
  HFSUniStr255 unicode;
  if (!onebyte::toUnicode(name + 1, length, unicode))
    return bdNamErr;
  return lookupChild(dir, unicode.unicode, unicode.length, index);
}

OSErr resolvePath(const char *path, std::string &full, struct statx &stx) {
  // realpath and one statx for every path that fits in PATH_MAX.
  if (sys::realPath(path, full) == 0)
    return sys::statxAt(AT_FDCWD, full.c_str(), kIdentityMask, &stx) < 0 ? sys::lastStatus()
                                                                         : OSErr(noErr);
  // A component missing as written may be on disk in its other normalization
  // form, which the component walk tries; only a name outside ASCII has one.
  if (errno != ENAMETOOLONG && (errno != ENOENT || !hasNonASCII(path)))
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
  return finish(*pb, makeFSRefUnicode(pb->ref, pb->nameLength, pb->name, pb->textEncodingHint,
                                      pb->newRef));
}

OSErr PosixFileManager::makeFSRefPB(FSRefParam *pb) {
  if (!pb)
    return paramErr;
  if (!pb->newRef)
    return finish(*pb, paramErr);
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = resolveSpec(pb->ioVRefNum, pb->ioDirID, pb->ioNamePtr, index))
    return finish(*pb, err);
  Location where;
  if (OSErr err = table.locate(index, where))
    return finish(*pb, err);
  table.encode(index, pb->newRef);
  return finish(*pb, noErr);
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
