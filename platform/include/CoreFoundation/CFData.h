// Immutable byte buffers.
#ifndef QUILLMATE_CFDATA_H
#define QUILLMATE_CFDATA_H

#include <CoreFoundation/CFBase.h>

extern "C" {

typedef const struct __CFData *CFDataRef;

CFTypeID CFDataGetTypeID(void);
// Copies length bytes (null bytes may be null when length is 0).
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8 *bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef theData);
// Valid while the data lives; never null, even when the length is 0.
const UInt8 *CFDataGetBytePtr(CFDataRef theData);
// Copies the bytes of range, which must lie within the data.
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8 *buffer);

} // extern "C"

#endif
