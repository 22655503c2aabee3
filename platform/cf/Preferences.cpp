// CFPreferences over files: a per-domain cache plus pending changes, and one
// place (synchronise) that touches the disk.
//
// The lock is an flock on a lock file of its own, never on the domain file:
// a rename replaces the domain file's inode, and a lock held on the old inode
// would no longer exclude anybody.  Lock files are never deleted, for the
// same reason.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/PreferencesTesting.h"
#include "platform/cf/PropertyListInternal.h"
#include "platform/cf/StringInternal.h"

#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFPreferences.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quillmate_cf {
namespace {

constexpr size_t kMaxDomainBytes = 200;
// Temporaries are "<domain>.plist.partial-" and six random letters or digits:
// a name of their own, so that cleaning them up can never take a user's file.
constexpr const char kPartial[] = ".partial-";

// --- files -----------------------------------------------------------------

// A descriptor closed on scope exit.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int f) : fd(f) {}
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

int retryOpen(const char *path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

bool writeAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

enum class FileState { Missing, Read, Unreadable };

// Reads the whole file; Unreadable for any failure but absence.
FileState readFile(const std::string &path, std::string *bytes) {
  Descriptor file(retryOpen(path.c_str(), O_RDONLY));
  if (file.fd < 0) return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
  bytes->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileState::Unreadable;
    if (n == 0) return FileState::Read;
    bytes->append(buffer, static_cast<size_t>(n));
  }
}

bool makeDirectories(const std::string &path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeDirectories(path.substr(0, slash))) {
    return false;
  }
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

std::optional<std::string> homeDirectory() {
  if (const char *home = std::getenv("HOME"); home && *home) return std::string(home);
  std::vector<char> buffer(16384);
  struct passwd pw, *result = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir) {
    return std::string(result->pw_dir);
  }
  return std::nullopt;
}

std::optional<std::string> preferencesDirectory() {
  if (const char *dir = std::getenv("QUILLMATE_PREFERENCES_DIR"); dir && *dir) {
    return std::string(dir);
  }
  if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    return std::string(xdg) + "/quillmate/preferences";
  }
  std::optional<std::string> home = homeDirectory();
  if (!home) return std::nullopt;
  return *home + "/.config/quillmate/preferences";
}

// --- domains ---------------------------------------------------------------

std::string currentApplicationName() {
  std::string name = program_invocation_short_name ? program_invocation_short_name : "";
  return name.empty() ? "unnamed-program" : name;
}

std::optional<std::string> domainName(CFStringRef applicationID) {
  if (!applicationID || CFGetTypeID(applicationID) != kStringTypeID) return std::nullopt;
  if (CFEqual(applicationID, kCFPreferencesCurrentApplication)) return currentApplicationName();
  std::optional<std::string> name = toUTF8(applicationID);
  if (!name || name->empty() || name->size() > kMaxDomainBytes || *name == "." ||
      *name == ".." || name->find('/') != std::string::npos ||
      name->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return name;
}

struct Domain {
  std::string path; // the domain file
  bool loaded = false;
  CFMutableDictionaryRef values = nullptr; // as last read or written
  // Key -> value to set, or removedMarker() to remove.
  CFMutableDictionaryRef pending = nullptr;
  bool refusedSet = false;

  explicit Domain(std::string p) : path(std::move(p)) {
    pending = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks);
  }
  Domain(const Domain &) = delete;
  ~Domain() {
    CFRelease(values);
    CFRelease(pending);
  }
  void replaceValues(CFMutableDictionaryRef v) {
    CFRelease(values);
    values = v;
    loaded = true;
  }
};

CFTypeRef removedMarker() {
  static const CFDataRef marker = CFDataCreate(nullptr, nullptr, 0);
  return marker;
}

std::mutex domainsMutex;
std::map<std::string, Domain> &domains() {
  static auto *table = new std::map<std::string, Domain>; // outlives every static user
  return *table;
}

CFMutableDictionaryRef emptyDictionary() {
  return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

// What a domain file holds.  A file that does not parse, or whose top level
// is not a dictionary, is Corrupt and reads as an empty domain.
struct Contents {
  enum { Missing, Parsed, Corrupt, Unreadable } state;
  CFMutableDictionaryRef values; // owned; empty unless Parsed
};

Contents readDomainFile(const std::string &path) {
  std::string bytes;
  switch (readFile(path, &bytes)) {
  case FileState::Missing: return {Contents::Missing, emptyDictionary()};
  case FileState::Unreadable: return {Contents::Unreadable, emptyDictionary()};
  case FileState::Read: break;
  }
  CFPropertyListRef plist = readPropertyList(bytes, false, nullptr);
  if (!plist || CFGetTypeID(plist) != kDictionaryTypeID) {
    CFRelease(plist);
    return {Contents::Corrupt, emptyDictionary()};
  }
  CFMutableDictionaryRef values =
      CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist));
  CFRelease(plist);
  return {Contents::Parsed, values};
}

// The domain of applicationID in the current folder, loaded; null when the
// ID or the folder cannot be used.  Call with domainsMutex held.
Domain *domainFor(CFStringRef applicationID) {
  std::optional<std::string> name = domainName(applicationID);
  std::optional<std::string> dir = preferencesDirectory();
  if (!name || !dir) return nullptr;
  std::string path = *dir + "/" + *name + ".plist";
  auto [it, inserted] = domains().try_emplace(path, path);
  Domain &domain = it->second;
  if (!domain.loaded) domain.replaceValues(readDomainFile(path).values);
  return &domain;
}

// A deep, immutable copy of value made through its XML form, so that later
// changes to a caller's mutable containers do not reach the domain, and so
// that a value that could not be written is refused at once.
CFPropertyListRef storableCopy(CFPropertyListRef value) {
  std::string xml;
  if (!writePropertyList(value, &xml, nullptr)) return nullptr;
  return readPropertyList(xml, false, nullptr);
}

void applyPending(CFDictionaryRef pending, CFMutableDictionaryRef values) {
  CFDictionaryApplyFunction(
      pending,
      [](const void *key, const void *value, void *context) {
        auto target = static_cast<CFMutableDictionaryRef>(context);
        if (value == removedMarker()) {
          CFDictionaryRemoveValue(target, key);
        } else {
          CFDictionarySetValue(target, key, value);
        }
      },
      values);
}

// Keeps an unreadable domain file under a name of its own before it is
// replaced.  A hard link keeps the very bytes and costs no copy.
std::string asideName(const std::string &path, int n) {
  std::string name = path;
  name += ".unreadable";
  if (n) {
    name += '-';
    name += std::to_string(n);
  }
  return name;
}

bool keepAside(const std::string &path) {
  for (int n = 0; n < 1000; ++n) {
    std::string aside = asideName(path, n);
    if (::link(path.c_str(), aside.c_str()) == 0) return true;
    if (errno != EEXIST) break;
  }
  // Where hard links are refused, copy the bytes.
  std::string bytes;
  if (readFile(path, &bytes) != FileState::Read) return false;
  for (int n = 0; n < 1000; ++n) {
    std::string aside = asideName(path, n);
    Descriptor out(retryOpen(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (out.fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (writeAll(out.fd, bytes) && ::fsync(out.fd) == 0) return true;
    ::unlink(aside.c_str());
    return false;
  }
  return false;
}

// Writes xml over path through a temporary file in the same folder: the
// domain file is either the old one or the complete new one, also after a
// crash.  The new file keeps the old one's permission bits.
bool replaceFile(const std::string &path, const std::string &xml) {
  std::string dir = path.substr(0, path.find_last_of('/'));
  std::string temp = path + kPartial + "XXXXXX";
  Descriptor out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.fd < 0) return false;
  struct stat st;
  bool ok = true;
  if (::stat(path.c_str(), &st) == 0) ok = ::fchmod(out.fd, st.st_mode & 07777) == 0;
  ok = ok && writeAll(out.fd, xml) && ::fsync(out.fd) == 0;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk too.
  Descriptor folder(retryOpen(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (folder.fd >= 0) ::fsync(folder.fd);
  return true;
}

std::atomic<int> lockWaitMilliseconds{5000};

// Takes the lock, waiting a bounded time: a holder that is stopped (a tool
// suspended from its terminal in the middle of a write) must not freeze the
// caller, whose changes then simply stay pending.
bool acquire(int fd) {
  int waited = 0, step = 1;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= lockWaitMilliseconds.load(std::memory_order_relaxed)) return false;
    ::usleep(static_cast<useconds_t>(step) * 1000);
    waited += step;
    step = std::min(step * 2, 20);
  }
}

// Temporary files are made only under the domain's lock, so one found while
// holding it was left by a writer that died before its rename.
void removeStaleTemporaries(const std::string &path) {
  size_t slash = path.find_last_of('/');
  std::string dir = path.substr(0, slash), prefix = path.substr(slash + 1) + kPartial;
  DIR *folder = ::opendir(dir.c_str());
  if (!folder) return;
  while (const dirent *entry = ::readdir(folder)) {
    std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
    std::string_view suffix = name.substr(prefix.size());
    if (std::all_of(suffix.begin(), suffix.end(),
                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
      ::unlinkat(::dirfd(folder), entry->d_name, 0);
    }
  }
  ::closedir(folder);
}

bool synchronise(Domain &domain) {
  bool refused = domain.refusedSet;
  domain.refusedSet = false;
  if (CFDictionaryGetCount(domain.pending) == 0) {
    domain.replaceValues(readDomainFile(domain.path).values);
    return !refused;
  }
  std::string dir = domain.path.substr(0, domain.path.find_last_of('/'));
  if (!makeDirectories(dir)) return false;
  Descriptor lock(retryOpen((domain.path + ".lock").c_str(), O_RDWR | O_CREAT, 0600));
  if (lock.fd < 0) return false;
  if (!acquire(lock.fd)) return false;
  removeStaleTemporaries(domain.path);

  Contents disk = readDomainFile(domain.path);
  if (disk.state == Contents::Unreadable) {
    // Exists but cannot be read: merging is impossible, and writing over it
    // would lose what it holds.
    CFRelease(disk.values);
    return false;
  }
  applyPending(domain.pending, disk.values);
  std::string xml;
  bool ok = writePropertyList(disk.values, &xml, nullptr);
  if (ok && disk.state == Contents::Corrupt) ok = keepAside(domain.path);
  ok = ok && replaceFile(domain.path, xml);
  if (!ok) {
    CFRelease(disk.values);
    return false;
  }
  domain.replaceValues(disk.values);
  CFDictionaryRemoveAllValues(domain.pending);
  return !refused; // the flock goes with the descriptor
}

} // namespace

void setLockWaitForTesting(int milliseconds) { lockWaitMilliseconds.store(milliseconds); }

void forgetPreferencesForTesting() {
  std::lock_guard<std::mutex> lock(domainsMutex);
  domains().clear();
}

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");
const CFStringRef kCFPreferencesCurrentUser = CFSTR("kCFPreferencesCurrentUser");
const CFStringRef kCFPreferencesAnyUser = CFSTR("kCFPreferencesAnyUser");
const CFStringRef kCFPreferencesCurrentHost = CFSTR("kCFPreferencesCurrentHost");
const CFStringRef kCFPreferencesAnyHost = CFSTR("kCFPreferencesAnyHost");

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
  if (!key) return nullptr;
  std::lock_guard<std::mutex> lock(domainsMutex);
  Domain *domain = domainFor(applicationID);
  if (!domain) return nullptr;
  const void *value = nullptr;
  if (CFDictionaryGetValueIfPresent(domain->pending, key, &value)) {
    return value == removedMarker() ? nullptr : CFRetain(value);
  }
  value = CFDictionaryGetValue(domain->values, key);
  return value ? CFRetain(value) : nullptr;
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID) {
  std::lock_guard<std::mutex> lock(domainsMutex);
  Domain *domain = domainFor(applicationID);
  if (!domain) return;
  if (!key || CFGetTypeID(key) != kStringTypeID || !toUTF8(key)) {
    domain->refusedSet = true;
    return;
  }
  if (!value) {
    CFDictionarySetValue(domain->pending, key, removedMarker());
    return;
  }
  CFPropertyListRef copy = storableCopy(value);
  if (!copy) {
    domain->refusedSet = true;
    return;
  }
  CFDictionarySetValue(domain->pending, key, copy);
  CFRelease(copy);
}

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
  std::lock_guard<std::mutex> lock(domainsMutex);
  Domain *domain = domainFor(applicationID);
  return domain && synchronise(*domain);
}

namespace {

bool storedUserAndHost(CFStringRef userName, CFStringRef hostName) {
  return (CFEqual(userName, kCFPreferencesCurrentUser) ||
          CFEqual(userName, kCFPreferencesAnyUser)) &&
         CFEqual(hostName, kCFPreferencesAnyHost);
}

// Stored values with pending changes on top, as a new dictionary.
CFMutableDictionaryRef currentValues(Domain &domain) {
  CFMutableDictionaryRef all = CFDictionaryCreateMutableCopy(nullptr, 0, domain.values);
  applyPending(domain.pending, all);
  return all;
}

} // namespace

CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName) {
  if (!storedUserAndHost(userName, hostName)) return nullptr;
  std::lock_guard<std::mutex> lock(domainsMutex);
  Domain *domain = domainFor(applicationID);
  if (!domain) return nullptr;
  CFMutableDictionaryRef all = currentValues(*domain);
  CFIndex count = CFDictionaryGetCount(all);
  CFArrayRef result = nullptr;
  if (count > 0) {
    std::vector<const void *> keys(static_cast<size_t>(count));
    CFDictionaryGetKeysAndValues(all, keys.data(), nullptr);
    std::sort(keys.begin(), keys.end(), [](const void *a, const void *b) {
      return CFStringCompare(static_cast<CFStringRef>(a), static_cast<CFStringRef>(b), 0) < 0;
    });
    result = CFArrayCreate(nullptr, keys.data(), count, &kCFTypeArrayCallBacks);
  }
  CFRelease(all);
  return result;
}

CFDictionaryRef CFPreferencesCopyMultiple(CFArrayRef keysToFetch, CFStringRef applicationID,
                                          CFStringRef userName, CFStringRef hostName) {
  if (!storedUserAndHost(userName, hostName)) return nullptr;
  std::lock_guard<std::mutex> lock(domainsMutex);
  Domain *domain = domainFor(applicationID);
  if (!domain) return nullptr;
  CFMutableDictionaryRef all = currentValues(*domain);
  if (!keysToFetch) return all;
  CFMutableDictionaryRef some = emptyDictionary();
  for (CFIndex i = 0; i < CFArrayGetCount(keysToFetch); ++i) {
    const void *key = CFArrayGetValueAtIndex(keysToFetch, i);
    const void *value = nullptr;
    if (CFDictionaryGetValueIfPresent(all, key, &value)) CFDictionarySetValue(some, key, value);
  }
  CFRelease(all);
  return some;
}

} // extern "C"
