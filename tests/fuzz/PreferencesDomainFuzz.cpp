// Arbitrary bytes as a preference domain's file, in a folder of the target's
// own under /dev/shm.  The domain reads as the dictionary the file holds, or,
// when the file holds none, as empty with the problem told; a key set and
// synchronised then reaches the file beside everything read (an unreadable
// file kept aside first), and the domain reads back the same from it.
#include "tests/fuzz/FuzzSupport.h"

#include "platform/cf/PreferencesStatus.h"
#include "platform/cf/PreferencesTesting.h"

#include <CoreFoundation/CoreFoundation.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

const CFStringRef kDomain = CFSTR("com.quillworks.fuzz");

struct Folder {
  std::string dir, file, aside;
};

const Folder &folder() {
  static const Folder f = [] {
    Folder made;
    made.dir = fuzz::scratchFolder("prefs");
    if (!made.dir.empty()) {
      made.file = made.dir + "/com.quillworks.fuzz.plist";
      made.aside = made.file + ".unreadable";
      ::setenv("QUILLMATE_PREFERENCES_DIR", made.dir.c_str(), 1);
    }
    return made;
  }();
  return f;
}

bool putFile(const std::string &path, const uint8_t *data, size_t size) {
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  bool ok = ::write(fd, data, size) == static_cast<ssize_t>(size);
  ::close(fd);
  return ok;
}

/// Everything the domain holds, as a fresh read from its file sees it.
CFDictionaryRef readDomain() {
  quillmate_cf::forgetPreferencesForTesting();
  return CFPreferencesCopyMultiple(nullptr, kDomain, kCFPreferencesCurrentUser,
                                   kCFPreferencesAnyHost);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Folder &f = folder();
  if (f.dir.empty() || !putFile(f.file, data, size))
    return 0;
  ::unlink(f.aside.c_str());

  // What the file holds, read as a property list on its own.
  CFDataRef bytes = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
  CFPropertyListRef plist =
      CFPropertyListCreateWithData(nullptr, bytes, kCFPropertyListImmutable, nullptr, nullptr);
  CFRelease(bytes);
  const bool isDomain = plist && CFGetTypeID(plist) == CFDictionaryGetTypeID();
  CFMutableDictionaryRef expected =
      isDomain ? CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist))
               : CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                           &kCFTypeDictionaryValueCallBacks);
  if (plist)
    CFRelease(plist);

  CFDictionaryRef read = readDomain();
  fuzz::check(read && CFEqual(read, expected), "the domain reads as its file's dictionary");
  CFRelease(read);
  quillmate_cf::DomainFileStatus status;
  fuzz::check(quillmate_cf::copyDomainFileStatus(kDomain, &status), "a status");
  fuzz::check(status.problem.empty() == isDomain, "a problem told exactly when unreadable");

  // One key more, synchronised: everything read stays, the unreadable file
  // is kept aside, and the file reads back the same.
  CFStringRef key = CFSTR("fuzz: added");
  CFPreferencesSetAppValue(key, kCFBooleanTrue, kDomain);
  fuzz::check(CFPreferencesAppSynchronize(kDomain), "the domain is written");
  CFDictionarySetValue(expected, key, kCFBooleanTrue);
  fuzz::check(quillmate_cf::copyDomainFileStatus(kDomain, &status), "a status after writing");
  fuzz::check(status.keptAside.empty() == isDomain, "an unreadable file is kept aside");
  fuzz::check(status.failure.empty() && status.problem.empty(), "a written domain is sound");
  read = readDomain();
  fuzz::check(read && CFEqual(read, expected), "the written domain reads back the same");
  CFRelease(read);
  CFRelease(expected);
  return 0;
}
