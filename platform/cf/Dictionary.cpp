// CFDictionary: a hash map whose hashing, comparing and ownership of keys and
// values follow the dictionary's callbacks.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/Collections.h"

#include <CoreFoundation/CFDictionary.h>

#include <unordered_map>
#include <vector>

namespace quillmate_cf {
namespace {

struct KeyHash {
  const CFDictionaryKeyCallBacks *cb;
  size_t operator()(const void *key) const {
    return cb->hash ? cb->hash(key) : reinterpret_cast<size_t>(key);
  }
};
struct KeyEqual {
  const CFDictionaryKeyCallBacks *cb;
  bool operator()(const void *a, const void *b) const {
    return a == b || (cb->equal && cb->equal(a, b));
  }
};

struct Dictionary {
  __CFRuntimeBase _base;
  CFDictionaryKeyCallBacks keyCallBacks{};
  CFDictionaryValueCallBacks valueCallBacks{};
  bool isMutable = false;
  std::unordered_map<const void *, const void *, KeyHash, KeyEqual> map{
      8, KeyHash{&keyCallBacks}, KeyEqual{&keyCallBacks}};

  Dictionary(const CFDictionaryKeyCallBacks *keys, const CFDictionaryValueCallBacks *values,
             bool isMutable_)
      : isMutable(isMutable_) {
    if (keys) keyCallBacks = *keys;
    if (values) valueCallBacks = *values;
  }
  ~Dictionary() { clear(); }

  void clear() {
    auto old = std::move(map);
    map = decltype(map)(8, KeyHash{&keyCallBacks}, KeyEqual{&keyCallBacks});
    for (auto &[k, v] : old) {
      if (keyCallBacks.release) keyCallBacks.release(nullptr, k);
      if (valueCallBacks.release) valueCallBacks.release(nullptr, v);
    }
  }
  // Puts key -> value; an existing key keeps its key object and changes value.
  void set(const void *key, const void *value, bool add, bool replace) {
    auto it = map.find(key);
    if (it == map.end()) {
      if (!add) return;
      const void *k = keyCallBacks.retain ? keyCallBacks.retain(nullptr, key) : key;
      const void *v = valueCallBacks.retain ? valueCallBacks.retain(nullptr, value) : value;
      map.emplace(k, v);
      return;
    }
    if (!replace) return;
    const void *v = valueCallBacks.retain ? valueCallBacks.retain(nullptr, value) : value;
    const void *old = it->second;
    it->second = v;
    if (valueCallBacks.release) valueCallBacks.release(nullptr, old);
  }
  void remove(const void *key) {
    auto it = map.find(key);
    if (it == map.end()) return;
    const void *k = it->first, *v = it->second;
    map.erase(it);
    if (keyCallBacks.release) keyCallBacks.release(nullptr, k);
    if (valueCallBacks.release) valueCallBacks.release(nullptr, v);
  }
};

Dictionary *asDict(CFDictionaryRef d) {
  return reinterpret_cast<Dictionary *>(const_cast<__CFDictionary *>(d));
}

bool dictionariesEqual(CFTypeRef a, CFTypeRef b) {
  const Dictionary *x = asDict(static_cast<CFDictionaryRef>(a));
  const Dictionary *y = asDict(static_cast<CFDictionaryRef>(b));
  if (x->map.size() != y->map.size()) return false;
  for (auto &[k, v] : x->map) {
    auto it = y->map.find(k);
    if (it == y->map.end()) return false;
    if (!sameValues(x->valueCallBacks.equal, v, it->second)) return false;
  }
  return true;
}

CFHashCode dictionaryHash(CFTypeRef cf) {
  return asDict(static_cast<CFDictionaryRef>(cf))->map.size();
}

Dictionary *mutableDict(CFMutableDictionaryRef d) {
  Dictionary *dict = asDict(d);
  return dict && dict->isMutable ? dict : nullptr;
}

Dictionary *copyOf(const Dictionary *source, bool isMutable) {
  Dictionary *d = createInstance<Dictionary>(kDictionaryTypeID, &source->keyCallBacks,
                                             &source->valueCallBacks, isMutable);
  if (!d) return nullptr;
  for (auto &[k, v] : source->map) d->set(k, v, true, true);
  return d;
}

} // namespace

const RuntimeClass kDictionaryClass = {"CFDictionary", destroyInstance<Dictionary>,
                                       dictionariesEqual, dictionaryHash};

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, retainCallBack, releaseCallBack, nullptr, CFEqual, CFHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, retainCallBack, releaseCallBack, nullptr, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, retainCallBack, releaseCallBack, nullptr, CFEqual};

CFTypeID CFDictionaryGetTypeID(void) { return kDictionaryTypeID; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void **keys, const void **values,
                                   CFIndex numValues,
                                   const CFDictionaryKeyCallBacks *keyCallBacks,
                                   const CFDictionaryValueCallBacks *valueCallBacks) {
  if (numValues < 0 || (numValues > 0 && (!keys || !values))) return nullptr;
  Dictionary *d =
      createInstance<Dictionary>(kDictionaryTypeID, keyCallBacks, valueCallBacks, false);
  if (!d) return nullptr;
  for (CFIndex i = 0; i < numValues; ++i) d->set(keys[i], values[i], true, true);
  return reinterpret_cast<CFDictionaryRef>(d);
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict) {
  if (!theDict) return nullptr;
  return reinterpret_cast<CFDictionaryRef>(copyOf(asDict(theDict), false));
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks) {
  return reinterpret_cast<CFMutableDictionaryRef>(
      createInstance<Dictionary>(kDictionaryTypeID, keyCallBacks, valueCallBacks, true));
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex,
                                                     CFDictionaryRef theDict) {
  if (!theDict) return nullptr;
  return reinterpret_cast<CFMutableDictionaryRef>(copyOf(asDict(theDict), true));
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  return theDict ? static_cast<CFIndex>(asDict(theDict)->map.size()) : 0;
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key) {
  const void *value = nullptr;
  CFDictionaryGetValueIfPresent(theDict, key, &value);
  return value;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void *key,
                                      const void **value) {
  if (!theDict) return false;
  const Dictionary *d = asDict(theDict);
  auto it = d->map.find(key);
  if (it == d->map.end()) return false;
  if (value) *value = it->second;
  return true;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void *key) {
  return CFDictionaryGetValueIfPresent(theDict, key, nullptr);
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys,
                                  const void **values) {
  if (!theDict) return;
  size_t i = 0;
  for (auto &[k, v] : asDict(theDict)->map) {
    if (keys) keys[i] = k;
    if (values) values[i] = v;
    ++i;
  }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier,
                               void *context) {
  if (!theDict || !applier) return;
  for (auto &[k, v] : asDict(theDict)->map) applier(k, v, context);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
  if (Dictionary *d = mutableDict(theDict)) d->set(key, value, true, true);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
  if (Dictionary *d = mutableDict(theDict)) d->set(key, value, true, false);
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void *key,
                              const void *value) {
  if (Dictionary *d = mutableDict(theDict)) d->set(key, value, false, true);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void *key) {
  if (Dictionary *d = mutableDict(theDict)) d->remove(key);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
  if (Dictionary *d = mutableDict(theDict)) d->clear();
}

} // extern "C"
