#include "platform/filemanager/InodeIndex.h"

namespace quillmate::fm {

void InodeIndex::place(uint32_t slot) {
  const Node &n = nodes_[slot - 1];
  const size_t mask = slots_.size() - 1;
  size_t i = home(n.volume, n.ino);
  while (slots_[i] != 0)
    i = (i + 1) & mask;
  slots_[i] = slot;
}

void InodeIndex::insert(uint32_t index) {
  if ((count_ + 1) * 2 > slots_.size())
    grow();
  place(index + 1);
  ++count_;
}

void InodeIndex::erase(uint32_t index) {
  const Node &n = nodes_[index];
  const size_t mask = slots_.size() - 1;
  size_t i = home(n.volume, n.ino);
  while (slots_[i] != index + 1) {
    if (slots_[i] == 0)
      return;
    i = (i + 1) & mask;
  }
  // Each entry after the gap, up to the next free slot, moves into the gap
  // unless its home lies cyclically after the gap and up to its own slot
  // (where probing from its home would no longer pass the gap).
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j] == 0)
      break;
    const Node &m = nodes_[slots_[j] - 1];
    const size_t h = home(m.volume, m.ino);
    const bool movable = (j > i) ? (h <= i || h > j) : (h <= i && h > j);
    if (movable) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = 0;
  --count_;
}

void InodeIndex::grow() {
  std::vector<uint32_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  for (uint32_t s : old)
    if (s != 0)
      place(s);
}

} // namespace quillmate::fm
