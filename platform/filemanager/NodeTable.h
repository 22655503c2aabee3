// The process-wide table of objects this process has met, and of volumes.
//
// An FSRef names an entry of the table by index and generation.  An entry
// is a name in a folder, not an inode (two hard-linked names are two
// objects): it holds its parent entry, its name on disk and the identity the
// object must still have there (inode and birth time: inode numbers are
// reused at once).
// Operations of this layer update entries as they rename, move, exchange and
// delete, so references follow objects moved through the layer.  When the
// object behind an entry changed behind the layer's back, resolution answers
// fnfErr instead of reaching another object.
//
// A volume is a mount (statx's mount ID) with a negative reference number
// that is stable for the process.  Its root folder has node ID 2 and parent
// ID 1.  Node IDs are the inode numbers where those fit in 32 bits and are 3
// or more; other objects get an ID the table hands out from 0xFFFFFFFF down.
// A regular file may instead carry the ID of its place in its metadata (an
// exchange puts it there), which costs a read: a file met inside a folder has
// no ID (kUnsettledID) until something needs it, and settle() gives it one.
//
// Everything here requires the table's lock (lock()).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_NODETABLE_H
#define QUILLMATE_PLATFORM_FILEMANAGER_NODETABLE_H

#include <CoreServices/Files.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct statx;

namespace quillmate::fm {

inline constexpr uint32_t kNoNode = 0xFFFFFFFFu;
/// Node::nodeID of a regular file whose ID is not known yet.
inline constexpr uint32_t kUnsettledID = 0;
/// statx fields every identity check asks for.
extern const unsigned kIdentityMask;
/// The birth time in nanoseconds (0 where the file system has none), as
/// Node::birth holds it.
int64_t birthOf(const struct statx &stx);

struct Node {
  std::string name;      // on disk; empty for a volume root
  uint64_t ino = 0;
  int64_t birth = 0;     // birth time in nanoseconds, 0 where unknown
  uint32_t parent = kNoNode;
  uint32_t nodeID = 0;   // kUnsettledID until settled (regular files only)
  uint32_t generation = 1;
  uint32_t changes = 0;  // bumped by this layer's changes inside a folder
  uint32_t handle = 0;   // digest of the file handle (inode generation), 0 if not taken
  FSVolumeRefNum volume = 0;
  bool isDirectory = false;
  bool live = false;
};

struct Volume {
  uint64_t mountID = 0;
  std::string mountPoint;
  int rootFd = -1; // O_PATH, kept for the life of the process
  uint32_t rootNode = kNoNode;
  uint32_t nextSyntheticID = 0xFFFFFFFFu;
  FSVolumeRefNum refNum = 0;
};

/// An object located on disk: `name` inside folder `dirfd` (the table's
/// descriptor or an open iterator's, not the caller's); a volume root is "."
/// inside its own descriptor.
struct Location {
  int dirfd = -1;
  const char *name = ".";
};

class NodeTable {
public:
  static NodeTable &shared();

  /// Holds the table for one operation.  Folder descriptors handed out
  /// during the operation stay open until the next one begins.
  std::unique_lock<std::mutex> lock() {
    std::unique_lock<std::mutex> held(mutex_);
    ++epoch_;
    return held;
  }

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
  uint32_t findByInode(FSVolumeRefNum volume, uint64_t ino) const;

  bool settled(uint32_t index) const { return nodes_[index].nodeID != kUnsettledID; }
  /// Gives the file of `index` its node ID, once: the ID another of its
  /// names shows, else `recorded` (the ID its metadata records for its
  /// inode, 0 for none) unless another entry holds that ID already, else its
  /// inode number unless another entry holds that, else an ID of this
  /// process's own.
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

  /// An iterator holds `fd` open on the folder of `index`: openFolder() and
  /// locate() use it instead of opening the folder again, until it is
  /// withdrawn (the iterator closes) or the entry changes identity.  The
  /// descriptor stays the iterator's.
  void lendFolder(uint32_t index, int fd);
  void withdrawFolder(int fd);

  /// A deleting iterator has just delivered `index`, a file that is not
  /// locked, as its name inside the iterator's folder `dirfd`: the
  /// iterator's statx identified it in this very call.
  void delivered(uint32_t index, int dirfd);
  /// Where `index` is, when it is what a deleting iterator delivered in the
  /// layer's previous call: no call of the layer (on any thread) came
  /// between, so that statx still identifies it, its lock state included.
  bool deliveredJustNow(uint32_t index, Location &where) const;
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

  /// Bytes held per live entry (table, names, indexes), for measurements.
  size_t bytesUsed() const;
  size_t liveCount() const { return live_; }

private:
  NodeTable();
  uint32_t allocate();
  Volume *volumeForMount(uint64_t mountID);
  OSErr addVolume(uint64_t mountID, Volume *&out);
  uint32_t assignID(Volume &v, uint64_t ino);
  /// intern() of an inode the table has entries for, under another name or
  /// with another identity: `index` the entry to use, or kNoNode when a new
  /// one is needed; `otherName` then a live entry of another name of it.
  OSErr matchEntries(uint32_t parent, const std::string &name, const struct statx &stx,
                     uint32_t handle, uint32_t &index, uint32_t &otherName);
  void forgetFolderFd(uint32_t index);
  /// Where a live entry is: its folder's descriptor and its name, or a
  /// volume root's descriptor and ".".
  OSErr placeOf(const Node &n, Location &where);
  /// openDirectory() and openObject(): opens the entry's name with `flags`
  /// and O_NOFOLLOW, and checks the descriptor.
  OSErr openChecked(uint32_t index, int flags, Location &where, int &fd, struct statx &stx,
                    unsigned mask);

  // Open addressing over (volume, inode) -> index + 1, linear probing with
  // backward-shift deletion: 4 bytes a slot keep the table near the
  // per-object budget.
  size_t slotFor(FSVolumeRefNum volume, uint64_t ino) const;
  bool heldByOther(FSVolumeRefNum volume, uint32_t id, uint32_t index) const;
  /// Calls `f` with each entry of (volume, inode): the names of a
  /// hard-linked file are several entries.
  template <class F> void eachOfInode(FSVolumeRefNum volume, uint64_t ino, F &&f) const;
  /// Calls `f` with each entry showing node ID `id` (not the root's 2).
  template <class F> void eachWithID(FSVolumeRefNum volume, uint32_t id, F &&f) const;
  void insertInode(uint32_t index);
  void eraseInode(uint32_t index);
  void growSlots();

  std::mutex mutex_;
  std::deque<Node> nodes_; // grows without a vector's doubling slack
  std::vector<uint32_t> free_;
  std::vector<uint32_t> slots_;
  size_t live_ = 0;
  std::deque<Volume> volumes_; // references stay valid as volumes are added
  // (volume, ID) -> index of every ID that is not its entry's inode number:
  // this process's own and those recorded in metadata.
  std::unordered_map<uint64_t, uint32_t> synthetic_;
  uint32_t processTag_;

  struct CachedFolder {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int fd = -1;
    uint64_t lastUse = 0;
    uint64_t epoch = 0; // the operation that last used it: not evicted during it
  };
  std::vector<CachedFolder> folderCache_;
  uint64_t clock_ = 0;
  uint64_t epoch_ = 0;

  struct LentFolder {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int fd = -1;
  };
  std::vector<LentFolder> lent_; // one per open iterator at most

  struct Delivery {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int dirfd = -1;
    uint64_t epoch = 0;
  };
  Delivery delivered_;
};

} // namespace quillmate::fm

#endif
