// The Unicode Converter: conversion between UTF-16 and other encodings
// through converter objects made for one mapping.
#ifndef QUILLMATE_UNICODECONVERTER_H
#define QUILLMATE_UNICODECONVERTER_H

#include <MacTypes.h>
#include <CoreServices/MacErrors.h>
#include <CoreServices/TextCommon.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef SInt32 UnicodeMapVersion;
enum {
  kUnicodeUseLatestMapping = -1,
  kUnicodeUseHFSPlusMapping = 4
};

/// `unicodeEncoding` is the UTF-16 side (base Unicode, 16-bit format); its
/// variant picks the form of what is produced: a canonical decomposition
/// variant with the HFS+ mapping (or the HFS+ decomposition variant) gives the
/// HFS+ decomposition (canonical decomposition except U+2000-2FFF,
/// U+F900-FAFF, U+2F800-2FAFF), other decomposition variants full canonical
/// decomposition, composition variants the composed form, the default variant
/// what the table gives.  `otherEncoding` is a supported one-byte encoding or
/// UTF-8 (base Unicode, format kUnicodeUTF8Format).
struct UnicodeMapping {
  TextEncoding unicodeEncoding;
  TextEncoding otherEncoding;
  UnicodeMapVersion mappingVersion;
};
typedef struct UnicodeMapping UnicodeMapping;
typedef UnicodeMapping *UnicodeMappingPtr;
typedef const UnicodeMapping *ConstUnicodeMappingPtr;

typedef struct OpaqueUnicodeToTextInfo *UnicodeToTextInfo;
typedef struct OpaqueTextToUnicodeInfo *TextToUnicodeInfo;

/// Control flags.  Before encoding to one byte, UTF-16 input is composed, so
/// decomposed and precomposed input give the same bytes.
enum {
  kUnicodeUseFallbacksMask = 0x00000001,  ///< loose mappings, then '?' for what is left; kTECUsedFallbacksStatus
  kUnicodeKeepInfoMask = 0x00000002,      ///< accepted, no effect
  kUnicodeDirectionalityMask = 0x0000000C,
  kUnicodeVerticalFormMask = 0x00000010,
  kUnicodeLooseMappingsMask = 0x00000020, ///< use one-way (loose) mappings where no exact one exists
  kUnicodeStringUnterminatedMask = 0x00000040, ///< a character cut at the end is left unread, not an error
  kUnicodeTextRunMask = 0x00000080,
  kUnicodeKeepSameEncodingMask = 0x00000100,
  kUnicodeForceASCIIRangeMask = 0x00000200,
  kUnicodeNoHalfwidthCharsMask = 0x00000400,
  kUnicodeTextRunHeuristicsMask = 0x00000800,
  kUnicodeMapLineFeedToReturnMask = 0x00001000
};

/// Creating fails with paramErr for null pointers or a mapping whose Unicode
/// side is not UTF-16, kTECNoConversionPathErr for an encoding this layer
/// does not convert, memFullErr when out of memory.  *oInfo is set only on
/// success.
OSStatus CreateUnicodeToTextInfo(ConstUnicodeMappingPtr iUnicodeMapping,
                                 UnicodeToTextInfo *oUnicodeToTextInfo);
OSStatus CreateTextToUnicodeInfo(ConstUnicodeMappingPtr iUnicodeMapping,
                                 TextToUnicodeInfo *oTextToUnicodeInfo);
/// Disposes of the object and sets *io... to null; paramErr for null.
OSStatus DisposeUnicodeToTextInfo(UnicodeToTextInfo *ioUnicodeToTextInfo);
OSStatus DisposeTextToUnicodeInfo(TextToUnicodeInfo *ioTextToUnicodeInfo);

/// Converts iUnicodeLen bytes of UTF-16.  On return *oInputRead is the number
/// of input bytes converted and *oOutputLen the bytes written, also when the
/// status is not noErr; conversion stops at a character boundary:
/// kTECOutputBufferFullStatus when the next character does not fit,
/// kTECUnmappableElementErr when it has no mapping, kTextMalformedInputErr for
/// a lone surrogate or an odd length, kTECPartialCharErr for a high surrogate
/// at the end (unless kUnicodeStringUnterminatedMask).  Offset arrays are not
/// filled: *oOffsetCount, when given, becomes 0.
OSStatus ConvertFromUnicodeToText(UnicodeToTextInfo iUnicodeToTextInfo,
                                  ByteCount iUnicodeLen,
                                  const UniChar iUnicodeStr[],
                                  OptionBits iControlFlags,
                                  ItemCount iOffsetCount,
                                  const ByteOffset iOffsetArray[],
                                  ItemCount *oOffsetCount,
                                  ByteOffset oOffsetArray[],
                                  ByteCount iOutputBufLen,
                                  ByteCount *oInputRead,
                                  ByteCount *oOutputLen,
                                  LogicalAddress oOutputStr);

/// Converts iSourceLen bytes to UTF-16; counts and stopping as above, with
/// kTextUndefinedElementErr for a byte the encoding does not define and
/// kTextMalformedInputErr (kTECPartialCharErr at the end) for bad UTF-8.
/// *oUnicodeLen is in bytes.
OSStatus ConvertFromTextToUnicode(TextToUnicodeInfo iTextToUnicodeInfo,
                                  ByteCount iSourceLen,
                                  ConstLogicalAddress iSourceStr,
                                  OptionBits iControlFlags,
                                  ItemCount iOffsetCount,
                                  const ByteOffset iOffsetArray[],
                                  ItemCount *oOffsetCount,
                                  ByteOffset oOffsetArray[],
                                  ByteCount iOutputBufLen,
                                  ByteCount *oSourceRead,
                                  ByteCount *oUnicodeLen,
                                  UniChar oUnicodeStr[]);

#ifdef __cplusplus
}
#endif

#endif
