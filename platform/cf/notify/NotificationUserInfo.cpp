// Converts notification user information between CF objects and D-Bus
// values.  Writing is strict (a value with no wire form abandons the post, so
// a listener never gets half of what was sent); reading is lenient, since a
// post from another program may use any D-Bus type: the integer and string
// types all map, and values with no CF form (structures, file descriptors)
// are left out.
#include "platform/cf/notify/NotificationUserInfo.h"

#include <CoreFoundation/CoreFoundation.h>

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmate::notify {

bool wireText(CFStringRef s, std::string& text) {
  CFIndex length = CFStringGetLength(s);
  for (CFIndex i = 0; i < length; ++i)
    if (CFStringGetCharacterAtIndex(s, i) == 0) return false;
  text.assign(std::size_t(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8)) + 1,
              '\0');
  if (!CFStringGetCString(s, text.data(), CFIndex(text.size()), kCFStringEncodingUTF8))
    return false;
  text.resize(std::char_traits<char>::length(text.c_str()));
  return true;
}

namespace {

// Deeper user information is refused (and a dictionary that holds itself
// ends here instead of recursing for ever).  D-Bus allows 32 nested arrays;
// each level here takes one, plus a variant.
constexpr int kMaximumDepth = 16;

int appendEntries(sd_bus_message* m, CFDictionaryRef dictionary, int depth);

int appendVariant(sd_bus_message* m, CFTypeRef value, int depth) {
  if (!value || depth > kMaximumDepth) return -EINVAL;
  CFTypeID type = CFGetTypeID(value);
  int r;
  if (type == CFStringGetTypeID()) {
    std::string text;
    if (!wireText(static_cast<CFStringRef>(value), text)) return -EINVAL;
    return sd_bus_message_append(m, "v", "s", text.c_str());
  }
  if (type == CFBooleanGetTypeID())
    return sd_bus_message_append(m, "v", "b", int(CFBooleanGetValue(static_cast<CFBooleanRef>(value))));
  if (type == CFNumberGetTypeID()) {
    CFNumberRef n = static_cast<CFNumberRef>(value);
    if (CFNumberIsFloatType(n)) {
      double d = 0;
      CFNumberGetValue(n, kCFNumberFloat64Type, &d);
      return sd_bus_message_append(m, "v", "d", d);
    }
    SInt64 i = 0;
    if (!CFNumberGetValue(n, kCFNumberSInt64Type, &i)) return -EINVAL;
    return sd_bus_message_append(m, "v", "x", std::int64_t(i));
  }
  if (type == CFDataGetTypeID()) {
    CFDataRef data = static_cast<CFDataRef>(value);
    if ((r = sd_bus_message_open_container(m, 'v', "ay")) < 0) return r;
    if ((r = sd_bus_message_append_array(m, 'y', CFDataGetBytePtr(data),
                                         std::size_t(CFDataGetLength(data)))) < 0)
      return r;
    return sd_bus_message_close_container(m);
  }
  if (type == CFArrayGetTypeID()) {
    CFArrayRef array = static_cast<CFArrayRef>(value);
    if ((r = sd_bus_message_open_container(m, 'v', "av")) < 0) return r;
    if ((r = sd_bus_message_open_container(m, 'a', "v")) < 0) return r;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
      if ((r = appendVariant(m, CFArrayGetValueAtIndex(array, i), depth + 1)) < 0) return r;
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
    return sd_bus_message_close_container(m);
  }
  if (type == CFDictionaryGetTypeID()) {
    if ((r = sd_bus_message_open_container(m, 'v', "a{sv}")) < 0) return r;
    if ((r = sd_bus_message_open_container(m, 'a', "{sv}")) < 0) return r;
    if ((r = appendEntries(m, static_cast<CFDictionaryRef>(value), depth + 1)) < 0) return r;
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
    return sd_bus_message_close_container(m);
  }
  return -EINVAL;  // dates, and anything else without a wire form
}

int appendEntries(sd_bus_message* m, CFDictionaryRef dictionary, int depth) {
  CFIndex count = CFDictionaryGetCount(dictionary);
  std::vector<const void*> keys(static_cast<std::size_t>(count)), values(keys.size());
  CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
  for (CFIndex i = 0; i < count; ++i) {
    CFTypeRef key = keys[std::size_t(i)];
    if (!key || CFGetTypeID(key) != CFStringGetTypeID()) return -EINVAL;
    std::string text;
    if (!wireText(static_cast<CFStringRef>(key), text)) return -EINVAL;
    int r;
    if ((r = sd_bus_message_open_container(m, 'e', "sv")) < 0) return r;
    if ((r = sd_bus_message_append_basic(m, 's', text.c_str())) < 0) return r;
    if ((r = appendVariant(m, values[std::size_t(i)], depth)) < 0) return r;
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
  }
  return 0;
}

// Owns one reference; releases it unless taken.
struct Owned {
  CFTypeRef ref = nullptr;
  explicit Owned(CFTypeRef r = nullptr) : ref(r) {}
  ~Owned() {
    if (ref) CFRelease(ref);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

CFTypeRef readValue(sd_bus_message* m, int depth);

CFNumberRef makeInteger(SInt64 value) {
  return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
}

// Reads the a{..} container's entries (already entered) into a dictionary.
CFMutableDictionaryRef readDictionary(sd_bus_message* m, const char* entrySignature, int depth) {
  CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  if (!dictionary) return nullptr;
  while (sd_bus_message_enter_container(m, 'e', entrySignature) > 0) {
    Owned key(readValue(m, depth + 1));
    Owned value(readValue(m, depth + 1));
    if (key.ref && value.ref && CFGetTypeID(key.ref) == CFStringGetTypeID())
      CFDictionarySetValue(dictionary, key.ref, value.ref);
    if (sd_bus_message_exit_container(m) < 0) break;
  }
  return dictionary;
}

// Reads the next complete value; null (with the value consumed) when it has
// no CF form.
CFTypeRef readValue(sd_bus_message* m, int depth) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0) return nullptr;
  std::string inner = contents ? contents : "";
  if (depth > kMaximumDepth && (type == 'a' || type == 'v' || type == 'r')) {
    std::string whole = type == 'a' ? "a" + inner : type == 'v' ? "v" : "(" + inner + ")";
    sd_bus_message_skip(m, whole.c_str());
    return nullptr;
  }
  switch (type) {
    case 's':
    case 'o':
    case 'g': {
      const char* s = nullptr;
      if (sd_bus_message_read_basic(m, type, &s) < 0 || !s) return nullptr;
      return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
    }
    case 'b': {
      int b = 0;
      if (sd_bus_message_read_basic(m, type, &b) < 0) return nullptr;
      return b ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case 'y': {
      std::uint8_t v = 0;
      return sd_bus_message_read_basic(m, type, &v) < 0 ? nullptr : makeInteger(v);
    }
    case 'n': {
      std::int16_t v = 0;
      return sd_bus_message_read_basic(m, type, &v) < 0 ? nullptr : makeInteger(v);
    }
    case 'q': {
      std::uint16_t v = 0;
      return sd_bus_message_read_basic(m, type, &v) < 0 ? nullptr : makeInteger(v);
    }
    case 'i': {
      std::int32_t v = 0;
      return sd_bus_message_read_basic(m, type, &v) < 0 ? nullptr : makeInteger(v);
    }
    case 'u': {
      std::uint32_t v = 0;
      return sd_bus_message_read_basic(m, type, &v) < 0 ? nullptr : makeInteger(v);
    }
    case 'x': {
      std::int64_t v = 0;
      return sd_bus_message_read_basic(m, type, &v) < 0 ? nullptr : makeInteger(v);
    }
    case 't': {
      std::uint64_t v = 0;
      if (sd_bus_message_read_basic(m, type, &v) < 0 || v > std::uint64_t(INT64_MAX))
        return nullptr;
      return makeInteger(SInt64(v));
    }
    case 'd': {
      double v = 0;
      if (sd_bus_message_read_basic(m, type, &v) < 0) return nullptr;
      return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
    }
    case 'v': {
      if (sd_bus_message_enter_container(m, 'v', contents) < 0) return nullptr;
      CFTypeRef value = readValue(m, depth + 1);
      sd_bus_message_exit_container(m);
      return value;
    }
    case 'a': {
      if (inner == "y") {
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &bytes, &size) < 0) return nullptr;
        return CFDataCreate(nullptr, static_cast<const UInt8*>(bytes), CFIndex(size));
      }
      if (sd_bus_message_enter_container(m, 'a', contents) < 0) return nullptr;
      CFTypeRef result;
      if (!inner.empty() && inner.front() == '{') {
        std::string entry = inner.substr(1, inner.size() - 2);
        result = readDictionary(m, entry.c_str(), depth);
      } else {
        CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        while (array && sd_bus_message_at_end(m, false) == 0) {
          Owned value(readValue(m, depth + 1));
          if (value.ref) CFArrayAppendValue(array, value.ref);
        }
        result = array;
      }
      sd_bus_message_exit_container(m);
      return result;
    }
    case 'r': {  // sd-bus reports a structure as 'r'
      // A structure has no CF form; read through it so the entry ends cleanly.
      if (sd_bus_message_enter_container(m, 'r', contents) < 0) return nullptr;
      while (sd_bus_message_at_end(m, false) == 0) Owned ignored(readValue(m, depth + 1));
      sd_bus_message_exit_container(m);
      return nullptr;
    }
    default: {
      // The other basic types (a file descriptor) have no CF form either.
      union {
        std::uint64_t number;
        const char* text;
      } ignored{};
      sd_bus_message_read_basic(m, type, &ignored);
      return nullptr;
    }
  }
}

}  // namespace

int writeUserInfo(const void* context, sd_bus_message* message) {
  if (!context) return 0;
  auto dictionary = static_cast<CFDictionaryRef>(context);
  if (CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return -EINVAL;
  return appendEntries(message, dictionary, 0);
}

CFDictionaryRef readUserInfo(sd_bus_message* message) {
  if (!message) return nullptr;
  CFMutableDictionaryRef dictionary = readDictionary(message, "sv", 0);
  if (dictionary && CFDictionaryGetCount(dictionary) == 0) {
    CFRelease(dictionary);
    return nullptr;
  }
  return dictionary;
}

}  // namespace quillmate::notify
