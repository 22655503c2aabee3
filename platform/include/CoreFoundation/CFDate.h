// Points in time: seconds since 2001-01-01 00:00:00 UTC, as a double, so
// dates centuries away (1850, 2200) keep their value.
#ifndef QUILLMATE_CFDATE_H
#define QUILLMATE_CFDATE_H

#include <CoreFoundation/CFBase.h>

extern "C" {

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;
typedef const struct __CFDate *CFDateRef;

// Seconds from 1970-01-01 to 2001-01-01.
#define kCFAbsoluteTimeIntervalSince1970 978307200.0

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CFTypeID CFDateGetTypeID(void);
CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);
CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void *context);

} // extern "C"

#endif
