// The File Manager over POSIX: real files on real Linux file systems, named
// through the node table.  Split by concern: Catalog.cpp (references, names,
// paths, catalog information), Objects.cpp (create, delete, rename, move,
// exchange), Iterators.cpp.  Every call holds the node table's lock for its
// whole length, so callers may be on any thread.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_POSIXFILEMANAGER_H
#define QUILLMATE_PLATFORM_FILEMANAGER_POSIXFILEMANAGER_H

#include "platform/filemanager/FileManager.h"
#include "platform/filemanager/Metadata.h"
#include "platform/filemanager/NodeTable.h"

#include <string>

namespace quillmate::fm {

class PosixFileManager final : public FileManager {
public:
#define QM_FM_CALL(Name, method, Result, Params, Args, ...) Result method Params override;
#include "platform/filemanager/FileManagerCalls.def"
};

// Shared by the back end's files; the node table's lock is held.
namespace detail {

/// statx fields that the catalog fields of `which` need.
unsigned statxMaskFor(FSCatalogInfoBitmap which);
/// Fills the fields of `which` for the object at `where` (statx already
/// taken with statxMaskFor(which)).  Reads the metadata only when a
/// requested field needs it.
OSErr fillCatalogInfo(uint32_t index, const Location &where, const struct statx &stx,
                      FSCatalogInfoBitmap which, FSCatalogInfo &out);
/// The object's statx after its record was read into `meta`: `located`,
/// or taken again into `again` when the read settled an exchange left
/// half-done (which may change the mode, owner and access time).
const struct statx &afterReading(Metadata &meta, const Location &where,
                                 const struct statx &located, struct statx &again);
/// The outputs of a catalog read other than the record.
OSErr fillOutputs(uint32_t index, HFSUniStr255 *outName, FSSpec *spec, FSRef *parentRef);
/// Writes the settable fields of `which`; the object is located at `where`
/// with `stx` (identity mask | mode, uid, gid).  `creating` allows the write
/// on a fresh object whatever its lock state.
OSErr applyCatalogInfo(uint32_t index, const Location &where, const struct statx &stx,
                       FSCatalogInfoBitmap which, const FSCatalogInfo &info);
/// Locked: a file without the owner's write bit, or a folder locked in its
/// metadata (read only for folders).
OSErr isLocked(const Location &where, const struct statx &stx, bool &locked);
/// The one-byte FSSpec of an entry.
void makeSpec(uint32_t index, FSSpec &spec);

/// The node ID of entry `index`, located at `where`; a regular file met
/// inside a folder settles it now, from its metadata (FileIDs.cpp).
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
/// A child entry of folder `parent` by disk name: tries the name as given,
/// then its NFC form.
OSErr lookupChild(uint32_t parent, const UniChar *name, size_t length, uint32_t &index);
OSErr lookupChildDisk(uint32_t parent, const std::string &diskName, uint32_t &index);

/// The object a classic (volume, directory ID, one-byte name) triple names:
/// no name (null or empty) is the folder itself; directory ID 0 is the
/// root, volume 0 the default folder's volume (and directory ID 0 with it
/// the default folder).  nsvErr, dirNFErr (a folder the table does not know by that ID),
/// bdNamErr (a partial path, a name without Unicode form) or fnfErr.  The
/// entry is not located: call locate() before using it.
OSErr resolveSpec(FSVolumeRefNum volume, SInt32 dirID, ConstStringPtr name, uint32_t &index);

/// `path` as realpath resolves it (from the current directory when
/// relative, through every symbolic link), of any length: its absolute path
/// and its statx (kIdentityMask).  fnfErr, dirNFErr (a component that is no
/// folder, or too many links), bdNamErr (a component over 255 bytes).
OSErr resolvePath(const char *path, std::string &full, struct statx &stx);
/// The entry of the object at absolute path `full` (no symbolic links in
/// it: resolvePath's result), whose statx is `stx`, met folder by folder
/// from its volume's root.
OSErr internPath(const std::string &full, const struct statx &stx, uint32_t &index);
/// The default folder (the process's current directory): its volume and
/// entry.  fnfErr when the current directory was removed.
OSErr defaultFolder(FSVolumeRefNum &volume, uint32_t &index);
/// The default folder's volume; 0 when there is none.
FSVolumeRefNum defaultVolume();
/// Whether renameat2's `flag` (RENAME_NOREPLACE or RENAME_EXCHANGE) works
/// on `volume`, as an operation that used it found: PBHGetVolParmsSync
/// answers from that from now on instead of from the file system's type.
void learnRenameFlag(FSVolumeRefNum volume, unsigned flag, bool works);

/// The folder `index` for a change inside it: located, a folder (else
/// dirNFErr), and its descriptor.
OSErr folderForChange(uint32_t index, int &fd);
/// dupFNErr when `composed` or, for a name not in NFC, the form as `given`
/// already names an object in folder `fd`.
OSErr checkFree(int fd, const std::string &composed, const std::string &given);
/// The object of `ref`, located, for a change that a lock refuses (fLckdErr).
OSErr objectForChange(const FSRef *ref, uint32_t &index, Location &where, struct statx &stx,
                      unsigned mask = 0);
/// fLckdErr when the located object is locked.
OSErr lockedForChange(const Location &where, const struct statx &stx);
/// After the object of `index`, located at `from` a moment before, was
/// renamed to `name` inside folder `dest` (descriptor `destFd`) without
/// replacing: the entry follows it there when the object renamed is the
/// entry's (one statx).  Another object may have taken the name between that
/// look and the rename (a process exchanging names): it goes back to its
/// name, unless that was taken meanwhile, and the answer is fnfErr, as for a
/// stale reference.
OSErr confirmRenamed(uint32_t index, const Location &from, uint32_t dest, int destFd,
                     const std::string &name);

/// The end of a parameter-block call: `err` into the block's ioResult, and
/// as the call's result.
template <class Block> OSErr finish(Block &pb, OSErr err) {
  pb.ioResult = err;
  return err;
}

UTCDateTime toUTC(int64_t seconds, uint32_t nanoseconds);
void fromUTC(const UTCDateTime &d, struct timespec &out);

} // namespace detail
} // namespace quillmate::fm

#endif
