// The File Manager over POSIX: real files on real Linux file systems, named
// through the node table.  Every call holds the node table's lock for its
// whole length, so callers may be on any thread.  The back end, by concern:
//   Catalog.cpp       catalog information read and written
//   References.cpp    FSRefs from names, classic triples and paths, and back
//   LongPaths.cpp     paths past PATH_MAX, resolved component by component
//   Objects.cpp       creating, deleting, renaming, moving, exchanging
//   Iterators.cpp     catalog iterators over one folder
//   Forks.cpp         opening, reading, writing and locking forks (the
//                     resource fork in the `._` file beside its file)
//   ClassicIO.cpp     FSRead and FSWrite, straight on the fork table
//   FileIDs.cpp       node IDs and file IDs
//   Access.cpp        users, groups, folder access, the caller's privileges
//   Volumes.cpp       volume information and parameters
//   Mounting.cpp      volume mount records and mounting
//   DefaultFolder.cpp the default folder (the current directory)
//   ServerCalls.cpp   copying and move-and-rename done by the file system
//   Notify.cpp        change notices
// under them the node table (NodeTable.h), the fork table (ForkTable.h), the
// metadata record (Metadata.h), names (Names.h, OneByteNames.h), the mount
// table (MountInfo.h) and the system calls (Syscalls.h).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_POSIXFILEMANAGER_H
#define QUILLMATE_PLATFORM_FILEMANAGER_POSIXFILEMANAGER_H

#include "platform/filemanager/FileManager.h"
#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/NodeTable.h"
#include "platform/filemanager/Sidecar.h"
#include "platform/filemanager/Syscalls.h"

#include <string>

namespace quillmate::fm {

class PosixFileManager final : public FileManager {
public:
#define QM_FM_CALL(Name, method, Result, Params, Args, ...) Result method Params override;
#include "platform/filemanager/FileManagerCalls.def"
};

// Shared by the back end's files; the node table's lock is held.
namespace detail {

// --- Catalog information (Catalog.cpp) ---------------------------------------

/// statx fields that the catalog fields of `which` need.
unsigned statxMaskFor(FSCatalogInfoBitmap which);
/// Fills the fields of `which` for the object at `where` (statx already
/// taken with statxMaskFor(which)).  Reads the metadata only when a
/// requested field needs it.  `sidecar` is what the caller knows of the
/// object's `._` file (an iterator, from its folder's listing).
OSErr fillCatalogInfo(uint32_t index, const Location &where, const struct statx &stx,
                      FSCatalogInfoBitmap which, FSCatalogInfo &out,
                      SidecarHint sidecar = SidecarHint::Unknown);
/// The outputs of a catalog read other than the record.
OSErr fillOutputs(uint32_t index, HFSUniStr255 *outName, FSSpec *spec, FSRef *parentRef);
/// Writes the settable fields of `which` to the object located at `where`
/// with `stx` (identity mask | mode, uid, gid).  A locked object takes only
/// the write that clears its lock (else fLckdErr).
OSErr applyCatalogInfo(const Location &where, const struct statx &stx,
                       FSCatalogInfoBitmap which, const FSCatalogInfo &info);
/// Locked: a file without the owner's write bit, or a folder locked in its
/// metadata (read only for folders).
OSErr isLocked(const Location &where, const struct statx &stx, bool &locked);
/// The one-byte FSSpec of an entry.
void makeSpec(uint32_t index, FSSpec &spec);
/// A Unix time as the platform's date (1904 on); before 1904 is no date.
UTCDateTime toUTC(int64_t seconds, uint32_t nanoseconds);
/// The inverse of toUTC, rounded up so that the date read back is `d`.
void fromUTC(const UTCDateTime &d, struct timespec &out);

// --- Resource forks (Forks.cpp) ----------------------------------------------

/// The length of the resource fork of the object at `where`, whose statx is
/// `stx` (kIdentityMask): its `._` file's header's, else the attribute's
/// that earlier versions kept it in; 0 when it has neither, when its `._`
/// file is damaged, or where the caller may not read them.  `hint` is what
/// the caller knows of the `._` file (Absent: no look for it).  `exists`,
/// when given: whether the file has a resource fork at all (FSIterateForks
/// lists it).  Allocates nothing.
OSErr resourceForkLength(const Location &where, const struct statx &stx, SidecarHint hint,
                         UInt64 &length, bool *exists = nullptr);
/// The room a fork of `length` bytes takes on the volume of `stx`: its
/// length rounded up to the file system's block size.
UInt64 physicalSize(UInt64 length, const struct statx &stx);

// --- The caller's privileges (Access.cpp) ------------------------------------

/// What the calling user may do with the object `stx` describes (mode, uid,
/// gid), as the catalog's user privileges: kioACUserNotOwnerMask for
/// another's object; for a user other than root, both no-see masks on a
/// folder it may not read or search and kioACUserNoMakeChangesMask without
/// write access, by the owner, group or other bits that apply to it.
UInt8 privilegesFor(const struct statx &stx);

// --- Node IDs and file IDs (FileIDs.cpp) -------------------------------------

/// The node ID of entry `index`, located at `where`; a regular file met
/// inside a folder settles it now, from its metadata.
UInt32 nodeIDOf(uint32_t index, const Location &where);
/// The same, settling it from `meta`, the record just read at its place.
UInt32 nodeIDOf(uint32_t index, const Metadata &meta);
/// The same, locating the entry first when it must be settled.
UInt32 nodeIDOf(uint32_t index);
/// The entry with node ID `id` on `volume` among those the table knows,
/// files whose ID is not settled yet included; kNoNode when none.
uint32_t findByNodeID(FSVolumeRefNum volume, uint32_t id);
/// Whether the file of `index` (located at `where`) was given a file ID.
bool hasFileID(uint32_t index, const Location &where);
/// Marks the file of `index` as having a file ID, or takes the mark away:
/// on disk where its ID is the same in every process and the attribute can
/// be written, else in this process's memory.
void setFileIDMark(uint32_t index, const Location &where, bool marked);
/// The same in this process's memory only (an exchange writes the marks on
/// disk itself, with the rest of each place's attributes).
void markFileIDInMemory(uint32_t index, bool marked);

// --- Finding objects: classic triples, paths, the default folder -------------

/// The object a classic (volume, directory ID, one-byte name) triple names:
/// no name (null or empty) is the folder itself; directory ID 0 is the
/// root, volume 0 the default folder's volume (and directory ID 0 with it
/// the default folder).  nsvErr, dirNFErr (a folder the table does not know by that ID),
/// bdNamErr (a partial path, a name without Unicode form) or fnfErr.  The
/// entry is not located: call locate() before using it.  (References.cpp)
OSErr resolveSpec(FSVolumeRefNum volume, SInt32 dirID, ConstStringPtr name, uint32_t &index);
/// `path` as realpath resolves it (from the current directory when
/// relative, through every symbolic link), of any length: its absolute path
/// and its statx (kIdentityMask).  fnfErr, dirNFErr (a component that is no
/// folder, or too many links), bdNamErr (a component over 255 bytes).  A
/// component that is missing as written is looked for in its other
/// normalization form.  (References.cpp)
OSErr resolvePath(const char *path, std::string &full, struct statx &stx);
/// resolvePath for a path that realpath refuses as too long or as missing: the
/// same answers, met one component at a time from folder descriptors, with
/// each component missing as written tried once more in its other
/// normalization form.  The folder reached is the one the text names, so
/// ".." of a folder is the path without its last component.  (LongPaths.cpp)
OSErr walkPath(const char *path, std::string &full, struct statx &stx);
/// The entry of the object at absolute path `full` (no symbolic links in
/// it: resolvePath's result), whose statx is `stx`, met folder by folder
/// from its volume's root.  (References.cpp)
OSErr internPath(const std::string &full, const struct statx &stx, uint32_t &index);
/// The default folder (the process's current directory): its volume and
/// entry.  fnfErr when the current directory was removed.  (DefaultFolder.cpp)
OSErr defaultFolder(FSVolumeRefNum &volume, uint32_t &index);
/// The default folder's volume; 0 when there is none.  (DefaultFolder.cpp)
FSVolumeRefNum defaultVolume();

// --- Changing objects (Objects.cpp) ------------------------------------------

/// The folder `index` for a change inside it: located, a folder (else
/// dirNFErr), and its descriptor.
OSErr folderForChange(uint32_t index, int &fd);
/// dupFNErr when folder `fd` already holds an object under `name` (the disk
/// name an object is to get there), under the other normalization form of
/// `name`, or under `given` (the name as the caller wrote it, when `name` is
/// its NFC): a user cannot tell such names apart.  `own`, when given, is the
/// object's own name in that folder, which it leaves: meeting it is no
/// conflict, so an object may change the form of its name.
OSErr checkFree(int fd, const std::string &name, const std::string &given,
                const std::string *own = nullptr);
/// The object of `ref`, located, for a change that a lock refuses (fLckdErr).
OSErr objectForChange(const FSRef *ref, uint32_t &index, Location &where, struct statx &stx,
                      unsigned mask = 0);
/// fLckdErr when the located object is locked.
OSErr lockedForChange(const Location &where, const struct statx &stx);
/// renameat2(RENAME_NOREPLACE) of `from` in `fromDir` to `to` in `toDir`,
/// the object of entry `index` (kNoNode: none), on `volume`; also where the
/// file system lacks the flag (FUSE file systems that answer EINVAL; the
/// volume's parameters learn it): a file gets its new name as a second link,
/// which fails when the name is taken, and loses the old one (a kill between
/// leaves both; the entry no longer checks the file handle, which such a
/// file system gives each link apart); a folder, which cannot be linked, is
/// renamed after a look that the name is free (an empty folder put there in
/// between would be replaced).  -1 with errno as renameat2 sets it (EINVAL
/// for a folder moved into itself).
int renameWithoutReplacing(int fromDir, const char *from, int toDir, const char *to,
                           FSVolumeRefNum volume, uint32_t index);
/// bdNamErr when the new name of an object, as `composed` or as `given`, is
/// one of those kept for `._` files (sidecar::isReserved).
OSErr refuseReserved(const std::string &composed, const std::string &given);

/// The `._` file of an object that is renamed or moved, carried to the
/// object's new name so that a kill at any moment leaves the object with it:
/// prepare() gives it the new name as a second link (`._a` → `._b`), the
/// caller renames the object, and finish() takes the old name away.  A kill
/// between leaves the same file under both names; the name beside no object
/// is removed when next met (sidecar::removeLeftover).  The file is locked
/// from before the link to after the unlink.  Where the file system refuses
/// links, finish() renames it instead, right after the object (a kill in
/// that moment leaves it under its old name).  Destroyed without finish(),
/// it takes back what prepare() did: the object stayed, or went back.
class SidecarCarrier {
public:
  SidecarCarrier() = default;
  SidecarCarrier(const SidecarCarrier &) = delete;
  SidecarCarrier &operator=(const SidecarCarrier &) = delete;
  ~SidecarCarrier() { abandon(); }

  /// Before the object `fromName` of folder `fromDir` is renamed to `toName`
  /// in `toDir`, on `volume`.  A `._` file already at the new name (an orphan, or one
  /// stranded there) is put aside under a hidden name until finish(), which
  /// removes it, or abandon(), which puts it back.  errFSNameTooLong when
  /// the object has a `._` file and the new name is too long for one;
  /// fBsyErr when another process holds its lock for over a second.
  OSErr prepare(int fromDir, const char *fromName, int toDir, const char *toName,
                FSVolumeRefNum volume);
  /// The object has its new name: so has its `._` file, alone.
  void finish();
  /// The object kept its old name (or was put back): so does its `._` file.
  void abandon();

private:
  enum class Way { None, Linked, RenameAfter };
  Way way_ = Way::None;
  sys::Fd fd_;
  uint64_t ino_ = 0;
  FSVolumeRefNum volume_ = 0;
  int fromDir_ = -1, toDir_ = -1;
  std::string from_, to_, displaced_;
};
/// After the object of `index`, located at `from` a moment before, was
/// renamed to `name` inside folder `dest` (descriptor `destFd`) without
/// replacing: the entry follows it there when the object renamed is the
/// entry's (one statx).  Another object may have taken the name between that
/// look and the rename (a process exchanging names): it goes back to its
/// name, unless that was taken meanwhile, and the answer is fnfErr, as for a
/// stale reference.
OSErr confirmRenamed(uint32_t index, const Location &from, uint32_t dest, int destFd,
                     const std::string &name);

// --- Volumes (Volumes.cpp) ---------------------------------------------------

/// Whether renameat2's `flag` (RENAME_NOREPLACE or RENAME_EXCHANGE) works
/// on `volume`, as an operation that used it found: PBHGetVolParmsSync
/// answers from that from now on instead of from the file system's type.
void learnRenameFlag(FSVolumeRefNum volume, unsigned flag, bool works);

// --- Parameter blocks --------------------------------------------------------

/// The end of a parameter-block call: `err` into the block's ioResult, and
/// as the call's result.
template <class Block> OSErr finish(Block &pb, OSErr err) {
  pb.ioResult = err;
  return err;
}

} // namespace detail
} // namespace quillmate::fm

#endif
