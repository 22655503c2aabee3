// Reference counting and the class registry.
#include "platform/cf/CFRuntime.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

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

void destroy(CFTypeRef cf) {
  const RuntimeClass *cls = classOf(cf);
  if (cls && cls->destroy) cls->destroy(cf);
}

// Objects whose last reference went while this thread was destroying
// another (a collection releasing what it holds): the outermost CFRelease
// destroys them one after another, so a nest of any depth takes constant
// stack.  Trivially destructible, as objects held by other thread-locals
// may be released at thread exit after this one would have been destroyed.
struct Teardown {
  bool running;
  size_t count, capacity;
  CFTypeRef *slots; // null: inlineSlots
  CFTypeRef inlineSlots[32];

  CFTypeRef *data() { return slots ? slots : inlineSlots; }
  bool push(CFTypeRef cf) {
    if (!slots) capacity = std::size(inlineSlots);
    if (count == capacity) {
      size_t grown = capacity * 2;
      void *bigger = slots ? std::realloc(slots, grown * sizeof(CFTypeRef))
                           : std::malloc(grown * sizeof(CFTypeRef));
      if (!bigger) return false;
      if (!slots) std::memcpy(bigger, inlineSlots, sizeof inlineSlots);
      slots = static_cast<CFTypeRef *>(bigger);
      capacity = grown;
    }
    data()[count++] = cf;
    return true;
  }
};
thread_local Teardown teardown;

// The pairs of collections still to compare for the innermost CFEqual
// running on this thread (null: none runs).
using Pairs = std::vector<std::pair<CFTypeRef, CFTypeRef>>;
thread_local Pairs *comparing = nullptr;

bool isCollection(CFTypeRef cf) {
  CFTypeID id = baseOf(cf)->_typeID;
  return id == kArrayTypeID || id == kDictionaryTypeID;
}

bool compare(CFTypeRef a, CFTypeRef b) {
  if (a == b) return true;
  if (!a || !b) return false;
  if (baseOf(a)->_typeID != baseOf(b)->_typeID) return false;
  const RuntimeClass *cls = classOf(a);
  return cls && cls->equal && cls->equal(a, b);
}

} // namespace

bool equalValues(CFTypeRef a, CFTypeRef b) {
  if (comparing && a && b && a != b && isCollection(a) && isCollection(b)) {
    try {
      comparing->emplace_back(a, b);
      return true;
    } catch (const std::bad_alloc &) {
      // compared at once below
    }
  }
  return CFEqual(a, b);
}

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
  if (base->_rc.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Teardown &t = teardown;
  if (t.running) {
    if (!t.push(cf)) destroy(cf); // no memory for the list: destroyed at once
    return;
  }
  t.running = true;
  destroy(cf);
  while (t.count > 0) destroy(t.data()[--t.count]);
  std::free(t.slots);
  t.slots = nullptr;
  t.running = false;
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? baseOf(cf)->_typeID : kNotATypeID; }

CFIndex CFGetRetainCount(CFTypeRef cf) {
  if (!cf) return 0;
  const __CFRuntimeBase *base = baseOf(cf);
  if (base->_flags & kImmortalFlag) return kCFRetainCountImmortal;
  return base->_rc.load(std::memory_order_relaxed);
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  // Each call has its own list (a key lookup inside a comparison needs its
  // own exact answer); the collections it compares queue their nested
  // collections on it, and they are compared here, one after another.
  if (cf1 && cf2 && !isCollection(cf1)) return compare(cf1, cf2);
  Pairs pending;
  Pairs *outer = std::exchange(comparing, &pending);
  bool equal = compare(cf1, cf2);
  while (equal && !pending.empty()) {
    auto [a, b] = pending.back();
    pending.pop_back();
    equal = compare(a, b);
  }
  comparing = outer;
  return equal;
}

CFHashCode CFHash(CFTypeRef cf) {
  if (!cf) return 0;
  const RuntimeClass *cls = classOf(cf);
  if (cls && cls->hash) return cls->hash(cf);
  return reinterpret_cast<CFHashCode>(cf);
}

} // extern "C"
