// Change notices.
#include "platform/filemanager/PosixFileManager.h"

namespace quillmate::fm {

OSStatus PosixFileManager::notify(const FSRef *, FNMessage, OptionBits) { return unimpErr; }

} // namespace quillmate::fm
