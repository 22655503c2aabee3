// qmprefs: reads and writes preference domains from the command line, and
// watches distributed notifications.
//
//   qmprefs read <domain> [<key>]
//   qmprefs write <domain> <key> (-bool yes|no | -int N | -float X | -string S | S)
//   qmprefs delete <domain> [<key>]
//   qmprefs keys <domain>
//   qmprefs watch <name> [<object>]
//
// Exit status: 0 on success, 1 when the domain, key or write failed or the
// output could not be written, 2 for a command line that cannot be
// understood.  Messages go to standard error.
#include "platform/cf/PreferencesStatus.h"
#include "tools/common/StandardOutput.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

const char kUsage[] =
    "usage: qmprefs read <domain> [<key>]\n"
    "       qmprefs write <domain> <key> (-bool yes|no | -int N | -float X | -string S | S)\n"
    "       qmprefs delete <domain> [<key>]\n"
    "       qmprefs keys <domain>\n"
    "       qmprefs watch <name> [<object>]\n";

enum { kOK = 0, kFailed = 1, kUsageError = 2 };

// Owns one CF reference.
class Ref {
public:
  explicit Ref(CFTypeRef cf = nullptr) : cf_(cf) {}
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { CFRelease(cf_); }
  CFTypeRef get() const { return cf_; }
  explicit operator bool() const { return cf_ != nullptr; }

private:
  CFTypeRef cf_;
};

int fail(const std::string &message, int status = kFailed) {
  std::fprintf(stderr, "qmprefs: %s\n", message.c_str());
  return status;
}

int usage(const std::string &message) {
  std::fprintf(stderr, "qmprefs: %s\n%s", message.c_str(), kUsage);
  return kUsageError;
}

CFStringRef makeString(const char *utf8) {
  return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

std::string utf8(CFStringRef s) {
  std::vector<char> buffer(static_cast<size_t>(CFStringGetMaximumSizeForEncoding(
                               CFStringGetLength(s), kCFStringEncodingUTF8)) + 1);
  if (!CFStringGetCString(s, buffer.data(), static_cast<CFIndex>(buffer.size()),
                          kCFStringEncodingUTF8)) {
    return "?";
  }
  return buffer.data();
}

// Scalars print plainly (booleans as 1 and 0); containers, dates, data and
// integers above INT64_MAX print as a property list, which says exactly what
// is stored.
bool printValue(CFPropertyListRef value) {
  CFTypeID type = CFGetTypeID(value);
  if (type == CFStringGetTypeID()) {
    std::printf("%s\n", utf8(static_cast<CFStringRef>(value)).c_str());
    return true;
  }
  if (type == CFBooleanGetTypeID()) {
    std::printf("%d\n", CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? 1 : 0);
    return true;
  }
  if (type == CFNumberGetTypeID()) {
    auto number = static_cast<CFNumberRef>(value);
    SInt64 v = 0;
    double d = 0;
    if (CFNumberIsFloatType(number)) {
      CFNumberGetValue(number, kCFNumberFloat64Type, &d);
      std::printf("%.17g\n", d);
      return true;
    }
    if (CFNumberGetValue(number, kCFNumberSInt64Type, &v)) {
      std::printf("%lld\n", static_cast<long long>(v));
      return true;
    }
  }
  Ref data(CFPropertyListCreateData(nullptr, value, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return false;
  auto bytes = static_cast<CFDataRef>(data.get());
  std::fwrite(CFDataGetBytePtr(bytes), 1, static_cast<size_t>(CFDataGetLength(bytes)), stdout);
  return true;
}

quillmate_cf::DomainFileStatus statusOf(CFStringRef domain) {
  quillmate_cf::DomainFileStatus status;
  quillmate_cf::copyDomainFileStatus(domain, &status);
  return status;
}

// Fails with `message`, or with why the domain reads as empty although its
// file exists (unparsable, not a regular file, too large, unreadable).
int notFound(CFStringRef domain, const std::string &message) {
  quillmate_cf::DomainFileStatus status = statusOf(domain);
  return fail(status.problem.empty() ? message : status.problem);
}

// Synchronises the domain's pending changes, saying what went wrong, and
// what was kept aside on the way.
int synchronise(CFStringRef domain) {
  bool ok = CFPreferencesAppSynchronize(domain);
  quillmate_cf::DomainFileStatus status = statusOf(domain);
  if (!ok) {
    std::string message = "could not write the domain";
    if (!status.failure.empty()) message += ": " + status.failure;
    return fail(message);
  }
  if (!status.keptAside.empty()) {
    fail(status.path + " could not be parsed; it was kept aside as " + status.keptAside);
  }
  return kOK;
}

CFArrayRef copyKeys(CFStringRef domain) {
  return CFPreferencesCopyKeyList(domain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
}

int readCommand(CFStringRef domain, const char *domainName, const char *key) {
  if (!key) {
    Ref all(CFPreferencesCopyMultiple(nullptr, domain, kCFPreferencesCurrentUser,
                                      kCFPreferencesAnyHost));
    if (!all || CFDictionaryGetCount(static_cast<CFDictionaryRef>(all.get())) == 0) {
      return notFound(domain, std::string("domain ") + domainName + " does not exist");
    }
    return printValue(all.get()) ? kOK : fail("the domain cannot be shown");
  }
  Ref k(makeString(key));
  Ref value(k ? CFPreferencesCopyAppValue(static_cast<CFStringRef>(k.get()), domain) : nullptr);
  if (!value) return notFound(domain, std::string("key ") + key + " does not exist in " + domainName);
  return printValue(value.get()) ? kOK : fail("the value cannot be shown");
}

// "-word": what a type flag looks like.
bool looksLikeType(const char *text) {
  if (text[0] != '-' || !text[1]) return false;
  for (const char *c = text + 1; *c; ++c) {
    if (!std::isalpha(static_cast<unsigned char>(*c))) return false;
  }
  return true;
}

// The value a write command gives, or null with a message.  A lone value
// that looks like a type is a type without its value, not text to store:
// "-bool" stored as text would read as on.
CFPropertyListRef parseValue(int argc, char **argv, std::string *message) {
  if (argc == 1) {
    const char *text = argv[0];
    if (!looksLikeType(text)) return makeString(text);
    for (const char *type : {"-string", "-bool", "-boolean", "-int", "-integer", "-float"}) {
      if (std::strcmp(text, type) == 0) {
        *message = std::string(type) + " needs a value";
        return nullptr;
      }
    }
    *message = std::string("unknown type ") + text + " (to store it as text: -string " + text + ")";
    return nullptr;
  }
  if (argc != 2) {
    *message = "a write takes one value";
    return nullptr;
  }
  const char *type = argv[0], *text = argv[1];
  if (std::strcmp(type, "-string") == 0) return makeString(text);
  if (std::strcmp(type, "-bool") == 0 || std::strcmp(type, "-boolean") == 0) {
    for (const char *yes : {"yes", "true", "1"}) {
      if (strcasecmp(text, yes) == 0) return kCFBooleanTrue;
    }
    for (const char *no : {"no", "false", "0"}) {
      if (strcasecmp(text, no) == 0) return kCFBooleanFalse;
    }
    *message = std::string("not a boolean: ") + text + " (yes or no)";
    return nullptr;
  }
  char *end = nullptr;
  errno = 0;
  if (std::strcmp(type, "-int") == 0 || std::strcmp(type, "-integer") == 0) {
    long long v = std::strtoll(text, &end, 10);
    if (!*text || *end || errno == ERANGE) {
      *message = std::string("not a 64-bit integer: ") + text;
      return nullptr;
    }
    SInt64 value = v;
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
  }
  if (std::strcmp(type, "-float") == 0) {
    double v = std::strtod(text, &end);
    if (!*text || *end || !std::isfinite(v)) {
      *message = std::string("not a finite number: ") + text;
      return nullptr;
    }
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
  }
  *message = std::string("unknown type ") + type;
  return nullptr;
}

int writeCommand(CFStringRef domain, const char *key, int argc, char **argv) {
  std::string message;
  Ref value(parseValue(argc, argv, &message));
  if (!value) return usage(message.empty() ? "the text is not valid UTF-8" : message);
  Ref k(makeString(key));
  if (!k) return usage("the key is not valid UTF-8");
  CFPreferencesSetAppValue(static_cast<CFStringRef>(k.get()), value.get(), domain);
  return synchronise(domain);
}

int deleteCommand(CFStringRef domain, const char *domainName, const char *key) {
  Ref keys(copyKeys(domain));
  if (!keys) return notFound(domain, std::string("domain ") + domainName + " does not exist");
  auto list = static_cast<CFArrayRef>(keys.get());
  if (key) {
    Ref k(makeString(key));
    if (!k || !CFArrayContainsValue(list, CFRangeMake(0, CFArrayGetCount(list)), k.get())) {
      return fail(std::string("key ") + key + " does not exist in " + domainName);
    }
    CFPreferencesSetAppValue(static_cast<CFStringRef>(k.get()), nullptr, domain);
  } else {
    for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
      CFPreferencesSetAppValue(static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, i)), nullptr,
                               domain);
    }
  }
  return synchronise(domain);
}

int keysCommand(CFStringRef domain, const char *domainName) {
  Ref keys(copyKeys(domain));
  if (!keys) return notFound(domain, std::string("domain ") + domainName + " does not exist");
  auto list = static_cast<CFArrayRef>(keys.get());
  for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
    std::printf("%s\n", utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, i))).c_str());
  }
  return kOK;
}

void printNotification(CFNotificationCenterRef, void *, CFNotificationName name,
                       const void *object, CFDictionaryRef) {
  std::printf("%s\t%s\n", utf8(name).c_str(),
              object ? utf8(static_cast<CFStringRef>(object)).c_str() : "");
  // A watcher whose output is lost has nothing left to do.
  if (!quillmate::tools::flushStandardOutput("qmprefs"))
    std::exit(kFailed);
}

int watchCommand(const char *name, const char *object) {
  Ref n(makeString(name));
  Ref o(object ? makeString(object) : nullptr);
  if (!n || (object && !o)) return usage("the name is not valid UTF-8");
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  static int observer;
  CFNotificationCenterAddObserver(center, &observer, printNotification,
                                  static_cast<CFStringRef>(n.get()), o.get(),
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  // Runs until interrupted; the first line tells a caller that it listens.
  std::fprintf(stderr, "qmprefs: watching \"%s\"\n", name);
  for (;;) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 3600, false);
}

int run(int argc, char **argv) {
  if (argc < 2) return usage("no command");
  std::string command = argv[1];
  if (command == "help" || command == "-h" || command == "--help") {
    std::fputs(kUsage, stdout);
    return kOK;
  }
  if (command == "watch") {
    if (argc != 3 && argc != 4) return usage("watch takes a name and an optional object");
    return watchCommand(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (argc < 3) return usage(command + " needs a domain");
  Ref domainRef(makeString(argv[2]));
  auto domain = static_cast<CFStringRef>(domainRef.get());
  if (!domain) return usage("the domain is not valid UTF-8");
  if (command == "read" && argc <= 4) return readCommand(domain, argv[2], argc == 4 ? argv[3] : nullptr);
  if (command == "write" && argc >= 5) return writeCommand(domain, argv[3], argc - 4, argv + 4);
  if (command == "delete" && argc <= 4) {
    return deleteCommand(domain, argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (command == "keys" && argc == 3) return keysCommand(domain, argv[2]);
  return usage("cannot understand the command line");
}

} // namespace

int main(int argc, char **argv) {
  quillmate::tools::holdStandardDescriptors();
  return quillmate::tools::finishStandardOutput("qmprefs", run(argc, argv));
}
