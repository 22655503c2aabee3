// The `._name` file beside an object: where Linux keeps a file's resource
// fork (the file server for its Mac clients, archivers, the Mac itself on
// foreign disks), and its Finder information where the file system has no
// extended attributes.  The file is in the double format (DoubleHeader.h);
// this layer creates it laid out as the file server does, the resource fork
// last so that it grows in place.
//
// Which object a `._` file belongs to is told by its name alone, as every
// other reader does; one exception keeps a file stranded by a plain `mv` of
// its object from being attached to a new object of the old name: a `._`
// file this layer writes carries kOwnerAttribute (where the file system has
// extended attributes), naming the object's inode and birth time and the
// `._` file's own inode.  A `._` file that still is the inode that record
// was written on, but stands beside another object, is stranded and not
// attached.  A copy of the pair (cp -a, tar, rsync) is another inode, so the
// record no longer applies and the name decides again.
//
// Everything here works on a folder descriptor and the object's name on
// disk, never on a path, and never follows a symbolic link.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_SIDECAR_H
#define QUILLMATE_PLATFORM_FILEMANAGER_SIDECAR_H

#include <CoreServices/Files.h>

#include "platform/filemanager/DoubleHeader.h"
#include "platform/filemanager/Syscalls.h"

#include <cstdint>
#include <string>
#include <string_view>

struct statx;

namespace quillmate::fm {

/// What a caller knows of an object's `._` file, from its folder's listing:
/// where it is Unknown, the catalog steps that need the file look for it
/// (one openat); where Absent, they do not.
enum class SidecarHint { Unknown, Absent, Present };

} // namespace quillmate::fm

namespace quillmate::fm::sidecar {

inline constexpr std::string_view kPrefix = "._";
inline constexpr const char *kOwnerAttribute = "user.quillmate.owner";
/// The longest resource fork a `._` file laid out as this layer makes it
/// holds: the format counts offsets and lengths in 32 bits.
inline constexpr uint64_t kMaxForkLength = UINT32_MAX - dbl::kSidecarForkOffset;

/// Whether `name` (on disk) is one of the names this layer reserves for `._`
/// files: "._" and at least one more byte.
bool isReserved(std::string_view name);
/// The `._` file's name of the object `name`: false when it would be longer
/// than a name may be, so that the object cannot have one.
bool nameOf(std::string_view name, std::string &out);
/// The same into a buffer of the longest name and its NUL, without allocating.
inline constexpr size_t kNameBufferSize = 256;
bool nameOf(std::string_view name, char (&out)[kNameBufferSize]);

/// The object a `._` file belongs to, as this layer records it.
struct Owner {
  uint64_t objectIno = 0;
  int64_t objectBirth = 0;
  uint64_t selfIno = 0;
};

/// How a look for an object's `._` file ended.
enum class Found {
  None,     // there is none (or the name holds something other than a file)
  Attached, // it is the object's
  Stranded, // this layer wrote it for another object: not the object's
  Damaged,  // its header cannot be read (dbl::Header::parse says why)
};

/// An open `._` file and what its header says.
struct File {
  sys::Fd fd;
  dbl::Header header;
  uint64_t size = 0; // the file's length when its header was read
  uint64_t ino = 0;
  uint64_t links = 1; // its names then: 0 once another file took its place
  bool locked = false; // this description holds the file's lock (lock())

  const dbl::Entry *fork() const { return header.find(dbl::kResourceFork); }
  const dbl::Entry *finderInfo() const { return header.find(dbl::kFinderInfo); }
  /// The resource fork's length as the header says it now (one read): the
  /// header may have changed since it was opened, in this or another process.
  OSErr currentForkLength(uint64_t &length) const;
};

/// Opens the `._` file of the object `name` inside `dirfd`, whose statx
/// (with at least STATX_INO and STATX_BTIME) is `object`, with `flags`
/// (O_RDONLY or O_RDWR).  `out` is open only when `found` is Attached.  The
/// status is for failures to look (permissions, I/O); a `._` file that is
/// stranded, damaged or absent is noErr with `found` saying which.  It
/// allocates nothing.
OSErr open(int dirfd, const char *name, const struct statx &object, int flags, File &out,
           Found &found);

/// Reads the header of the open `._` file again, as this or another process
/// may have changed it, with the file's size and names (no name any more:
/// relayout() of another opener put a new file in its place, or the object
/// was deleted with it): ioErr when it is damaged now.
OSErr reread(File &file);

/// Makes the `._` file of the object `name` inside `dirfd`: `finderInfo`
/// (kFinderInfoSize bytes; null for zeros) and `forkLength` bytes of
/// resource fork from `fork` (null: none yet), the owner record, the
/// object's permission bits for reading and writing.  The file appears
/// whole or not at all.  `replace` puts it in the place of a `._` file that
/// is there (one stranded or damaged), under that file's lock, and answers
/// dupFNErr when another caller put one of the object's there first; without
/// it, dupFNErr when one is there.
/// `out` is the new file, open for reading and writing.
OSErr create(int dirfd, const char *name, const struct statx &object, const UInt8 *finderInfo,
             const void *fork, size_t forkLength, bool replace, File &out);

/// Makes the `._` file of the object `name` inside `dirfd`, whose statx is
/// `object`, a copy of the `._` file open as `from`, with an owner record for
/// `object`: it appears whole or not at all, in the place of a `._` file
/// there.  `ino` receives the new file's inode.  errFSNameTooLong when the
/// object's name is too long to have one.
OSErr copy(int from, int dirfd, const char *name, const struct statx &object, uint64_t &ino);

/// Writes `finderInfo` into the Finder information entry of the open `._`
/// file (which must have one of kFinderInfoSize bytes or more).
OSErr writeFinderInfo(const File &file, const UInt8 finderInfo[dbl::kFinderInfoSize]);
/// Reads it: false when the file has none, or it is all zeros (as the file
/// server writes it when it keeps Finder information elsewhere).
bool readFinderInfo(const File &file, UInt8 out[dbl::kFinderInfoSize]);

/// Sets the resource fork's length to `length`, growing or cutting the file
/// (the fork is the last entry; relayout() makes it so).  Held: the file's
/// lock (lock()).
OSErr setForkLength(File &file, uint64_t length);
/// Writes `count` bytes of `data` at `start` of the resource fork (the last
/// entry), which grows to hold them: the bytes first, then the header's new
/// length, so that a kill between leaves the fork as it was, and the header
/// never claims a byte not written; the bytes between the old end and
/// `start` are zeros.  A write that fails adds nothing to the fork.  Held:
/// the file's lock.
OSErr writeFork(File &file, uint64_t start, const void *data, size_t count);
/// Makes the resource fork the last entry of the file, so that it can grow:
/// a `._` file another program laid out otherwise is written anew beside it
/// with every entry kept and put in its place; a header without a resource
/// fork gains an empty one.  It works from the header as it is now (read
/// again).  `dirfd`/`name` as for open().  Held: the file's lock.
OSErr relayout(int dirfd, const char *name, const struct statx &object, File &file);

/// The exclusive lock of the `._` file among every process using this layer,
/// held while its header changes; waits at most a second (fBsyErr).  A
/// reader that finds a header that does not fit the file's size (changed
/// between its two looks) reads it again under a shared lock.
OSErr lock(File &file);
void unlock(File &file);

/// The owner record of the `._` file `fd` (inode `selfIno`): noErr and
/// `found` false when it has none or the file system keeps no attributes.
bool readOwner(int fd, Owner &out);
/// Records that the `._` file `fd` (inode `selfIno`) belongs to `object`;
/// where the file system keeps no attributes nothing is recorded (noErr).
OSErr writeOwner(int fd, uint64_t selfIno, const struct statx &object);

// --- The `._` file as part of its object's name -------------------------------
//
// A `._x` that is a regular file while its object `x` exists is hidden: no
// listing shows it and no lookup finds it.  Without `x` it is an orphan, an
// ordinary file to every call.

/// The object's name of the reserved name `name` (isReserved(name)).
inline std::string_view stemOf(std::string_view name) { return name.substr(kPrefix.size()); }

/// Whether the item `name` of the folder `dirfd`, of file type `type`
/// (S_IFMT bits; 0 when unknown), is a `._` file hidden beside its object:
/// one statx of the object for a reserved name (and one of the item when its
/// type is unknown), none otherwise.
bool isHidden(int dirfd, const char *name, mode_t type);

/// Removes the item `name` of `dirfd`, whose statx `stx` (with at least
/// STATX_TYPE, STATX_NLINK and STATX_INO) was just taken, when it is a
/// second name of a `._` file that a rename killed part-way left behind: a
/// reserved name of a regular file with two names or more, whose owner
/// record names it, beside no object or beside another object than the
/// record's.  Data is never lost: its other name holds it.  The file's lock
/// (lock()) is taken without waiting and everything is looked at again under
/// it, so that a rename under way in another process (which holds it from
/// before its link to after its unlink) is never undone.  True when it was
/// removed.
bool removeLeftover(int dirfd, const char *name, const struct statx &stx);

// --- Exchanges --------------------------------------------------------------
//
// An exchange of two objects (FSExchangeObjects) swaps their inodes, and each
// `._` file goes with its inode.  Before the swap, each is given a second,
// hidden name beside the place it goes to (ExchangeRecord::stagingName());
// after it, that name takes the place's `._` name.  A kill in between leaves
// each place's object its file under the staging name, settled by
// settleExchange() when the object's exchange record is read.

/// Settles the `._` files of the place `name` inside `dirfd` after an
/// exchange killed part-way, for the object standing there now (`object`:
/// its statx with STATX_INO and STATX_BTIME): the file `staged` for the
/// place takes the place's `._` name when its owner record names the object,
/// and goes otherwise (the swap did not happen; its other name holds it);
/// then a `._` file of the place that is another object's goes when it has a
/// second name (removeLeftover()).  A file another process holds locked is
/// left alone.  Decided by owner records: where the file system keeps no
/// attributes, nothing is done.
void settleExchange(int dirfd, const char *name, const char *staged, const struct statx &object);

} // namespace quillmate::fm::sidecar

#endif
