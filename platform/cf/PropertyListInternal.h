// The property-list reader and writer behind CFPropertyList.h, with byte
// buffers and messages instead of CF objects, for preferences and tools.
#ifndef QUILLMATE_PLATFORM_CF_PROPERTYLISTINTERNAL_H
#define QUILLMATE_PLATFORM_CF_PROPERTYLISTINTERNAL_H

#include <CoreFoundation/CFBase.h>

#include <string>
#include <string_view>

namespace quillmate_cf {

// A new property list, or null with *message saying what is wrong.
CFPropertyListRef readPropertyList(std::string_view xml, bool mutableContainers,
                                   std::string *message);
// The XML document of plist, or false with *message saying what cannot be
// written.
bool writePropertyList(CFPropertyListRef plist, std::string *xml, std::string *message);

} // namespace quillmate_cf

#endif
