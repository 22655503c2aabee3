// Paths longer than PATH_MAX, which realpath refuses, and paths with a
// component that is on disk in its other normalization form: resolved one
// component at a time from folder descriptors, as resolvePath's fallback.
#include "platform/filemanager/PosixFileManager.h"

#include "platform/filemanager/Syscalls.h"
#include "platform/text/NameConversion.h"

#include <algorithm>
#include <cerrno>
#include <string>

namespace quillmate::fm::detail {

namespace {

/// Symbolic links one path may pass through, as the kernel allows.
constexpr int kMaxLinks = 40;

/// The target of the link `name` in `folder`, whatever its length.
int readLinkTarget(int folder, const char *name, std::string &target) {
  target.resize(256);
  for (;;) {
    ssize_t n = sys::readLink(folder, name, target.data(), target.size());
    if (n < 0)
      return -1;
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return 0;
    }
    target.resize(target.size() * 2);
  }
}

/// A walk under way: the folder reached, its absolute path, and the text
/// still to walk from `at` on.
struct Walk {
  std::string &full;
  std::string rest;
  size_t at = 0;
  sys::Fd folder;
  int links = 0;

  Walk(std::string &full, const char *path) : full(full), rest(path) {}

  /// Starts at the root for an absolute path, else at the current
  /// directory (fnfErr when that lies outside this process's root).
  OSErr start() {
    if (rest.empty())
      return fnfErr;
    if (rest[0] == '/') {
      full.clear();
      folder.reset(sys::openAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
    } else {
      if (sys::getCwd(full) < 0)
        return sys::lastStatus();
      if (full.empty() || full[0] != '/')
        return fnfErr;
      if (full == "/")
        full.clear();
      folder.reset(sys::openAt(AT_FDCWD, ".", O_PATH | O_DIRECTORY));
    }
    return folder.valid() ? OSErr(noErr) : sys::lastStatus();
  }

  /// The next component, past any slashes; false at the end of the text.
  bool next(std::string &part) {
    while (at < rest.size() && rest[at] == '/')
      ++at;
    if (at == rest.size())
      return false;
    const size_t end = std::min(rest.find('/', at), rest.size());
    part = rest.substr(at, end - at);
    at = end;
    return true;
  }

  bool atEnd() const { return at == rest.size(); }

  /// "..": the folder's parent, and the path without its last component.
  OSErr up() {
    folder.reset(sys::openAt(folder.get(), "..", O_PATH | O_DIRECTORY));
    if (!folder.valid())
      return sys::lastStatus();
    full.resize(full.rfind('/') == std::string::npos ? 0 : full.rfind('/'));
    return noErr;
  }

  /// The link `part` of the folder: its target takes its place in what is
  /// left to walk, from the root when the target is absolute.
  OSErr follow(const std::string &part) {
    std::string target;
    if (++links > kMaxLinks)
      return sys::statusFor(ELOOP);
    if (readLinkTarget(folder.get(), part.c_str(), target) < 0)
      return sys::lastStatus();
    if (target.empty())
      return fnfErr;
    rest = target + rest.substr(at);
    at = 0;
    if (target[0] != '/')
      return noErr;
    full.clear();
    folder.reset(sys::openAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY));
    return folder.valid() ? OSErr(noErr) : sys::lastStatus();
  }

  /// Into the folder `part`, whose statx is `stx` (dirNFErr for another
  /// kind of object).
  OSErr enter(const std::string &part, const struct statx &stx) {
    if (!S_ISDIR(stx.stx_mode))
      return dirNFErr;
    folder.reset(sys::openAt(folder.get(), part.c_str(), O_PATH | O_DIRECTORY));
    return folder.valid() ? OSErr(noErr) : sys::lastStatus();
  }
};

} // namespace

OSErr walkPath(const char *path, std::string &full, struct statx &stx) {
  Walk walk(full, path);
  if (OSErr err = walk.start())
    return err;
  bool statted = false; // `stx` holds the last component's
  std::string part;
  while (walk.next(part)) {
    if (part == ".")
      continue;
    if (part == "..") {
      if (OSErr err = walk.up())
        return err;
      continue;
    }
    if (sys::statxAt(walk.folder.get(), part.c_str(), kIdentityMask, &stx) < 0) {
      // Missing as written: the component in its other normalization form.
      const int failure = errno;
      std::string other;
      if (failure == ENOENT)
        text::diskNameNormalization(part, &other);
      if (other.empty()) {
        errno = failure;
        return sys::lastStatus();
      }
      if (sys::statxAt(walk.folder.get(), other.c_str(), kIdentityMask, &stx) < 0)
        return sys::lastStatus();
      part = std::move(other);
    }
    if (S_ISLNK(stx.stx_mode)) {
      if (OSErr err = walk.follow(part))
        return err;
      continue;
    }
    full += '/';
    full += part;
    if (walk.atEnd()) {
      statted = true;
      break;
    }
    // A slash follows: a folder is needed.
    if (OSErr err = walk.enter(part, stx))
      return err;
  }
  if (!statted && sys::statxAt(walk.folder.get(), "", kIdentityMask, &stx) < 0)
    return sys::lastStatus();
  if (full.empty())
    full.push_back('/'); // the root
  return noErr;
}

} // namespace quillmate::fm::detail
