// The one place where the File Manager calls the kernel, and the one table
// from errno to the platform's status codes.
//
// Every call retries EINTR and answers -1 with errno set, like the call it
// wraps.  Calls take a folder descriptor and a name: nothing here follows a
// symbolic link met inside a folder (AT_SYMLINK_NOFOLLOW / O_NOFOLLOW), and
// nothing builds a full path.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_SYSCALLS_H
#define QUILLMATE_PLATFORM_FILEMANAGER_SYSCALLS_H

#include <CoreServices/Files.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

struct statvfs;

namespace quillmate::fm::sys {

int openAt(int dirfd, const char *name, int flags, mode_t mode = 0);
int close(int fd);
/// statx with AT_SYMLINK_NOFOLLOW; an empty name stats `dirfd` itself.
int statxAt(int dirfd, const char *name, unsigned mask, struct statx *out);
int mkdirAt(int dirfd, const char *name, mode_t mode);
int unlinkAt(int dirfd, const char *name, int flags);
int renameAt2(int fromfd, const char *from, int tofd, const char *to,
              unsigned flags);
/// Mode change of the object itself; EOPNOTSUPP for a symbolic link.
int chmodAt(int dirfd, const char *name, mode_t mode);
int chownAt(int dirfd, const char *name, uid_t uid, gid_t gid);
int utimensAt(int dirfd, const char *name, const struct timespec times[2]);
/// Extended attributes of the object named by `dirfd`/`name`, never of a
/// link's target; with an empty name, of `dirfd` itself (getXattrAt also
/// when it is an O_PATH descriptor).  getXattrAt answers the value's size
/// (with `size` 0: its size without reading it).
ssize_t getXattrAt(int dirfd, const char *name, const char *attr, void *value,
                   size_t size);
int setXattrAt(int dirfd, const char *name, const char *attr, const void *value,
               size_t size, int flags);
int removeXattrAt(int dirfd, const char *name, const char *attr);
/// Names of the extended attributes of the open file `fd`, each ending in
/// NUL; with `size` 0, the size the list needs.
ssize_t listXattr(int fd, char *list, size_t size);
/// Raw directory entries (struct linux_dirent64) of an open folder.
ssize_t getDents(int fd, void *buffer, size_t size);
/// A non-zero digest of the file system's handle of the object (which
/// carries the inode's generation on ext4 and tmpfs); -1 where the file
/// system gives no handle.
int handleDigest(int dirfd, const char *name, uint32_t &digest);
ssize_t readLink(int dirfd, const char *name, char *buffer, size_t size);
ssize_t pread(int fd, void *buffer, size_t size, off_t offset);
ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset);

/// The process's current directory: changes it to the folder `fd` names
/// (an O_PATH descriptor will do), and reads its absolute path.
int fchDir(int fd);
int getCwd(std::string &out);
/// Server-side copies of `fd`'s contents.  cloneFile makes `to` share
/// `from`'s blocks (FICLONE); copyRange copies up to `size` bytes at the
/// given offsets inside the kernel and answers the count.
int cloneFile(int to, int from);
ssize_t copyRange(int from, off_t *fromOffset, int to, off_t *toOffset, size_t size);
/// lseek (SEEK_DATA, SEEK_HOLE for sparse files), ftruncate, fsync.
off_t seek(int fd, off_t offset, int whence);
int truncate(int fd, off_t size);
int sync(int fd);
/// Gives a name to an unnamed file opened with O_TMPFILE, through its
/// /proc/self/fd entry (which needs no privilege, unlike AT_EMPTY_PATH).
int linkUnnamed(int fd, int dirfd, const char *name);
/// A new open file description of the file `fd` is open to, with `flags`
/// (O_RDONLY or O_RDWR; close-on-exec), through its /proc/self/fd entry:
/// the file itself, whatever its name is now.
int reopen(int fd, int flags);
/// A second name for the object `from` inside `fromfd` (never a link's target).
int linkAt(int fromfd, const char *from, int tofd, const char *to);
/// Volumes: the file system's figures of the volume holding `fd` (an O_PATH
/// descriptor will do); its label (FS_IOC_GETFSLABEL on a folder opened for
/// reading), -1 with ENOTTY where the file system has none; mount(2).
int statVfs(int fd, struct statvfs *out);
int fsLabel(int fd, char *buffer, size_t size);
int mount(const char *source, const char *target, const char *type,
          unsigned long flags, const char *data);
int symlinkAt(const char *target, int dirfd, const char *name);
ssize_t read(int fd, void *buffer, size_t size);
/// poll(2) of one descriptor for POLLPRI without waiting: 1 when an event
/// is pending (for /proc/self/mountinfo: the mount table changed), 0 if not.
int pollPriority(int fd);
/// The soft limit on this process's open descriptors (RLIMIT_NOFILE);
/// SIZE_MAX for none.
size_t descriptorLimit();

/// Plain I/O and descriptor state of open forks.
ssize_t write(int fd, const void *buffer, size_t size);
/// Clears O_NONBLOCK (forks are opened non-blocking so that a FIFO put in a
/// file's place never blocks the open).
int setBlocking(int fd);
/// POSIX_FADV_DONTNEED over a range: the pages may go once written back.
int adviseDontNeed(int fd, off_t start, off_t length);
/// An open-file-description lock (F_OFD_SETLK) of a byte range: `type` is
/// F_RDLCK (shared; the descriptor must be open for reading), F_WRLCK
/// (exclusive; open for writing) or F_UNLCK.  EAGAIN or EACCES when another
/// description holds a lock that conflicts.
int rangeLock(int fd, short type, off_t start, off_t length);
/// An exclusive flock(2) of the whole file `fd` is open to (shared with
/// `shared`), held until the description is closed, waiting for it at most
/// `waitMicroseconds`: EWOULDBLOCK when another description holds one that
/// conflicts longer.  Independent of the range locks above.
int lockWhole(int fd, int waitMicroseconds, bool shared = false);
/// Lets go of lockWhole()'s lock before the description is closed.
int unlockWhole(int fd);
/// faccessat with the effective IDs, never following a link inside the folder.
int accessAt(int dirfd, const char *name, int mode);
/// The absolute path without symbolic links (realpath).
int realPath(const char *path, std::string &out);

/// Tests: take the path every kernel has for extended attributes and modes
/// (through /proc/self/fd) instead of the *at calls of recent kernels, as
/// the layer does by itself when those answer ENOSYS.
void useLegacyCalls(bool legacy);

/// Which family of call failed: a few errno values answer differently for
/// catalog calls and for opening a fork.
enum class Context { Catalog, Iterator, Fork };

/// The platform's status for `err`.
OSErr statusFor(int err, Context context = Context::Catalog);
/// statusFor(errno, context).
OSErr lastStatus(Context context = Context::Catalog);

/// Closes a descriptor when it goes out of scope.
class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(o.release()) {}
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      reset(o.release());
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      sys::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

} // namespace quillmate::fm::sys

#endif
