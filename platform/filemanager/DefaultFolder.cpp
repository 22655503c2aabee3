// The default folder (HGetVol, HSetVol).
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSErr PosixFileManager::getVol(StringPtr, FSVolumeRefNum *, SInt32 *) { return unimpErr; }

OSErr PosixFileManager::setVol(ConstStr63Param, FSVolumeRefNum, SInt32) { return unimpErr; }

} // namespace quillmate::fm
