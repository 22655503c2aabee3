#include "platform/filemanager/ForkTable.h"

namespace quillmate::fm {

ForkTable &ForkTable::shared() {
  static ForkTable *table = new ForkTable; // never destroyed: forks may outlive static destructors
  return *table;
}

FSIORefNum ForkTable::insert(ForkEntry &&entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].inUse()) {
      entries_[i] = std::move(entry);
      return static_cast<FSIORefNum>(i + 1);
    }
  }
  if (entries_.size() >= static_cast<size_t>(kMaxForks))
    return 0;
  entries_.push_back(std::move(entry));
  return static_cast<FSIORefNum>(entries_.size());
}

ForkEntry *ForkTable::find(FSIORefNum refNum) {
  if (refNum <= 0 || static_cast<size_t>(refNum) > entries_.size())
    return nullptr;
  ForkEntry &entry = entries_[static_cast<size_t>(refNum) - 1];
  return entry.inUse() ? &entry : nullptr;
}

bool ForkTable::remove(FSIORefNum refNum, ForkEntry &out) {
  std::lock_guard<std::mutex> lock(mutex_);
  ForkEntry *entry = find(refNum);
  if (!entry)
    return false;
  out = std::move(*entry);
  *entry = ForkEntry{};
  return true;
}

} // namespace quillmate::fm
