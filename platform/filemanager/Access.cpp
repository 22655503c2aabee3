// Users, groups and folder access rights.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSErr PosixFileManager::mapID(HParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::mapName(HParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::getDirAccess(HParmBlkPtr) { return unimpErr; }

OSErr PosixFileManager::setDirAccess(HParmBlkPtr) { return unimpErr; }

} // namespace quillmate::fm
