// The Memory Manager's relocatable blocks (handles).
//
// A Handle points at a master pointer, which points at the block, as on the
// platform: code may dereference `*h` to reach the bytes.  The block may move
// when its size changes; the master pointer is updated, so the Handle stays.
// MemError() reports the status of this thread's last call.
#ifndef QUILLMATE_MACMEMORY_H
#define QUILLMATE_MACMEMORY_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>

#ifdef __cplusplus
extern "C" {
#endif

/// A new block of `byteCount` bytes (contents undefined), or null with
/// MemError() == memFullErr.
Handle NewHandle(Size byteCount);
/// As NewHandle, with the bytes set to zero.
Handle NewHandleClear(Size byteCount);
/// A handle whose master pointer is null (no block yet).
Handle NewEmptyHandle(void);
/// Frees the block and its master pointer.  A null handle does nothing.
void DisposeHandle(Handle h);
/// The block's size in bytes; 0 with MemError() == nilHandleErr for null.
Size GetHandleSize(Handle h);
/// Grows or shrinks the block, keeping its first bytes.  On failure the block
/// is unchanged and MemError() is memFullErr.
void SetHandleSize(Handle h, Size newSize);
/// Appends `size` bytes from `srcPtr` to the block.  On failure the block is
/// unchanged and the status (memFullErr) is returned.
OSErr PtrAndHand(const void *srcPtr, Handle h, Size size);
/// Status of the last Memory Manager call on this thread.
OSErr MemError(void);

void HLock(Handle h);
void HUnlock(Handle h);

/// Copies `byteCount` bytes; the ranges may overlap.
void BlockMoveData(const void *srcPtr, void *destPtr, Size byteCount);

#ifdef __cplusplus
}
#endif

#endif
