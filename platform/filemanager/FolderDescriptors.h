// Descriptors of folders that the node table keeps or borrows, so that
// locating an entry opens its folder once rather than on every call.  Both
// know folders by entry index and generation: a descriptor never serves an
// entry retired since or reused.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_FOLDERDESCRIPTORS_H
#define QUILLMATE_PLATFORM_FILEMANAGER_FOLDERDESCRIPTORS_H

#include "platform/filemanager/Node.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace quillmate::fm {

/// Descriptors (O_PATH) the table opened on folders.  One handed out during
/// an operation stays open until the next operation begins, however many
/// others that operation opens (deep paths grow the cache); beyond those,
/// the cache keeps 64 and closes the least recently used first.  For a
/// process out of descriptors, releaseIdle() closes all but those.
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
  /// Closes every descriptor this operation does not hold; how many.
  size_t releaseIdle();

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

/// The descriptors (O_RDONLY) that open iterators hold on their folders,
/// owned here and lent to the table, so that calls on an iterator's items
/// open nothing.  An iterator holds a ticket.  At most budget() of them stay
/// open, so that the depth of a walk (one iterator a level) is bounded by
/// memory rather than by the process's descriptors: beyond it, the
/// descriptor used least recently, and not during this operation, is closed
/// and its iterator suspended, and the table reopens the folder when the
/// iterator is next used.  As in FolderCache, a descriptor used during an
/// operation stays open until the next one begins.  A loan ends when the
/// entry changes identity (forget); its iterator keeps its descriptor then,
/// but may not reopen it.
class IteratorFolders {
public:
  using Ticket = uint32_t;
  static constexpr Ticket kNoTicket = 0xFFFFFFFFu;
  /// The fewest descriptors the budget allows, whatever the limit.
  static constexpr size_t kMinimumBudget = 16;

  /// A quarter of the soft limit on the process's descriptors (RLIMIT_NOFILE),
  /// at least kMinimumBudget.
  static size_t budgetForLimit();

  explicit IteratorFolders(size_t budget = budgetForLimit())
      : budget_(budget < kMinimumBudget ? kMinimumBudget : budget) {}
  IteratorFolders(const IteratorFolders &) = delete;
  IteratorFolders &operator=(const IteratorFolders &) = delete;
  ~IteratorFolders();

  /// A new operation begins: descriptors used before may be closed.
  void beginOperation() { ++operation_; }
  /// Takes `fd`, just opened on folder (index, generation) for an iterator,
  /// and lends it; it is used during this operation.
  Ticket adopt(uint32_t index, uint32_t generation, int fd);
  /// The descriptor of `ticket`, used during this operation; -1 while the
  /// ticket is suspended.
  int use(Ticket ticket);
  /// Gives the suspended `ticket` its folder's descriptor `fd`, reopened.
  void resume(Ticket ticket, int fd);
  /// Closes the ticket's descriptor and ends its loan: the iterator closes.
  void release(Ticket ticket);

  /// The folder entry `ticket` holds, and whether it is still lent (the
  /// entry has kept the identity it had when the iterator opened it).
  uint32_t folder(Ticket ticket) const { return slots_[ticket].index; }
  bool lent(Ticket ticket) const { return slots_[ticket].lent; }

  /// The descriptor lent for folder (index, generation), used during this
  /// operation; -1 when none is open.
  int find(uint32_t index, uint32_t generation);
  /// The entry `index` changed identity or is gone: its loans end.
  void forget(uint32_t index);
  /// A suspended ticket still lent for folder (index, generation), the most
  /// recently used first; kNoTicket when there is none.
  Ticket suspendedOf(uint32_t index, uint32_t generation) const;
  /// The open ticket still lent whose folder entry `pick` accepts, the most
  /// recently used first; kNoTicket when there is none.
  template <class Pick> Ticket findOpen(Pick pick) const {
    for (Ticket t = newest_; t != kNoTicket; t = slots_[t].older)
      if (slots_[t].lent && pick(slots_[t].index))
        return t;
    return kNoTicket;
  }
  /// Suspends every ticket whose descriptor this operation has not used,
  /// for a process out of descriptors; how many were closed.
  size_t suspendIdle();

  size_t budget() const { return budget_; }
  void setBudget(size_t budget);
  /// Tickets with their descriptor open, and suspended.
  size_t open() const { return open_; }
  size_t suspended() const { return suspended_; }
  /// Descriptors closed to keep within the budget or for want of
  /// descriptors, and folders reopened, since the start.
  uint64_t suspensions() const { return suspensions_; }
  uint64_t resumptions() const { return resumptions_; }

private:
  struct Slot {
    uint32_t index = kNoNode;
    uint32_t generation = 0;
    int fd = -1; // -1 while suspended
    bool taken = false;
    bool lent = false;
    uint64_t operation = 0; // the last that used it: not closed during it
    uint64_t lastUse = 0;
    Ticket older = kNoTicket, newer = kNoTicket; // open descriptors by last use
  };
  void touch(Ticket ticket);
  void link(Ticket ticket);
  void unlink(Ticket ticket);
  void suspend(Ticket ticket);
  /// Suspends the least recently used tickets not used during this
  /// operation while more than the budget are open.
  void trim();

  std::vector<Slot> slots_;
  std::vector<Ticket> free_;
  std::unordered_multimap<uint32_t, Ticket> byFolder_;
  Ticket oldest_ = kNoTicket, newest_ = kNoTicket;
  size_t budget_;
  size_t open_ = 0, suspended_ = 0;
  uint64_t operation_ = 0, clock_ = 0;
  uint64_t suspensions_ = 0, resumptions_ = 0;
};

} // namespace quillmate::fm

#endif
