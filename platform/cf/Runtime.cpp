// Reference counting and the class registry.
#include "platform/cf/CFRuntime.h"

#include <mutex>

namespace quillmate_cf {
namespace {

constexpr CFTypeID kMaxTypes = 256;

// Entries are written once, before the ID that indexes them is handed out;
// the release/acquire pair on the count publishes them.  The fixed entries
// are constant-initialised.
constinit const RuntimeClass *classes[kMaxTypes] = {
    nullptr,     &kStringClass, &kBooleanClass,    &kNumberClass, &kDateClass,
    &kDataClass, &kArrayClass,  &kDictionaryClass, &kErrorClass,
};
std::atomic<CFTypeID> nextTypeID{kFirstRegisteredTypeID};
std::mutex registryMutex;

const RuntimeClass *classOf(CFTypeRef cf) {
  CFTypeID id = baseOf(cf)->_typeID;
  return id < kMaxTypes ? classes[id] : nullptr;
}

} // namespace

CFTypeID registerClass(const RuntimeClass *cls) {
  std::lock_guard<std::mutex> lock(registryMutex);
  CFTypeID id = nextTypeID.load(std::memory_order_relaxed);
  if (id >= kMaxTypes) return kNotATypeID;
  classes[id] = cls;
  nextTypeID.store(id + 1, std::memory_order_release);
  return id;
}

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
  if (!cf) return cf;
  auto *base = const_cast<__CFRuntimeBase *>(baseOf(cf));
  if (!(base->_flags & kImmortalFlag)) base->_rc.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (!cf) return;
  auto *base = const_cast<__CFRuntimeBase *>(baseOf(cf));
  if (base->_flags & kImmortalFlag) return;
  if (base->_rc.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    const RuntimeClass *cls = classOf(cf);
    if (cls && cls->destroy) cls->destroy(cf);
  }
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? baseOf(cf)->_typeID : kNotATypeID; }

CFIndex CFGetRetainCount(CFTypeRef cf) {
  if (!cf) return 0;
  const __CFRuntimeBase *base = baseOf(cf);
  if (base->_flags & kImmortalFlag) return kCFRetainCountImmortal;
  return base->_rc.load(std::memory_order_relaxed);
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  if (cf1 == cf2) return true;
  if (!cf1 || !cf2) return false;
  if (baseOf(cf1)->_typeID != baseOf(cf2)->_typeID) return false;
  const RuntimeClass *cls = classOf(cf1);
  return cls && cls->equal && cls->equal(cf1, cf2);
}

CFHashCode CFHash(CFTypeRef cf) {
  if (!cf) return 0;
  const RuntimeClass *cls = classOf(cf);
  if (cls && cls->hash) return cls->hash(cf);
  return reinterpret_cast<CFHashCode>(cf);
}

} // extern "C"
