// Volume mount records and mounting.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSErr PosixFileManager::getVolMountInfoSize(ParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::getVolMountInfo(ParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::volumeMount(ParmBlkPtr) { return unimpErr; }

} // namespace quillmate::fm
