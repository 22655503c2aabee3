// CFArray: a vector of values handled through the array's callbacks.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/Collections.h"

#include <CoreFoundation/CFArray.h>

#include <vector>

namespace quillmate_cf {
namespace {

struct Array {
  __CFRuntimeBase _base;
  CFArrayCallBacks callBacks{};
  bool isMutable = false;
  CFIndex capacity = 0;
  std::vector<const void *> values;

  ~Array() {
    if (callBacks.release) {
      for (const void *v : values) callBacks.release(nullptr, v);
    }
  }
  const void *retained(const void *v) const {
    return callBacks.retain ? callBacks.retain(nullptr, v) : v;
  }
  void release(const void *v) const {
    if (callBacks.release) callBacks.release(nullptr, v);
  }
  bool same(const void *a, const void *b) const {
    return a == b || (callBacks.equal && callBacks.equal(a, b));
  }
};

Array *asArray(CFArrayRef a) { return reinterpret_cast<Array *>(const_cast<__CFArray *>(a)); }

bool arraysEqual(CFTypeRef a, CFTypeRef b) {
  const Array *x = asArray(static_cast<CFArrayRef>(a));
  const Array *y = asArray(static_cast<CFArrayRef>(b));
  if (x->values.size() != y->values.size()) return false;
  for (size_t i = 0; i < x->values.size(); ++i) {
    if (!sameValues(x->callBacks.equal, x->values[i], y->values[i])) return false;
  }
  return true;
}

CFHashCode arrayHash(CFTypeRef cf) { return asArray(static_cast<CFArrayRef>(cf))->values.size(); }

Array *create(const CFArrayCallBacks *callBacks, bool isMutable, CFIndex capacity) {
  Array *a = createInstance<Array>(kArrayTypeID);
  if (a) {
    if (callBacks) a->callBacks = *callBacks;
    a->isMutable = isMutable;
    a->capacity = capacity > 0 ? capacity : 0;
  }
  return a;
}

bool validRange(const Array *a, CFRange range) {
  return range.location >= 0 && range.length >= 0 &&
         range.location <= static_cast<CFIndex>(a->values.size()) - range.length;
}

Array *mutableArray(CFMutableArrayRef theArray) {
  Array *a = asArray(theArray);
  return a && a->isMutable ? a : nullptr;
}

} // namespace

const RuntimeClass kArrayClass = {"CFArray", destroyInstance<Array>, arraysEqual, arrayHash};

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainCallBack, releaseCallBack, nullptr,
                                                CFEqual};

CFTypeID CFArrayGetTypeID(void) { return kArrayTypeID; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void **values, CFIndex numValues,
                         const CFArrayCallBacks *callBacks) {
  if (numValues < 0 || (!values && numValues > 0)) return nullptr;
  Array *a = create(callBacks, false, 0);
  if (!a) return nullptr;
  a->values.reserve(static_cast<size_t>(numValues));
  for (CFIndex i = 0; i < numValues; ++i) a->values.push_back(a->retained(values[i]));
  return reinterpret_cast<CFArrayRef>(a);
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef theArray) {
  if (!theArray) return nullptr;
  const Array *source = asArray(theArray);
  return CFArrayCreate(nullptr, const_cast<const void **>(source->values.data()),
                       static_cast<CFIndex>(source->values.size()), &source->callBacks);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks *callBacks) {
  if (capacity < 0) return nullptr;
  return reinterpret_cast<CFMutableArrayRef>(create(callBacks, true, capacity));
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex capacity,
                                           CFArrayRef theArray) {
  if (!theArray || capacity < 0) return nullptr;
  const Array *source = asArray(theArray);
  if (capacity > 0 && capacity < static_cast<CFIndex>(source->values.size())) return nullptr;
  Array *a = create(&source->callBacks, true, capacity);
  if (!a) return nullptr;
  for (const void *v : source->values) a->values.push_back(a->retained(v));
  return reinterpret_cast<CFMutableArrayRef>(a);
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  return theArray ? static_cast<CFIndex>(asArray(theArray)->values.size()) : 0;
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  if (!theArray || idx < 0 || idx >= CFArrayGetCount(theArray)) return nullptr;
  return asArray(theArray)->values[static_cast<size_t>(idx)];
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void **values) {
  if (!theArray || !values || !validRange(asArray(theArray), range)) return;
  for (CFIndex i = 0; i < range.length; ++i) {
    values[i] = asArray(theArray)->values[static_cast<size_t>(range.location + i)];
  }
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void *value) {
  if (!theArray || !validRange(asArray(theArray), range)) return false;
  const Array *a = asArray(theArray);
  for (CFIndex i = range.location; i < range.location + range.length; ++i) {
    if (a->same(a->values[static_cast<size_t>(i)], value)) return true;
  }
  return false;
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier,
                          void *context) {
  if (!theArray || !applier || !validRange(asArray(theArray), range)) return;
  for (CFIndex i = range.location; i < range.location + range.length; ++i) {
    applier(asArray(theArray)->values[static_cast<size_t>(i)], context);
  }
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void *value) {
  CFArrayInsertValueAtIndex(theArray, CFArrayGetCount(theArray), value);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void *value) {
  Array *a = mutableArray(theArray);
  if (!a || idx < 0 || idx > static_cast<CFIndex>(a->values.size())) return;
  if (a->capacity > 0 && static_cast<CFIndex>(a->values.size()) >= a->capacity) return;
  a->values.insert(a->values.begin() + idx, a->retained(value));
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
  Array *a = mutableArray(theArray);
  if (!a || idx < 0 || idx >= static_cast<CFIndex>(a->values.size())) return;
  const void *v = a->values[static_cast<size_t>(idx)];
  a->values.erase(a->values.begin() + idx);
  a->release(v);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
  Array *a = mutableArray(theArray);
  if (!a) return;
  std::vector<const void *> old;
  old.swap(a->values);
  for (const void *v : old) a->release(v);
}

} // extern "C"
