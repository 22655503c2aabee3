// What qmfiles prints: status codes by name, names as UTF-8, each command's
// fields once for both of its forms (text and JSON), and a progress line
// that shows only on a terminal.
#ifndef QUILLMATE_TOOLS_QMFILES_OUTPUT_H
#define QUILLMATE_TOOLS_QMFILES_OUTPUT_H

#include <CoreServices/CoreServices.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace qmfiles {

/// "fnfErr (-43)"; "status -12345" for a code without a name.
std::string statusText(OSStatus status);

/// UTF-16 as UTF-8, through CFString.  The units U+DC80-U+DCFF, which the
/// File Manager gives for bytes of a disk name that are not UTF-8, become
/// those bytes again, so a name prints as it stands on disk; any other
/// unpaired surrogate becomes U+FFFD.
std::string utf8(const UniChar *units, size_t count);
inline std::string utf8(const HFSUniStr255 &name) { return utf8(name.unicode, name.length); }
/// UTF-8 as UTF-16 through the Unicode Converter, the reverse of utf8(): a
/// byte that is not part of a valid sequence becomes U+DC00 + byte.
std::u16string utf16(const std::string &text);

/// The disk name of a File Manager name: its bytes, with ':' where the
/// File Manager shows '/'.
std::string diskName(const HFSUniStr255 &name);

/// A JSON string literal of `text`, always valid UTF-8: valid UTF-8 stays as
/// it is, and each byte that is not part of it is written \udc80-\udcff
/// (U+DC00 + byte, as the File Manager gives it; Python reads such a string
/// back to the bytes with .encode("utf-8", "surrogateescape")).
std::string jsonString(const std::string &text);
/// `bytes` as a JSON string of the characters U+0000-U+00FF, one a byte
/// (\u0080-\u00ff beyond ASCII): .encode("latin-1") gives the bytes back.
std::string jsonBytes(const std::string &bytes);
/// `text` as one word of a POSIX shell that has $'...' (bash, ksh, zsh):
/// as it is when it holds only letters, digits, %+,-./:@_ and printable
/// characters beyond ASCII; else in single quotes, a ' as \', and control
/// characters and bytes that are not UTF-8 in $'...' as C escapes (\t, \n
/// ...) or three octal digits (\033, \377).
std::string shellWord(const std::string &text);
/// The last `bytes` bytes of a code (4: a four-character code such as a
/// file type; 2: a volume signature) as text, \xNN for bytes outside ASCII.
std::string codeText(UInt32 code, int bytes);

/// A value in both forms of the output; a form without it leaves it out.
struct Value {
  std::optional<std::string> json; ///< a JSON literal
  std::optional<std::string> text;

  /// A string: JSON quotes it, the text shows it as it is.
  static Value string(const std::string &s) { return {jsonString(s), s}; }
  /// A name or a path: JSON quotes it, the text shows it as a shell word.
  static Value name(const std::string &s) { return {jsonString(s), shellWord(s)}; }
  /// Bytes, in JSON only (jsonBytes).
  static Value bytes(const std::string &s) { return {jsonBytes(s), std::nullopt}; }
  /// A number, alike in both forms.
  template <typename Integer> static Value number(Integer n) {
    return {std::to_string(n), std::to_string(n)};
  }
  /// A truth: JSON true or false, the text `yes` or `no`.
  static Value truth(bool b, const char *yes = "yes", const char *no = "no") {
    return {b ? "true" : "false", b ? yes : no};
  }
  /// Nothing: JSON null, and `text` (none: left out of the text).
  static Value none(std::optional<std::string> text = std::nullopt) {
    return {"null", std::move(text)};
  }
  /// This value in JSON only.
  Value jsonOnly() const { return {json, std::nullopt}; }
};

/// One named value of a command's output: `key` (plain ASCII) names it in
/// JSON and picks it for a table's column, `label` in the lines of the text
/// form (null: a field of JSON or of a table only).
struct Field {
  const char *key;
  const char *label;
  Value value;
};
using Record = std::vector<Field>;

/// The record as one JSON object: `{"key": value, ...}`.
std::string jsonObject(const Record &record);
/// The record as "label  value" lines, the labels padded to the longest of
/// the record's labels (shown or not, so a command lines up alike for every
/// object); a field with an empty label shows its value alone.
void printLines(const Record &record);

/// A column of a table: the field it shows, its heading, its width (negative:
/// left-aligned; 0: as wide as the value) and the spaces before it.
struct Column {
  const char *key;
  const char *heading;
  int width;
  int gap;
};
/// The headings of a table, as one line.
void printHeadings(std::span<const Column> columns);
/// One row of a table.
void printRow(const Record &record, std::span<const Column> columns);

/// Records as one JSON array, an object a line.
class JSONList {
public:
  void add(const Record &record);
  /// Closes the array.
  void finish();

private:
  size_t count_ = 0;
};

/// "items done, items per second" (or bytes, and "of total" when known) on
/// standard error, redrawn at most five times a second, only when standard
/// error is a terminal.  The caller draws it with update(), or has watch()
/// sample the count on a thread of its own while one long call runs.
class Progress {
public:
  explicit Progress(const char *unit, uint64_t total = 0);
  /// Stops watching and clears the line.
  ~Progress();
  bool enabled() const { return enabled_; }
  void update(uint64_t done);
  /// Clears the line, so that other output starts on a clean line.
  void hide();
  /// Clears the line when standard output shares the terminal.
  void beforeOutput() {
    if (sharesScreen_)
      hide();
  }
  /// From now until the progress ends, asks `sample` for the count ten times
  /// a second and draws it; a sample that answers false is skipped.  Does
  /// nothing when the progress does not show.
  void watch(std::function<bool(uint64_t &done)> sample);

private:
  const char *unit_;
  uint64_t total_;
  bool enabled_;
  bool sharesScreen_;
  bool visible_ = false;
  std::chrono::steady_clock::time_point start_, last_;
  std::chrono::milliseconds interval_{200};
  std::atomic<bool> done_{false};
  std::thread watcher_;
};

} // namespace qmfiles

#endif
