// What qmfiles prints: status codes by name, names as UTF-8, JSON values,
// and a progress line that shows only on a terminal.
#ifndef QUILLMATE_TOOLS_QMFILES_OUTPUT_H
#define QUILLMATE_TOOLS_QMFILES_OUTPUT_H

#include <CoreServices/CoreServices.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace qmfiles {

/// "fnfErr (-43)"; "status -12345" for a code without a name.
std::string statusText(OSStatus status);

/// UTF-16 as UTF-8.  The units U+DC80-U+DCFF, which the File Manager gives
/// for bytes of a disk name that are not UTF-8, become those bytes again, so
/// a name prints as it stands on disk.
std::string utf8(const UniChar *units, size_t count);
inline std::string utf8(const HFSUniStr255 &name) { return utf8(name.unicode, name.length); }
/// UTF-8 as UTF-16, the reverse of utf8(): a byte that is not part of a
/// valid sequence becomes U+DC00 + byte.
std::u16string utf16(const std::string &text);

/// A JSON string literal.
std::string jsonString(const std::string &text);
/// The last `bytes` bytes of a code (4: a four-character code such as a
/// file type; 2: a volume signature) as text, \xNN for bytes outside ASCII.
std::string codeText(UInt32 code, int bytes);

/// "items done, items per second" (or bytes) on standard error, redrawn at
/// most five times a second, only when standard error is a terminal.
class Progress {
public:
  explicit Progress(const char *unit);
  ~Progress() { hide(); }
  bool enabled() const { return enabled_; }
  void update(uint64_t done, uint64_t total = 0);
  /// Clears the line, so that other output starts on a clean line.
  void hide();
  /// Clears the line when standard output shares the terminal.
  void beforeOutput() {
    if (sharesScreen_)
      hide();
  }

private:
  const char *unit_;
  bool enabled_;
  bool sharesScreen_;
  bool visible_ = false;
  std::chrono::steady_clock::time_point start_, last_;
  std::chrono::milliseconds interval_{200};
};

} // namespace qmfiles

#endif
