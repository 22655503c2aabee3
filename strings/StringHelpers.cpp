#include "strings/StringHelpers.h"

#include <cctype>
#include <cstring>
#include <new>

namespace {

// Folds one byte the way every case-insensitive helper here does.
inline int upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }

int digitCount(UInt32 magnitude) {
  int digits = 1;
  while (magnitude >= 10) {
    magnitude /= 10;
    ++digits;
  }
  return digits;
}

// Shared body of the allocating conversions.  The magnitude of the most
// negative signed value is formed in unsigned arithmetic, so it never
// overflows.
char *allocatedDecimal(UInt32 magnitude, bool negative) {
  char *buffer = new (std::nothrow) char[digitCount(magnitude) + 2];
  if (!buffer)
    return nullptr;
  char *out = buffer;
  do {
    *out++ = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative)
    *out++ = '-';
  *out = '\0';
  reverse(buffer);
  return buffer;
}

UInt32 magnitudeOf(SInt32 value) {
  return value < 0 ? 0u - static_cast<UInt32>(value) : static_cast<UInt32>(value);
}

} // namespace

int reverse(char *text) {
  if (!text)
    return 0;
  std::size_t length = std::strlen(text);
  if (length < 2)
    return 0;
  int pairs = 0;
  for (std::size_t left = 0, right = length - 1; left < right; ++left, --right) {
    char c = text[left];
    text[left] = text[right];
    text[right] = c;
    ++pairs;
  }
  return pairs;
}

char *itoa(UInt32 value) { return allocatedDecimal(value, false); }

char *itoa(SInt32 value) { return allocatedDecimal(magnitudeOf(value), value < 0); }

char *itoa(SInt16 value) { return allocatedDecimal(magnitudeOf(value), value < 0); }

int itoa(char *buffer, SInt16 size, SInt32 value) {
  UInt32 magnitude = magnitudeOf(value);
  int room = size - 1;
  char *out = buffer;
  // Zero still gets its digit when there is room for one.
  for (int written = 0; written < room && (written == 0 || magnitude != 0); ++written) {
    *out++ = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  }
  if (value < 0)
    *out++ = '-';
  *out = '\0';
  return reverse(buffer);
}

void switchIt(char *buffer, int first, int second) {
  char c = buffer[first];
  buffer[first] = buffer[second];
  buffer[second] = c;
}

char *STRSTR(const char *text, const char *pattern) {
  if (*pattern == '\0')
    return const_cast<char *>(text);
  for (const char *start = text; *start != '\0'; ++start) {
    const char *t = start;
    const char *p = pattern;
    while (*p != '\0' && upper(*t) == upper(*p)) {
      ++t;
      ++p;
    }
    // The text's terminator never equals a pattern byte, so running off the
    // text ends the loop with *p non-zero.
    if (*p == '\0')
      return const_cast<char *>(start);
  }
  return nullptr;
}

int STRNCMP(const char *first, const char *second, int count) {
  for (int i = 0; i != count; ++i) {
    unsigned char a = static_cast<unsigned char>(first[i]);
    unsigned char b = static_cast<unsigned char>(second[i]);
    if (std::toupper(a) != std::toupper(b))
      return a - b;
    if (a == '\0')
      return 0;
  }
  return 0;
}
