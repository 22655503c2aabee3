// The volumes this process has met: one per mount (statx's mount ID).
//
// A volume's reference number is negative and stays the same for the life of
// the process (-1 for the first met, -2 for the next...); at most 0x7FFF are
// kept.  Each holds its mount point open (O_PATH) for the life of the process,
// so that its root is reached without a path.  A Volume's address stays
// valid as more are added.  The node table gives each its root entry.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_VOLUMEREGISTRY_H
#define QUILLMATE_PLATFORM_FILEMANAGER_VOLUMEREGISTRY_H

#include "platform/filemanager/Node.h"

#include <deque>
#include <string>

namespace quillmate::fm {

struct Volume {
  uint64_t mountID = 0;
  std::string mountPoint;
  int rootFd = -1; // O_PATH, kept for the life of the process
  uint32_t rootNode = kNoNode;
  uint32_t nextSyntheticID = 0xFFFFFFFFu; // see NodeIDs
  FSVolumeRefNum refNum = 0;
};

class VolumeRegistry {
public:
  /// The volume of `refNum`; nullptr for a number no volume has (0 among
  /// them: the default volume is the node table's to find, as it may be new).
  Volume *find(FSVolumeRefNum refNum) {
    const size_t i = static_cast<size_t>(-1 - refNum);
    return refNum < 0 && i < volumes_.size() ? &volumes_[i] : nullptr;
  }
  /// The volume of a mount met before; nullptr when it is new.
  Volume *findMount(uint64_t mountID);

  /// Opens the point of mount `mountID`, checking that it reaches that very
  /// mount (not one hidden under another on the same point), into `v`
  /// (everything but rootNode) and the root's statx (kIdentityMask) and
  /// volume name; add() then keeps it.  nsvErr when the mount cannot be
  /// reached, tmfoErr when the registry is full.
  OSErr open(uint64_t mountID, Volume &v, struct statx &root, std::string &name) const;
  Volume &add(Volume &&v);

  std::deque<Volume>::const_iterator begin() const { return volumes_.begin(); }
  std::deque<Volume>::const_iterator end() const { return volumes_.end(); }

private:
  std::deque<Volume> volumes_; // references stay valid as volumes are added
};

} // namespace quillmate::fm

#endif
