// File IDs.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSErr PosixFileManager::createFileIDRef(HParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::resolveFileIDRef(HParmBlkPtr) { return unimpErr; }

} // namespace quillmate::fm
