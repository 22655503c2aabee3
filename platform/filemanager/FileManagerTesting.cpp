#include "platform/filemanager/FileManagerTesting.h"

#include "platform/filemanager/ForkTable.h"

#include <unistd.h>

namespace quillmate::fm::testing {

FSIORefNum adoptDescriptorAsFork(int fd) {
  ForkEntry entry;
  entry.fd = fd;
  return ForkTable::shared().insert(entry);
}

OSErr closeAdoptedFork(FSIORefNum refNum) {
  ForkEntry entry;
  if (!ForkTable::shared().remove(refNum, entry))
    return rfNumErr;
  ::close(entry.fd);
  return noErr;
}

} // namespace quillmate::fm::testing
