// Creating, deleting, renaming, moving and exchanging objects.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ExchangeRecord.h"
#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/RenameRecord.h"
#include "platform/filemanager/Sidecar.h"
#include "platform/filemanager/Syscalls.h"
#include "platform/text/NameConversion.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
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

OSErr checkFree(int fd, const std::string &name, const std::string &given,
                const std::string *own) {
  std::string other;
  text::diskNameNormalization(name, &other);
  const std::string *candidates[] = {&name, &other, &given};
  for (size_t i = 0; i < std::size(candidates); ++i) {
    const std::string &candidate = *candidates[i];
    // Each distinct name once; `given` is mostly `name` or `other`.
    if (candidate.empty() || (own && candidate == *own) ||
        std::any_of(candidates, candidates + i,
                    [&](const std::string *seen) { return *seen == candidate; }))
      continue;
    struct statx stx;
    if (sys::statxAt(fd, candidate.c_str(), STATX_TYPE, &stx) == 0)
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

int renameWithoutReplacing(int fromDir, const char *from, int toDir, const char *to,
                           FSVolumeRefNum volume, uint32_t index) {
  if (sys::renameAt2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) {
    learnRenameFlag(volume, RENAME_NOREPLACE, true);
    return 0;
  }
  // EINVAL is also the kernel's answer to a folder moved into itself, which
  // the plain rename below gives again.
  const int failure = errno;
  struct statx object, there;
  if (failure != EINVAL || sys::statxAt(fromDir, from, STATX_TYPE, &object) != 0) {
    errno = failure;
    return -1;
  }
  if (S_ISDIR(object.stx_mode)) {
    if (sys::statxAt(toDir, to, STATX_TYPE, &there) == 0) {
      errno = EEXIST;
      return -1;
    }
    if (sys::renameAt2(fromDir, from, toDir, to, 0) != 0)
      return -1;
  } else if (sys::linkAt(fromDir, from, toDir, to) != 0) {
    return -1;
  } else if (sys::unlinkAt(fromDir, from, 0) != 0) {
    const int error = errno;
    sys::unlinkAt(toDir, to, 0);
    errno = error;
    return -1;
  } else if (index != kNoNode) {
    NodeTable::shared().node(index).handle = 0;
  }
  learnRenameFlag(volume, RENAME_NOREPLACE, false);
  return 0;
}

OSErr refuseReserved(const std::string &composed, const std::string &given) {
  return sidecar::isReserved(composed) || sidecar::isReserved(given) ? OSErr(bdNamErr)
                                                                     : OSErr(noErr);
}

namespace {

/// A name for a file put aside in a folder for the length of one call.
std::string asideName() {
  std::random_device random;
  char name[40];
  std::snprintf(name, sizeof name, ".quillmate-aside-%08x", random());
  return name;
}

bool sameInode(int dirfd, const std::string &name, uint64_t ino) {
  struct statx stx;
  return sys::statxAt(dirfd, name.c_str(), STATX_INO, &stx) == 0 && stx.stx_ino == ino;
}

} // namespace

OSErr SidecarCarrier::prepare(int fromDir, const char *fromName, int toDir, const char *toName,
                              FSVolumeRefNum volume) {
  if (!sidecar::nameOf(fromName, from_))
    return noErr; // the object cannot have one
  fd_.reset(sys::openAt(fromDir, from_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd_.valid() && errno == EACCES) // a file the caller may not read: carried unlocked
    fd_.reset(sys::openAt(fromDir, from_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd_.valid()) {
    // None, or something that is no `._` file (a link, a folder, a FIFO).
    if (errno == ENOENT || errno == ELOOP || errno == EISDIR || errno == ENXIO || errno == ENOTDIR)
      return noErr;
    return sys::lastStatus();
  }
  struct statx stx;
  if (sys::statxAt(fd_.get(), "", STATX_TYPE | STATX_INO, &stx) != 0)
    return sys::lastStatus();
  if (!S_ISREG(stx.stx_mode)) {
    fd_.reset();
    return noErr;
  }
  if (!sidecar::nameOf(toName, to_))
    return errFSNameTooLong; // the object would lose it
  if (sys::lockWhole(fd_.get(), 1000 * 1000) != 0 && errno != EBADF)
    return errno == EWOULDBLOCK ? OSErr(fBsyErr) : sys::lastStatus();
  ino_ = stx.stx_ino;
  volume_ = volume;
  fromDir_ = fromDir;
  toDir_ = toDir;
  for (int attempt = 0;; ++attempt) {
    if (sys::linkUnnamed(fd_.get(), toDir, to_.c_str()) == 0) {
      way_ = Way::Linked;
      return noErr;
    }
    if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK || errno == ENOSYS) {
      way_ = Way::RenameAfter;
      return noErr;
    }
    if (errno != EEXIST || attempt > 0 || !displaced_.empty())
      return errno == EEXIST ? OSErr(dupFNErr) : sys::lastStatus();
    // The new name is taken (the object's rename would fail too), or a
    // `._` file beside no object has it: aside until the object has its
    // name, so that nothing is lost if the rename fails.
    struct statx there;
    if (sys::statxAt(toDir, toName, STATX_TYPE, &there) == 0 ||
        sys::statxAt(toDir, to_.c_str(), STATX_TYPE, &there) != 0 || !S_ISREG(there.stx_mode))
      return dupFNErr;
    const std::string aside = asideName();
    if (renameWithoutReplacing(toDir, to_.c_str(), toDir, aside.c_str(), volume, kNoNode) != 0)
      return sys::lastStatus();
    displaced_ = aside;
  }
}

void SidecarCarrier::finish() {
  if (way_ == Way::Linked) {
    // Should its new name have gone meanwhile, the old one takes its place.
    if (sameInode(toDir_, to_, ino_)) {
      if (sameInode(fromDir_, from_, ino_))
        sys::unlinkAt(fromDir_, from_.c_str(), 0);
    } else {
      renameWithoutReplacing(fromDir_, from_.c_str(), toDir_, to_.c_str(), volume_, kNoNode);
    }
  } else if (way_ == Way::RenameAfter) {
    sys::renameAt2(fromDir_, from_.c_str(), toDir_, to_.c_str(), 0);
  }
  if (!displaced_.empty())
    sys::unlinkAt(toDir_, displaced_.c_str(), 0);
  displaced_.clear();
  way_ = Way::None;
  fd_.reset(); // and its lock
}

void SidecarCarrier::abandon() {
  if (way_ == Way::Linked && sameInode(toDir_, to_, ino_))
    sys::unlinkAt(toDir_, to_.c_str(), 0);
  if (!displaced_.empty())
    renameWithoutReplacing(toDir_, displaced_.c_str(), toDir_, to_.c_str(), volume_, kNoNode);
  displaced_.clear();
  way_ = Way::None;
  fd_.reset();
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
  renameWithoutReplacing(destFd, name.c_str(), from.dirfd, from.name, table.node(index).volume,
                         kNoNode);
  return err;
}

} // namespace detail

namespace {

/// Makes the folder `name` in `dir` and opens it into `held`, never through
/// the name: an object put at the name meanwhile is not taken for it.  The
/// folder is made under a hidden temporary name, opened, and renamed into
/// place without replacing (dupFNErr when the name was taken meanwhile); on
/// any failure it is removed.  Only a kill can leave the hidden folder.
OSErr makeFolderHeld(int dir, const std::string &name, sys::Fd &held) {
  std::random_device random;
  char temporary[40];
  for (int attempt = 0;; ++attempt) {
    std::snprintf(temporary, sizeof temporary, ".quillmate-folder-%08x", random());
    if (sys::mkdirAt(dir, temporary, 0777) == 0)
      break;
    if (errno != EEXIST || attempt == 100)
      return sys::lastStatus();
  }
  held.reset(sys::openAt(dir, temporary, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (held.valid() &&
      sys::renameAt2(dir, temporary, dir, name.c_str(), RENAME_NOREPLACE) == 0)
    return noErr;
  const int failure = errno;
  const bool noReplaceMissing = held.valid() && failure == EINVAL;
  held.reset();
  sys::unlinkAt(dir, temporary, AT_REMOVEDIR);
  if (noReplaceMissing) {
    // A file system without the flag: made and opened by name.
    if (sys::mkdirAt(dir, name.c_str(), 0777) < 0)
      return sys::lastStatus();
    held.reset(sys::openAt(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (held.valid())
      return noErr;
    const OSErr err = sys::lastStatus();
    sys::unlinkAt(dir, name.c_str(), AT_REMOVEDIR);
    return err;
  }
  errno = failure;
  return failure == EEXIST ? OSErr(dupFNErr) : sys::lastStatus();
}

/// An object being created in folder `dir`.  It is held by a descriptor from
/// its creation on, and identified, given its catalog information and, on
/// failure, checked before its name is unlinked through that descriptor:
/// another process may put another object at the name at any moment, and
/// that one must not be handed back, changed or removed.
struct NewObject {
  int dir;
  const std::string &name;
  bool directory;
  sys::Fd held;
  struct statx stx{};
  bool identified = false;

  NewObject(int dir, const std::string &name, bool directory)
      : dir(dir), name(name), directory(directory) {}

  /// Makes the object and identifies it by its descriptor.  mkdir gives no
  /// descriptor, so a folder is made under a hidden name of its own, opened,
  /// and then named (makeFolderHeld).
  OSErr make() {
    if (directory) {
      if (OSErr err = makeFolderHeld(dir, name, held))
        return err;
    } else {
      held.reset(sys::openAt(dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW, 0666));
      if (!held.valid())
        return sys::lastStatus();
    }
    identified = held.valid() &&
                 sys::statxAt(held.get(), "", kIdentityMask | STATX_UID | STATX_GID, &stx) == 0;
    return identified ? OSErr(noErr) : undo(sys::lastStatus());
  }

  /// Enters the object made into the table as `index`, a child of `parent`,
  /// and gives it the catalog information of `which`.
  OSErr enter(uint32_t parent, FSCatalogInfoBitmap which, const FSCatalogInfo *info,
              uint32_t &index) {
    NodeTable &table = NodeTable::shared();
    if (OSErr err = table.intern(parent, name, stx, index, held.get(), ""))
      return undo(err);
    table.settle(index, 0); // a new file records no ID of a place
    if (info && (which & kFSCatInfoSettableInfo)) {
      if (OSErr err = applyCatalogInfo(Location{held.get(), ""}, stx, which, *info)) {
        // A lock set before the failure would refuse the unlink of a file
        // only through this layer; the kernel removes it regardless.
        table.retire(index);
        return undo(err);
      }
    }
    return noErr;
  }

  /// Removes the object again after a failure `err`, and answers it: no
  /// half-made files.  The name is unlinked only while it still names the
  /// object made (a folder that could not be identified is removed by name,
  /// only if empty).
  OSErr undo(OSErr err) {
    struct statx there;
    if (!identified ||
        (sys::statxAt(dir, name.c_str(), kIdentityMask, &there) == 0 &&
         there.stx_ino == stx.stx_ino && there.stx_dev_major == stx.stx_dev_major &&
         there.stx_dev_minor == stx.stx_dev_minor))
      sys::unlinkAt(dir, name.c_str(), directory ? AT_REMOVEDIR : 0);
    return err;
  }
};

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
  if (OSErr err = refuseReserved(composed, given))
    return err;
  int fd;
  if (OSErr err = folderForChange(parent, fd))
    return err;
  if (OSErr err = checkFree(fd, composed, given))
    return err;
  NewObject made(fd, composed, directory);
  if (OSErr err = made.make())
    return err;
  uint32_t index;
  if (OSErr err = made.enter(parent, whichInfo, info, index))
    return err;
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
  bool sidecarListed = false;
  const bool delivered = table.deliveredJustNow(index, where, sidecarListed);
  if (!delivered) {
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
  // Its `._` file goes after it (a kill between leaves one beside no object,
  // whose owner record names a gone inode: never attached to a new object of
  // the name).  The tree deletion's file has one only when its listing
  // showed it, and costs nothing more without.
  std::string sidecarName;
  if ((!delivered || sidecarListed) && sidecar::nameOf(where.name, sidecarName)) {
    struct statx there;
    if (delivered ||
        (sys::statxAt(where.dirfd, sidecarName.c_str(), STATX_TYPE, &there) == 0 &&
         S_ISREG(there.stx_mode)))
      sys::unlinkAt(where.dirfd, sidecarName.c_str(), 0);
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
  if (OSErr err = refuseReserved(composed, given))
    return err;
  Node &node = table.node(index);
  if (node.parent == kNoNode)
    return paramErr; // volume names are not changed here
  if (composed != node.name) {
    if (OSErr err = checkFree(where.dirfd, composed, given, &node.name))
      return err;
    SidecarCarrier carried;
    if (OSErr err =
            carried.prepare(where.dirfd, where.name, where.dirfd, composed.c_str(), node.volume))
      return err;
    // A temporary name: the object carries its name and folder until a
    // rename to a lasting name completes the record, so that a kill in
    // between is settled (RenameRecord.h).  A record this thread opened
    // already keeps the first name.
    OpenRenames &renames = table.openRenames();
    const bool temporary = looksTemporary(composed);
    if (temporary && (renames.isOpen(index) || recordRename(table, index, where, stx)))
      renames.opened(index);
    if (renameWithoutReplacing(where.dirfd, where.name, where.dirfd, composed.c_str(),
                               node.volume, index) < 0)
      return sys::lastStatus();
    if (OSErr err = confirmRenamed(index, where, node.parent, where.dirfd, composed))
      return err;
    carried.finish();
    table.touched(node.parent);
    if (!temporary) {
      Location renamed{where.dirfd, node.name.c_str()};
      renames.complete(index, renamed);
    }
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
    if (OSErr err = refuseReserved(node.name, node.name))
      return err;
    if (OSErr err = checkFree(destFd, node.name, node.name))
      return err;
    SidecarCarrier carried;
    if (OSErr err = carried.prepare(where.dirfd, where.name, destFd, where.name, node.volume))
      return err;
    // The layer's table may lag behind a change made outside it; the kernel
    // refuses a move into the own subtree with EINVAL.
    if (renameWithoutReplacing(where.dirfd, where.name, destFd, where.name, node.volume, index) <
        0)
      return errno == EINVAL ? OSErr(badMovErr) : sys::lastStatus();
    const uint32_t parent = node.parent;
    if (OSErr err = confirmRenamed(index, where, dest, destFd, std::string(node.name)))
      return err;
    carried.finish();
    table.touched(parent);
    table.touched(dest);
  }
  if (newRef)
    table.encode(index, newRef);
  return noErr;
}

namespace {

/// The attributes of the place `where`, as its inode `stx` carries them
/// now (taken again when reading the record settled an exchange there).
OSErr capture(const Location &where, struct statx &stx, PlaceAttributes &out) {
  if (OSErr err = Metadata::read(where.dirfd, where.name, out.meta))
    return err;
  struct statx again;
  stx = afterReading(out.meta, where, stx, again);
  out.mode = stx.stx_mode & 07777;
  out.uid = stx.stx_uid;
  out.gid = stx.stx_gid;
  out.atime.tv_sec = stx.stx_atime.tv_sec;
  out.atime.tv_nsec = stx.stx_atime.tv_nsec;
  return noErr;
}

/// Whether `placeID`, the node ID of the place where inode `current`
/// stands, is the same in every process: the inode's number, or the ID its
/// record holds for it (not one this process handed out).
bool sharedID(const PlaceAttributes &place, UInt32 placeID, const struct statx &current) {
  return placeID == current.stx_ino ||
         place.meta.recordedNodeID(current.stx_ino, birthOf(current)) == placeID;
}

/// The attributes of a place for the inode `incoming` that takes it: its
/// node ID is recorded for that inode when every process sees it; an ID of
/// this process's own is not written down.  The birth time of the inode
/// leaving becomes the place's creation date.
PlaceAttributes forIncoming(PlaceAttributes place, UInt32 placeID, const struct statx &current,
                            const struct statx &incoming) {
  if (sharedID(place, placeID, current))
    place.meta.recordNodeID(placeID, incoming.stx_ino, birthOf(incoming));
  else
    place.meta.forgetNodeID();
  if (!(place.meta.flags & Metadata::kHasCreateDate) && (current.stx_mask & STATX_BTIME)) {
    place.meta.createDate = toUTC(current.stx_btime.tv_sec, current.stx_btime.tv_nsec);
    place.meta.flags |= Metadata::kHasCreateDate;
  }
  return place;
}

/// One of the two files of an exchange, and the place it stands at.
struct ExchangeSide {
  uint32_t index = kNoNode;
  Location where;
  struct statx stx;
  PlaceAttributes place;    // what the place keeps through the exchange
  UInt32 id = 0;            // the place's node ID
  bool hasFileID = false;   // the place was given a file ID
  bool markWritten = false; // its file-ID mark went onto the inode that came to it
};

/// The files of `ref` and `destRef`, located: regular files (else
/// notAFileErr) on one volume (else diffVolErr).
OSErr locateFiles(const FSRef *ref, const FSRef *destRef, ExchangeSide &a, ExchangeSide &b) {
  NodeTable &table = NodeTable::shared();
  const unsigned mask = STATX_UID | STATX_GID | STATX_ATIME;
  if (OSErr err = table.decode(ref, a.index))
    return err;
  if (OSErr err = table.decode(destRef, b.index))
    return err;
  if (OSErr err = table.locate(a.index, a.where, &a.stx, mask))
    return err;
  if (OSErr err = table.locate(b.index, b.where, &b.stx, mask))
    return err;
  if (!S_ISREG(a.stx.stx_mode) || !S_ISREG(b.stx.stx_mode))
    return notAFileErr;
  if (table.node(a.index).volume != table.node(b.index).volume)
    return diffVolErr;
  return noErr;
}

/// fLckdErr when either file is locked.
OSErr refuseLocked(const ExchangeSide &a, const ExchangeSide &b) {
  for (const ExchangeSide *side : {&a, &b})
    if (OSErr err = lockedForChange(side->where, side->stx))
      return err;
  return noErr;
}

/// What each place keeps: its attributes, and its node ID and file ID,
/// which stay with the place in every process (each place's ID goes into
/// the metadata of the inode that comes to it, and its file-ID mark onto
/// that inode).
OSErr capturePlaces(ExchangeSide &a, ExchangeSide &b) {
  if (OSErr err = capture(a.where, a.stx, a.place))
    return err;
  if (OSErr err = capture(b.where, b.stx, b.place))
    return err;
  a.id = nodeIDOf(a.index, a.where);
  b.id = nodeIDOf(b.index, b.where);
  a.hasFileID = hasFileID(a.index, a.where);
  b.hasFileID = hasFileID(b.index, b.where);
  for (ExchangeSide *side : {&a, &b})
    side->place.fileIDMark =
        side->hasFileID && sharedID(side->place, side->id, side->stx) ? side->id : 0;
  return noErr;
}

/// The record the inode of `self` carries while the exchange is under way:
/// what it keeps if the swap does not happen and what it takes on if it
/// does, and where each place is, so that whoever reads it next after a
/// kill can finish or undo the exchange (ExchangeRecord::settle).
ExchangeRecord recordFor(const ExchangeSide &self, const ExchangeSide &other) {
  NodeTable &table = NodeTable::shared();
  auto folderOf = [&](const ExchangeSide &side) {
    return table.node(table.node(side.index).parent).ino;
  };
  return ExchangeRecord{self.stx.stx_ino,
                        birthOf(self.stx),
                        folderOf(self),
                        ExchangeRecord::nameDigest(self.where.name),
                        folderOf(other),
                        ExchangeRecord::nameDigest(other.where.name),
                        self.place,
                        forIncoming(other.place, other.id, other.stx, self.stx)};
}

/// Both inodes carry their records before the swap; when the second cannot
/// be written the first gets its own record back.  `recorded`: both were
/// written (the file system keeps them).
OSErr recordOnBoth(const ExchangeSide &a, const ExchangeSide &b, const ExchangeRecord &onA,
                   const ExchangeRecord &onB, bool &recorded) {
  bool onBoth[2] = {};
  if (OSErr err = onA.write(a.where, &onBoth[0]))
    return err;
  if (OSErr err = onB.write(b.where, &onBoth[1])) {
    a.place.meta.write(a.where.dirfd, a.where.name);
    return err;
  }
  recorded = onBoth[0] && onBoth[1];
  return noErr;
}

/// The `._` files of an exchange's two places, carried with their inodes
/// (Sidecar.h, "Exchanges"): each is held and locked from before the records
/// are written to the end, staged beside the other place before the swap
/// where the records are kept, and given the place's `._` name after it.
class ExchangedSidecars {
public:
  /// Opens and locks the `._` file of each side that is its object's (one
  /// stranded beside it stays where it is), and records its owner where it
  /// has none yet (and the caller may), so that a settling reader can tell
  /// whose it is.
  /// errFSNameTooLong when one goes to a place whose name cannot have one.
  OSErr take(const ExchangeSide &a, const ExchangeSide &b) {
    const ExchangeSide *sides[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      Side &s = side_[i];
      const ExchangeSide &self = *sides[i], &other = *sides[1 - i];
      if (!sidecar::nameOf(self.where.name, s.own))
        continue;
      s.fd.reset(sys::openAt(self.where.dirfd, s.own.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      struct statx stx;
      if (!s.fd.valid() || sys::statxAt(s.fd.get(), "", STATX_TYPE | STATX_INO, &stx) != 0 ||
          !S_ISREG(stx.stx_mode)) {
        s.fd.reset();
        continue;
      }
      sidecar::Owner owner;
      const bool recorded = sidecar::readOwner(s.fd.get(), owner) && owner.selfIno == stx.stx_ino;
      if (recorded && (owner.objectIno != self.stx.stx_ino ||
                       (owner.objectBirth && birthOf(self.stx) &&
                        owner.objectBirth != birthOf(self.stx)))) {
        s.fd.reset(); // stranded: not this object's
        continue;
      }
      std::string there;
      if (!sidecar::nameOf(other.where.name, there))
        return errFSNameTooLong;
      if (!recorded) // where the caller may not, a kill is not settled
        sidecar::writeOwner(s.fd.get(), stx.stx_ino, self.stx);
      if (sys::lockWhole(s.fd.get(), 1000 * 1000) != 0)
        return errno == EWOULDBLOCK ? OSErr(fBsyErr) : sys::lastStatus();
      s.staged = ExchangeRecord::stagingName(other.where.name);
    }
    return noErr;
  }

  /// Gives each file a second name beside the place it goes to, where the
  /// exchange is `recorded` (so that a kill is settled) and links work;
  /// otherwise place() renames them right after the swap.
  OSErr stage(const ExchangeSide &a, const ExchangeSide &b, bool recorded) {
    if (!recorded)
      return noErr;
    const ExchangeSide *sides[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      Side &s = side_[i];
      const int dir = sides[1 - i]->where.dirfd;
      if (!s.fd.valid())
        continue;
      int linked = sys::linkUnnamed(s.fd.get(), dir, s.staged.c_str());
      if (linked != 0 && errno == EEXIST) {
        sys::unlinkAt(dir, s.staged.c_str(), 0); // left by an exchange killed before its record
        linked = sys::linkUnnamed(s.fd.get(), dir, s.staged.c_str());
      }
      if (linked != 0) {
        const int failure = errno;
        unstage(a, b);
        if (failure == EPERM || failure == EMLINK || failure == EOPNOTSUPP)
          return noErr; // no links here: place() renames
        errno = failure;
        return sys::lastStatus();
      }
    }
    staged_ = true;
    return noErr;
  }

  /// The swap did not happen: the second names go.
  void unstage(const ExchangeSide &a, const ExchangeSide &b) {
    const ExchangeSide *sides[2] = {&a, &b};
    for (int i = 0; i < 2; ++i)
      if (side_[i].fd.valid() && sameInode(sides[1 - i]->where.dirfd, side_[i].staged, side_[i].fd))
        sys::unlinkAt(sides[1 - i]->where.dirfd, side_[i].staged.c_str(), 0);
    staged_ = false;
  }

  /// After the swap: each place's `._` name is the file of the inode that
  /// came to it, or none.
  void place(const ExchangeSide &a, const ExchangeSide &b) {
    const ExchangeSide *sides[2] = {&a, &b};
    if (!staged_) {
      swapDirectly(a, b, false);
      return;
    }
    for (int i = 0; i < 2; ++i) {
      const Location &at = sides[i]->where;
      const Side &leaving = side_[i], &coming = side_[1 - i];
      if (coming.fd.valid())
        sys::renameAt2(at.dirfd, coming.staged.c_str(), at.dirfd, sidecarName(at).c_str(), 0);
      else if (leaving.fd.valid())
        sys::unlinkAt(at.dirfd, leaving.own.c_str(), 0); // it has its name beside the other place
    }
    staged_ = false;
  }

  /// The swap was undone after place(): each file goes back to its place.
  void putBack(const ExchangeSide &a, const ExchangeSide &b) { swapDirectly(a, b, true); }

private:
  struct Side {
    sys::Fd fd;         // the `._` file carried, locked; closed when none
    std::string own;    // its name now
    std::string staged; // its second name beside the other place
  };

  static std::string sidecarName(const Location &at) {
    std::string name;
    sidecar::nameOf(at.name, name);
    return name;
  }
  static bool sameInode(int dir, const std::string &name, const sys::Fd &fd) {
    struct statx there, self;
    return sys::statxAt(dir, name.c_str(), STATX_INO, &there) == 0 &&
           sys::statxAt(fd.get(), "", STATX_INO, &self) == 0 && there.stx_ino == self.stx_ino;
  }
  /// The files change places with renames of their own, without a second
  /// name (a kill between the objects' swap and this leaves them behind);
  /// `back`: they go back from where place() put them.
  void swapDirectly(const ExchangeSide &a, const ExchangeSide &b, bool back) {
    const bool fromA = side_[back ? 1 : 0].fd.valid(), fromB = side_[back ? 0 : 1].fd.valid();
    const std::string atA = sidecarName(a.where), atB = sidecarName(b.where);
    if (fromA && fromB)
      sys::renameAt2(a.where.dirfd, atA.c_str(), b.where.dirfd, atB.c_str(), RENAME_EXCHANGE);
    else if (fromA)
      sys::renameAt2(a.where.dirfd, atA.c_str(), b.where.dirfd, atB.c_str(), 0);
    else if (fromB)
      sys::renameAt2(b.where.dirfd, atB.c_str(), a.where.dirfd, atA.c_str(), 0);
  }

  Side side_[2];
  bool staged_ = false;
};

/// The two inodes trade places.  When they cannot, each gets its own record
/// back; a file system without the exchange answers
/// errFSOperationNotSupported, and the volume's answer to
/// PBHGetVolParmsSync follows what was learnt either way.
OSErr swapInodes(const ExchangeSide &a, const ExchangeSide &b, FSVolumeRefNum volume) {
  if (sys::renameAt2(a.where.dirfd, a.where.name, b.where.dirfd, b.where.name,
                     RENAME_EXCHANGE) < 0) {
    const int error = errno;
    a.place.meta.write(a.where.dirfd, a.where.name);
    b.place.meta.write(b.where.dirfd, b.where.name);
    errno = error;
    // Two files of one volume: EINVAL says the file system has no exchange.
    if (errno != EINVAL && errno != EOPNOTSUPP)
      return sys::lastStatus();
    learnRenameFlag(volume, RENAME_EXCHANGE, false);
    return errFSOperationNotSupported;
  }
  learnRenameFlag(volume, RENAME_EXCHANGE, true);
  return noErr;
}

/// Each place gives its attributes to the inode now standing there.  On a
/// failure both inodes go back (recorded again first, so that a kill during
/// the undoing is settled too) and get their own attributes again.
OSErr givePlacesTheirAttributes(ExchangeSide &a, ExchangeSide &b, const ExchangeRecord &onA,
                                const ExchangeRecord &onB, ExchangedSidecars &sidecars) {
  OSErr err = applyPlace(a.where, onB.away, &a.markWritten);
  if (!err)
    err = applyPlace(b.where, onA.away, &b.markWritten);
  if (!err)
    return noErr;
  onB.write(a.where);
  onA.write(b.where);
  sys::renameAt2(a.where.dirfd, a.where.name, b.where.dirfd, b.where.name, RENAME_EXCHANGE);
  sidecars.putBack(a, b);
  applyPlace(a.where, a.place);
  applyPlace(b.where, b.place);
  return err;
}

/// The table follows the swap: each entry keeps its place, name and node ID
/// with the other inode.  A place whose ID is this process's own, or whose
/// mark could not be written, keeps its file ID in this process's memory.
void followSwap(const ExchangeSide &a, const ExchangeSide &b) {
  NodeTable::shared().swapIdentity(a.index, b.index);
  markFileIDInMemory(a.index, a.hasFileID && !a.markWritten);
  markFileIDInMemory(b.index, b.hasFileID && !b.markWritten);
}

} // namespace

OSErr PosixFileManager::exchangeObjects(const FSRef *ref, const FSRef *destRef) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  ExchangeSide a, b;
  if (OSErr err = locateFiles(ref, destRef, a, b))
    return err;
  if (a.index == b.index)
    return noErr;
  if (OSErr err = refuseLocked(a, b))
    return err;
  if (OSErr err = capturePlaces(a, b))
    return err;
  ExchangedSidecars sidecars;
  if (OSErr err = sidecars.take(a, b))
    return err;
  const ExchangeRecord onA = recordFor(a, b), onB = recordFor(b, a);
  bool recorded = false;
  if (OSErr err = recordOnBoth(a, b, onA, onB, recorded))
    return err;
  if (OSErr err = sidecars.stage(a, b, recorded)) {
    a.place.meta.write(a.where.dirfd, a.where.name);
    b.place.meta.write(b.where.dirfd, b.where.name);
    return err;
  }
  if (OSErr err = swapInodes(a, b, table.node(a.index).volume)) {
    sidecars.unstage(a, b);
    return err;
  }
  sidecars.place(a, b);
  if (OSErr err = givePlacesTheirAttributes(a, b, onA, onB, sidecars))
    return err;
  followSwap(a, b);
  return noErr;
}

} // namespace quillmate::fm
