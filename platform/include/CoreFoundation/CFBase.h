// Core Foundation's base: the object model every CF type shares.
//
// Objects are reference counted with atomic counts, so retains and releases
// may race between threads.  Constants (CFSTR strings, the two booleans) are
// immortal: retaining or releasing them does nothing.  Type IDs are small
// integers, fixed for the types declared in these headers and handed out once
// for types registered later.  The headers are C++ only.
#ifndef QUILLMATE_CFBASE_H
#define QUILLMATE_CFBASE_H

#ifndef __cplusplus
#error "The Core Foundation subset of this platform is C++ only"
#endif

#include <MacTypes.h>

#include <atomic>
#include <stddef.h>

extern "C" {

typedef const void *CFTypeRef;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef unsigned long CFOptionFlags;

typedef const struct __CFString *CFStringRef;
typedef struct __CFString *CFMutableStringRef;
typedef const struct __CFAllocator *CFAllocatorRef;
typedef CFTypeRef CFPropertyListRef;

// Allocators are accepted everywhere an allocator is and ignored: every
// object comes from the C++ heap.
#define kCFAllocatorDefault ((CFAllocatorRef)0)
#define kCFAllocatorSystemDefault ((CFAllocatorRef)0)

typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

static inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
  CFRange range = {location, length};
  return range;
}

typedef CFIndex CFComparisonResult;
enum {
  kCFCompareLessThan = -1,
  kCFCompareEqualTo = 0,
  kCFCompareGreaterThan = 1
};

enum { kCFNotFound = -1 };

// Returns cf.  A null cf is accepted and returned (the call does nothing).
CFTypeRef CFRetain(CFTypeRef cf);
// Drops one reference; the last one destroys the object.  Null does nothing.
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
// The number of references; immortal constants answer kCFRetainCountImmortal.
CFIndex CFGetRetainCount(CFTypeRef cf);
// True for the same object, or for two objects of one type with equal
// contents (numbers compare by value across integer and real).  Null is equal
// only to null.
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
// Equal objects have equal hashes.
CFHashCode CFHash(CFTypeRef cf);

} // extern "C"

// What CFGetRetainCount answers for constants.
constexpr CFIndex kCFRetainCountImmortal = 0x7fffffff;

// The header every object starts with.  Only the platform's own sources and
// the constant initialisers below touch its fields.
struct __CFRuntimeBase {
  CFTypeID _typeID;
  UInt32 _flags;
  std::atomic<SInt32> _rc;
};

namespace quillmate_cf {
// Type IDs of the types declared in these headers.  They are fixed so that
// constants can be built at compile time; later types get the following
// numbers from the runtime's registry.
enum : CFTypeID {
  kNotATypeID = 0,
  kStringTypeID = 1,
  kBooleanTypeID = 2,
  kNumberTypeID = 3,
  kDateTypeID = 4,
  kDataTypeID = 5,
  kArrayTypeID = 6,
  kDictionaryTypeID = 7,
  kErrorTypeID = 8,
  kFirstRegisteredTypeID = 16
};
enum : UInt32 { kImmortalFlag = 1u };
} // namespace quillmate_cf

#endif
