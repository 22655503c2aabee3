// The process-wide table of open forks, keyed by fork reference number.
//
// Every open fork reads and writes through a descriptor of its own: a data
// fork's is the file's, a resource fork's its `._` file's (Sidecar.h), which
// it holds once there is one.  Reference numbers are small positive numbers,
// handed out lowest first and reused once closed, as the platform does.  The
// table is guarded by one mutex: callers may be on any thread.  Per-fork
// state beyond the descriptor (which node, which fork, the access it was
// opened with) lives in ForkEntry, so that growing the File Manager means
// growing the entry, not replacing the table.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_FORKTABLE_H
#define QUILLMATE_PLATFORM_FILEMANAGER_FORKTABLE_H

#include <CoreServices/Files.h>

#include "platform/filemanager/Sidecar.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillmate::fm {

struct ForkEntry {
  int fd = -1;             // the data fork's descriptor (or an adopted one)
  bool resource = false;   // a resource fork: `sidecar` below, no `fd`
  bool canWrite = true;    // adopted descriptors: whatever they allow
  bool sharedWrite = false;
  SInt8 permissions = fsCurPerm;
  uint32_t node = 0xFFFFFFFFu; // node table entry; none for adopted descriptors
  uint32_t nodeGeneration = 0;
  FSVolumeRefNum volume = 0;
  UInt32 nodeID = 0;
  uint64_t ino = 0;            // the file's inode, which its hard-linked names share
  SInt64 mark = 0;             // resource forks; a data fork's mark is its offset
  /// A resource fork's `._` file, opened for this fork alone (an open file
  /// description of its own, which holds its range locks), with the header
  /// as this fork last read it; null while the file has none this fork
  /// knows of.  Read and changed only with the table locked.
  std::unique_ptr<sidecar::File> sidecar;
  std::vector<std::pair<SInt64, SInt64>> ranges; // locked (start, length; 0 = to the end)

  /// A fork open for reading only locks its ranges shared: other readers may
  /// lock them too, writers may not.
  bool sharesLocks() const { return !canWrite; }

  bool inUse() const { return fd >= 0 || resource; }
  bool hasNode() const { return node != 0xFFFFFFFFu; }
  /// The same file, through this entry or another of its names.
  bool sameFileAs(uint32_t otherNode, FSVolumeRefNum otherVolume, uint64_t otherIno) const {
    return node == otherNode || (hasNode() && volume == otherVolume && ino == otherIno);
  }
  /// The same fork: the data fork of the same file by any of its names; the
  /// resource fork of the same name, as each name has a `._` file of its own.
  bool sameForkAs(uint32_t otherNode, FSVolumeRefNum otherVolume, uint64_t otherIno,
                  bool otherResource) const {
    if (resource != otherResource)
      return false;
    return resource ? node == otherNode : sameFileAs(otherNode, otherVolume, otherIno);
  }
};

class ForkTable {
public:
  /// The table of this process.
  static ForkTable &shared();

  /// Takes ownership of `fd` and gives its reference number, or 0 when the
  /// table is full (the caller answers tmfoErr and still owns `fd`).
  FSIORefNum insert(ForkEntry &&entry);

  /// Calls `f(ForkEntry&)` with the table locked; rfNumErr when `refNum`
  /// names no open fork.
  template <class F> OSErr with(FSIORefNum refNum, F &&f) {
    std::lock_guard<std::mutex> lock(mutex_);
    ForkEntry *entry = find(refNum);
    if (!entry)
      return rfNumErr;
    return f(*entry);
  }

  /// Calls `f(refNum, const ForkEntry&)` for every open fork, table locked.
  template <class F> void each(F &&f) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].inUse())
        f(static_cast<FSIORefNum>(i + 1), entries_[i]);
  }

  /// Calls `f(ForkEntry&)` for every open fork other than `self`, from
  /// inside with() on `self`, whose lock it relies on.
  template <class F> void eachOther(const ForkEntry &self, F &&f) {
    for (ForkEntry &entry : entries_)
      if (&entry != &self && entry.inUse())
        f(entry);
  }

  /// Removes the entry and gives it back (its descriptor now the caller's);
  /// false when `refNum` names no open fork.
  bool remove(FSIORefNum refNum, ForkEntry &out);

  static constexpr int kMaxForks = 32767;

private:
  ForkEntry *find(FSIORefNum refNum);

  std::mutex mutex_;
  std::vector<ForkEntry> entries_; // index = refNum - 1
};

} // namespace quillmate::fm

#endif
