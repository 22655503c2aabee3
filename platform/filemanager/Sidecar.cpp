#include "platform/filemanager/Sidecar.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quillmate::fm::sidecar {

namespace {

constexpr size_t kOwnerSize = 24;
/// How long a header change waits for another process's: those hold the
/// lock for a few small reads and writes.
constexpr int kLockWait = 1000 * 1000;

int64_t birthOf(const struct statx &stx) {
  if (!(stx.stx_mask & STATX_BTIME))
    return 0;
  return int64_t(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
}

void putLE64(UInt8 *p, uint64_t v) {
  for (int i = 0; i < 8; ++i)
    p[i] = UInt8(v >> (8 * i));
}

uint64_t getLE64(const UInt8 *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = v << 8 | p[i];
  return v;
}

bool noAttributes(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }

/// Writes all of `size` bytes at `offset`; -1 with errno set.
int writeAll(int fd, const void *data, size_t size, off_t offset) {
  const UInt8 *p = static_cast<const UInt8 *>(data);
  while (size) {
    ssize_t n = sys::pwrite(fd, p, size, offset);
    if (n < 0)
      return -1;
    if (n == 0) {
      errno = ENOSPC;
      return -1;
    }
    p += n;
    size -= size_t(n);
    offset += n;
  }
  return 0;
}

/// Copies `length` bytes at `from` in `in` to `to` in `out`.
int copyBytes(int in, uint64_t from, int out, uint64_t to, uint64_t length) {
  std::vector<UInt8> buffer(std::min<uint64_t>(length, 1 << 20));
  while (length) {
    size_t want = size_t(std::min<uint64_t>(length, buffer.size()));
    ssize_t n = sys::pread(in, buffer.data(), want, off_t(from));
    if (n < 0)
      return -1;
    if (n == 0) { // the file is shorter than its header says
      errno = EIO;
      return -1;
    }
    if (writeAll(out, buffer.data(), size_t(n), off_t(to)) != 0)
      return -1;
    from += uint64_t(n);
    to += uint64_t(n);
    length -= uint64_t(n);
  }
  return 0;
}

/// A hidden name nobody else uses, for a file being made.
std::string hiddenName() {
  uint64_t r = 0;
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r)
    r = uint64_t(::getpid()) << 32 ^ uint64_t(reinterpret_cast<uintptr_t>(&r));
  char name[48];
  std::snprintf(name, sizeof name, ".quillmate-sidecar-%016llx", (unsigned long long)r);
  return name;
}

/// A file to make a `._` file in: unnamed where the file system has them,
/// else under a hidden name (`hidden` then holds it).
OSErr openUnfinished(int dirfd, mode_t mode, sys::Fd &fd, std::string &hidden) {
  fd.reset(sys::openAt(dirfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
  if (fd.valid())
    return noErr;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
    return sys::lastStatus();
  for (int tries = 0; tries < 8; ++tries) {
    hidden = hiddenName();
    fd.reset(sys::openAt(dirfd, hidden.c_str(),
                         O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.valid())
      return noErr;
    if (errno != EEXIST)
      return sys::lastStatus();
  }
  return dupFNErr;
}

/// Gives the finished file `fd` the name `final` inside `dirfd`, in the
/// place of a file there when `replace`; dupFNErr when one is and not.
OSErr place(int dirfd, int fd, const std::string &hidden, const std::string &final,
            bool replace) {
  if (hidden.empty()) {
    if (sys::linkUnnamed(fd, dirfd, final.c_str()) == 0)
      return noErr;
    if (errno != EEXIST)
      return sys::lastStatus();
    if (!replace)
      return dupFNErr;
    // A name of its own first, then over the one there in one rename.
    std::string temporary = hiddenName();
    if (sys::linkUnnamed(fd, dirfd, temporary.c_str()) != 0)
      return sys::lastStatus();
    if (sys::renameAt2(dirfd, temporary.c_str(), dirfd, final.c_str(), 0) == 0)
      return noErr;
    OSErr err = sys::lastStatus();
    sys::unlinkAt(dirfd, temporary.c_str(), 0);
    return err;
  }
  int r = sys::renameAt2(dirfd, hidden.c_str(), dirfd, final.c_str(), replace ? 0 : RENAME_NOREPLACE);
  if (r != 0 && !replace && errno == EINVAL) {
    // No RENAME_NOREPLACE here (some FUSE file systems): a link fails as well
    // when the name is taken.
    r = sys::linkAt(dirfd, hidden.c_str(), dirfd, final.c_str());
    if (r == 0)
      sys::unlinkAt(dirfd, hidden.c_str(), 0);
  }
  if (r == 0)
    return noErr;
  OSErr err = errno == EEXIST ? OSErr(dupFNErr) : sys::lastStatus();
  sys::unlinkAt(dirfd, hidden.c_str(), 0);
  return err;
}

constexpr unsigned kFileMask = STATX_TYPE | STATX_SIZE | STATX_INO | STATX_NLINK;

/// Reads and parses the header of the `._` file `fd`, `size` bytes long:
/// ioErr when it is damaged.
OSErr parseHeader(int fd, uint64_t size, dbl::Header &out) {
  UInt8 bytes[dbl::kMaxHeaderSize];
  ssize_t n = sys::pread(fd, bytes, sizeof bytes, 0);
  if (n < 0)
    return sys::lastStatus(sys::Context::Fork);
  return dbl::Header::parse(bytes, size_t(n), size, out) == dbl::Damage::None ? OSErr(noErr)
                                                                            : OSErr(ioErr);
}

/// The header of the `._` file `fd`, whose statx (kFileMask) is `stx`.  A
/// reader without the file's lock (`locked`) may meet a header that another
/// process changed between the look at the size and the read, which then do
/// not fit: it reads both again under a shared lock, which every change of a
/// header keeps out.  ioErr when it is damaged.
OSErr readHeader(int fd, bool locked, struct statx &stx, dbl::Header &out) {
  OSErr err = parseHeader(fd, stx.stx_size, out);
  if (err != ioErr || locked)
    return err;
  if (sys::lockWhole(fd, kLockWait, true) != 0)
    return errno == EWOULDBLOCK ? OSErr(fBsyErr) : sys::lastStatus(sys::Context::Fork);
  err = sys::statxAt(fd, "", kFileMask, &stx) == 0 ? parseHeader(fd, stx.stx_size, out)
                                                   : sys::lastStatus(sys::Context::Fork);
  sys::unlockWhole(fd);
  return err;
}

/// Opens the file just put in place as `final`, made under a hidden name,
/// again by its name, with its statx (STATX_INO) into `stx`: a FUSE file
/// system may know the two names as two nodes, each with a cache of its
/// own, and every later opener goes through the name.  The descriptor made
/// stays where that fails.
void openByName(int dirfd, const std::string &final, sys::Fd &fd, struct statx &stx) {
  sys::Fd again(sys::openAt(dirfd, final.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (again.valid() && sys::statxAt(again.get(), "", STATX_INO, &stx) == 0)
    fd = std::move(again);
}

/// Gives up an unfinished `._` file (openUnfinished): its hidden name goes,
/// when it has one; answers `err`.
OSErr abandonUnfinished(int dirfd, const std::string &hidden, OSErr err) {
  if (!hidden.empty())
    sys::unlinkAt(dirfd, hidden.c_str(), 0);
  return err;
}

/// Finishes the `._` file `fd` that openUnfinished made for `object`,
/// every byte written: records its owner, then puts it at `final` (place).
/// `stx` receives its inode number.  A failure before the placing gives it
/// up; place() cleans up after itself.
OSErr seal(int dirfd, int fd, const std::string &hidden, const std::string &final,
           const struct statx &object, bool replace, struct statx &stx) {
  if (sys::statxAt(fd, "", STATX_INO, &stx) != 0)
    return abandonUnfinished(dirfd, hidden, sys::lastStatus());
  if (OSErr err = writeOwner(fd, stx.stx_ino, object))
    return abandonUnfinished(dirfd, hidden, err);
  return place(dirfd, fd, hidden, final, replace);
}

/// seal(), then `out` describes the new `._` file: its descriptor (opened
/// again by its name when it was made under a hidden one), `header`, `size`,
/// one link, unlocked.
OSErr sealInto(int dirfd, sys::Fd fd, const std::string &hidden, const std::string &final,
               const struct statx &object, bool replace, const dbl::Header &header,
               uint64_t size, File &out) {
  struct statx stx;
  if (OSErr err = seal(dirfd, fd.get(), hidden, final, object, replace, stx))
    return err;
  if (!hidden.empty())
    openByName(dirfd, final, fd, stx);
  out.fd = std::move(fd);
  out.header = header;
  out.size = size;
  out.ino = stx.stx_ino;
  out.links = 1;
  out.locked = false;
  return noErr;
}

} // namespace

bool isReserved(std::string_view name) {
  return name.size() > kPrefix.size() && name.substr(0, kPrefix.size()) == kPrefix;
}

bool nameOf(std::string_view name, std::string &out) {
  char buffer[kNameBufferSize];
  if (!nameOf(name, buffer))
    return false;
  out.assign(buffer);
  return true;
}

bool nameOf(std::string_view name, char (&out)[kNameBufferSize]) {
  static_assert(kNameBufferSize == NAME_MAX + 1);
  if (name.empty() || name.size() + kPrefix.size() > NAME_MAX)
    return false;
  std::memcpy(out, kPrefix.data(), kPrefix.size());
  std::memcpy(out + kPrefix.size(), name.data(), name.size());
  out[kPrefix.size() + name.size()] = '\0';
  return true;
}

OSErr File::currentForkLength(uint64_t &length) const {
  const dbl::Entry *e = fork();
  if (!e) {
    length = 0;
    return noErr;
  }
  UInt8 field[4];
  if (sys::pread(fd.get(), field, 4, off_t(dbl::Header::lengthFieldAt(header.indexOf(*e)))) != 4)
    return ioErr;
  length = dbl::get32(field);
  return noErr;
}

bool readOwner(int fd, Owner &out) {
  UInt8 bytes[kOwnerSize];
  if (sys::getXattrAt(fd, "", kOwnerAttribute, bytes, sizeof bytes) != ssize_t(kOwnerSize))
    return false;
  out.objectIno = getLE64(bytes);
  out.objectBirth = int64_t(getLE64(bytes + 8));
  out.selfIno = getLE64(bytes + 16);
  return true;
}

OSErr writeOwner(int fd, uint64_t selfIno, const struct statx &object) {
  UInt8 bytes[kOwnerSize];
  putLE64(bytes, object.stx_ino);
  putLE64(bytes + 8, uint64_t(birthOf(object)));
  putLE64(bytes + 16, selfIno);
  if (sys::setXattrAt(fd, "", kOwnerAttribute, bytes, sizeof bytes, 0) == 0 || noAttributes(errno))
    return noErr;
  return sys::lastStatus();
}

namespace {

/// Whose the regular `._` file `fd` is (statx `stx`, kFileMask) beside the
/// object `object`: Damaged, Stranded or Attached, with its header in
/// `header`.  `locked`: the caller holds its lock.
OSErr classify(int fd, bool locked, struct statx &stx, const struct statx &object,
               dbl::Header &header, Found &found) {
  if (OSErr err = readHeader(fd, locked, stx, header)) {
    if (err != ioErr)
      return err;
    found = Found::Damaged;
    return noErr;
  }
  Owner owner;
  if (readOwner(fd, owner) && owner.selfIno == stx.stx_ino &&
      (owner.objectIno != object.stx_ino ||
       (owner.objectBirth && birthOf(object) && owner.objectBirth != birthOf(object)))) {
    found = Found::Stranded;
    return noErr;
  }
  found = Found::Attached;
  return noErr;
}

/// For a create() that replaces the `._` file `sidecar` of `object`: that
/// file, opened and locked in `held`, as long as it is still there and not
/// the object's.  dupFNErr when another opener has put one of the object's
/// in its place meanwhile (two replacing at once: the second must not put
/// its own over the first's, which may hold writes already).
OSErr holdReplaced(int dirfd, const std::string &sidecar, const struct statx &object,
                   sys::Fd &held) {
  held.reset(sys::openAt(dirfd, sidecar.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!held.valid())
    return noErr; // nothing there, or no file: nothing to keep from anyone
  if (sys::lockWhole(held.get(), kLockWait) != 0)
    return errno == EWOULDBLOCK ? OSErr(fBsyErr) : sys::lastStatus(sys::Context::Fork);
  struct statx stx, named;
  if (sys::statxAt(held.get(), "", kFileMask, &stx) != 0)
    return sys::lastStatus(sys::Context::Fork);
  if (sys::statxAt(dirfd, sidecar.c_str(), STATX_INO, &named) != 0 || named.stx_ino != stx.stx_ino)
    return dupFNErr; // replaced while this one waited
  if (!S_ISREG(stx.stx_mode))
    return noErr;
  dbl::Header header;
  Found found;
  if (OSErr err = classify(held.get(), true, stx, object, header, found))
    return err;
  return found == Found::Attached ? OSErr(dupFNErr) : OSErr(noErr);
}

} // namespace

OSErr open(int dirfd, const char *name, const struct statx &object, int flags, File &out,
           Found &found) {
  found = Found::None;
  char sidecar[kNameBufferSize];
  if (!nameOf(name, sidecar))
    return noErr;
  sys::Fd fd(sys::openAt(dirfd, sidecar, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    // Nothing there, or something that is no `._` file: a link, a folder, a
    // FIFO without a reader.
    if (errno == ENOENT || errno == ELOOP || errno == EISDIR || errno == ENXIO || errno == ENOTDIR)
      return noErr;
    return sys::lastStatus(sys::Context::Fork);
  }
  struct statx stx;
  if (sys::statxAt(fd.get(), "", kFileMask, &stx) != 0)
    return sys::lastStatus(sys::Context::Fork);
  if (!S_ISREG(stx.stx_mode))
    return noErr;
  if (OSErr err = classify(fd.get(), false, stx, object, out.header, found))
    return err;
  if (found != Found::Attached)
    return noErr;
  out.size = stx.stx_size;
  out.ino = stx.stx_ino;
  out.links = stx.stx_nlink;
  out.locked = false;
  out.fd = std::move(fd);
  return noErr;
}

OSErr reread(File &file) {
  struct statx stx;
  if (sys::statxAt(file.fd.get(), "", kFileMask, &stx) != 0)
    return sys::lastStatus(sys::Context::Fork);
  if (OSErr err = readHeader(file.fd.get(), file.locked, stx, file.header))
    return err;
  file.size = stx.stx_size;
  file.ino = stx.stx_ino;
  file.links = stx.stx_nlink;
  return noErr;
}

OSErr create(int dirfd, const char *name, const struct statx &object, const UInt8 *finderInfo,
             const void *fork, size_t forkLength, bool replace, File &out) {
  std::string sidecar;
  if (!nameOf(name, sidecar))
    return errFSNameTooLong;
  if (forkLength > kMaxForkLength)
    return dskFulErr;
  sys::Fd held; // the file replaced, locked until the new one is in its place
  if (replace)
    if (OSErr err = holdReplaced(dirfd, sidecar, object, held))
      return err;
  const mode_t mode = (object.stx_mode & 0666) | 0600;
  sys::Fd fd;
  std::string hidden;
  if (OSErr err = openUnfinished(dirfd, mode, fd, hidden))
    return err;
  auto abandon = [&](OSErr err) { return abandonUnfinished(dirfd, hidden, err); };

  dbl::Header header = dbl::sidecarHeader(UInt32(forkLength));
  UInt8 head[dbl::kSidecarForkOffset] = {};
  header.encode(head);
  if (finderInfo)
    std::memcpy(head + dbl::kSidecarFinderInfoOffset, finderInfo, dbl::kFinderInfoSize);
  if (writeAll(fd.get(), head, sizeof head, 0) != 0 ||
      (forkLength && writeAll(fd.get(), fork, forkLength, dbl::kSidecarForkOffset) != 0))
    return abandon(sys::lastStatus(sys::Context::Fork));
  return sealInto(dirfd, std::move(fd), hidden, sidecar, object, replace, header,
                  dbl::kSidecarForkOffset + forkLength, out);
}

OSErr copy(int from, int dirfd, const char *name, const struct statx &object, uint64_t &ino) {
  std::string sidecar;
  if (!nameOf(name, sidecar))
    return errFSNameTooLong;
  struct statx source;
  if (sys::statxAt(from, "", STATX_SIZE, &source) != 0)
    return sys::lastStatus(sys::Context::Fork);
  sys::Fd fd;
  std::string hidden;
  if (OSErr err = openUnfinished(dirfd, (object.stx_mode & 0666) | 0600, fd, hidden))
    return err;
  auto abandon = [&](OSErr err) { return abandonUnfinished(dirfd, hidden, err); };
  // Inside the kernel where the file system can, else through a buffer.
  off_t in = 0, out = 0;
  while (uint64_t(in) < source.stx_size) {
    const ssize_t n = sys::copyRange(from, &in, fd.get(), &out, size_t(source.stx_size - uint64_t(in)));
    if (n <= 0)
      break;
  }
  if (uint64_t(in) < source.stx_size &&
      copyBytes(from, uint64_t(in), fd.get(), uint64_t(out), source.stx_size - uint64_t(in)) != 0)
    return abandon(sys::lastStatus(sys::Context::Fork));
  struct statx stx;
  if (OSErr err = seal(dirfd, fd.get(), hidden, sidecar, object, true, stx))
    return err;
  ino = stx.stx_ino;
  return noErr;
}

OSErr writeFinderInfo(const File &file, const UInt8 finderInfo[dbl::kFinderInfoSize]) {
  const dbl::Entry *e = file.finderInfo();
  if (!e || e->length < dbl::kFinderInfoSize)
    return paramErr;
  if (writeAll(file.fd.get(), finderInfo, dbl::kFinderInfoSize, off_t(e->offset)) != 0)
    return sys::lastStatus(sys::Context::Fork);
  return noErr;
}

bool readFinderInfo(const File &file, UInt8 out[dbl::kFinderInfoSize]) {
  const dbl::Entry *e = file.finderInfo();
  if (!e || e->length < dbl::kFinderInfoSize)
    return false;
  if (sys::pread(file.fd.get(), out, dbl::kFinderInfoSize, off_t(e->offset)) !=
      ssize_t(dbl::kFinderInfoSize))
    return false;
  return std::any_of(out, out + dbl::kFinderInfoSize, [](UInt8 b) { return b != 0; });
}

OSErr setForkLength(File &file, uint64_t length) {
  dbl::Entry *e = file.header.find(dbl::kResourceFork);
  if (!e || !file.header.isLast(file.header.indexOf(*e)))
    return paramErr;
  if (length > UINT32_MAX - e->offset)
    return dskFulErr; // the format counts in 32 bits
  uint64_t current;
  if (OSErr err = file.currentForkLength(current)) // another process may have changed it
    return err;
  const int fd = file.fd.get();
  const uint64_t oldEnd = e->offset + current, newEnd = e->offset + length;
  UInt8 field[4];
  dbl::put32(field, UInt32(length));
  const off_t fieldAt = off_t(dbl::Header::lengthFieldAt(file.header.indexOf(*e)));
  // The header never claims bytes the file lacks, whenever a kill comes: a
  // longer fork is made room for before the header says so, a shorter one
  // is said before the file is cut.  Bytes a grown fork gains are zeros,
  // whatever lay past the old end.
  if (length >= current) {
    if ((file.size != oldEnd && sys::truncate(fd, off_t(oldEnd)) != 0) ||
        sys::truncate(fd, off_t(newEnd)) != 0 || writeAll(fd, field, 4, fieldAt) != 0)
      return sys::lastStatus(sys::Context::Fork);
  } else if (writeAll(fd, field, 4, fieldAt) != 0 || sys::truncate(fd, off_t(newEnd)) != 0) {
    return sys::lastStatus(sys::Context::Fork);
  }
  e->length = UInt32(length);
  file.size = newEnd;
  return noErr;
}

OSErr writeFork(File &file, uint64_t start, const void *data, size_t count) {
  dbl::Entry *e = file.header.find(dbl::kResourceFork);
  if (!e || !file.header.isLast(file.header.indexOf(*e)))
    return paramErr;
  if (start > UINT32_MAX - e->offset || count > UINT32_MAX - e->offset - start)
    return dskFulErr; // the format counts in 32 bits
  uint64_t current;
  if (OSErr err = file.currentForkLength(current))
    return err;
  const int fd = file.fd.get();
  const uint64_t oldEnd = e->offset + current, end = start + count;
  // Bytes past the old end that a kill left there must not show in a gap.
  if (end > current && start > current && file.size > oldEnd &&
      sys::truncate(fd, off_t(oldEnd)) != 0)
    return sys::lastStatus(sys::Context::Fork);
  if (writeAll(fd, data, count, off_t(e->offset + start)) != 0) {
    OSErr err = sys::lastStatus(sys::Context::Fork);
    if (end > current && sys::truncate(fd, off_t(oldEnd)) == 0) // what it gained goes
      file.size = oldEnd;
    return err;
  }
  file.size = std::max(file.size, e->offset + end);
  if (end <= current)
    return noErr;
  UInt8 field[4];
  dbl::put32(field, UInt32(end));
  if (writeAll(fd, field, 4, off_t(dbl::Header::lengthFieldAt(file.header.indexOf(*e)))) != 0)
    return sys::lastStatus(sys::Context::Fork);
  e->length = UInt32(end);
  return noErr;
}

OSErr relayout(int dirfd, const char *name, const struct statx &object, File &file) {
  // The header as another process may have left it: a length taken from an
  // older reading would cut the fork it has grown since.
  if (OSErr err = reread(file))
    return err;
  dbl::Entry *fork = file.header.find(dbl::kResourceFork);
  if (fork && file.header.isLast(file.header.indexOf(*fork)))
    return noErr;
  dbl::Header fresh;
  fresh.filler = file.header.filler;
  for (size_t i = 0; i < file.header.count; ++i)
    if (file.header.entries[i].id != dbl::kResourceFork)
      fresh.entries[fresh.count++] = file.header.entries[i];
  if (fresh.count >= dbl::kMaxEntries)
    return ioErr;
  fresh.entries[fresh.count++] = fork ? *fork : dbl::Entry{dbl::kResourceFork, 0, 0};
  // Every entry where the last one ended, in the order the header lists them.
  uint64_t at = fresh.encodedSize();
  for (size_t i = 0; i < fresh.count; ++i) {
    fresh.entries[i].offset = UInt32(at);
    at += fresh.entries[i].length;
  }
  if (at > UINT32_MAX)
    return dskFulErr;

  std::string sidecar;
  nameOf(name, sidecar);
  const mode_t mode = (object.stx_mode & 0666) | 0600;
  sys::Fd fd;
  std::string hidden;
  if (OSErr err = openUnfinished(dirfd, mode, fd, hidden))
    return err;
  auto abandon = [&](OSErr err) { return abandonUnfinished(dirfd, hidden, err); };
  std::vector<UInt8> head(fresh.encodedSize());
  fresh.encode(head.data());
  if (writeAll(fd.get(), head.data(), head.size(), 0) != 0)
    return abandon(sys::lastStatus(sys::Context::Fork));
  for (size_t i = 0; i < fresh.count; ++i) {
    const dbl::Entry *old = file.header.find(fresh.entries[i].id);
    if (old && copyBytes(file.fd.get(), old->offset, fd.get(), fresh.entries[i].offset,
                         fresh.entries[i].length) != 0)
      return abandon(sys::lastStatus(sys::Context::Fork));
  }
  // The old file's lock goes with its descriptor.
  return sealInto(dirfd, std::move(fd), hidden, sidecar, object, true, fresh, at, file);
}

OSErr lock(File &file) {
  if (sys::lockWhole(file.fd.get(), kLockWait) != 0)
    return errno == EWOULDBLOCK ? OSErr(fBsyErr) : sys::lastStatus(sys::Context::Fork);
  file.locked = true;
  return noErr;
}

void unlock(File &file) {
  sys::unlockWhole(file.fd.get());
  file.locked = false;
}

bool isHidden(int dirfd, const char *name, mode_t type) {
  if (!isReserved(name))
    return false;
  struct statx stx;
  if (!type && sys::statxAt(dirfd, name, STATX_TYPE, &stx) == 0)
    type = stx.stx_mode;
  return S_ISREG(type) && sys::statxAt(dirfd, name + kPrefix.size(), STATX_TYPE, &stx) == 0;
}

bool removeLeftover(int dirfd, const char *name, const struct statx &stx) {
  if (!S_ISREG(stx.stx_mode) || stx.stx_nlink < 2 || !isReserved(name))
    return false;
  sys::Fd fd(sys::openAt(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  Owner owner;
  if (!fd.valid() || !readOwner(fd.get(), owner) || owner.selfIno != stx.stx_ino ||
      sys::lockWhole(fd.get(), 0) != 0)
    return false;
  // Under the lock: still this file under the name, still a second name,
  // still beside no object of the record's.
  struct statx self, there, object;
  if (sys::statxAt(fd.get(), "", STATX_INO | STATX_NLINK, &self) != 0 ||
      self.stx_ino != stx.stx_ino || self.stx_nlink < 2 ||
      sys::statxAt(dirfd, name, STATX_INO, &there) != 0 || there.stx_ino != self.stx_ino)
    return false;
  if (sys::statxAt(dirfd, name + kPrefix.size(), STATX_INO | STATX_BTIME, &object) == 0 &&
      object.stx_ino == owner.objectIno &&
      (!owner.objectBirth || !birthOf(object) || owner.objectBirth == birthOf(object)))
    return false; // the object's own
  return sys::unlinkAt(dirfd, name, 0) == 0;
}

void settleExchange(int dirfd, const char *name, const char *staged,
                    const struct statx &object) {
  std::string own;
  if (!nameOf(name, own))
    return;
  sys::Fd fd(sys::openAt(dirfd, staged, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct statx self;
  if (fd.valid() && sys::lockWhole(fd.get(), 0) == 0 &&
      sys::statxAt(fd.get(), "", STATX_TYPE | STATX_INO | STATX_NLINK, &self) == 0 &&
      S_ISREG(self.stx_mode)) {
    Owner owner;
    if (readOwner(fd.get(), owner) && owner.selfIno == self.stx_ino &&
        owner.objectIno == object.stx_ino &&
        (!owner.objectBirth || !birthOf(object) || owner.objectBirth == birthOf(object)))
      sys::renameAt2(dirfd, staged, dirfd, own.c_str(), 0);
    else if (self.stx_nlink >= 2)
      sys::unlinkAt(dirfd, staged, 0);
  }
  fd.reset();
  struct statx there;
  if (sys::statxAt(dirfd, own.c_str(), STATX_TYPE | STATX_INO | STATX_NLINK, &there) == 0)
    removeLeftover(dirfd, own.c_str(), there);
}

} // namespace quillmate::fm::sidecar
