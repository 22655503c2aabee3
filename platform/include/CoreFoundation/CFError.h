// Errors that calls such as CFPropertyListCreateWithData hand back: a domain,
// a code and a readable description.
#ifndef QUILLMATE_CFERROR_H
#define QUILLMATE_CFERROR_H

#include <CoreFoundation/CFBase.h>

extern "C" {

typedef const struct __CFError *CFErrorRef;
typedef CFStringRef CFErrorDomain;

extern const CFErrorDomain kCFErrorDomainPOSIX;
extern const CFErrorDomain kCFErrorDomainOSStatus;

CFTypeID CFErrorGetTypeID(void);
CFErrorDomain CFErrorGetDomain(CFErrorRef err);
CFIndex CFErrorGetCode(CFErrorRef err);
CFStringRef CFErrorCopyDescription(CFErrorRef err);

} // extern "C"

#endif
