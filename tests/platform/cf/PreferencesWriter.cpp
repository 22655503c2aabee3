// A separate process that writes a preference domain, for the tests that need
// real concurrency, real kills and another user.
//   prefs_writer keys <domain> <prefix> <count>   one synchronise per key
//   prefs_writer loop <domain> <key> <start>      counts up forever
//   prefs_writer bool <domain> <key> yes|no       one set and synchronise
// The folder comes from QUILLMATE_PREFERENCES_DIR.  Exit status 0 when every
// synchronise succeeded.
#include <CoreFoundation/CoreFoundation.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

CFStringRef str(const std::string &s) {
  return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8);
}

bool setNumber(CFStringRef domain, const std::string &key, SInt64 value) {
  CFStringRef k = str(key);
  CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
  CFPreferencesSetAppValue(k, n, domain);
  bool ok = CFPreferencesAppSynchronize(domain);
  CFRelease(n);
  CFRelease(k);
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 5) return 2;
  CFStringRef domain = str(argv[2]);
  std::string mode = argv[1], key = argv[3];
  bool ok = true;
  if (mode == "keys") {
    int count = std::atoi(argv[4]);
    for (int i = 0; i < count; ++i) ok = setNumber(domain, key + std::to_string(i), i) && ok;
  } else if (mode == "loop") {
    for (SInt64 v = std::atoll(argv[4]);; ++v) ok = setNumber(domain, key, v) && ok;
  } else if (mode == "bool") {
    CFStringRef k = str(key);
    CFPreferencesSetAppValue(k, std::strcmp(argv[4], "yes") == 0 ? kCFBooleanTrue : kCFBooleanFalse,
                             domain);
    ok = CFPreferencesAppSynchronize(domain);
    CFRelease(k);
  } else {
    ok = false;
  }
  CFRelease(domain);
  return ok ? 0 : 1;
}
