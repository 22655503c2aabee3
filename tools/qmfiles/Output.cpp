#include "tools/qmfiles/Output.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace qmfiles {

namespace {

struct StatusName {
  OSStatus code;
  const char *name;
};

// The status codes the File Manager and the file utility library answer.
constexpr StatusName kStatusNames[] = {
    {noErr, "noErr"},
    {unimpErr, "unimpErr"},
    {dirFulErr, "dirFulErr"},
    {dskFulErr, "dskFulErr"},
    {nsvErr, "nsvErr"},
    {ioErr, "ioErr"},
    {bdNamErr, "bdNamErr"},
    {fnOpnErr, "fnOpnErr"},
    {eofErr, "eofErr"},
    {posErr, "posErr"},
    {tmfoErr, "tmfoErr"},
    {fnfErr, "fnfErr"},
    {wPrErr, "wPrErr"},
    {fLckdErr, "fLckdErr"},
    {vLckdErr, "vLckdErr"},
    {fBsyErr, "fBsyErr"},
    {dupFNErr, "dupFNErr"},
    {opWrErr, "opWrErr"},
    {paramErr, "paramErr"},
    {rfNumErr, "rfNumErr"},
    {permErr, "permErr"},
    {extFSErr, "extFSErr"},
    {wrPermErr, "wrPermErr"},
    {memFullErr, "memFullErr"},
    {nilHandleErr, "nilHandleErr"},
    {dirNFErr, "dirNFErr"},
    {badMovErr, "badMovErr"},
    {wrgVolTypErr, "wrgVolTypErr"},
    {volGoneErr, "volGoneErr"},
    {fidNotFound, "fidNotFound"},
    {fidExists, "fidExists"},
    {notAFileErr, "notAFileErr"},
    {diffVolErr, "diffVolErr"},
    {sameFileErr, "sameFileErr"},
    {errFSBadFSRef, "errFSBadFSRef"},
    {errFSBadForkName, "errFSBadForkName"},
    {errFSBadBuffer, "errFSBadBuffer"},
    {errFSBadForkRef, "errFSBadForkRef"},
    {errFSBadInfoBitmap, "errFSBadInfoBitmap"},
    {errFSNotAFolder, "errFSNotAFolder"},
    {errFSForkNotFound, "errFSForkNotFound"},
    {errFSNameTooLong, "errFSNameTooLong"},
    {errFSMissingName, "errFSMissingName"},
    {errFSBadPosMode, "errFSBadPosMode"},
    {errFSNoMoreItems, "errFSNoMoreItems"},
    {errFSBadItemCount, "errFSBadItemCount"},
    {errFSRefsDifferent, "errFSRefsDifferent"},
    {errFSBadIteratorFlags, "errFSBadIteratorFlags"},
    {errFSIteratorNotFound, "errFSIteratorNotFound"},
    {errFSIteratorNotSupported, "errFSIteratorNotSupported"},
    {errFSOperationNotSupported, "errFSOperationNotSupported"},
    {afpAccessDenied, "afpAccessDenied"},
    {afpObjectNotFound, "afpObjectNotFound"},
    {afpRangeNotLocked, "afpRangeNotLocked"},
    {afpRangeOverlap, "afpRangeOverlap"},
    {afpObjectTypeErr, "afpObjectTypeErr"},
    {afpIDExists, "afpIDExists"},
    {kTextUnsupportedEncodingErr, "kTextUnsupportedEncodingErr"},
    {kTextMalformedInputErr, "kTextMalformedInputErr"},
    {kTextUndefinedElementErr, "kTextUndefinedElementErr"},
    {kTECNoConversionPathErr, "kTECNoConversionPathErr"},
    {kTECPartialCharErr, "kTECPartialCharErr"},
    {kTECUnmappableElementErr, "kTECUnmappableElementErr"},
    {kTECUsedFallbacksStatus, "kTECUsedFallbacksStatus"},
    {kTECOutputBufferFullStatus, "kTECOutputBufferFullStatus"},
};

void appendUTF8(std::string &out, char32_t c) {
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

} // namespace

std::string statusText(OSStatus status) {
  for (const StatusName &s : kStatusNames)
    if (s.code == status)
      return std::string(s.name) + " (" + std::to_string(status) + ")";
  return "status " + std::to_string(status);
}

std::string utf8(const UniChar *units, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xDC80 && c < 0xDD00) {
      out += static_cast<char>(c - 0xDC00); // a disk byte that is not UTF-8
      continue;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    appendUTF8(out, c);
  }
  return out;
}

std::u16string utf16(const std::string &text) {
  std::u16string out;
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  while (p < end) {
    unsigned char b = *p;
    size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t c = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
    bool valid = length > 0 && static_cast<size_t>(end - p) >= length;
    for (size_t k = 1; valid && k < length; ++k) {
      if ((p[k] & 0xC0) != 0x80)
        valid = false;
      else
        c = (c << 6) | (p[k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (valid && ((length == 2 && c < 0x80) || (length == 3 && c < 0x800) ||
                  (length == 4 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c < 0xE000)))
      valid = false;
    if (!valid) {
      out += static_cast<char16_t>(0xDC00 + b);
      ++p;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    p += length;
  }
  return out;
}

std::string jsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    default:
      if (c < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        out += buffer;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

std::string codeText(UInt32 code, int bytes) {
  std::string out;
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    unsigned char c = static_cast<unsigned char>(code >> shift);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
      out += buffer;
    }
  }
  return out;
}

Progress::Progress(const char *unit)
    : unit_(unit), enabled_(::isatty(STDERR_FILENO) == 1),
      sharesScreen_(::isatty(STDOUT_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), last_(start_) {
  // Tests ask for every update to be drawn.
  if (const char *ms = std::getenv("QMFILES_PROGRESS_INTERVAL_MS"))
    interval_ = std::chrono::milliseconds(std::atoi(ms));
}

void Progress::update(uint64_t done, uint64_t total) {
  if (!enabled_)
    return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_ < interval_)
    return;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  if (total)
    std::fprintf(stderr, "\r\033[K%llu of %llu %s, %.0f %s/s",
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 unit_, rate, unit_);
  else
    std::fprintf(stderr, "\r\033[K%llu %s, %.0f %s/s", static_cast<unsigned long long>(done),
                 unit_, rate, unit_);
  std::fflush(stderr);
  visible_ = true;
}

void Progress::hide() {
  if (!visible_)
    return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  visible_ = false;
}

} // namespace qmfiles
