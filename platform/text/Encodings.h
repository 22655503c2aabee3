// Internals of the text layer shared by its files: which ICU converter serves
// a TextEncoding, and the normalization forms of the UTF-16 side.
#ifndef QUILLMATE_PLATFORM_TEXT_ENCODINGS_H
#define QUILLMATE_PLATFORM_TEXT_ENCODINGS_H

#include <CoreServices/TextCommon.h>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Normalizer2;
U_NAMESPACE_END

namespace quillmate::text {

/// ICU's name of the converter for a non-Unicode encoding or UTF-8, or null
/// when this layer does not convert it.  Variants and formats other than the
/// default are refused for one-byte encodings.
const char *icuConverterName(TextEncoding encoding);

/// The HFS+ decomposition: canonical decomposition that leaves U+2000-2FFF,
/// U+F900-FAFF and U+2F800-2FAFF as they are.
const icu::Normalizer2 &hfsPlusDecomposition();
/// The same exclusions over canonical composition.
const icu::Normalizer2 &hfsPlusComposition();
const icu::Normalizer2 &canonicalDecomposition();
const icu::Normalizer2 &canonicalComposition();

/// The script the locale's language is written in (before the check that its
/// encoding converts), and the locale's region.
struct LocaleScriptInfo {
  ScriptCode script;
  RegionCode region;
};
LocaleScriptInfo localeScriptInfo();

} // namespace quillmate::text

#endif
