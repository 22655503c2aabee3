// Numbers and booleans.
//
// A CFNumber holds a signed 64-bit integer or a 64-bit real (integers up to
// 2^64 - 1 read from property lists are kept too).  Numbers compare by value
// across integer and real.  The two booleans are immortal constants.
#ifndef QUILLMATE_CFNUMBER_H
#define QUILLMATE_CFNUMBER_H

#include <CoreFoundation/CFBase.h>

extern "C" {

typedef const struct __CFBoolean *CFBooleanRef;
typedef const struct __CFNumber *CFNumberRef;

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;

CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

typedef CFIndex CFNumberType;
enum {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
  kCFNumberCFIndexType = 14,
  kCFNumberNSIntegerType = 15,
  kCFNumberCGFloatType = 16,
  kCFNumberMaxType = 16
};

CFTypeID CFNumberGetTypeID(void);
// Reads the value of theType at valuePtr.  Null for an unknown type or a null
// valuePtr.
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr);
// The type the number was made with, by width: kCFNumberSInt8Type to
// kCFNumberSInt64Type, kCFNumberFloat32Type or kCFNumberFloat64Type.
CFNumberType CFNumberGetType(CFNumberRef number);
CFIndex CFNumberGetByteSize(CFNumberRef number);
Boolean CFNumberIsFloatType(CFNumberRef number);
// Stores the value converted to theType at valuePtr.  Returns false when the
// conversion lost something (a fraction, or a value out of the type's range,
// which is then clamped to it; NaN gives 0); the converted value is stored
// either way.  False without a store for an unknown type.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr);
CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void *context);

} // extern "C"

struct __CFBoolean {
  __CFRuntimeBase _base;
  Boolean _value;
};

#endif
