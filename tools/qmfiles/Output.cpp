#include "tools/qmfiles/Output.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace qmfiles {

namespace {

struct StatusName {
  OSStatus code;
  const char *name;
};

// The status codes the File Manager and the file utility library answer.
#define NAMED(code) {code, #code}
constexpr StatusName kStatusNames[] = {
    NAMED(noErr), NAMED(unimpErr), NAMED(dirFulErr), NAMED(dskFulErr), NAMED(nsvErr), NAMED(ioErr),
    NAMED(bdNamErr), NAMED(fnOpnErr), NAMED(eofErr), NAMED(posErr), NAMED(tmfoErr), NAMED(fnfErr),
    NAMED(wPrErr), NAMED(fLckdErr), NAMED(vLckdErr), NAMED(fBsyErr), NAMED(dupFNErr),
    NAMED(opWrErr), NAMED(paramErr), NAMED(rfNumErr), NAMED(permErr), NAMED(extFSErr),
    NAMED(wrPermErr), NAMED(memFullErr), NAMED(nilHandleErr), NAMED(dirNFErr), NAMED(badMovErr),
    NAMED(wrgVolTypErr), NAMED(volGoneErr), NAMED(fidNotFound), NAMED(fidExists),
    NAMED(notAFileErr), NAMED(diffVolErr), NAMED(sameFileErr), NAMED(errFSBadFSRef),
    NAMED(errFSBadForkName), NAMED(errFSBadBuffer), NAMED(errFSBadForkRef),
    NAMED(errFSBadInfoBitmap), NAMED(errFSNotAFolder), NAMED(errFSForkNotFound),
    NAMED(errFSNameTooLong), NAMED(errFSMissingName), NAMED(errFSBadPosMode),
    NAMED(errFSNoMoreItems), NAMED(errFSBadItemCount), NAMED(errFSRefsDifferent),
    NAMED(errFSBadIteratorFlags), NAMED(errFSIteratorNotFound), NAMED(errFSIteratorNotSupported),
    NAMED(errFSOperationNotSupported), NAMED(afpAccessDenied), NAMED(afpObjectNotFound),
    NAMED(afpRangeNotLocked), NAMED(afpRangeOverlap), NAMED(afpObjectTypeErr), NAMED(afpIDExists),
    NAMED(kTextUnsupportedEncodingErr), NAMED(kTextMalformedInputErr),
    NAMED(kTextUndefinedElementErr), NAMED(kTECNoConversionPathErr), NAMED(kTECPartialCharErr),
    NAMED(kTECUnmappableElementErr), NAMED(kTECUsedFallbacksStatus),
    NAMED(kTECOutputBufferFullStatus),
};
#undef NAMED

} // namespace

std::string statusText(OSStatus status) {
  for (const StatusName &s : kStatusNames)
    if (s.code == status)
      return std::string(s.name) + " (" + std::to_string(status) + ")";
  return "status " + std::to_string(status);
}

std::string utf8(const UniChar *units, size_t count) {
  std::string out;
  // ASCII, the usual name, is the same in both forms.
  if (std::all_of(units, units + count, [](UniChar u) { return u < 0x80; }))
    return std::string(units, units + count);
  // The units since the last disk byte, which CFString converts as they are.
  std::vector<UniChar> run;
  auto flush = [&] {
    auto length = static_cast<CFIndex>(run.size());
    CFStringRef s = CFStringCreateWithCharacters(nullptr, run.data(), length);
    std::vector<char> bytes(
        static_cast<size_t>(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8)) + 1);
    if (s && CFStringGetCString(s, bytes.data(), static_cast<CFIndex>(bytes.size()),
                                kCFStringEncodingUTF8))
      out += bytes.data();
    if (s)
      CFRelease(s);
    run.clear();
  };
  auto isHigh = [](UniChar u) { return u >= 0xD800 && u < 0xDC00; };
  auto isLow = [](UniChar u) { return u >= 0xDC00 && u < 0xE000; };
  for (size_t i = 0; i < count; ++i) {
    UniChar u = units[i];
    if (isHigh(u) && i + 1 < count && isLow(units[i + 1])) {
      run.push_back(u);
      run.push_back(units[++i]);
    } else if (u >= 0xDC80 && u < 0xDD00) {
      flush();
      out += static_cast<char>(u - 0xDC00); // a disk byte that is not UTF-8
    } else {
      run.push_back(isHigh(u) || isLow(u) ? 0xFFFD : u);
    }
  }
  flush();
  return out;
}

std::u16string utf16(const std::string &text) {
  std::u16string out;
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0; }))
    return std::u16string(text.begin(), text.end());
  // One converter for the run (the progress thread converts nothing).
  static TextToUnicodeInfo info = [] {
    UnicodeMapping mapping{
        CreateTextEncoding(kTextEncodingUnicodeDefault, kTextEncodingDefaultVariant,
                           kUnicode16BitFormat),
        CreateTextEncoding(kTextEncodingUnicodeDefault, kTextEncodingDefaultVariant,
                           kUnicodeUTF8Format),
        kUnicodeUseLatestMapping};
    TextToUnicodeInfo made = nullptr;
    return CreateTextToUnicodeInfo(&mapping, &made) == noErr ? made : nullptr;
  }();
  if (!info)
    return out;
  // Each stop at a byte that is not UTF-8 keeps that byte as U+DC00 + byte
  // and goes on after it.
  std::vector<UniChar> units(text.size() + 1);
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t at = 0; at < text.size();) {
    ByteCount read = 0, written = 0;
    OSStatus status = ConvertFromTextToUnicode(info, text.size() - at, bytes + at, 0, 0, nullptr,
                                               nullptr, nullptr, units.size() * sizeof(UniChar),
                                               &read, &written, units.data());
    out.append(reinterpret_cast<const char16_t *>(units.data()), written / sizeof(UniChar));
    at += read;
    if (status == noErr || at == text.size())
      break;
    out += static_cast<char16_t>(0xDC00 + bytes[at++]);
  }
  return out;
}

std::string diskName(const HFSUniStr255 &name) {
  std::string bytes = utf8(name);
  std::replace(bytes.begin(), bytes.end(), '/', ':');
  return bytes;
}

namespace {

/// Calls `visit` with each character of `text` (its code point and its
/// bytes) and each byte that is not part of valid UTF-8 (code point -1), in
/// order.
template <typename Visit> void forEachCharacter(const std::string &text, Visit visit) {
  std::u16string units = utf16(text);
  size_t at = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xDC80 && c < 0xDD00) {
      visit(-1, std::string_view(text).substr(at++, 1));
      continue;
    }
    size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    visit(static_cast<int32_t>(c), std::string_view(text).substr(at, length));
    at += length;
  }
}

/// The JSON escape of a control character or of a quote.
void appendJSONEscape(std::string &out, unsigned char c) {
  switch (c) {
  case '"': out += "\\\""; break;
  case '\\': out += "\\\\"; break;
  case '\n': out += "\\n"; break;
  case '\t': out += "\\t"; break;
  case '\r': out += "\\r"; break;
  default: {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
    out += buffer;
  }
  }
}

} // namespace

std::string jsonString(const std::string &text) {
  std::string out = "\"";
  forEachCharacter(text, [&](int32_t c, std::string_view bytes) {
    if (c < 0) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\udc%02x", static_cast<unsigned char>(bytes[0]));
      out += buffer;
    } else if (c < 0x20 || c == '"' || c == '\\') {
      appendJSONEscape(out, static_cast<unsigned char>(c));
    } else {
      out += bytes;
    }
  });
  return out + "\"";
}

std::string jsonBytes(const std::string &bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80)
      appendJSONEscape(out, c);
    else
      out += static_cast<char>(c);
  }
  return out + "\"";
}

std::string shellWord(const std::string &text) {
  enum Part { kNone, kQuoted, kEscaped } part = kNone;
  std::string out;
  bool plain = !text.empty();
  auto enter = [&](Part next) {
    if (part == next)
      return;
    if (part != kNone)
      out += '\'';
    if (next != kNone)
      out += next == kQuoted ? "'" : "$'";
    part = next;
  };
  forEachCharacter(text, [&](int32_t c, std::string_view bytes) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      plain = false;
      enter(kEscaped);
      for (unsigned char b : bytes) {
        static const char kLetters[] = "abtnvfr";
        char buffer[8];
        if (b >= '\a' && b <= '\r')
          std::snprintf(buffer, sizeof buffer, "\\%c", kLetters[b - '\a']);
        else
          std::snprintf(buffer, sizeof buffer, "\\%03o", b);
        out += buffer;
      }
    } else if (c == '\'') {
      plain = false;
      enter(kNone);
      out += "\\'";
    } else {
      if (c < 0x80 && !std::isalnum(c) && !std::strchr("%+,-./:@_", c))
        plain = false;
      enter(kQuoted);
      out += bytes;
    }
  });
  enter(kNone);
  return plain ? text : out.empty() ? "''" : out;
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

std::string jsonObject(const Record &record) {
  std::string out = "{";
  for (const Field &f : record) {
    if (!f.value.json)
      continue;
    if (out.size() > 1)
      out += ", ";
    out += std::string("\"") + f.key + "\": " + *f.value.json;
  }
  return out + "}";
}

void printLines(const Record &record) {
  size_t width = 0;
  for (const Field &f : record)
    if (f.label)
      width = std::max(width, std::strlen(f.label) + 2);
  for (const Field &f : record) {
    if (!f.label || !f.value.text)
      continue;
    if (*f.label)
      std::printf("%-*s%s\n", static_cast<int>(width), f.label, f.value.text->c_str());
    else
      std::printf("%s\n", f.value.text->c_str());
  }
}

namespace {

/// `text` in a column: padded to the width, after the gap.
void printCell(const std::string &text, const Column &column) {
  std::printf("%*s%*s", column.gap, "", column.width, text.c_str());
}

const Value *find(const Record &record, const char *key) {
  for (const Field &f : record)
    if (std::strcmp(f.key, key) == 0)
      return &f.value;
  return nullptr;
}

} // namespace

void printHeadings(std::span<const Column> columns) {
  for (const Column &c : columns)
    printCell(c.heading, c);
  std::printf("\n");
}

void printRow(const Record &record, std::span<const Column> columns) {
  for (const Column &c : columns) {
    const Value *v = find(record, c.key);
    printCell(v && v->text ? *v->text : "", c);
  }
  std::printf("\n");
}

void JSONList::add(const Record &record) {
  std::printf("%s\n %s", count_++ ? "," : "[", jsonObject(record).c_str());
}

void JSONList::finish() { std::printf("%s]\n", count_ ? "\n" : "["); }

Progress::Progress(const char *unit, uint64_t total)
    : unit_(unit), total_(total), enabled_(::isatty(STDERR_FILENO) == 1),
      sharesScreen_(::isatty(STDOUT_FILENO) == 1),
      start_(std::chrono::steady_clock::now()), last_(start_) {
  // Tests ask for every update to be drawn.
  if (const char *ms = std::getenv("QMFILES_PROGRESS_INTERVAL_MS"))
    interval_ = std::chrono::milliseconds(std::atoi(ms));
}

Progress::~Progress() {
  done_ = true;
  if (watcher_.joinable())
    watcher_.join();
  hide();
}

void Progress::update(uint64_t done) {
  if (!enabled_)
    return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_ < interval_)
    return;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  if (total_)
    std::fprintf(stderr, "\r\033[K%llu of %llu %s, %.0f %s/s",
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
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

void Progress::watch(std::function<bool(uint64_t &done)> sample) {
  if (!enabled_ || watcher_.joinable())
    return;
  watcher_ = std::thread([this, sample = std::move(sample)] {
    while (!done_.load()) {
      uint64_t done = 0;
      if (sample(done))
        update(done);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
}

} // namespace qmfiles
