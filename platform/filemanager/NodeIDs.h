// Node IDs: which ID each entry of the node table shows, and which entries
// show a given ID.
//
// An object's ID is its inode number where that fits in 32 bits, is 3 or
// more (1 and 2 are the root's parent and the root) and is not another's
// ID; other objects get an ID their volume hands out from 0xFFFFFFFF down,
// skipping every ID in use.  The names of a hard-linked file share one ID.
// A regular file may carry the ID of its place in its metadata (an exchange
// puts it there), which costs a read: a file met inside a folder has no ID
// (kUnsettledID) until something needs it, and settle() gives it one.
//
// Guarantees: no two objects of a volume show one ID, and each() finds every
// entry showing an ID, through the inode index for IDs that are inode
// numbers and through a map (volume, ID) -> entry for the others.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_NODEIDS_H
#define QUILLMATE_PLATFORM_FILEMANAGER_NODEIDS_H

#include "platform/filemanager/InodeIndex.h"
#include "platform/filemanager/VolumeRegistry.h"

#include <unordered_map>

namespace quillmate::fm {

class NodeIDs {
public:
  NodeIDs(std::deque<Node> &nodes, const InodeIndex &inodes) : nodes_(nodes), inodes_(inodes) {}

  /// The ID of a new object of `v` with inode `ino`: that number where it
  /// may be, else one of the volume's own.
  uint32_t assign(Volume &v, uint64_t ino);
  /// Gives the unsettled file of `index` (on volume `v`) its ID: the one
  /// another of its names shows, else `recorded` (the ID its metadata
  /// records for its inode, 0 for none) unless another entry holds it, else
  /// its inode number unless another entry holds that, else one of the
  /// volume's own.
  void settle(uint32_t index, Volume &v, uint32_t recorded);
  /// Entry `index` (indexed by inode) shows its node ID from now on: each()
  /// finds it by it.  Another name of a hard-linked file that shows the ID
  /// already keeps being the one the map names.
  void shows(uint32_t index);
  /// Entries `a` and `b` traded inodes and kept their IDs: each is found by
  /// its ID again.
  void traded(uint32_t a, uint32_t b);
  /// Entry `index`, out of the inode index already, is being retired: its
  /// ID passes to another name of the file showing it, or is free again.
  void released(uint32_t index);

  /// Calls `f` with each entry showing node ID `id` on `volume` (the root's
  /// 2 only where the root's inode number is 2).
  template <class F> void each(FSVolumeRefNum volume, uint32_t id, F &&f) const {
    uint64_t ino = id;
    if (auto it = synthetic_.find(key(volume, id)); it != synthetic_.end())
      ino = nodes_[it->second].ino;
    inodes_.each(volume, ino, [&](uint32_t i) {
      if (nodes_[i].nodeID == id)
        f(i);
    });
  }

  /// Bytes held, for measurements.
  size_t bytesUsed() const { return synthetic_.size() * 32; }

private:
  static uint64_t key(FSVolumeRefNum volume, uint32_t id) {
    return (static_cast<uint64_t>(static_cast<uint16_t>(volume)) << 32) | id;
  }
  bool heldByOther(FSVolumeRefNum volume, uint32_t id, uint32_t index) const;

  std::deque<Node> &nodes_;
  const InodeIndex &inodes_;
  // (volume, ID) -> entry of every ID that is not its entry's inode number:
  // this process's own and those recorded in metadata.
  std::unordered_map<uint64_t, uint32_t> synthetic_;
};

} // namespace quillmate::fm

#endif
