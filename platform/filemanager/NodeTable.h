// The process-wide table of objects this process has met, and of volumes.
//
// An FSRef names an entry of the table (RefCodec.h); an entry is a name in a
// folder (Node.h).  Operations of this layer update entries as they rename,
// move, exchange and delete, so references follow objects moved through the
// layer.  When the object behind an entry changed behind the layer's back,
// resolution answers fnfErr instead of reaching another object.
//
// A volume is a mount (VolumeRegistry.h).  Its root folder has node ID 2 and
// parent ID 1; other objects have the node IDs of NodeIDs.h.
//
// The table composes one part per job: the reference codec, the volume
// registry, node-ID assignment, the inode index, the folder descriptors it
// keeps (FolderCache) or holds for open iterators (IteratorFolders), the
// delivery hint of deleting iterators (DeliveryHint), and the rename records
// left open (OpenRenames, RenameRecord.h).  It keeps the entries themselves
// and the lock.  Everything here requires the lock (lock()).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_NODETABLE_H
#define QUILLMATE_PLATFORM_FILEMANAGER_NODETABLE_H

#include "platform/filemanager/DeliveryHint.h"
#include "platform/filemanager/FolderDescriptors.h"
#include "platform/filemanager/InodeIndex.h"
#include "platform/filemanager/Node.h"
#include "platform/filemanager/NodeIDs.h"
#include "platform/filemanager/RefCodec.h"
#include "platform/filemanager/RenameRecord.h"
#include "platform/filemanager/VolumeRegistry.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quillmate::fm {

class NodeTable {
public:
  static NodeTable &shared();

  /// The table held for one operation (one call of the layer).  Folder
  /// descriptors handed out during the operation stay open until the next
  /// one begins; the delivery hint offers what the previous one delivered;
  /// rename records the calling thread left open close at its end when the
  /// operation was on another object (OpenRenames).
  class Operation {
  public:
    explicit Operation(NodeTable &table) : table_(table), held_(table.mutex_) {
      table.folderCache_.beginOperation();
      table.iteratorFolders_.beginOperation();
      table.delivery_.beginOperation();
      table.renames_.beginOperation();
    }
    ~Operation() { table_.renames_.endOperation(table_); }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

  private:
    NodeTable &table_;
    std::unique_lock<std::mutex> held_;
  };
  Operation lock() { return Operation(*this); }

  /// The entry an FSRef names: errFSBadFSRef for a malformed value, fnfErr
  /// for an entry that was deleted or replaced since.
  OSErr decode(const FSRef *ref, uint32_t &index) const;
  void encode(uint32_t index, FSRef *ref) const;

  Node &node(uint32_t index) { return nodes_[index]; }
  const Node &node(uint32_t index) const { return nodes_[index]; }
  Volume *volume(FSVolumeRefNum refNum);
  /// The node ID the platform shows as the parent: 1 for a volume root.
  uint32_t parentID(uint32_t index) const;

  /// The entry for the object `stx` describes, met as `name` inside
  /// `parent`; created when unknown.  An entry is a name: each name of a
  /// hard-linked file is an entry of its own (sharing the node ID), while the
  /// entry of an object with one name follows it to a new name (a rename
  /// made outside the layer).  An entry with the same inode but another
  /// birth time is retired first (its references answer fnfErr).
  /// An object on another mount is that volume's root entry.  With
  /// `dirfd` (the folder the object was met in), the entry also records the
  /// file handle's digest, which tells apart an object replaced within one
  /// step of the birth-time clock; walks skip it for speed.  `handleOf`,
  /// when given, names the object for the handle instead of `name` (""
  /// with a descriptor of the object itself as `dirfd`).
  OSErr intern(uint32_t parent, const std::string &name, const struct statx &stx,
               uint32_t &index, int dirfd = -1, const char *handleOf = nullptr);
  /// The entry of the folder with `dirID` on `volume`, where the table knows
  /// it without a search (the root, folders met before); kNoNode otherwise.
  /// Files whose ID is not settled are not found by it; for a file's ID,
  /// one of the names the table knows.
  uint32_t findByID(FSVolumeRefNum volume, uint32_t dirID) const;
  /// Every entry known with node ID `id` on `volume` (the names of a
  /// hard-linked file share one); files whose ID is not settled are not.
  std::vector<uint32_t> findAllByID(FSVolumeRefNum volume, uint32_t id) const;
  /// An entry of the object with inode number `ino` on `volume` (of a
  /// hard-linked file, one of its names); kNoNode when the table has none.
  uint32_t findByInode(FSVolumeRefNum volume, uint64_t ino) const {
    return inodes_.find(volume, ino);
  }

  bool settled(uint32_t index) const { return nodes_[index].nodeID != kUnsettledID; }
  /// Gives the file of `index` its node ID, once (NodeIDs::settle):
  /// `recorded` is the ID its metadata records for its inode, 0 for none.
  void settle(uint32_t index, uint32_t recorded);
  /// The root entry of the volume holding `stx` (met through a path).
  OSErr volumeRootFor(const struct statx &stx, uint32_t &index);

  /// Where the object of `index` is, after checking that it is still the
  /// object the entry names; `stx` (may be null) receives its statx with
  /// kIdentityMask | `mask`.
  OSErr locate(uint32_t index, Location &where, struct statx *stx = nullptr,
               unsigned mask = 0);
  /// A descriptor (owned by the table or lent to it) of the folder of
  /// `index`, for *at calls.
  OSErr openFolder(uint32_t index, int &fd);
  /// Opens the folder of `index` with `flags` (O_RDONLY or O_PATH) and
  /// checks on the descriptor that it is still the entry's object: one open
  /// and one statx.  fnfErr when the name is gone, holds no folder or holds
  /// another object; the open's status otherwise.
  OSErr openDirectory(uint32_t index, int flags, int &fd);
  /// The same for an object of any kind, opened O_PATH (a symbolic link
  /// itself, never its target; a folder for reading where it may be read,
  /// so that its attributes take one call); `stx` receives the descriptor's
  /// statx with kIdentityMask | `mask`, and `where` the object's place, as
  /// locate() gives it.  The descriptor holds that very object for as long
  /// as it stays open, whatever happens to its name.
  OSErr openObject(uint32_t index, Location &where, int &fd, struct statx &stx,
                   unsigned mask = 0);
  /// Whether `stx` (taken with kIdentityMask) of `name` inside `dirfd` shows
  /// the object the entry names: its identity, and its file handle where
  /// the entry keeps one (one more system call).
  bool isObject(uint32_t index, int dirfd, const char *name, const struct statx &stx) const;

  /// An iterator opened `fd` on the folder of `index`: the table takes it
  /// (IteratorFolders), and openFolder() and locate() use it instead of
  /// opening the folder again, until the iterator closes or the entry
  /// changes identity.  The ticket is the iterator's hold on it.
  IteratorFolders::Ticket adoptIteratorFolder(uint32_t index, int fd) {
    return iteratorFolders_.adopt(index, nodes_[index].generation, fd);
  }
  /// The descriptor of the iterator holding `ticket`, for this call: when it
  /// was given back, the folder reopened (as the parent of an open child
  /// folder where there is one, else through its own parent) and checked.
  /// fnfErr when the entry changed identity since the iterator opened it.
  OSErr useIteratorFolder(IteratorFolders::Ticket ticket, int &fd);
  /// The iterator holding `ticket` closes.  An iterator of the parent folder
  /// whose descriptor was given back first reopens it from this one (a walk
  /// going back up), so that going up costs one open a level.
  void releaseIteratorFolder(IteratorFolders::Ticket ticket);
  const IteratorFolders &iteratorFolders() const { return iteratorFolders_; }
  void setIteratorBudget(size_t budget) { iteratorFolders_.setBudget(budget); }

  /// A deleting iterator has just delivered `index`, a file that is not
  /// locked, as its name inside the iterator's folder `dirfd`: the
  /// iterator's statx identified it in this very call (DeliveryHint.h);
  /// `sidecar`: a `._` file stands beside it, as the listing showed.
  void delivered(uint32_t index, int dirfd, bool sidecar) {
    delivery_.delivered(index, nodes_[index].generation, dirfd, sidecar);
  }
  /// Where `index` is, when it is what a deleting iterator delivered in the
  /// layer's previous call: no call of the layer (on any thread) came
  /// between, so that statx still identifies it, its lock state included;
  /// `sidecar` then says whether a `._` file stood beside it.
  bool deliveredJustNow(uint32_t index, Location &where, bool &sidecar);
  /// Full path of the entry, from the volume's mount point.
  std::string path(uint32_t index) const;

  /// The entry now has `name` inside `parent` (rename or move).
  void moved(uint32_t index, uint32_t parent, const std::string &name);
  /// The two entries trade their identities (inode, birth time, node ID):
  /// each keeps its place and name, as after an exchange of contents.
  void swapIdentity(uint32_t a, uint32_t b);
  /// The object is gone; references to it answer fnfErr from now on.
  void retire(uint32_t index);
  /// Something inside folder `index` changed through this layer.
  void touched(uint32_t index) {
    if (index != kNoNode)
      ++nodes_[index].changes;
  }

  /// The rename records this process's renames left open.
  OpenRenames &openRenames() { return renames_; }

  /// Bytes held per live entry (table, names, indexes), for measurements.
  size_t bytesUsed() const;
  size_t liveCount() const { return live_; }

private:
  NodeTable() = default;
  uint32_t allocate();
  /// The volume of a mount, met now for the first time when it is new.
  Volume *volumeForMount(uint64_t mountID);
  /// intern() of an inode the table has entries for, under another name or
  /// with another identity: `index` the entry to use, or kNoNode when a new
  /// one is needed; `otherName` then a live entry of another name of it.
  OSErr matchEntries(uint32_t parent, const std::string &name, const struct statx &stx,
                     uint32_t handle, uint32_t &index, uint32_t &otherName);
  /// Closes or ends the loan of every descriptor kept for the folder entry
  /// `index`.
  void forgetFolderFd(uint32_t index) {
    folderCache_.forget(index);
    iteratorFolders_.forget(index);
  }
  /// openat() that, when the process is out of descriptors, closes those
  /// this operation does not hold (FolderCache, IteratorFolders) and tries
  /// once more.
  int openFreeing(int dirfd, const char *name, int flags);
  /// The folder of `index` opened for reading as the parent ("..") of the
  /// folder `childFd`, when it is still the entry's object; -1 otherwise.
  int openAbove(uint32_t index, int childFd);
  /// Where a live entry is: its folder's descriptor and its name, or a
  /// volume root's descriptor and ".".
  OSErr placeOf(const Node &n, Location &where);
  /// openDirectory() and openObject(): opens the entry's name with `flags`
  /// and O_NOFOLLOW, and checks the descriptor.
  OSErr openChecked(uint32_t index, int flags, Location &where, int &fd, struct statx &stx,
                    unsigned mask);

  std::mutex mutex_;
  std::deque<Node> nodes_; // grows without a vector's doubling slack
  std::vector<uint32_t> free_;
  size_t live_ = 0;
  RefCodec refs_;
  VolumeRegistry volumes_;
  InodeIndex inodes_{nodes_};
  NodeIDs ids_{nodes_, inodes_};
  FolderCache folderCache_;
  IteratorFolders iteratorFolders_;
  DeliveryHint delivery_;
  mutable OpenRenames renames_; // decode() notes the objects a call works on
};

} // namespace quillmate::fm

#endif
