// Property lists in the XML format, version 1.0.
//
// Every property-list type maps to its CF type and back: dictionary
// (string keys), array, string, integer (signed 64-bit, and unsigned up to
// 2^64 - 1), real, true/false, date (whole seconds, years 0001 to 9999, any
// distance from 2001) and data.  Reading never loads external entities or
// DTDs.  Writing fails, rather than producing a file that would not read back,
// for values outside those types, non-string keys, text XML cannot carry
// (control characters other than tab, line feed and carriage return, U+FFFE,
// U+FFFF, unpaired surrogates), dates outside the years 0001 to 9999, and
// nesting deeper than 512.
#ifndef QUILLMATE_CFPROPERTYLIST_H
#define QUILLMATE_CFPROPERTYLIST_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFError.h>

extern "C" {

typedef CFIndex CFPropertyListFormat;
enum {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200
};

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1,
  kCFPropertyListMutableContainersAndLeaves = 2
};

enum {
  kCFPropertyListReadCorruptError = 3840,
  kCFPropertyListReadUnknownVersionError = 3841,
  kCFPropertyListWriteStreamError = 3851
};

// Null on failure, with *error (when error is not null) saying why; the
// caller releases the error.  Only the XML format is read; *format receives
// it.  With kCFPropertyListMutableContainers, dictionaries and arrays come
// back mutable.
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                               CFOptionFlags options,
                                               CFPropertyListFormat *format, CFErrorRef *error);
// The XML form of propertyList, UTF-8 encoded, keys in order; null on failure
// (see above), or for a format other than kCFPropertyListXMLFormat_v1_0.
CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags options,
                                   CFErrorRef *error);
// True when CFPropertyListCreateData would succeed for the format.
Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);

} // extern "C"

#endif
