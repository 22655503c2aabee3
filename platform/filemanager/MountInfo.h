// The mount table of this process, as /proc/self/mountinfo shows it: one
// parser for the node table (mount point of a mount ID), the volume list and
// the mount records.
//
// A line is
//   ID PARENT MAJOR:MINOR ROOT POINT MOUNT-OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
// where ROOT, POINT and SOURCE escape blank, tab, newline and backslash as
// three octal digits (\040).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_MOUNTINFO_H
#define QUILLMATE_PLATFORM_FILEMANAGER_MOUNTINFO_H

#include "platform/filemanager/NodeTable.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmate::fm::mountinfo {

struct Mount {
  uint64_t id = 0;
  uint64_t parent = 0;
  unsigned major = 0, minor = 0;
  std::string root;          // the folder of the file system mounted there
  std::string point;         // absolute, unescaped
  std::string mountOptions;  // per mount: rw/ro, nosuid, relatime, ...
  std::string type;          // "ext4", "tmpfs", "fuse.sshfs", ...
  std::string source;        // "/dev/vda", "tmpfs", "server:/export", ...
  std::string superOptions;  // of the file system: rw/ro, size=..., ...

  /// Read-only, as a mount or as a file system.
  bool readOnly() const;
};

/// Undoes the octal escapes of a mountinfo field; a backslash not followed
/// by three octal digits stays as it is.
std::string unescape(std::string_view field);
/// One line, without its newline; false (and `out` unspecified) when the
/// line does not have the fields above.
bool parseLine(std::string_view line, Mount &out);
/// Every well-formed line of `text`, in order; malformed lines are skipped.
std::vector<Mount> parse(std::string_view text);
/// The current table of this process; false when it cannot be read.
bool read(std::vector<Mount> &out);
/// The entry of mount `id`; false when it is not mounted.
bool find(uint64_t id, Mount &out);
/// The mount point of mount `id`; false when it is not mounted.
bool pointOf(uint64_t id, std::string &out);

/// True when `option` is one of the comma-separated words of `options`.
bool hasOption(std::string_view options, std::string_view option);

/// Whether a mount is one a user keeps files on: not a pseudo file system
/// (proc, sysfs, cgroup, devpts, ...), nor mounted under /proc, /sys or /dev
/// other than /dev/shm.  Whether its point is a folder and the mount is the
/// top one there is for the caller to check on disk.
bool holdsUserFiles(const Mount &m);

/// The name a volume shows: its file system's label where it has one, else
/// the last component of its mount point, and "Root" for "/".  `rootFd` is
/// a descriptor of the volume's root folder (O_PATH will do); -1 skips the
/// label.
std::string volumeName(const std::string &point, int rootFd);

// Mounts as the node table's volumes; the table's lock is held.

/// Whether `m` is the top mount on its point and that point is a folder;
/// `stx` receives the point's statx (kIdentityMask).
bool isTop(const Mount &m, struct statx &stx);
/// The volume of mount `m` when it is the top mount on its point and that
/// point is a folder; nsvErr otherwise (a bind-mounted file, a mount hidden
/// by another, a point gone).
OSErr volumeOf(const Mount &m, Volume *&volume);
/// Volume `refNum` (0: the default folder's) and its mount; nsvErr when the
/// table does not know it or it was unmounted since.
OSErr byRefNum(FSVolumeRefNum refNum, Mount &mount, Volume *&volume);

} // namespace quillmate::fm::mountinfo

#endif
