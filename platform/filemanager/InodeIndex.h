// The inode index: which entries of the node table show a given inode on a
// given volume (several, for the names of a hard-linked file).
//
// Open addressing over (volume, inode) -> entry index + 1 (0 marks a free
// slot), linear probing, at most half full.  Erasing shifts the entries
// after it back into the gap (no tombstones), so after any sequence of
// insertions and erasures every indexed entry is found by probing from its
// home slot to the first free one, and lookups never slow down with churn.
// Four bytes a slot keep it within the per-object budget.
//
// The key is read from the entries themselves: an indexed entry's volume
// and inode must not change (erase it, change them, insert it again).
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_INODEINDEX_H
#define QUILLMATE_PLATFORM_FILEMANAGER_INODEINDEX_H

#include "platform/filemanager/Node.h"

#include <cstddef>
#include <deque>
#include <vector>

namespace quillmate::fm {

class InodeIndex {
public:
  /// An index over `nodes` with `slots` slots to begin with (a power of
  /// two); it doubles as it fills.
  explicit InodeIndex(const std::deque<Node> &nodes, size_t slots = 1024)
      : nodes_(nodes), slots_(slots, 0) {}

  /// An entry of (volume, ino); kNoNode when none is indexed.
  uint32_t find(FSVolumeRefNum volume, uint64_t ino) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(volume, ino);; i = (i + 1) & mask) {
      const uint32_t s = slots_[i];
      if (s == 0)
        return kNoNode;
      const Node &n = nodes_[s - 1];
      if (n.ino == ino && n.volume == volume)
        return s - 1;
    }
  }
  /// Calls `f` with each entry of (volume, ino).
  template <class F> void each(FSVolumeRefNum volume, uint64_t ino, F &&f) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(volume, ino); slots_[i] != 0; i = (i + 1) & mask) {
      const Node &n = nodes_[slots_[i] - 1];
      if (n.ino == ino && n.volume == volume)
        f(slots_[i] - 1);
    }
  }

  /// Indexes entry `index` under its volume and inode.
  void insert(uint32_t index);
  /// Takes entry `index` out; nothing when it is not indexed.
  void erase(uint32_t index);

  size_t size() const { return count_; }
  size_t bytesUsed() const { return slots_.capacity() * sizeof(uint32_t); }

private:
  size_t home(FSVolumeRefNum volume, uint64_t ino) const {
    uint64_t x = ino ^ (static_cast<uint64_t>(static_cast<uint16_t>(volume)) << 48);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x & (slots_.size() - 1);
  }
  /// Puts `slot` (an entry index + 1) into the first free slot of its chain.
  void place(uint32_t slot);
  void grow();

  const std::deque<Node> &nodes_;
  std::vector<uint32_t> slots_;
  size_t count_ = 0;
};

} // namespace quillmate::fm

#endif
