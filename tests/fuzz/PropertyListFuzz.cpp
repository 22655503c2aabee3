// Arbitrary bytes as an XML property list.  The reader either refuses them
// with a read error or gives a property list that the writer writes, that
// reads back equal (and hashes alike), and whose written form is a fixed
// point: written again it gives the same bytes.  The input's length picks
// the mutability asked for, and a container asked mutable takes a change.
#include "tests/fuzz/FuzzSupport.h"

#include <CoreFoundation/CoreFoundation.h>

namespace {

/// The property list in `bytes`, or null with the reader's error checked.
CFPropertyListRef read(const UInt8 *bytes, size_t size, CFOptionFlags options) {
  CFDataRef data = CFDataCreate(nullptr, bytes, static_cast<CFIndex>(size));
  CFPropertyListFormat format = 0;
  CFErrorRef error = nullptr;
  CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, data, options, &format, &error);
  CFRelease(data);
  fuzz::check((plist == nullptr) == (error != nullptr), "an error exactly when nothing is read");
  if (error) {
    fuzz::check(CFErrorGetCode(error) == kCFPropertyListReadCorruptError, "a read error's code");
    CFRelease(error);
  } else {
    fuzz::check(format == kCFPropertyListXMLFormat_v1_0, "the format read");
  }
  return plist;
}

/// The XML form of `plist`; whatever the reader gives, the writer writes.
CFDataRef write(CFPropertyListRef plist) {
  CFErrorRef error = nullptr;
  CFDataRef xml =
      CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, &error);
  if (!xml) {
    fuzz::check(error != nullptr, "a write error");
    CFRelease(error);
    fuzz::fail("what was read is not written");
  }
  fuzz::check(error == nullptr, "no error with the data");
  return xml;
}

bool sameBytes(CFDataRef a, CFDataRef b) {
  return CFDataGetLength(a) == CFDataGetLength(b) &&
         std::memcmp(CFDataGetBytePtr(a), CFDataGetBytePtr(b),
                     static_cast<size_t>(CFDataGetLength(a))) == 0;
}

/// A container read as mutable takes a new entry; one read as immutable
/// ignores it.
void checkMutability(CFPropertyListRef plist, bool mutableContainers) {
  const CFTypeID type = CFGetTypeID(plist);
  if (type == CFDictionaryGetTypeID()) {
    auto dict = static_cast<CFMutableDictionaryRef>(const_cast<void *>(plist));
    const CFIndex before = CFDictionaryGetCount(dict);
    // U+0001 cannot stand in XML, so no list read holds this key already.
    CFStringRef key = CFSTR("\x01 added");
    CFDictionarySetValue(dict, key, kCFBooleanTrue);
    fuzz::check(CFDictionaryGetCount(dict) == before + (mutableContainers ? 1 : 0),
                "a dictionary's mutability");
  } else if (type == CFArrayGetTypeID()) {
    auto array = static_cast<CFMutableArrayRef>(const_cast<void *>(plist));
    const CFIndex before = CFArrayGetCount(array);
    CFArrayAppendValue(array, kCFBooleanTrue);
    fuzz::check(CFArrayGetCount(array) == before + (mutableContainers ? 1 : 0),
                "an array's mutability");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const CFOptionFlags kOptions[] = {kCFPropertyListImmutable,
                                           kCFPropertyListMutableContainers,
                                           kCFPropertyListMutableContainersAndLeaves};
  const CFOptionFlags options = kOptions[size % 3];
  CFPropertyListRef plist = read(data, size, options);
  if (!plist)
    return 0;
  fuzz::check(CFPropertyListIsValid(plist, kCFPropertyListXMLFormat_v1_0),
              "what was read is valid");

  CFDataRef xml = write(plist);
  CFPropertyListRef again = read(CFDataGetBytePtr(xml), static_cast<size_t>(CFDataGetLength(xml)),
                                 kCFPropertyListImmutable);
  fuzz::check(again != nullptr, "the written form reads back");
  fuzz::check(CFEqual(plist, again) && CFEqual(again, plist), "it reads back equal");
  fuzz::check(CFHash(plist) == CFHash(again), "equal lists hash alike");
  CFDataRef xmlAgain = write(again);
  fuzz::check(sameBytes(xml, xmlAgain), "the written form is a fixed point");

  checkMutability(plist, options != kCFPropertyListImmutable);
  CFRelease(xmlAgain);
  CFRelease(again);
  CFRelease(xml);
  CFRelease(plist);
  return 0;
}
