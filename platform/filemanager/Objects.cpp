// Creating, deleting, renaming, moving and exchanging objects.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace quillmate::fm {

using namespace detail;

namespace detail {

OSErr folderForChange(uint32_t index, int &fd) {
  NodeTable &table = NodeTable::shared();
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx))
    return err;
  if (!S_ISDIR(stx.stx_mode))
    return dirNFErr;
  return table.openFolder(index, fd);
}

OSErr checkFree(int fd, const std::string &composed, const std::string &given) {
  struct statx stx;
  for (const std::string *name : {&composed, &given}) {
    if (sys::statxAt(fd, name->c_str(), STATX_TYPE, &stx) == 0)
      return dupFNErr;
    if (errno != ENOENT)
      return sys::lastStatus();
  }
  return noErr;
}

OSErr objectForChange(const FSRef *ref, uint32_t &index, Location &where, struct statx &stx,
                      unsigned mask) {
  NodeTable &table = NodeTable::shared();
  if (OSErr err = table.decode(ref, index))
    return err;
  if (OSErr err = table.locate(index, where, &stx, mask))
    return err;
  return lockedForChange(where, stx);
}

OSErr lockedForChange(const Location &where, const struct statx &stx) {
  bool locked;
  if (OSErr err = isLocked(where, stx, locked))
    return err;
  return locked ? OSErr(fLckdErr) : OSErr(noErr);
}

OSErr confirmRenamed(uint32_t index, const Location &from, uint32_t dest, int destFd,
                     const std::string &name) {
  NodeTable &table = NodeTable::shared();
  struct statx stx;
  OSErr err = fnfErr;
  if (sys::statxAt(destFd, name.c_str(), kIdentityMask, &stx) < 0) {
    if (errno != ENOENT)
      err = sys::lastStatus(); // unknown: put back what the rename moved
  } else if (table.isObject(index, destFd, name.c_str(), stx)) {
    table.moved(index, dest, name);
    return noErr;
  }
  sys::renameAt2(destFd, name.c_str(), from.dirfd, from.name, RENAME_NOREPLACE);
  return err;
}

} // namespace detail

namespace {

OSErr createObject(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                   FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *info, bool directory,
                   FSRef *newRef, FSSpec *newSpec, UInt32 *newDirID) {
  if (!name && nameLength)
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t parent;
  if (OSErr err = table.decode(parentRef, parent))
    return err;
  std::string given, composed;
  if (OSErr err = names::toDisk(name, nameLength, given))
    return err;
  if (OSErr err = names::toDiskNFC(name, nameLength, composed))
    return err;
  int fd;
  if (OSErr err = folderForChange(parent, fd))
    return err;
  if (OSErr err = checkFree(fd, composed, given))
    return err;
  if (directory) {
    if (sys::mkdirAt(fd, composed.c_str(), 0777) < 0)
      return sys::lastStatus();
  } else {
    int created = sys::openAt(fd, composed.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
    if (created < 0)
      return sys::lastStatus();
    sys::close(created);
  }
  // From here on a failure removes the new object again: no half-made files.
  auto undo = [&](OSErr err) {
    sys::unlinkAt(fd, composed.c_str(), directory ? AT_REMOVEDIR : 0);
    return err;
  };
  struct statx stx;
  if (sys::statxAt(fd, composed.c_str(), kIdentityMask | STATX_UID | STATX_GID, &stx) < 0)
    return undo(sys::lastStatus());
  uint32_t index;
  if (OSErr err = table.intern(parent, composed, stx, index, fd))
    return undo(err);
  table.settle(index, 0); // a new file records no ID of a place
  if (info && (whichInfo & kFSCatInfoSettableInfo)) {
    Location where{fd, table.node(index).name.c_str()};
    if (OSErr err = applyCatalogInfo(index, where, stx, whichInfo, *info)) {
      // A lock set before the failure would refuse the unlink of a file
      // only through this layer; the kernel removes it regardless.
      table.retire(index);
      return undo(err);
    }
  }
  table.touched(parent);
  if (newRef)
    table.encode(index, newRef);
  if (newSpec)
    makeSpec(index, *newSpec);
  if (newDirID)
    *newDirID = table.node(index).nodeID;
  return noErr;
}

} // namespace

OSErr PosixFileManager::createFileUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                          const UniChar *name, FSCatalogInfoBitmap whichInfo,
                                          const FSCatalogInfo *info, FSRef *newRef,
                                          FSSpec *newSpec) {
  return createObject(parentRef, nameLength, name, whichInfo, info, false, newRef, newSpec,
                      nullptr);
}

OSErr PosixFileManager::createDirectoryUnicode(const FSRef *parentRef, UniCharCount nameLength,
                                               const UniChar *name,
                                               FSCatalogInfoBitmap whichInfo,
                                               const FSCatalogInfo *info, FSRef *newRef,
                                               FSSpec *newSpec, UInt32 *newDirID) {
  return createObject(parentRef, nameLength, name, whichInfo, info, true, newRef, newSpec,
                      newDirID);
}

OSErr PosixFileManager::deleteObject(const FSRef *ref) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  // A file a deleting iterator delivered in the previous call is identified
  // already, unlocked, by its name in the iterator's folder, and unlinked at
  // once: an object put in its place outside the layer since that statx is
  // removed instead, unseen (the one window left; a tree deletion makes no
  // further system call per file).  Anything else is opened and checked on
  // the descriptor, which keeps hold of the object while its name is
  // unlinked; its link count then tells whether the unlink removed it.
  Location where;
  sys::Fd held;
  struct statx stx;
  if (!table.deliveredJustNow(index, where)) {
    int fd;
    if (OSErr err = table.openObject(index, where, fd, stx))
      return err;
    held.reset(fd);
    if (OSErr err = lockedForChange(Location{fd, ""}, stx))
      return err;
  }
  if (table.node(index).parent == kNoNode)
    return fBsyErr; // a volume's root folder
  bool open = false;
  ForkTable::shared().each([&](FSIORefNum, const ForkEntry &f) { open |= f.node == index; });
  if (open)
    return fBsyErr; // a file with open forks stays
  const bool isDir = held.valid() && S_ISDIR(stx.stx_mode);
  if (sys::unlinkAt(where.dirfd, where.name, isDir ? AT_REMOVEDIR : 0) < 0) {
    if (errno == EISDIR)
      return fnfErr; // the delivered file was replaced by a folder since
    return errno == EEXIST ? OSErr(fBsyErr) : sys::lastStatus();
  }
  if (held.valid()) {
    // A folder removed has no links left, a file one less.  Another object
    // that took the name after the check was removed in its place: that
    // cannot be undone, and it is no success.
    struct statx after;
    if (sys::statxAt(held.get(), "", STATX_NLINK, &after) < 0)
      return sys::lastStatus();
    if (isDir ? after.stx_nlink != 0 : after.stx_nlink >= stx.stx_nlink)
      return fnfErr;
  }
  table.retire(index);
  return noErr;
}

OSErr PosixFileManager::renameUnicode(const FSRef *ref, UniCharCount nameLength,
                                      const UniChar *name, TextEncoding, FSRef *newRef) {
  if (!name && nameLength)
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  Location where;
  struct statx stx;
  if (OSErr err = objectForChange(ref, index, where, stx))
    return err;
  std::string given, composed;
  if (OSErr err = names::toDisk(name, nameLength, given))
    return err;
  if (OSErr err = names::toDiskNFC(name, nameLength, composed))
    return err;
  Node &node = table.node(index);
  if (node.parent == kNoNode)
    return paramErr; // volume names are not changed here
  if (composed != node.name) {
    if (given != node.name)
      if (OSErr err = checkFree(where.dirfd, composed, given))
        return err;
    if (sys::renameAt2(where.dirfd, where.name, where.dirfd, composed.c_str(), RENAME_NOREPLACE) < 0)
      return sys::lastStatus();
    if (OSErr err = confirmRenamed(index, where, node.parent, where.dirfd, composed))
      return err;
    table.touched(node.parent);
  }
  if (newRef)
    table.encode(index, newRef);
  return noErr;
}

OSErr PosixFileManager::moveObject(const FSRef *ref, const FSRef *destDirectory, FSRef *newRef) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index, dest;
  Location where;
  struct statx stx;
  if (OSErr err = objectForChange(ref, index, where, stx))
    return err;
  if (OSErr err = table.decode(destDirectory, dest))
    return err;
  int destFd;
  if (OSErr err = folderForChange(dest, destFd))
    return err;
  Node &node = table.node(index);
  if (node.parent == kNoNode)
    return badMovErr;
  if (table.node(dest).volume != node.volume)
    return diffVolErr;
  for (uint32_t up = dest; up != kNoNode; up = table.node(up).parent)
    if (up == index)
      return badMovErr; // into its own subtree
  if (dest != node.parent) {
    // The layer's table may lag behind a change made outside it; the kernel
    // refuses a move into the own subtree with EINVAL.
    if (sys::renameAt2(where.dirfd, where.name, destFd, where.name, RENAME_NOREPLACE) < 0)
      return errno == EINVAL ? OSErr(badMovErr) : sys::lastStatus();
    const uint32_t parent = node.parent;
    if (OSErr err = confirmRenamed(index, where, dest, destFd, std::string(node.name)))
      return err;
    table.touched(parent);
    table.touched(dest);
  }
  if (newRef)
    table.encode(index, newRef);
  return noErr;
}

namespace {

/// What stays with a name when two files exchange their contents.
struct PlaceAttributes {
  Metadata meta; // with the node ID of the place, for the inode standing there
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec atime = {};
};

OSErr capture(const Location &where, const struct statx &stx, PlaceAttributes &out) {
  if (OSErr err = Metadata::read(where.dirfd, where.name, out.meta))
    return err;
  if (!(out.meta.flags & Metadata::kHasCreateDate) && (stx.stx_mask & STATX_BTIME)) {
    // The birth time travels with the inode; the place keeps its date.
    out.meta.createDate = toUTC(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
    out.meta.flags |= Metadata::kHasCreateDate;
  }
  out.mode = stx.stx_mode & 07777;
  out.uid = stx.stx_uid;
  out.gid = stx.stx_gid;
  out.atime.tv_sec = stx.stx_atime.tv_sec;
  out.atime.tv_nsec = stx.stx_atime.tv_nsec;
  return noErr;
}

/// The attributes of a place for the inode `incoming` that takes it: its
/// node ID is recorded for that inode when it is one every process sees
/// (the old inode's number or its recorded ID); an ID of this process's own
/// is not written down.
PlaceAttributes forIncoming(PlaceAttributes place, UInt32 placeID, const struct statx &current,
                            const struct statx &incoming) {
  const bool persistent =
      placeID == current.stx_ino ||
      place.meta.recordedNodeID(current.stx_ino, birthOf(current)) == placeID;
  if (persistent)
    place.meta.recordNodeID(placeID, incoming.stx_ino, birthOf(incoming));
  else
    place.meta.forgetNodeID();
  return place;
}

OSErr apply(const Location &where, const PlaceAttributes &a) {
  if (sys::chownAt(where.dirfd, where.name, a.uid, a.gid) < 0)
    return sys::lastStatus();
  if (sys::chmodAt(where.dirfd, where.name, a.mode | S_IWUSR) < 0)
    return sys::lastStatus();
  if (OSErr err = a.meta.write(where.dirfd, where.name)) {
    // A file system without user attributes cannot keep the record: when
    // the node ID is all it would hold, the ID stays with the place in this
    // process only.
    Metadata rest = a.meta;
    rest.forgetNodeID();
    if (err != errFSOperationNotSupported || !rest.isDefault())
      return err;
  }
  if (sys::chmodAt(where.dirfd, where.name, a.mode) < 0)
    return sys::lastStatus();
  struct timespec times[2] = {a.atime, {0, UTIME_OMIT}};
  if (sys::utimensAt(where.dirfd, where.name, times) < 0)
    return sys::lastStatus();
  return noErr;
}

} // namespace

OSErr PosixFileManager::exchangeObjects(const FSRef *ref, const FSRef *destRef) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t a, b;
  Location wa, wb;
  struct statx sa, sb;
  const unsigned mask = STATX_UID | STATX_GID | STATX_ATIME;
  if (OSErr err = table.decode(ref, a))
    return err;
  if (OSErr err = table.decode(destRef, b))
    return err;
  if (OSErr err = table.locate(a, wa, &sa, mask))
    return err;
  if (OSErr err = table.locate(b, wb, &sb, mask))
    return err;
  if (!S_ISREG(sa.stx_mode) || !S_ISREG(sb.stx_mode))
    return notAFileErr;
  if (table.node(a).volume != table.node(b).volume)
    return diffVolErr;
  if (a == b)
    return noErr;
  bool locked;
  for (auto [w, s] : {std::pair{&wa, &sa}, std::pair{&wb, &sb}}) {
    if (OSErr err = isLocked(*w, *s, locked))
      return err;
    if (locked)
      return fLckdErr;
  }
  // Node IDs and file IDs stay with the places, in every process: each
  // place's ID goes into the metadata of the inode that comes to it.
  const UInt32 idA = nodeIDOf(a, wa), idB = nodeIDOf(b, wb);
  const bool fileIDA = hasFileID(a, wa), fileIDB = hasFileID(b, wb);
  PlaceAttributes pa, pb;
  if (OSErr err = capture(wa, sa, pa))
    return err;
  if (OSErr err = capture(wb, sb, pb))
    return err;
  const FSVolumeRefNum volume = table.node(a).volume;
  if (sys::renameAt2(wa.dirfd, wa.name, wb.dirfd, wb.name, RENAME_EXCHANGE) < 0) {
    // Two files of one volume: EINVAL says the file system has no exchange.
    if (errno != EINVAL && errno != EOPNOTSUPP)
      return sys::lastStatus();
    learnRenameFlag(volume, RENAME_EXCHANGE, false);
    return errFSOperationNotSupported;
  }
  learnRenameFlag(volume, RENAME_EXCHANGE, true);
  // Each place takes back what stays with it; on a failure both inodes go
  // back and get their own attributes again.
  OSErr err = apply(wa, forIncoming(pa, idA, sa, sb));
  if (!err)
    err = apply(wb, forIncoming(pb, idB, sb, sa));
  if (err) {
    sys::renameAt2(wa.dirfd, wa.name, wb.dirfd, wb.name, RENAME_EXCHANGE);
    apply(wa, pa);
    apply(wb, pb);
    return err;
  }
  table.swapIdentity(a, b);
  setFileIDMark(a, wa, fileIDA);
  setFileIDMark(b, wb, fileIDB);
  return noErr;
}

} // namespace quillmate::fm
