#include "platform/filemanager/OneByteNames.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/unorm2.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace quillmate::fm::onebyte {
namespace {

constexpr size_t kMaxBytes = 31;

// One converter for the process, used under a lock (ICU converters are not
// thread-safe); failing to open it leaves only ASCII convertible.
std::mutex gMutex;
UConverter *converter() {
  static UConverter *c = [] {
    UErrorCode status = U_ZERO_ERROR;
    UConverter *u = ucnv_open("macintosh", &status);
    if (U_FAILURE(status))
      return static_cast<UConverter *>(nullptr);
    ucnv_setFromUCallBack(u, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setToUCallBack(u, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    return u;
  }();
  return c;
}

/// One-byte form of `units`, or false when a unit has none.
bool convert(const UChar *units, int32_t count, std::string &out) {
  out.clear();
  if (count == 0)
    return true;
  UConverter *c = converter();
  if (!c) {
    for (int32_t i = 0; i < count; ++i) {
      if (units[i] >= 0x80)
        return false;
      out += static_cast<char>(units[i]);
    }
    return true;
  }
  char buffer[1024];
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetFromUnicode(c);
  int32_t n = ucnv_fromUChars(c, buffer, sizeof buffer, units, count, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING)
    return false;
  out.assign(buffer, static_cast<size_t>(n));
  return true;
}

std::vector<UChar> composed(const HFSUniStr255 &name) {
  const UChar *src = reinterpret_cast<const UChar *>(name.unicode);
  std::vector<UChar> out(static_cast<size_t>(name.length) * 3 + 1);
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2 *nfc = unorm2_getNFCInstance(&status);
  int32_t n = U_SUCCESS(status)
                  ? unorm2_normalize(nfc, src, name.length, out.data(),
                                     static_cast<int32_t>(out.size()), &status)
                  : -1;
  if (U_FAILURE(status) || n < 0) {
    out.assign(src, src + name.length);
  } else {
    out.resize(static_cast<size_t>(n));
  }
  return out;
}

} // namespace

void fromUnicode(const HFSUniStr255 &name, UInt32 nodeID, StrFileName out) {
  std::lock_guard<std::mutex> lock(gMutex);
  std::vector<UChar> units = composed(name);
  std::string whole;
  if (convert(units.data(), static_cast<int32_t>(units.size()), whole) &&
      whole.size() <= kMaxBytes) {
    out[0] = static_cast<unsigned char>(whole.size());
    std::memcpy(out + 1, whole.data(), whole.size());
    return;
  }
  char tag[16];
  int tagLength = std::snprintf(tag, sizeof tag, "#%X", static_cast<unsigned>(nodeID));
  // Keep an extension of up to five characters when it converts whole.
  std::string extension;
  size_t baseLength = units.size();
  for (size_t i = units.size(); i-- > 0;) {
    if (units[i] == '.') {
      std::string e;
      if (units.size() - i <= 6 &&
          convert(units.data() + i, static_cast<int32_t>(units.size() - i), e)) {
        extension = e;
        baseLength = i;
      }
      break;
    }
  }
  size_t budget = kMaxBytes - static_cast<size_t>(tagLength) - extension.size();
  std::string base;
  for (size_t i = 0; i < baseLength && base.size() < budget;) {
    size_t step = (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < baseLength) ? 2 : 1;
    std::string piece;
    if (convert(units.data() + i, static_cast<int32_t>(step), piece) &&
        base.size() + piece.size() <= budget)
      base += piece;
    i += step;
  }
  std::string result = base + tag + extension;
  out[0] = static_cast<unsigned char>(result.size());
  std::memcpy(out + 1, result.data(), result.size());
}

bool toUnicode(const unsigned char *bytes, size_t length, HFSUniStr255 &out) {
  std::lock_guard<std::mutex> lock(gMutex);
  out.length = 0;
  if (length == 0)
    return true;
  UConverter *c = converter();
  if (!c) {
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] >= 0x80)
        return false;
      out.unicode[i] = bytes[i];
    }
    out.length = static_cast<UInt16>(length);
    return true;
  }
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetToUnicode(c);
  int32_t n = ucnv_toUChars(c, reinterpret_cast<UChar *>(out.unicode), 255,
                            reinterpret_cast<const char *>(bytes), static_cast<int32_t>(length),
                            &status);
  if (U_FAILURE(status) || n > 255)
    return false;
  out.length = static_cast<UInt16>(n);
  return true;
}

UInt32 parseMangledID(const unsigned char *bytes, size_t length) {
  const unsigned char *hash = nullptr;
  for (size_t i = 0; i < length; ++i)
    if (bytes[i] == '#')
      hash = bytes + i;
  if (!hash)
    return 0;
  UInt32 id = 0;
  size_t digits = 0;
  for (const unsigned char *p = hash + 1; p < bytes + length && *p != '.'; ++p) {
    int v = (*p >= '0' && *p <= '9') ? *p - '0' : (*p >= 'A' && *p <= 'F') ? *p - 'A' + 10 : -1;
    if (v < 0 || ++digits > 8)
      return 0;
    id = id * 16 + static_cast<UInt32>(v);
  }
  return digits ? id : 0;
}

} // namespace onebyte
