// CFError: what went wrong, for the calls that hand one back.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/ErrorInternal.h"
#include "platform/cf/StringInternal.h"

#include <CoreFoundation/CFError.h>

namespace quillmate_cf {
namespace {

struct Error {
  __CFRuntimeBase _base;
  CFErrorDomain domain = nullptr;
  CFIndex code = 0;
  CFStringRef description = nullptr;
  ~Error() { CFRelease(description); }
};

const Error *asError(CFErrorRef e) { return reinterpret_cast<const Error *>(e); }

} // namespace

const RuntimeClass kErrorClass = {"CFError", destroyInstance<Error>, nullptr, nullptr};

void setError(CFErrorRef *out, CFErrorDomain domain, CFIndex code, std::string_view description) {
  if (!out) return;
  *out = nullptr;
  Error *e = createInstance<Error>(kErrorTypeID);
  if (!e) return;
  e->domain = domain;
  e->code = code;
  e->description = createStringFromUTF8(description);
  *out = reinterpret_cast<CFErrorRef>(e);
}

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

const CFErrorDomain kCFErrorDomainPOSIX = CFSTR("NSPOSIXErrorDomain");
const CFErrorDomain kCFErrorDomainOSStatus = CFSTR("NSOSStatusErrorDomain");

CFTypeID CFErrorGetTypeID(void) { return kErrorTypeID; }
CFErrorDomain CFErrorGetDomain(CFErrorRef err) { return err ? asError(err)->domain : nullptr; }
CFIndex CFErrorGetCode(CFErrorRef err) { return err ? asError(err)->code : 0; }

CFStringRef CFErrorCopyDescription(CFErrorRef err) {
  if (!err) return nullptr;
  CFStringRef d = asError(err)->description;
  return d ? static_cast<CFStringRef>(CFRetain(d)) : CFSTR("unknown error");
}

} // extern "C"
