// Integers above INT64_MAX, which property lists may hold and which the
// public CFNumber calls cannot make or read back exactly.
#ifndef QUILLMATE_PLATFORM_CF_NUMBERINTERNAL_H
#define QUILLMATE_PLATFORM_CF_NUMBERINTERNAL_H

#include <CoreFoundation/CFNumber.h>

#include <optional>

namespace quillmate_cf {

CFNumberRef createNumberFromUnsigned(UInt64 value);
// The value when the number is an integer above INT64_MAX.
std::optional<UInt64> bigUnsignedValue(CFNumberRef number);

} // namespace quillmate_cf

#endif
