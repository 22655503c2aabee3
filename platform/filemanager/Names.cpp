#include "platform/filemanager/Names.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <vector>

namespace quillmate::fm::names {
namespace {

constexpr size_t kMaxUnits = 255;
constexpr size_t kMaxBytes = 255;

bool isEscapedByte(UInt32 u) { return u >= 0xDC80 && u <= 0xDCFF; }

void putUtf8(UInt32 c, std::string &out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

OSErr encode(const UniChar *units, size_t count, std::string &out) {
  out.clear();
  if (count == 0 || count > kMaxUnits)
    return bdNamErr;
  for (size_t i = 0; i < count; ++i) {
    UInt32 c = units[i];
    if (c == 0 || c == ':')
      return bdNamErr;
    if (c == '/') {
      out += ':';
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      } else {
        return bdNamErr;
      }
    } else if (isEscapedByte(c)) {
      out += static_cast<char>(c - 0xDC00);
      continue;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return bdNamErr;
    }
    putUtf8(c, out);
  }
  if (out.size() > kMaxBytes || out == "." || out == "..")
    return bdNamErr;
  return noErr;
}

/// Length of the valid UTF-8 sequence at `p` (at most `n` bytes), or 0.
size_t validSequence(const unsigned char *p, size_t n, UInt32 &c) {
  unsigned char b = p[0];
  size_t len;
  UInt32 min;
  if (b < 0x80) {
    c = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    len = 2, c = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, c = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > n)
    return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    return 0;
  return len;
}

} // namespace

OSErr toDisk(const UniChar *units, size_t count, std::string &out) {
  if (!units && count)
    return paramErr;
  return encode(units, count, out);
}

OSErr toDiskNFC(const UniChar *units, size_t count, std::string &out) {
  if (!units && count)
    return paramErr;
  if (count == 0 || count > kMaxUnits)
    return bdNamErr;
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2 *nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status))
    return encode(units, count, out);
  const UChar *src = reinterpret_cast<const UChar *>(units);
  if (unorm2_isNormalized(nfc, src, static_cast<int32_t>(count), &status) && U_SUCCESS(status))
    return encode(units, count, out);
  status = U_ZERO_ERROR;
  std::vector<UChar> buffer(count * 3 + 1);
  int32_t n = unorm2_normalize(nfc, src, static_cast<int32_t>(count), buffer.data(),
                               static_cast<int32_t>(buffer.size()), &status);
  if (U_FAILURE(status))
    return bdNamErr;
  return encode(reinterpret_cast<const UniChar *>(buffer.data()), static_cast<size_t>(n), out);
}

void fromDisk(const std::string &disk, HFSUniStr255 &out) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(disk.data());
  size_t n = disk.size(), i = 0, u = 0;
  while (i < n && u < kMaxUnits) {
    UInt32 c;
    size_t len = validSequence(p + i, n - i, c);
    if (len == 0) {
      c = 0xDC00 + p[i];
      len = 1;
    } else if (c == ':') {
      c = '/';
    }
    if (c >= 0x10000) {
      if (u + 2 > kMaxUnits)
        break;
      c -= 0x10000;
      out.unicode[u++] = static_cast<UniChar>(0xD800 + (c >> 10));
      out.unicode[u++] = static_cast<UniChar>(0xDC00 + (c & 0x3FF));
    } else {
      out.unicode[u++] = static_cast<UniChar>(c);
    }
    i += len;
  }
  out.length = static_cast<UInt16>(u);
}

} // namespace quillmate::fm::names
