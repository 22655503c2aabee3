// Shared helpers of the fuzz targets.
#ifndef QUILLMATE_TESTS_FUZZ_FUZZSUPPORT_H
#define QUILLMATE_TESTS_FUZZ_FUZZSUPPORT_H

#include "strings/CString256.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzz {

/// Stops the run with a message; libFuzzer records the input.
[[noreturn]] inline void fail(const char *what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char *what) {
  if (!ok)
    fail(what);
}

/// Every CString256 must hold a terminator within its 256 bytes.
inline void checkTerminated(const CString256 &s, const char *what) {
  check(std::memchr(s.text, '\0', sizeof s.text) != nullptr, what);
}

/// Reads the input front to back; runs dry quietly.
class Reader {
public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  /// Up to `n` bytes as a string (NUL bytes included).
  std::string bytes(size_t n) {
    n = n < size_ - pos_ ? n : size_ - pos_;
    std::string out(reinterpret_cast<const char *>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string rest() { return bytes(size_ - pos_); }

private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

/// What the library keeps of a terminated text: up to its first NUL, at most
/// 255 bytes.
inline std::string cut255(const std::string &s) {
  std::string upToNul(s.c_str());
  return upToNul.substr(0, 255);
}

/// Removes `name` in folder `dirfd` and everything below it, without
/// following links and at any depth.
inline void removeTree(int dirfd, const char *name) {
  int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    if (DIR *d = ::fdopendir(fd)) {
      while (const dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
          removeTree(::dirfd(d), e->d_name);
      }
      ::closedir(d);
    } else {
      ::close(fd);
    }
  }
  if (::unlinkat(dirfd, name, AT_REMOVEDIR) != 0)
    ::unlinkat(dirfd, name, 0);
}

/// A new folder of the target's own, /dev/shm/quillmate-fuzz-<what>-XXXXXX,
/// removed with its contents when the run ends (a crash leaves it for a
/// look); empty when it cannot be made.
inline std::string scratchFolder(const char *what) {
  static std::vector<std::string> made;
  std::string pattern = std::string("/dev/shm/quillmate-fuzz-") + what + "-XXXXXX";
  if (!::mkdtemp(pattern.data()))
    return {};
  if (made.empty()) {
    std::atexit([] {
      for (const std::string &folder : made)
        removeTree(AT_FDCWD, folder.c_str());
    });
  }
  made.push_back(pattern);
  return pattern;
}

} // namespace fuzz

#endif
