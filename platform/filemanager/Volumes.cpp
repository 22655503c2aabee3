// Volumes: FSGetVolumeInfo and PBHGetVolParmsSync.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSErr PosixFileManager::getVolumeInfo(FSVolumeRefNum, ItemCount, FSVolumeRefNum *, FSVolumeInfoBitmap, FSVolumeInfo *, HFSUniStr255 *, FSRef *) { return unimpErr; }

OSErr PosixFileManager::getVolParms(HParmBlkPtr) { return unimpErr; }

} // namespace quillmate::fm
