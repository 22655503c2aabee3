#include "platform/filemanager/FolderDescriptors.h"

#include "platform/filemanager/Syscalls.h"

#include <algorithm>

namespace quillmate::fm {
namespace {

constexpr size_t kFolderCacheSize = 64;

} // namespace

FolderCache::FolderCache() : slots_(kFolderCacheSize) {}

FolderCache::~FolderCache() {
  for (Slot &s : slots_)
    if (s.fd >= 0)
      sys::close(s.fd);
}

int FolderCache::find(uint32_t index, uint32_t generation) {
  for (Slot &s : slots_) {
    if (s.fd >= 0 && s.index == index && s.generation == generation) {
      s.lastUse = ++clock_;
      s.operation = operation_;
      return s.fd;
    }
  }
  return -1;
}

void FolderCache::keep(uint32_t index, uint32_t generation, int fd) {
  // The least recently used slot that this operation does not hold, a free
  // one first; a new slot when this operation holds every one.
  size_t victim = slots_.size();
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Slot &s = slots_[i];
    if (s.fd >= 0 && s.operation == operation_)
      continue;
    if (victim == slots_.size() || s.fd < 0 || s.lastUse < slots_[victim].lastUse)
      victim = i;
    if (s.fd < 0)
      break;
  }
  if (victim == slots_.size())
    slots_.emplace_back();
  Slot &slot = slots_[victim];
  if (slot.fd >= 0)
    sys::close(slot.fd);
  slot = Slot{index, generation, fd, ++clock_, operation_};
}

void FolderCache::forget(uint32_t index) {
  for (Slot &s : slots_) {
    if (s.index == index && s.fd >= 0) {
      sys::close(s.fd);
      s = Slot{};
    }
  }
}

size_t FolderCache::releaseIdle() {
  size_t closed = 0;
  for (Slot &s : slots_) {
    if (s.fd >= 0 && s.operation != operation_) {
      sys::close(s.fd);
      s = Slot{};
      ++closed;
    }
  }
  return closed;
}

// --- IteratorFolders -----------------------------------------------------------

size_t IteratorFolders::budgetForLimit() {
  return std::max(kMinimumBudget, static_cast<size_t>(sys::descriptorLimit() / 4));
}

IteratorFolders::~IteratorFolders() {
  for (Slot &s : slots_)
    if (s.fd >= 0)
      sys::close(s.fd);
}

IteratorFolders::Ticket IteratorFolders::adopt(uint32_t index, uint32_t generation, int fd) {
  Ticket t;
  if (!free_.empty()) {
    t = free_.back();
    free_.pop_back();
  } else {
    t = static_cast<Ticket>(slots_.size());
    slots_.emplace_back();
  }
  Slot &s = slots_[t];
  s = Slot{};
  s.index = index;
  s.generation = generation;
  s.fd = fd;
  s.taken = true;
  s.lent = true;
  byFolder_.emplace(index, t);
  ++open_;
  link(t);
  touch(t);
  trim();
  return t;
}

int IteratorFolders::use(Ticket ticket) {
  touch(ticket);
  return slots_[ticket].fd;
}

void IteratorFolders::resume(Ticket ticket, int fd) {
  slots_[ticket].fd = fd;
  --suspended_;
  ++open_;
  ++resumptions_;
  link(ticket);
  touch(ticket);
  trim();
}

void IteratorFolders::release(Ticket ticket) {
  Slot &s = slots_[ticket];
  if (s.fd >= 0) {
    unlink(ticket);
    sys::close(s.fd);
    --open_;
  } else {
    --suspended_;
  }
  auto [first, last] = byFolder_.equal_range(s.index);
  for (auto i = first; i != last; ++i)
    if (i->second == ticket) {
      byFolder_.erase(i);
      break;
    }
  s = Slot{};
  free_.push_back(ticket);
}

int IteratorFolders::find(uint32_t index, uint32_t generation) {
  auto [first, last] = byFolder_.equal_range(index);
  for (auto i = first; i != last; ++i) {
    const Slot &s = slots_[i->second];
    if (s.lent && s.generation == generation && s.fd >= 0) {
      touch(i->second);
      return s.fd;
    }
  }
  return -1;
}

void IteratorFolders::forget(uint32_t index) {
  auto [first, last] = byFolder_.equal_range(index);
  for (auto i = first; i != last; ++i)
    slots_[i->second].lent = false;
}

IteratorFolders::Ticket IteratorFolders::suspendedOf(uint32_t index, uint32_t generation) const {
  Ticket found = kNoTicket;
  auto [first, last] = byFolder_.equal_range(index);
  for (auto i = first; i != last; ++i) {
    const Slot &s = slots_[i->second];
    if (s.fd < 0 && s.lent && s.generation == generation &&
        (found == kNoTicket || s.lastUse > slots_[found].lastUse))
      found = i->second;
  }
  return found;
}

size_t IteratorFolders::suspendIdle() {
  size_t closed = 0;
  for (Ticket t = oldest_; t != kNoTicket;) {
    const Ticket next = slots_[t].newer;
    if (slots_[t].operation != operation_) {
      suspend(t);
      ++closed;
    }
    t = next;
  }
  return closed;
}

void IteratorFolders::setBudget(size_t budget) {
  budget_ = std::max(budget, kMinimumBudget);
  trim();
}

void IteratorFolders::touch(Ticket ticket) {
  Slot &s = slots_[ticket];
  s.operation = operation_;
  s.lastUse = ++clock_;
  if (s.fd >= 0 && newest_ != ticket) {
    unlink(ticket);
    link(ticket);
  }
}

void IteratorFolders::link(Ticket ticket) {
  Slot &s = slots_[ticket];
  s.older = newest_;
  s.newer = kNoTicket;
  if (newest_ != kNoTicket)
    slots_[newest_].newer = ticket;
  else
    oldest_ = ticket;
  newest_ = ticket;
}

void IteratorFolders::unlink(Ticket ticket) {
  Slot &s = slots_[ticket];
  (s.older != kNoTicket ? slots_[s.older].newer : oldest_) = s.newer;
  (s.newer != kNoTicket ? slots_[s.newer].older : newest_) = s.older;
  s.older = s.newer = kNoTicket;
}

void IteratorFolders::suspend(Ticket ticket) {
  Slot &s = slots_[ticket];
  unlink(ticket);
  sys::close(s.fd);
  s.fd = -1;
  --open_;
  ++suspended_;
  ++suspensions_;
}

void IteratorFolders::trim() {
  for (Ticket t = oldest_; open_ > budget_ && t != kNoTicket;) {
    const Ticket next = slots_[t].newer;
    if (slots_[t].operation != operation_)
      suspend(t);
    t = next;
  }
}

} // namespace quillmate::fm
