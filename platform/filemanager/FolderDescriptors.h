// Descriptors of folders that the node table keeps or borrows, so that
// locating an entry opens its folder once rather than on every call.  Both
// know folders by entry index and generation: a descriptor never serves an
// entry retired since or reused.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_FOLDERDESCRIPTORS_H
#define QUILLMATE_PLATFORM_FILEMANAGER_FOLDERDESCRIPTORS_H

#include "platform/filemanager/Node.h"

#include <vector>

namespace quillmate::fm {

/// Descriptors (O_PATH) the table opened on folders.  One handed out during
/// an operation stays open until the next operation begins, however many
/// others that operation opens (deep paths grow the cache); beyond those,
/// the cache keeps 64 and closes the least recently used first.
class FolderCache {
public:
  FolderCache();
  FolderCache(const FolderCache &) = delete;
  FolderCache &operator=(const FolderCache &) = delete;
  ~FolderCache();

  /// A new operation begins: descriptors handed out before may be closed.
  void beginOperation() { ++operation_; }
  /// The descriptor kept for folder (index, generation), held for this
  /// operation; -1 when none is.
  int find(uint32_t index, uint32_t generation);
  /// Keeps `fd`, just opened on folder (index, generation), held for this
  /// operation: the cache's to close from now on.
  void keep(uint32_t index, uint32_t generation, int fd);
  /// Closes the descriptors kept for entry `index` (it changed identity or
  /// is gone).
  void forget(uint32_t index);

private:
  struct Slot {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int fd = -1;
    uint64_t lastUse = 0;
    uint64_t operation = 0; // the last that used it: not closed during it
  };
  std::vector<Slot> slots_;
  uint64_t clock_ = 0;
  uint64_t operation_ = 0;
};

/// Folders that open iterators hold descriptors on, lent to the table so
/// that calls on their items open nothing.  The descriptors stay the
/// iterators'; a loan ends when its iterator withdraws it (closing) or the
/// entry changes identity (forget).
class LentFolders {
public:
  void lend(uint32_t index, uint32_t generation, int fd) {
    lent_.push_back(Loan{index, generation, fd});
  }
  void withdraw(int fd);
  void forget(uint32_t index);
  /// The descriptor lent for folder (index, generation); -1 when none is.
  int find(uint32_t index, uint32_t generation) const {
    for (const Loan &l : lent_)
      if (l.index == index && l.generation == generation)
        return l.fd;
    return -1;
  }

private:
  struct Loan {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int fd = -1;
  };
  std::vector<Loan> lent_; // one per open iterator at most
};

} // namespace quillmate::fm

#endif
