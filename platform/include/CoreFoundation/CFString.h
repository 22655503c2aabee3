// Immutable Unicode strings: a CFString holds UTF-16 code units.
//
// CFSTR("...") names a constant built at compile time: no allocation, never
// freed, safe to use in static initialisers and from any thread.  Its text is
// taken as UTF-8.  Conversions to and from byte encodings go through ICU; the
// Mac OS Roman tables are the classic ones (the same as Python's mac_roman).
#ifndef QUILLMATE_CFSTRING_H
#define QUILLMATE_CFSTRING_H

#include <CoreFoundation/CFBase.h>

#include <array>

extern "C" {

typedef UInt32 CFStringEncoding;
enum {
  kCFStringEncodingMacRoman = 0,
  kCFStringEncodingWindowsLatin1 = 0x0500,
  kCFStringEncodingISOLatin1 = 0x0201,
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUnicode = 0x0100,
  kCFStringEncodingUTF8 = 0x08000100,
  kCFStringEncodingUTF16 = 0x0100,
  kCFStringEncodingUTF16BE = 0x10000100,
  kCFStringEncodingUTF16LE = 0x14000100,
  kCFStringEncodingInvalidId = 0xffffffffu
};

typedef CFOptionFlags CFStringCompareFlags;
enum {
  kCFCompareCaseInsensitive = 1,
  kCFCompareBackwards = 4,
  kCFCompareAnchored = 8,
  kCFCompareNonliteral = 16,
  kCFCompareLocalized = 32,
  kCFCompareNumerically = 64
};

CFTypeID CFStringGetTypeID(void);

// Null when cStr is null, the encoding is not supported, or the bytes are not
// valid in it (malformed UTF-8, or a byte ASCII lacks).
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr,
                                      CFStringEncoding encoding);
// As above for numBytes bytes that need not be terminated; a NUL byte is kept
// as a character.  isExternalRepresentation is accepted and ignored.
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding,
                                    Boolean isExternalRepresentation);
// Copies numChars UTF-16 units as they are (unpaired surrogates included).
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar *chars,
                                         CFIndex numChars);
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

// Length in UTF-16 units.
CFIndex CFStringGetLength(CFStringRef theString);
UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx);
// Copies the units of range (which must lie within the string) to buffer.
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar *buffer);

// Converts the whole string into buffer and terminates it.  Returns false,
// leaving buffer holding an empty string, when the converted text and its
// terminator do not fit in bufferSize bytes, when a character has no form in
// the encoding (Mac OS Roman: after composing to NFC, so "e" + U+0301 becomes
// one byte), or when the encoding is not supported.  A buffer of size 0 is
// not touched.
Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);
// This platform keeps no byte form of its strings: always null.
const char *CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
// The most bytes length UTF-16 units can take in the encoding (no terminator).
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// Orders by UTF-16 units; kCFCompareCaseInsensitive folds case first (full
// Unicode case folding).  Other flags are accepted and ignored.
CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions);

} // extern "C"

// Layout of a string object.  Constants point _chars at their own static
// array; strings made at run time own theirs.
struct __CFString {
  __CFRuntimeBase _base;
  CFIndex _length;
  const UniChar *_chars;
};

namespace quillmate_cf {

// A string literal as a template argument.
template <size_t N> struct Literal {
  char bytes[N];
  constexpr Literal(const char (&text)[N]) {
    for (size_t i = 0; i < N; ++i) bytes[i] = text[i];
  }
};

// UTF-8 (as written in the source) to UTF-16, at compile time.  Malformed
// input stops the build: the unit count comes back as -1.
template <size_t N> struct Utf16Literal {
  std::array<UniChar, N> units{};
  CFIndex length = 0;
};

template <size_t N> constexpr Utf16Literal<N> decodeLiteral(const char (&in)[N]) {
  Utf16Literal<N> out;
  const size_t end = N - 1; // the bytes before the terminator
  size_t i = 0;
  while (i < end) {
    UInt32 c = static_cast<unsigned char>(in[i]);
    size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (extra > 3 || i + extra >= end) {
      out.length = -1;
      return out;
    }
    if (extra > 0) c &= (0x3f >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      UInt32 b = static_cast<unsigned char>(in[i + k]);
      if ((b >> 6) != 2) { out.length = -1; return out; }
      c = (c << 6) | (b & 0x3f);
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.units[out.length++] = static_cast<UniChar>(0xd800 + (c >> 10));
      out.units[out.length++] = static_cast<UniChar>(0xdc00 + (c & 0x3ff));
    } else {
      out.units[out.length++] = static_cast<UniChar>(c);
    }
  }
  return out;
}

template <Literal L> struct ConstantString {
  static constexpr Utf16Literal<sizeof(L.bytes)> text = decodeLiteral(L.bytes);
  static_assert(text.length >= 0, "CFSTR needs well-formed UTF-8");
  static constexpr __CFString object{{kStringTypeID, kImmortalFlag, {1}}, text.length,
                                     text.units.data()};
};

} // namespace quillmate_cf

#define CFSTR(cStr) (&::quillmate_cf::ConstantString<cStr>::object)

#endif
