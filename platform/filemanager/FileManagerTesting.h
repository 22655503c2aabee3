// Test hooks of the File Manager layer.
#ifndef QUILLMATE_PLATFORM_FILEMANAGER_TESTING_H
#define QUILLMATE_PLATFORM_FILEMANAGER_TESTING_H

#include <CoreServices/Files.h>

namespace quillmate::fm::testing {

/// Makes `fd` an open fork and gives its reference number (0 when the table
/// is full).  The table owns the descriptor; closeAdoptedFork closes it.
FSIORefNum adoptDescriptorAsFork(int fd);
/// Closes a fork opened by adoptDescriptorAsFork; rfNumErr if none.
OSErr closeAdoptedFork(FSIORefNum refNum);

} // namespace quillmate::fm::testing

#endif
