// Change notices (FNNotify).  Other processes learn of changes on Linux from
// the file system itself (inotify, fanotify) whatever program makes them, so
// a notice has nothing to send outside the process.  Inside it, a
// directory-changed notice marks the folder changed for the iterators open
// on it: their next FSGetCatalogInfoBulk reports containerChanged, as for a
// change made through this layer.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSStatus PosixFileManager::notify(const FSRef *ref, FNMessage message, OptionBits) {
  if (message != kFNDirectoryModifiedMessage)
    return paramErr;
  NodeTable &table = NodeTable::shared();
  auto lock = table.lock();
  uint32_t index;
  if (OSErr err = table.decode(ref, index))
    return err;
  Location where;
  if (OSErr err = table.locate(index, where))
    return err;
  // A notice about a file is about the folder that lists it.
  table.touched(table.node(index).isDirectory ? index : table.node(index).parent);
  return noErr;
}

} // namespace quillmate::fm
