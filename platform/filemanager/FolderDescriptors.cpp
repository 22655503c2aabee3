#include "platform/filemanager/FolderDescriptors.h"

#include "platform/filemanager/Syscalls.h"

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

void LentFolders::withdraw(int fd) {
  std::erase_if(lent_, [fd](const Loan &l) { return l.fd == fd; });
}

void LentFolders::forget(uint32_t index) {
  std::erase_if(lent_, [index](const Loan &l) { return l.index == index; });
}

} // namespace quillmate::fm
