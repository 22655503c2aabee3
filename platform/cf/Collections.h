// The callbacks that make collections hold CF objects, shared by arrays and
// dictionaries.
#ifndef QUILLMATE_PLATFORM_CF_COLLECTIONS_H
#define QUILLMATE_PLATFORM_CF_COLLECTIONS_H

#include <CoreFoundation/CFBase.h>

namespace quillmate_cf {

inline const void *retainCallBack(CFAllocatorRef, const void *value) { return CFRetain(value); }
inline void releaseCallBack(CFAllocatorRef, const void *value) { CFRelease(value); }

} // namespace quillmate_cf

#endif
