// What the platform's other CF sources need from strings beyond the public
// calls: UTF-8 in and out without a caller's buffer, and the units in place.
#ifndef QUILLMATE_PLATFORM_CF_STRINGINTERNAL_H
#define QUILLMATE_PLATFORM_CF_STRINGINTERNAL_H

#include <CoreFoundation/CFString.h>

#include <optional>
#include <string>
#include <string_view>

namespace quillmate_cf {

// The string's units, valid while the string lives.
inline std::basic_string_view<UniChar> unitsOf(CFStringRef s) {
  return {s->_chars, static_cast<size_t>(s->_length)};
}

// Null for malformed UTF-8 (or when memory runs out).
CFStringRef createStringFromUTF8(std::string_view utf8);
// Nothing when the string holds an unpaired surrogate.
std::optional<std::string> toUTF8(CFStringRef s);

} // namespace quillmate_cf

#endif
