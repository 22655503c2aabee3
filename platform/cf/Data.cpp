// CFData: an immutable copy of some bytes.
#include "platform/cf/CFRuntime.h"

#include <CoreFoundation/CFData.h>

#include <cstring>
#include <vector>

namespace quillmate_cf {
namespace {

struct Data {
  __CFRuntimeBase _base;
  std::vector<UInt8> bytes;
};

const Data *asData(CFDataRef d) { return reinterpret_cast<const Data *>(d); }

bool dataEqual(CFTypeRef a, CFTypeRef b) {
  return asData(static_cast<CFDataRef>(a))->bytes == asData(static_cast<CFDataRef>(b))->bytes;
}

CFHashCode dataHash(CFTypeRef cf) {
  UInt64 h = 0xcbf29ce484222325ull;
  for (UInt8 b : asData(static_cast<CFDataRef>(cf))->bytes) h = (h ^ b) * 0x100000001b3ull;
  return static_cast<CFHashCode>(h);
}

} // namespace

const RuntimeClass kDataClass = {"CFData", destroyInstance<Data>, dataEqual, dataHash};

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

CFTypeID CFDataGetTypeID(void) { return kDataTypeID; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8 *bytes, CFIndex length) {
  if (length < 0 || (!bytes && length > 0)) return nullptr;
  Data *d = createInstance<Data>(kDataTypeID);
  if (!d) return nullptr;
  try {
    d->bytes.assign(bytes, bytes + length);
  } catch (const std::bad_alloc &) {
    delete d;
    return nullptr;
  }
  return reinterpret_cast<CFDataRef>(d);
}

CFIndex CFDataGetLength(CFDataRef theData) {
  return theData ? static_cast<CFIndex>(asData(theData)->bytes.size()) : 0;
}

const UInt8 *CFDataGetBytePtr(CFDataRef theData) {
  static const UInt8 empty = 0;
  if (!theData || asData(theData)->bytes.empty()) return &empty;
  return asData(theData)->bytes.data();
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8 *buffer) {
  CFIndex length = CFDataGetLength(theData);
  if (!buffer || range.location < 0 || range.length <= 0 ||
      range.location > length - range.length) {
    return;
  }
  std::memcpy(buffer, asData(theData)->bytes.data() + range.location,
              static_cast<size_t>(range.length));
}

} // extern "C"
