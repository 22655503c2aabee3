// The File Manager.
#ifndef QUILLMATE_FILES_H
#define QUILLMATE_FILES_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Reference number of an open fork.
typedef SInt16 FSIORefNum;

/// Writes `*count` bytes from `buffPtr` at the fork's mark and advances the
/// mark; `*count` becomes the number of bytes written.  rfNumErr for a
/// reference number that names no open fork.
OSErr FSWrite(FSIORefNum refNum, SInt32 *count, const void *buffPtr);
/// Reads up to `*count` bytes at the mark; `*count` becomes the number read,
/// and eofErr tells that the end was reached first.
OSErr FSRead(FSIORefNum refNum, SInt32 *count, void *buffPtr);

#ifdef __cplusplus
}
#endif

#endif
