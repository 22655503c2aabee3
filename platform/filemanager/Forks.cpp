// Forks: the data fork is the file's contents; the resource fork is the fork
// entry of the `._` file beside the file (Sidecar.h), where the file server
// for Mac clients and the archiver keep it too.  Every open fork reads and
// writes through a descriptor of its own: the file's for a data fork, the
// `._` file's for a resource fork, at the entry's offset.  A resource fork's
// length is its header's, read again on every call, as another open path or
// process may have changed it; it changes under the `._` file's flock (the
// bytes written, or the room, first, then the header, when it grows; the
// header first when it shrinks), so that two processes writing different
// bytes of one fork lose nothing and a kill never leaves a header that
// claims bytes the file lacks.  When one
// open path makes the `._` file (or puts a new one in its place), the other
// open paths of this process to that fork are given descriptors of it at
// once; other processes find it by name on their next call.
//
// A file whose resource fork is empty needs no `._` file: opening, reading
// and opening for writing make none; the first write or size change past 0
// makes it.  A fork that earlier versions kept in the attribute
// kResourceForkAttribute reads from there while the file has no `._` file;
// its first change makes the `._` file holding those bytes, changes it, and
// removes the attribute (a kill between leaves both, and the `._` file wins).
//
// Lock order: the node table's lock, then the fork table's.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ForkTable.h"
#include "platform/filemanager/Sidecar.h"
#include "platform/filemanager/Syscalls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/limits.h>
#include <new>
#include <unistd.h>

namespace quillmate::fm {

using namespace detail;

namespace {

const char kResourceForkName[] = "RESOURCE_FORK";

bool isResourceName(UniCharCount length, const UniChar *name) {
  if (length != sizeof kResourceForkName - 1 || !name)
    return false;
  for (size_t i = 0; i < length; ++i)
    if (name[i] != static_cast<UniChar>(kResourceForkName[i]))
      return false;
  return true;
}

OSErr forkStatus(int err) {
  if (err == EBADF)
    return wrPermErr;
  return sys::statusFor(err, sys::Context::Fork);
}

/// Reads up to `count` bytes at `at` of `fd` into `buffer` until the end of
/// the file; `done` counts them.
OSErr readAll(int fd, void *buffer, ByteCount count, SInt64 at, ByteCount &done) {
  char *p = static_cast<char *>(buffer);
  while (done < count) {
    ssize_t n = sys::pread(fd, p + done, count - done, static_cast<off_t>(at + done));
    if (n < 0)
      return forkStatus(errno);
    if (n == 0)
      break;
    done += static_cast<ByteCount>(n);
  }
  return noErr;
}

/// Writes `count` bytes of `buffer` at `at` of `fd`; `done` counts those
/// written.
OSErr writeAll(int fd, const void *buffer, ByteCount count, SInt64 at, ByteCount &done) {
  const char *p = static_cast<const char *>(buffer);
  while (done < count) {
    ssize_t n = sys::pwrite(fd, p + done, count - done, static_cast<off_t>(at + done));
    if (n < 0)
      return forkStatus(errno);
    if (n == 0)
      return dskFulErr;
    done += static_cast<ByteCount>(n);
  }
  return noErr;
}

/// The page cache holds a file in folios of up to 2 MiB (with 4 KiB pages),
/// each aligned to its size, and drops only the folios that lie wholly inside
/// the range it is advised to drop: advising exactly the 1 MiB a transfer
/// passed drops nothing, and a long uncached copy would fill the cache with
/// new pages after all (as dd's nocache flags do here).  So the range reaches
/// back to the start of the 2 MiB block before the one the transfer starts
/// in: sequential transfers drop each block once they have passed it, a
/// written one when the writeback that the previous advice started is done.
/// Dropping never loses data (dirty pages are written back, not dropped);
/// at worst clean pages just before the transfer are read again.
constexpr SInt64 kLargestFolio = SInt64(2) << 20;

void dropTransferred(int fd, SInt64 start, ByteCount done) {
  if (!done)
    return;
  const SInt64 block = start - start % kLargestFolio;
  const SInt64 from = block >= kLargestFolio ? block - kLargestFolio : 0;
  sys::adviseDontNeed(fd, from, static_cast<off_t>(start + static_cast<SInt64>(done) - from));
}

// --- Positions --------------------------------------------------------------

SInt64 markOf(const ForkEntry &f) {
  if (f.resource)
    return f.mark;
  off_t at = sys::seek(f.fd, 0, SEEK_CUR);
  return at < 0 ? 0 : at;
}

void setMark(ForkEntry &f, SInt64 at) {
  if (f.resource)
    f.mark = at;
  else
    sys::seek(f.fd, at, SEEK_SET);
}

OSErr sizeOf(ForkEntry &f, SInt64 &size);

/// The offset that `mode` and `offset` name on `f`: a position from the end
/// counts from `size` where given, else from the fork's size now.
OSErr positionFor(ForkEntry &f, UInt16 mode, SInt64 offset, SInt64 &out,
                  const SInt64 *size = nullptr) {
  if ((mode & ~static_cast<UInt16>(0x3 | pleaseCacheMask | noCacheMask)) != 0)
    return paramErr;
  bool overflow = false;
  switch (mode & 0x3) {
  case fsAtMark:
    out = markOf(f);
    break;
  case fsFromStart:
    out = offset;
    break;
  case fsFromLEOF: {
    SInt64 now = 0;
    if (!size)
      if (OSErr err = sizeOf(f, now))
        return err;
    overflow = __builtin_add_overflow(size ? *size : now, offset, &out);
    break;
  }
  case fsFromMark:
    overflow = __builtin_add_overflow(markOf(f), offset, &out);
    break;
  }
  return overflow || out < 0 ? OSErr(posErr) : OSErr(noErr);
}

// --- Resource forks -----------------------------------------------------------

/// Reads the attribute that earlier versions kept the resource fork of
/// `dirfd`/`name` in into `out`: empty when the file has none.  -1 with
/// errno set (ENOMEM when there is no room for it).
int readOldAttribute(int dirfd, const char *name, std::vector<UInt8> &out) {
  try {
    std::vector<UInt8> bytes;
    size_t room = 0;
    for (;;) {
      bytes.resize(room);
      ssize_t n = sys::getXattrAt(dirfd, name, kResourceForkAttribute, room ? bytes.data() : nullptr,
                                  room);
      if (n < 0 && errno == ENODATA)
        n = 0;
      if (n > 0 && room == 0) {
        room = static_cast<size_t>(n); // its size: now read it
        continue;
      }
      if (n < 0 && errno == ERANGE) {
        room = 0; // grown by another process meanwhile
        continue;
      }
      if (n < 0)
        return -1;
      bytes.resize(static_cast<size_t>(n));
      out.swap(bytes);
      return 0;
    }
  } catch (const std::bad_alloc &) {
    errno = ENOMEM;
    return -1;
  }
}

/// The length of that attribute, and whether the file has it: none where
/// the file system keeps no attributes or the caller may not read them.
OSErr oldAttributeLength(int dirfd, const char *name, UInt64 &length, bool &exists) {
  ssize_t n = sys::getXattrAt(dirfd, name, kResourceForkAttribute, nullptr, 0);
  exists = n >= 0;
  length = exists ? static_cast<UInt64>(n) : 0;
  if (exists || errno == ENODATA || errno == EOPNOTSUPP || errno == EPERM || errno == EACCES)
    return noErr;
  return sys::lastStatus();
}

/// What the last look at the object of an open resource fork found.
struct ResourceLook {
  Location where;
  struct statx object;
  bool located = false;
  sidecar::Found found = sidecar::Found::None;
  /// Without a `._` file: the old attribute, and its length.
  bool oldAttribute = false;
  UInt64 oldLength = 0;
};

/// Where the object of the resource fork `f` is now; fnfErr when it is gone.
OSErr locateObject(const ForkEntry &f, ResourceLook &look) {
  if (look.located)
    return noErr;
  NodeTable &table = NodeTable::shared();
  if (table.node(f.node).generation != f.nodeGeneration)
    return fnfErr;
  if (OSErr err = table.locate(f.node, look.where, &look.object))
    return err;
  look.located = true;
  return noErr;
}

/// Where the fork's bytes start in its `._` file (a header without a fork
/// entry: at 0, until relayout() gives it one).
SInt64 forkOffset(const sidecar::File &file) {
  const dbl::Entry *e = file.fork();
  return e ? e->offset : 0;
}

/// The descriptor where other processes see the range locks of `f`, and
/// where in its file the fork starts: -1 for a resource fork without a `._`
/// file, whose ranges are locked in this process only.
int lockedFile(const ForkEntry &f, SInt64 &base) {
  base = 0;
  if (!f.resource)
    return f.fd;
  if (!f.sidecar)
    return -1;
  base = forkOffset(*f.sidecar);
  return f.sidecar->fd.get();
}

/// Sets the range locks of the resource fork `f` on the `._` file it has
/// just opened, where other processes see them from now on (a range one of
/// them locked meanwhile stays locked in this process only).
void lockRangesInFile(const ForkEntry &f) {
  SInt64 base;
  const int fd = lockedFile(f, base);
  for (auto [start, length] : f.ranges)
    if (start <= INT64_MAX - base)
      sys::rangeLock(fd, f.sharesLocks() ? F_RDLCK : F_WRLCK, base + start, length);
}

/// Gives the resource fork `f` the `._` file `file`, in place of the one it
/// held, with its range locks there.
OSErr adopt(ForkEntry &f, sidecar::File &&file) {
  try {
    if (!f.sidecar)
      f.sidecar = std::make_unique<sidecar::File>();
  } catch (const std::bad_alloc &) {
    return memFullErr;
  }
  *f.sidecar = std::move(file);
  lockRangesInFile(f);
  return noErr;
}

/// Gives every other open path of this process to the resource fork `f`
/// that holds no descriptor of its `._` file (none, or one of a file since
/// replaced) a descriptor of it: an open file description of its own, with
/// its own access.  One it cannot open looks for the file by name on its
/// next call.  Held: the fork table.
void share(ForkEntry &f) {
  const sidecar::File &file = *f.sidecar;
  ForkTable::shared().eachOther(f, [&](ForkEntry &other) {
    if (!other.resource || other.node != f.node || other.nodeGeneration != f.nodeGeneration ||
        (other.sidecar && other.sidecar->ino == file.ino))
      return;
    sidecar::File copy;
    copy.fd.reset(sys::reopen(file.fd.get(), other.canWrite ? O_RDWR : O_RDONLY));
    if (!copy.fd.valid() && other.canWrite)
      copy.fd.reset(sys::reopen(file.fd.get(), O_RDONLY));
    if (!copy.fd.valid())
      return;
    copy.header = file.header;
    copy.size = file.size;
    copy.ino = file.ino;
    copy.links = file.links;
    adopt(other, std::move(copy));
  });
}

/// Opens the `._` file of the object `look` located for a resource fork:
/// for reading and writing when the fork may `write` and the caller may
/// write the file, else for reading.
OSErr openSidecar(bool write, ResourceLook &look, sidecar::File &out) {
  OSErr err = sidecar::open(look.where.dirfd, look.where.name, look.object,
                            write ? O_RDWR : O_RDONLY, out, look.found);
  if (err == permErr && write)
    err = sidecar::open(look.where.dirfd, look.where.name, look.object, O_RDONLY, out, look.found);
  return err;
}

/// Brings the resource fork `f` up to date, as another open path or process
/// may have changed it since its last call: the header of its `._` file is
/// read again (ioErr when it is damaged now); without a `._` file, or when
/// the one it holds has no name any more (another opener put a new one in
/// its place), the object's `._` file is looked for by name; without one,
/// the old attribute.  An object deleted with its `._` file leaves the fork
/// with the file it held, as a data fork keeps a deleted file.
OSErr refresh(ForkEntry &f, ResourceLook &look) {
  if (f.sidecar) {
    if (OSErr err = sidecar::reread(*f.sidecar))
      return err;
    if (f.sidecar->links > 0 || locateObject(f, look) != noErr)
      return noErr;
  } else if (OSErr err = locateObject(f, look)) {
    return err;
  }
  sidecar::File file;
  if (OSErr err = openSidecar(f.canWrite, look, file))
    return err;
  if (look.found == sidecar::Found::Attached) {
    if (OSErr err = adopt(f, std::move(file)))
      return err;
    share(f);
    return noErr;
  }
  if (f.sidecar)
    return noErr;
  if (look.found == sidecar::Found::Damaged)
    return ioErr; // nothing may overwrite it
  return oldAttributeLength(look.where.dirfd, look.where.name, look.oldLength, look.oldAttribute);
}

/// The resource fork's length as refresh() found it.
UInt64 lengthOf(const ForkEntry &f, const ResourceLook &look) {
  if (!f.sidecar)
    return look.oldLength;
  const dbl::Entry *e = f.sidecar->fork();
  return e ? e->length : 0;
}

OSErr sizeOf(ForkEntry &f, SInt64 &size) {
  if (f.resource) {
    ResourceLook look;
    if (OSErr err = refresh(f, look))
      return err;
    size = static_cast<SInt64>(lengthOf(f, look));
    return noErr;
  }
  struct statx stx;
  size = sys::statxAt(f.fd, "", STATX_SIZE, &stx) == 0 ? static_cast<SInt64>(stx.stx_size) : 0;
  return noErr;
}

/// The resource fork `f` brought up to date (refresh()), and the position
/// `mode` and `offset` name on it (`at`); `length` is its length.
OSErr positionNow(ForkEntry &f, ResourceLook &look, UInt16 mode, SInt64 offset, SInt64 &at,
                  UInt64 &length) {
  if (OSErr err = refresh(f, look))
    return err;
  length = lengthOf(f, look);
  const SInt64 size = static_cast<SInt64>(length);
  return positionFor(f, mode, offset, at, &size);
}

/// A change of an open resource fork, which holds its `._` file's lock from
/// begin() to its end.
class ResourceChange {
public:
  /// `look` is what refresh() found just before.
  ResourceChange(ForkEntry &f, ResourceLook &look) : f_(f), look_(look) {}
  ~ResourceChange() {
    if (f_.sidecar && f_.sidecar->locked)
      sidecar::unlock(*f_.sidecar);
  }
  ResourceChange(const ResourceChange &) = delete;
  ResourceChange &operator=(const ResourceChange &) = delete;

  /// Makes the `._` file where there is none (holding the old attribute's
  /// bytes, in the place of a stranded one), takes its lock, reads its
  /// header again and makes the fork its last entry: `at` is the position
  /// `mode` and `offset` name on the fork then, which no other process
  /// changes until the end.
  OSErr begin(UInt16 mode, SInt64 offset, SInt64 &at);
  sidecar::File &file() { return *f_.sidecar; }
  /// The change is made: the old attribute goes, as the `._` file holds it.
  void made() {
    if (movedAttribute_)
      sys::removeXattrAt(look_.where.dirfd, look_.where.name, kResourceForkAttribute);
  }

private:
  OSErr make();
  OSErr lockLast(UInt64 &length);

  ForkEntry &f_;
  ResourceLook &look_;
  bool movedAttribute_ = false;
};

OSErr ResourceChange::make() {
  if (OSErr err = locateObject(f_, look_))
    return err;
  std::vector<UInt8> old;
  if (look_.oldAttribute && readOldAttribute(look_.where.dirfd, look_.where.name, old) != 0)
    return sys::lastStatus(sys::Context::Fork);
  sidecar::File made;
  if (OSErr err = sidecar::create(look_.where.dirfd, look_.where.name, look_.object, nullptr,
                                  old.data(), old.size(),
                                  look_.found == sidecar::Found::Stranded, made))
    return err;
  movedAttribute_ = look_.oldAttribute;
  if (OSErr err = adopt(f_, std::move(made)))
    return err;
  share(f_);
  return noErr;
}

OSErr ResourceChange::begin(UInt16 mode, SInt64 offset, SInt64 &at) {
  UInt64 length;
  if (OSErr err = lockLast(length))
    return err;
  const SInt64 size = static_cast<SInt64>(length);
  return positionFor(f_, mode, offset, at, &size);
}

/// begin(), to the length of the fork it locked.
OSErr ResourceChange::lockLast(UInt64 &length) {
  // Another process may make the file first, put a new one in its place or
  // lay it out anew meanwhile: each such turn starts again, a few at most.
  bool orphan = false; // its object was deleted with it: the change goes to the file held
  for (int turn = 0; turn < 4; ++turn) {
    if (!f_.sidecar) {
      OSErr err = make();
      if (err == dupFNErr) { // another process made one first: this one uses it
        if (OSErr again = refresh(f_, look_))
          return again;
        continue;
      }
      if (err)
        return err;
    }
    sidecar::File &file = *f_.sidecar;
    if (OSErr err = sidecar::lock(file))
      return err;
    if (OSErr err = sidecar::reread(file))
      return err;
    if (file.links == 0 && !orphan) {
      const uint64_t held = file.ino;
      sidecar::unlock(file);
      if (OSErr err = refresh(f_, look_))
        return err;
      orphan = f_.sidecar->ino == held;
      continue;
    }
    const dbl::Entry *fork = file.fork();
    if (fork && file.header.isLast(file.header.indexOf(*fork))) {
      length = fork->length;
      return noErr;
    }
    // Laid out by another program with entries behind the fork: the new file
    // takes the old one's place, and the lock goes with the old descriptor.
    if (OSErr err = locateObject(f_, look_))
      return err;
    if (OSErr err = sidecar::relayout(look_.where.dirfd, look_.where.name, look_.object, file))
      return err;
    lockRangesInFile(f_);
    share(f_);
  }
  return fBsyErr;
}

/// Writes `count` bytes of `buffer` to the resource fork `f` at the position
/// `mode` and `offset` name (`start`), counted on the fork as it is under
/// its `._` file's lock.  A write that fails adds nothing to the fork.
OSErr writeResource(ForkEntry &f, UInt16 mode, SInt64 offset, ByteCount count, const void *buffer,
                    SInt64 &start) {
  ResourceLook look;
  UInt64 length;
  if (OSErr err = positionNow(f, look, mode, offset, start, length))
    return err;
  auto fits = [&] {
    return static_cast<UInt64>(start) <= sidecar::kMaxForkLength &&
           count <= sidecar::kMaxForkLength - static_cast<UInt64>(start);
  };
  if (count == 0)
    return noErr;
  if (!fits())
    return dskFulErr;
  ResourceChange change(f, look);
  if (OSErr err = change.begin(mode, offset, start))
    return err;
  if (!fits())
    return dskFulErr;
  sidecar::File &file = change.file();
  if (OSErr err = sidecar::writeFork(file, static_cast<UInt64>(start), buffer, count))
    return err;
  if (mode & noCacheMask)
    dropTransferred(file.fd.get(), forkOffset(file) + start, count);
  change.made();
  return noErr;
}

/// Sets the length of the resource fork `f` to the position `mode` and
/// `offset` name (`size`), counted on the fork as it is under its `._`
/// file's lock.  An empty fork without a `._` file stays without one.
OSErr setResourceLength(ForkEntry &f, UInt16 mode, SInt64 offset, SInt64 &size) {
  ResourceLook look;
  UInt64 length;
  if (OSErr err = positionNow(f, look, mode, offset, size, length))
    return err;
  if (static_cast<UInt64>(size) > sidecar::kMaxForkLength)
    return dskFulErr;
  if (!f.sidecar && !look.oldAttribute && size == 0)
    return noErr;
  ResourceChange change(f, look);
  if (OSErr err = change.begin(mode, offset, size))
    return err;
  if (OSErr err = sidecar::setForkLength(change.file(), static_cast<UInt64>(size)))
    return err;
  change.made();
  return noErr;
}

/// Reads up to `count` bytes of the resource fork `f` at the position
/// `mode` and `offset` name (`start`) into `buffer`; `done` counts them.
OSErr readResource(ForkEntry &f, UInt16 mode, SInt64 offset, ByteCount count, void *buffer,
                   SInt64 &start, ByteCount &done) {
  ResourceLook look;
  UInt64 length;
  if (OSErr err = positionNow(f, look, mode, offset, start, length))
    return err;
  if (static_cast<UInt64>(start) >= length)
    return noErr;
  const ByteCount want = std::min<UInt64>(count, length - static_cast<UInt64>(start));
  if (f.sidecar) {
    const int fd = f.sidecar->fd.get();
    const SInt64 at = forkOffset(*f.sidecar) + start;
    OSErr err = readAll(fd, buffer, want, at, done);
    if (mode & noCacheMask)
      dropTransferred(fd, at, done);
    return err;
  }
  std::vector<UInt8> bytes;
  if (readOldAttribute(look.where.dirfd, look.where.name, bytes) != 0)
    return sys::lastStatus(sys::Context::Fork);
  if (static_cast<UInt64>(start) < bytes.size()) {
    done = std::min<ByteCount>(want, bytes.size() - static_cast<size_t>(start));
    std::memcpy(buffer, bytes.data() + start, done);
  }
  return noErr;
}

// --- Opening, range locks -----------------------------------------------------

bool overlaps(SInt64 a, SInt64 alen, SInt64 b, SInt64 blen) {
  SInt64 aEnd = alen == 0 ? INT64_MAX : a + alen, bEnd = blen == 0 ? INT64_MAX : b + blen;
  return a < bEnd && b < aEnd;
}

/// Whether a fork name names the data fork (empty) or the resource fork;
/// errFSForkNotFound for any other: there are no other named forks here.
OSErr forkNamed(UniCharCount length, const UniChar *name, bool &resource) {
  resource = length != 0;
  if (resource && !isResourceName(length, name))
    return errFSForkNotFound;
  return noErr;
}

/// A fork being opened: the entry it is to have, and whether it is to be
/// opened for writing.
struct ForkOpening {
  ForkEntry entry;
  bool wantWrite;

  /// Write access refused with `err`: fsCurPerm settles for reading, the
  /// other permissions fail with `err`.
  OSErr withoutWrite(OSErr err) {
    if (entry.permissions != fsCurPerm)
      return err;
    wantWrite = false;
    return noErr;
  }

  /// One writer per fork unless every writer shares, whichever name of a
  /// hard-linked file each opened it by: opWrErr when another holds it.
  OSErr claimWrite() {
    if (!wantWrite)
      return noErr;
    bool busy = false;
    ForkTable::shared().each([&](FSIORefNum, const ForkEntry &other) {
      if (other.sameForkAs(entry.node, entry.volume, entry.ino, entry.resource) && other.canWrite &&
          !(other.sharedWrite && entry.sharedWrite))
        busy = true;
    });
    return busy ? withoutWrite(opWrErr) : OSErr(noErr);
  }

  /// Opens the data fork of the file at `where`, whose statx is `stx`, into
  /// the entry's descriptor; fsCurPerm settles for reading where the caller
  /// may not write.
  OSErr openData(const Location &where, const struct statx &stx) {
    int fd = sys::openAt(where.dirfd, where.name, (wantWrite ? O_RDWR : O_RDONLY) | O_NONBLOCK);
    if (fd < 0 && wantWrite && entry.permissions == fsCurPerm && errno == EACCES) {
      wantWrite = false;
      fd = sys::openAt(where.dirfd, where.name, O_RDONLY | O_NONBLOCK);
    }
    if (fd < 0)
      return sys::lastStatus(sys::Context::Fork);
    sys::Fd own(fd);
    struct statx opened;
    if (sys::statxAt(fd, "", STATX_TYPE | STATX_INO, &opened) != 0 || !S_ISREG(opened.stx_mode) ||
        opened.stx_ino != stx.stx_ino)
      return permErr; // replaced by something else between the check and the open
    sys::setBlocking(fd);
    entry.fd = own.release();
    return noErr;
  }

  /// Opens the `._` file of the file at `where`, whose statx is `stx`, for
  /// the entry, where it has one (else its first write makes it);
  /// fsCurPerm settles for reading where the caller may not write.  A
  /// damaged one is ioErr, so that nothing overwrites it.
  OSErr openResource(const Location &where, const struct statx &stx) {
    if (wantWrite && sys::accessAt(where.dirfd, where.name, W_OK) != 0)
      if (OSErr err = withoutWrite(sys::lastStatus(sys::Context::Fork)))
        return err;
    sidecar::File file;
    sidecar::Found found;
    OSErr err = sidecar::open(where.dirfd, where.name, stx, wantWrite ? O_RDWR : O_RDONLY, file,
                              found);
    if (err == permErr && wantWrite) {
      if (OSErr refused = withoutWrite(err))
        return refused;
      err = sidecar::open(where.dirfd, where.name, stx, O_RDONLY, file, found);
    }
    if (err)
      return err;
    if (found == sidecar::Found::Damaged)
      return ioErr;
    if (found != sidecar::Found::Attached)
      return noErr;
    try {
      entry.sidecar = std::make_unique<sidecar::File>(std::move(file));
    } catch (const std::bad_alloc &) {
      return memFullErr;
    }
    return noErr;
  }
};

/// Enters the open fork into the fork table and answers its reference
/// number in `forkRefNum`; tmfoErr when the table is full.  The descriptors
/// of a fork that finds no place are closed.
OSErr registerFork(ForkEntry &&entry, FSIORefNum &forkRefNum) {
  const int fd = entry.fd;
  FSIORefNum refNum = 0;
  try {
    refNum = ForkTable::shared().insert(std::move(entry));
  } catch (const std::bad_alloc &) {
    if (fd >= 0)
      sys::close(fd);
    return memFullErr;
  }
  if (refNum == 0) {
    if (fd >= 0)
      sys::close(fd);
    return tmfoErr;
  }
  forkRefNum = refNum;
  return noErr;
}

} // namespace

OSErr PosixFileManager::openFork(const FSRef *ref, UniCharCount forkNameLength,
                                 const UniChar *forkName, SInt8 permissions,
                                 FSIORefNum *forkRefNum) {
  if (!forkRefNum)
    return paramErr;
  bool resource;
  if (OSErr err = forkNamed(forkNameLength, forkName, resource))
    return err;
  if (permissions < fsCurPerm || permissions > fsRdWrShPerm)
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx))
    return err;
  if (S_ISDIR(stx.stx_mode))
    return notAFileErr;
  if (!S_ISREG(stx.stx_mode))
    return permErr; // FIFOs, devices, sockets and links have no forks to open
  const Node &node = table.node(index);
  ForkOpening opening{ForkEntry{}, permissions != fsRdPerm};
  ForkEntry &entry = opening.entry;
  entry.resource = resource;
  entry.permissions = permissions;
  entry.node = index;
  entry.nodeGeneration = node.generation;
  entry.volume = node.volume;
  entry.ino = stx.stx_ino;
  entry.sharedWrite = permissions == fsRdWrShPerm;
  if (opening.wantWrite && !(stx.stx_mode & S_IWUSR)) // a locked file
    if (OSErr err = opening.withoutWrite(fLckdErr))
      return err;
  entry.nodeID = nodeIDOf(index, where);
  if (OSErr err = opening.claimWrite())
    return err;
  if (OSErr err = resource ? opening.openResource(where, stx) : opening.openData(where, stx))
    return err;
  entry.canWrite = opening.wantWrite;
  return registerFork(std::move(entry), *forkRefNum);
}

OSErr PosixFileManager::closeFork(FSIORefNum forkRefNum) {
  ForkEntry entry;
  if (!ForkTable::shared().remove(forkRefNum, entry))
    return rfNumErr;
  if (entry.fd >= 0)
    sys::close(entry.fd); // also drops the descriptor's range locks
  return noErr;
}

OSErr PosixFileManager::readFork(FSIORefNum forkRefNum, UInt16 positionMode,
                                 SInt64 positionOffset, ByteCount requestCount, void *buffer,
                                 ByteCount *actualCount) {
  if (actualCount)
    *actualCount = 0;
  if (!buffer && requestCount)
    return paramErr;
  auto lock = NodeTable::shared().lock();
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    SInt64 start;
    ByteCount done = 0;
    OSErr status = noErr;
    if (f.resource) {
      status = readResource(f, positionMode, positionOffset, requestCount, buffer, start, done);
      if (status && !done)
        return status;
    } else {
      if (OSErr err = positionFor(f, positionMode, positionOffset, start))
        return err;
      status = readAll(f.fd, buffer, requestCount, start, done);
      if (positionMode & noCacheMask)
        dropTransferred(f.fd, start, done);
    }
    setMark(f, start + static_cast<SInt64>(done));
    if (actualCount)
      *actualCount = done;
    if (status)
      return status;
    return done < requestCount ? OSErr(eofErr) : OSErr(noErr);
  });
}

OSErr PosixFileManager::writeFork(FSIORefNum forkRefNum, UInt16 positionMode,
                                  SInt64 positionOffset, ByteCount requestCount,
                                  const void *buffer, ByteCount *actualCount) {
  if (actualCount)
    *actualCount = 0;
  if (!buffer && requestCount)
    return paramErr;
  auto lock = NodeTable::shared().lock();
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    if (!f.canWrite)
      return wrPermErr;
    SInt64 start;
    ByteCount done = 0;
    OSErr status = noErr;
    if (f.resource) {
      // A write that fails leaves the fork and the mark as they were.
      if (OSErr err =
              writeResource(f, positionMode, positionOffset, requestCount, buffer, start))
        return err;
      done = requestCount;
    } else {
      if (OSErr err = positionFor(f, positionMode, positionOffset, start))
        return err;
      status = writeAll(f.fd, buffer, requestCount, start, done);
      // The kernel drops the pages once they are written back.
      if (positionMode & noCacheMask)
        dropTransferred(f.fd, start, done);
    }
    setMark(f, start + static_cast<SInt64>(done));
    if (actualCount)
      *actualCount = done;
    return status;
  });
}

OSErr PosixFileManager::getForkSize(FSIORefNum forkRefNum, SInt64 *forkSize) {
  if (!forkSize)
    return paramErr;
  auto lock = NodeTable::shared().lock();
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) { return sizeOf(f, *forkSize); });
}

OSErr PosixFileManager::setForkSize(FSIORefNum forkRefNum, UInt16 positionMode,
                                    SInt64 positionOffset) {
  auto lock = NodeTable::shared().lock();
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    if (!f.canWrite)
      return wrPermErr;
    SInt64 size;
    if (f.resource) {
      if (OSErr err = setResourceLength(f, positionMode, positionOffset, size))
        return err;
    } else {
      if (OSErr err = positionFor(f, positionMode, positionOffset, size))
        return err;
      if (sys::truncate(f.fd, size) != 0)
        return forkStatus(errno);
    }
    if (markOf(f) > size)
      setMark(f, size);
    return noErr;
  });
}

OSErr PosixFileManager::getForkPosition(FSIORefNum forkRefNum, SInt64 *position) {
  if (!position)
    return paramErr;
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    *position = markOf(f);
    return noErr;
  });
}

OSErr PosixFileManager::setForkPosition(FSIORefNum forkRefNum, UInt16 positionMode,
                                        SInt64 positionOffset) {
  auto lock = NodeTable::shared().lock();
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    SInt64 size, at;
    if (OSErr err = sizeOf(f, size))
      return err;
    if (OSErr err = positionFor(f, positionMode, positionOffset, at, &size))
      return err;
    if (at > size)
      return eofErr;
    setMark(f, at);
    return noErr;
  });
}

OSErr PosixFileManager::getForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume,
                                      SInt16 *iterator, FSIORefNum *actualRefNum,
                                      FSForkInfo *forkInfo, FSRef *ref,
                                      HFSUniStr255 *outForkName) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  FSIORefNum refNum = desiredRefNum;
  if (refNum == 0) {
    if (!iterator)
      return paramErr;
    FSIORefNum after = *iterator;
    FSIORefNum found = 0;
    ForkTable::shared().each([&](FSIORefNum r, const ForkEntry &f) {
      if (!found && r > after && (volume == 0 || f.volume == volume))
        found = r;
    });
    if (!found)
      return errFSNoMoreItems;
    *iterator = found;
    refNum = found;
  }
  return ForkTable::shared().with(refNum, [&](ForkEntry &f) -> OSErr {
    if (ref) {
      if (!f.hasNode() || table.node(f.node).generation != f.nodeGeneration)
        return fnfErr;
      table.encode(f.node, ref);
    }
    if (actualRefNum)
      *actualRefNum = refNum;
    if (forkInfo) {
      SInt64 size;
      if (OSErr err = sizeOf(f, size))
        return err;
      *forkInfo = FSForkInfo{};
      forkInfo->permissions = f.canWrite ? fsRdWrPerm : fsRdPerm;
      forkInfo->volume = f.volume;
      forkInfo->nodeID = f.nodeID;
      forkInfo->forkID = f.resource ? 1 : 0;
      forkInfo->currentPosition = static_cast<UInt64>(markOf(f));
      forkInfo->logicalEOF = static_cast<UInt64>(size);
      forkInfo->physicalEOF = forkInfo->logicalEOF;
    }
    if (outForkName) {
      if (f.resource)
        FSGetResourceForkName(outForkName);
      else
        outForkName->length = 0;
    }
    return noErr;
  });
}

namespace detail {

OSErr resourceForkLength(const Location &where, const struct statx &stx, SidecarHint hint,
                         UInt64 &length, bool *exists) {
  length = 0;
  bool has = false;
  if (exists)
    *exists = false;
  if (hint != SidecarHint::Absent) {
    sidecar::File file;
    sidecar::Found found;
    OSErr err = sidecar::open(where.dirfd, where.name, stx, O_RDONLY, file, found);
    if (err == permErr)
      return noErr; // a `._` file the caller may not read shows no fork
    if (err)
      return err;
    if (found == sidecar::Found::Damaged)
      return noErr;
    if (found == sidecar::Found::Attached) {
      const dbl::Entry *e = file.fork();
      length = e ? e->length : 0;
      if (exists)
        *exists = e != nullptr;
      return noErr;
    }
  }
  if (OSErr err = oldAttributeLength(where.dirfd, where.name, length, has))
    return err;
  if (exists)
    *exists = has;
  return noErr;
}

UInt64 physicalSize(UInt64 length, const struct statx &stx) {
  const UInt64 block = stx.stx_blksize ? stx.stx_blksize : 1;
  return length % block ? length + (block - length % block) : length;
}

} // namespace detail

OSErr PosixFileManager::iterateForks(const FSRef *ref, CatPositionRec *forkIterator,
                                     HFSUniStr255 *forkName, SInt64 *forkSize,
                                     UInt64 *forkPhysicalSize) {
  if (!forkIterator)
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx, STATX_SIZE | STATX_BLOCKS))
    return err;
  int step = forkIterator->initialize == 0 ? 0 : forkIterator->priv[0];
  if (S_ISDIR(stx.stx_mode))
    return errFSNoMoreItems; // a folder has no forks
  if (step == 0) {
    forkIterator->initialize = 1;
    forkIterator->priv[0] = 1;
    if (forkName)
      forkName->length = 0;
    if (forkSize)
      *forkSize = static_cast<SInt64>(stx.stx_size);
    if (forkPhysicalSize)
      *forkPhysicalSize = stx.stx_blocks * 512;
    return noErr;
  }
  if (step == 1) {
    forkIterator->priv[0] = 2;
    UInt64 length;
    bool exists;
    if (OSErr err = resourceForkLength(where, stx, SidecarHint::Unknown, length, &exists))
      return err;
    if (exists) {
      if (forkName)
        FSGetResourceForkName(forkName);
      if (forkSize)
        *forkSize = static_cast<SInt64>(length);
      if (forkPhysicalSize)
        *forkPhysicalSize = physicalSize(length, stx);
      return noErr;
    }
  }
  return errFSNoMoreItems;
}

namespace {

/// A range of a fork that a call locks or unlocks, and the fork's file.
/// Ranges are checked against the other open paths of this process to the
/// fork, and locked for other processes (open file description locks) on
/// the fork's descriptor: a resource fork's on its `._` file, at the fork's
/// offset there, where it has one.
struct ForkRange {
  SInt64 start = 0, length = 0;
  uint32_t node = 0;
  FSVolumeRefNum volume = 0;
  uint64_t ino = 0;
  bool resource = false, shared = false;
};

/// The range that the block names on its fork: -1 is the range from the
/// start to the end of the fork (and beyond); a count of 0 names no range at
/// all (paramErr).
OSErr rangeOf(const IOParam &io, ForkRange &r) {
  r.length = io.ioReqCount == -1 ? 0 : io.ioReqCount;
  if (OSErr err = ForkTable::shared().with(io.ioRefNum, [&](ForkEntry &f) -> OSErr {
        r.node = f.node;
        r.volume = f.volume;
        r.ino = f.ino;
        r.resource = f.resource;
        r.shared = f.sharesLocks();
        return positionFor(f, static_cast<UInt16>(io.ioPosMode), io.ioPosOffset, r.start);
      }))
    return err;
  return io.ioReqCount == 0 || r.length < 0 ? OSErr(paramErr) : OSErr(noErr);
}

/// Whether `r` overlaps a range locked on the same fork of its file: any of
/// the fork `refNum`'s own, another open path's unless both lock shared.
bool clashes(FSIORefNum refNum, const ForkRange &r) {
  bool clash = false;
  ForkTable::shared().each([&](FSIORefNum other, const ForkEntry &f) {
    if (f.sameForkAs(r.node, r.volume, r.ino, r.resource) &&
        (other == refNum || !(r.shared && f.sharesLocks())))
      for (auto [s, l] : f.ranges)
        if (overlaps(s, l, r.start, r.length))
          clash = true;
  });
  return clash;
}

/// Sets the lock `type` of `r` where other processes see it: on the fork's
/// descriptor (a resource fork without a `._` file has none yet, and locks
/// in this process only).
OSErr setSystemLock(const ForkEntry &f, short type, const ForkRange &r) {
  SInt64 base;
  const int fd = lockedFile(f, base);
  if (fd < 0)
    return noErr;
  if (r.start > INT64_MAX - base)
    return posErr;
  if (sys::rangeLock(fd, type, base + r.start, r.length) == 0)
    return noErr;
  return (errno == EAGAIN || errno == EACCES) ? OSErr(afpRangeOverlap)
                                              : sys::lastStatus(sys::Context::Fork);
}

/// Locks `r` on the open fork `f` and keeps it in its list.
OSErr addRange(ForkEntry &f, const ForkRange &r) {
  if (OSErr err = setSystemLock(f, r.shared ? F_RDLCK : F_WRLCK, r))
    return err;
  try {
    f.ranges.emplace_back(r.start, r.length);
  } catch (const std::bad_alloc &) {
    setSystemLock(f, F_UNLCK, r);
    return memFullErr;
  }
  return noErr;
}

/// Unlocks `r`, which the open fork `f` must have locked exactly.
OSErr removeRange(ForkEntry &f, const ForkRange &r) {
  auto it = f.ranges.begin();
  while (it != f.ranges.end() && !(it->first == r.start && it->second == r.length))
    ++it;
  if (it == f.ranges.end())
    return afpRangeNotLocked;
  if (OSErr err = setSystemLock(f, F_UNLCK, r))
    return err;
  f.ranges.erase(it);
  return noErr;
}

/// PBLockRangeSync (`lock`) and PBUnlockRangeSync.
OSErr changeRange(ParmBlkPtr pb, bool lock) {
  if (!pb)
    return paramErr;
  IOParam &io = pb->ioParam;
  auto held = NodeTable::shared().lock();
  ForkRange r;
  if (OSErr err = rangeOf(io, r))
    return finish(io, err);
  if (lock && clashes(io.ioRefNum, r))
    return finish(io, afpRangeOverlap);
  return finish(io, ForkTable::shared().with(io.ioRefNum, [&](ForkEntry &f) {
    return lock ? addRange(f, r) : removeRange(f, r);
  }));
}

} // namespace

OSErr PosixFileManager::lockRange(ParmBlkPtr pb) { return changeRange(pb, true); }
OSErr PosixFileManager::unlockRange(ParmBlkPtr pb) { return changeRange(pb, false); }

} // namespace quillmate::fm
