// CFPreferences over files: a per-domain cache plus pending changes, and one
// place (synchronise) that touches the disk.
//
// The lock is an flock on a lock file of its own, never on the domain file:
// a rename replaces the domain file's inode, and a lock held on the old inode
// would no longer exclude anybody.  Lock files are never deleted, for the
// same reason.
//
// A domain file may be a symbolic link (a managed dotfile): reads follow it,
// and a write replaces the file at the end of the link, in that file's own
// folder, so the link stays.  The lock stays beside the name the program
// uses: every writer of the domain opens that name, and a lock file beside
// the target would be left for good in the user's managed folder.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/PreferencesStatus.h"
#include "platform/cf/PreferencesTesting.h"
#include "platform/cf/PropertyListInternal.h"
#include "platform/cf/StringInternal.h"

#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFPreferences.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <string>
#include <system_error>
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

std::string errorText(int error) { return std::generic_category().message(error); }

// Unparsable is never an answer of readFile: it is what a domain file read
// whole may turn out to be (and Read, in a domain's report, means parsed).
enum class FileState { Missing, Read, Unparsable, NotAFile, TooLarge, Unreadable };

// Reads the whole of a regular file of at most kMaxDomainFileBytes.  The open
// does not wait (a FIFO would wait for a writer forever), and what is not a
// regular file is refused before a byte is read (a link to /dev/zero never
// ends).  *error is errno for Unreadable.
FileState readFile(const std::string &path, std::string *bytes, int *error) {
  Descriptor file(retryOpen(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (file.fd < 0) {
    *error = errno;
    if (errno == ENOENT) return FileState::Missing;
    return errno == ENXIO ? FileState::NotAFile : FileState::Unreadable; // ENXIO: a socket
  }
  struct stat st;
  if (::fstat(file.fd, &st) != 0) {
    *error = errno;
    return FileState::Unreadable;
  }
  if (!S_ISREG(st.st_mode)) return FileState::NotAFile;
  if (st.st_size > kMaxDomainFileBytes) return FileState::TooLarge;
  bytes->clear();
  bytes->reserve(static_cast<size_t>(st.st_size));
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      return FileState::Unreadable;
    }
    if (n == 0) return FileState::Read;
    bytes->append(buffer, static_cast<size_t>(n));
    // It may grow while it is read.
    if (bytes->size() > static_cast<size_t>(kMaxDomainFileBytes)) return FileState::TooLarge;
  }
}

bool makeDirectories(const std::string &path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    errno = ENOTDIR;
    return S_ISDIR(st.st_mode);
  }
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

// What the last read of a domain file found, besides its values.
struct FileReport {
  FileState state = FileState::Missing;
  int error = 0;          // errno, for Unreadable
  std::string parseError; // for Unparsable
};

struct Domain {
  std::string path; // the domain file, as the program names it
  bool loaded = false;
  FileReport disk;        // as of the last read
  std::string failure;    // why the last synchronise wrote nothing
  std::string keptAside;  // where the last synchronise kept an unparsable file
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

// A domain file's trouble in words, naming it by the path the program uses;
// empty when it is missing or parsed.
std::string describe(const FileReport &report, const std::string &path) {
  switch (report.state) {
  case FileState::Missing:
  case FileState::Read: return {};
  case FileState::Unparsable: return path + " cannot be parsed (" + report.parseError + ")";
  case FileState::NotAFile: return path + " is not a regular file";
  case FileState::TooLarge:
    return path + " is larger than " + std::to_string(kMaxDomainFileBytes >> 20) + " MiB";
  case FileState::Unreadable: return path + " cannot be read: " + errorText(report.error);
  }
  return {};
}

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
// is not a dictionary, is Unparsable and reads as an empty domain; so does
// one that cannot be read at all, which must then never be written over.
struct Contents {
  FileReport report;
  CFMutableDictionaryRef values; // owned; empty unless Parsed
};

Contents readDomainFile(const std::string &path) {
  std::string bytes;
  FileReport report;
  report.state = readFile(path, &bytes, &report.error);
  if (report.state != FileState::Read) return {report, emptyDictionary()};
  CFPropertyListRef plist = readPropertyList(bytes, false, &report.parseError);
  if (!plist || CFGetTypeID(plist) != kDictionaryTypeID) {
    if (plist) report.parseError = "the top level is not a dictionary";
    CFRelease(plist);
    report.state = FileState::Unparsable;
    return {report, emptyDictionary()};
  }
  CFMutableDictionaryRef values =
      CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(plist));
  CFRelease(plist);
  return {report, values};
}

// Reads the domain's file (through a link, from its target) into its copy.
void reload(Domain &domain, const std::string &file) {
  Contents disk = readDomainFile(file);
  domain.disk = std::move(disk.report);
  domain.replaceValues(disk.values);
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
  if (!domain.loaded) reload(domain, path);
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

// Keeps an unparsable domain file under a name of its own, beside the path
// the program uses, before it is replaced.  A hard link keeps the very bytes
// and costs no copy.  `file` is the file itself (a link's target, so that
// the name kept holds the old bytes rather than a link to the new ones).
std::string asideName(const std::string &path, int n) {
  std::string name = path;
  name += ".unreadable";
  if (n) {
    name += '-';
    name += std::to_string(n);
  }
  return name;
}

constexpr int kAsideNames = 1000;

// The name the next keepAside would take, for telling a user ahead.
std::string nextAsideName(const std::string &path) {
  struct stat st;
  for (int n = 0; n < kAsideNames; ++n) {
    std::string aside = asideName(path, n);
    if (::lstat(aside.c_str(), &st) != 0 && errno == ENOENT) return aside;
  }
  return asideName(path, kAsideNames);
}

// False with errno set when the file could not be kept.
bool keepAside(const std::string &file, const std::string &path, std::string *kept) {
  for (int n = 0; n < kAsideNames; ++n) {
    *kept = asideName(path, n);
    if (::link(file.c_str(), kept->c_str()) == 0) return true;
    if (errno != EEXIST) break;
  }
  // Where hard links are refused (or the target is on another file system),
  // copy the bytes.
  std::string bytes;
  int error = 0;
  if (readFile(file, &bytes, &error) != FileState::Read) {
    errno = error ? error : EINVAL;
    return false;
  }
  for (int n = 0; n < kAsideNames; ++n) {
    *kept = asideName(path, n);
    Descriptor out(retryOpen(kept->c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (out.fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (writeAll(out.fd, bytes) && ::fsync(out.fd) == 0) return true;
    error = errno;
    ::unlink(kept->c_str());
    errno = error;
    return false;
  }
  errno = EEXIST;
  return false;
}

// Writes xml over file through a temporary file in the same folder: the
// file is either the old one or the complete new one, also after a crash.
// The new file keeps the old one's permission bits.  False with errno set.
bool replaceFile(const std::string &file, const std::string &xml) {
  std::string dir = file.substr(0, file.find_last_of('/'));
  std::string temp = file + kPartial + "XXXXXX";
  Descriptor out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.fd < 0) return false;
  struct stat st;
  bool ok = true;
  if (::stat(file.c_str(), &st) == 0) ok = ::fchmod(out.fd, st.st_mode & 07777) == 0;
  ok = ok && writeAll(out.fd, xml) && ::fsync(out.fd) == 0;
  ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
  if (!ok) {
    int error = errno;
    ::unlink(temp.c_str());
    errno = error;
    return false;
  }
  // The rename itself must reach the disk too.
  Descriptor folder(retryOpen(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY));
  if (folder.fd >= 0) ::fsync(folder.fd);
  return true;
}

// The file a write replaces: the path itself, or the end of the chain of
// links it is.  A link to a missing file is refused rather than followed to
// create its target: where it points may be a place the user no longer means
// (a folder since moved, a drive not mounted).  Nothing, with *why set, when
// the path cannot be written through.
std::optional<std::string> writeTarget(const std::string &path, std::string *why) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return path;
    *why = "cannot examine " + path + ": " + errorText(errno);
    return std::nullopt;
  }
  if (!S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return std::string(resolved);
  if (errno == ENOENT) {
    *why = path + " is a symbolic link to a missing file, which a write does not create";
  } else if (errno == ELOOP) {
    *why = path + " is a loop of symbolic links";
  } else {
    *why = "cannot follow the symbolic link " + path + ": " + errorText(errno);
  }
  return std::nullopt;
}

std::atomic<int> lockWaitMilliseconds{5000};

// Takes the lock, waiting a bounded time: a holder that is stopped (a tool
// suspended from its terminal in the middle of a write) must not freeze the
// caller, whose changes then simply stay pending.  False with errno set
// (EWOULDBLOCK when the wait ran out).
bool acquire(int fd) {
  int waited = 0, step = 1;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= lockWaitMilliseconds.load(std::memory_order_relaxed)) {
      errno = EWOULDBLOCK;
      return false;
    }
    ::usleep(static_cast<useconds_t>(step) * 1000);
    waited += step;
    step = std::min(step * 2, 20);
  }
}

// Temporary files are made only under the domain's lock, so one found while
// holding it was left by a writer that died before its rename.  `file` is
// the file a write replaces (a link's target: its temporaries are beside it).
void removeStaleTemporaries(const std::string &file) {
  size_t slash = file.find_last_of('/');
  std::string dir = file.substr(0, slash), prefix = file.substr(slash + 1) + kPartial;
  DIR *folder = ::opendir(dir.empty() ? "/" : dir.c_str());
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

// Writes the domain's pending changes under its lock; false with
// domain.failure saying why, and the changes still pending.
bool writePending(Domain &domain) {
  const std::string &path = domain.path;
  std::string dir = path.substr(0, path.find_last_of('/'));
  if (!makeDirectories(dir)) {
    domain.failure = "cannot create the folder " + dir + ": " + errorText(errno);
    return false;
  }
  // Never through a link: one planted here would make a write create its
  // target wherever it points.
  const std::string lockPath = path + ".lock";
  Descriptor lock(retryOpen(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600));
  if (lock.fd < 0) {
    domain.failure = errno == ELOOP
                         ? lockPath + " is a symbolic link, and lock files are never followed"
                         : "cannot open the lock file " + lockPath + ": " + errorText(errno);
    return false;
  }
  if (!acquire(lock.fd)) {
    domain.failure = errno == EWOULDBLOCK ? "another writer holds the lock " + lockPath
                                          : "cannot lock " + lockPath + ": " + errorText(errno);
    return false;
  }
  std::optional<std::string> file = writeTarget(path, &domain.failure);
  if (!file) return false;
  removeStaleTemporaries(*file);

  Contents disk = readDomainFile(*file);
  domain.disk = disk.report;
  FileState state = disk.report.state;
  if (state != FileState::Missing && state != FileState::Read && state != FileState::Unparsable) {
    // Exists but cannot be read: merging is impossible, and writing over it
    // would lose what it holds.
    domain.failure = describe(disk.report, path);
    CFRelease(disk.values);
    return false;
  }
  applyPending(domain.pending, disk.values);
  std::string xml, message;
  bool ok = writePropertyList(disk.values, &xml, &message);
  if (!ok) domain.failure = "the domain has no property-list form: " + message;
  std::string kept;
  if (ok && state == FileState::Unparsable) {
    ok = keepAside(*file, path, &kept);
    if (!ok) domain.failure = "cannot keep " + path + " aside: " + errorText(errno);
  }
  if (ok && !replaceFile(*file, xml)) {
    ok = false;
    domain.failure = "cannot write " + *file + ": " + errorText(errno);
  }
  if (!ok) {
    CFRelease(disk.values);
    return false;
  }
  domain.keptAside = std::move(kept);
  domain.disk = FileReport{FileState::Read, 0, {}};
  domain.replaceValues(disk.values);
  CFDictionaryRemoveAllValues(domain.pending);
  return true; // the flock goes with the descriptor
}

bool synchronise(Domain &domain) {
  domain.failure.clear();
  domain.keptAside.clear();
  bool refused = domain.refusedSet;
  domain.refusedSet = false;
  if (CFDictionaryGetCount(domain.pending) == 0) {
    reload(domain, domain.path);
  } else if (!writePending(domain)) {
    return false;
  }
  if (refused) {
    domain.failure = "a value set since the last synchronise has no property-list form and was "
                     "not stored";
  }
  return !refused;
}

} // namespace

void setLockWaitForTesting(int milliseconds) { lockWaitMilliseconds.store(milliseconds); }

bool copyDomainFileStatus(CFStringRef applicationID, DomainFileStatus *status) {
  std::lock_guard<std::mutex> lock(domainsMutex);
  Domain *domain = domainFor(applicationID);
  if (!domain) return false;
  status->path = domain->path;
  status->problem = describe(domain->disk, domain->path);
  if (domain->disk.state == FileState::Unparsable) {
    status->problem += "; it reads as empty and will be kept aside as " +
                       nextAsideName(domain->path) + " on the next write";
  } else if (!status->problem.empty()) {
    status->problem += "; it reads as empty and is not written over";
  } else if (std::string why; domain->disk.state == FileState::Missing &&
                              !writeTarget(domain->path, &why)) {
    status->problem = why + "; it reads as empty"; // a link to a missing file
  }
  status->failure = domain->failure;
  status->keptAside = domain->keptAside;
  return true;
}

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
