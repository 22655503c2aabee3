// The object runtime behind CFRetain/CFRelease/CFEqual/CFHash: a registry of
// classes indexed by type ID.  Each CF type of this platform is a C++ struct
// that starts with __CFRuntimeBase and is created with `new`; its class says
// how to destroy it and, optionally, how to compare and hash it.
#ifndef QUILLMATE_PLATFORM_CF_CFRUNTIME_H
#define QUILLMATE_PLATFORM_CF_CFRUNTIME_H

#include <CoreFoundation/CFBase.h>

#include <new>
#include <utility>

namespace quillmate_cf {

struct RuntimeClass {
  const char *name;
  // Destroys the object (the last reference went away).  Required.
  void (*destroy)(CFTypeRef cf);
  // Contents equality of two objects of this class; null means identity.
  bool (*equal)(CFTypeRef a, CFTypeRef b);
  // Required when equal is given; null means the address.
  CFHashCode (*hash)(CFTypeRef cf);
};

// Registers a class and returns its new type ID (from
// kFirstRegisteredTypeID on).  Call it once per class, e.g. from a function
// static; the class must outlive the process.  Thread-safe.
CFTypeID registerClass(const RuntimeClass *cls);
// The classes of the fixed type IDs, each defined in its type's source file.
// The registry's table refers to them, so it is complete before any static
// initialiser runs.
extern const RuntimeClass kStringClass;
extern const RuntimeClass kBooleanClass;
extern const RuntimeClass kNumberClass;
extern const RuntimeClass kDateClass;
extern const RuntimeClass kDataClass;
extern const RuntimeClass kArrayClass;
extern const RuntimeClass kDictionaryClass;
extern const RuntimeClass kErrorClass;

// CFEqual of two values inside a collection's `equal`, where every pair must
// be equal for the collections to be.  Two nested collections are queued for
// the CFEqual running on this thread, which compares them after this level
// (so a nest of any depth takes constant stack), and count as equal here; the
// rest are compared at once.
bool equalValues(CFTypeRef a, CFTypeRef b);

inline void initBase(__CFRuntimeBase &base, CFTypeID id) {
  base._typeID = id;
  base._flags = 0;
  base._rc.store(1, std::memory_order_relaxed);
}

inline const __CFRuntimeBase *baseOf(CFTypeRef cf) {
  return static_cast<const __CFRuntimeBase *>(cf);
}

inline bool isA(CFTypeRef cf, CFTypeID id) { return cf && baseOf(cf)->_typeID == id; }

// `new (std::nothrow) T(args...)` with the base initialised for id; null when
// memory runs out.  T starts with a __CFRuntimeBase named _base.
template <typename T, typename... Args> T *createInstance(CFTypeID id, Args &&...args) {
  T *object = new (std::nothrow) T(std::forward<Args>(args)...);
  if (object) initBase(object->_base, id);
  return object;
}

// A RuntimeClass::destroy for a type created by createInstance.
template <typename T> void destroyInstance(CFTypeRef cf) {
  delete static_cast<const T *>(cf);
}

} // namespace quillmate_cf

#endif
