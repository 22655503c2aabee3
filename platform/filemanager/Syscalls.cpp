#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

// Calls newer than the C library's wrappers (kernel 6.6 and 6.13).
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif
#ifndef SYS_setxattrat
#define SYS_setxattrat 463
#endif
#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_removexattrat
#define SYS_removexattrat 466
#endif

namespace quillmate::fm::sys {
namespace {

struct XattrArgs {
  uint64_t value;
  uint32_t size;
  uint32_t flags;
};

template <class F> auto retry(F &&f) {
  for (;;) {
    auto r = f();
    if (r >= 0 || errno != EINTR)
      return r;
  }
}

int atFlags(const char *name) {
  return AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
}

// Kernels before 6.13 have no getxattrat/setxattrat/removexattrat, and
// before 6.6 no fchmodat2.  There the object is reached through its own
// /proc/self/fd link: an O_PATH descriptor of the object itself (taken
// without following a link inside the folder), whose magic link the path
// calls follow to exactly that inode.
std::atomic<bool> gLegacy{false};

template <class F> auto throughProc(int dirfd, const char *name, F &&f) {
  int fd = dirfd, own = -1;
  if (name[0] != '\0') {
    own = retry([&] { return ::openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC); });
    if (own < 0)
      return decltype(f("", false))(-1);
    fd = own;
  }
  struct stat st;
  bool isLink = ::fstatat(fd, "", &st, AT_EMPTY_PATH) == 0 && S_ISLNK(st.st_mode);
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  auto r = f(path, isLink);
  int saved = errno;
  if (own >= 0)
    ::close(own);
  errno = saved;
  return r;
}

} // namespace

int openAt(int dirfd, const char *name, int flags, mode_t mode) {
  return retry([&] { return ::openat(dirfd, name, flags | O_CLOEXEC | O_NOFOLLOW, mode); });
}

int close(int fd) {
  // close is not retried: after EINTR the descriptor is already gone.
  return ::close(fd);
}

int statxAt(int dirfd, const char *name, unsigned mask, struct statx *out) {
  return retry([&] { return ::statx(dirfd, name, atFlags(name), mask, out); });
}

int mkdirAt(int dirfd, const char *name, mode_t mode) {
  return retry([&] { return ::mkdirat(dirfd, name, mode); });
}

int unlinkAt(int dirfd, const char *name, int flags) {
  return retry([&] { return ::unlinkat(dirfd, name, flags); });
}

int renameAt2(int fromfd, const char *from, int tofd, const char *to,
              unsigned flags) {
  return retry([&] { return ::renameat2(fromfd, from, tofd, to, flags); });
}

int chmodAt(int dirfd, const char *name, mode_t mode) {
  if (!gLegacy.load(std::memory_order_relaxed)) {
    int r = retry([&] {
      return static_cast<int>(::syscall(SYS_fchmodat2, dirfd, name, mode, atFlags(name)));
    });
    if (r == 0 || errno != ENOSYS)
      return r;
    gLegacy.store(true, std::memory_order_relaxed);
  }
  return throughProc(dirfd, name, [&](const char *path, bool isLink) {
    if (isLink) {
      errno = EOPNOTSUPP; // as fchmodat2 answers for a link
      return -1;
    }
    return retry([&] { return ::chmod(path, mode); });
  });
}

int chownAt(int dirfd, const char *name, uid_t uid, gid_t gid) {
  return retry([&] { return ::fchownat(dirfd, name, uid, gid, atFlags(name)); });
}

int utimensAt(int dirfd, const char *name, const struct timespec times[2]) {
  if (name[0] == '\0')
    return retry([&] { return ::futimens(dirfd, times); });
  return retry([&] { return ::utimensat(dirfd, name, times, AT_SYMLINK_NOFOLLOW); });
}

ssize_t getXattrAt(int dirfd, const char *name, const char *attr, void *value,
                   size_t size) {
  if (!gLegacy.load(std::memory_order_relaxed)) {
    // The kernel reads at most 64 KiB: a larger buffer is as good as 4 GiB.
    XattrArgs args{reinterpret_cast<uint64_t>(value),
                   static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX)), 0};
    ssize_t r = retry([&] {
      return static_cast<ssize_t>(
          ::syscall(SYS_getxattrat, dirfd, name, atFlags(name), attr, &args, sizeof args));
    });
    // An O_PATH descriptor itself (empty name) is refused with EBADF; its
    // /proc link reaches the object's attributes.
    if (r >= 0 || (errno != ENOSYS && (errno != EBADF || name[0] != '\0')))
      return r;
    if (errno == ENOSYS)
      gLegacy.store(true, std::memory_order_relaxed);
  }
  // A link carries no user attributes (the kernel allows them on files and
  // folders only), and a path call would reach its target.
  return throughProc(dirfd, name, [&](const char *path, bool isLink) -> ssize_t {
    if (isLink) {
      errno = ENODATA;
      return -1;
    }
    return retry([&] { return ::getxattr(path, attr, value, size); });
  });
}

int setXattrAt(int dirfd, const char *name, const char *attr, const void *value,
               size_t size, int flags) {
  if (size > UINT32_MAX) {
    errno = E2BIG; // as the kernel answers any value past 64 KiB; never cut to 32 bits
    return -1;
  }
  if (!gLegacy.load(std::memory_order_relaxed)) {
    XattrArgs args{reinterpret_cast<uint64_t>(value), static_cast<uint32_t>(size),
                   static_cast<uint32_t>(flags)};
    int r = retry([&] {
      return static_cast<int>(
          ::syscall(SYS_setxattrat, dirfd, name, atFlags(name), attr, &args, sizeof args));
    });
    if (r == 0 || errno != ENOSYS)
      return r;
    gLegacy.store(true, std::memory_order_relaxed);
  }
  return throughProc(dirfd, name, [&](const char *path, bool isLink) {
    if (isLink) {
      errno = EPERM;
      return -1;
    }
    return retry([&] { return ::setxattr(path, attr, value, size, flags); });
  });
}

int removeXattrAt(int dirfd, const char *name, const char *attr) {
  if (!gLegacy.load(std::memory_order_relaxed)) {
    int r = retry([&] {
      return static_cast<int>(::syscall(SYS_removexattrat, dirfd, name, atFlags(name), attr));
    });
    if (r == 0 || errno != ENOSYS)
      return r;
    gLegacy.store(true, std::memory_order_relaxed);
  }
  return throughProc(dirfd, name, [&](const char *path, bool isLink) {
    if (isLink) {
      errno = ENODATA;
      return -1;
    }
    return retry([&] { return ::removexattr(path, attr); });
  });
}

ssize_t write(int fd, const void *buffer, size_t size) {
  return retry([&] { return ::write(fd, buffer, size); });
}

int setBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int adviseDontNeed(int fd, off_t start, off_t length) {
  int err = ::posix_fadvise(fd, start, length, POSIX_FADV_DONTNEED);
  if (err) {
    errno = err;
    return -1;
  }
  return 0;
}

int rangeLock(int fd, short type, off_t start, off_t length) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = start;
  l.l_len = length;
  return retry([&] { return ::fcntl(fd, F_OFD_SETLK, &l); });
}

int lockWhole(int fd, int waitMicroseconds, bool shared) {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t deadline = now.tv_sec * 1000000 + now.tv_nsec / 1000 + waitMicroseconds;
  for (;;) {
    int r = retry([&] { return ::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB); });
    if (r == 0 || errno != EWOULDBLOCK)
      return r;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec * 1000000 + now.tv_nsec / 1000 >= deadline) {
      errno = EWOULDBLOCK;
      return -1;
    }
    ::usleep(100);
  }
}

int unlockWhole(int fd) {
  return retry([&] { return ::flock(fd, LOCK_UN); });
}

int accessAt(int dirfd, const char *name, int mode) {
  return retry([&] { return ::faccessat(dirfd, name, mode, AT_EACCESS | AT_SYMLINK_NOFOLLOW); });
}

int realPath(const char *path, std::string &out) {
  char *real = ::realpath(path, nullptr);
  if (!real)
    return -1;
  out.assign(real);
  std::free(real);
  return 0;
}

void useLegacyCalls(bool legacy) { gLegacy.store(legacy, std::memory_order_relaxed); }

ssize_t listXattr(int fd, char *list, size_t size) {
  return retry([&] { return ::flistxattr(fd, list, size); });
}

ssize_t getDents(int fd, void *buffer, size_t size) {
  return retry([&] { return static_cast<ssize_t>(::syscall(SYS_getdents64, fd, buffer, size)); });
}

int handleDigest(int dirfd, const char *name, uint32_t &digest) {
  alignas(struct file_handle) unsigned char buffer[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  auto *handle = reinterpret_cast<struct file_handle *>(buffer);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mountID;
  int flags = name[0] == '\0' ? AT_EMPTY_PATH : 0;
  if (retry([&] { return ::name_to_handle_at(dirfd, name, handle, &mountID, flags); }) < 0)
    return -1;
  const unsigned char *bytes = buffer + offsetof(struct file_handle, f_handle);
  uint32_t x = 2166136261u ^ static_cast<uint32_t>(handle->handle_type);
  for (unsigned i = 0; i < handle->handle_bytes; ++i)
    x = (x ^ bytes[i]) * 16777619u;
  digest = x | 1;
  return 0;
}

ssize_t readLink(int dirfd, const char *name, char *buffer, size_t size) {
  return retry([&] { return ::readlinkat(dirfd, name, buffer, size); });
}

ssize_t pread(int fd, void *buffer, size_t size, off_t offset) {
  return retry([&] { return ::pread(fd, buffer, size, offset); });
}

ssize_t pwrite(int fd, const void *buffer, size_t size, off_t offset) {
  return retry([&] { return ::pwrite(fd, buffer, size, offset); });
}

int fchDir(int fd) {
  return retry([&] { return ::fchdir(fd); });
}

int getCwd(std::string &out) {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) {
      out.assign(buffer.c_str());
      return 0;
    }
    if (errno != ERANGE || buffer.size() > (1u << 20))
      return -1;
    buffer.resize(buffer.size() * 2);
  }
}

int cloneFile(int to, int from) {
  return retry([&] { return ::ioctl(to, FICLONE, from); });
}

ssize_t copyRange(int from, off_t *fromOffset, int to, off_t *toOffset, size_t size) {
  return retry([&] { return ::copy_file_range(from, fromOffset, to, toOffset, size, 0); });
}

off_t seek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int truncate(int fd, off_t size) {
  return retry([&] { return ::ftruncate(fd, size); });
}

int sync(int fd) {
  return retry([&] { return ::fsync(fd); });
}

int linkUnnamed(int fd, int dirfd, const char *name) {
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return retry([&] { return ::linkat(AT_FDCWD, path, dirfd, name, AT_SYMLINK_FOLLOW); });
}

int reopen(int fd, int flags) {
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return retry([&] { return ::open(path, flags | O_CLOEXEC); });
}

int linkAt(int fromfd, const char *from, int tofd, const char *to) {
  return retry([&] { return ::linkat(fromfd, from, tofd, to, 0); });
}

int statVfs(int fd, struct statvfs *out) {
  return retry([&] { return ::fstatvfs(fd, out); });
}

int fsLabel(int fd, char *buffer, size_t size) {
  char label[FSLABEL_MAX] = {};
  if (retry([&] { return ::ioctl(fd, FS_IOC_GETFSLABEL, label); }) < 0)
    return -1;
  size_t n = strnlen(label, sizeof label);
  if (n >= size)
    n = size - 1;
  std::memcpy(buffer, label, n);
  buffer[n] = '\0';
  return 0;
}

int mount(const char *source, const char *target, const char *type,
          unsigned long flags, const char *data) {
  return retry([&] { return ::mount(source, target, type, flags, data); });
}

int symlinkAt(const char *target, int dirfd, const char *name) {
  return retry([&] { return ::symlinkat(target, dirfd, name); });
}

ssize_t read(int fd, void *buffer, size_t size) {
  return retry([&] { return ::read(fd, buffer, size); });
}

int pollPriority(int fd) {
  struct pollfd p = {fd, POLLPRI, 0};
  int r = retry([&] { return ::poll(&p, 1, 0); });
  return r < 0 ? -1 : (r > 0 && (p.revents & (POLLPRI | POLLERR)) ? 1 : 0);
}

size_t descriptorLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return SIZE_MAX;
  return static_cast<size_t>(limit.rlim_cur);
}

OSErr statusFor(int err, Context context) {
  switch (err) {
  case 0:
    return noErr;
  case ENOENT:
    return fnfErr;
  case ENOTDIR:
    return dirNFErr;
  case EEXIST:
    return dupFNErr;
  case ENOTEMPTY:
    return fBsyErr;
  case EBUSY:
  case ETXTBSY:
    return fBsyErr;
  case EACCES:
  case EPERM:
    return context == Context::Fork ? permErr : afpAccessDenied;
  case EROFS:
    return wPrErr;
  case ENOSPC:
  case EDQUOT:
  case EFBIG:
  case E2BIG:
    return dskFulErr;
  case EXDEV:
    return diffVolErr;
  case EISDIR:
    return notAFileErr;
  case ENAMETOOLONG:
    return bdNamErr;
  case EMFILE:
  case ENFILE:
    return tmfoErr;
  case ENOMEM:
    return memFullErr;
  case ELOOP:
    // O_NOFOLLOW met a symbolic link where a folder or fork was needed.
    return context == Context::Fork ? permErr : dirNFErr;
  case EOPNOTSUPP:
  case ENOSYS:
    return errFSOperationNotSupported;
  case EINVAL:
    return paramErr;
  case EBADF:
    return rfNumErr;
  case EIO:
  default:
    return ioErr;
  }
}

OSErr lastStatus(Context context) { return statusFor(errno, context); }

} // namespace quillmate::fm::sys
