// Copy and move-rename carried out by the file system.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSErr PosixFileManager::copyFile(HParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::moveRename(HParmBlkPtr) { return unimpErr; }

} // namespace quillmate::fm
