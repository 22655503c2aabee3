// Forks: the data fork is the file's contents, read and written through one
// descriptor per open fork; the resource fork is the extended attribute
// kResourceForkAttribute, held in memory while open (one copy for all of this
// process's paths to the file) and written back whole on every change.
// A change re-reads the attribute under an exclusive flock of the file and
// applies itself to what it finds, so that it never undoes another process's
// write; a change the file system refuses is undone and reported, never lost
// silently.
//
// Lock order: the node table's lock, then the fork table's.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/ForkTable.h"
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

/// The largest value of one extended attribute that the kernel takes on any
/// file system (ext4 without ea_inode takes less, and says so with ENOSPC).
/// Sizes and offsets past it are refused before anything is allocated.
constexpr SInt64 kResourceForkLimit = XATTR_SIZE_MAX;

/// How long a change of a resource fork waits for another process's change
/// of the same fork: those hold the file's lock for a read and a write of at
/// most 64 KiB, so a longer hold is someone else's flock of the file.
constexpr int kResourceLockWait = 1000 * 1000;

/// True when `count` bytes at `start` fit a resource fork.
bool resourceHolds(SInt64 start, UInt64 count) {
  return start <= kResourceForkLimit && count <= static_cast<UInt64>(kResourceForkLimit - start);
}

OSErr forkStatus(int err) {
  if (err == EBADF)
    return wrPermErr;
  return sys::statusFor(err, sys::Context::Fork);
}

SInt64 sizeOf(const ForkEntry &f) {
  if (f.resource)
    return static_cast<SInt64>(f.contents->size());
  struct statx stx;
  return sys::statxAt(f.fd, "", STATX_SIZE, &stx) == 0 ? static_cast<SInt64>(stx.stx_size) : 0;
}

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

/// The offset that `mode` and `offset` name.
OSErr positionFor(const ForkEntry &f, UInt16 mode, SInt64 offset, SInt64 &out) {
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
  case fsFromLEOF:
    overflow = __builtin_add_overflow(sizeOf(f), offset, &out);
    break;
  case fsFromMark:
    overflow = __builtin_add_overflow(markOf(f), offset, &out);
    break;
  }
  return overflow || out < 0 ? OSErr(posErr) : OSErr(noErr);
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

/// Reads the resource fork of `dirfd`/`name` into `out`: empty when the file
/// has none.  -1 with errno set (ENOMEM when there is no room for it).  One
/// read does when the fork is at most `expected` bytes long; else its size is
/// asked first.
int readResource(int dirfd, const char *name, std::vector<UInt8> &out, size_t expected = 0) {
  try {
    std::vector<UInt8> bytes;
    size_t room = expected;
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
        room = 0; // longer than expected, or grown by another process meanwhile
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

/// Applies `change(std::vector<UInt8> &bytes)` to the resource fork of `f`'s
/// file as it is on disk now and writes the result back, all under the
/// file's flock: a change in another process between this one's read and its
/// write cannot be undone by it.  The open paths of this process see the
/// bytes on disk, with the change when it was written.  Held: the node table
/// and the fork table.
template <class F> OSErr changeResource(ForkEntry &f, F &&change) {
  NodeTable &table = NodeTable::shared();
  if (table.node(f.node).generation != f.nodeGeneration)
    return fnfErr;
  Location where;
  if (OSErr err = table.locate(f.node, where))
    return err;
  sys::Fd file(sys::openAt(where.dirfd, where.name, O_RDONLY | O_NONBLOCK));
  struct statx stx;
  if (!file.valid())
    return sys::lastStatus(sys::Context::Fork);
  if (sys::statxAt(file.get(), "", STATX_INO, &stx) != 0 || stx.stx_ino != f.ino)
    return fnfErr; // replaced between the look and the open
  if (sys::lockWhole(file.get(), kResourceLockWait) != 0)
    return errno == EWOULDBLOCK ? OSErr(fBsyErr) : sys::lastStatus(sys::Context::Fork);
  try {
    std::vector<UInt8> bytes;
    if (readResource(file.get(), "", bytes, f.contents->size()) != 0)
      return sys::lastStatus(sys::Context::Fork);
    *f.contents = bytes;
    if (OSErr err = change(bytes))
      return err;
    if (sys::setXattrAt(file.get(), "", kResourceForkAttribute, bytes.data(), bytes.size(), 0) < 0)
      return sys::lastStatus(sys::Context::Fork);
    f.contents->swap(bytes);
    return noErr;
  } catch (const std::bad_alloc &) {
    return memFullErr;
  }
}

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
      if (other.sameFileAs(entry.node, entry.volume, entry.ino) &&
          other.resource == entry.resource && other.canWrite &&
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

  /// Reads the resource fork of the file at `where` into the entry's copy,
  /// which the file's other open paths here (by any name) share and which
  /// now shows what is on disk.
  OSErr openResource(const Location &where) {
    if (wantWrite && sys::accessAt(where.dirfd, where.name, W_OK) != 0)
      if (OSErr err = withoutWrite(sys::lastStatus(sys::Context::Fork)))
        return err;
    std::vector<UInt8> bytes;
    if (readResource(where.dirfd, where.name, bytes) != 0)
      return sys::lastStatus(sys::Context::Fork);
    ForkTable::shared().each([&](FSIORefNum, const ForkEntry &other) {
      if (!entry.contents && other.resource && other.hasNode() && other.volume == entry.volume &&
          other.ino == entry.ino) {
        entry.contents = other.contents;
        entry.contents->swap(bytes);
      }
    });
    try {
      if (!entry.contents)
        entry.contents = std::make_shared<std::vector<UInt8>>(std::move(bytes));
    } catch (const std::bad_alloc &) {
      return memFullErr;
    }
    return noErr;
  }
};

/// Enters the open fork into the fork table and answers its reference
/// number in `forkRefNum`; tmfoErr when the table is full.  The descriptor of a data fork that finds
/// no place is closed.
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
  if (OSErr err = resource ? opening.openResource(where) : opening.openData(where, stx))
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
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    SInt64 start;
    if (OSErr err = positionFor(f, positionMode, positionOffset, start))
      return err;
    ByteCount done = 0;
    OSErr status = noErr;
    if (f.resource) {
      const std::vector<UInt8> &bytes = *f.contents;
      if (start < static_cast<SInt64>(bytes.size())) {
        done = std::min(static_cast<ByteCount>(bytes.size() - static_cast<size_t>(start)),
                        requestCount);
        std::memcpy(buffer, bytes.data() + start, done);
      }
    } else {
      char *p = static_cast<char *>(buffer);
      while (done < requestCount) {
        ssize_t n = sys::pread(f.fd, p + done, requestCount - done, static_cast<off_t>(start + done));
        if (n < 0) {
          status = forkStatus(errno);
          break;
        }
        if (n == 0)
          break;
        done += static_cast<ByteCount>(n);
      }
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
      // Positions count from the fork as it is on disk; a write that fails
      // leaves the fork and the mark as they were.
      OSErr err = changeResource(f, [&](std::vector<UInt8> &bytes) -> OSErr {
        if (OSErr err = positionFor(f, positionMode, positionOffset, start))
          return err;
        if (!resourceHolds(start, requestCount))
          return dskFulErr;
        size_t end = static_cast<size_t>(start) + requestCount;
        if (end > bytes.size())
          bytes.resize(end);
        if (requestCount)
          std::memcpy(bytes.data() + start, buffer, requestCount);
        return noErr;
      });
      if (err)
        return err;
      done = requestCount;
    } else {
      if (OSErr err = positionFor(f, positionMode, positionOffset, start))
        return err;
      const char *p = static_cast<const char *>(buffer);
      while (done < requestCount) {
        ssize_t n = sys::pwrite(f.fd, p + done, requestCount - done, static_cast<off_t>(start + done));
        if (n < 0) {
          status = forkStatus(errno);
          break;
        }
        done += static_cast<ByteCount>(n);
      }
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
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    *forkSize = sizeOf(f);
    return noErr;
  });
}

OSErr PosixFileManager::setForkSize(FSIORefNum forkRefNum, UInt16 positionMode,
                                    SInt64 positionOffset) {
  auto lock = NodeTable::shared().lock();
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    if (!f.canWrite)
      return wrPermErr;
    SInt64 size;
    if (f.resource) {
      OSErr err = changeResource(f, [&](std::vector<UInt8> &bytes) -> OSErr {
        if (OSErr err = positionFor(f, positionMode, positionOffset, size))
          return err;
        if (!resourceHolds(size, 0))
          return dskFulErr;
        bytes.resize(static_cast<size_t>(size));
        return noErr;
      });
      if (err)
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
  return ForkTable::shared().with(forkRefNum, [&](ForkEntry &f) -> OSErr {
    SInt64 at;
    if (OSErr err = positionFor(f, positionMode, positionOffset, at))
      return err;
    if (at > sizeOf(f))
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
      *forkInfo = FSForkInfo{};
      forkInfo->permissions = f.canWrite ? fsRdWrPerm : fsRdPerm;
      forkInfo->volume = f.volume;
      forkInfo->nodeID = f.nodeID;
      forkInfo->forkID = f.resource ? 1 : 0;
      forkInfo->currentPosition = static_cast<UInt64>(markOf(f));
      forkInfo->logicalEOF = static_cast<UInt64>(sizeOf(f));
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
    ssize_t n = sys::getXattrAt(where.dirfd, where.name, kResourceForkAttribute, nullptr, 0);
    if (n >= 0) {
      if (forkName)
        FSGetResourceForkName(forkName);
      if (forkSize)
        *forkSize = n;
      if (forkPhysicalSize)
        *forkPhysicalSize = static_cast<UInt64>(n);
      return noErr;
    }
    // EACCES: a file the caller may not read shows no resource fork, as its
    // catalog information does.
    if (errno != ENODATA && errno != EOPNOTSUPP && errno != EACCES)
      return sys::lastStatus();
  }
  return errFSNoMoreItems;
}

namespace {

/// A range of a fork that a call locks or unlocks, and the fork's file.
/// A resource fork's ranges are checked against the other open paths of this
/// process; a data fork's also against other processes (open file
/// description locks).
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
    if (f.sameFileAs(r.node, r.volume, r.ino) && f.resource == r.resource &&
        (other == refNum || !(r.shared && f.sharesLocks())))
      for (auto [s, l] : f.ranges)
        if (overlaps(s, l, r.start, r.length))
          clash = true;
  });
  return clash;
}

/// Sets the lock `type` of `r` on a data fork's descriptor, where other
/// processes see it; a resource fork's ranges live in this process only.
OSErr setSystemLock(const ForkEntry &f, short type, const ForkRange &r) {
  if (f.resource || sys::rangeLock(f.fd, type, r.start, r.length) == 0)
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
    if (!f.resource)
      sys::rangeLock(f.fd, F_UNLCK, r.start, r.length);
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
