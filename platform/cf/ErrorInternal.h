// Making the CFError a caller asked for.
#ifndef QUILLMATE_PLATFORM_CF_ERRORINTERNAL_H
#define QUILLMATE_PLATFORM_CF_ERRORINTERNAL_H

#include <CoreFoundation/CFError.h>

#include <string_view>

namespace quillmate_cf {

// Stores a new error in *out (the caller releases it); does nothing when out
// is null.
void setError(CFErrorRef *out, CFErrorDomain domain, CFIndex code, std::string_view description);

} // namespace quillmate_cf

#endif
