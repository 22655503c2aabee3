// The default folder of the classic calls (HGetVol, HSetVol, volume 0 in a
// parameter block) is the process's current directory: there is one per
// process on both sides, and relative paths of the rest of the program then
// agree with it.
#include "platform/filemanager/OneByteNames.h"
#include "platform/filemanager/PosixFileManager.h"
#include "platform/filemanager/Syscalls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmate::fm {
namespace detail {

OSErr defaultFolder(FSVolumeRefNum &volume, uint32_t &index) {
  std::string cwd;
  if (sys::getCwd(cwd) < 0)
    return sys::lastStatus(); // ENOENT: the current directory was removed
  if (cwd.empty() || cwd[0] != '/')
    return fnfErr; // "(unreachable)/...": outside this process's root
  // The folder itself rather than its path, which may be past PATH_MAX.
  struct statx stx;
  if (sys::statxAt(AT_FDCWD, ".", kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  if (OSErr err = internPath(cwd, stx, index))
    return err;
  volume = NodeTable::shared().node(index).volume;
  return noErr;
}

FSVolumeRefNum defaultVolume() {
  FSVolumeRefNum volume;
  uint32_t index;
  return defaultFolder(volume, index) == noErr ? volume : FSVolumeRefNum(0);
}

} // namespace detail

using namespace detail;

OSErr PosixFileManager::getVol(StringPtr volName, FSVolumeRefNum *vRefNum, SInt32 *dirID) {
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  FSVolumeRefNum volume;
  uint32_t index;
  if (OSErr err = defaultFolder(volume, index))
    return err;
  if (volName) {
    // The volume's name in one-byte form, at most 27 bytes as volume names are.
    HFSUniStr255 name;
    if (OSErr err = fillOutputs(table.volume(volume)->rootNode, &name, nullptr, nullptr))
      return err;
    StrFileName bytes;
    onebyte::fromUnicode(name, fsRtDirID, bytes);
    const size_t length = std::min<size_t>(bytes[0], 27);
    volName[0] = static_cast<unsigned char>(length);
    std::memcpy(volName + 1, bytes + 1, length);
  }
  if (vRefNum)
    *vRefNum = volume;
  if (dirID)
    *dirID = static_cast<SInt32>(table.node(index).nodeID);
  return noErr;
}

OSErr PosixFileManager::setVol(ConstStr63Param volName, FSVolumeRefNum vRefNum, SInt32 dirID) {
  // Volumes are named by reference number here; a name is not looked up.
  if (volName && volName[0])
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = resolveSpec(vRefNum, dirID, nullptr, index))
    return err;
  Location where;
  struct statx stx;
  if (OSErr err = table.locate(index, where, &stx))
    return err;
  if (!S_ISDIR(stx.stx_mode))
    return dirNFErr;
  sys::Fd folder(sys::openAt(where.dirfd, where.name, O_PATH | O_DIRECTORY));
  if (!folder.valid() || sys::fchDir(folder.get()) < 0)
    return sys::lastStatus();
  return noErr;
}

} // namespace quillmate::fm
