// Name conversion between one-byte names, API names and disk names.
#include "platform/text/NameConversion.h"

#include "platform/text/Converter.h"
#include "platform/text/Encodings.h"

#include <CoreServices/Script.h>

#include <algorithm>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace quillmate::text {

namespace {

UnicodeMapping mappingFor(TextEncoding encoding) {
  return {CreateTextEncoding(kTextEncodingUnicodeV2_0, kUnicodeCanonicalDecompVariant,
                             kUnicode16BitFormat),
          encoding, kUnicodeUseHFSPlusMapping};
}

TextEncoding resolve(TextEncoding encoding) {
  return encoding == kTextEncodingUnknown ? systemNameEncoding() : encoding;
}

constexpr UniChar kEscapeBase = 0xDC00; // + a byte 0x80-0xFF

} // namespace

TextEncoding systemNameEncoding() {
  ScriptCode script = static_cast<ScriptCode>(GetScriptManagerVariable(smSysScript));
  RegionCode region = static_cast<RegionCode>(GetScriptManagerVariable(smRegionCode));
  TextEncoding encoding = kTextEncodingMacRoman;
  OSStatus status =
      UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare, region, nullptr, &encoding);
  if (status == paramErr)
    status = UpgradeScriptInfoToTextEncoding(script, kTextLanguageDontCare, kTextRegionDontCare,
                                             nullptr, &encoding);
  return status == noErr ? encoding : TextEncoding{kTextEncodingMacRoman};
}

OSStatus oneByteNameToUnicode(const unsigned char *bytes, size_t length, TextEncoding encoding,
                              std::u16string &out) {
  out.clear();
  std::unique_ptr<Converter> converter;
  if (OSStatus status = Converter::create(mappingFor(resolve(encoding)), converter))
    return status;
  // The HFS+ decomposition of one character is at most 4 units.
  std::u16string units(4 * length, u'\0');
  ConversionResult result = converter->toUnicode(
      bytes, length, 0, reinterpret_cast<UniChar *>(units.data()), units.size());
  if (result.status != noErr)
    return result.status;
  units.resize(result.written);
  out = std::move(units);
  return noErr;
}

OSStatus unicodeToOneByteName(const UniChar *units, size_t count, TextEncoding encoding,
                              size_t maxBytes, std::string &out) {
  out.clear();
  std::unique_ptr<Converter> converter;
  if (OSStatus status = Converter::create(mappingFor(resolve(encoding)), converter))
    return status;
  std::string bytes(maxBytes, '\0');
  ConversionResult result =
      converter->fromUnicode(units, count, kUnicodeLooseMappingsMask,
                             reinterpret_cast<unsigned char *>(bytes.data()), maxBytes);
  if (result.status != noErr)
    return result.status;
  bytes.resize(result.written);
  out = std::move(bytes);
  return noErr;
}

std::u16string diskNameToUnicode(std::string_view diskName) {
  std::u16string out;
  out.reserve(diskName.size());
  const auto *bytes = reinterpret_cast<const uint8_t *>(diskName.data());
  const int32_t length = static_cast<int32_t>(diskName.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      // Not UTF-8 (surrogates encoded in UTF-8 included): keep the first
      // byte as an escape and look again at the next one.
      out.push_back(static_cast<char16_t>(kEscapeBase + bytes[start]));
      i = start + 1;
    } else if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  return out;
}

OSStatus unicodeToDiskName(const UniChar *units, size_t count, std::string &out,
                           DiskNameForm form) {
  out.clear();
  icu::UnicodeString name(false, reinterpret_cast<const UChar *>(units),
                          static_cast<int32_t>(count));
  icu::UnicodeString normalized;
  if (form == DiskNameForm::AsGiven) {
    normalized.fastCopyFrom(name);
  } else {
    UErrorCode status = U_ZERO_ERROR;
    (form == DiskNameForm::Composed ? canonicalComposition() : canonicalDecomposition())
        .normalize(name, normalized, status);
    if (U_FAILURE(status))
      return memFullErr;
  }
  std::string bytes;
  bytes.reserve(3 * static_cast<size_t>(normalized.length()));
  const UChar *buffer = normalized.getBuffer();
  const int32_t length = normalized.length();
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U16_NEXT(buffer, i, length, c);
    if (U_IS_SURROGATE(c)) {
      if (c < kEscapeBase + 0x80 || c > kEscapeBase + 0xFF)
        return kTextMalformedInputErr;
      bytes.push_back(static_cast<char>(c - kEscapeBase));
      continue;
    }
    char encoded[U8_MAX_LENGTH];
    int32_t n = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<uint8_t *>(encoded), n, c); // c is a scalar value here
    bytes.append(encoded, n);
  }
  out = std::move(bytes);
  return noErr;
}

DiskNameNormalization diskNameNormalization(std::string_view diskName, std::string *other) {
  if (other)
    other->clear();
  if (std::all_of(diskName.begin(), diskName.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return DiskNameNormalization::Both;
  const std::u16string units = diskNameToUnicode(diskName);
  const icu::UnicodeString name(false, units.data(), static_cast<int32_t>(units.size()));
  UErrorCode status = U_ZERO_ERROR;
  const bool composed = canonicalComposition().isNormalized(name, status);
  const bool decomposed = canonicalDecomposition().isNormalized(name, status);
  if (U_FAILURE(status) || (composed && decomposed))
    return DiskNameNormalization::Both;
  const DiskNameNormalization form = composed     ? DiskNameNormalization::Composed
                                     : decomposed ? DiskNameNormalization::Decomposed
                                                  : DiskNameNormalization::Mixed;
  if (other &&
      unicodeToDiskName(reinterpret_cast<const UniChar *>(units.data()), units.size(), *other,
                        composed ? DiskNameForm::Decomposed : DiskNameForm::Composed) != noErr)
    other->clear();
  return form;
}

} // namespace quillmate::text
