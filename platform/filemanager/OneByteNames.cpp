#include "platform/filemanager/OneByteNames.h"

#include "platform/text/Encodings.h"
#include "platform/text/NameConversion.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/unorm2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace quillmate::fm::onebyte {
namespace {

constexpr size_t kMaxBytes = 31;

// One converter per encoding for the process, opened at first use and kept,
// used under a lock (ICU converters are not thread-safe).
std::mutex gMutex;

struct OpenConverter {
  const char *icuName;
  UConverter *converter; // null: it failed to open
};

/// The converter of the encoding one-byte names are in now (the system
/// script's, as the name converters resolve kTextEncodingUnknown), or null
/// when the text layer has none for it: then only ASCII converts.
UConverter *converter() {
  static auto *opened = new std::vector<OpenConverter>; // never destroyed, like the tables
  const char *icuName = text::icuConverterName(text::systemNameEncoding());
  if (!icuName)
    return nullptr;
  for (const OpenConverter &c : *opened)
    if (!std::strcmp(c.icuName, icuName))
      return c.converter;
  UErrorCode status = U_ZERO_ERROR;
  UConverter *u = ucnv_open(icuName, &status);
  if (U_FAILURE(status)) {
    u = nullptr;
  } else {
    // Strict both ways: a loosely mapped name would not find its object again.
    ucnv_setFromUCallBack(u, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setToUCallBack(u, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  opened->push_back({icuName, u});
  return u;
}

/// The converter, looked up at the first name that needs one: ASCII is the
/// same in every encoding one-byte names may be in, so ASCII names cost no
/// lookup of the system script.
class LazyConverter {
public:
  UConverter *get() {
    if (!looked_) {
      converter_ = converter();
      looked_ = true;
    }
    return converter_;
  }

private:
  UConverter *converter_ = nullptr;
  bool looked_ = false;
};

template <class Unit> bool allASCII(const Unit *units, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (units[i] >= 0x80)
      return false;
  return true;
}

/// One-byte form of `units`, or false when a unit has none.
bool convert(LazyConverter &lazy, const UChar *units, int32_t count, std::string &out) {
  out.clear();
  if (allASCII(units, static_cast<size_t>(count))) {
    out.assign(units, units + count);
    return true;
  }
  UConverter *c = lazy.get();
  if (!c)
    return false;
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

void fromUnicode(const HFSUniStr255 &name, UInt32 nodeID, StrFileName out, bool mangle) {
  std::lock_guard<std::mutex> lock(gMutex);
  LazyConverter c;
  std::vector<UChar> units = composed(name);
  std::string whole;
  if (!mangle && convert(c, units.data(), static_cast<int32_t>(units.size()), whole) &&
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
          convert(c, units.data() + i, static_cast<int32_t>(units.size() - i), e)) {
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
    if (convert(c, units.data() + i, static_cast<int32_t>(step), piece) &&
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
  if (allASCII(bytes, length)) {
    std::copy(bytes, bytes + length, out.unicode);
    out.length = static_cast<UInt16>(length);
    return true;
  }
  UConverter *c = converter();
  if (!c)
    return false;
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
