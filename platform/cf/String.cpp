// CFString: immutable UTF-16 strings; byte encodings through ICU.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/StringInternal.h"

#include <unicode/ucnv.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <cstring>
#include <memory>
#include <vector>

namespace quillmate_cf {
namespace {

// A string made at run time owns its units.
struct HeapString : __CFString {
  std::vector<UniChar> storage;
  explicit HeapString(std::vector<UniChar> units) : __CFString{}, storage(std::move(units)) {
    _length = static_cast<CFIndex>(storage.size());
    _chars = storage.data();
  }
};

CFStringRef createFromUnits(std::vector<UniChar> units) {
  return createInstance<HeapString>(kStringTypeID, std::move(units));
}

const UChar *asUChar(const UniChar *p) { return reinterpret_cast<const UChar *>(p); }
UChar *asUChar(UniChar *p) { return reinterpret_cast<UChar *>(p); }

bool stringsEqual(CFTypeRef a, CFTypeRef b) {
  return unitsOf(static_cast<CFStringRef>(a)) == unitsOf(static_cast<CFStringRef>(b));
}

CFHashCode stringHash(CFTypeRef cf) {
  UInt64 h = 0xcbf29ce484222325ull; // FNV-1a
  for (UniChar u : unitsOf(static_cast<CFStringRef>(cf))) {
    h = (h ^ u) * 0x100000001b3ull;
  }
  return static_cast<CFHashCode>(h);
}

// The ICU converter name of each byte encoding handled through a converter;
// UTF-8 goes through ICU's UTF-8 calls instead.
const char *converterName(CFStringEncoding encoding) {
  switch (encoding) {
  case kCFStringEncodingMacRoman: return "macintosh";
  case kCFStringEncodingWindowsLatin1: return "windows-1252";
  case kCFStringEncodingISOLatin1: return "ISO-8859-1";
  case kCFStringEncodingASCII: return "US-ASCII";
  default: return nullptr;
  }
}

// ICU converters are not thread-safe; each thread keeps its own, set to stop
// at the first byte or character without a mapping (no substitutes, no
// fallbacks).
class ConverterCache {
public:
  ~ConverterCache() {
    for (auto &entry : entries_) ucnv_close(entry.converter);
  }
  UConverter *get(CFStringEncoding encoding) {
    for (auto &entry : entries_) {
      if (entry.encoding == encoding) return entry.converter;
    }
    const char *name = converterName(encoding);
    if (!name) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = ucnv_open(name, &status);
    if (U_FAILURE(status)) return nullptr;
    ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &status);
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFallback(converter, false);
    if (U_FAILURE(status)) {
      ucnv_close(converter);
      return nullptr;
    }
    entries_.push_back({encoding, converter});
    return converter;
  }

private:
  struct Entry {
    CFStringEncoding encoding;
    UConverter *converter;
  };
  std::vector<Entry> entries_;
};

UConverter *converterFor(CFStringEncoding encoding) {
  thread_local ConverterCache cache;
  return cache.get(encoding);
}

std::optional<std::vector<UniChar>> decodeUTF8(const char *bytes, size_t count) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  if (count > INT32_MAX) return std::nullopt;
  u_strFromUTF8(nullptr, 0, &needed, bytes, static_cast<int32_t>(count), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::vector<UniChar> units(static_cast<size_t>(needed));
  status = U_ZERO_ERROR;
  u_strFromUTF8(asUChar(units.data()), needed, nullptr, bytes, static_cast<int32_t>(count),
                &status);
  if (U_FAILURE(status)) return std::nullopt;
  return units;
}

std::optional<std::vector<UniChar>> decodeBytes(const UInt8 *bytes, size_t count,
                                                CFStringEncoding encoding) {
  const char *text = reinterpret_cast<const char *>(bytes);
  if (encoding == kCFStringEncodingUTF8) return decodeUTF8(text, count);
  UConverter *converter = converterFor(encoding);
  if (!converter || count > INT32_MAX / 2) return std::nullopt;
  // Every encoding handled here gives at most one unit per byte.
  std::vector<UniChar> units(count + 1);
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetToUnicode(converter);
  int32_t length = ucnv_toUChars(converter, asUChar(units.data()),
                                 static_cast<int32_t>(units.size()), text,
                                 static_cast<int32_t>(count), &status);
  if (U_FAILURE(status)) return std::nullopt;
  units.resize(static_cast<size_t>(length));
  return units;
}

std::optional<std::string> encodeUTF8(std::basic_string_view<UniChar> units) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  if (units.size() > INT32_MAX / 3) return std::nullopt;
  u_strToUTF8(nullptr, 0, &needed, asUChar(units.data()), static_cast<int32_t>(units.size()),
              &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::string out(static_cast<size_t>(needed), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), needed, nullptr, asUChar(units.data()),
              static_cast<int32_t>(units.size()), &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  return out;
}

// One-byte encodings have no combining marks: compose first, so that "e" +
// U+0301 converts like the precomposed letter.
std::optional<std::vector<UniChar>> composed(std::basic_string_view<UniChar> units) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2 *nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return std::nullopt;
  int32_t length = static_cast<int32_t>(units.size());
  if (unorm2_quickCheck(nfc, asUChar(units.data()), length, &status) == UNORM_YES &&
      U_SUCCESS(status)) {
    return std::vector<UniChar>(units.begin(), units.end());
  }
  status = U_ZERO_ERROR;
  int32_t needed = unorm2_normalize(nfc, asUChar(units.data()), length, nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::vector<UniChar> out(static_cast<size_t>(needed));
  status = U_ZERO_ERROR;
  unorm2_normalize(nfc, asUChar(units.data()), length, asUChar(out.data()), needed, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  return out;
}

std::optional<std::string> encode(std::basic_string_view<UniChar> units,
                                  CFStringEncoding encoding) {
  if (encoding == kCFStringEncodingUTF8) return encodeUTF8(units);
  UConverter *converter = converterFor(encoding);
  if (!converter) return std::nullopt;
  std::optional<std::vector<UniChar>> nfc = composed(units);
  if (!nfc || nfc->size() > INT32_MAX) return std::nullopt;
  std::string out(nfc->size(), '\0'); // one byte per unit, at most
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetFromUnicode(converter);
  int32_t length =
      ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()),
                      asUChar(nfc->data()), static_cast<int32_t>(nfc->size()), &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  out.resize(static_cast<size_t>(length));
  return out;
}

} // namespace

const RuntimeClass kStringClass = {"CFString", destroyInstance<HeapString>, stringsEqual,
                                   stringHash};

CFStringRef createStringFromUTF8(std::string_view utf8) {
  std::optional<std::vector<UniChar>> units = decodeUTF8(utf8.data(), utf8.size());
  return units ? createFromUnits(std::move(*units)) : nullptr;
}

std::optional<std::string> toUTF8(CFStringRef s) { return encodeUTF8(unitsOf(s)); }

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

CFTypeID CFStringGetTypeID(void) { return kStringTypeID; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char *cStr,
                                      CFStringEncoding encoding) {
  if (!cStr) return nullptr;
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(cStr),
                                 static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
  if (numBytes < 0 || (!bytes && numBytes > 0)) return nullptr;
  static const UInt8 empty = 0;
  std::optional<std::vector<UniChar>> units =
      decodeBytes(bytes ? bytes : &empty, static_cast<size_t>(numBytes), encoding);
  return units ? createFromUnits(std::move(*units)) : nullptr;
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar *chars, CFIndex numChars) {
  if (numChars < 0 || (!chars && numChars > 0)) return nullptr;
  return createFromUnits(std::vector<UniChar>(chars, chars + numChars));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
  return static_cast<CFStringRef>(CFRetain(theString));
}

CFIndex CFStringGetLength(CFStringRef theString) { return theString ? theString->_length : 0; }

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
  if (!theString || idx < 0 || idx >= theString->_length) return 0;
  return theString->_chars[idx];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar *buffer) {
  if (!theString || !buffer || range.location < 0 || range.length <= 0 ||
      range.location > theString->_length - range.length) {
    return;
  }
  std::memcpy(buffer, theString->_chars + range.location,
              static_cast<size_t>(range.length) * sizeof(UniChar));
}

Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  if (!buffer || bufferSize <= 0) return false;
  buffer[0] = '\0';
  if (!theString) return false;
  std::optional<std::string> bytes = encode(unitsOf(theString), encoding);
  if (!bytes || static_cast<CFIndex>(bytes->size()) >= bufferSize) return false;
  std::memcpy(buffer, bytes->data(), bytes->size());
  buffer[bytes->size()] = '\0';
  return true;
}

const char *CFStringGetCStringPtr(CFStringRef, CFStringEncoding) { return nullptr; }

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (length < 0) return kCFNotFound;
  if (encoding == kCFStringEncodingUTF8) return length * 3;
  if (converterName(encoding)) return length;
  return kCFNotFound;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
  std::basic_string_view<UniChar> a = unitsOf(theString1), b = unitsOf(theString2);
  int order;
  if (compareOptions & kCFCompareCaseInsensitive) {
    UErrorCode status = U_ZERO_ERROR;
    order = u_strCaseCompare(asUChar(a.data()), static_cast<int32_t>(a.size()),
                             asUChar(b.data()), static_cast<int32_t>(b.size()),
                             U_FOLD_CASE_DEFAULT, &status);
  } else {
    order = a.compare(b);
  }
  return order < 0 ? kCFCompareLessThan : order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

} // extern "C"
