// Calls that the file system carries out by itself: copying a file inside a
// volume (PBHCopyFileSync) and moving and renaming in one step
// (PBHMoveRenameSync).
//
// A copy is written into an unnamed file (O_TMPFILE) in the destination
// folder and gets its name with one linkat at the very end, so a failure or
// a kill at any point leaves nothing behind.  File systems without unnamed
// files get a hidden temporary name that is renamed into place (without
// replacing anything) and removed on failure; only a kill can leave that one
// behind.
#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/Names.h"
#include "platform/filemanager/OneByteNames.h"
#include "platform/filemanager/PosixFileManager.h"
#include "platform/filemanager/Sidecar.h"
#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace quillmate::fm {

using namespace detail;

namespace {

/// The disk forms, as given and composed, of the one-byte name `name` that
/// a call gives its object, or `current` when it gives none: bdNamErr for
/// a name kept for `._` files.
OSErr newNameOf(ConstStringPtr name, const std::string &current, std::string &given,
                std::string &composed) {
  if (!name) {
    given = composed = current;
    return refuseReserved(composed, given);
  }
  HFSUniStr255 unicode;
  if (!onebyte::toUnicode(name + 1, name[0], unicode))
    return bdNamErr;
  if (OSErr err = names::toDisk(unicode.unicode, unicode.length, given))
    return err;
  if (OSErr err = names::toDiskNFC(unicode.unicode, unicode.length, composed))
    return err;
  return refuseReserved(composed, given);
}

/// Copies `length` bytes at `offset` inside the kernel, falling back to
/// reads and writes where the two files cannot share a copy.
int copyExtent(int from, int to, off_t offset, off_t length) {
  off_t in = offset, out = offset;
  const off_t end = offset + length;
  bool kernel = true;
  std::vector<char> buffer;
  while (in < end) {
    const size_t want = static_cast<size_t>(std::min<off_t>(end - in, off_t(1) << 30));
    if (kernel) {
      ssize_t n = sys::copyRange(from, &in, to, &out, want);
      if (n > 0)
        continue;
      if (n == 0)
        return 0; // the source became shorter meanwhile
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
      kernel = false;
      buffer.resize(1 << 20);
    }
    ssize_t n = sys::pread(from, buffer.data(), std::min(want, buffer.size()), in);
    if (n <= 0)
      return static_cast<int>(n);
    for (ssize_t done = 0; done < n;) {
      ssize_t w = sys::pwrite(to, buffer.data() + done, static_cast<size_t>(n - done), out);
      if (w < 0)
        return -1;
      done += w;
      out += w;
    }
    in += n;
  }
  return 0;
}

/// The data fork: a reflink where the file system has them, else each data
/// extent copied and the holes between them kept, as cp does.
int copyContents(int from, int to, off_t size) {
  if (sys::cloneFile(to, from) == 0)
    return 0;
  for (off_t at = 0; at < size;) {
    off_t data = sys::seek(from, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO)
        break; // only a hole is left
      if (errno != EINVAL && errno != EOPNOTSUPP)
        return -1;
      data = at; // no hole reporting: everything is data
    }
    off_t hole = sys::seek(from, data, SEEK_HOLE);
    if (hole < 0)
      hole = size;
    if (hole > size)
      hole = size;
    if (copyExtent(from, to, data, hole - data) < 0)
      return -1;
    at = hole;
  }
  return sys::truncate(to, size); // a trailing hole, and nothing past the end
}

/// Every extended attribute of the user namespace: the Mac metadata record,
/// the resource fork, and whatever else the file carries.
int copyAttributes(int from, int to) {
  ssize_t size = sys::listXattr(from, nullptr, 0);
  if (size < 0)
    return errno == ENOTSUP ? 0 : -1;
  std::vector<char> names(static_cast<size_t>(size) + 1);
  size = sys::listXattr(from, names.data(), static_cast<size_t>(size));
  if (size < 0)
    return -1;
  std::vector<unsigned char> value;
  for (const char *name = names.data(); name < names.data() + size;
       name += std::strlen(name) + 1) {
    if (std::strncmp(name, "user.", 5) != 0)
      continue;
    ssize_t length = sys::getXattrAt(from, "", name, nullptr, 0);
    if (length < 0)
      return -1;
    value.resize(static_cast<size_t>(length));
    length = sys::getXattrAt(from, "", name, value.data(), value.size());
    if (length < 0 ||
        sys::setXattrAt(to, "", name, value.data(), static_cast<size_t>(length), 0) < 0)
      return -1;
  }
  return 0;
}

/// Tests turn unnamed files off to run the temporary-name way on file
/// systems that have them.
std::atomic<bool> gUnnamedFiles{true};

/// A new file in folder `dir` that no one sees yet.
struct PendingFile {
  sys::Fd fd;
  int dir = -1;
  std::string temporaryName; // empty for an unnamed file

  ~PendingFile() {
    if (!temporaryName.empty())
      sys::unlinkAt(dir, temporaryName.c_str(), 0);
  }

  int open(int folder) {
    dir = folder;
    if (gUnnamedFiles.load(std::memory_order_relaxed)) {
      fd.reset(sys::openAt(dir, ".", O_TMPFILE | O_WRONLY, 0600));
      if (fd.valid())
        return 0;
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return -1;
    }
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, ".quillmate-copy-%08x", random());
      fd.reset(sys::openAt(dir, name, O_CREAT | O_EXCL | O_WRONLY, 0600));
      if (fd.valid()) {
        temporaryName = name;
        return 0;
      }
      if (errno != EEXIST)
        return -1;
    }
    return -1;
  }

  /// Gives the file its name; never replaces an object of that name.
  int publish(const std::string &name, FSVolumeRefNum volume) {
    if (temporaryName.empty())
      return sys::linkUnnamed(fd.get(), dir, name.c_str());
    if (renameWithoutReplacing(dir, temporaryName.c_str(), dir, name.c_str(), volume, kNoNode) <
        0)
      return -1;
    temporaryName.clear();
    return 0;
  }
};

} // namespace

namespace testing {
void copyIntoUnnamedFiles(bool unnamed) { gUnnamedFiles.store(unnamed, std::memory_order_relaxed); }
} // namespace testing

namespace {

/// The file a copy reads and the folder it goes into: `source` located at
/// `from` with `stx` (size, dates), a regular file on the volume of `dest`,
/// whose descriptor is `destFd`.
OSErr copyEnds(const CopyParam &p, uint32_t &source, uint32_t &dest, Location &from,
               struct statx &stx, int &destFd) {
  NodeTable &table = NodeTable::shared();
  if (OSErr err = resolveSpec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, source))
    return err;
  if (OSErr err = resolveSpec(p.ioDstVRefNum, p.ioNewDirID, p.ioNewName, dest))
    return err;
  if (OSErr err = table.locate(source, from, &stx, STATX_SIZE | STATX_MTIME | STATX_BTIME))
    return err;
  if (S_ISDIR(stx.stx_mode))
    return notAFileErr;
  if (!S_ISREG(stx.stx_mode))
    return permErr; // links, devices, FIFOs have no forks to copy
  if (table.node(source).volume != table.node(dest).volume)
    return diffVolErr; // the file system copies only within itself
  return folderForChange(dest, destFd);
}

/// Opens the source, located with `stx`, for reading.  Non-blocking, and
/// checked once open: a FIFO put in the file's place meanwhile must neither
/// block the call nor be copied (fnfErr).
OSErr openSource(const Location &from, const struct statx &stx, sys::Fd &in) {
  in.reset(sys::openAt(from.dirfd, from.name, O_RDONLY | O_NONBLOCK));
  if (!in.valid())
    return sys::lastStatus();
  struct statx opened;
  if (sys::statxAt(in.get(), "", STATX_TYPE | STATX_INO, &opened) < 0)
    return sys::lastStatus();
  return S_ISREG(opened.stx_mode) && opened.stx_ino == stx.stx_ino ? OSErr(noErr)
                                                                    : OSErr(fnfErr);
}

/// The copy keeps the source's creation date (its birth time `stx`), which
/// the kernel cannot set: it goes into the copy's metadata record as an
/// explicit date, unless the record carried one along.
OSErr keepCreationDate(int copy, const struct statx &stx) {
  Metadata meta;
  if (OSErr err = Metadata::read(copy, "", meta))
    return err;
  if ((meta.flags & Metadata::kHasCreateDate) || !(stx.stx_mask & STATX_BTIME) ||
      stx.stx_btime.tv_sec == 0)
    return noErr;
  meta.createDate = toUTC(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
  meta.flags |= Metadata::kHasCreateDate;
  return meta.write(copy, "");
}

/// Writes everything of the source `in` (statx `stx`) into the unnamed copy
/// `out`: the data fork, the attributes, the creation and modification
/// dates, and the mode last: a locked source makes a locked copy, whose
/// write bits are gone only once everything is written.
OSErr writeCopy(int in, const struct statx &stx, int out) {
  if (copyContents(in, out, static_cast<off_t>(stx.stx_size)) < 0 || copyAttributes(in, out) < 0)
    return sys::lastStatus();
  if (OSErr err = keepCreationDate(out, stx))
    return err;
  const struct timespec times[2] = {{0, UTIME_NOW},
                                    {stx.stx_mtime.tv_sec, static_cast<long>(stx.stx_mtime.tv_nsec)}};
  if (sys::utimensAt(out, "", times) < 0 || sys::chmodAt(out, "", stx.stx_mode & 07777) < 0)
    return sys::lastStatus();
  return noErr;
}

/// The `._` file of the source at `from` (statx `stx`), copied for the
/// unnamed copy `copy` that is to be named `name` in `destFd`, before the
/// copy gets its name: the copy never appears without it.  A source whose
/// `._` file is not its own (stranded) or cannot be read (damaged) gives the
/// copy none.  `ino`: the copy's `._` file, 0 for none.
OSErr copySidecar(const Location &from, const struct statx &stx, int copy, int destFd,
                  const std::string &name, uint64_t &ino) {
  sidecar::File source;
  sidecar::Found found;
  if (OSErr err = sidecar::open(from.dirfd, from.name, stx, O_RDONLY, source, found))
    return err;
  if (found != sidecar::Found::Attached)
    return noErr;
  struct statx made;
  if (sys::statxAt(copy, "", STATX_INO | STATX_BTIME | STATX_MODE, &made) != 0)
    return sys::lastStatus();
  return sidecar::copy(source.fd.get(), destFd, name.c_str(), made, ino);
}

/// Takes back the `._` file copySidecar() made, while it is still that file.
void removeSidecarCopy(int destFd, const std::string &name, uint64_t ino) {
  std::string sidecarName;
  struct statx stx;
  if (ino && sidecar::nameOf(name, sidecarName) &&
      sys::statxAt(destFd, sidecarName.c_str(), STATX_INO, &stx) == 0 && stx.stx_ino == ino)
    sys::unlinkAt(destFd, sidecarName.c_str(), 0);
}

} // namespace

OSErr PosixFileManager::copyFile(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  CopyParam &p = pb->copyParam;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t source, dest;
  Location from;
  struct statx stx;
  int destFd;
  if (OSErr err = copyEnds(p, source, dest, from, stx, destFd))
    return finish(p, err);
  std::string given, composed;
  if (OSErr err = newNameOf(p.ioCopyName, table.node(source).name, given, composed))
    return finish(p, err);
  if (OSErr err = checkFree(destFd, composed, given))
    return finish(p, err);
  sys::Fd in;
  if (OSErr err = openSource(from, stx, in))
    return finish(p, err);
  PendingFile out;
  if (out.open(destFd) < 0)
    return finish(p, sys::lastStatus());
  if (OSErr err = writeCopy(in.get(), stx, out.fd.get()))
    return finish(p, err);
  uint64_t sidecarIno = 0;
  if (OSErr err = copySidecar(from, stx, out.fd.get(), destFd, composed, sidecarIno))
    return finish(p, err);
  if (out.publish(composed, table.node(dest).volume) < 0) {
    const OSErr err = errno == EEXIST ? OSErr(dupFNErr) : sys::lastStatus();
    removeSidecarCopy(destFd, composed, sidecarIno);
    return finish(p, err);
  }
  struct statx made;
  uint32_t index;
  if (sys::statxAt(destFd, composed.c_str(), kIdentityMask, &made) == 0)
    table.intern(dest, composed, made, index, destFd);
  table.touched(dest);
  return finish(p, noErr);
}

OSErr PosixFileManager::moveRename(HParmBlkPtr pb) {
  if (!pb)
    return paramErr;
  CopyParam &p = pb->copyParam;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index, dest;
  if (OSErr err = resolveSpec(p.ioVRefNum, p.ioDirID, p.ioNamePtr, index))
    return finish(p, err);
  // The destination is on the object's volume: the block names one volume.
  // Volume 0 stays 0, so that directory 0 is the default folder here too (a
  // zeroed block then moves the default folder into itself: badMovErr).
  const FSVolumeRefNum destVolume = p.ioVRefNum == 0 ? 0 : table.node(index).volume;
  if (OSErr err = resolveSpec(destVolume, p.ioNewDirID, p.ioNewName, dest))
    return finish(p, err);
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx))
    return finish(p, err);
  if (table.node(index).parent == kNoNode)
    return finish(p, badMovErr); // a volume's root folder
  if (OSErr err = lockedForChange(where, stx))
    return finish(p, err);
  int destFd;
  if (OSErr err = folderForChange(dest, destFd))
    return finish(p, err);
  for (uint32_t up = dest; up != kNoNode; up = table.node(up).parent)
    if (up == index)
      return finish(p, badMovErr); // into its own subtree

  const std::string current = table.node(index).name;
  std::string given, composed;
  if (OSErr err = newNameOf(p.ioCopyName, current, given, composed))
    return finish(p, err);
  const uint32_t parent = table.node(index).parent;
  if (dest == parent && composed == current)
    return finish(p, noErr);
  if (OSErr err = checkFree(destFd, composed, given, dest == parent ? &current : nullptr))
    return finish(p, err);
  SidecarCarrier carried;
  if (OSErr err = carried.prepare(where.dirfd, where.name, destFd, composed.c_str(),
                                  table.node(index).volume))
    return finish(p, err);
  // One call, never replacing: what another process put there meanwhile
  // stays, and the kernel refuses a move into the own subtree.
  if (renameWithoutReplacing(where.dirfd, where.name, destFd, composed.c_str(),
                             table.node(index).volume, index) < 0)
    return finish(p, errno == EINVAL ? OSErr(badMovErr) : sys::lastStatus());
  carried.finish();
  table.moved(index, dest, composed);
  table.touched(parent);
  table.touched(dest);
  return finish(p, noErr);
}

} // namespace quillmate::fm
