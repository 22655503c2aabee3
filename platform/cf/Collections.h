// The callbacks that make collections hold CF objects, shared by arrays and
// dictionaries.
#ifndef QUILLMATE_PLATFORM_CF_COLLECTIONS_H
#define QUILLMATE_PLATFORM_CF_COLLECTIONS_H

#include "platform/cf/CFRuntime.h"

#include <CoreFoundation/CFBase.h>

namespace quillmate_cf {

inline const void *retainCallBack(CFAllocatorRef, const void *value) { return CFRetain(value); }
inline void releaseCallBack(CFAllocatorRef, const void *value) { CFRelease(value); }

// Whether two values of collections being compared are equal by the
// collection's equal callback (null: identity); CFEqual goes through
// equalValues, so that nested collections are compared without recursion.
inline bool sameValues(Boolean (*equal)(const void *, const void *), const void *a,
                       const void *b) {
  if (a == b) return true;
  if (!equal) return false;
  return equal == CFEqual ? equalValues(a, b) : equal(a, b);
}

} // namespace quillmate_cf

#endif
