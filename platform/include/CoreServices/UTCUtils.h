// Dates in the platform's UTC form: seconds since 1904-01-01 00:00 UTC in 48
// bits, and a 1/65536-second fraction.  The File Manager's catalog records
// carry their dates in this form too.
#ifndef QUILLMATE_UTCUTILS_H
#define QUILLMATE_UTCUTILS_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 2)

/// Seconds since 1904-01-01 00:00 UTC: (highSeconds << 32) | lowSeconds,
/// and `fraction` 1/65536 parts of a second.  8 bytes, 2-byte aligned.
struct UTCDateTime {
  UInt16 highSeconds;
  UInt32 lowSeconds;
  UInt16 fraction;
};
typedef struct UTCDateTime UTCDateTime;
typedef UTCDateTime *UTCDateTimePtr;

#pragma pack(pop)

enum { kUTCDefaultOptions = 0 };

/// The current time.  paramErr for a null record or options other than
/// kUTCDefaultOptions; the record is then left untouched.
OSErr GetUTCDateTime(UTCDateTime *utcDateTime, OptionBits options);

#ifdef __cplusplus
}
#endif

#endif
