// XML property lists: reading through libxml2's tree parser, writing by hand
// (the format is small and its layout is ours to keep stable).
//
// Dates are parsed and formatted here rather than by a plist library, so that
// a date of any year from 0001 to 9999 keeps its value to the second.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/ErrorInternal.h"
#include "platform/cf/NumberInternal.h"
#include "platform/cf/PropertyListInternal.h"
#include "platform/cf/StringInternal.h"

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFPropertyList.h>

#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmate_cf {
namespace {

constexpr int kMaxDepth = 512;

// --- dates -----------------------------------------------------------------

// Days from 1970-01-01 to a civil date, and back, for any year.
SInt64 daysFromCivil(SInt64 y, unsigned m, unsigned d) {
  y -= m <= 2;
  const SInt64 era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<SInt64>(doe) - 719468;
}

void civilFromDays(SInt64 z, SInt64 &y, unsigned &m, unsigned &d) {
  z += 719468;
  const SInt64 era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<SInt64>(yoe) + era * 400 + (m <= 2);
}

constexpr double kSecondsFrom1970To2001 = kCFAbsoluteTimeIntervalSince1970;

unsigned daysInMonth(SInt64 y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

// "YYYY-MM-DDTHH:MM:SSZ"; as other readers do, the later fields may be left
// out ("2001-01-01Z", "2001Z").
bool parseDate(std::string_view text, double *at) {
  auto digits = [&](size_t pos, size_t n, unsigned *out) {
    if (pos + n > text.size()) return false;
    unsigned v = 0;
    for (size_t i = pos; i < pos + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *out = v;
    return true;
  };
  unsigned fields[6] = {0, 1, 1, 0, 0, 0};
  static const char separators[] = {'-', '-', 'T', ':', ':'};
  size_t pos = 0;
  if (!digits(0, 4, &fields[0])) return false;
  pos = 4;
  for (int f = 1; f < 6 && pos < text.size() && text[pos] == separators[f - 1]; ++f) {
    if (!digits(pos + 1, 2, &fields[f])) return false;
    pos += 3;
  }
  if (pos + 1 != text.size() || text[pos] != 'Z') return false;
  unsigned y = fields[0], mo = fields[1], d = fields[2], h = fields[3], mi = fields[4],
           s = fields[5];
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 ||
      s > 59) {
    return false;
  }
  SInt64 seconds = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  *at = static_cast<double>(seconds) - kSecondsFrom1970To2001;
  return true;
}

bool formatDate(double at, std::string *out) {
  if (!std::isfinite(at)) return false;
  double seconds = std::floor(at + kSecondsFrom1970To2001);
  // Years 0001 to 9999 lie well inside this range.
  if (seconds < -62135596800.0 || seconds > 253402300799.0) return false;
  auto total = static_cast<SInt64>(seconds);
  SInt64 days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
  SInt64 rest = total - days * 86400;
  SInt64 y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  char buffer[80];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                static_cast<long long>(y), m, d, static_cast<unsigned>(rest / 3600),
                static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60));
  *out += buffer;
  return true;
}

// --- base64 ----------------------------------------------------------------

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encodeBase64(const UInt8 *p, size_t n, std::string *out) {
  size_t i = 0;
  for (; i + 2 < n; i += 3) {
    UInt32 v = (UInt32{p[i]} << 16) | (UInt32{p[i + 1]} << 8) | p[i + 2];
    for (int s = 18; s >= 0; s -= 6) out->push_back(kBase64[(v >> s) & 63]);
  }
  if (i + 1 == n) {
    UInt32 v = UInt32{p[i]} << 16;
    out->push_back(kBase64[(v >> 18) & 63]);
    out->push_back(kBase64[(v >> 12) & 63]);
    *out += "==";
  } else if (i + 2 == n) {
    UInt32 v = (UInt32{p[i]} << 16) | (UInt32{p[i + 1]} << 8);
    out->push_back(kBase64[(v >> 18) & 63]);
    out->push_back(kBase64[(v >> 12) & 63]);
    out->push_back(kBase64[(v >> 6) & 63]);
    out->push_back('=');
  }
}

// White space may appear anywhere; padding may be left out; anything else
// that is not base64 makes the data unreadable.
bool decodeBase64(std::string_view text, std::vector<UInt8> *out) {
  UInt32 acc = 0;
  int bits = 0;
  bool padded = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    const char *at = c ? std::strchr(kBase64, c) : nullptr;
    if (!at || padded) return false;
    acc = (acc << 6) | static_cast<UInt32>(at - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<UInt8>(acc >> bits));
    }
  }
  return bits < 6; // a lone trailing sextet carries no byte
}

// --- reading ---------------------------------------------------------------

struct Reader {
  bool mutableContainers;
  std::string message;

  CFPropertyListRef fail(const xmlNode *node, const std::string &what) {
    if (message.empty()) {
      message = what;
      if (node) message += " (line " + std::to_string(xmlGetLineNo(node)) + ")";
    }
    return nullptr;
  }

  static std::string_view name(const xmlNode *node) {
    return reinterpret_cast<const char *>(node->name);
  }

  static bool isBlank(const xmlChar *text) {
    for (; text && *text; ++text) {
      if (!std::strchr(" \t\r\n", *text)) return false;
    }
    return true;
  }

  // The text of a leaf element; false when it holds elements or entities.
  bool textOf(const xmlNode *node, std::string *out) {
    for (const xmlNode *child = node->children; child; child = child->next) {
      if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
        if (child->content) *out += reinterpret_cast<const char *>(child->content);
      } else if (child->type != XML_COMMENT_NODE && child->type != XML_PI_NODE) {
        std::string what = "<";
        what += name(node);
        what += "> holds more than text";
        fail(node, what);
        return false;
      }
    }
    return true;
  }

  // The element children of a container; false for stray text or entities.
  bool elementsOf(const xmlNode *node, std::vector<const xmlNode *> *out) {
    for (const xmlNode *child = node->children; child; child = child->next) {
      if (child->type == XML_ELEMENT_NODE) {
        out->push_back(child);
      } else if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
                 isBlank(child->content)) {
        continue;
      } else if (child->type != XML_COMMENT_NODE && child->type != XML_PI_NODE) {
        fail(child, "unexpected content in <" + std::string(name(node)) + ">");
        return false;
      }
    }
    return true;
  }

  static std::string_view trimmed(std::string_view s) {
    while (!s.empty() && std::strchr(" \t\r\n", s.front())) s.remove_prefix(1);
    while (!s.empty() && std::strchr(" \t\r\n", s.back())) s.remove_suffix(1);
    return s;
  }

  CFPropertyListRef integer(const xmlNode *node, std::string_view text) {
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
      negative = text[0] == '-';
      text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      base = 16;
      text.remove_prefix(2);
    }
    UInt64 magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
      return fail(node, "<integer> does not hold an integer in range");
    }
    if (negative) {
      if (magnitude > UInt64{1} << 63) return fail(node, "<integer> below the 64-bit range");
      SInt64 v = magnitude == UInt64{1} << 63 ? INT64_MIN : -static_cast<SInt64>(magnitude);
      return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
    }
    return createNumberFromUnsigned(magnitude);
  }

  CFPropertyListRef real(const xmlNode *node, std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || end != text.data() + text.size() ||
        (ec != std::errc() && ec != std::errc::result_out_of_range)) {
      return fail(node, "<real> does not hold a number");
    }
    if (ec == std::errc::result_out_of_range) {
      // Keep what the text means: overflow to infinity, underflow to zero.
      v = std::strtod(std::string(text).c_str(), nullptr);
    }
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
  }

  CFPropertyListRef dictionary(const xmlNode *node, int depth) {
    std::vector<const xmlNode *> children;
    if (!elementsOf(node, &children)) return nullptr;
    if (children.size() % 2) return fail(node, "<dict> has a key without a value");
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (size_t i = 0; i < children.size(); i += 2) {
      if (name(children[i]) != "key") {
        CFRelease(dict);
        return fail(children[i], "<dict> expects a <key>");
      }
      std::string keyText;
      if (!textOf(children[i], &keyText)) {
        CFRelease(dict);
        return nullptr;
      }
      CFStringRef key = createStringFromUTF8(keyText);
      CFPropertyListRef value = key ? element(children[i + 1], depth + 1) : nullptr;
      if (!value) {
        CFRelease(key);
        CFRelease(dict);
        return key ? nullptr : fail(children[i], "<key> is not valid UTF-8");
      }
      CFDictionarySetValue(dict, key, value); // a repeated key keeps its last value
      CFRelease(key);
      CFRelease(value);
    }
    if (mutableContainers) return dict;
    CFDictionaryRef frozen = CFDictionaryCreateCopy(nullptr, dict);
    CFRelease(dict);
    return frozen;
  }

  CFPropertyListRef array(const xmlNode *node, int depth) {
    std::vector<const xmlNode *> children;
    if (!elementsOf(node, &children)) return nullptr;
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (const xmlNode *child : children) {
      CFPropertyListRef value = element(child, depth + 1);
      if (!value) {
        CFRelease(array);
        return nullptr;
      }
      CFArrayAppendValue(array, value);
      CFRelease(value);
    }
    if (mutableContainers) return array;
    CFArrayRef frozen = CFArrayCreateCopy(nullptr, array);
    CFRelease(array);
    return frozen;
  }

  CFPropertyListRef element(const xmlNode *node, int depth) {
    if (depth > kMaxDepth) return fail(node, "nested too deeply");
    std::string_view tag = name(node);
    if (tag == "dict") return dictionary(node, depth);
    if (tag == "array") return array(node, depth);
    if (tag == "true" || tag == "false") {
      std::vector<const xmlNode *> children;
      if (!elementsOf(node, &children)) return nullptr;
      if (!children.empty()) return fail(node, "<" + std::string(tag) + "/> holds elements");
      return tag == "true" ? kCFBooleanTrue : kCFBooleanFalse;
    }
    std::string text;
    if (!textOf(node, &text)) return nullptr;
    if (tag == "string") {
      CFStringRef s = createStringFromUTF8(text);
      return s ? s : fail(node, "<string> is not valid UTF-8");
    }
    if (tag == "integer") return integer(node, text);
    if (tag == "real") return real(node, text);
    if (tag == "date") {
      double at;
      if (!parseDate(trimmed(text), &at)) return fail(node, "<date> is not a valid date");
      return CFDateCreate(nullptr, at);
    }
    if (tag == "data") {
      std::vector<UInt8> bytes;
      if (!decodeBase64(text, &bytes)) return fail(node, "<data> is not base64");
      return CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()));
    }
    return fail(node, "unknown element <" + std::string(tag) + ">");
  }
};

void initialiseLibxml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// libxml2 reports some troubles (input that does not decode in its declared
// or detected encoding) through its generic handler, which prints to
// standard error whatever the parser's options say.  The reader tells what
// is wrong in its own message, so this thread's handler says nothing while it
// parses, and is given back afterwards.
class QuietGenericErrors {
public:
  QuietGenericErrors() : handler_(xmlGenericError), context_(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, ignore);
  }
  ~QuietGenericErrors() { xmlSetGenericErrorFunc(context_, handler_); }
  QuietGenericErrors(const QuietGenericErrors &) = delete;
  QuietGenericErrors &operator=(const QuietGenericErrors &) = delete;

private:
  static void ignore(void *, const char *, ...) {}
  xmlGenericErrorFunc handler_;
  void *context_;
};

// --- writing ---------------------------------------------------------------

bool isXmlChar(UInt32 c) {
  return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff) ||
         (c >= 0xe000 && c <= 0xfffd) || (c >= 0x10000 && c <= 0x10ffff);
}

struct Writer {
  std::string out;
  std::string message;

  bool fail(const std::string &what) {
    if (message.empty()) message = what;
    return false;
  }

  void indent(int depth) { out.append(static_cast<size_t>(depth), '\t'); }

  bool text(CFStringRef s) {
    std::basic_string_view<UniChar> units = unitsOf(s);
    for (size_t i = 0; i < units.size(); ++i) {
      UInt32 c = units[i];
      if (c >= 0xd800 && c <= 0xdbff && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
          units[i + 1] <= 0xdfff) {
        c = 0x10000 + ((c - 0xd800) << 10) + (units[++i] - 0xdc00);
      } else if (c >= 0xd800 && c <= 0xdfff) {
        return fail("a string holds an unpaired surrogate");
      }
      if (!isXmlChar(c)) return fail("a string holds a character XML cannot carry");
      switch (c) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '\r': out += "&#13;"; continue; // a raw CR would read back as LF
      default: break;
      }
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
      } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
      } else {
        out.push_back(static_cast<char>(0xf0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
      }
    }
    return true;
  }

  bool number(CFNumberRef n) {
    char buffer[64];
    if (std::optional<UInt64> big = bigUnsignedValue(n)) {
      auto r = std::to_chars(buffer, buffer + sizeof buffer, *big);
      out += "<integer>" + std::string(buffer, r.ptr) + "</integer>";
      return true;
    }
    if (!CFNumberIsFloatType(n)) {
      SInt64 v = 0;
      CFNumberGetValue(n, kCFNumberSInt64Type, &v);
      auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
      out += "<integer>" + std::string(buffer, r.ptr) + "</integer>";
      return true;
    }
    double d = 0;
    CFNumberGetValue(n, kCFNumberFloat64Type, &d);
    std::string textForm;
    if (std::isnan(d)) {
      textForm = "nan";
    } else if (std::isinf(d)) {
      textForm = d > 0 ? "+infinity" : "-infinity";
    } else {
      // The shortest text that reads back as the same double.
      auto r = std::to_chars(buffer, buffer + sizeof buffer, d);
      textForm.assign(buffer, r.ptr);
    }
    out += "<real>" + textForm + "</real>";
    return true;
  }

  bool value(CFTypeRef v, int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    CFTypeID type = CFGetTypeID(v);
    if (type == kStringTypeID) {
      out += "<string>";
      if (!text(static_cast<CFStringRef>(v))) return false;
      out += "</string>";
    } else if (type == kBooleanTypeID) {
      out += CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "<true/>" : "<false/>";
    } else if (type == kNumberTypeID) {
      return number(static_cast<CFNumberRef>(v));
    } else if (type == kDateTypeID) {
      out += "<date>";
      if (!formatDate(CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)), &out)) {
        return fail("a date lies outside the years 0001 to 9999");
      }
      out += "</date>";
    } else if (type == kDataTypeID) {
      CFDataRef data = static_cast<CFDataRef>(v);
      out += "<data>";
      encodeBase64(CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data)), &out);
      out += "</data>";
    } else if (type == kArrayTypeID) {
      CFArrayRef array = static_cast<CFArrayRef>(v);
      CFIndex count = CFArrayGetCount(array);
      if (count == 0) {
        out += "<array/>";
        return true;
      }
      out += "<array>\n";
      for (CFIndex i = 0; i < count; ++i) {
        indent(depth + 1);
        if (!value(CFArrayGetValueAtIndex(array, i), depth + 1)) return false;
        out += "\n";
      }
      indent(depth);
      out += "</array>";
    } else if (type == kDictionaryTypeID) {
      return dictionary(static_cast<CFDictionaryRef>(v), depth);
    } else {
      return fail(v ? "a value is not a property-list type" : "a value is null");
    }
    return true;
  }

  bool dictionary(CFDictionaryRef dict, int depth) {
    CFIndex count = CFDictionaryGetCount(dict);
    if (count == 0) {
      out += "<dict/>";
      return true;
    }
    std::vector<const void *> keys(static_cast<size_t>(count)), values(keys.size());
    CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
    std::vector<size_t> order(keys.size());
    for (size_t i = 0; i < order.size(); ++i) {
      if (CFGetTypeID(keys[i]) != kStringTypeID) return fail("a dictionary key is not a string");
      order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return unitsOf(static_cast<CFStringRef>(keys[a])) <
             unitsOf(static_cast<CFStringRef>(keys[b]));
    });
    out += "<dict>\n";
    for (size_t i : order) {
      indent(depth + 1);
      out += "<key>";
      if (!text(static_cast<CFStringRef>(keys[i]))) return false;
      out += "</key>\n";
      indent(depth + 1);
      if (!value(values[i], depth + 1)) return false;
      out += "\n";
    }
    indent(depth);
    out += "</dict>";
    return true;
  }
};

} // namespace

CFPropertyListRef readPropertyList(std::string_view xml, bool mutableContainers,
                                   std::string *message) {
  initialiseLibxml();
  std::string ignored;
  if (!message) message = &ignored;
  if (xml.size() > INT32_MAX) {
    *message = "too large";
    return nullptr;
  }
  std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> ctxt(xmlNewParserCtxt(),
                                                                   xmlFreeParserCtxt);
  if (!ctxt) {
    *message = "out of memory";
    return nullptr;
  }
  // No network, no external DTD or entities; CDATA read as text.
  const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA | XML_PARSE_NOERROR |
                      XML_PARSE_NOWARNING;
  QuietGenericErrors quiet;
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
      xmlCtxtReadMemory(ctxt.get(), xml.data(), static_cast<int>(xml.size()), "plist", nullptr,
                        options),
      xmlFreeDoc);
  if (!doc) {
    const xmlError *e = xmlCtxtGetLastError(ctxt.get());
    *message = "not well-formed XML";
    if (e && e->message) {
      std::string text = e->message;
      while (!text.empty() && text.back() == '\n') text.pop_back();
      *message += ": " + text + " (line " + std::to_string(e->line) + ")";
    }
    return nullptr;
  }
  Reader reader{mutableContainers, {}};
  const xmlNode *root = xmlDocGetRootElement(doc.get());
  if (!root) {
    *message = "no root element";
    return nullptr;
  }
  const xmlNode *top = root;
  if (Reader::name(root) == "plist") {
    if (xmlChar *version = xmlGetProp(root, reinterpret_cast<const xmlChar *>("version"))) {
      bool known = std::strcmp(reinterpret_cast<char *>(version), "1.0") == 0;
      xmlFree(version);
      if (!known) {
        *message = "unknown property-list version";
        return nullptr;
      }
    }
    std::vector<const xmlNode *> children;
    if (!reader.elementsOf(root, &children) || children.size() != 1) {
      *message = reader.message.empty() ? "<plist> must hold exactly one value" : reader.message;
      return nullptr;
    }
    top = children[0];
  }
  CFPropertyListRef result = reader.element(top, 1);
  if (!result) *message = reader.message;
  return result;
}

bool writePropertyList(CFPropertyListRef plist, std::string *xml, std::string *message) {
  Writer writer;
  writer.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  if (!writer.value(plist, 0)) {
    if (message) *message = writer.message;
    return false;
  }
  writer.out += "\n</plist>\n";
  *xml = std::move(writer.out);
  return true;
}

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data,
                                               CFOptionFlags options,
                                               CFPropertyListFormat *format, CFErrorRef *error) {
  if (error) *error = nullptr;
  if (!data) {
    setError(error, kCFErrorDomainOSStatus, kCFPropertyListReadCorruptError, "no data");
    return nullptr;
  }
  std::string_view bytes(reinterpret_cast<const char *>(CFDataGetBytePtr(data)),
                         static_cast<size_t>(CFDataGetLength(data)));
  std::string message;
  CFPropertyListRef plist = readPropertyList(bytes, options != kCFPropertyListImmutable, &message);
  if (!plist) {
    setError(error, kCFErrorDomainOSStatus, kCFPropertyListReadCorruptError, message);
    return nullptr;
  }
  if (format) *format = kCFPropertyListXMLFormat_v1_0;
  return plist;
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags,
                                   CFErrorRef *error) {
  if (error) *error = nullptr;
  if (format != kCFPropertyListXMLFormat_v1_0) {
    setError(error, kCFErrorDomainOSStatus, kCFPropertyListWriteStreamError,
             "only the XML format is written");
    return nullptr;
  }
  std::string xml, message;
  if (!writePropertyList(propertyList, &xml, &message)) {
    setError(error, kCFErrorDomainOSStatus, kCFPropertyListWriteStreamError, message);
    return nullptr;
  }
  return CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(xml.data()),
                      static_cast<CFIndex>(xml.size()));
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
  std::string xml;
  return format == kCFPropertyListXMLFormat_v1_0 && writePropertyList(plist, &xml, nullptr);
}

} // extern "C"
