// Shared helpers of the string library's fuzz targets.
#ifndef QUILLMATE_TESTS_FUZZ_FUZZSUPPORT_H
#define QUILLMATE_TESTS_FUZZ_FUZZSUPPORT_H

#include "strings/CString256.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

} // namespace fuzz

#endif
