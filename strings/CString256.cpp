#include "strings/CString256.h"

#include "strings/CList.h"
#include "strings/StringHelpers.h"

#include <cctype>
#include <cstddef>
#include <cstring>

CString256 *CString256::nfree = nullptr;

// Callers hand a CString256 * to byte-string functions as its text.
static_assert(offsetof(CString256, text) == 0 && sizeof(CString256::text) == 256);

namespace {

// Room for any decimal SInt32: buffer itoa is given this size, so the text
// (at most 10 digits and a sign) is never cut.
constexpr SInt16 kDecimalSize = 31;

// Length of `s`, but at most `limit`: reads no further than the terminator
// or the limit, whichever comes first.
std::size_t boundedLength(const char *s, std::size_t limit) {
  const void *end = std::memchr(s, '\0', limit);
  return end ? static_cast<std::size_t>(static_cast<const char *>(end) - s) : limit;
}

} // namespace

// The copying steps below measure the source before writing, and move with
// memmove, so a source inside this object's own text (s = s.text + 2,
// s += s.text) gives the same result as a separate copy of it would.

void CString256::assign(const char *source) {
  if (!source) {
    text[0] = '\0';
    return;
  }
  std::size_t n = boundedLength(source, kCapacity);
  std::memmove(text, source, n);
  text[n] = '\0';
}

void CString256::append(const char *source) {
  if (!source)
    return;
  std::size_t length = std::strlen(text);
  std::size_t n = boundedLength(source, kCapacity - length);
  std::memmove(text + length, source, n);
  text[length + n] = '\0';
}

CString256::CString256() { text[0] = '\0'; }
CString256::CString256(char *source) { assign(source); }
CString256::CString256(const char *source) { assign(source); }
CString256::CString256(unsigned char *pascal) { CopyPascalStringToC(pascal, text); }
CString256::CString256(const unsigned char *pascal) { CopyPascalStringToC(pascal, text); }
CString256::CString256(CString256 &other) { assign(other.text); }
CString256::CString256(const CString256 &other) { assign(other.text); }

CString256 &CString256::operator=(char *source) {
  assign(source);
  return *this;
}

CString256 &CString256::operator=(const char *source) {
  assign(source);
  return *this;
}

CString256 &CString256::operator=(unsigned char *pascal) {
  CopyPascalStringToC(pascal, text);
  return *this;
}

CString256 &CString256::operator=(const unsigned char *pascal) {
  CopyPascalStringToC(pascal, text);
  return *this;
}

CString256 &CString256::operator=(CFStringRef source) {
  // Emptied first so that a converter that writes nothing leaves an empty
  // text; the last byte is forced so the text ends within the array
  // whatever the converter left.
  text[0] = '\0';
  if (source)
    CFStringGetCString(source, text, sizeof text, kCFStringEncodingMacRoman);
  text[kCapacity] = '\0';
  return *this;
}

CString256 &CString256::operator=(Handle source) {
  Size size = source ? GetHandleSize(source) : 0;
  std::size_t n = 0;
  if (size > 0 && *source) {
    n = static_cast<std::size_t>(size) < kCapacity ? static_cast<std::size_t>(size) : kCapacity;
    std::memmove(text, *source, n);
  }
  text[n] = '\0';
  return *this;
}

CString256 &CString256::operator=(CString256 &other) {
  assign(other.text);
  return *this;
}

CString256 &CString256::operator=(const CString256 &other) {
  assign(other.text);
  return *this;
}

CString256 &CString256::operator=(SInt32 value) {
  itoa(text, kDecimalSize, value);
  return *this;
}

CString256 &CString256::operator+=(char *source) {
  append(source);
  return *this;
}

CString256 &CString256::operator+=(const char *source) {
  append(source);
  return *this;
}

CString256 &CString256::operator+=(char c) {
  std::size_t length = std::strlen(text);
  if (length < kCapacity - 1) {
    text[length] = c;
    text[length + 1] = '\0';
  }
  return *this;
}

CString256 &CString256::operator+=(unsigned char *pascal) {
  return *this += const_cast<const unsigned char *>(pascal);
}

CString256 &CString256::operator+=(const unsigned char *pascal) {
  char converted[kCapacity + 1];
  CopyPascalStringToC(pascal, converted);
  append(converted);
  return *this;
}

CString256 &CString256::operator+=(CString256 other) {
  append(other.text);
  return *this;
}

CString256 &CString256::operator+=(CFStringRef source) {
  CString256 converted;
  converted = source;
  append(converted.text);
  return *this;
}

CString256 &CString256::operator+=(SInt32 value) {
  char decimal[kDecimalSize + 1];
  itoa(decimal, kDecimalSize, value);
  append(decimal);
  return *this;
}

void CString256::to_lower() {
  for (char *p = text; *p != '\0'; ++p)
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
}

void CString256::filter_to_alnum_or_punct() {
  // One pass that keeps the wanted bytes in order; the same result as
  // closing the gap over each unwanted byte in turn.
  char *kept = text;
  for (const char *p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (std::isalnum(c) || std::ispunct(c))
      *kept++ = *p;
  }
  *kept = '\0';
}

CString256 &CString256::change_suffix(const char *suffix) {
  // Both inputs are copied before the text changes, so a suffix taken from
  // this object's own text still reads as it was.
  CString256 stem(*this);
  if (char *dot = std::strrchr(stem.text, '.'))
    *dot = '\0';
  CString256 replacement(suffix);
  assign(stem.text);
  append(".");
  if (suffix)
    append(replacement.text);
  return *this;
}

void CString256::print(char *buffer) const {
  std::strcat(buffer, text);
  std::size_t end = std::strlen(buffer);
  buffer[end] = '\n';
  buffer[end + 1] = '\0';
}

OSErr CString256::print(SInt16 refNum) const {
  char line[kCapacity + 1];
  std::size_t length = std::strlen(text);
  std::memcpy(line, text, length);
  line[length] = '\n';
  SInt32 count = static_cast<SInt32>(length + 1);
  return FSWrite(refNum, &count, line);
}

void CString256::parse_into_list(const char *delimiters, CList<CString256> &target) const {
  CString256 working(*this);
  target.clear();
  for (char *field = std::strtok(working.text, delimiters); field;
       field = std::strtok(nullptr, delimiters))
    target.append(CString256(field));
}

void CString256::flatten_list(char separator, CList<CString256> &source) {
  // Joined in a separate string and copied at the end, so that this string
  // may itself be one of the elements.
  CString256 joined;
  SInt32 number = 1;
  for (source.cursor = source.head; source.cursor; ++number) {
    elem<CString256> *taken = source.cursor;
    source.cursor = taken->next;
    joined.append(taken->value.text);
    if (number != source.count)
      joined += separator;
  }
  assign(joined.text);
}
