// Conversion at character boundaries.  Input is cut into segments that
// normalization cannot join (a character with its combining marks), and each
// segment is normalized and converted whole, so a full buffer or an
// unmappable character stops the conversion between two characters and the
// counts read and written describe exactly what was done.
#include "platform/text/Converter.h"

#include "platform/text/Encodings.h"
#include "platform/text/TextTesting.h"

#include <unicode/normalizer2.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace quillmate::text {

namespace {

bool isUnicodeBase(TextEncoding encoding) {
  TextEncodingBase base = GetTextEncodingBase(encoding);
  return base == kTextEncodingUnicodeDefault || base == kTextEncodingUnicodeV2_0;
}

/// The form the UTF-16 side is produced in, or null for the table's own.
const icu::Normalizer2 *formOf(const UnicodeMapping &mapping) {
  switch (GetTextEncodingVariant(mapping.unicodeEncoding)) {
  case kUnicodeCanonicalDecompVariant:
    return mapping.mappingVersion == kUnicodeUseHFSPlusMapping ? &hfsPlusDecomposition()
                                                               : &canonicalDecomposition();
  case kUnicodeHFSPlusDecompVariant: return &hfsPlusDecomposition();
  case kUnicodeCanonicalCompVariant: return &canonicalComposition();
  case kUnicodeHFSPlusCompVariant: return &hfsPlusComposition();
  default: return nullptr;
  }
}

/// End of the segment that starts at `i`: the next code point before which
/// `form` has a boundary (each code point is a segment without a form).
size_t segmentEnd(const UniChar *units, size_t count, size_t i, const icu::Normalizer2 *form) {
  UChar32 c;
  U16_NEXT(units, i, count, c);
  while (form && i < count) {
    size_t next = i;
    U16_NEXT(units, next, count, c);
    if (form->hasBoundaryBefore(c))
      break;
    i = next;
  }
  return i;
}

} // namespace

OSStatus Converter::create(const UnicodeMapping &mapping, std::unique_ptr<Converter> &out) {
  if (!isUnicodeBase(mapping.unicodeEncoding) ||
      GetTextEncodingFormat(mapping.unicodeEncoding) != kUnicode16BitFormat)
    return paramErr;
  if (OSStatus injected = testing::ConverterCreationFailureScope::nextCreation())
    return injected;
  const char *name = icuConverterName(mapping.otherEncoding);
  if (!name)
    return kTECNoConversionPathErr;
  UErrorCode status = U_ZERO_ERROR;
  UConverter *converter = ucnv_open(name, &status);
  if (U_FAILURE(status))
    return status == U_MEMORY_ALLOCATION_ERROR ? memFullErr : kTECNoConversionPathErr;
  ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  out.reset(new (std::nothrow) Converter(converter, formOf(mapping), ucnv_getMaxCharSize(converter) > 1));
  if (!out) {
    ucnv_close(converter);
    return memFullErr;
  }
  return noErr;
}

Converter::Converter(UConverter *converter, const icu::Normalizer2 *unicodeForm, bool multiByte)
    : converter_(converter), multiByte_(multiByte), unicodeForm_(unicodeForm) {}

Converter::~Converter() { ucnv_close(converter_); }

ConversionResult Converter::fromUnicode(const UniChar *units, size_t count, OptionBits flags,
                                        unsigned char *out, size_t capacity) {
  const icu::Normalizer2 &compose = canonicalComposition();
  const bool substitute = flags & kUnicodeUseFallbacksMask;
  ucnv_setFallback(converter_, (flags & (kUnicodeLooseMappingsMask | kUnicodeUseFallbacksMask)) != 0);
  // The usual case first: the whole text composes, maps and fits, so one
  // normalization and one conversion do it.  Anything else (a bad or
  // unmappable character, a full buffer) goes the careful way below, which
  // stops at the exact character.
  {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString whole(false, reinterpret_cast<const UChar *>(units),
                             static_cast<int32_t>(count));
    icu::UnicodeString composed;
    const icu::UnicodeString *source = &whole;
    if (!compose.isNormalized(whole, status) && U_SUCCESS(status)) {
      compose.normalize(whole, composed, status);
      source = &composed;
    }
    if (U_SUCCESS(status)) {
      int32_t length =
          ucnv_fromUChars(converter_, reinterpret_cast<char *>(out), static_cast<int32_t>(capacity),
                          source->getBuffer(), source->length(), &status);
      if ((U_SUCCESS(status) || status == U_STRING_NOT_TERMINATED_WARNING) && length >= 0 &&
          static_cast<size_t>(length) <= capacity)
        return {noErr, count, static_cast<size_t>(length)};
    }
  }
  bool substituted = false;
  size_t i = 0, written = 0;
  char scratch[64];
  while (i < count) {
    // Surrogates: a pair is one character; a high one cut off at the end is
    // a partial character; any other lone one is malformed.
    if (U16_IS_SURROGATE(units[i])) {
      if (U16_IS_LEAD(units[i]) && i + 1 == count)
        return {(flags & kUnicodeStringUnterminatedMask) ? OSStatus{noErr} : OSStatus{kTECPartialCharErr}, i,
                written};
      if (!U16_IS_LEAD(units[i]) || !U16_IS_TRAIL(units[i + 1]))
        return {kTextMalformedInputErr, i, written};
    }
    size_t end = segmentEnd(units, count, i, &compose);
    for (size_t k = i + 1; k < end; ++k)
      if (U16_IS_SURROGATE(units[k]) &&
          !(U16_IS_LEAD(units[k]) && k + 1 < end && U16_IS_TRAIL(units[k + 1])) &&
          !(U16_IS_TRAIL(units[k]) && U16_IS_LEAD(units[k - 1])))
        end = k; // the segment stops at the bad unit, which the next round reports
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString composed;
    compose.normalize(icu::UnicodeString(false, reinterpret_cast<const UChar *>(units + i),
                                         static_cast<int32_t>(end - i)),
                      composed, status);
    std::string bytes;
    if (U_SUCCESS(status)) {
      int32_t length = ucnv_fromUChars(converter_, scratch, sizeof scratch, composed.getBuffer(),
                                       composed.length(), &status);
      if (status == U_BUFFER_OVERFLOW_ERROR) {
        bytes.resize(length);
        status = U_ZERO_ERROR;
        length = ucnv_fromUChars(converter_, bytes.data(), length, composed.getBuffer(),
                                 composed.length(), &status);
      } else if (U_SUCCESS(status) || status == U_STRING_NOT_TERMINATED_WARNING) {
        bytes.assign(scratch, length);
      }
    }
    if (status == U_STRING_NOT_TERMINATED_WARNING)
      status = U_ZERO_ERROR;
    if (U_FAILURE(status)) {
      if (status == U_MEMORY_ALLOCATION_ERROR)
        return {memFullErr, i, written};
      if (!substitute)
        return {kTECUnmappableElementErr, i, written};
      char sub[8];
      int8_t subLength = sizeof sub;
      UErrorCode subStatus = U_ZERO_ERROR;
      ucnv_getSubstChars(converter_, sub, &subLength, &subStatus);
      bytes.assign(sub, U_SUCCESS(subStatus) ? subLength : 0);
      substituted = true;
    }
    if (bytes.size() > capacity - written)
      return {kTECOutputBufferFullStatus, i, written};
    if (!bytes.empty())
      std::memcpy(out + written, bytes.data(), bytes.size());
    written += bytes.size();
    i = end;
  }
  return {substituted ? OSStatus{kTECUsedFallbacksStatus} : OSStatus{noErr}, i, written};
}

ConversionResult Converter::toUnicode(const unsigned char *bytes, size_t count, OptionBits flags,
                                      UniChar *out, size_t capacity) {
  // Decode everything first, keeping for each unit the offset of the bytes it
  // came from; at most one unit per byte from UTF-8, two from a table.
  std::vector<UChar> decoded(2 * count + 2);
  std::vector<int32_t> offsets(decoded.size());
  ucnv_resetToUnicode(converter_);
  ucnv_setFallback(converter_, (flags & (kUnicodeLooseMappingsMask | kUnicodeUseFallbacksMask)) != 0);
  const char *source = reinterpret_cast<const char *>(bytes);
  const char *sourceStart = source;
  UChar *target = decoded.data();
  const bool unterminated = flags & kUnicodeStringUnterminatedMask;
  UErrorCode status = U_ZERO_ERROR;
  ucnv_toUnicode(converter_, &target, decoded.data() + decoded.size(), &source, source + count,
                 offsets.data(), !unterminated, &status);
  size_t goodBytes = static_cast<size_t>(source - sourceStart);
  OSStatus stop = noErr;
  if (U_FAILURE(status)) {
    char invalid[32];
    int8_t invalidLength = sizeof invalid;
    UErrorCode ignored = U_ZERO_ERROR;
    ucnv_getInvalidChars(converter_, invalid, &invalidLength, &ignored);
    goodBytes -= U_SUCCESS(ignored) ? invalidLength : 0;
    stop = status == U_INVALID_CHAR_FOUND || (status == U_ILLEGAL_CHAR_FOUND && !multiByte_)
               ? kTextUndefinedElementErr
           : status == U_TRUNCATED_CHAR_FOUND ? kTECPartialCharErr
           : status == U_MEMORY_ALLOCATION_ERROR ? memFullErr
                                              : kTextMalformedInputErr;
  } else if (unterminated) {
    UErrorCode ignored = U_ZERO_ERROR;
    int32_t pending = ucnv_toUCountPending(converter_, &ignored);
    goodBytes -= pending > 0 ? pending : 0;
  }
  ucnv_resetToUnicode(converter_);

  const size_t units = static_cast<size_t>(target - decoded.data());
  const UniChar *decodedUnits = reinterpret_cast<const UniChar *>(decoded.data());
  // The usual case: the whole text, in its form, fits at once.
  {
    icu::UnicodeString whole(false, decoded.data(), static_cast<int32_t>(units));
    icu::UnicodeString normalized;
    const icu::UnicodeString *result = &whole;
    UErrorCode normStatus = U_ZERO_ERROR;
    if (unicodeForm_) {
      unicodeForm_->normalize(whole, normalized, normStatus);
      result = &normalized;
    }
    if (U_SUCCESS(normStatus) && static_cast<size_t>(result->length()) <= capacity) {
      result->extract(0, result->length(), reinterpret_cast<UChar *>(out));
      return {stop, goodBytes, static_cast<size_t>(result->length())};
    }
  }
  size_t i = 0, written = 0;
  while (i < units) {
    size_t end = segmentEnd(decodedUnits, units, i, unicodeForm_);
    const size_t readSoFar = static_cast<size_t>(offsets[i]);
    icu::UnicodeString segment(false, decoded.data() + i, static_cast<int32_t>(end - i));
    icu::UnicodeString normalized;
    const icu::UnicodeString *result = &segment;
    if (unicodeForm_) {
      UErrorCode normStatus = U_ZERO_ERROR;
      unicodeForm_->normalize(segment, normalized, normStatus);
      if (U_FAILURE(normStatus))
        return {memFullErr, readSoFar, written};
      result = &normalized;
    }
    size_t length = static_cast<size_t>(result->length());
    if (length > capacity - written)
      return {kTECOutputBufferFullStatus, readSoFar, written};
    result->extract(0, static_cast<int32_t>(length), reinterpret_cast<UChar *>(out + written));
    written += length;
    i = end;
  }
  return {stop, goodBytes, written};
}

} // namespace quillmate::text
