#include "platform/filemanager/VolumeRegistry.h"

#include "platform/filemanager/MountInfo.h"
#include "platform/filemanager/Syscalls.h"

namespace quillmate::fm {

Volume *VolumeRegistry::findMount(uint64_t mountID) {
  for (Volume &v : volumes_)
    if (v.mountID == mountID)
      return &v;
  return nullptr;
}

OSErr VolumeRegistry::open(uint64_t mountID, Volume &v, struct statx &root,
                           std::string &name) const {
  if (volumes_.size() >= 0x7FFF)
    return tmfoErr;
  std::string point;
  if (!mountinfo::pointOf(mountID, point))
    return nsvErr;
  sys::Fd fd(sys::openAt(AT_FDCWD, point.c_str(), O_PATH | O_DIRECTORY));
  if (!fd.valid())
    return nsvErr;
  // A mount hidden under another one on the same point cannot be reached.
  if (sys::statxAt(fd.get(), "", kIdentityMask, &root) < 0 || root.stx_mnt_id != mountID)
    return nsvErr;
  name = mountinfo::volumeName(point, fd.get());
  v = Volume{};
  v.mountID = mountID;
  v.mountPoint = point;
  v.refNum = static_cast<FSVolumeRefNum>(-1 - static_cast<int>(volumes_.size()));
  v.rootFd = fd.release();
  return noErr;
}

Volume &VolumeRegistry::add(Volume &&v) {
  volumes_.push_back(std::move(v));
  return volumes_.back();
}

} // namespace quillmate::fm
