// The engine behind the Unicode Converter's calls and the File Manager's name
// conversions: one ICU converter and one normalization form, converting at
// character boundaries so that counts always fall between whole characters.
#ifndef QUILLMATE_PLATFORM_TEXT_CONVERTER_H
#define QUILLMATE_PLATFORM_TEXT_CONVERTER_H

#include <CoreServices/UnicodeConverter.h>

#include <memory>

struct UConverter;
#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Normalizer2;
U_NAMESPACE_END

namespace quillmate::text {

/// Outcome of one conversion: status, input units or bytes read, output
/// units or bytes written.
struct ConversionResult {
  OSStatus status;
  size_t read;
  size_t written;
};

class Converter {
public:
  /// paramErr, kTECNoConversionPathErr, memFullErr, or the test hook's status.
  static OSStatus create(const UnicodeMapping &mapping, std::unique_ptr<Converter> &out);
  ~Converter();

  /// UTF-16 `units` composed, then encoded; `read` in units, `written` in bytes.
  ConversionResult fromUnicode(const UniChar *units, size_t count, OptionBits flags,
                               unsigned char *out, size_t capacity);
  /// Bytes decoded, then put in the mapping's Unicode form; `read` in bytes,
  /// `written` in units.
  ConversionResult toUnicode(const unsigned char *bytes, size_t count, OptionBits flags,
                             UniChar *out, size_t capacity);

private:
  Converter(UConverter *converter, const icu::Normalizer2 *unicodeForm, bool multiByte);
  UConverter *converter_;
  bool multiByte_; // UTF-8: bad bytes are malformed, not merely undefined
  const icu::Normalizer2 *unicodeForm_; // null: as the table gives it
};

} // namespace quillmate::text

#endif
